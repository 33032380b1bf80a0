#include "qa/TrendChart.h"

#include "qa/FigureText.h"
#include "qa/HtmlPage.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace quelby {

namespace {

constexpr double Width = 640, Height = 200, Left = 64, Right = 12, Top = 10, Bottom = 24;

// The values the chart must show: every point, the bands and the limits.
std::pair<double, double> valueRange(const TrendFigure& f)
{
    double low = f.points[0].value, high = low;
    const auto take = [&](double v) { low = std::min(low, v), high = std::max(high, v); };
    for (const TrendPoint& p : f.points) take(p.value);
    if (f.baseline.sd) take(f.baseline.mean - 3 * *f.baseline.sd), take(f.baseline.mean + 3 * *f.baseline.sd);
    if (f.limit && f.limit->minimum) take(*f.limit->minimum);
    if (f.limit && f.limit->maximum) take(*f.limit->maximum);
    const double pad = high > low ? (high - low) * 0.06 : std::max(std::abs(high) * 0.05, 1e-9);
    return {low - pad, high + pad};
}

class Chart {
public:
    Chart(const TrendFigure& f, std::size_t runs) : range_(valueRange(f)), runs_(runs) {}

    double x(std::size_t run) const
    {
        const double span = Width - Left - Right;
        return runs_ < 2 ? Left + span / 2 : Left + span * static_cast<double>(run) / static_cast<double>(runs_ - 1);
    }
    double y(double v) const
    {
        return Top + (Height - Top - Bottom) * (range_.second - v) / (range_.second - range_.first);
    }

    void band(double from, double to, const char* fill)
    {
        svg_ << "<rect x=\"" << Left << "\" y=\"" << y(to) << "\" width=\"" << Width - Left - Right << "\" height=\""
             << y(from) - y(to) << "\" fill=\"" << fill << "\"/>\n";
    }
    void line(double v, const char* stroke, const char* dash, const std::string& label)
    {
        svg_ << "<line x1=\"" << Left << "\" x2=\"" << Width - Right << "\" y1=\"" << y(v) << "\" y2=\"" << y(v)
             << "\" stroke=\"" << stroke << "\" stroke-dasharray=\"" << dash << "\"><title>" << htmlEscaped(label)
             << "</title></line>\n";
        text(Left - 4, y(v) + 3, "end", figureText(v));
    }
    // Between the last run of the baseline and the first judged against it.
    void divider(std::size_t last, std::size_t next)
    {
        const double at = (x(last) + x(next)) / 2;
        svg_ << "<line x1=\"" << at << "\" x2=\"" << at << "\" y1=\"" << Top << "\" y2=\"" << Height - Bottom
             << "\" stroke=\"#888\" stroke-dasharray=\"3,3\"><title>end of the baseline</title></line>\n";
    }
    void text(double at, double height, const char* anchor, const std::string& s)
    {
        svg_ << "<text x=\"" << at << "\" y=\"" << height << "\" text-anchor=\"" << anchor
             << "\" font-size=\"9\" fill=\"#333\">" << htmlEscaped(s) << "</text>\n";
    }
    void points(const TrendFigure& f)
    {
        svg_ << "<polyline fill=\"none\" stroke=\"#246\" stroke-width=\"1\" points=\"";
        for (const TrendPoint& p : f.points) svg_ << x(p.run) << "," << y(p.value) << " ";
        svg_ << "\"/>\n";
        for (const TrendPoint& p : f.points) {
            const bool flagged = !p.flags.empty();
            std::string tip = acquisitionText(p.acquired) + ": " + figureText(p.value);
            for (const std::string& flag : p.flags) tip += " [" + flag + "]";
            svg_ << "<circle cx=\"" << x(p.run) << "\" cy=\"" << y(p.value) << "\" r=\"" << (flagged ? 4.5 : 2.5)
                 << "\" fill=\"" << (flagged ? "#c00" : "#246") << "\"" << (flagged ? " class=\"flagged\"" : "")
                 << "><title>" << htmlEscaped(tip) << "</title></circle>\n";
        }
    }
    std::string str() const { return svg_.str(); }

private:
    std::pair<double, double> range_;
    std::size_t runs_;
    std::ostringstream svg_;
};

}  // namespace

std::string controlChartSvg(const TrendFigure& f, std::size_t runs)
{
    Chart chart(f, runs);
    const double mean = f.baseline.mean;
    if (f.baseline.sd) {
        const double sd = *f.baseline.sd;
        chart.band(mean - 3 * sd, mean + 3 * sd, "#fbecd0");
        chart.band(mean - 2 * sd, mean + 2 * sd, "#e4f0e0");
        chart.line(mean + 3 * sd, "#c80", "2,2", "mean + 3 SD");
        chart.line(mean - 3 * sd, "#c80", "2,2", "mean − 3 SD");
    }
    chart.line(mean, "#464", "none", "baseline mean of " + std::to_string(f.baseline.runs) + " runs");
    if (f.limit && f.limit->minimum) chart.line(*f.limit->minimum, "#c00", "6,3", "minimum");
    if (f.limit && f.limit->maximum) chart.line(*f.limit->maximum, "#c00", "6,3", "maximum");
    if (f.judged) chart.divider(f.points[f.baseline.runs - 1].run, f.points[f.baseline.runs].run);
    chart.points(f);
    chart.text(Left, Height - 6, "start", acquisitionText(f.points.front().acquired));
    chart.text(Width - Right, Height - 6, "end", acquisitionText(f.points.back().acquired));
    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" width=\"" << Width << "\" height=\"" << Height
        << "\" viewBox=\"0 0 " << Width << " " << Height << "\" role=\"img\" aria-label=\"" << htmlEscaped(f.name)
        << "\">\n<rect x=\"" << Left << "\" y=\"" << Top << "\" width=\"" << Width - Left - Right << "\" height=\""
        << Height - Top - Bottom << "\" fill=\"none\" stroke=\"#999\"/>\n"
        << chart.str() << "</svg>";
    return svg.str();
}

}  // namespace quelby
