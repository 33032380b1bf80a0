#include "qa/PictureDrawing.h"

#include "qa/FigureText.h"
#include "qa/PngBytes.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>

namespace quelby {

namespace {

// Text needs a GUI application; without a display it draws offscreen. It is
// made on the helper thread as the module loads, and ends with the process,
// on the main thread: with Qt's own event dispatcher, not GLib's (whose main
// context cannot be left from another thread), that is quiet.
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


QString label(double value) { return QString::fromStdString(figureText(value)); }

QFont titleFont()
{
    QFont font;
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.15);
    return font;
}

}  // namespace

// The font database and the fonts of the pictures, found and loaded once for
// the process (the first text otherwise takes longer than a picture).
void prepareDrawing()
{
    ensureApplication();
    QImage image(64, 32, QImage::Format_RGB888);
    QPainter painter(&image);
    painter.drawText(QRect(0, 0, 64, 32), Qt::AlignLeft, "0.5 %");
    painter.setFont(titleFont());
    painter.drawText(QRect(0, 0, 64, 32), Qt::AlignLeft, "SNR");
}

namespace {

// One slice in colour, the edge of its ROI (inside, with a neighbour outside) in white.
QImage slicePicture(const PictureSlice& slice, int width, int height, const std::array<QRgb, 256>& palette,
                    const ColourScale& scale)
{
    QImage map(width, height, QImage::Format_RGB32);
    const std::vector<char>& inside = slice.roi->inside;
    const auto at = [&](int x, int y) {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x);
    };
    const auto outside = [&](int x, int y) { return x < 0 || y < 0 || x >= width || y >= height || !inside[at(x, y)]; };
    const double low = scale.low(), span = scale.high() - scale.low();
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

constexpr int Margin = 8, BarWidth = 20;

// Where the parts of a map picture go.
struct MapLayout {
    int columns = 1, tileW = 0, tileH = 0, gap = 0;
    QRect title, map, bar, caption, table;
    std::vector<int> tableColumns;  // their widths
    int width = 0, height = 0;

    QRect tile(int k) const
    {
        return {map.left() + (k % columns) * (tileW + gap), map.top() + (k / columns) * (tileH + gap), tileW, tileH};
    }
};

// Slices in a nearly square grid, enlarged to a readable size; the text
// wrapped to the width the grid and its colour bar take.
MapLayout layOut(const MapPicture& p, const QFontMetrics& text, const QFontMetrics& bold)
{
    MapLayout l;
    const int count = static_cast<int>(p.slices.size());
    l.columns = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(count))));
    const int rows = (count + l.columns - 1) / l.columns;
    const double zoom = std::max(1.0, 480.0 / (std::max(p.width, p.height) * l.columns));
    l.tileW = static_cast<int>(std::lround(p.width * zoom));
    l.tileH = static_cast<int>(std::lround(p.height * zoom));
    l.gap = count > 1 ? 4 : 0;
    int labels = 0;
    for (const double t : p.scale.ticks) labels = std::max(labels, text.horizontalAdvance(label(t)));
    const int titleH = p.title.empty() ? 0 : bold.height() + Margin;
    l.map = QRect(Margin, Margin + titleH, l.columns * l.tileW + (l.columns - 1) * l.gap, rows * l.tileH + (rows - 1) * l.gap);
    l.bar = QRect(l.map.right() + 1 + 12, l.map.top(), BarWidth, l.map.height());
    for (const auto& row : p.table)
        for (std::size_t c = 0; c < row.size(); ++c) {
            if (l.tableColumns.size() <= c) l.tableColumns.push_back(0);
            l.tableColumns[c] = std::max(l.tableColumns[c], bold.horizontalAdvance(QString::fromStdString(row[c])) + 16);
        }
    const int tableW = std::accumulate(l.tableColumns.begin(), l.tableColumns.end(), 0);
    l.width = std::max(l.bar.right() + 1 + 8 + labels, Margin + tableW) + Margin;
    l.title = QRect(Margin, Margin, l.width - 2 * Margin, bold.height());
    const int textW = l.width - 2 * Margin;
    int captionH = 0;
    for (const std::string& line : p.caption)
        captionH += text.boundingRect(0, 0, textW, 1000, Qt::TextWordWrap, QString::fromStdString(line)).height();
    l.caption = QRect(Margin, l.map.bottom() + 1 + Margin, textW, captionH);
    l.table = QRect(Margin, l.caption.bottom() + 1 + (p.table.empty() ? 0 : Margin), textW,
                    text.height() * static_cast<int>(p.table.size()));
    l.height = l.table.bottom() + 1 + Margin;
    return l;
}

void drawScale(QPainter& painter, const MapLayout& l, const ColourScale& scale, const std::array<QRgb, 256>& palette)
{
    QImage bar(1, 256, QImage::Format_RGB32);
    for (int k = 0; k < 256; ++k) bar.setPixel(0, k, palette[static_cast<std::size_t>(255 - k)]);
    painter.drawImage(l.bar, bar);
    const double span = scale.high() - scale.low();
    const int textH = painter.fontMetrics().height();
    for (const double t : scale.ticks) {
        const int y = l.bar.bottom() - static_cast<int>(std::lround((t - scale.low()) / span * (l.bar.height() - 1)));
        painter.drawLine(l.bar.right() + 1, y, l.bar.right() + 5, y);
        painter.drawText(QRect(l.bar.right() + 8, y - textH / 2, l.width, textH), Qt::AlignLeft | Qt::AlignVCenter,
                         label(t));
    }
}

void drawTable(QPainter& painter, const MapLayout& l, const std::vector<std::vector<std::string>>& table)
{
    const int rowH = painter.fontMetrics().height();
    const QFont plain = painter.font();
    for (std::size_t r = 0; r < table.size(); ++r) {
        QFont font = plain;
        font.setBold(r == 0);
        painter.setFont(font);
        int x = l.table.left();
        for (std::size_t c = 0; c < table[r].size(); ++c) {
            // Figures right-aligned under their heading, names left.
            const auto align = (c == 0 ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignVCenter;
            painter.drawText(QRect(x, l.table.top() + static_cast<int>(r) * rowH, l.tableColumns[c] - 8, rowH), align,
                             QString::fromStdString(table[r][c]));
            x += l.tableColumns[c];
        }
    }
    painter.setFont(plain);
    const int width = std::accumulate(l.tableColumns.begin(), l.tableColumns.end(), 0);
    if (!table.empty()) painter.drawLine(l.table.left(), l.table.top() + rowH, l.table.left() + width, l.table.top() + rowH);
}

}  // namespace

std::vector<char> drawMap(const MapPicture& p)
{
    ensureApplication();
    const MapLayout l = layOut(p, QFontMetrics(QFont()), QFontMetrics(titleFont()));
    // Three bytes a pixel, as the PNG stores them: nothing to convert on saving.
    QImage image(l.width, l.height, QImage::Format_RGB888);
    image.fill(Qt::white);
    std::array<QRgb, 256> palette;
    for (int k = 0; k < 256; ++k) palette[static_cast<std::size_t>(k)] = colourAt(k / 255.0).rgb();
    QPainter painter(&image);
    for (std::size_t k = 0; k < p.slices.size(); ++k) {
        const QRect tile = l.tile(static_cast<int>(k));
        painter.drawImage(tile, slicePicture(p.slices[k], p.width, p.height, palette, p.scale));
        if (p.slices.size() > 1) {
            painter.setPen(Qt::white);
            painter.drawText(tile.adjusted(3, 1, 0, 0), Qt::AlignLeft | Qt::AlignTop, QString::number(k));
        }
    }
    painter.setPen(Qt::black);
    drawScale(painter, l, p.scale, palette);
    QRect line = l.caption;
    for (const std::string& text : p.caption) {
        const QRect used = painter.boundingRect(line, Qt::TextWordWrap, QString::fromStdString(text));
        painter.drawText(line, Qt::TextWordWrap, QString::fromStdString(text));
        line.setTop(used.bottom() + 1);
    }
    drawTable(painter, l, p.table);
    painter.setFont(titleFont());
    painter.drawText(l.title, Qt::AlignLeft | Qt::AlignVCenter, QString::fromStdString(p.title));
    painter.end();
    return pngBytes(image);
}

std::vector<char> drawPlainMap(const std::vector<PictureSlice>& slices, int width, int height, double low, double high,
                             const std::vector<std::string>& caption)
{
    return drawMap(MapPicture{{}, slices, width, height, {roundTicks(low, high)}, caption, {}});
}

std::vector<char> drawDrift(const SeriesStatistics& st, const std::string& title)
{
    ensureApplication();
    const int w = 480, h = 300, left = 70, right = 15, top = 30, bottom = 58;
    const QRect frame(left, top, w - left - right, h - top - bottom);
    const std::size_t n = st.roiMeans.size();
    const double mean = std::accumulate(st.roiMeans.begin(), st.roiMeans.end(), 0.0) / static_cast<double>(n);
    const auto percent = [&](double v) { return 100 * (v - mean) / mean; };
    const auto line = [&](double k) { return percent(st.drift[0] + st.drift[1] * k); };
    // At least ±0.5 %, so that the noise of a stable scanner does not look like drift.
    double low = -0.5, high = 0.5;
    for (std::size_t k = 0; k < n; ++k)
        for (const double v : {percent(st.roiMeans[k]), line(static_cast<double>(k))}) {
            low = std::min(low, v);
            high = std::max(high, v);
        }
    const ColourScale y{roundTicks(low, high)};
    // Repetitions numbered from 1, as the files are.
    const auto at = [&](double k, double v) {
        return QPointF(frame.left() + frame.width() * (n > 1 ? k / static_cast<double>(n - 1) : 0.5),
                       frame.bottom() - frame.height() * (v - y.low()) / (y.high() - y.low()));
    };
    QImage image(w, h, QImage::Format_RGB888);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::black);
    painter.drawRect(frame);
    painter.setFont(titleFont());
    painter.drawText(QRect(0, 4, w, 22), Qt::AlignCenter, QString::fromStdString(title));
    painter.setFont(QFont());
    for (const double t : y.ticks) {
        const QPointF p = at(0, t);
        painter.setPen(QColor(225, 225, 225));
        painter.drawLine(QPointF(frame.left(), p.y()), QPointF(frame.right(), p.y()));
        painter.setPen(Qt::black);
        painter.drawText(QRectF(0, p.y() - 8, left - 6, 16), Qt::AlignRight | Qt::AlignVCenter, label(t));
    }
    for (const double t : roundTicks(1, static_cast<double>(n), 8))
        if (t >= 1 && t <= static_cast<double>(n) && t == std::floor(t)) {
            const QPointF p = at(t - 1, y.low());
            painter.drawLine(p, p + QPointF(0, 4));
            painter.drawText(QRectF(p.x() - 20, p.y() + 4, 40, 16), Qt::AlignCenter, label(t));
        }
    painter.drawText(QRect(left, frame.bottom() + 20, frame.width(), 16), Qt::AlignCenter, "repetition");
    painter.save();
    painter.translate(12, frame.center().y());
    painter.rotate(-90);
    painter.drawText(QRect(-frame.height() / 2, -8, frame.height(), 16), Qt::AlignCenter, "% of the mean");
    painter.restore();
    painter.setPen(QPen(QColor(200, 40, 40), 2));
    painter.drawLine(at(0, line(0)), at(static_cast<double>(n - 1), line(static_cast<double>(n - 1))));
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(40, 90, 200));
    for (std::size_t k = 0; k < n; ++k) painter.drawEllipse(at(static_cast<double>(k), percent(st.roiMeans[k])), 3, 3);
    painter.setPen(Qt::black);
    painter.drawText(QRect(left, h - 20, frame.width(), 16), Qt::AlignCenter,
                     QString("drift %1 % per repetition, %2 % over the series")
                         .arg(label(st.driftPercentPerRepetition), label(st.driftPercentTotal)));
    painter.end();
    return pngBytes(image);
}

}  // namespace quelby
