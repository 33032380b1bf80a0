#include "qa/StackFigures.h"

#include "qa/RoiFigures.h"

#include <algorithm>
#include <array>

namespace quelby {

namespace {

// Makes each slice's ROI once its mean is known and feeds its figures in the
// deviation pass.
class FigureGatherer : public StackPassObserver {
public:
    FigureGatherer(const Stack& stack, const std::optional<Rescale>& rescale, const RoiRequest& request,
                   const std::vector<const Roi*>& rois, Detrend detrend)
        : stack_(stack), rescale_(rescale), request_(request), given_(rois), detrend_(detrend),
          rois_(stack.slices.size()), figures_(stack.slices.size()), firstTwo_(stack.slices.size())
    {
    }

    void meanKnown(std::size_t slice, std::span<const double> storedMean) override
    {
        if (slice < given_.size()) {
            rois_[slice] = *given_[slice];
        } else {
            // The phantom is found in real-world values, where a stored offset cannot lift the background.
            std::vector<double> signal(storedMean.begin(), storedMean.end());
            if (rescale_)
                for (double& v : signal) v = v * rescale_->slope + rescale_->intercept;
            rois_[slice] = makeRoi(request_, signal, stack_.keys.columns, stack_.keys.rows);
        }
        figures_[slice].emplace(rois_[slice], storedMean, stack_.keys.columns, stack_.repetitions(), detrend_);
    }

    void imagesRead(std::size_t slice, std::size_t first, std::span<const unsigned char* const> images,
                    std::span<const SampleKind> kinds) override
    {
        figures_[slice]->add(first, images, kinds);
        const std::size_t bytes = 2 * static_cast<std::size_t>(stack_.keys.columns) * static_cast<std::size_t>(stack_.keys.rows);
        for (std::size_t k = first; k < std::min<std::size_t>(2, first + images.size()); ++k)
            firstTwo_[slice][k] = {std::vector<unsigned char>(images[k - first], images[k - first] + bytes), kinds[k - first]};
    }

    // Lets go of the slice's first two images.
    SliceResult result(std::size_t slice, SliceMaps&& maps)
    {
        SliceResult r{std::move(maps), rois_[slice], {}, {}};
        r.statistics = figures_[slice]->statistics(r.maps.snr, rescale_);
        const auto& [one, two] = firstTwo_[slice];
        if (!two.samples.empty())
            r.methods = snrMethods(one.values(), two.values(), stack_.keys.columns, r.roi, rescale_, r.statistics.snr);
        firstTwo_[slice] = {};
        return r;
    }

private:
    // An image as read, two bytes a sample: a quarter of its values as doubles.
    struct Image {
        std::vector<unsigned char> samples;
        SampleKind kind = SampleKind::Int16;

        std::vector<double> values() const
        {
            std::vector<double> v(samples.size() / 2);
            for (std::size_t p = 0; p < v.size(); ++p) v[p] = sampleValue(samples.data(), p, kind);
            return v;
        }
    };

    const Stack& stack_;
    std::optional<Rescale> rescale_;
    const RoiRequest& request_;
    const std::vector<const Roi*>& given_;
    Detrend detrend_;
    std::vector<Roi> rois_;
    std::vector<std::optional<RoiFigures>> figures_;
    std::vector<std::array<Image, 2>> firstTwo_;  // per slice
};

}  // namespace

SliceValues mapOf(const MeasuredStack& m, std::vector<double> SliceMaps::*map)
{
    SliceValues values;
    for (const SliceResult& slice : m.slices) values.emplace_back(slice.maps.*map);
    return values;
}

SliceValues mapOf(const std::vector<std::vector<double>>& slices)
{
    return SliceValues(slices.begin(), slices.end());
}

MeasuredStack measureStackFigures(const Stack& stack, const ImageSupplier& supply, bool applyRescale,
                                  const RoiRequest& request, const std::vector<const Roi*>& rois, Detrend detrend)
{
    MeasuredStack measured;
    measured.rescale = appliedRescale(stack, applyRescale);
    FigureGatherer gatherer(stack, measured.rescale, request, rois, detrend);
    StackMaps maps = measureStack(stack, supply, applyRescale, &gatherer);
    measured.width = maps.width;
    measured.height = maps.height;
    for (std::size_t s = 0; s < maps.slices.size(); ++s)
        measured.slices.push_back(gatherer.result(s, std::move(maps.slices[s])));
    return measured;
}

}  // namespace quelby
