#include "qa/RunPictures.h"

#include "qa/FigureText.h"
#include "qa/Pictures.h"

#include <cmath>

namespace quelby {

namespace {

// The finite values of a map in the phantom of each slice (in its ROI where none was found).
std::vector<double> phantomValues(const MeasuredStack& m, const SliceValues& map)
{
    std::vector<double> values;
    for (std::size_t s = 0; s < m.slices.size(); ++s) {
        const Roi& roi = m.slices[s].roi;
        const std::vector<char>& mask = roi.phantom.empty() ? roi.inside : roi.phantom;
        for (std::size_t p = 0; p < map[s].size(); ++p)
            if (mask[p] && std::isfinite(map[s][p])) values.push_back(map[s][p]);
    }
    return values;
}

std::vector<std::string> seriesCaption(const char* name, const MeasuredSeries& m)
{
    const SeriesStatistics& st = m.centre().statistics;
    const std::size_t slices = m.measured->slices.size();
    std::string first = std::string(name) + ": SNR " + figureText(st.snr);
    if (st.snrCi95) first += " (95 % CI " + figureText((*st.snrCi95)[0]) + " to " + figureText((*st.snrCi95)[1]) + ")";
    if (st.snrDetrended) first += ", detrended " + figureText(*st.snrDetrended);
    first += " in the ROI of " + std::to_string(st.pixels) + " pixels";
    if (slices > 1) first += " of slice " + std::to_string(slices / 2) + " (centre) of " + std::to_string(slices);
    return {first, "mean signal " + figureText(st.meanSignal) + ", noise " + figureText(st.noise) + ", drift " +
                       figureText(st.driftPercentTotal) + " % over " + std::to_string(m.stack->repetitions()) +
                       " repetitions"};
}

std::string signedPercent(double v) { return (v > 0 ? "+" : "") + figureText(v) + " %"; }

// The centre slice's SNR by each method beside that of all repetitions.
std::vector<std::vector<std::string>> methodsTable(const MeasuredSeries& m)
{
    const std::optional<SnrMethods>& methods = m.centre().methods;
    if (!methods) return {};
    std::vector<std::vector<std::string>> table{{"SNR by method", "SNR", "vs all repetitions"},
                                                {"all repetitions", figureText(methods->multiple.snr), ""}};
    for (const auto& [name, method] :
         {std::pair{"difference of repetitions 1 and 2", std::optional(methods->difference)},
          {"background SD of repetition 1", methods->backgroundSd},
          {"background mean of repetition 1", methods->backgroundMean}})
        table.push_back({name, method ? figureText(method->snr) : "\u2014",
                         method ? signedPercent(method->percentVsMultiple) : "see the warnings"});
    return table;
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
                    const MeasuredSeries& m, const ColourScale& scale)
{
    files.push_back({"snr_" + suffix + ".png", [&m, which, scale] {
                         const MeasuredStack& ms = *m.measured;
                         return mapPicture({std::string(which) + ": SNR (no unit)", pictureSlices(ms, mapOf(ms, &SliceMaps::snr)),
                                            ms.width, ms.height, scale, seriesCaption(which, m), methodsTable(m)});
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
    return mapPicture({"g-factor (no unit)", pictureSlices(ma, mapOf(g)), ma.width, ma.height,
                       robustScale(phantomValues(ma, mapOf(g))),
                       {"g in the ROI where SNR_A >= 5: mean " + figureText(s.mean) + ", median " + figureText(s.median) +
                            ", 95th percentile " + figureText(s.p95) + ", max " + figureText(s.max),
                        "R = " + figureText(*r.reduction) + ", " + figureText(100 * s.maskedFraction) +
                            " % of the ROI masked"},
                       {}});
}

}  // namespace

std::vector<OutputFolder::File> runPictures(const MeasureReport& report, const std::vector<std::vector<double>>& g)
{
    preparePictures();
    std::vector<OutputFolder::File> files;
    // One scale for both series, so that their colours compare.
    std::vector<double> snr;
    for (const MeasuredSeries* m : {report.seriesA, report.seriesB})
        if (m) {
            const std::vector<double> values = phantomValues(*m->measured, mapOf(*m->measured, &SliceMaps::snr));
            snr.insert(snr.end(), values.begin(), values.end());
        }
    const ColourScale scale = robustScale(std::move(snr));
    addSnrPictures(files, "a", "SERIES_A", *report.seriesA, scale);
    if (!report.seriesB) return files;
    addSnrPictures(files, "b", "SERIES_B", *report.seriesB, scale);
    files.push_back({"g.png", [&report, &g] { return gPicture(report, g); }});
    return files;
}

}  // namespace quelby
