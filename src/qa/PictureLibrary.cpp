#include "qa/PictureDrawing.h"
#include "qa/StabilityPicture.h"

#include "engine/core/InputError.h"
#include "engine/io/ModuleEntry.h"
#include "engine/kernel/HelperTask.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace quelby {

namespace {

using DrawingEntry = const PictureDrawing* (*)();

const PictureDrawing* load()
{
    static constexpr ModulePlaces places{QUELBY_PICTURES_NAME, QUELBY_LIBRARY_FROM_BINDIR, QUELBY_LIBRARY_INSTALLED,
                                         QUELBY_PICTURES_BUILT};
    std::string tried;
    if (void* entry = moduleEntry(places, PictureDrawingName, tried)) return reinterpret_cast<DrawingEntry>(entry)();
    throw InputError("the picture module " QUELBY_PICTURES_NAME " cannot be loaded (looked for " + tried +
                     "); reinstall Quelby");
}

// The module, loaded once: ahead on the helper, or by the first picture.
class Loading {
public:
    // A run that ends before its pictures does not load the module on its way out.
    ~Loading() { unwanted_ = true; }

    // Loads the module and readies Qt, on the helper if it is free.
    void ahead()
    {
        std::call_once(started_, [this] {
            // Set here, before another thread runs: setenv beside a getenv is a race.
            ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
            ::setenv("QT_NO_GLIB", "1", 0);
            task_ = std::make_unique<HelperTask>([this] {
                if (unwanted_) return;
                drawing_ = load();
                drawing_->prepare();
            });
        });
    }

    const PictureDrawing& drawing()
    {
        ahead();
        std::call_once(joined_, [this] { task_->join(); });
        return *drawing_;
    }

private:
    std::once_flag started_, joined_;
    std::atomic<bool> unwanted_ = false;
    const PictureDrawing* drawing_ = nullptr;
    std::unique_ptr<HelperTask> task_;  // last: joined before the rest goes
};

Loading& loading()
{
    static Loading modules;
    return modules;
}

}  // namespace

void loadPicturesAhead() { loading().ahead(); }

void preparePictures() { loading().drawing(); }

std::vector<char> mapPicture(const MapPicture& picture) { return loading().drawing().map(picture); }

std::vector<char> mapPicture(const std::vector<PictureSlice>& slices, int width, int height, double low, double high,
                             const std::vector<std::string>& caption)
{
    return loading().drawing().plainMap(slices, width, height, low, high, caption);
}

std::vector<char> driftPicture(const SeriesStatistics& statistics, const std::string& title)
{
    return loading().drawing().drift(statistics, title);
}

std::vector<char> stabilityPicture(const StabilityFigures& figures, std::span<const double> sfnr, int width, int height,
                                   std::optional<double> frameSeconds, const std::string& title)
{
    return loading().drawing().stability(figures, sfnr, width, height, frameSeconds, title);
}

}  // namespace quelby
