#include "Report.h"

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

std::string seriesJson(const Series& s)
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
    j << "]\n  }";
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

std::string reportJson(const MeasureReport& r)
{
    std::ostringstream j;
    j << "{\n  \"software\": \"quelby-measure\",\n  \"version\": " << quoted(QUELBY_VERSION)
      << ",\n  \"command_line\": " << list(r.commandLine) << ",\n  \"series_a\": " << seriesJson(*r.seriesA);
    if (r.seriesB) j << ",\n  \"series_b\": " << seriesJson(*r.seriesB);
    j << ",\n  \"reduction\": ";
    if (r.reduction)
        j << "{\"R\": " << numberText(*r.reduction) << ", \"source\": " << quoted(r.reductionSource) << "}";
    else
        j << "null";
    j << ",\n  \"warnings\": " << list(r.warnings) << ",\n  \"maps\": " << list(r.maps) << "\n}\n";
    return j.str();
}

std::string reportCsv(const MeasureReport& r)
{
    std::vector<std::string> header{"software", "version"}, row{"quelby-measure", QUELBY_VERSION};
    seriesCsv(r.seriesA, "a_", header, row);
    seriesCsv(r.seriesB, "b_", header, row);
    header.insert(header.end(), {"R", "R_source", "warnings"});
    std::string warnings;
    for (const std::string& w : r.warnings) {
        if (!warnings.empty()) warnings += "; ";
        warnings += w;
    }
    row.insert(row.end(), {r.reduction ? numberText(*r.reduction) : "", r.reductionSource, warnings});
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
