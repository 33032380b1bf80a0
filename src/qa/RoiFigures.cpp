#include "qa/RoiFigures.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace quelby {

namespace {

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

RoiFigures::RoiFigures(const Roi& roi, std::span<const double> storedMean, int width, std::size_t repetitions,
                       Detrend detrend)
    : n_(repetitions), detrend_(detrend), e1_(repetitions, 0.0), e2_(repetitions, 0.0),
      moments_(repetitions, std::array<double, 13>{})
{
    const auto w = static_cast<std::size_t>(width);
    const std::size_t height = storedMean.size() / w;
    const auto inFitAt = [&](std::size_t p) { return roi.phantom.empty() ? roi.inside[p] : roi.phantom[p]; };
    std::vector<char> inFit;
    for (std::size_t row = 0; row < height; ++row) {
        std::size_t first = w, last = 0;
        for (std::size_t x = 0; x < w; ++x)
            if (roi.inside[row * w + x] || (!roi.phantom.empty() && roi.phantom[row * w + x])) {
                first = std::min(first, x);
                last = x;
            }
        if (first <= last) runs_.push_back({row * w + first, last - first + 1});
        for (std::size_t p = row * w + first; first <= last && p <= row * w + last; ++p) {
            region_.push_back(p);
            inRoi_.push_back(roi.inside[p]);
            inFit.push_back(inFitAt(p));
            mean_.push_back(storedMean[p]);
        }
    }
    const std::size_t count = region_.size();
    roiWeight_.assign(inRoi_.begin(), inRoi_.end());
    squares_.assign(count, 0.0);
    trend_.assign(count, 0.0);

    // Smooth shifts: per repetition, a second-order polynomial in column and row
    // fitted to its deviation from the mean over the fit region (the phantom, or
    // the ROI where none was found). It is taken over every pixel when it is
    // asked for; for the warning alone, over every fourth, which tells the share
    // of the noise it removes well enough.
    const std::size_t stride = detrend == Detrend::Smooth ? 1 : 4;
    const double scale = std::max<std::size_t>(w, height);
    for (std::size_t j = 0; j < count; j += stride) {
        const double x = (static_cast<double>(region_[j] % w) - static_cast<double>(w) / 2.0) / scale;
        const double y = (static_cast<double>(region_[j] / w) - static_cast<double>(height) / 2.0) / scale;
        const double t[6] = {1, x, y, x * x, x * y, y * y};
        fitAt_.push_back(j);
        for (std::size_t r = 0; r < 6; ++r) fitTerms_[r].push_back(t[r]);
        fitWeights_.push_back(inFit[j]);
        fitRoiWeights_.push_back(inRoi_[j]);
        for (std::size_t r = 0; r < 6; ++r)
            for (std::size_t c = 0; c < 6; ++c) {
                normal_[r][c] += inFit[j] * t[r] * t[c];
                roiGram_[r][c] += inRoi_[j] * t[r] * t[c];
            }
    }
    makeTiles();
}

// Rows' runs of about 2,048 pixels a tile: its sums, samples and fit terms
// take a few tens of KiB.
void RoiFigures::makeTiles()
{
    constexpr std::size_t TilePixels = 2048;
    std::size_t longest = 0;
    for (std::size_t r = 0, from = 0, fit = 0; r < runs_.size();) {
        Tile tile{r, r, from, from, fit, fit};
        while (tile.lastRun < runs_.size() && (tile.to == from || tile.to - from + runs_[tile.lastRun].length <= TilePixels))
            tile.to += runs_[tile.lastRun++].length;
        while (tile.lastFit < fitAt_.size() && fitAt_[tile.lastFit] < tile.to) ++tile.lastFit;
        tiles_.push_back(tile);
        longest = std::max(longest, tile.to - tile.from);
        r = tile.lastRun;
        from = tile.to;
        fit = tile.lastFit;
    }
    samples_.assign(longest, 0.0);
}

void RoiFigures::add(std::size_t first, std::span<const unsigned char* const> images, std::span<const SampleKind> kinds)
{
    for (const Tile& tile : tiles_)
        for (std::size_t b = 0; b < images.size(); ++b) addTile(tile, first + b, images[b], kinds[b]);
}

// Its loops over the pixels take most of the figures' time.
[[gnu::target_clones("avx2", "default")]] void RoiFigures::addTile(const Tile& tile, std::size_t k,
                                                                   const unsigned char* samples, SampleKind kind)
{
    // The samples as doubles, written out here so that they are converted in vectors.
    double* to = samples_.data();
    for (std::size_t r = tile.firstRun; r < tile.lastRun; ++r) {
        const unsigned char* bytes = samples + 2 * runs_[r].pixel;
        const std::size_t length = runs_[r].length;
        if (kind == SampleKind::Int16)
            for (std::size_t i = 0; i < length; ++i)
                to[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8));
        else
            for (std::size_t i = 0; i < length; ++i)
                to[i] = static_cast<std::uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
        to += length;
    }
    const double w = static_cast<double>(k) - (static_cast<double>(n_) - 1) / 2;
    const double *x = samples_.data(), *mean = mean_.data() + tile.from, *weight = roiWeight_.data() + tile.from;
    double *squares = squares_.data() + tile.from, *trend = trend_.data() + tile.from;
    const std::size_t count = tile.to - tile.from;
    double sum = 0, sumSquares = 0;
#pragma omp simd reduction(+ : sum, sumSquares)
    for (std::size_t i = 0; i < count; ++i) {
        const double e = x[i] - mean[i];
        const double r = weight[i] * e;
        sum += r;
        sumSquares += r * e;
        squares[i] += e * e;
        trend[i] += w * e;
    }
    e1_[k] += sum;
    e2_[k] += sumSquares;
    addFitMoments(tile, k);
}

[[gnu::target_clones("avx2", "default")]] void RoiFigures::addFitMoments(const Tile& tile, std::size_t k)
{
    const double *t0 = fitTerms_[0].data(), *t1 = fitTerms_[1].data(), *t2 = fitTerms_[2].data(),
                 *t3 = fitTerms_[3].data(), *t4 = fitTerms_[4].data(), *t5 = fitTerms_[5].data();
    const double *x = samples_.data(), *mean = mean_.data(), *fit = fitWeights_.data(), *roi = fitRoiWeights_.data();
    const std::size_t *at = fitAt_.data(), from = tile.from;
    double b0 = 0, b1 = 0, b2 = 0, b3 = 0, b4 = 0, b5 = 0, m0 = 0, m1 = 0, m2 = 0, m3 = 0, m4 = 0, m5 = 0;
    double sampled = 0;
#pragma omp simd reduction(+ : b0, b1, b2, b3, b4, b5, m0, m1, m2, m3, m4, m5, sampled)
    for (std::size_t i = tile.firstFit; i < tile.lastFit; ++i) {
        const std::size_t j = at[i];
        const double e = x[j - from] - mean[j];
        const double f = fit[i] * e, r = roi[i] * e;
        b0 += t0[i] * f, b1 += t1[i] * f, b2 += t2[i] * f, b3 += t3[i] * f, b4 += t4[i] * f, b5 += t5[i] * f;
        m0 += t0[i] * r, m1 += t1[i] * r, m2 += t2[i] * r, m3 += t3[i] * r, m4 += t4[i] * r, m5 += t5[i] * r;
        sampled += r * e;
    }
    const double part[13] = {b0, b1, b2, b3, b4, b5, m0, m1, m2, m3, m4, m5, sampled};
    for (std::size_t q = 0; q < 13; ++q) moments_[k][q] += part[q];
}

// The residual of the fit over the ROI without a pass of its own: with f the
// fit of a repetition, Σ(e − f)² = Σe² − 2·c·Σt·e + cᵀ(Σt·tᵀ)c over the ROI.
double RoiFigures::smoothVariance() const
{
    const auto N = static_cast<double>(n_);
    double sum = 0;
    for (std::size_t k = 0; k < n_; ++k) {
        auto system = normal_;
        for (std::size_t r = 0; r < 6; ++r) system[r][6] = moments_[k][r];
        std::array<double, 6> c{};
        if (!solve(system, c)) c = {};
        const double sampled = moments_[k][12];
        double residual = sampled;
        for (std::size_t r = 0; r < 6; ++r) {
            residual -= 2 * c[r] * moments_[k][6 + r];
            for (std::size_t q = 0; q < 6; ++q) residual += c[r] * roiGram_[r][q] * c[q];
        }
        // Sampled: the share the fit leaves, of the repetition's whole sum.
        sum += (sampled > 0 ? residual / sampled * e2_[k] : e2_[k]) / (N - 1);
    }
    return sum;
}

SeriesStatistics RoiFigures::statistics(std::span<const double> snr, const std::optional<Rescale>& rescale) const
{
    SeriesStatistics st;
    const std::size_t n = n_;
    const auto N = static_cast<double>(n);
    st.pixels = static_cast<std::size_t>(std::count(inRoi_.begin(), inRoi_.end(), 1));
    const auto P = static_cast<double>(st.pixels);
    const double slope = rescale ? rescale->slope : 1.0, intercept = rescale ? rescale->intercept : 0.0;
    const double kBar = (N - 1) / 2, sxx = N * (N * N - 1) / 12;

    double sumMean = 0, sumQ = 0, sumLinear = 0;
    std::vector<double> pixelSnr;
    for (std::size_t j = 0; j < region_.size(); ++j) {
        if (!inRoi_[j]) continue;
        sumMean += mean_[j];
        sumQ += squares_[j];
        if (n >= 3) sumLinear += (squares_[j] - trend_[j] * trend_[j] / sxx) / (N - 2);
        pixelSnr.push_back(snr[region_[j]]);
    }
    const double sumSmooth = smoothVariance();

    const auto snrOf = [&](double meanStored, double varianceStored) {
        return (slope * meanStored + intercept) / (std::fabs(slope) * std::sqrt(varianceStored));
    };
    st.meanSignal = slope * (sumMean / P) + intercept;
    st.noise = std::fabs(slope) * std::sqrt(sumQ / ((N - 1) * P));
    st.snr = snrOf(sumMean / P, sumQ / ((N - 1) * P));
    st.snrSmooth = snrOf(sumMean / P, sumSmooth / P);
    if (n >= 3) st.snrLinear = snrOf(sumMean / P, sumLinear / P);
    if (detrend_ == Detrend::Smooth) st.snrDetrended = st.snrSmooth;
    if (detrend_ == Detrend::Linear) st.snrDetrended = st.snrLinear;

    // Jackknife over the repetitions, which are independent however the noise is
    // correlated within an image: each left out in turn.
    if (n >= 3) {
        std::vector<double> leftOut(n);
        for (std::size_t k = 0; k < n; ++k) {
            const double m = (sumMean - e1_[k] / (N - 1)) / P;
            const double v = (sumQ - e2_[k] * N / (N - 1)) / ((N - 2) * P);
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
        const double r = slope * (sumMean + e1_[k]) / P + intercept;
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

}  // namespace quelby
