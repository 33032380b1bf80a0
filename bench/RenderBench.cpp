#include "display/Rendering.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>

namespace {

using namespace quelby;

// A noisy disc phantom: signal about 2000 inside, background near 0, fractions everywhere.
const Map& phantom()
{
    static const Map map = [] {
        Map m{};
        std::mt19937 rng(20240611);
        std::normal_distribution<double> noise(0.0, 40.0);
        for (int r = 0; r < ImageSide; ++r)
            for (int c = 0; c < ImageSide; ++c) {
                const double dr = r - 127.5, dc = c - 127.5;
                const double signal = std::hypot(dr, dc) < 100 ? 2000.0 + 4.0 * (c - 128) : 40.0;
                m[r][c] = std::clamp(signal + noise(rng), 0.0, 3000.0);
            }
        return m;
    }();
    return map;
}

struct Bitmap {
    std::array<std::array<std::uint8_t, 3 * ImageSide>, ImageSide> bytes{};
    std::array<std::uint8_t*, ImageSide> rows{};
    Bitmap()
    {
        for (int r = 0; r < ImageSide; ++r) rows[r] = bytes[r].data();
    }
};

constexpr std::int16_t Level = 1500;
constexpr std::int16_t Width = 3000;

void BM_RenderMap(benchmark::State& state)
{
    const Map& map = phantom();
    Bitmap bitmap;
    for (auto _ : state) {
        renderMap(map, Level, Width, bitmap.rows.data());
        benchmark::DoNotOptimize(bitmap.bytes.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * FramePixels);
}
BENCHMARK(BM_RenderMap)->Unit(benchmark::kMicrosecond);

// The literal steps per pixel, with their signed division, for comparison.
void BM_GreyOfPerPixel(benchmark::State& state)
{
    const Map& map = phantom();
    Bitmap bitmap;
    for (auto _ : state) {
        for (int r = 0; r < ImageSide; ++r)
            for (int c = 0; c < ImageSide; ++c) {
                const std::uint8_t g = greyOf(map[r][c], Level, Width);
                bitmap.rows[r][3 * c] = g;
                bitmap.rows[r][3 * c + 1] = g;
                bitmap.rows[r][3 * c + 2] = g;
            }
        benchmark::DoNotOptimize(bitmap.bytes.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * FramePixels);
}
BENCHMARK(BM_GreyOfPerPixel)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
