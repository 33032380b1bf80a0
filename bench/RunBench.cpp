// A whole measurement run against the reading it cannot avoid, its memory
// against the number of files, and the per-sample kernels alone.
#include "engine/io/FolderReader.h"
#include "qa/MeasureProgram.h"
#include "run/MeasurementRun.h"
#include "PhantomSeries.h"
#include "engine/kernel/RunKernel.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <array>
#include <bit>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <memory>
#include <random>
#include <string>

using namespace quelby;

namespace {

class SilentView : public RunView {
public:
    void refuseReductionFactor() override {}
    void setProgressBarShown(bool) override {}
    void clearMapList() override {}
    void addMapListLine(const char*) override {}
    void setProgress(int position) override { benchmark::DoNotOptimize(position); }
    void setWindowCaption(const std::string&) override {}
    void render() override {}
};

std::string benchFolder(const std::string& name)
{
    return (std::filesystem::temp_directory_path() / ("quelby-bench-" + name)).string();
}

// Writes the demo pair with `files` files per series once per process; raw
// files carry a 512-byte header, as scanner exports often do.
std::string demoPair(int files, bool dicom = false)
{
    const std::string root = benchFolder(std::to_string(files) + (dicom ? "-dicom" : ""));
    if (!std::filesystem::exists(root + "/SeriesB")) {
        PhantomSeries series;
        series.files = files;
        series.dicom = dicom;
        series.headerBytes = dicom ? 0 : 512;
        writeDemo(root, series);
    }
    return root;
}

MapStore& store()
{
    static auto s = std::make_unique<MapStore>();
    return *s;
}

void readOnly(const std::string& folder, ImageBytesBuffer& buffer)
{
    for (const std::string& name : ListImageFiles(folder)) {
        ReadImageFile(ImageFilePath(folder, name), buffer);
        benchmark::DoNotOptimize(buffer.data());
    }
}

// The same listings and reads as a g-factor run: each folder read twice.
void BM_ReadingAlone(benchmark::State& state)
{
    const std::string root = demoPair(static_cast<int>(state.range(0)));
    static ImageBytesBuffer buffer;
    for (auto _ : state)
        for (const char* series : {"/SeriesA", "/SeriesB"})
            for (int pass = 0; pass < 2; ++pass) readOnly(root + series, buffer);
}
BENCHMARK(BM_ReadingAlone)
    ->ArgName("files")
    ->Arg(50)
    ->Arg(64)
    ->Arg(100)
    ->Arg(128)
    ->Arg(200)
    ->Unit(benchmark::kMillisecond);

// Raw files (0) against uncompressed DICOM files (1) of the same samples.
void BM_GFactorRun(benchmark::State& state)
{
    const std::string root = demoPair(static_cast<int>(state.range(0)), state.range(1) != 0);
    SilentView view;
    const RunInputs inputs{"60", "20", "2", true, root + "/SeriesA", root + "/SeriesB"};
    for (auto _ : state) MeasurementRun(inputs, store(), view);
}
BENCHMARK(BM_GFactorRun)
    ->ArgNames({"files", "dicom"})
    ->Args({50, 0})
    ->Args({64, 0})
    ->Args({100, 0})
    ->Args({128, 0})
    ->Args({200, 0})
    ->Args({100, 1})
    ->Unit(benchmark::kMillisecond);

// quelby-measure on the same pair as BM_GFactorRun: reading, measuring and
// writing the seven maps and the report (raw 0, DICOM 1).
void BM_MeasureCommand(benchmark::State& state)
{
    const std::string root = demoPair(static_cast<int>(state.range(0)), state.range(1) != 0);
    const std::string out = benchFolder("measure-out");
    std::ostringstream sink;
    std::vector<std::string> args{"quelby-measure", root + "/SeriesA", root + "/SeriesB", "-R", "2", "-o", out, "-q"};
    for (auto _ : state)
        if (runMeasure(args, sink, sink) != 0) state.SkipWithError("quelby-measure failed");
}
BENCHMARK(BM_MeasureCommand)
    ->ArgNames({"files", "dicom"})
    ->Args({100, 0})
    ->Args({100, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The files of one classic DICOM series of 256 × 256 × 100 read whole, as cat
// reads them, against quelby-measure on it: reading, both passes, the ROI
// figures, the maps, pictures and report (into the page cache, then synced).
void BM_ReadingDicomSeriesWhole(benchmark::State& state)
{
    const std::string folder = demoPair(100, true) + "/SeriesA";
    std::vector<char> bytes(1 << 20);
    for (auto _ : state)
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            std::ifstream in(entry.path(), std::ios::binary);
            while (in.read(bytes.data(), static_cast<std::streamsize>(bytes.size())) || in.gcount() > 0)
                benchmark::DoNotOptimize(bytes.data());
        }
}
BENCHMARK(BM_ReadingDicomSeriesWhole)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MeasureDicomSeries(benchmark::State& state)
{
    const std::string folder = demoPair(100, true) + "/SeriesA";
    std::ostringstream sink;
    const std::vector<std::string> args{"quelby-measure", folder, "-o", benchFolder("dicom-out"), "-q"};
    for (auto _ : state)
        if (runMeasure(args, sink, sink) != 0) state.SkipWithError("quelby-measure failed");
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_KiB"] = static_cast<double>(usage.ru_maxrss);
}
BENCHMARK(BM_MeasureDicomSeries)->Unit(benchmark::kMillisecond)->UseRealTime();

// A plain series of side × side raw samples, to show the cost grows with the pixels.
std::string squareSeries(int side, int files)
{
    const std::string folder = benchFolder("square-" + std::to_string(side));
    if (std::filesystem::exists(folder + ".done")) return folder;
    std::filesystem::create_directories(folder);
    std::mt19937 rng(side);
    std::normal_distribution<double> noise(1000.0, 20.0);
    std::vector<char> bytes(2 * static_cast<std::size_t>(side) * side);
    for (int k = 0; k < files; ++k) {
        for (std::size_t p = 0; p < bytes.size(); p += 2) {
            const auto s = static_cast<std::uint16_t>(std::lround(noise(rng)));
            bytes[p] = static_cast<char>(s & 0xFF);
            bytes[p + 1] = static_cast<char>(s >> 8);
        }
        std::ofstream(folder + "/" + std::to_string(k), std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::ofstream(folder + ".done");
    return folder;
}

void BM_MeasureSquare(benchmark::State& state)
{
    const int side = static_cast<int>(state.range(0));
    const std::string folder = squareSeries(side, 100);
    const std::string out = benchFolder("square-out");
    std::ostringstream sink;
    const std::string layout = std::to_string(side) + "x" + std::to_string(side);
    std::vector<std::string> args{"quelby-measure", folder, "--raw", layout, "-o", out, "-q"};
    for (auto _ : state)
        if (runMeasure(args, sink, sink) != 0) state.SkipWithError("quelby-measure failed");
}
BENCHMARK(BM_MeasureSquare)->Arg(256)->Arg(512)->Unit(benchmark::kMillisecond)->UseRealTime();

// Peak resident memory after a plain run; run the 16-file case first, so the
// growth to the 1,024-file case shows in the second figure.
void BM_PlainRunPeakMemory(benchmark::State& state)
{
    const std::string root = demoPair(static_cast<int>(state.range(0)));
    SilentView view;
    const RunInputs inputs{"60", "20", "2", false, root + "/SeriesA", ""};
    for (auto _ : state) MeasurementRun(inputs, store(), view);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_KiB"] = static_cast<double>(usage.ru_maxrss);
}
BENCHMARK(BM_PlainRunPeakMemory)->Arg(16)->Arg(1024)->Iterations(1)->Unit(benchmark::kMillisecond);

// The per-sample work alone, on one batch of phantom-like images held in the
// cache: nanoseconds per sample in the counter.
struct KernelData {
    std::array<ImageBytesBuffer, KernelImages> images;
    Map mean{}, noise{}, signal{};

    explicit KernelData(int files)
    {
        std::mt19937 rng(3);
        std::normal_distribution<double> noiseOf(0.0, 20.0);
        for (int p = 0; p < FramePixels; ++p) {
            const double truth = p / ImageSide > 28 && p / ImageSide < 228 ? 1000.0 : 0.0;
            mean[p / ImageSide][p % ImageSide] = std::round((truth + noiseOf(rng) / 10) * files) / files;
            for (ImageBytesBuffer& image : images) {
                const auto s = static_cast<std::uint16_t>(std::lround(truth + noiseOf(rng)));
                image[2 * p] = static_cast<unsigned char>(s & 0xFF);
                image[2 * p + 1] = static_cast<unsigned char>(s >> 8);
            }
        }
    }
};

void setSampleRate(benchmark::State& state)
{
    state.counters["ns_per_sample"] = benchmark::Counter(static_cast<double>(FramePixels) * KernelImages,
                                                         benchmark::Counter::kIsIterationInvariantRate |
                                                             benchmark::Counter::kInvert);
}

// Means on a grain of 1/files: exact blocks for 128 files, the long-double
// expression for 100.
void BM_DeviationKernel(benchmark::State& state)
{
    const int files = static_cast<int>(state.range(0));
    const auto data = std::make_unique<KernelData>(files);
    for (auto _ : state) {
        addSquaredDeviations(data->images, data->mean, data->noise, std::countr_zero(static_cast<unsigned>(files)));
        benchmark::ClobberMemory();
    }
    setSampleRate(state);
}
BENCHMARK(BM_DeviationKernel)->Arg(128)->Arg(100)->Unit(benchmark::kMicrosecond);

void BM_SumKernel(benchmark::State& state)
{
    const auto data = std::make_unique<KernelData>(128);
    for (auto _ : state) {
        addSamples(data->images, data->signal);
        benchmark::ClobberMemory();
    }
    setSampleRate(state);
}
BENCHMARK(BM_SumKernel)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
