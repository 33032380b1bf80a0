#include "engine/io/SeriesJoin.h"

#include "engine/core/InputError.h"
#include "engine/io/StackGrouping.h"

#include <algorithm>
#include <cmath>
#include <tuple>

namespace quelby {

namespace {

bool samePlace(double a, double b) { return std::abs(a - b) < SamePositionMm; }

bool samePositions(const Stack& a, const Stack& b)
{
    if (a.slices.size() != b.slices.size()) return false;
    for (std::size_t k = 0; k < a.slices.size(); ++k) {
        const StackSlice &x = a.slices[k], &y = b.slices[k];
        if (!samePlace(x.positionMm, y.positionMm) || x.origin.has_value() != y.origin.has_value()) return false;
        if (x.origin && !std::equal(x.origin->begin(), x.origin->end(), y.origin->begin(), samePlace)) return false;
    }
    return true;
}

// Whether two series look like two acquisitions of one protocol.
bool repeats(const Stack& a, const Stack& b)
{
    const StackKeys &x = a.keys, &y = b.keys;
    const StackGeometry &g = a.geometry, &h = b.geometry;
    return a.repetitions() == 1 && b.repetitions() == 1 && !(x.protocol.empty() && x.sequence.empty()) &&
           std::tie(x.protocol, x.sequence, x.rows, x.columns, x.echoNumber, x.echoTimeMs, x.repetitionTimeMs, x.coil,
                    x.imageType) == std::tie(y.protocol, y.sequence, y.rows, y.columns, y.echoNumber, y.echoTimeMs,
                                             y.repetitionTimeMs, y.coil, y.imageType) &&
           g.pixelSpacing == h.pixelSpacing && g.orientation == h.orientation && a.reduction == b.reduction &&
           a.rescale == b.rescale && samePositions(a, b);
}

}  // namespace

Stack joinSeries(std::vector<Stack> parts)
{
    std::stable_sort(parts.begin(), parts.end(), [](const Stack& a, const Stack& b) {
        return a.acquisitionStart.value_or("") < b.acquisitionStart.value_or("");
    });
    Stack joined = parts.front();
    for (std::size_t p = 1; p < parts.size(); ++p) {
        const Stack& part = parts[p];
        const auto differ = [&](const char* what) {
            return InputError(stackDescription(part) + " and " + stackDescription(joined) + ": their " + what +
                              " differ, so they are not repetitions of one acquisition");
        };
        if (part.keys.rows != joined.keys.rows || part.keys.columns != joined.keys.columns) throw differ("matrices");
        if (!samePositions(part, joined)) throw differ("slice positions");
        if (part.rescale != joined.rescale) throw differ("rescale slopes and intercepts");
        for (std::size_t k = 0; k < joined.slices.size(); ++k) {
            auto& into = joined.slices[k].repetitions;
            into.insert(into.end(), part.slices[k].repetitions.begin(), part.slices[k].repetitions.end());
        }
        joined.keys.seriesUids.insert(joined.keys.seriesUids.end(), part.keys.seriesUids.begin(),
                                      part.keys.seriesUids.end());
        joined.warnings.insert(joined.warnings.end(), part.warnings.begin(), part.warnings.end());
        if (part.reduction != joined.reduction && joined.reduction) {
            joined.reduction.reset();
            joined.warnings.push_back("the joined series give different parallel reduction factors");
        }
    }
    std::string uids;
    for (const std::string& uid : joined.keys.seriesUids) uids += (uids.empty() ? "" : ", ") + uid;
    joined.warnings.push_back(std::to_string(parts.size()) + " series joined as the repetitions of one acquisition, " +
                              "in acquisition order: " + uids);
    return joined;
}

void joinRepeatedSeries(std::vector<Stack>& stacks)
{
    std::vector<Stack> result;
    std::vector<bool> taken(stacks.size(), false);
    for (std::size_t i = 0; i < stacks.size(); ++i) {
        if (taken[i]) continue;
        std::vector<Stack> parts{stacks[i]};
        for (std::size_t j = i + 1; j < stacks.size(); ++j)
            if (!taken[j] && repeats(stacks[i], stacks[j])) {
                parts.push_back(stacks[j]);
                taken[j] = true;
            }
        result.push_back(parts.size() > 1 ? joinSeries(std::move(parts)) : std::move(parts.front()));
    }
    stacks = std::move(result);
}

}  // namespace quelby
