#include "qa/RunPictures.h"

#include "qa/Pictures.h"

#include <algorithm>
#include <cmath>

namespace quelby {

namespace {

// The largest value in the ROIs that is not an outlier, for the top of a colour scale.
double roiHigh(const MeasuredStack& m, const SliceValues& map)
{
    std::vector<double> inside;
    for (std::size_t s = 0; s < m.slices.size(); ++s) {
        const std::span<const double> values = map[s];
        for (std::size_t p = 0; p < values.size(); ++p)
            if (m.slices[s].roi.inside[p] && std::isfinite(values[p])) inside.push_back(values[p]);
    }
    if (inside.empty()) return 1;
    const std::size_t at = inside.size() * 99 / 100;
    std::nth_element(inside.begin(), inside.begin() + static_cast<std::ptrdiff_t>(at), inside.end());
    return inside[at] * 1.25;
}

std::string rounded(double value, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    return numberText(std::round(value * scale) / scale);
}

std::vector<std::string> seriesCaption(const char* name, const MeasuredSeries& m)
{
    const SeriesStatistics& st = m.centre().statistics;
    const std::size_t slices = m.measured->slices.size();
    std::string first = std::string(name) + ": SNR " + rounded(st.snr, 1);
    if (st.snrCi95) first += " (95 % CI " + rounded((*st.snrCi95)[0], 1) + " to " + rounded((*st.snrCi95)[1], 1) + ")";
    first += " in the ROI of " + std::to_string(st.pixels) + " pixels";
    if (slices > 1) first += " of slice " + std::to_string(slices / 2) + " (centre) of " + std::to_string(slices);
    return {first, "mean signal " + rounded(st.meanSignal, 1) + ", noise " + rounded(st.noise, 2) + ", drift " +
                       rounded(st.driftPercentTotal, 2) + " % over " + std::to_string(m.stack->repetitions()) +
                       " repetitions"};
}

// The slices of one map of a series, with the ROIs they were measured in.
std::vector<PictureSlice> pictureSlices(const MeasuredStack& m, const SliceValues& map)
{
    std::vector<PictureSlice> slices;
    for (std::size_t s = 0; s < m.slices.size(); ++s) slices.push_back({map[s], &m.slices[s].roi});
    return slices;
}

// The SNR map of a series and, beside it, its drift.
void addSnrPictures(std::vector<OutputFolder::File>& files, const std::string& suffix, const char* which,
                    const MeasuredSeries& m, double high)
{
    files.push_back({"snr_" + suffix + ".png", [&m, which, high] {
                         const MeasuredStack& ms = *m.measured;
                         return mapPicture(pictureSlices(ms, mapOf(ms, &SliceMaps::snr)), ms.width, ms.height, 0, high,
                                           seriesCaption(which, m));
                     }});
    files.push_back({"drift_" + suffix + ".png", [&m, which] {
                         return driftPicture(m.centre().statistics,
                                             std::string(which) + ": ROI mean signal per repetition");
                     }});
}

std::vector<char> gPicture(const MeasureReport& r, const std::vector<std::vector<double>>& g)
{
    const MeasuredStack& ma = *r.seriesA->measured;
    const GFactorSummary& s = *r.g;
    return mapPicture(pictureSlices(ma, mapOf(g)), ma.width, ma.height, 0.5, std::max(2.0, roiHigh(ma, mapOf(g)) / 1.25),
                      {"g in the ROI where SNR_A >= 5: mean " + rounded(s.mean, 3) + ", median " + rounded(s.median, 3) +
                           ", 95th percentile " + rounded(s.p95, 3) + ", max " + rounded(s.max, 3),
                       "R = " + numberText(*r.reduction) + ", " + rounded(100 * s.maskedFraction, 1) +
                           " % of the ROI masked"});
}

}  // namespace

std::vector<OutputFolder::File> runPictures(const MeasureReport& report, const std::vector<std::vector<double>>& g)
{
    preparePictures();
    std::vector<OutputFolder::File> files;
    const MeasuredSeries& a = *report.seriesA;
    const double high = roiHigh(*a.measured, mapOf(*a.measured, &SliceMaps::snr));
    addSnrPictures(files, "a", "SERIES_A", a, high);
    if (!report.seriesB) return files;
    addSnrPictures(files, "b", "SERIES_B", *report.seriesB, high);
    files.push_back({"g.png", [&report, &g] { return gPicture(report, g); }});
    return files;
}

}  // namespace quelby
