#include "engine/io/StackGrouping.h"

#include "engine/core/InputError.h"
#include "engine/io/PatientAxes.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <tuple>

namespace quelby {

namespace {

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string fileName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// What sets a stack apart, ordered so that images find their stack in a map:
// a file may give each of a million frames keys of its own.
auto stackKey(const StackKeys& k)
{
    return std::make_tuple(k.seriesUids, k.echoNumber, k.echoTimeMs, k.imageType, k.coil, k.rows, k.columns);
}

// The images of one stack, in the order they come.
std::vector<std::vector<DicomImageFacts>> byStack(std::vector<DicomImageFacts> images)
{
    std::vector<std::vector<DicomImageFacts>> stacks;
    std::map<decltype(stackKey(StackKeys{})), std::size_t> index;
    for (DicomImageFacts& image : images) {
        const auto [at, added] = index.try_emplace(stackKey(image.keys), stacks.size());
        if (added) stacks.emplace_back();
        stacks[at->second].push_back(std::move(image));
    }
    return stacks;
}

// How a stack's images tell their slice: by position along the normal, by
// an enhanced object's stack and in-stack position, or not at all (one slice).
enum class Placement { Position, InStack, None };

Placement placementOf(const std::vector<DicomImageFacts>& images)
{
    if (std::all_of(images.begin(), images.end(), [](const auto& f) { return f.position && f.orientation; }))
        return Placement::Position;
    if (std::all_of(images.begin(), images.end(), [](const auto& f) { return f.inStackPosition.has_value(); }))
        return Placement::InStack;
    return Placement::None;
}

double alongNormal(const std::array<double, 6>& o, const std::array<double, 3>& p) { return dot(sliceNormal(o), p); }

// The keys of acquisition order that every image of a stack gives.
struct OrderKeys {
    bool temporal, number, acquired, instance;
};

// Taken once per stack: a stack may hold a million images, a slice each.
OrderKeys orderKeysOf(const std::vector<DicomImageFacts>& stack)
{
    const auto all = [&](auto given) { return std::all_of(stack.begin(), stack.end(), given); };
    return {all([](const auto& f) { return f.temporal.has_value(); }),
            all([](const auto& f) { return f.acquisitionNumber.has_value(); }),
            all([](const auto& f) { return !f.acquired.empty(); }),
            all([](const auto& f) { return f.instanceNumber.has_value(); })};
}

// Acquisition order by each key every image of the stack gives, then by file and frame.
void orderRepetitions(std::vector<const DicomImageFacts*>& slice, const OrderKeys& given)
{
    const auto [temporal, number, acquired, instance] = given;
    const auto key = [&](const DicomImageFacts* f) {
        return std::tuple{temporal ? f->temporal : std::nullopt,
                          number ? f->acquisitionNumber : std::nullopt,
                          acquired ? f->acquired : std::string(),
                          instance ? f->instanceNumber : std::nullopt,
                          f->image.file,
                          f->image.frame};
    };
    std::sort(slice.begin(), slice.end(), [&](const auto* a, const auto* b) { return key(a) < key(b); });
}

// The stack's images slice by slice, slices in position order.
std::vector<std::vector<const DicomImageFacts*>> slicesOf(const std::vector<DicomImageFacts>& images,
                                                          Placement placement)
{
    std::vector<const DicomImageFacts*> sorted;
    for (const DicomImageFacts& f : images) sorted.push_back(&f);
    const std::array<double, 6> orientation = images.front().orientation.value_or(std::array<double, 6>{});
    const auto at = [&](const DicomImageFacts* f) { return alongNormal(orientation, *f->position); };
    const auto inStack = [](const DicomImageFacts* f) { return std::tie(f->stackId, *f->inStackPosition); };
    if (placement == Placement::Position)
        std::stable_sort(sorted.begin(), sorted.end(), [&](const auto* a, const auto* b) { return at(a) < at(b); });
    if (placement == Placement::InStack)
        std::stable_sort(sorted.begin(), sorted.end(),
                         [&](const auto* a, const auto* b) { return inStack(a) < inStack(b); });
    std::vector<std::vector<const DicomImageFacts*>> slices;
    for (const DicomImageFacts* f : sorted) {
        const DicomImageFacts* first = slices.empty() ? nullptr : slices.back().front();
        const bool sameSlice = first && (placement == Placement::None ||
                                         (placement == Placement::Position && at(f) - at(first) < SamePositionMm) ||
                                         (placement == Placement::InStack && inStack(f) == inStack(first)));
        if (!sameSlice) slices.emplace_back();
        slices.back().push_back(f);
    }
    const OrderKeys given = orderKeysOf(images);
    for (auto& slice : slices) orderRepetitions(slice, given);
    return slices;
}

class StackBuilder {
public:
    StackBuilder(const std::vector<DicomImageFacts>& images, const std::vector<std::string>& files)
        : images_(images), files_(files)
    {
    }

    Stack build()
    {
        const DicomImageFacts& first = images_.front();
        stack_.keys = first.keys;
        stack_.geometry = {first.pixelSpacing, first.orientation, first.sliceThickness, std::nullopt};
        const Placement placement = placementOf(images_);
        for (const auto& slice : slicesOf(images_, placement)) {
            StackSlice& s = stack_.slices.emplace_back();
            if (placement == Placement::Position)
                s.positionMm = alongNormal(*first.orientation, *slice.front()->position);
            s.origin = slice.front()->position;
            for (const DicomImageFacts* f : slice) s.repetitions.push_back(f->image);
        }
        checkRepetitions();
        if (placement == Placement::Position) spacing();
        rescale();
        reduction();
        for (const DicomImageFacts& f : images_)
            if (!f.acquired.empty() && (!stack_.acquisitionStart || f.acquired < *stack_.acquisitionStart))
                stack_.acquisitionStart = f.acquired;
        return std::move(stack_);
    }

private:
    std::string sliceText(std::size_t k) const
    {
        return "slice " + std::to_string(k + 1) + " of " + std::to_string(stack_.slices.size()) + " (at " +
               number(stack_.slices[k].positionMm) + " mm)";
    }

    void checkRepetitions() const
    {
        const auto& slices = stack_.slices;
        for (std::size_t k = 1; k < slices.size(); ++k)
            if (slices[k].repetitions.size() != slices[0].repetitions.size())
                throw InputError(stackDescription(stack_) + ": " + sliceText(k) + " holds " +
                                 std::to_string(slices[k].repetitions.size()) + " repetitions, " + sliceText(0) + " " +
                                 std::to_string(slices[0].repetitions.size()) +
                                 "; every slice needs as many repetitions");
    }

    // The mean distance between slice centres, placed by position; uneven gaps are a warning.
    void spacing()
    {
        const auto& slices = stack_.slices;
        if (slices.size() < 2) return;
        const double mean =
            (slices.back().positionMm - slices.front().positionMm) / static_cast<double>(slices.size() - 1);
        stack_.geometry.sliceSpacing = mean;
        double narrowest = mean, widest = mean;
        for (std::size_t k = 1; k < slices.size(); ++k) {
            const double gap = slices[k].positionMm - slices[k - 1].positionMm;
            narrowest = std::min(narrowest, gap);
            widest = std::max(widest, gap);
        }
        if (widest - narrowest > std::max(SamePositionMm, 0.01 * std::abs(mean)))
            stack_.warnings.push_back(stackDescription(stack_) + ": slices unevenly spaced, " + number(narrowest) +
                                      " to " + number(widest) + " mm apart");
    }

    void rescale()
    {
        const auto given =
            std::find_if(images_.begin(), images_.end(), [](const auto& f) { return f.rescale.has_value(); });
        if (given == images_.end()) return;
        const Rescale agreed = *given->rescale;
        for (const DicomImageFacts& f : images_)
            if (f.rescale.value_or(Rescale{}) != agreed)
                throw InputError(fileName(files_.at(f.image.file)) + ": rescale slope and intercept " +
                                 rescaleText(f.rescale.value_or(Rescale{})) + " differ from " + rescaleText(agreed) +
                                 " of the other images of " + stackDescription(stack_));
        stack_.rescale = agreed;
    }

    static std::string rescaleText(const Rescale& r) { return number(r.slope) + ", " + number(r.intercept); }

    void reduction()
    {
        const auto& first = images_.front().reduction;
        if (!std::all_of(images_.begin(), images_.end(), [](const auto& f) { return f.reduction.has_value(); })) return;
        if (std::all_of(images_.begin(), images_.end(), [&](const auto& f) { return f.reduction == first; }))
            stack_.reduction = first;
        else
            stack_.warnings.push_back(stackDescription(stack_) +
                                      ": the images give different parallel reduction factors");
    }

    const std::vector<DicomImageFacts>& images_;
    const std::vector<std::string>& files_;
    Stack stack_;
};

}  // namespace

std::vector<Stack> groupDicomStacks(std::vector<DicomImageFacts> images, const std::vector<std::string>& files)
{
    std::vector<Stack> stacks;
    for (const auto& members : byStack(std::move(images))) stacks.push_back(StackBuilder(members, files).build());
    return stacks;
}

std::string stackDescription(const Stack& stack)
{
    const StackKeys& k = stack.keys;
    std::string text = "series";
    if (k.seriesNumber) text += " " + std::to_string(*k.seriesNumber);
    if (!k.description.empty()) text += " \"" + k.description + "\"";
    std::string uids;
    for (const std::string& uid : k.seriesUids) uids += (uids.empty() ? "" : ", ") + (uid.empty() ? "no UID" : uid);
    text += " (" + uids + ")";
    if (k.echoNumber) text += ", echo " + std::to_string(*k.echoNumber);
    if (k.echoTimeMs) text += ", TE " + number(*k.echoTimeMs) + " ms";
    if (!k.coil.empty()) text += ", coil " + k.coil;
    if (!k.imageType.empty()) text += ", image type " + k.imageType;
    return text;
}

}  // namespace quelby
