#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace quelby {

inline constexpr int ImageSide = 256;
inline constexpr int FramePixels = ImageSide * ImageSide;

// 256 × 256 values, row 0 at the top of the picture, column 0 at its left.
using MapRow = std::array<double, ImageSide>;
using Map = std::array<MapRow, ImageSide>;

// The values of a map row after row, as one run.
inline std::span<double> pixelsOf(Map& map) { return {map[0].data(), FramePixels}; }
inline std::span<const double> pixelsOf(const Map& map) { return {map[0].data(), FramePixels}; }

// The lines of the map list, in this order.
enum MapIndex : int {
    RepImageAIndex,
    SignalMapAIndex,
    NoiseMapAIndex,
    SnrMapAIndex,
    RepImageBIndex,
    SignalMapBIndex,
    NoiseMapBIndex,
    SnrMapBIndex,
    GFactorMapIndex,
    ResultMapCount
};

inline constexpr const char* MapListText[ResultMapCount] = {
    "PIなし 代表画像", "PIなし 信号値画像", "PIなし 雑音値画像", "PIなし SNR map",
    "PIあり 代表画像", "PIあり 信号値画像", "PIあり 雑音値画像", "PIあり SNR map",
    "g-factor map",
};

inline constexpr bool isSnrMap(int index) { return index == SnrMapAIndex || index == SnrMapBIndex; }

// The maps that carry the reference bar.
inline constexpr bool isScaleMap(int index) { return isSnrMap(index) || index == GFactorMapIndex; }

struct DragState {
    std::int16_t StartWidth = 0;
    std::int16_t StartLevel = 0;
    std::int32_t StartX = 0;
    std::int32_t StartY = 0;
    std::uint8_t Active = 0;
};

// The measurement and display state. The program holds exactly one, static and
// zero at start; the engine and the display take it by reference.
struct MapStore {
    std::int32_t CountA = 0;
    std::int32_t CountB = 0;
    Map DisplayMap{};
    Map RepImageA{};
    Map SignalMapA{};
    Map NoiseMapA{};
    Map SnrMapA{};
    Map RepImageB{};
    Map SignalMapB{};
    Map NoiseMapB{};
    Map SnrMapB{};
    Map GFactorMap{};
    std::int16_t WindowWidth = 0;
    std::int16_t WindowLevel = 0;
    DragState Drag;
    double DisplayMax = 0.0;
    std::int32_t FileCounter = 0;
    double ScaleMin = 0.0;
    double ScaleStep = 0.0;

    Map& resultMap(int index);
    const Map& resultMap(int index) const;
};

inline void zeroMap(Map& map) { map = Map{}; }

// The largest value of the map, starting from 0.0, so never below it.
double largestValue(const Map& map);

}  // namespace quelby
