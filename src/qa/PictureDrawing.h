#pragma once

#include "qa/Pictures.h"
#include "qa/StabilityFigures.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quelby {

// The pictures are drawn with Qt in a module of their own, so that the command
// line starts without Qt's libraries and loads them beside its reading
// (loadPicturesAhead), or not at all when it draws nothing.
struct PictureDrawing {
    void (*prepare)();
    std::vector<char> (*map)(const MapPicture&);
    std::vector<char> (*plainMap)(const std::vector<PictureSlice>&, int, int, double, double,
                                  const std::vector<std::string>&);
    std::vector<char> (*drift)(const SeriesStatistics&, const std::string&);
    std::vector<char> (*stability)(const StabilityFigures&, std::span<const double>, int, int, std::optional<double>,
                                   const std::string&);
};

// The module's entry: a function taking nothing and giving its PictureDrawing.
inline constexpr const char* PictureDrawingName = "quelby_picture_drawing";

// The module's side, as its table holds them.
void prepareDrawing();
std::vector<char> drawMap(const MapPicture& picture);
std::vector<char> drawPlainMap(const std::vector<PictureSlice>& slices, int width, int height, double low,
                               double high, const std::vector<std::string>& caption);
std::vector<char> drawDrift(const SeriesStatistics& statistics, const std::string& title);
std::vector<char> drawStability(const StabilityFigures& figures, std::span<const double> sfnr, int width, int height,
                                std::optional<double> frameSeconds, const std::string& title);

// Starts loading the module, and readying Qt, on the helper thread; the first
// picture waits for them. Called before any other thread runs.
void loadPicturesAhead();

}  // namespace quelby
