#include "MeasurementRun.h"

#include "CheckedFloat.h"
#include "DisplayTexts.h"
#include "FolderReader.h"
#include "NumberText.h"
#include "ScaleBar.h"
#include "WindowChoice.h"

namespace quelby {

namespace {

using checked::Extended;

// The maps of one series and where its passes sit on the progress bar.
struct Series {
    const std::string& folder;
    Map& repImage;
    Map& signal;
    Map& noise;
    Map& snr;
    std::int32_t& count;
    int progressBase;   // position before the sum pass
    int progressShare;  // positions per pass
};

// One image is held for the whole process: nothing is allocated per run.
ImageBytesBuffer Buffer;

class Run {
public:
    Run(const RunInputs& inputs, MapStore& store, RunView& view) : in_(inputs), s_(store), view_(view) {}

    void execute()
    {
        s_.ScaleMin = parseNumber(in_.scaleMinText);
        s_.ScaleStep = parseNumber(in_.scaleStepText);
        if (in_.reductionFactorText == "0") {
            view_.refuseReductionFactor();
            view_.setProgressBarShown(false);
            return;
        }
        view_.setProgressBarShown(true);
        view_.clearMapList();
        const int lines = in_.gFactorMode ? ResultMapCount : SnrMapAIndex + 1;
        for (int k = 0; k < lines; ++k) view_.addMapListLine(MapListText[k]);
        if (in_.gFactorMode) parseNumber(in_.reductionFactorText);

        for (int k = 0; k < ResultMapCount; ++k) zeroMap(s_.resultMap(k));

        const int share = in_.gFactorMode ? 25 : 50;
        measure({in_.folderA, s_.RepImageA, s_.SignalMapA, s_.NoiseMapA, s_.SnrMapA, s_.CountA, 0, share}, true);
        WriteScaleBar(s_.SnrMapA, s_.ScaleMin, s_.ScaleStep);
        WriteScaleFrame(s_.SnrMapA);
        if (in_.gFactorMode) {
            measure({in_.folderB, s_.RepImageB, s_.SignalMapB, s_.NoiseMapB, s_.SnrMapB, s_.CountB, 50, share}, false);
            WriteScaleBar(s_.SnrMapB, s_.ScaleMin, s_.ScaleStep);
        }
        WriteScaleFrame(s_.SnrMapB);

        gFactor(parseNumber(in_.reductionFactorText));
        WriteScaleBar(s_.GFactorMap, checked::store(100.0L * s_.ScaleMin), checked::store(100.0L * s_.ScaleStep));
        WriteScaleFrame(s_.GFactorMap);

        s_.DisplayMax = largestValue(s_.DisplayMap);
        const Window window = windowFromLargest(s_.DisplayMax);
        s_.WindowLevel = window.level;
        s_.WindowWidth = window.width;
        view_.setWindowCaption(runWindowText(window));
        view_.render();
        view_.setProgressBarShown(false);
    }

private:
    void measure(const Series& series, bool showsRepImage)
    {
        series.count = CountImageFiles(series.folder);
        sumPass(series);
        mean(series, showsRepImage);
        deviationPass(series);
        noise(series);
        snr(series);
    }

    void sumPass(const Series& series)
    {
        Map& rep = series.repImage;
        Map& signal = series.signal;
        ReadImageFolder(
            series.folder, Buffer, [&] { s_.FileCounter = 0; },
            [&](int r, int c, std::int16_t sample) {
                rep[r][c] = sample;
                signal[r][c] += rep[r][c];
            },
            [&] { advance(series, series.progressBase); });
    }

    void mean(const Series& series, bool showsRepImage)
    {
        for (int r = 0; r < ImageSide; ++r)
            for (int c = 0; c < ImageSide; ++c) {
                if (showsRepImage) s_.DisplayMap[r][c] = series.repImage[r][c];
                series.signal[r][c] = checked::store(checked::div(series.signal[r][c], series.count));
            }
    }

    void deviationPass(const Series& series)
    {
        const Map& signal = series.signal;
        Map& noise = series.noise;
        // Squares of 16-bit differences summed over at most 2^31 files stay far inside
        // the double range, so this expression cannot fault.
        ReadImageFolder(
            series.folder, Buffer, [&] { s_.FileCounter = 0; },
            [&](int r, int c, std::int16_t sample) {
                const Extended d = static_cast<Extended>(sample) - signal[r][c];
                noise[r][c] = static_cast<double>(d * d + noise[r][c]);
            },
            [&] { advance(series, series.progressBase + series.progressShare); });
    }

    void noise(const Series& series)
    {
        const Extended divisor = static_cast<Extended>(s_.FileCounter - 1);
        for (auto& row : series.noise)
            for (double& v : row) v = checked::store(checked::sqrt(checked::div(v, divisor)));
    }

    void snr(const Series& series)
    {
        for (int r = 0; r < ImageSide; ++r)
            for (int c = 0; c < ImageSide; ++c)
                if (series.noise[r][c] != 0.0)
                    series.snr[r][c] = checked::store(checked::div(series.signal[r][c], series.noise[r][c]));
    }

    void gFactor(double reductionFactor)
    {
        for (int r = 0; r < ImageSide; ++r)
            for (int c = 0; c < ImageSide; ++c) {
                const double snrB = s_.SnrMapB[r][c];
                if (snrB == 0.0) continue;
                const Extended numerator = 100.0L * s_.SnrMapA[r][c];
                const Extended denominator = checked::mul(checked::sqrt(reductionFactor), snrB);
                s_.GFactorMap[r][c] = checked::store(checked::div(numerator, denominator));
            }
    }

    void advance(const Series& series, int base)
    {
        ++s_.FileCounter;
        const Extended share = static_cast<Extended>(series.progressShare * s_.FileCounter);
        view_.setProgress(base + static_cast<int>(checked::trunc(checked::div(share, series.count))));
    }

    const RunInputs& in_;
    MapStore& s_;
    RunView& view_;
};

}  // namespace

void MeasurementRun(const RunInputs& inputs, MapStore& store, RunView& view)
{
    Run(inputs, store, view).execute();
}

}  // namespace quelby
