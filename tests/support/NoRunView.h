#pragma once

#include "run/MeasurementRun.h"

namespace quelby::test {

// A run's view that shows nothing, for tests that look only at the maps.
class NoRunView : public RunView {
public:
    void refuseReductionFactor() override {}
    void setProgressBarShown(bool) override {}
    void clearMapList() override {}
    void addMapListLine(const char*) override {}
    void setProgress(int) override {}
    void setWindowCaption(const std::string&) override {}
    void render() override {}
};

}  // namespace quelby::test
