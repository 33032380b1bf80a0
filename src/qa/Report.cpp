#include "qa/Report.h"

#include <charconv>
#include <functional>
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

std::string spacingJson(const Stack& s)
{
    const auto& spacing = s.geometry.pixelSpacing;
    if (!spacing) return "null";
    return joined({"[", numberText(spacing->first), ", ", numberText(spacing->second), "]"});
}

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

// The stack's keys where given, each after `separator`: "echo_number": 2 …
std::string stackKeysJson(const StackKeys& keys, const std::string& separator)
{
    std::string j;
    if (keys.echoNumber) j += joined({separator, "\"echo_number\": ", std::to_string(*keys.echoNumber)});
    if (keys.echoTimeMs) j += joined({separator, "\"echo_time_ms\": ", numberText(*keys.echoTimeMs)});
    if (!keys.coil.empty()) j += joined({separator, "\"coil\": ", quoted(keys.coil)});
    if (!keys.imageType.empty()) j += joined({separator, "\"image_type\": ", quoted(keys.imageType)});
    if (keys.seriesUids.size() > 1) j += joined({separator, "\"joined_series\": ", list(keys.seriesUids)});
    return j;
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

std::string gJson(const GFactorSummary& g)
{
    return joined({"{\"mean\": ", numberText(g.mean), ", \"median\": ", numberText(g.median), ", \"p95\": ",
                   numberText(g.p95), ", \"max\": ", numberText(g.max), ", \"masked_fraction\": ",
                   numberText(g.maskedFraction), "}"});
}

std::string slicesJson(const MeasuredSeries& m)
{
    std::ostringstream j;
    j << "[";
    for (std::size_t k = 0; k < m.measured->slices.size(); ++k) {
        j << (k ? "," : "") << "\n      {\"index\": " << k
          << ", \"position_mm\": " << numberText(m.stack->slices[k].positionMm)
          << ", \"repetitions\": " << m.stack->slices[k].repetitions.size()
          << ", \"roi\": " << roiJson(m.measured->slices[k].statistics);
        if (k < m.g.size()) j << ", \"g\": " << gJson(m.g[k]);
        j << "}";
    }
    j << "\n    ]";
    return j.str();
}

std::string seriesJson(const MeasuredSeries& m)
{
    const Stack& s = *m.stack;
    std::ostringstream j;
    j << "{\n    \"folder\": " << quoted(m.source->path) << ",\n    \"format\": " << quoted(formatName(m.source->format))
      << ",\n    \"repetitions\": " << s.repetitions()
      << ",\n    \"matrix\": [" << s.keys.columns << ", " << s.keys.rows
      << "],\n    \"pixel_spacing_mm\": " << spacingJson(s) << ",\n    \"series_uid\": " << quoted(firstUid(s))
      << ",\n    \"description\": " << quoted(s.keys.description) << ",\n    \"protocol\": " << quoted(s.keys.protocol)
      << stackKeysJson(s.keys, ",\n    ") << ",\n    \"rescale\": ";
    if (m.measured->rescale)
        j << "{\"slope\": " << numberText(m.measured->rescale->slope)
          << ", \"intercept\": " << numberText(m.measured->rescale->intercept) << "}";
    else
        j << "null";
    j << ",\n    \"skipped_files\": [";
    for (std::size_t k = 0; k < m.source->skipped.size(); ++k)
        j << (k ? ", " : "") << "{\"name\": " << quoted(m.source->skipped[k].name)
          << ", \"reason\": " << quoted(m.source->skipped[k].reason) << "}";
    j << "],\n    \"roi\": " << roiJson(m.centre().statistics) << ",\n    \"slices\": " << slicesJson(m) << "\n  }";
    return j.str();
}

std::string csvField(const std::string& text)
{
    if (text.find_first_of(",\"\n") == std::string::npos) return text;
    std::string out = "\"";
    for (const char ch : text) out += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return out + "\"";
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
    add("matrix", [](const Stack& s) { return joined({std::to_string(s.keys.columns), "x", std::to_string(s.keys.rows)}); });
    add("pixel_spacing_mm", [](const Stack& s) {
        const auto& spacing = s.geometry.pixelSpacing;
        return spacing ? joined({numberText(spacing->first), "x", numberText(spacing->second)}) : "";
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
    series(r.seriesA ? &r.seriesA->centre().statistics : nullptr, "_a");
    series(r.seriesB ? &r.seriesB->centre().statistics : nullptr, "_b");
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
    const Roi& roi = r.seriesA->centre().roi;
    j << ",\n  \"roi\": {\"kind\": " << quoted(r.roiKind) << ", \"centre\": [" << numberText(roi.centreX) << ", "
      << numberText(roi.centreY) << "], \"radius\": " << numberText(roi.radius) << ", \"pixels\": " << roi.pixels
      << ", \"phantom_pixels\": " << roi.phantomPixels << "}";
    j << ",\n  \"series_a\": " << seriesJson(*r.seriesA);
    if (r.seriesB) j << ",\n  \"series_b\": " << seriesJson(*r.seriesB);
    if (r.g) j << ",\n  \"g\": {\"R\": " << numberText(r.reduction.value_or(0)) << ", " << gJson(*r.g).substr(1);
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

std::string stacksReportJson(const std::vector<std::string>& commandLine, const std::vector<StackOutput>& stacks,
                             const std::vector<std::string>& warnings)
{
    std::ostringstream j;
    j << "{\n  \"software\": \"quelby-measure\",\n  \"version\": " << quoted(QUELBY_VERSION)
      << ",\n  \"command_line\": " << list(commandLine) << ",\n  \"stacks\": [";
    for (std::size_t k = 0; k < stacks.size(); ++k) {
        const Stack& s = *stacks[k].stack;
        j << (k ? "," : "") << "\n    {\"name\": " << quoted(stacks[k].name) << ", \"output\": "
          << quoted(stacks[k].output) << ", \"series_uid\": " << quoted(firstUid(s))
          << ", \"description\": " << quoted(s.keys.description) << stackKeysJson(s.keys, ", ")
          << ", \"slices\": " << s.slices.size() << ", \"repetitions\": " << s.repetitions()
          << ", \"status\": " << stacks[k].status << "}";
    }
    j << "\n  ],\n  \"warnings\": " << list(warnings) << "\n}\n";
    return j.str();
}

}  // namespace quelby
