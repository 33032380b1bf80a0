#include "qa/HtmlReport.h"

#include "qa/FigureText.h"
#include "qa/HtmlPage.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <functional>
#include <initializer_list>
#include <string_view>

namespace quelby {

namespace {

using Json = nlohmann::json;

constexpr const char* dash = "—";

// The value at `key` when it is there and not null.
const Json* field(const Json& j, const char* key)
{
    if (!j.is_object()) return nullptr;
    const auto it = j.find(key);
    return it == j.end() || it->is_null() ? nullptr : &*it;
}

const Json& objectAt(const Json& j, const char* key)
{
    static const Json none = Json::object();
    const Json* value = field(j, key);
    return value && value->is_object() ? *value : none;
}

const Json& arrayAt(const Json& j, const char* key)
{
    static const Json none = Json::array();
    const Json* value = field(j, key);
    return value && value->is_array() ? *value : none;
}

// A value for people, not yet escaped: counts whole, figures to 4 digits,
// texts as they are, "—" for nothing.
std::string valueText(const Json* value)
{
    if (!value || (value->is_string() && value->get_ref<const std::string&>().empty())) return dash;
    if (value->is_string()) return value->get<std::string>();
    if (value->is_number_integer()) return value->dump();
    if (value->is_number()) return figureText(value->get<double>());
    if (value->is_boolean()) return value->get<bool>() ? "yes" : "no";
    return value->dump();
}

std::string text(const Json& j, const char* key) { return valueText(field(j, key)); }

std::string withUnit(const Json& j, const char* key, const char* unit)
{
    const Json* value = field(j, key);
    return value ? valueText(value) + unit : dash;
}

// "a × b" of a two-element array, "—" for anything else.
std::string pairText(const Json* value, const char* separator)
{
    if (!value || !value->is_array() || value->size() != 2) return dash;
    return valueText(&(*value)[0]) + separator + valueText(&(*value)[1]);
}

std::string cell(const std::string& plain) { return "<td>" + htmlEscaped(plain) + "</td>"; }

std::string sliceCell(const std::string& plain) { return "<th class=\"slice\">" + htmlEscaped(plain) + "</th>"; }

std::string numberCell(const Json* value) { return "<td class=\"number\">" + htmlEscaped(valueText(value)) + "</td>"; }

std::string numberCells(const Json& j, std::initializer_list<const char*> keys)
{
    std::string cells;
    for (const char* key : keys) cells += numberCell(field(j, key));
    return cells;
}

std::string table(const std::vector<std::string>& headings, const std::string& rows)
{
    std::string head = "<table><thead><tr>";
    for (const std::string& h : headings) head += "<th>" + htmlEscaped(h) + "</th>";
    return head + "</tr></thead><tbody>\n" + rows + "</tbody></table>\n";
}

// Label and value rows; the values plain text.
std::string factsTable(const std::vector<std::pair<std::string, std::string>>& facts)
{
    std::string rows;
    for (const auto& [label, value] : facts) rows += "<tr><th>" + htmlEscaped(label) + "</th>" + cell(value) + "</tr>\n";
    return "<table>" + rows + "</table>\n";
}

std::string heading(int level, const std::string& plain)
{
    const std::string tag = "h" + std::to_string(level);
    return "<" + tag + ">" + htmlEscaped(plain) + "</" + tag + ">\n";
}

std::string paragraph(const std::string& plain, const char* cls = nullptr)
{
    return (cls ? "<p class=\"" + std::string(cls) + "\">" : std::string("<p>")) + htmlEscaped(plain) + "</p>\n";
}

std::string list(const std::vector<std::string>& items)
{
    std::string out = "<ul>";
    for (const std::string& item : items) out += "<li>" + htmlEscaped(item) + "</li>";
    return out + "</ul>\n";
}

std::string shellWord(const std::string& word)
{
    if (!word.empty() &&
        word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./=:,+-@%") ==
            std::string::npos)
        return word;
    std::string quoted = "'";
    for (const char ch : word) quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return quoted + "'";
}

std::string commandLineText(const Json& report)
{
    std::string line;
    for (const Json& word : arrayAt(report, "command_line"))
        if (word.is_string()) line += (line.empty() ? "" : " ") + shellWord(word.get<std::string>());
    return line.empty() ? dash : line;
}

// "2026-12-09T04:10:00Z" as "2026-12-09 04:10:00 UTC".
std::string runTimeText(const std::string& t)
{
    if (t.size() == 20 && t[10] == 'T' && t[19] == 'Z') return t.substr(0, 10) + " " + t.substr(11, 8) + " UTC";
    return t;
}

std::string voxelText(const Json& series, const Json& identity)
{
    const Json* spacing = field(series, "pixel_spacing_mm");
    const Json* thickness = field(identity, "slice_thickness_mm");
    if (!thickness && !spacing) return dash;
    return (spacing ? pairText(spacing, " × ") : "? × ?") + " × " + (thickness ? valueText(thickness) : "?") + " mm";
}

using Facts = std::vector<std::pair<std::string, std::string>>;

Facts seriesFacts(const Json& series)
{
    const Json& id = objectAt(series, "identity");
    const Json* protocol = field(id, "protocol") ? field(id, "protocol") : field(series, "protocol");
    Facts facts = {
        {"Manufacturer / model", text(id, "manufacturer") + " / " + text(id, "model")},
        {"Station / serial number", text(id, "station") + " / " + text(id, "serial")},
        {"Field strength", withUnit(id, "field_strength_t", " T")},
        {"Receive coil", text(id, "receive_coil")},
        {"Protocol / sequence", valueText(protocol) + " / " + text(id, "sequence")},
        {"TR / TE", withUnit(id, "repetition_time_ms", " ms") + " / " + withUnit(id, "echo_time_ms", " ms")},
        {"Matrix (columns × rows)", pairText(field(series, "matrix"), " × ")},
        {"Voxel (rows × columns × thickness)", voxelText(series, id)},
        {"Acquired", field(id, "acquired") ? dicomDateTimeText(text(id, "acquired")) : dash},
        {"Description", text(series, "description")},
        {"Folder (" + text(series, "format") + ")", text(series, "folder")},
        {"Repetitions", text(series, "repetitions")},
        {"Series UID", text(series, "series_uid")},
        {"Study UID", text(id, "study_uid")}};
    const auto optional = [&](const char* label, const char* key, const char* unit = "") {
        if (field(series, key)) facts.emplace_back(label, withUnit(series, key, unit));
    };
    optional("Echo number", "echo_number");
    optional("Echo time", "echo_time_ms", " ms");
    optional("Coil element", "coil");
    optional("Image type", "image_type");
    if (const Json* joined = field(series, "joined_series"); joined && joined->is_array())
        facts.emplace_back("Joined series", std::to_string(joined->size()) + " series");
    if (const Json& rescale = objectAt(series, "rescale"); !rescale.empty())
        facts.emplace_back("Rescale", "slope " + text(rescale, "slope") + ", intercept " + text(rescale, "intercept"));
    return facts;
}

// The value of `label` among `facts`, "—" when they lack it.
std::string factOf(const Facts& facts, const std::string& label)
{
    const auto it = std::find_if(facts.begin(), facts.end(), [&](const auto& f) { return f.first == label; });
    return it == facts.end() ? dash : it->second;
}

// What each series was, side by side: a row for every fact either has.
std::string acquisitionSection(const Json& report)
{
    std::vector<std::string> headings{""};
    std::vector<Facts> columns;
    std::string skipped;
    for (const auto& [key, title] : {std::pair{"series_a", "Series A"}, {"series_b", "Series B"}}) {
        const Json* series = field(report, key);
        if (!series || !series->is_object()) continue;
        headings.emplace_back(title);
        columns.push_back(seriesFacts(*series));
        std::vector<std::string> files;
        for (const Json& file : arrayAt(*series, "skipped_files"))
            files.push_back(text(file, "name") + ": " + text(file, "reason"));
        if (!files.empty()) skipped += paragraph(std::string(title) + ", files skipped:") + list(files);
    }
    if (columns.empty()) return "";
    std::vector<std::string> labels;
    for (const Facts& facts : columns)
        for (const auto& fact : facts)
            if (std::find(labels.begin(), labels.end(), fact.first) == labels.end()) labels.push_back(fact.first);
    std::string rows;
    for (const std::string& label : labels) {
        rows += "<tr><th>" + htmlEscaped(label) + "</th>";
        for (const Facts& facts : columns) rows += cell(factOf(facts, label));
        rows += "</tr>\n";
    }
    return "<section>\n" + heading(2, "Acquisition") + table(headings, rows) + skipped + "</section>\n";
}

using SliceCells = std::function<std::string(const Json& part, const Json& slice)>;

// One row per slice holding `part` (the series' own as one row when no slice
// does): the slice's index, the centre slice marked, then `cells` of the part.
std::string sliceRows(const Json& series, const char* part, const SliceCells& cells)
{
    const Json& slices = arrayAt(series, "slices");
    std::string rows;
    for (std::size_t k = 0; k < slices.size(); ++k) {
        const Json* p = field(slices[k], part);
        if (!p) continue;
        const bool centre = slices.size() > 1 && k == slices.size() / 2;
        rows += "<tr>" + sliceCell(text(slices[k], "index") + (centre ? " (centre)" : "")) + cells(*p, slices[k]) +
                "</tr>\n";
    }
    if (rows.empty())
        if (const Json* p = field(series, part))
            rows = "<tr>" + sliceCell("centre") + cells(*p, Json::object()) + "</tr>\n";
    return rows;
}

std::string roiTable(const Json& series)
{
    const std::string rows = sliceRows(series, "roi", [&](const Json& roi, const Json& slice) {
        const Json* ci = field(roi, "snr_ci95");
        return numberCell(field(slice, "position_mm")) + numberCells(roi, {"mean_signal", "noise", "snr"}) +
               "<td class=\"number\">" + htmlEscaped(pairText(ci, " – ")) + "</td>" +
               numberCells(roi, {"snr_detrended", "drift_percent_per_repetition", "drift_percent_total", "pixels"});
    });
    if (rows.empty()) return "";
    return table({"Slice", "Position (mm)", "Mean signal", "Noise", "SNR", "SNR 95 % CI", "SNR detrended",
                  "Drift %/rep.", "Drift % total", "ROI pixels"},
                 rows);
}

std::string gTable(const Json& series)
{
    const std::string rows = sliceRows(series, "g", [](const Json& g, const Json&) {
        return numberCells(g, {"mean", "median", "p95", "max", "masked_fraction"});
    });
    return rows.empty() ? ""
                        : heading(3, "g factor") +
                              table({"Slice", "Mean", "Median", "95th pct.", "Max", "Masked fraction"}, rows);
}

struct Method {
    const char* key;
    const char* label;
};

constexpr Method methods[] = {
    {"multiple", "Multiple"}, {"difference", "Difference"}, {"background_sd", "Background SD"},
    {"background_mean", "Background mean"}};

std::string lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// Why a method gave no figure for the series `key` ("series_a"): the first
// warning naming its kind ("background" for both background methods) that is
// about this series or names none.
std::string methodReason(const Method& method, const std::string& key, const Json& warnings)
{
    const std::string_view kind = std::string_view(method.key).substr(0, std::string_view(method.key).find('_'));
    for (const Json& w : warnings) {
        if (!w.is_string()) continue;
        const std::string l = lowered(w.get<std::string>());
        const bool otherSeries = l.rfind("series_", 0) == 0 && l.rfind(key + ":", 0) != 0;
        if (!otherSeries && l.find(kind) != std::string::npos) return w.get<std::string>();
    }
    return std::string(method.label) + ": not measured";
}

std::string methodsTable(const Json& series, const std::string& key, const Json& warnings)
{
    std::vector<std::string> reasons;
    const std::string rows = sliceRows(series, "methods", [&](const Json& m, const Json&) {
        std::string cells;
        for (const Method& method : methods) {
            const Json* snr = field(objectAt(m, method.key), "snr");
            if (!snr) {
                const std::string reason = methodReason(method, key, warnings);
                if (std::find(reasons.begin(), reasons.end(), reason) == reasons.end()) reasons.push_back(reason);
                cells += numberCell(nullptr);
                continue;
            }
            const Json* percent = field(objectAt(m, method.key), "percent_vs_multiple");
            cells += "<td class=\"number\">" + htmlEscaped(valueText(snr)) +
                     (percent && std::string_view(method.key) != "multiple"
                          ? " (" + htmlEscaped(valueText(percent)) + " %)"
                          : "") +
                     "</td>";
        }
        return cells;
    });
    if (rows.empty()) return "";
    std::vector<std::string> headings{"Slice"};
    for (const Method& method : methods) headings.emplace_back(method.label);
    return heading(3, "SNR by method (% against the multiple-image SNR)") + table(headings, rows) +
           (reasons.empty() ? "" : paragraph("— not measured:", "muted") + list(reasons));
}

std::string weisskoffText(const Json& points)
{
    std::string out;
    for (const Json& point : points)
        if (point.is_array() && point.size() == 2)
            out += (out.empty() ? "" : " · ") + valueText(&point[0]) + ": " + valueText(&point[1]);
    return out.empty() ? dash : out;
}

std::string stabilityTable(const Json& series)
{
    const std::string rows = sliceRows(series, "stability", [](const Json& s, const Json&) {
        return numberCells(s, {"frames", "roi_width", "signal", "sfnr", "snr", "percent_fluctuation", "drift_percent", "rdc"});
    });
    if (rows.empty()) return "";
    const std::string weisskoff = sliceRows(series, "stability", [](const Json& s, const Json&) {
        return cell(weisskoffText(arrayAt(s, "weisskoff")));
    });
    return heading(3, "Stability") +
           table({"Slice", "Frames", "ROI width", "Signal", "SFNR", "SNR", "Fluct. %", "Drift %", "RDC"}, rows) +
           table({"Slice", "Fluctuation % in ROIs of n × n pixels (n: %)"}, weisskoff);
}

std::string seriesSection(const Json& report, const char* key, const char* title)
{
    const Json* series = field(report, key);
    if (!series || !series->is_object()) return "";
    const Json& warnings = arrayAt(report, "warnings");
    return "<section>\n" + heading(2, std::string(title) + " figures") + roiTable(*series) + gTable(*series) +
           methodsTable(*series, key, warnings) + stabilityTable(*series) + "</section>\n";
}

bool passed(const Json& check)
{
    const Json* verdict = field(check, "pass");
    return verdict && verdict->is_boolean() && verdict->get<bool>();
}

// "1 of 2 met; failed: g_max", "—" without checks.
std::string limitsVerdict(const Json& checks)
{
    std::size_t met = 0;
    std::string failed;
    for (const Json& check : checks)
        if (passed(check))
            ++met;
        else
            failed += (failed.empty() ? "; failed: " : ", ") + text(check, "figure");
    return checks.empty() ? dash : std::to_string(met) + " of " + std::to_string(checks.size()) + " met" + failed;
}

std::string summary(const Json& report)
{
    const auto snr = [](const Json& series) {
        const Json& roi = objectAt(series, "roi");
        const Json* ci = field(roi, "snr_ci95");
        return text(roi, "snr") + (ci ? " (95 % CI " + pairText(ci, " – ") + ")" : "");
    };
    std::vector<std::pair<std::string, std::string>> facts = {
        {"Software", text(report, "software") + " " + text(report, "version")},
        {"Run", runTimeText(text(report, "run_time"))},
        {"Command line", commandLineText(report)},
        {"SNR, series A", snr(objectAt(report, "series_a"))}};
    if (field(report, "series_b")) facts.emplace_back("SNR, series B", snr(objectAt(report, "series_b")));
    if (const Json& g = objectAt(report, "g"); !g.empty())
        facts.emplace_back("g (R = " + text(g, "R") + ")", "mean " + text(g, "mean") + ", median " + text(g, "median") +
                                                               ", 95th pct. " + text(g, "p95") + ", max " + text(g, "max") +
                                                               ", masked fraction " + text(g, "masked_fraction"));
    if (const Json& r = objectAt(report, "reduction"); !r.empty())
        facts.emplace_back("Reduction R", text(r, "R") + " (" + text(r, "source") + ")");
    if (const Json& checks = arrayAt(objectAt(report, "limits"), "checks"); !checks.empty())
        facts.emplace_back("Limits", limitsVerdict(checks));
    if (const Json& roi = objectAt(report, "roi"); !roi.empty())
        facts.emplace_back("ROI (" + text(roi, "kind") + ")", "centre " + pairText(field(roi, "centre"), ", ") +
                                                                 ", radius " + text(roi, "radius") + ", " +
                                                                 text(roi, "pixels") + " pixels of " +
                                                                 text(roi, "phantom_pixels") + " in the phantom");
    return factsTable(facts);
}

std::string limitsSection(const Json& report)
{
    const Json& limits = objectAt(report, "limits");
    if (limits.empty()) return "";
    std::string rows;
    const Json& checks = arrayAt(limits, "checks");
    for (const Json& check : checks)
        rows += "<tr>" + cell(text(check, "figure")) + numberCells(check, {"value", "minimum", "maximum"}) +
                "<td class=\"" + (passed(check) ? "pass\">pass" : "fail\">FAIL") + "</td></tr>\n";
    std::string out = "<section>\n" + heading(2, "Limits") + paragraph("From " + text(limits, "file"));
    if (!checks.empty())
        out += paragraph(limitsVerdict(checks)) + table({"Figure", "Value", "Minimum", "Maximum", "Result"}, rows);
    std::vector<std::string> violations;
    for (const Json& v : arrayAt(limits, "violations")) violations.push_back(valueText(&v));
    if (!violations.empty()) out += list(violations);
    return out + "</section>\n";
}

std::string textsSection(const Json& report, const char* key, const char* title, const char* none)
{
    std::vector<std::string> items;
    for (const Json& item : arrayAt(report, key)) items.push_back(valueText(&item));
    return "<section>\n" + heading(2, title) + (items.empty() ? paragraph(none, "muted") : list(items)) + "</section>\n";
}

std::string outputsSection(const Json& report)
{
    std::vector<std::string> outputs;
    for (const Json& map : arrayAt(report, "maps")) outputs.push_back(valueText(&map));
    for (const Json& d : arrayAt(report, "dicom"))
        outputs.push_back(text(d, "map") + ": DICOM " + text(d, "kind") + ", " +
                          std::to_string(arrayAt(d, "files").size()) + " file(s), series " + text(d, "series_uid"));
    return outputs.empty() ? "" : "<section>\n" + heading(2, "Maps written") + list(outputs) + "</section>\n";
}

std::string picturesSection(const std::vector<std::pair<std::string, std::vector<char>>>& pictures)
{
    if (pictures.empty()) return "";
    std::string out = "<section>\n" + heading(2, "Pictures") + "<div class=\"pictures\">\n";
    for (const auto& [name, png] : pictures)
        out += "<figure><img alt=\"" + htmlEscaped(name) + "\" src=\"" + pngDataUri(png) + "\"><figcaption>" +
               htmlEscaped(name) + "</figcaption></figure>\n";
    return out + "</div>\n</section>\n";
}

bool digits(const std::string& s)
{
    return std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
}

bool within(const std::string& twoDigits, int low, int high)
{
    const int value = std::stoi(twoDigits);
    return value >= low && value <= high;
}

}  // namespace

std::string dicomDateTimeText(const std::string& dt)
{
    // YYYYMMDDHHMMSS.FFFFFF&ZZXX with the right parts optional; a TM alone has no date.
    const std::size_t offsetAt = std::min(dt.find_first_of("+-"), dt.size());
    const std::size_t fractionAt = std::min(dt.find('.'), offsetAt);
    const std::string whole = dt.substr(0, fractionAt), fraction = dt.substr(fractionAt, offsetAt - fractionAt),
                      offset = dt.substr(offsetAt);
    const bool dated = whole.size() >= 8;
    const std::string time = dated ? whole.substr(8) : whole;
    const bool valid = !whole.empty() && whole.size() % 2 == 0 && digits(whole) && time.size() <= 6 &&
                       (fraction.empty() || (fraction.size() > 1 && digits(fraction.substr(1)) && time.size() == 6)) &&
                       (offset.empty() || (offset.size() == 5 && digits(offset.substr(1))));
    if (!valid || (dated && !(within(whole.substr(4, 2), 1, 12) && within(whole.substr(6, 2), 1, 31)))) return dt;
    std::string out = dated ? whole.substr(0, 4) + "-" + whole.substr(4, 2) + "-" + whole.substr(6, 2) : "";
    const int highest[] = {23, 59, 60};
    std::string clock;
    for (std::size_t k = 0; k < time.size(); k += 2) {
        if (!within(time.substr(k, 2), 0, highest[k / 2])) return dt;
        clock += (k ? ":" : "") + time.substr(k, 2);
    }
    if (time.size() == 2) clock += ":00";
    if (!clock.empty()) out += (out.empty() ? "" : " ") + clock + fraction;
    return offset.empty() ? out : out + " " + offset;
}

std::string htmlReport(const Json& report, const std::vector<std::pair<std::string, std::vector<char>>>& pictures)
{
    const Json& a = objectAt(report, "series_a");
    const std::string subject = field(a, "description") ? text(a, "description") : text(a, "folder");
    const std::string body = "<header>\n" + heading(1, "MRI quality control: consecutive images") + paragraph(subject) +
                             summary(report) + "</header>\n" + acquisitionSection(report) +
                             seriesSection(report, "series_a", "Series A") + seriesSection(report, "series_b", "Series B") +
                             limitsSection(report) + textsSection(report, "warnings", "Warnings", "None.") +
                             outputsSection(report) + picturesSection(pictures);
    return htmlPage("Quality control report: " + subject, body);
}

}  // namespace quelby
