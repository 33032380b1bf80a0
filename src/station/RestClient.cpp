#include "station/RestClient.h"

#include "station/StationError.h"

#include <QEventLoop>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <memory>

namespace quelby {

namespace {

constexpr int TimeoutMs = 60000;

nlohmann::json parsed(const std::string& path, const RestClient::Reply& reply)
{
    if (reply.status != 200) throw StationError("Orthanc " + path + ": HTTP " + std::to_string(reply.status));
    const nlohmann::json json = nlohmann::json::parse(reply.body, nullptr, false);
    if (json.is_discarded()) throw StationError("Orthanc " + path + ": the answer is not JSON");
    return json;
}

}  // namespace

RestClient::RestClient(int port, Credentials credentials, bool authenticates)
    : base_("http://127.0.0.1:" + std::to_string(port))
{
    if (!authenticates) return;
    const QByteArray pair = QByteArray::fromStdString(credentials.user + ":" + credentials.password);
    authorization_ = "Basic " + pair.toBase64().toStdString();
}

RestClient::Reply RestClient::send(const std::string& path, const std::string* body)
{
    QNetworkRequest request(QUrl(QString::fromStdString(base_ + path)));
    request.setTransferTimeout(TimeoutMs);
    if (!authorization_.empty()) request.setRawHeader("Authorization", QByteArray::fromStdString(authorization_));
    if (body) request.setHeader(QNetworkRequest::ContentTypeHeader, "application/dicom");
    const std::unique_ptr<QNetworkReply> reply(body ? manager_.post(request, QByteArray::fromStdString(*body))
                                                    : manager_.get(request));
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished()) loop.exec();
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll().toStdString()};
}

RestClient::Reply RestClient::get(const std::string& path)
{
    return send(path, nullptr);
}

RestClient::Reply RestClient::post(const std::string& path, const std::string& body)
{
    return send(path, &body);
}

nlohmann::json RestClient::getJson(const std::string& path)
{
    return parsed(path, get(path));
}

std::string RestClient::getBytes(const std::string& path)
{
    Reply reply = get(path);
    if (reply.status != 200) throw StationError("Orthanc " + path + ": HTTP " + std::to_string(reply.status));
    return std::move(reply.body);
}

nlohmann::json RestClient::postJson(const std::string& path, const std::string& body)
{
    return parsed(path, post(path, body));
}

}  // namespace quelby
