#include "qa/Report.h"

#include "qa/CsvTable.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <functional>

#ifndef QUELBY_VERSION
#define QUELBY_VERSION "unknown"
#endif

namespace quelby {

namespace {

using Json = nlohmann::ordered_json;

// A double as the report gives it: null when it is not finite.
Json number(double value) { return std::isfinite(value) ? Json(value) : Json(nullptr); }

std::string formatName(SeriesSource::Format format)
{
    switch (format) {
    case SeriesSource::Format::Dicom: return "DICOM";
    case SeriesSource::Format::Nifti: return "NIfTI";
    case SeriesSource::Format::Raw: break;
    }
    return "raw";
}

std::string firstUid(const Stack& s) { return s.keys.seriesUids.empty() ? "" : s.keys.seriesUids.front(); }

// The stack's keys where given: echo_number, echo_time_ms, coil, image_type, joined_series.
void addStackKeys(const StackKeys& keys, Json& j)
{
    if (keys.echoNumber) j["echo_number"] = *keys.echoNumber;
    if (keys.echoTimeMs) j["echo_time_ms"] = number(*keys.echoTimeMs);
    if (!keys.coil.empty()) j["coil"] = keys.coil;
    if (!keys.imageType.empty()) j["image_type"] = keys.imageType;
    if (keys.seriesUids.size() > 1) j["joined_series"] = keys.seriesUids;
}

Json roiJson(const SeriesStatistics& st)
{
    Json j{{"pixels", st.pixels}, {"mean_signal", number(st.meanSignal)}, {"noise", number(st.noise)},
           {"snr", number(st.snr)}};
    j["snr_ci95"] = st.snrCi95 ? Json{number((*st.snrCi95)[0]), number((*st.snrCi95)[1])} : Json(nullptr);
    j["snr_pixel_mean"] = number(st.snrPixelMean);
    j["snr_pixel_median"] = number(st.snrPixelMedian);
    j["drift_percent_per_repetition"] = number(st.driftPercentPerRepetition);
    j["drift_percent_total"] = number(st.driftPercentTotal);
    if (st.snrDetrended) j["snr_detrended"] = number(*st.snrDetrended);
    Json& means = j["roi_means"] = Json::array();
    for (const double m : st.roiMeans) means.push_back(number(m));
    return j;
}

Json gJson(const GFactorSummary& g)
{
    return {{"mean", number(g.mean)}, {"median", number(g.median)}, {"p95", number(g.p95)},
            {"max", number(g.max)}, {"masked_fraction", number(g.maskedFraction)}};
}

Json slicesJson(const MeasuredSeries& m)
{
    Json slices = Json::array();
    for (std::size_t k = 0; k < m.measured->slices.size(); ++k) {
        Json slice{{"index", k}, {"position_mm", number(m.stack->slices[k].positionMm)},
                   {"repetitions", m.stack->slices[k].repetitions.size()},
                   {"roi", roiJson(m.measured->slices[k].statistics)}};
        if (k < m.g.size()) slice["g"] = gJson(m.g[k]);
        const auto& methods = m.measured->slices[k].methods;
        slice["methods"] = methods ? Json(methodsJson(*methods)) : Json(nullptr);
        if (m.stability) slice["stability"] = stabilityJson(m.stability->figures[k]);
        slices.push_back(std::move(slice));
    }
    return slices;
}

Json optionalNumber(const std::optional<double>& value) { return value ? number(*value) : Json(nullptr); }

Json identityJson(const SeriesIdentity& id)
{
    return {{"study_uid", id.studyUid}, {"acquired", id.acquired}, {"station", id.station}, {"serial", id.serial},
            {"manufacturer", id.manufacturer}, {"model", id.model},
            {"field_strength_t", optionalNumber(id.fieldStrengthT)}, {"receive_coil", id.receiveCoil},
            {"protocol", id.protocol}, {"sequence", id.sequence},
            {"repetition_time_ms", optionalNumber(id.repetitionTimeMs)},
            {"echo_time_ms", optionalNumber(id.echoTimeMs)},
            {"slice_thickness_mm", optionalNumber(id.sliceThicknessMm)}};
}

Json seriesJson(const MeasuredSeries& m)
{
    const Stack& s = *m.stack;
    Json j{{"folder", m.source->path}, {"format", formatName(m.source->format)}, {"repetitions", s.repetitions()},
           {"matrix", {s.keys.columns, s.keys.rows}}};
    const auto& spacing = s.geometry.pixelSpacing;
    j["pixel_spacing_mm"] = spacing ? Json{spacing->first, spacing->second} : Json(nullptr);
    j["series_uid"] = firstUid(s);
    j["description"] = s.keys.description;
    j["protocol"] = s.keys.protocol;
    addStackKeys(s.keys, j);
    j["identity"] = identityJson(m.identity);
    const auto& rescale = m.measured->rescale;
    j["rescale"] = rescale ? Json{{"slope", rescale->slope}, {"intercept", rescale->intercept}} : Json(nullptr);
    Json& skipped = j["skipped_files"] = Json::array();
    for (const SkippedFile& f : m.source->skipped) skipped.push_back({{"name", f.name}, {"reason", f.reason}});
    j["roi"] = roiJson(m.centre().statistics);
    j["methods"] = m.centre().methods ? Json(methodsJson(*m.centre().methods)) : Json(nullptr);
    if (m.stability) j["stability"] = stabilityJson(m.stability->figures[m.stability->figures.size() / 2]);
    j["slices"] = slicesJson(m);
    return j;
}

// Texts from DICOM files may be in another character set than UTF-8: their bytes that are not UTF-8
// become U+FFFD rather than failing the run.
std::string dumped(const Json& j) { return j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n"; }

// A series' figures by name, without the suffix that says which series.
std::vector<std::pair<std::string, double>> seriesFigures(const SeriesStatistics& st)
{
    const double none = std::nan("");
    return {{"roi_pixels", static_cast<double>(st.pixels)},
            {"mean_signal", st.meanSignal},
            {"noise", st.noise},
            {"snr", st.snr},
            {"snr_ci95_low", st.snrCi95 ? (*st.snrCi95)[0] : none},
            {"snr_ci95_high", st.snrCi95 ? (*st.snrCi95)[1] : none},
            {"snr_pixel_mean", st.snrPixelMean},
            {"snr_pixel_median", st.snrPixelMedian},
            {"drift_percent_per_repetition", st.driftPercentPerRepetition},
            {"drift_percent_total", st.driftPercentTotal},
            {"snr_detrended", st.snrDetrended.value_or(none)}};
}

// Who and when: SERIES_A's, which a history groups and orders its runs by.
void identityCsv(const SeriesIdentity& id, std::vector<std::string>& header, std::vector<std::string>& row)
{
    const std::optional<double>& field = id.fieldStrengthT;
    for (const auto& [name, value] :
         {std::pair<const char*, std::string>{"a_study_uid", id.studyUid}, {"a_acquired", id.acquired},
          {"a_station", id.station}, {"a_serial", id.serial}, {"a_manufacturer", id.manufacturer},
          {"a_model", id.model}, {"a_field_strength_t", field && std::isfinite(*field) ? numberText(*field) : ""},
          {"a_receive_coil", id.receiveCoil}, {"a_protocol", id.protocol}}) {
        header.push_back(name);
        row.push_back(value);
    }
}

void seriesCsv(const MeasuredSeries* m, const std::string& prefix, std::vector<std::string>& header,
               std::vector<std::string>& row)
{
    const auto add = [&](const std::string& name, const std::function<std::string(const Stack&)>& value) {
        header.push_back(prefix + name);
        row.push_back(m ? value(*m->stack) : "");
    };
    add("folder", [&](const Stack&) { return m->source->path; });
    add("format", [&](const Stack&) { return formatName(m->source->format); });
    add("repetitions", [](const Stack& s) { return std::to_string(s.repetitions()); });
    add("matrix", [](const Stack& s) { return std::to_string(s.keys.columns) + "x" + std::to_string(s.keys.rows); });
    add("pixel_spacing_mm", [](const Stack& s) {
        const auto& spacing = s.geometry.pixelSpacing;
        return spacing ? numberText(spacing->first) + "x" + numberText(spacing->second) : "";
    });
    add("series_uid", firstUid);
    add("description", [](const Stack& s) { return s.keys.description; });
    add("skipped_files", [&](const Stack&) { return std::to_string(m->source->skipped.size()); });
}

}  // namespace

std::string numberText(double value)
{
    if (!std::isfinite(value)) return "null";
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return std::string(text, end);
}

std::vector<std::pair<std::string, double>> reportFigures(const MeasureReport& r)
{
    // Every figure is a column whatever the run measured (NaN where it did not), so that one
    // history takes the runs of a series alone, of a pair, with or without --stability.
    std::vector<std::pair<std::string, double>> figures;
    const auto add = [&](const std::vector<std::pair<std::string, double>>& some, const char* suffix, bool given) {
        for (const auto& [name, value] : some) figures.emplace_back(name + suffix, given ? value : std::nan(""));
    };
    for (const auto& [m, suffix] : {std::pair{r.seriesA, "_a"}, {r.seriesB, "_b"}})
        add(seriesFigures(m ? m->centre().statistics : SeriesStatistics{}), suffix, m != nullptr);
    for (const auto& [m, suffix] : {std::pair{r.seriesA, "_a"}, {r.seriesB, "_b"}}) {
        const bool given = m && m->stability;
        add(stabilityColumns(given ? m->stability->figures[m->stability->figures.size() / 2] : StabilityFigures{}),
            suffix, given);
    }
    const GFactorSummary g = r.g.value_or(GFactorSummary{});
    add({{"g_mean", g.mean}, {"g_median", g.median}, {"g_p95", g.p95}, {"g_max", g.max},
         {"g_masked_fraction", g.maskedFraction}},
        "", r.g.has_value());
    return figures;
}

std::string reportJson(const MeasureReport& r)
{
    Json j{{"software", "quelby-measure"}, {"version", QUELBY_VERSION}, {"command_line", r.commandLine},
           {"run_time", r.runTime}};
    const Roi& roi = r.seriesA->centre().roi;
    j["roi"] = {{"kind", r.roiKind}, {"centre", {number(roi.centreX), number(roi.centreY)}},
                {"radius", number(roi.radius)}, {"pixels", roi.pixels}, {"phantom_pixels", roi.phantomPixels}};
    j["series_a"] = seriesJson(*r.seriesA);
    if (r.seriesB) j["series_b"] = seriesJson(*r.seriesB);
    if (r.g) {
        Json g{{"R", number(r.reduction.value_or(0))}};
        g.update(gJson(*r.g));
        j["g"] = g;
    }
    j["reduction"] = r.reduction ? Json{{"R", *r.reduction}, {"source", r.reductionSource}} : Json(nullptr);
    j["warnings"] = r.warnings;
    j["maps"] = r.maps;
    j["pictures"] = r.pictures;
    if (!r.dicom.is_null()) j["dicom"] = r.dicom;
    if (!r.limitsFile.empty())
        j["limits"] = {{"file", r.limitsFile}, {"violations", r.violations}, {"checks", limitChecksJson(r.limitChecks)}};
    return dumped(j);
}

std::string reportCsv(const MeasureReport& r)
{
    std::vector<std::string> header{"software", "version", "run_time"}, row{"quelby-measure", QUELBY_VERSION, r.runTime};
    identityCsv(r.seriesA->identity, header, row);
    seriesCsv(r.seriesA, "a_", header, row);
    seriesCsv(r.seriesB, "b_", header, row);
    header.insert(header.end(), {"R", "R_source"});
    row.insert(row.end(), {r.reduction ? numberText(*r.reduction) : "", r.reductionSource});
    for (const auto& [name, value] : reportFigures(r)) {
        header.push_back(name);
        row.push_back(std::isfinite(value) ? numberText(value) : "");
    }
    header.push_back("limits_failed");
    row.push_back(r.limitsFile.empty() ? "" : std::to_string(r.violations.size()));
    header.push_back("warnings");
    std::string warnings;
    for (const std::string& w : r.warnings) {
        if (!warnings.empty()) warnings += "; ";
        warnings += w;
    }
    row.push_back(warnings);
    return csvLine(header) + csvLine(row);
}

std::string stacksReportJson(const std::vector<std::string>& commandLine, const std::vector<StackOutput>& stacks,
                             const std::vector<std::string>& warnings)
{
    Json j{{"software", "quelby-measure"}, {"version", QUELBY_VERSION}, {"command_line", commandLine}};
    Json& list = j["stacks"] = Json::array();
    for (const StackOutput& output : stacks) {
        const Stack& s = *output.stack;
        Json item{{"name", output.name}, {"output", output.output}, {"series_uid", firstUid(s)},
                  {"description", s.keys.description}};
        addStackKeys(s.keys, item);
        item["slices"] = s.slices.size();
        item["repetitions"] = s.repetitions();
        item["status"] = output.status;
        list.push_back(std::move(item));
    }
    j["warnings"] = warnings;
    return dumped(j);
}

}  // namespace quelby
