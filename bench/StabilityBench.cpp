// The stability computation on a 64 × 64 × 27 × 200 DICOM series against
// reading the same images with the same calls.
#include "DicomSeries.h"
#include "GaussianNoise.h"
#include "engine/io/SeriesSource.h"
#include "engine/series/RepetitionBatches.h"
#include "qa/StabilityFigures.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>

using namespace quelby;

namespace {

constexpr int Side = 64, Slices = 27, Frames = 200;

// One classic file per slice and frame, and beside the folder the same
// samples as little-endian int16, frame after frame, slice after slice, for
// bench/numpy_stability.py. Written once per machine.
std::string stabilitySeries()
{
    const auto root = std::filesystem::temp_directory_path() / "quelby-bench-stability";
    const std::string folder = (root / "series").string();
    if (std::filesystem::exists(root / "samples.i16")) return folder;
    std::filesystem::create_directories(folder);
    DicomLayout layout;
    layout.rows = layout.columns = Side;
    layout.seriesUid = "2.25.7001";
    layout.attributes[0x00200037] = "1\\0\\0\\0\\1\\0";
    GaussianNoise noise(42);
    std::ofstream samples(root / "samples.i16.part", std::ios::binary);
    std::vector<std::int32_t> image(Side * Side);
    for (int t = 0; t < Frames; ++t)
        for (int s = 0; s < Slices; ++s) {
            const double signal = 1000 * (1 + 0.01 * t / Frames);
            for (int p = 0; p < Side * Side; ++p) {
                const double dx = p % Side - 31.5, dy = p / Side - 31.5;
                image[p] = static_cast<std::int32_t>(std::lround((dx * dx + dy * dy < 576 ? signal : 50) + 10 * noise.next()));
                const auto v = static_cast<std::int16_t>(image[p]);
                samples.write(reinterpret_cast<const char*>(&v), 2);
            }
            layout.imagePosition = "0\\0\\" + std::to_string(4 * s);
            layout.instanceNumber = t * Slices + s + 1;
            writeDicomImage(folder + "/im" + std::to_string(t * Slices + s + 100000), layout, image);
        }
    samples.close();
    std::filesystem::rename(root / "samples.i16.part", root / "samples.i16");
    return folder;
}

struct OpenSeries {
    SeriesSource source = openSeriesSource(stabilitySeries(), RawLayout{});
    ImageReader reader{source};
    ImageSupplier supply = [this](const ImageRef& image, std::span<unsigned char> into) { return reader.read(image, into); };
    const Stack& stack() const { return source.stacks.front(); }
};

OpenSeries& series()
{
    static OpenSeries s;
    return s;
}

// Every image once, in the order and by the calls the stability pass reads them.
void BM_StabilityReading(benchmark::State& state)
{
    OpenSeries& s = series();
    const std::size_t bytes = 2 * static_cast<std::size_t>(Side) * Side;
    for (auto _ : state) {
        RepetitionBatches batches(s.stack(), s.supply, bytes);
        for (std::size_t first = 0; batches.read(first); first += batches.repetitions())
            benchmark::DoNotOptimize(batches.image(0, 0));
    }
}
BENCHMARK(BM_StabilityReading)->Unit(benchmark::kMillisecond)->UseRealTime();

// The maps and figures of every slice, ROI 21.
void BM_Stability(benchmark::State& state)
{
    OpenSeries& s = series();
    StabilityResult result;
    for (auto _ : state) benchmark::DoNotOptimize(result = measureStability(s.stack(), s.supply, true, 21, 0));
    // The centre slice's, to set beside numpy_stability.py's.
    const StabilityFigures& f = result.figures[Slices / 2];
    state.counters["sfnr"] = f.sfnr;
    state.counters["snr"] = f.snr;
    state.counters["fluctuation_pct"] = f.percentFluctuation;
    state.counters["drift_pct"] = f.driftPercent;
    state.counters["rdc"] = f.rdc;
}
BENCHMARK(BM_Stability)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
