#include "qa/RoiStatistics.h"

#include "qa/MeasureCommand.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <deque>
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

double median(std::vector<double> values)
{
    if (values.empty()) return 0;
    const std::size_t mid = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid), values.end());
    const double upper = values[mid];
    if (values.size() % 2 == 1) return upper;
    return (*std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid)) + upper) / 2;
}

// The largest 4-connected region of the mask.
std::vector<char> largestRegion(const std::vector<char>& mask, int width, int height)
{
    std::vector<int> label(mask.size(), 0);
    int best = 0, bestSize = 0, next = 0;
    std::deque<std::size_t> queue;
    for (std::size_t start = 0; start < mask.size(); ++start) {
        if (!mask[start] || label[start] != 0) continue;
        ++next;
        int size = 0;
        label[start] = next;
        queue.push_back(start);
        while (!queue.empty()) {
            const std::size_t p = queue.front();
            queue.pop_front();
            ++size;
            const int x = static_cast<int>(p % static_cast<std::size_t>(width)), y = static_cast<int>(p / static_cast<std::size_t>(width));
            const int dx[4] = {1, -1, 0, 0}, dy[4] = {0, 0, 1, -1};
            for (int d = 0; d < 4; ++d) {
                const int nx = x + dx[d], ny = y + dy[d];
                if (nx < 0 || ny < 0 || nx >= width || ny >= height) continue;
                const std::size_t q = static_cast<std::size_t>(ny) * static_cast<std::size_t>(width) + static_cast<std::size_t>(nx);
                if (mask[q] && label[q] == 0) {
                    label[q] = next;
                    queue.push_back(q);
                }
            }
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
std::vector<char> phantomOf(const SeriesMaps& a)
{
    std::vector<double> sorted = a.signal;
    const std::size_t at = sorted.size() * 99 / 100;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(at), sorted.end());
    const double threshold = sorted[at] / 2;
    if (!(threshold > 0)) return {};
    std::vector<char> mask(a.signal.size());
    for (std::size_t p = 0; p < mask.size(); ++p) mask[p] = a.signal[p] > threshold;
    return largestRegion(mask, a.width, a.height);
}

// Solves the 6 × 6 system by Gaussian elimination with partial pivoting; false when singular.
bool solve(std::array<std::array<double, 7>, 6> m, std::array<double, 6>& x)
{
    for (int c = 0; c < 6; ++c) {
        int pivot = c;
        for (int r = c + 1; r < 6; ++r)
            if (std::fabs(m[r][c]) > std::fabs(m[pivot][c])) pivot = r;
        if (std::fabs(m[pivot][c]) < 1e-12) return false;
        std::swap(m[c], m[pivot]);
        for (int r = c + 1; r < 6; ++r) {
            const double f = m[r][c] / m[c][c];
            for (int k = c; k < 7; ++k) m[r][k] -= f * m[c][k];
        }
    }
    for (int r = 5; r >= 0; --r) {
        double v = m[r][6];
        for (int k = r + 1; k < 6; ++k) v -= m[r][k] * x[k];
        x[r] = v / m[r][r];
    }
    return true;
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

Roi makeRoi(const RoiRequest& request, const SeriesMaps& a)
{
    Roi roi;
    const std::size_t pixels = a.signal.size();
    roi.inside.assign(pixels, 0);
    roi.phantom = phantomOf(a);
    roi.phantomPixels = static_cast<std::size_t>(std::count(roi.phantom.begin(), roi.phantom.end(), 1));
    if (roi.phantomPixels == 0) roi.phantom.clear();
    const auto disc = [&](double cx, double cy, double r) {
        for (std::size_t p = 0; p < pixels; ++p) {
            const double dx = static_cast<double>(p % static_cast<std::size_t>(a.width)) - cx;
            const double dy = static_cast<double>(p / static_cast<std::size_t>(a.width)) - cy;
            roi.inside[p] = dx * dx + dy * dy <= r * r;
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
        for (std::size_t p = 0; p < pixels; ++p)
            if (roi.phantom[p]) {
                sx += static_cast<double>(p % static_cast<std::size_t>(a.width));
                sy += static_cast<double>(p / static_cast<std::size_t>(a.width));
            }
        const double n = static_cast<double>(roi.phantomPixels);
        disc(sx / n, sy / n, std::sqrt(0.75 * n / M_PI));
        break;
    }
    case RoiRequest::Kind::Circle:
        if (request.x - request.radius < 0 || request.y - request.radius < 0 || request.x + request.radius > a.width - 1 ||
            request.y + request.radius > a.height - 1)
            throw InputError("--roi: the circle reaches outside the " + std::to_string(a.width) + " x " +
                             std::to_string(a.height) + " matrix");
        disc(request.x, request.y, request.radius);
        break;
    case RoiRequest::Kind::Rect:
        if (request.x0 < 0 || request.y0 < 0 || request.x1 >= a.width || request.y1 >= a.height)
            throw InputError("--roi: the rectangle reaches outside the " + std::to_string(a.width) + " x " +
                             std::to_string(a.height) + " matrix");
        for (int y = request.y0; y <= request.y1; ++y)
            for (int x = request.x0; x <= request.x1; ++x)
                roi.inside[static_cast<std::size_t>(y) * static_cast<std::size_t>(a.width) + static_cast<std::size_t>(x)] = 1;
        roi.centreX = (request.x0 + request.x1) / 2.0;
        roi.centreY = (request.y0 + request.y1) / 2.0;
        break;
    }
    roi.pixels = static_cast<std::size_t>(std::count(roi.inside.begin(), roi.inside.end(), 1));
    if (roi.pixels == 0) throw InputError("--roi: the ROI holds no pixel");
    return roi;
}

// Its loops over the pixels take most of the command's time after the maps.
[[gnu::target_clones("avx2", "default")]] SeriesStatistics seriesStatistics(const Series& series,
                                                                             const SeriesMaps& maps, const Roi& roi,
                                                                             Detrend detrend)
{
    SeriesStatistics st;
    const std::size_t n = series.repetitions();
    const auto N = static_cast<double>(n);
    // The pixels looked at: the ROI, and the fit region of the smooth shifts
    // (the phantom, or the ROI where none was found).
    // Each row from its first to its last pixel of either, so that the samples
    // are read in runs; pixels between carry no weight.
    const auto width = static_cast<std::size_t>(maps.width);
    std::vector<std::size_t> region;
    std::vector<char> inRoi, inFit;
    for (std::size_t row = 0; row < static_cast<std::size_t>(maps.height); ++row) {
        std::size_t first = width, last = 0;
        for (std::size_t x = 0; x < width; ++x) {
            const std::size_t p = row * width + x;
            if (roi.inside[p] || (roi.phantom.empty() ? false : roi.phantom[p])) {
                first = std::min(first, x);
                last = x;
            }
        }
        if (first > last) continue;
        for (std::size_t p = row * width + first; p <= row * width + last; ++p) {
            region.push_back(p);
            inRoi.push_back(roi.inside[p]);
            inFit.push_back(roi.phantom.empty() ? roi.inside[p] : roi.phantom[p]);
        }
    }
    const std::size_t count = region.size();
    st.pixels = static_cast<std::size_t>(std::count(inRoi.begin(), inRoi.end(), 1));
    const auto P = static_cast<double>(st.pixels);

    // The samples of one repetition at the region's pixels, in stored values; a
    // rescale acts on the figures at the end.
    std::vector<double> samples(count);
    const auto load = [&](std::size_t k, std::size_t from, std::size_t to) {
        const unsigned char* image = series.repetition(k);
        for (std::size_t j = from; j < to; ++j) samples[j] = sampleValue(image, region[j], series.kinds[k]);
    };
    const double slope = series.rescale ? series.rescale->first : 1.0;
    const double intercept = series.rescale ? series.rescale->second : 0.0;
    // The signal map is the mean, in stored values once a rescale is undone.
    std::vector<double> mean(count);
    for (std::size_t j = 0; j < count; ++j) mean[j] = (maps.signal[region[j]] - intercept) / slope;

    // Smooth shifts: per repetition, a second-order polynomial in column and row
    // fitted to its deviation from the mean over the fit region. It is taken over
    // every pixel when it is asked for; for the warning alone, over every fourth,
    // which tells the share of the noise it removes well enough. Those pixels are
    // packed together, so that their pass stays in the cache.
    const std::size_t stride = detrend == Detrend::Smooth ? 1 : 4;
    const double scale = std::max(maps.width, maps.height);
    std::vector<std::size_t> fitAt;
    std::array<std::vector<double>, 6> fitTerms;
    std::vector<double> fitMean, fitWeights, roiWeights;
    std::array<std::array<double, 7>, 6> normal{};
    // The residual of the fit over the ROI without a pass of its own: with f the
    // fit of a repetition, Σ(e − f)² = Σe² − 2·c·Σt·e + cᵀ(Σt·tᵀ)c over the ROI.
    std::array<std::array<double, 6>, 6> roiGram{};
    for (std::size_t j = 0; j < count; j += stride) {
        const double x = (static_cast<double>(region[j] % width) - maps.width / 2.0) / scale;
        const double y = (static_cast<double>(region[j] / width) - maps.height / 2.0) / scale;
        const double t[6] = {1, x, y, x * x, x * y, y * y};
        fitAt.push_back(j);
        for (std::size_t r = 0; r < 6; ++r) fitTerms[r].push_back(t[r]);
        fitMean.push_back(mean[j]);
        fitWeights.push_back(inFit[j]);
        roiWeights.push_back(inRoi[j]);
        for (std::size_t r = 0; r < 6; ++r)
            for (std::size_t c = 0; c < 6; ++c) {
                normal[r][c] += inFit[j] * t[r] * t[c];
                roiGram[r][c] += inRoi[j] * t[r] * t[c];
            }
    }
    std::vector<double> roiWeight(inRoi.begin(), inRoi.end());
    std::vector<double> e1(n, 0.0), e2(n, 0.0);
    std::vector<double> squares(count, 0.0), trend(count, 0.0);
    // Per repetition: Σ t·e over the fit region (6), over the ROI (6), Σ e² over the sampled ROI.
    std::vector<std::array<double, 13>> moments(n, std::array<double, 13>{});
    const double kBar = (N - 1) / 2, sxx = N * (N * N - 1) / 12;
    const double *t0 = fitTerms[0].data(), *t1 = fitTerms[1].data(), *t2 = fitTerms[2].data(),
                 *t3 = fitTerms[3].data(), *t4 = fitTerms[4].data(), *t5 = fitTerms[5].data();
    // Tiles of pixels, each taken through every repetition while its arrays
    // stay in the cache; the sums of each repetition gather over the tiles.
    constexpr std::size_t Tile = 4096;
    std::size_t fitFrom = 0;
    for (std::size_t from = 0; from < count; from += Tile) {
        const std::size_t to = std::min(count, from + Tile);
        std::size_t fitTo = fitFrom;
        while (fitTo < fitAt.size() && fitAt[fitTo] < to) ++fitTo;
        for (std::size_t k = 0; k < n; ++k) {
            load(k, from, to);
            const double w = static_cast<double>(k) - kBar;
            double sum = 0, sumSquares = 0;
#pragma omp simd reduction(+ : sum, sumSquares)
            for (std::size_t j = from; j < to; ++j) {
                const double e = samples[j] - mean[j];
                const double r = roiWeight[j] * e;
                sum += r;
                sumSquares += r * e;
                squares[j] += e * e;
                trend[j] += w * e;
            }
            e1[k] += sum;
            e2[k] += sumSquares;
            double b0 = 0, b1 = 0, b2 = 0, b3 = 0, b4 = 0, b5 = 0, m0 = 0, m1 = 0, m2 = 0, m3 = 0, m4 = 0, m5 = 0;
            double sampled = 0;
            for (std::size_t i = fitFrom; i < fitTo; ++i) {
                const double e = samples[fitAt[i]] - fitMean[i];
                const double f = fitWeights[i] * e, r = roiWeights[i] * e;
                b0 += t0[i] * f, b1 += t1[i] * f, b2 += t2[i] * f, b3 += t3[i] * f, b4 += t4[i] * f, b5 += t5[i] * f;
                m0 += t0[i] * r, m1 += t1[i] * r, m2 += t2[i] * r, m3 += t3[i] * r, m4 += t4[i] * r, m5 += t5[i] * r;
                sampled += r * e;
            }
            const double part[13] = {b0, b1, b2, b3, b4, b5, m0, m1, m2, m3, m4, m5, sampled};
            for (std::size_t q = 0; q < 13; ++q) moments[k][q] += part[q];
        }
        fitFrom = fitTo;
    }
    double sumSmooth = 0;
    for (std::size_t k = 0; k < n; ++k) {
        auto system = normal;
        for (std::size_t r = 0; r < 6; ++r) system[r][6] = moments[k][r];
        std::array<double, 6> c{};
        if (!solve(system, c)) c = {};
        const double sampled = moments[k][12];
        double residual = sampled;
        for (std::size_t r = 0; r < 6; ++r) {
            residual -= 2 * c[r] * moments[k][6 + r];
            for (std::size_t q = 0; q < 6; ++q) residual += c[r] * roiGram[r][q] * c[q];
        }
        // Sampled: the share the fit leaves, of the repetition's whole sum.
        sumSmooth += (sampled > 0 ? residual / sampled * e2[k] : e2[k]) / (N - 1);
    }
    double sumMean = 0, sumQ = 0, sumLinear = 0;
    std::vector<double> pixelSnr;
    for (std::size_t j = 0; j < count; ++j) {
        if (!inRoi[j]) continue;
        sumMean += mean[j];
        sumQ += squares[j];
        if (n >= 3) sumLinear += (squares[j] - trend[j] * trend[j] / sxx) / (N - 2);
        pixelSnr.push_back(maps.snr[region[j]]);
    }

    const auto snrOf = [&](double meanStored, double varianceStored) {
        return (slope * meanStored + intercept) / (std::fabs(slope) * std::sqrt(varianceStored));
    };
    st.meanSignal = slope * (sumMean / P) + intercept;
    st.noise = std::fabs(slope) * std::sqrt(sumQ / ((N - 1) * P));
    st.snr = snrOf(sumMean / P, sumQ / ((N - 1) * P));
    st.snrSmooth = snrOf(sumMean / P, sumSmooth / P);
    if (n >= 3) st.snrLinear = snrOf(sumMean / P, sumLinear / P);
    if (detrend == Detrend::Smooth) st.snrDetrended = st.snrSmooth;
    if (detrend == Detrend::Linear) st.snrDetrended = st.snrLinear;

    // Jackknife over the repetitions, which are independent however the noise is
    // correlated within an image: each left out in turn.
    if (n >= 3) {
        std::vector<double> leftOut(n);
        for (std::size_t k = 0; k < n; ++k) {
            const double m = (sumMean - e1[k] / (N - 1)) / P;
            const double v = (sumQ - e2[k] * N / (N - 1)) / ((N - 2) * P);
            leftOut[k] = snrOf(m, v);
        }
        const double average = std::accumulate(leftOut.begin(), leftOut.end(), 0.0) / N;
        double spread = 0;
        for (const double s : leftOut) spread += (s - average) * (s - average);
        const double se = std::sqrt((N - 1) / N * spread);
        st.snrCi95 = std::array<double, 2>{st.snr - 1.959964 * se, st.snr + 1.959964 * se};
    }

    st.snrPixelMean = std::accumulate(pixelSnr.begin(), pixelSnr.end(), 0.0) / P;
    st.snrPixelMedian = median(pixelSnr);

    // Drift: the ROI mean of each repetition and its least-squares line.
    double sumR = 0, sumKR = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const double r = slope * (sumMean + e1[k]) / P + intercept;
        st.roiMeans.push_back(r);
        sumR += r;
        sumKR += (static_cast<double>(k) - kBar) * r;
    }
    const double average = sumR / N;
    st.drift[1] = sumKR / sxx;
    st.drift[0] = average - st.drift[1] * kBar;
    st.driftPercentPerRepetition = 100 * st.drift[1] / average;
    st.driftPercentTotal = st.driftPercentPerRepetition * (N - 1);
    return st;
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

GFactorSummary gFactorSummary(const std::vector<double>& g, const SeriesMaps& a, const Roi& roi, int pool)
{
    GFactorSummary summary;
    const auto usable = [&](std::size_t p) { return roi.inside[p] && a.snr[p] >= 5; };
    std::vector<double> values;
    std::size_t kept = 0;
    for (std::size_t p = 0; p < g.size(); ++p) kept += usable(p);
    if (pool <= 1) {
        for (std::size_t p = 0; p < g.size(); ++p)
            if (usable(p)) values.push_back(g[p]);
    } else {
        for (int by = 0; by < a.height; by += pool)
            for (int bx = 0; bx < a.width; bx += pool) {
                double sum = 0;
                int count = 0;
                for (int y = by; y < std::min(by + pool, a.height); ++y)
                    for (int x = bx; x < std::min(bx + pool, a.width); ++x) {
                        const std::size_t p = static_cast<std::size_t>(y) * static_cast<std::size_t>(a.width) + static_cast<std::size_t>(x);
                        if (usable(p)) {
                            sum += g[p];
                            ++count;
                        }
                    }
                if (count > 0) values.push_back(sum / count);
            }
    }
    summary.values = values.size();
    summary.maskedFraction = roi.pixels ? 1.0 - static_cast<double>(kept) / static_cast<double>(roi.pixels) : 0.0;
    if (values.empty()) return summary;
    summary.mean = std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
    summary.median = median(values);
    std::sort(values.begin(), values.end());
    summary.p95 = values[static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(values.size()))) - 1];
    summary.max = values.back();
    return summary;
}

}  // namespace quelby
