#pragma once

#include "FileText.h"

#include <QImage>
#include <QString>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quelby::test {

inline constexpr const char* chromiumPath = "/usr/bin/chromium";

inline bool chromiumPresent() { return ::access(chromiumPath, X_OK) == 0; }

// What headless Chromium made of one page.
struct RenderedPage {
    int status = -1;  // the browser's exit status; -1 when it was killed or did not start
    std::string dom;  // the document after loading, as --dump-dom prints it
    std::string screenshot;  // the PNG's path
    std::string netLog;      // the network log's path
    std::string pdf;         // the page printed, as the browser prints it with the page's own size
    std::string errors;      // the browser's standard error
};

// Renders `htmlFile` in a fresh profile under `work` (a folder the caller
// owns and removes): its DOM, a screenshot of `width` × `height`, the page
// printed to PDF and the browser's network log. No name resolves, so that nothing the browser or the
// page asks for leaves the machine; each request is still in the log. The
// browser and its children, one process group, are killed after `timeout`.
inline RenderedPage renderInChromium(const std::string& htmlFile, const std::string& work, int width = 1000,
                                     int height = 1400, std::chrono::seconds timeout = std::chrono::seconds(90))
{
    const std::filesystem::path folder(work);
    std::filesystem::create_directories(folder / "profile");
    RenderedPage page;
    page.screenshot = (folder / "screenshot.png").string();
    page.netLog = (folder / "net-log.json").string();
    page.pdf = (folder / "printed.pdf").string();
    const std::string domPath = (folder / "dom.html").string(), errorPath = (folder / "stderr.txt").string();
    std::vector<std::string> args = {chromiumPath,
                                     "--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--disable-quic",
                                     "--no-first-run",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--host-resolver-rules=MAP * ~NOTFOUND",
                                     "--user-data-dir=" + (folder / "profile").string(),
                                     "--log-net-log=" + page.netLog,
                                     "--screenshot=" + page.screenshot,
                                     "--print-to-pdf=" + page.pdf,
                                     "--no-pdf-header-footer",
                                     "--window-size=" + std::to_string(width) + "," + std::to_string(height),
                                     "--dump-dom",
                                     "file://" + std::filesystem::absolute(htmlFile).string()};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        const int out = ::open(domPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
        ::execv(chromiumPath, argv.data());
        ::_exit(127);
    }
    if (pid < 0) return page;
    ::setpgid(pid, pid);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(-pid, SIGKILL);  // any helper process the browser left behind
    page.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    page.dom = fileText(domPath);
    page.errors = fileText(errorPath);
    return page;
}

// The URLs the page itself asked the network for, from a Chromium network log:
// the browser's own requests (updates, clock) have no origin as initiator;
// those of a document name one ("null" for a file: page). Throws on a log that
// is not JSON.
inline std::vector<std::string> pageRequests(const std::string& netLogPath)
{
    const auto log = nlohmann::json::parse(fileText(netLogPath));
    const auto& types = log.at("constants").at("logEventTypes");
    const int startJob = types.at("URL_REQUEST_START_JOB").get<int>();
    std::vector<std::string> urls;
    for (const auto& event : log.at("events")) {
        if (event.value("type", -1) != startJob || !event.contains("params")) continue;
        const auto& params = event["params"];
        if (!params.contains("url")) continue;  // the job's end
        if (params.value("initiator", "") != "not an origin") urls.push_back(params.value("url", ""));
    }
    return urls;
}

// The size in points of each page of a PDF that Chromium printed.
inline std::vector<std::pair<double, double>> pdfPageSizes(const std::string& pdfPath)
{
    const std::string pdf = fileText(pdfPath);
    const std::regex box(R"(/MediaBox\s*\[\s*0\s+0\s+([0-9.]+)\s+([0-9.]+)\s*\])");
    std::vector<std::pair<double, double>> sizes;
    for (auto m = std::sregex_iterator(pdf.begin(), pdf.end(), box); m != std::sregex_iterator(); ++m)
        sizes.emplace_back(std::stod((*m)[1]), std::stod((*m)[2]));
    return sizes;
}

// The pixels of a PNG that are not white.
inline long nonWhitePixels(const std::string& pngPath)
{
    const QImage image = QImage(QString::fromStdString(pngPath)).convertToFormat(QImage::Format_RGB32);
    long count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) count += image.pixel(x, y) != 0xFFFFFFFFu;
    return count;
}

}  // namespace quelby::test
