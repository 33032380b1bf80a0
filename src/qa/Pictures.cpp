#include "qa/Pictures.h"

#include "qa/Report.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <array>
#include <cmath>

namespace quelby {

namespace {

// Text needs a GUI application; without a display it draws offscreen.
void ensureApplication()
{
    if (QCoreApplication::instance() != nullptr) return;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt's notes about the session (no runtime folder and the like) are not the user's business here.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    static int argc = 1;
    static char name[] = "quelby-measure";
    static char* argv[] = {name, nullptr};
    static QGuiApplication application(argc, argv);
}

// Dark blue through green to yellow, readable in grey print too.
QColor colourAt(double t)
{
    static const QColor stops[] = {{48, 18, 59}, {40, 110, 210}, {32, 190, 160}, {150, 220, 60}, {250, 230, 40}};
    t = std::clamp(std::isfinite(t) ? t : 0.0, 0.0, 1.0) * 4;
    const int i = std::min(3, static_cast<int>(t));
    const double f = t - i;
    const auto mix = [&](int a, int b) { return static_cast<int>(std::lround(a + (b - a) * f)); };
    return QColor(mix(stops[i].red(), stops[i + 1].red()), mix(stops[i].green(), stops[i + 1].green()),
                  mix(stops[i].blue(), stops[i + 1].blue()));
}

std::vector<char> pngBytes(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    // Qt's quality is the inverse of zlib's effort: a little larger, several times faster.
    if (!image.save(&buffer, "PNG", 80)) throw std::runtime_error("cannot encode a PNG picture");
    return std::vector<char>(bytes.begin(), bytes.end());
}

QString label(double value) { return QString::fromStdString(numberText(std::round(value * 100) / 100)); }

}  // namespace

void preparePictures() { ensureApplication(); }

namespace {

// One slice in colour, the edge of its ROI (inside, with a neighbour outside) in white.
QImage slicePicture(const PictureSlice& slice, int width, int height, const std::array<QRgb, 256>& palette, double low,
                    double span)
{
    QImage map(width, height, QImage::Format_RGB32);
    const std::vector<char>& inside = slice.roi->inside;
    const auto at = [&](int x, int y) {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x);
    };
    const auto outside = [&](int x, int y) { return x < 0 || y < 0 || x >= width || y >= height || !inside[at(x, y)]; };
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(map.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const double v = slice.values[at(x, y)];
            const double t = std::isfinite(v) ? std::clamp((v - low) / span, 0.0, 1.0) : 0.0;
            line[x] = palette[static_cast<std::size_t>(t * 255 + 0.5)];
            if (inside[at(x, y)] && (outside(x - 1, y) || outside(x + 1, y) || outside(x, y - 1) || outside(x, y + 1)))
                line[x] = qRgb(255, 255, 255);
        }
    }
    return map;
}

}  // namespace

std::vector<char> mapPicture(const std::vector<PictureSlice>& slices, int width, int height, double low, double high,
                             const std::vector<std::string>& caption)
{
    ensureApplication();
    // Slices in a grid, nearly square; small matrices are enlarged to a readable
    // size, 256 and more stay one pixel a pixel.
    const int count = static_cast<int>(slices.size());
    const int columns = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(count))));
    const int gridRows = (count + columns - 1) / columns;
    const int zoom = std::max(1, 384 / (std::max(width, height) * columns));
    const int tileW = width * zoom, tileH = height * zoom, gap = count > 1 ? 4 : 0;
    const int mapW = columns * tileW + (columns - 1) * gap, mapH = gridRows * tileH + (gridRows - 1) * gap;
    const int bar = 90, lineHeight = 18;
    // Three bytes a pixel, as the PNG stores them: nothing to convert on saving.
    QImage image(std::max(mapW + bar, 640), mapH + 10 + lineHeight * static_cast<int>(caption.size()),
                 QImage::Format_RGB888);
    image.fill(Qt::white);
    const double span = high > low ? high - low : 1.0;
    std::array<QRgb, 256> palette;
    for (int k = 0; k < 256; ++k) palette[static_cast<std::size_t>(k)] = colourAt(k / 255.0).rgb();
    QPainter painter(&image);
    for (int k = 0; k < count; ++k) {
        const QRect tile((k % columns) * (tileW + gap), (k / columns) * (tileH + gap), tileW, tileH);
        painter.drawImage(tile, slicePicture(slices[static_cast<std::size_t>(k)], width, height, palette, low, span));
        if (count > 1) {
            painter.setPen(Qt::white);
            painter.drawText(tile.adjusted(3, 1, 0, 0), Qt::AlignLeft | Qt::AlignTop, QString::number(k));
        }
    }
    QImage scaleBar(1, 256, QImage::Format_RGB32);
    for (int k = 0; k < 256; ++k) scaleBar.setPixel(0, k, palette[static_cast<std::size_t>(255 - k)]);
    painter.drawImage(QRect(mapW + 10, 0, 20, mapH), scaleBar);
    painter.setPen(Qt::black);
    for (int k = 0; k <= 4; ++k) {
        const int y = (mapH - 1) * k / 4;
        painter.drawLine(mapW + 30, y, mapW + 35, y);
        painter.drawText(QRect(mapW + 38, std::clamp(y - 8, 0, mapH - 16), bar - 38, 16), Qt::AlignLeft | Qt::AlignVCenter,
                         label(high - span * k / 4));
    }
    for (std::size_t k = 0; k < caption.size(); ++k)
        painter.drawText(QRect(4, mapH + 6 + lineHeight * static_cast<int>(k), image.width() - 8, lineHeight),
                         Qt::AlignLeft | Qt::AlignVCenter, QString::fromStdString(caption[k]));
    painter.end();
    return pngBytes(image);
}

std::vector<char> driftPicture(const SeriesStatistics& st, const std::string& title)
{
    ensureApplication();
    const int w = 480, h = 300, left = 70, right = 15, top = 30, bottom = 40;
    QImage image(w, h, QImage::Format_RGB888);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const auto [lowIt, highIt] = std::minmax_element(st.roiMeans.begin(), st.roiMeans.end());
    double low = *lowIt, high = *highIt;
    const double pad = std::max((high - low) * 0.1, std::fabs(high) * 1e-4 + 1e-9);
    low -= pad;
    high += pad;
    const double n = static_cast<double>(st.roiMeans.size());
    const auto at = [&](double k, double v) {
        return QPointF(left + (w - left - right) * (n > 1 ? k / (n - 1) : 0.5), top + (h - top - bottom) * (high - v) / (high - low));
    };
    painter.setPen(Qt::black);
    painter.drawRect(left, top, w - left - right, h - top - bottom);
    painter.drawText(QRect(0, 4, w, 20), Qt::AlignCenter, QString::fromStdString(title));
    painter.drawText(QRect(left, h - bottom + 4, w - left - right, 16), Qt::AlignCenter, "repetition");
    painter.drawText(QRect(0, top - 8, left - 4, 16), Qt::AlignRight | Qt::AlignVCenter, label(high));
    painter.drawText(QRect(0, h - bottom - 8, left - 4, 16), Qt::AlignRight | Qt::AlignVCenter, label(low));
    painter.setPen(QPen(QColor(200, 40, 40), 2));
    painter.drawLine(at(0, st.drift[0]), at(n - 1, st.drift[0] + st.drift[1] * (n - 1)));
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(40, 90, 200));
    for (std::size_t k = 0; k < st.roiMeans.size(); ++k) painter.drawEllipse(at(static_cast<double>(k), st.roiMeans[k]), 3, 3);
    painter.setPen(Qt::black);
    painter.drawText(QRect(left, h - 20, w - left - right, 16), Qt::AlignCenter,
                     QString("drift %1 % per repetition, %2 % over the series")
                         .arg(QString::number(st.driftPercentPerRepetition, 'g', 3),
                              QString::number(st.driftPercentTotal, 'g', 3)));
    painter.end();
    return pngBytes(image);
}

}  // namespace quelby
