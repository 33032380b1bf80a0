#include "run/MeasurementRun.h"

#include "engine/core/CheckedFloat.h"
#include "display/DisplayTexts.h"
#include "engine/io/FolderReader.h"
#include "engine/io/OneAcquisition.h"
#include "engine/core/NumberText.h"
#include "engine/kernel/PixelArithmetic.h"
#include "engine/kernel/PixelBacklog.h"
#include "engine/kernel/PixelTeam.h"
#include "engine/kernel/RunKernel.h"
#include "display/ScaleBar.h"
#include "display/WindowChoice.h"

#include <algorithm>
#include <array>
#include <bit>
#include <exception>
#include <mutex>
#include <span>

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

// The images read and not yet added to the maps, held for the whole process:
// nothing is allocated per run. The arithmetic may lag behind the reading by
// all of them, from one pass and one series to the next: while the files of
// series B are summed, the deviations of series A are still being added.
alignas(64) std::array<ImageBytesBuffer, 8 * KernelImages> Ring;

std::span<const unsigned char> bytesOf(std::span<const ImageBytesBuffer> images)
{
    return {images.front().data(), images.size() * ImageBytes};
}

// The buffers the reader fills from `first` on until its group is handed on.
std::span<const unsigned char> ahead(std::span<ImageBytesBuffer> ring, std::size_t first)
{
    const std::size_t group = std::min<std::size_t>(KernelImages, ring.size());
    return bytesOf(ring.subspan(first, group - first % group));
}

// Pixels a helper takes at a time: 16 parts of a map.
constexpr std::size_t TeamChunk = FramePixels / 16;

// The means are multiples of 1/count when the count is a power of two.
int grainExponent(std::int32_t count) { return count > 0 ? std::countr_zero(static_cast<std::uint32_t>(count)) : 0; }

// The representative image: the last image a pass has handed on, queued once
// the pass ends, whether it completes or fails, behind the clearing of the
// maps. A failing read never goes into the buffer of the last image handed
// on: in the ring the next read goes into another one, and with one buffer (a
// count of 0) the first file step fails.
struct LastImage {
    LastImage(Map& map, PixelBacklog& backlog) : rep(map), backlog(backlog) {}
    ~LastImage()
    {
        if (image == nullptr) return;
        backlog.add(
            [image = image, kind = kind, &rep = rep](std::size_t from, std::size_t to) {
                storeSamples(image->data() + 2 * from, kind, pixelsOf(rep).subspan(from, to - from));
            },
            bytesOf({image, 1}));
    }
    LastImage(const LastImage&) = delete;
    LastImage& operator=(const LastImage&) = delete;

    Map& rep;
    PixelBacklog& backlog;
    const ImageBytesBuffer* image = nullptr;
    SampleKind kind = SampleKind::Int16;
};

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

        // However the run ends, the maps hold what was handed on before it ended.
        const DrainedOnExit drained{backlog_};
        // Cleared while the first folder is listed and read, before anything
        // else is added.
        backlog_.add([this](std::size_t from, std::size_t to) {
            for (int k = 0; k < ResultMapCount; ++k) {
                const std::span<double> map = pixelsOf(s_.resultMap(k));
                std::fill(map.begin() + from, map.begin() + to, 0.0);
            }
        });

        const int share = in_.gFactorMode ? 25 : 50;
        measure({in_.folderA, s_.RepImageA, s_.SignalMapA, s_.NoiseMapA, s_.SnrMapA, s_.CountA, 0, share}, true);
        // The bar's values, which may fail, now; its writing once the SNR is there.
        const ScaleBands bands = ScaleBandValues(s_.ScaleMin, s_.ScaleStep);
        backlog_.afterwards([this, bands] {
            WriteScaleBar(s_.SnrMapA, bands);
            WriteScaleFrame(s_.SnrMapA);
        });
        if (in_.gFactorMode) {
            measure({in_.folderB, s_.RepImageB, s_.SignalMapB, s_.NoiseMapB, s_.SnrMapB, s_.CountB, 50, share}, false);
            backlog_.drain();
            WriteScaleBar(s_.SnrMapB, s_.ScaleMin, s_.ScaleStep);
        }
        backlog_.drain();
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
        const std::vector<std::string> names = ListImageFiles(series.folder);
        series.count = static_cast<std::int32_t>(names.size());
        RefuseMixedAcquisitions(series.folder, names);
        sumPass(series);
        mean(series, showsRepImage);
        deviationPass(series);
        noise(series);
        snr(series);
    }

    // Reads the series' files into the ring after the images read last, and
    // gives each batch to add(images, kind), which queues its arithmetic; the
    // reader waits only for buffers whose images are not added yet. The
    // per-file step can fail only when the count is 0 (its division); that
    // step must then come right after the first file, hence one buffer.
    template <class Add>
    void readPass(const Series& series, int progressBase, Add&& add)
    {
        std::span<ImageBytesBuffer> ring(Ring);
        if (series.count == 0) {
            ring = ring.first(1);
            next_ = 0;
        }
        backlog_.release(ahead(ring, next_));
        ReadImageBatches(
            series.folder, ring, [&] { s_.FileCounter = 0; },
            [&](std::span<ImageBytesBuffer> images, SampleKind kind) {
                add(images, kind);
                next_ = (static_cast<std::size_t>(images.data() - ring.data()) + images.size()) % ring.size();
                backlog_.release(ahead(ring, next_));
            },
            [&] { advance(series, progressBase); }, KernelImages, next_);
    }

    void sumPass(const Series& series)
    {
        LastImage last(series.repImage, backlog_);
        readPass(series, series.progressBase, [&](std::span<ImageBytesBuffer> images, SampleKind kind) {
            backlog_.add([images, kind, &signal = series.signal](std::size_t from, std::size_t to) {
                addSamples(images, signal, kind, {from, to});
            }, bytesOf(images));
            last.image = &images.back();
            last.kind = kind;
        });
    }

    // A division by a count of 0 fails at the first pixel, so only then do the
    // pixels go in order; otherwise the means wait in the backlog, ahead of
    // the deviations that need them, while the files are read again.
    void mean(const Series& series, bool showsRepImage)
    {
        const auto means = [&signalMap = series.signal, &display = s_.DisplayMap, &rep = series.repImage,
                            count = series.count, showsRepImage](std::size_t from, std::size_t to) {
            const std::span<double> signal = pixelsOf(signalMap), shown = pixelsOf(display);
            const std::span<const double> sample = pixelsOf(rep);
            for (std::size_t p = from; p < to; ++p) {
                if (showsRepImage) shown[p] = sample[p];
                signal[p] = pixel::mean(signal[p], count);
            }
        };
        if (series.count == 0) {
            backlog_.drain();
            means(0, FramePixels);
        } else {
            backlog_.add(means);
        }
    }

    void deviationPass(const Series& series)
    {
        // Squares of differences of 16-bit samples summed over at most 2^31 files stay
        // far inside the double range, so this expression cannot fault.
        const int grain = grainExponent(series.count);
        readPass(series, series.progressBase + series.progressShare,
                 [&](std::span<ImageBytesBuffer> images, SampleKind kind) {
                     backlog_.add(
                         [images, kind, grain, &signal = series.signal, &noise = series.noise](std::size_t from,
                                                                                              std::size_t to) {
                             addSquaredDeviations(images, signal, noise, grain, kind, {from, to});
                         },
                         bytesOf(images));
                 });
    }

    // Only a divisor of 0 can fail, at the first pixel; otherwise the noise
    // waits in the backlog with the deviations.
    void noise(const Series& series)
    {
        const Extended divisor = static_cast<Extended>(s_.FileCounter - 1);
        const auto roots = [divisor, &map = series.noise](std::size_t from, std::size_t to) {
            noises(pixelsOf(map).subspan(from, to - from), divisor);
        };
        if (divisor == 0) {
            backlog_.drain();
            roots(0, FramePixels);
        } else {
            backlog_.add(roots);
        }
    }

    // Cannot fail: a noise that is not 0 is at least the root of a square of a
    // difference of a sample and a mean, and the quotient stays far inside the range.
    void snr(const Series& series)
    {
        backlog_.add([&signalMap = series.signal, &noiseMap = series.noise, &snrMap = series.snr](std::size_t from,
                                                                                                std::size_t to) {
            const std::size_t n = to - from;
            snrs(pixelsOf(signalMap).subspan(from, n), pixelsOf(noiseMap).subspan(from, n),
                 pixelsOf(snrMap).subspan(from, n));
        });
    }

    // A quotient can overflow (R is the user's). Both threads take pixels; where
    // one fails, the pixels after the first failing one get back the 0 the run
    // gave them, so the map is what the pixels taken in order would have left.
    void gFactor(double reductionFactor)
    {
        std::mutex failing;
        std::size_t firstFailing = FramePixels;
        std::exception_ptr failure;
        const std::span<double> g = pixelsOf(s_.GFactorMap);
        const std::span<const double> a = pixelsOf(s_.SnrMapA), b = pixelsOf(s_.SnrMapB);
        // The pixels of a chunk in order, to find the first failing one.
        const auto inOrder = [&](std::size_t from, std::size_t to) {
            for (std::size_t p = from; p < to; ++p) {
                if (b[p] == 0.0) continue;
                try {
                    g[p] = pixel::gFactor(a[p], b[p], reductionFactor, 100.0L);
                } catch (...) {
                    const std::lock_guard lock(failing);
                    if (p < firstFailing) {
                        firstFailing = p;
                        failure = std::current_exception();
                    }
                    return;
                }
            }
        };
        backlog_.run([&](std::size_t from, std::size_t to) {
            const std::size_t n = to - from;
            try {
                gFactors(a.subspan(from, n), b.subspan(from, n), g.subspan(from, n), reductionFactor, 100.0L);
            } catch (...) {
                inOrder(from, to);
            }
        });
        if (!failure) return;
        std::fill(g.begin() + firstFailing, g.end(), 0.0);
        std::rethrow_exception(failure);
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
    PixelTeam team_{FramePixels, TeamChunk};
    PixelBacklog backlog_{team_};
    std::size_t next_ = 0;  // the ring's buffer the next file goes into
};

}  // namespace

void MeasurementRun(const RunInputs& inputs, MapStore& store, RunView& view)
{
    Run(inputs, store, view).execute();
}

}  // namespace quelby
