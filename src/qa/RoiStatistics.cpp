#include "qa/RoiStatistics.h"

#include "engine/core/InputError.h"
#include "qa/MeasureCommand.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <numeric>

namespace quelby {

namespace {

std::vector<double> numbersIn(const std::string& text, const std::string& what)
{
    std::vector<double> values;
    std::size_t from = 0;
    while (from <= text.size()) {
        const std::size_t at = std::min(text.find(',', from), text.size());
        double v = 0;
        const auto [end, ec] = std::from_chars(text.data() + from, text.data() + at, v);
        if (ec != std::errc{} || end != text.data() + at || !std::isfinite(v))
            throw UsageError("--roi: " + what + " takes numbers: " + text);
        values.push_back(v);
        from = at + 1;
    }
    return values;
}

}  // namespace

double median(std::vector<double> values)
{
    if (values.empty()) return 0;
    const std::size_t mid = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid), values.end());
    const double upper = values[mid];
    if (values.size() % 2 == 1) return upper;
    return (*std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid)) + upper) / 2;
}

namespace {

// The largest 4-connected region of the mask.
std::vector<char> largestRegion(const std::vector<char>& mask, int width, int height)
{
    const auto w = static_cast<std::size_t>(width), h = static_cast<std::size_t>(height);
    std::vector<int> label(mask.size(), 0);
    int best = 0, next = 0;
    std::size_t bestSize = 0;
    std::vector<std::pair<std::size_t, std::size_t>> open;  // column and row of labelled pixels yet to spread
    for (std::size_t start = 0; start < mask.size(); ++start) {
        if (!mask[start] || label[start] != 0) continue;
        ++next;
        std::size_t size = 0;
        label[start] = next;
        open.push_back({start % w, start / w});
        while (!open.empty()) {
            const auto [x, y] = open.back();
            open.pop_back();
            ++size;
            const auto spread = [&](std::size_t nx, std::size_t ny) {
                const std::size_t q = ny * w + nx;
                if (mask[q] && label[q] == 0) {
                    label[q] = next;
                    open.push_back({nx, ny});
                }
            };
            if (x + 1 < w) spread(x + 1, y);
            if (x > 0) spread(x - 1, y);
            if (y + 1 < h) spread(x, y + 1);
            if (y > 0) spread(x, y - 1);
        }
        if (size > bestSize) {
            bestSize = size;
            best = next;
        }
    }
    std::vector<char> region(mask.size(), 0);
    for (std::size_t p = 0; p < mask.size(); ++p) region[p] = best != 0 && label[p] == best;
    return region;
}

// The phantom in the mean image: above half its 99th percentile, the largest region.
std::vector<char> phantomOf(std::span<const double> signal, int width, int height)
{
    std::vector<double> sorted(signal.begin(), signal.end());
    const std::size_t at = sorted.size() * 99 / 100;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(at), sorted.end());
    const double threshold = sorted[at] / 2;
    if (!(threshold > 0)) return {};
    std::vector<char> mask(signal.size());
    for (std::size_t p = 0; p < mask.size(); ++p) mask[p] = signal[p] > threshold;
    return largestRegion(mask, width, height);
}

}  // namespace

RoiRequest parseRoi(const std::string& text)
{
    RoiRequest request;
    if (text == "auto") return request;
    if (text.rfind("circle:", 0) == 0) {
        const std::vector<double> v = numbersIn(text.substr(7), "circle:X,Y,R");
        if (v.size() != 3 || !(v[2] > 0)) throw UsageError("--roi: give circle:X,Y,R with R above 0, not " + text);
        request.kind = RoiRequest::Kind::Circle;
        request.x = v[0];
        request.y = v[1];
        request.radius = v[2];
        return request;
    }
    if (text.rfind("rect:", 0) == 0) {
        const std::vector<double> v = numbersIn(text.substr(5), "rect:X0,Y0,X1,Y1");
        if (v.size() != 4 || std::any_of(v.begin(), v.end(), [](double c) { return c != std::floor(c); }) ||
            v[2] < v[0] || v[3] < v[1])
            throw UsageError("--roi: give rect:X0,Y0,X1,Y1 in whole pixels, X0 <= X1 and Y0 <= Y1, not " + text);
        request.kind = RoiRequest::Kind::Rect;
        request.x0 = static_cast<int>(v[0]);
        request.y0 = static_cast<int>(v[1]);
        request.x1 = static_cast<int>(v[2]);
        request.y1 = static_cast<int>(v[3]);
        return request;
    }
    throw UsageError("--roi: give auto, circle:X,Y,R or rect:X0,Y0,X1,Y1, not " + text);
}

Roi makeRoi(const RoiRequest& request, std::span<const double> signal, int width, int height)
{
    Roi roi;
    const std::size_t pixels = signal.size();
    roi.inside.assign(pixels, 0);
    roi.phantom = phantomOf(signal, width, height);
    roi.phantomPixels = static_cast<std::size_t>(std::count(roi.phantom.begin(), roi.phantom.end(), 1));
    if (roi.phantomPixels == 0) roi.phantom.clear();
    const auto w = static_cast<std::size_t>(width);
    const auto disc = [&](double cx, double cy, double r) {
        for (std::size_t y = 0, p = 0; y < pixels / w; ++y) {
            const double dy = static_cast<double>(y) - cy;
            for (std::size_t x = 0; x < w; ++x, ++p) {
                const double dx = static_cast<double>(x) - cx;
                roi.inside[p] = dx * dx + dy * dy <= r * r;
            }
        }
        roi.centreX = cx;
        roi.centreY = cy;
        roi.radius = r;
    };
    switch (request.kind) {
    case RoiRequest::Kind::Auto: {
        if (roi.phantomPixels < 20)
            throw InputError("no phantom found in the mean image of SERIES_A; give the ROI with --roi");
        double sx = 0, sy = 0;
        for (std::size_t y = 0, p = 0; y < pixels / w; ++y)
            for (std::size_t x = 0; x < w; ++x, ++p)
                if (roi.phantom[p]) {
                    sx += static_cast<double>(x);
                    sy += static_cast<double>(y);
                }
        const double n = static_cast<double>(roi.phantomPixels);
        disc(sx / n, sy / n, std::sqrt(0.75 * n / M_PI));
        break;
    }
    case RoiRequest::Kind::Circle:
        if (request.x - request.radius < 0 || request.y - request.radius < 0 || request.x + request.radius > width - 1 ||
            request.y + request.radius > height - 1)
            throw InputError("--roi: the circle reaches outside the " + std::to_string(width) + " x " +
                             std::to_string(height) + " matrix");
        disc(request.x, request.y, request.radius);
        break;
    case RoiRequest::Kind::Rect:
        if (request.x0 < 0 || request.y0 < 0 || request.x1 >= width || request.y1 >= height)
            throw InputError("--roi: the rectangle reaches outside the " + std::to_string(width) + " x " +
                             std::to_string(height) + " matrix");
        for (int y = request.y0; y <= request.y1; ++y)
            for (int x = request.x0; x <= request.x1; ++x)
                roi.inside[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] = 1;
        roi.centreX = (request.x0 + request.x1) / 2.0;
        roi.centreY = (request.y0 + request.y1) / 2.0;
        break;
    }
    roi.pixels = static_cast<std::size_t>(std::count(roi.inside.begin(), roi.inside.end(), 1));
    if (roi.pixels == 0) throw InputError("--roi: the ROI holds no pixel");
    return roi;
}

std::string shiftWarning(const SeriesStatistics& st)
{
    const auto percent = [&](double detrended) { return static_cast<int>(std::lround(100 * (detrended / st.snr - 1))); };
    if (st.snrSmooth > 1.02 * st.snr)
        return "signal shifts between repetitions inflate the noise by " + std::to_string(percent(st.snrSmooth)) +
               " %; --detrend smooth removes them";
    if (st.snrLinear && *st.snrLinear > 1.02 * st.snr)
        return "a signal drift over the repetitions inflates the noise by " + std::to_string(percent(*st.snrLinear)) +
               " %; --detrend linear removes it";
    return {};
}

namespace {

// g of each block of pool × pool pixels (of each pixel without pooling) where
// it can be taken, with the pixels it stands for.
struct WeighedValue {
    double value, weight;
    bool operator<(const WeighedValue& o) const { return value < o.value; }
};

std::vector<WeighedValue> pooledValues(std::span<const double> g, int width, int pool,
                                       const std::function<bool(std::size_t)>& usable)
{
    const int height = static_cast<int>(g.size() / static_cast<std::size_t>(width));
    const int side = std::max(1, pool);
    std::vector<WeighedValue> values;
    for (int by = 0; by < height; by += side)
        for (int bx = 0; bx < width; bx += side) {
            double sum = 0;
            int count = 0;
            for (int y = by; y < std::min(by + side, height); ++y)
                for (int x = bx; x < std::min(bx + side, width); ++x) {
                    const std::size_t p = static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x);
                    if (usable(p)) {
                        sum += g[p];
                        ++count;
                    }
                }
            if (count > 0) values.push_back({sum / count, static_cast<double>(count)});
        }
    return values;
}

// The first value at which the weight up to it reaches (`strictly`: passes) the share q; `sorted` by value.
double weighedQuantile(const std::vector<WeighedValue>& sorted, double total, double q, bool strictly = false)
{
    double below = 0;
    for (const WeighedValue& v : sorted) {
        below += v.weight;
        if (strictly ? below > q * total : below >= q * total) return v.value;
    }
    return sorted.back().value;
}

// Between the two middle values when half the weight lies exactly below one, as median() of equal weights.
double weighedMedian(const std::vector<WeighedValue>& sorted, double total)
{
    return (weighedQuantile(sorted, total, 0.5) + weighedQuantile(sorted, total, 0.5, true)) / 2;
}

}  // namespace

// Each block weighs as the pixels it holds: a border block of a few pixels
// must not count as much as a whole one, or pooling would move the mean.
GFactorSummary gFactorSummary(std::span<const double> g, std::span<const double> snrA, int width, const Roi& roi,
                              int pool)
{
    GFactorSummary summary;
    const auto usable = [&](std::size_t p) { return roi.inside[p] && snrA[p] >= 5; };
    std::vector<WeighedValue> values = pooledValues(g, width, pool, usable);
    double kept = 0, sum = 0;
    for (const WeighedValue& v : values) {
        kept += v.weight;
        sum += v.value * v.weight;
    }
    summary.values = values.size();
    summary.maskedFraction = roi.pixels ? 1.0 - kept / static_cast<double>(roi.pixels) : 0.0;
    if (values.empty()) return summary;
    summary.mean = sum / kept;
    std::sort(values.begin(), values.end());
    summary.median = weighedMedian(values, kept);
    summary.p95 = weighedQuantile(values, kept, 0.95);
    summary.max = values.back().value;
    return summary;
}

}  // namespace quelby
