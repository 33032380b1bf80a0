#pragma once

#include "engine/core/MapStore.h"

#include <string>

namespace quelby {

// What the run reads from the window.
struct RunInputs {
    std::string scaleMinText;
    std::string scaleStepText;
    std::string reductionFactorText;
    bool gFactorMode = true;
    std::string folderA;
    std::string folderB;
};

// What the run shows, at the moments it shows it. The window implements this;
// tests record it.
class RunView {
public:
    virtual ~RunView() = default;
    virtual void refuseReductionFactor() = 0;
    virtual void setProgressBarShown(bool shown) = 0;
    virtual void clearMapList() = 0;
    virtual void addMapListLine(const char* text) = 0;
    virtual void setProgress(int position) = 0;
    virtual void setWindowCaption(const std::string& caption) = 0;
    virtual void render() = 0;
};

// Computes the maps of one series (or two, in g-factor mode) into the store.
// A failing step throws and leaves everything done before it in place.
void MeasurementRun(const RunInputs& inputs, MapStore& store, RunView& view);

}  // namespace quelby
