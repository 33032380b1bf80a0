#include "engine/series/StabilityMaps.h"

#include "engine/core/InputError.h"
#include "engine/kernel/TwoThreads.h"
#include "engine/series/QuadraticBasis.h"
#include "engine/series/RepetitionBatches.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

namespace quelby {

namespace {

// The squares are cut from every frame as it is read, with this many pixels
// around them to spare, within this budget; the centroid moves less than that
// from the first frames' to all frames' mean of a phantom worth measuring.
constexpr int WindowMargin = 2;
constexpr std::size_t WindowBudgetBytes = std::size_t{32} << 20;
// Pixels whose sums stay in registers while a batch's frames are added.
constexpr std::size_t ChunkPixels = 256;

struct Area {
    int x0 = 0, y0 = 0, width = 0, height = 0;
    bool holds(const Area& a) const
    {
        return a.x0 >= x0 && a.y0 >= y0 && a.x0 + a.width <= x0 + width && a.y0 + a.height <= y0 + height;
    }
    std::size_t pixels() const { return static_cast<std::size_t>(width) * static_cast<std::size_t>(height); }
};

Area squareAbout(int x, int y, int side) { return {x - side / 2, y - side / 2, side, side}; }

Area clipped(Area a, int width, int height)
{
    const int x1 = std::min(width, a.x0 + a.width), y1 = std::min(height, a.y0 + a.height);
    a.x0 = std::clamp(a.x0, 0, width);
    a.y0 = std::clamp(a.y0, 0, height);
    return {a.x0, a.y0, std::max(0, x1 - a.x0), std::max(0, y1 - a.y0)};
}

std::size_t pixelIndex(int x, int y, int width)
{
    return static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x);
}

// Sums over the frames of each pixel, in stored values.
struct PixelSums {
    explicit PixelSums(std::size_t pixels) : sum(pixels), squares(pixels), onQ1(pixels), onQ2(pixels), evenOdd(pixels) {}
    std::vector<double> sum, squares, onQ1, onQ2, evenOdd;
};

// A slice as it is read: its sums and the window kept of every frame, both
// made on the helper as the first frames come, so that their pages are first
// touched there while this thread reads.
struct SliceState {
    PixelSums sums{0};
    Area window;
    bool keeps = false;
    std::unique_ptr<std::uint16_t[]> kept;  // the samples as stored, frame after frame
    std::vector<SampleKind> kinds;          // of each frame
    std::int32_t at(std::size_t frame, int x, int y) const
    {
        const std::uint16_t v = kept[frame * window.pixels() + pixelIndex(x - window.x0, y - window.y0, window.width)];
        return kinds[frame] == SampleKind::Int16 ? std::int32_t{static_cast<std::int16_t>(v)} : std::int32_t{v};
    }
};

// What frame t adds to the sums: its weights on the polynomials and on the static image.
struct FrameWeights {
    double q1, q2, evenOdd;
};

template <SampleKind Kind>
void addFrame(const unsigned char* image, FrameWeights w, std::size_t from, std::size_t count, double* s0, double* s2,
              double* s1, double* sq, double* se)
{
    for (std::size_t p = 0; p < count; ++p) {
        const double v = sampleValue(image, from + p, Kind);
        s0[p] += v;
        s2[p] += v * v;
        s1[p] += v * w.q1;
        sq[p] += v * w.q2;
        se[p] += v * w.evenOdd;
    }
}

// The batch's frames of one slice added to its sums, pixels [from, to).
void addBatch(const RepetitionBatches& batch, std::size_t slice, const std::vector<FrameWeights>& weights,
              PixelSums& sums, std::size_t from, std::size_t to)
{
    for (std::size_t c = from; c < to; c += ChunkPixels) {
        const std::size_t n = std::min(ChunkPixels, to - c);
        double s0[ChunkPixels] = {}, s2[ChunkPixels] = {}, s1[ChunkPixels] = {}, sq[ChunkPixels] = {},
               se[ChunkPixels] = {};
        for (std::size_t r = 0; r < batch.repetitions(); ++r) {
            const auto add = batch.kind(slice, r) == SampleKind::Int16 ? addFrame<SampleKind::Int16>
                                                                        : addFrame<SampleKind::Uint16>;
            add(batch.image(slice, r), weights[r], c, n, s0, s2, s1, sq, se);
        }
        for (std::size_t p = 0; p < n; ++p) {
            sums.sum[c + p] += s0[p];
            sums.squares[c + p] += s2[p];
            sums.onQ1[c + p] += s1[p];
            sums.onQ2[c + p] += sq[p];
            sums.evenOdd[c + p] += se[p];
        }
    }
}

// The means of the nested squares about (x, y), side 1 … n, into `out`; `at`
// gives the stored value of a pixel.
template <class At>
void squareMeansOf(const At& at, int x, int y, int n, double* out)
{
    const Area roi = squareAbout(x, y, n);
    const auto side = static_cast<std::size_t>(n) + 1;
    std::vector<double> prefix(side * side, 0.0);  // sums over the ROI's top-left rectangles
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            const auto k = static_cast<std::size_t>(j + 1) * side + static_cast<std::size_t>(i + 1);
            prefix[k] = at(roi.x0 + i, roi.y0 + j) + prefix[k - 1] + prefix[k - side] - prefix[k - side - 1];
        }
    for (int k = 1; k <= n; ++k) {
        const auto lo = static_cast<std::size_t>(n / 2 - k / 2), hi = lo + static_cast<std::size_t>(k);
        const double sum = prefix[hi * side + hi] - prefix[lo * side + hi] - prefix[hi * side + lo] + prefix[lo * side + lo];
        out[k - 1] = sum / (static_cast<double>(k) * k);
    }
}

std::vector<double> meanOfBatch(const RepetitionBatches& batch, std::size_t slice, std::size_t pixels)
{
    std::vector<double> mean(pixels, 0.0);
    for (std::size_t r = 0; r < batch.repetitions(); ++r)
        for (std::size_t p = 0; p < pixels; ++p) mean[p] += sampleValue(batch.image(slice, r), p, batch.kind(slice, r));
    return mean;
}

// Each slice's window about the centroid of its first frames, or none when
// the windows of every frame would not fit the budget.
void placeWindows(std::vector<SliceState>& states, const RepetitionBatches& batch, const StabilityMaps& m)
{
    const int side = m.roiWidth + 2 * WindowMargin;
    const Area most{0, 0, std::min(side, m.width), std::min(side, m.height)};
    const std::size_t bytes = states.size() * static_cast<std::size_t>(m.frames) * most.pixels() * sizeof(std::int32_t);
    if (bytes > WindowBudgetBytes) return;
    const std::size_t pixels = static_cast<std::size_t>(m.width) * static_cast<std::size_t>(m.height);
    for (std::size_t s = 0; s < states.size(); ++s) {
        const auto [x, y] = phantomCentroid(meanOfBatch(batch, s, pixels), m.width, m.height);
        states[s].window = clipped(squareAbout(x, y, side), m.width, m.height);
        states[s].keeps = true;
    }
}

void keepWindow(const RepetitionBatches& batch, std::size_t slice, std::size_t frame, std::size_t frames,
                SliceState& state, int width)
{
    const Area& w = state.window;
    if (!state.kept) {
        state.kept.reset(new std::uint16_t[frames * w.pixels()]);  // every sample written before it is read
        state.kinds.resize(frames);
    }
    for (std::size_t r = 0; r < batch.repetitions(); ++r) {
        std::uint16_t* into = state.kept.get() + (frame + r) * w.pixels();
        state.kinds[frame + r] = batch.kind(slice, r);
        for (int y = w.y0; y < w.y0 + w.height; ++y)
            for (int x = w.x0; x < w.x0 + w.width; ++x) {
                const unsigned char* sample = batch.image(slice, r) + 2 * pixelIndex(x, y, width);
                *into++ = static_cast<std::uint16_t>(sample[0] | sample[1] << 8);
            }
    }
}

// Every slice's frames of the batch, from `frame` on, added to its sums and its windows kept.
void addBatchOfSlices(const RepetitionBatches& batch, std::size_t frame, const QuadraticBasis& basis,
                      std::vector<SliceState>& states, int width, std::size_t pixels)
{
    const int evenFrames = basis.frames() - basis.frames() % 2;
    std::vector<FrameWeights> weights;
    for (std::size_t r = 0; r < batch.repetitions(); ++r) {
        const auto t = static_cast<int>(frame + r);
        weights.push_back({basis.q1(t), basis.q2(t), t >= evenFrames ? 0.0 : t % 2 == 0 ? 1.0 : -1.0});
    }
    for (std::size_t s = 0; s < states.size(); ++s) {
        if (frame == 0) states[s].sums = PixelSums(pixels);
        addBatch(batch, s, weights, states[s].sums, 0, pixels);
        if (states[s].keeps) keepWindow(batch, s, frame, static_cast<std::size_t>(basis.frames()), states[s], width);
    }
}

// The maps from the sums, in their place, rescaled; the centroid on the signal.
void finishMaps(PixelSums&& sums, const QuadraticBasis& basis, const Rescale& rescale, StabilitySlice& slice,
                int width, int height)
{
    const double frames = basis.frames();
    for (std::size_t p = 0; p < sums.sum.size(); ++p) {
        const double squares = basis.residualSquares(sums.sum[p], sums.squares[p], sums.onQ1[p], sums.onQ2[p]);
        const double signal = sums.sum[p] / frames * rescale.slope + rescale.intercept;
        const double fluctuation = std::sqrt(squares / (frames - 3)) * std::fabs(rescale.slope);
        sums.sum[p] = signal;
        sums.squares[p] = fluctuation;
        sums.onQ1[p] = fluctuation > 0 ? signal / fluctuation : 0.0;
        sums.evenOdd[p] *= rescale.slope;
    }
    slice.signal = std::move(sums.sum);
    slice.fluctuation = std::move(sums.squares);
    slice.sfnr = std::move(sums.onQ1);
    slice.staticNoise = std::move(sums.evenOdd);
    sums = PixelSums(0);
    std::tie(slice.centreX, slice.centreY) = phantomCentroid(slice.signal, width, height);
}

void checkFrames(const Stack& stack, int roiWidth, int skip)
{
    if (stack.keys.rows < 1 || stack.keys.columns < 1 || stack.slices.empty()) throw InputError("a stack without images");
    if (roiWidth < 1) throw InputError("a stability ROI of " + std::to_string(roiWidth) + " pixels a side");
    if (skip < 0) throw InputError("a negative number of frames to skip");
    const auto total = static_cast<long long>(stack.repetitions());
    if (total - skip < 4)
        throw InputError(std::to_string(std::max(0LL, total - skip)) + " frame(s) after skipping " + std::to_string(skip) +
                         "; the stability figures need at least 4");
}

void checkFits(const StabilitySlice& slice, std::size_t index, const StabilityMaps& m)
{
    const Area roi = squareAbout(slice.centreX, slice.centreY, m.roiWidth);
    if (!Area{0, 0, m.width, m.height}.holds(roi))
        throw InputError("the " + std::to_string(m.roiWidth) + " × " + std::to_string(m.roiWidth) +
                         " stability ROI about column " + std::to_string(slice.centreX) + ", row " +
                         std::to_string(slice.centreY) + " of slice " + std::to_string(index) + " does not fit the " +
                         std::to_string(m.width) + " × " + std::to_string(m.height) + " matrix");
}

}  // namespace

std::pair<int, int> phantomCentroid(std::span<const double> signal, int width, int height)
{
    std::vector<double> values(signal.begin(), signal.end());
    const double place = 0.99 * static_cast<double>(values.size() - 1);
    const auto below = static_cast<std::size_t>(place);
    const auto at = values.begin() + static_cast<std::ptrdiff_t>(below);
    std::nth_element(values.begin(), at, values.end());
    const double upper = at + 1 == values.end() ? *at : *std::min_element(at + 1, values.end());
    const double half = (*at + (place - static_cast<double>(below)) * (upper - *at)) / 2;
    double sumX = 0, sumY = 0, count = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (signal[pixelIndex(x, y, width)] > half) {
                sumX += x;
                sumY += y;
                ++count;
            }
    if (count == 0) return {width / 2, height / 2};
    return {static_cast<int>(std::floor(sumX / count + 0.5)), static_cast<int>(std::floor(sumY / count + 0.5))};
}

StabilityMaps measureStabilityMaps(const Stack& stack, const ImageSupplier& supply, bool applyRescale, int roiWidth,
                                   int skip)
{
    checkFrames(stack, roiWidth, skip);
    StabilityMaps m;
    m.width = stack.keys.columns;
    m.height = stack.keys.rows;
    m.frames = static_cast<int>(stack.repetitions()) - skip;
    m.roiWidth = roiWidth;
    m.rescale = appliedRescale(stack, applyRescale);
    const std::size_t pixels = static_cast<std::size_t>(m.width) * static_cast<std::size_t>(m.height);
    const std::size_t slices = stack.slices.size();
    const QuadraticBasis basis(m.frames);
    std::vector<SliceState> states(slices);
    RepetitionBatches batches(stack, supply, 2 * pixels);
    const auto start = static_cast<std::size_t>(skip);

    // The helper adds one batch while this thread reads the next.
    RepetitionBatches ahead(stack, supply, 2 * pixels);
    RepetitionBatches *reading = &ahead, *adding = &batches;
    bool more = adding->read(start);
    if (more) placeWindows(states, *adding, m);
    for (std::size_t first = start; more;) {
        const std::size_t next = first + adding->repetitions();
        runOnTwoThreads([&] { more = reading->read(next); },
                        [&] { addBatchOfSlices(*adding, first - start, basis, states, m.width, pixels); });
        std::swap(reading, adding);
        first = next;
    }

    m.slices.resize(slices);
    const auto n = static_cast<std::size_t>(roiWidth);
    std::vector<std::size_t> unkept;
    for (std::size_t s = 0; s < slices; ++s) {
        StabilitySlice& slice = m.slices[s];
        finishMaps(std::move(states[s].sums), basis, m.rescale.value_or(Rescale{}), slice, m.width, m.height);
        checkFits(slice, s, m);
        slice.squareMeans.resize(static_cast<std::size_t>(m.frames) * n);
        const Area& w = states[s].window;
        if (!states[s].kept || !w.holds(squareAbout(slice.centreX, slice.centreY, roiWidth)))
            unkept.push_back(s);
        else
            for (std::size_t t = 0; t < static_cast<std::size_t>(m.frames); ++t) {
                const auto at = [&](int x, int y) { return static_cast<double>(states[s].at(t, x, y)); };
                squareMeansOf(at, slice.centreX, slice.centreY, roiWidth, slice.squareMeans.data() + t * n);
            }
        states[s].kept.reset();
    }
    for (std::size_t first = start; !unkept.empty() && batches.read(first); first += batches.repetitions())
        for (const std::size_t s : unkept)
            for (std::size_t r = 0; r < batches.repetitions(); ++r) {
                const auto at = [&](int x, int y) {
                    return static_cast<double>(sampleValue(batches.image(s, r), pixelIndex(x, y, m.width), batches.kind(s, r)));
                };
                StabilitySlice& slice = m.slices[s];
                squareMeansOf(at, slice.centreX, slice.centreY, roiWidth, slice.squareMeans.data() + (first - start + r) * n);
            }
    if (m.rescale)
        for (StabilitySlice& slice : m.slices)
            for (double& v : slice.squareMeans) v = v * m.rescale->slope + m.rescale->intercept;
    return m;
}

}  // namespace quelby
