#include "qa/FigureText.h"
#include "qa/FourierMagnitudes.h"
#include "qa/PictureDrawing.h"
#include "qa/PngBytes.h"

#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace quelby {

namespace {

constexpr int PanelWidth = 420, PanelHeight = 320, TitleHeight = 28;
const QColor Measured(40, 90, 200), Fitted(200, 40, 40);

QString text(double v) { return QString::fromStdString(figureText(v)); }

struct Curve {
    std::vector<double> x, y;
    QColor colour;
    bool points = false;  // dots, else a line
    bool dashed = false;
};

// Axes in `area` with the curves, each axis linear or logarithmic (log10 of positive values).
class Plot {
public:
    Plot(QPainter& painter, QRect area, bool logarithmic) : p_(painter), logarithmic_(logarithmic)
    {
        frame_ = area.adjusted(66, 30, -14, -58);
    }

    void draw(const std::vector<Curve>& curves, const QString& title, const QString& xLabel, const QString& yLabel,
              const QString& caption)
    {
        bounds(curves);
        p_.setPen(Qt::black);
        p_.setBrush(Qt::NoBrush);
        p_.drawRect(frame_);
        const QRect area = frame_.adjusted(-66, -30, 14, 58);
        p_.drawText(QRect(area.left(), area.top() + 4, area.width(), 20), Qt::AlignCenter, title);
        p_.drawText(QRect(frame_.left(), frame_.bottom() + 18, frame_.width(), 16), Qt::AlignCenter, xLabel);
        p_.drawText(QRect(area.left(), frame_.bottom() + 38, area.width(), 16), Qt::AlignCenter, caption);
        p_.drawText(QRect(frame_.left() - 30, frame_.bottom() + 2, 60, 16), Qt::AlignCenter, text(unscaled(x0_)));
        p_.drawText(QRect(frame_.right() - 30, frame_.bottom() + 2, 60, 16), Qt::AlignCenter, text(unscaled(x1_)));
        p_.drawText(QRect(area.left(), frame_.top() - 8, 62, 16), Qt::AlignRight | Qt::AlignVCenter, text(unscaled(y1_)));
        p_.drawText(QRect(area.left(), frame_.bottom() - 8, 62, 16), Qt::AlignRight | Qt::AlignVCenter, text(unscaled(y0_)));
        p_.save();
        p_.translate(area.left() + 12, frame_.center().y());
        p_.rotate(-90);
        p_.drawText(QRect(-frame_.height() / 2, -10, frame_.height(), 20), Qt::AlignCenter, yLabel);
        p_.restore();
        p_.setClipRect(frame_);
        for (const Curve& c : curves) drawCurve(c);
        p_.setClipping(false);
    }

private:
    double scaled(double v) const { return logarithmic_ ? std::log10(v) : v; }
    double unscaled(double v) const { return logarithmic_ ? std::pow(10.0, v) : v; }
    bool usable(double x, double y) const
    {
        return std::isfinite(scaled(x)) && std::isfinite(scaled(y));
    }

    void bounds(const std::vector<Curve>& curves)
    {
        x0_ = y0_ = INFINITY;
        x1_ = y1_ = -INFINITY;
        for (const Curve& c : curves)
            for (std::size_t k = 0; k < c.x.size(); ++k)
                if (usable(c.x[k], c.y[k])) {
                    x0_ = std::min(x0_, scaled(c.x[k]));
                    x1_ = std::max(x1_, scaled(c.x[k]));
                    y0_ = std::min(y0_, scaled(c.y[k]));
                    y1_ = std::max(y1_, scaled(c.y[k]));
                }
        if (!(x0_ <= x1_)) x0_ = y0_ = 0, x1_ = y1_ = 1;
        const double pad = std::max((y1_ - y0_) * 0.08, std::fabs(y1_) * 1e-6 + 1e-12);
        y0_ -= pad;
        y1_ += pad;
        if (x1_ == x0_) x1_ = x0_ + 1;
    }

    QPointF at(double x, double y) const
    {
        return {frame_.left() + frame_.width() * (scaled(x) - x0_) / (x1_ - x0_),
                frame_.bottom() - frame_.height() * (scaled(y) - y0_) / (y1_ - y0_)};
    }

    void drawCurve(const Curve& c)
    {
        QPolygonF line;
        for (std::size_t k = 0; k < c.x.size(); ++k)
            if (usable(c.x[k], c.y[k])) line << at(c.x[k], c.y[k]);
        if (c.points) {
            p_.setPen(Qt::NoPen);
            p_.setBrush(c.colour);
            for (const QPointF& point : line) p_.drawEllipse(point, 2.5, 2.5);
            return;
        }
        p_.setPen(QPen(c.colour, 2, c.dashed ? Qt::DashLine : Qt::SolidLine));
        p_.setBrush(Qt::NoBrush);
        p_.drawPolyline(line);
    }

    QPainter& p_;
    bool logarithmic_;
    QRect frame_;
    double x0_ = 0, x1_ = 1, y0_ = 0, y1_ = 1;
};

std::vector<double> counting(std::size_t count, double from, double step)
{
    std::vector<double> values(count);
    for (std::size_t k = 0; k < count; ++k) values[k] = from + step * static_cast<double>(k);
    return values;
}

void coursePanel(QPainter& painter, QRect area, const StabilityFigures& f)
{
    const std::vector<double> frames = counting(f.course.size(), 0, 1);
    Plot(painter, area, false)
        .draw({{frames, f.course, Measured, true}, {frames, f.fit, Fitted}}, "ROI mean signal and its quadratic fit",
              "frame", "signal (pixel value)",
              "fluctuation " + text(f.percentFluctuation) + " %, drift " + text(f.driftPercent) + " %");
}

void spectrumPanel(QPainter& painter, QRect area, const StabilityFigures& f, std::optional<double> frameSeconds)
{
    std::vector<double> residuals(f.course.size());
    for (std::size_t t = 0; t < residuals.size(); ++t) residuals[t] = f.course[t] - f.fit[t];
    std::vector<double> spectrum = amplitudeSpectrum(residuals);
    spectrum.erase(spectrum.begin());  // the residuals' mean, 0 by the fit
    const double step = 1.0 / (static_cast<double>(residuals.size()) * frameSeconds.value_or(1.0));
    Plot(painter, area, false)
        .draw({{counting(spectrum.size(), step, step), spectrum, Measured}}, "Spectrum of the residuals",
              frameSeconds ? "frequency (Hz)" : "frequency (cycles per frame)", "magnitude (pixel value)",
              "SNR " + text(f.snr) + ", SFNR " + text(f.sfnr));
}

void weisskoffPanel(QPainter& painter, QRect area, const StabilityFigures& f)
{
    const std::vector<double> widths = counting(f.weisskoff.size(), 1, 1);
    std::vector<double> ideal;
    for (const double n : widths) ideal.push_back(f.weisskoff.front() / n);
    Plot(painter, area, true)
        .draw({{widths, ideal, Fitted, false, true}, {widths, f.weisskoff, Measured, true}, {widths, f.weisskoff, Measured}},
              "Weisskoff plot: measured, and 1/n", "ROI width n (pixels)", "fluctuation (%)",
              "RDC " + text(f.rdc) + " pixels");
}

void sfnrPanel(QPainter& painter, QRect area, const StabilityFigures& f, std::span<const double> sfnr, int width,
               int height)
{
    Roi roi;
    roi.inside.assign(sfnr.size(), 0);
    for (int y = f.centreY - f.roiWidth / 2; y < f.centreY - f.roiWidth / 2 + f.roiWidth; ++y)
        for (int x = f.centreX - f.roiWidth / 2; x < f.centreX - f.roiWidth / 2 + f.roiWidth; ++x)
            roi.inside[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] = 1;
    const double high = *std::max_element(sfnr.begin(), sfnr.end());
    const std::vector<char> png = drawPlainMap({{sfnr, &roi}}, width, height, 0, high > 0 ? high : 1,
                                             {"SFNR map (no unit), ROI mean " + figureText(f.sfnr)});
    QImage map;
    map.loadFromData(reinterpret_cast<const uchar*>(png.data()), static_cast<int>(png.size()), "PNG");
    const QImage fitted = map.scaled(area.size(), Qt::KeepAspectRatio, Qt::SmoothTransformation);
    painter.drawImage(area.left() + (area.width() - fitted.width()) / 2, area.top(), fitted);
}


}  // namespace

std::vector<char> drawStability(const StabilityFigures& f, std::span<const double> sfnr, int width, int height,
                                   std::optional<double> frameSeconds, const std::string& title)
{
    prepareDrawing();
    QImage image(2 * PanelWidth, TitleHeight + 2 * PanelHeight, QImage::Format_RGB888);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.drawText(QRect(0, 4, image.width(), TitleHeight - 4), Qt::AlignCenter, QString::fromStdString(title));
    const auto panel = [](int column, int row) {
        return QRect(column * PanelWidth, TitleHeight + row * PanelHeight, PanelWidth, PanelHeight);
    };
    coursePanel(painter, panel(0, 0), f);
    spectrumPanel(painter, panel(1, 0), f, frameSeconds);
    weisskoffPanel(painter, panel(0, 1), f);
    sfnrPanel(painter, panel(1, 1).adjusted(8, 8, -8, -8), f, sfnr, width, height);
    painter.end();
    return pngBytes(image);
}

}  // namespace quelby
