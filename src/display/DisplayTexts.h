#pragma once

#include "display/WindowChoice.h"

#include <array>
#include <optional>
#include <string>

namespace quelby {

// Captions of the value readout that map selection puts in place before the first move.
inline constexpr const char* SnrReadoutCaption = " SNR = ";
inline constexpr const char* SignalReadoutCaption = " 信号強度 = ";

inline constexpr int ScaleLabelCount = 10;
using ScaleLabels = std::array<std::string, ScaleLabelCount>;

// The window as the measurement run writes it: "(wl,ww) = (617,1235)".
std::string runWindowText(Window window);

// The window as selection and dragging write it: "( WL,WW ) = ( 160 , 460 )";
// for the g-factor map in units of g: "( WL,WW ) = ( 2.00 , 4.00 )".
std::string windowText(Window window, int mapIndex);

// "( X,Y ) = ( 12 , 200 )".
std::string positionText(int x, int y);

// The value under the pointer in the units of the map on show (-1: none selected).
std::string valueText(int mapIndex, double value);

// The captions of the scale labels from top to bottom: label N names
// (10 - N) × step + min. Only the SNR and g-factor maps have them.
std::optional<ScaleLabels> scaleLabelTexts(int mapIndex, double min, double step);

}  // namespace quelby
