#include "qa/Report.h"

#include <charconv>
#include <cmath>
#include <sstream>

#ifndef QUELBY_VERSION
#define QUELBY_VERSION "unknown"
#endif

namespace quelby {

namespace {

std::string quoted(const std::string& text)
{
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string list(const std::vector<std::string>& items)
{
    std::string out = "[";
    for (std::size_t k = 0; k < items.size(); ++k) {
        if (k > 0) out += ", ";
        out += quoted(items[k]);
    }
    return out + "]";
}

// The pieces one after the other.
std::string joined(std::initializer_list<std::string> pieces)
{
    std::string out;
    for (const std::string& piece : pieces) out += piece;
    return out;
}

std::string spacingJson(const Series& s)
{
    if (!s.pixelSpacing) return "null";
    return joined({"[", numberText(s.pixelSpacing->first), ", ", numberText(s.pixelSpacing->second), "]"});
}

std::string roiJson(const SeriesStatistics& st)
{
    std::ostringstream j;
    j << "{\"pixels\": " << st.pixels << ", \"mean_signal\": " << numberText(st.meanSignal)
      << ", \"noise\": " << numberText(st.noise) << ", \"snr\": " << numberText(st.snr) << ", \"snr_ci95\": ";
    if (st.snrCi95)
        j << "[" << numberText((*st.snrCi95)[0]) << ", " << numberText((*st.snrCi95)[1]) << "]";
    else
        j << "null";
    j << ", \"snr_pixel_mean\": " << numberText(st.snrPixelMean) << ", \"snr_pixel_median\": "
      << numberText(st.snrPixelMedian) << ", \"drift_percent_per_repetition\": "
      << numberText(st.driftPercentPerRepetition) << ", \"drift_percent_total\": " << numberText(st.driftPercentTotal);
    if (st.snrDetrended) j << ", \"snr_detrended\": " << numberText(*st.snrDetrended);
    j << ", \"roi_means\": [";
    for (std::size_t k = 0; k < st.roiMeans.size(); ++k) j << (k ? ", " : "") << numberText(st.roiMeans[k]);
    j << "]}";
    return j.str();
}

std::string seriesJson(const Series& s, const SeriesStatistics* st)
{
    std::ostringstream j;
    j << "{\n    \"folder\": " << quoted(s.folder) << ",\n    \"format\": " << quoted(s.dicom ? "DICOM" : "raw")
      << ",\n    \"repetitions\": " << s.repetitions() << ",\n    \"matrix\": [" << s.width << ", " << s.height
      << "],\n    \"pixel_spacing_mm\": " << spacingJson(s) << ",\n    \"series_uid\": " << quoted(s.seriesUid)
      << ",\n    \"description\": " << quoted(s.description) << ",\n    \"protocol\": " << quoted(s.protocol)
      << ",\n    \"rescale\": ";
    if (s.rescale)
        j << "{\"slope\": " << numberText(s.rescale->first) << ", \"intercept\": " << numberText(s.rescale->second)
          << "}";
    else
        j << "null";
    j << ",\n    \"skipped_files\": [";
    for (std::size_t k = 0; k < s.skipped.size(); ++k)
        j << (k ? ", " : "") << "{\"name\": " << quoted(s.skipped[k].name) << ", \"reason\": " << quoted(s.skipped[k].reason)
          << "}";
    j << "]";
    if (st) j << ",\n    \"roi\": " << roiJson(*st);
    j << "\n  }";
    return j.str();
}

std::string csvField(const std::string& text)
{
    if (text.find_first_of(",\"\n") == std::string::npos) return text;
    std::string out = "\"";
    for (const char ch : text) out += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return out + "\"";
}

void seriesCsv(const Series* s, const std::string& prefix, std::vector<std::string>& header,
               std::vector<std::string>& row)
{
    const auto add = [&](const std::string& name, const std::string& value) {
        header.push_back(prefix + name);
        row.push_back(s ? value : "");
    };
    add("folder", s ? s->folder : "");
    add("format", s ? (s->dicom ? "DICOM" : "raw") : "");
    add("repetitions", s ? std::to_string(s->repetitions()) : "");
    add("matrix", s ? joined({std::to_string(s->width), "x", std::to_string(s->height)}) : "");
    add("pixel_spacing_mm", s && s->pixelSpacing
                                ? joined({numberText(s->pixelSpacing->first), "x", numberText(s->pixelSpacing->second)})
                                : "");
    add("series_uid", s ? s->seriesUid : "");
    add("description", s ? s->description : "");
    add("skipped_files", s ? std::to_string(s->skipped.size()) : "");
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
    std::vector<std::pair<std::string, double>> figures;
    const auto series = [&](const SeriesStatistics* st, const std::string& suffix) {
        if (!st) return;
        const auto add = [&](const std::string& name, double value) { figures.emplace_back(name + suffix, value); };
        add("roi_pixels", static_cast<double>(st->pixels));
        add("mean_signal", st->meanSignal);
        add("noise", st->noise);
        add("snr", st->snr);
        add("snr_ci95_low", st->snrCi95 ? (*st->snrCi95)[0] : std::nan(""));
        add("snr_ci95_high", st->snrCi95 ? (*st->snrCi95)[1] : std::nan(""));
        add("snr_pixel_mean", st->snrPixelMean);
        add("snr_pixel_median", st->snrPixelMedian);
        add("drift_percent_per_repetition", st->driftPercentPerRepetition);
        add("drift_percent_total", st->driftPercentTotal);
        // Always a column, so that a history keeps its columns whatever was asked.
        add("snr_detrended", st->snrDetrended.value_or(std::nan("")));
    };
    series(r.statisticsA, "_a");
    series(r.statisticsB, "_b");
    if (r.g)
        for (const auto& [name, value] : {std::pair{"g_mean", r.g->mean}, {"g_median", r.g->median}, {"g_p95", r.g->p95},
                                          {"g_max", r.g->max}, {"g_masked_fraction", r.g->maskedFraction}})
            figures.emplace_back(name, value);
    return figures;
}

std::string reportJson(const MeasureReport& r)
{
    std::ostringstream j;
    j << "{\n  \"software\": \"quelby-measure\",\n  \"version\": " << quoted(QUELBY_VERSION)
      << ",\n  \"command_line\": " << list(r.commandLine);
    if (r.roi)
        j << ",\n  \"roi\": {\"kind\": " << quoted(r.roiKind) << ", \"centre\": [" << numberText(r.roi->centreX)
          << ", " << numberText(r.roi->centreY) << "], \"radius\": " << numberText(r.roi->radius)
          << ", \"pixels\": " << r.roi->pixels << ", \"phantom_pixels\": " << r.roi->phantomPixels << "}";
    j << ",\n  \"series_a\": " << seriesJson(*r.seriesA, r.statisticsA);
    if (r.seriesB) j << ",\n  \"series_b\": " << seriesJson(*r.seriesB, r.statisticsB);
    if (r.g)
        j << ",\n  \"g\": {\"R\": " << numberText(r.reduction.value_or(0)) << ", \"mean\": " << numberText(r.g->mean)
          << ", \"median\": " << numberText(r.g->median) << ", \"p95\": " << numberText(r.g->p95)
          << ", \"max\": " << numberText(r.g->max) << ", \"masked_fraction\": " << numberText(r.g->maskedFraction)
          << "}";
    j << ",\n  \"reduction\": ";
    if (r.reduction)
        j << "{\"R\": " << numberText(*r.reduction) << ", \"source\": " << quoted(r.reductionSource) << "}";
    else
        j << "null";
    j << ",\n  \"warnings\": " << list(r.warnings) << ",\n  \"maps\": " << list(r.maps)
      << ",\n  \"pictures\": " << list(r.pictures);
    if (!r.limitsFile.empty())
        j << ",\n  \"limits\": {\"file\": " << quoted(r.limitsFile) << ", \"violations\": " << list(r.violations)
          << "}";
    j << "\n}\n";
    return j.str();
}

std::string reportCsv(const MeasureReport& r)
{
    std::vector<std::string> header{"software", "version"}, row{"quelby-measure", QUELBY_VERSION};
    seriesCsv(r.seriesA, "a_", header, row);
    seriesCsv(r.seriesB, "b_", header, row);
    header.insert(header.end(), {"R", "R_source"});
    row.insert(row.end(), {r.reduction ? numberText(*r.reduction) : "", r.reductionSource});
    for (const auto& [name, value] : reportFigures(r)) {
        header.push_back(name);
        row.push_back(std::isfinite(value) ? numberText(value) : "");
    }
    header.push_back("warnings");
    std::string warnings;
    for (const std::string& w : r.warnings) {
        if (!warnings.empty()) warnings += "; ";
        warnings += w;
    }
    row.push_back(warnings);
    std::string out;
    const auto line = [&](const std::vector<std::string>& fields, auto&& field) {
        for (std::size_t k = 0; k < fields.size(); ++k) {
            if (k > 0) out += ',';
            out += field(fields[k]);
        }
        out += '\n';
    };
    line(header, [](const std::string& f) { return f; });
    line(row, csvField);
    return out;
}

}  // namespace quelby
