#include "qa/TrendAnalysis.h"

#include "engine/core/InputError.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>

namespace quelby {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
long daysFromCivil(long y, long m, long d)
{
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

long digits(std::string_view text, std::size_t at, std::size_t n, long absent)
{
    if (at + n > text.size()) return absent;
    long v = 0;
    for (std::size_t k = at; k < at + n; ++k) v = v * 10 + (text[k] - '0');
    return v;
}

// Seconds since the epoch of a DICOM DT, YYYY[MM[DD[HH[MM[SS[.F]]]]]][&ZZXX];
// a time without its offset is taken as UTC. None for any other text.
std::optional<double> dicomSeconds(std::string_view dt)
{
    const std::size_t n = std::find_if(dt.begin(), dt.end(), [](char c) { return c < '0' || c > '9'; }) - dt.begin();
    if (n < 4 || n > 14 || n % 2 != 0) return std::nullopt;
    double seconds = 86400.0 * daysFromCivil(digits(dt, 0, 4, 0), digits(dt, 4, 2, 1), digits(dt, 6, 2, 1)) +
                     3600.0 * digits(dt, 8, 2, 0) + 60.0 * digits(dt, 10, 2, 0) + digits(dt, 12, 2, 0);
    std::string_view rest = dt.substr(n);
    if (!rest.empty() && rest[0] == '.' && n == 14) {
        char* end = nullptr;
        const std::string fraction("0" + std::string(rest.substr(0, rest.find_first_of("+-"))));
        seconds += std::strtod(fraction.c_str(), &end);
        if (*end != '\0') return std::nullopt;
        rest = rest.substr(fraction.size() - 1);
    }
    if (rest.empty()) return seconds;
    if (rest.size() != 5 || (rest[0] != '+' && rest[0] != '-') ||
        !std::all_of(rest.begin() + 1, rest.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const double offset = 3600.0 * digits(rest, 1, 2, 0) + 60.0 * digits(rest, 3, 2, 0);
    return rest[0] == '+' ? seconds - offset : seconds + offset;
}

// run_time is ISO 8601 UTC, YYYY-MM-DDTHH:MM:SSZ: the same digits without their separators.
std::optional<double> isoSeconds(std::string_view iso)
{
    std::string dt;
    for (const char c : iso)
        if (c >= '0' && c <= '9') dt += c;
        else if (c != '-' && c != ':' && c != 'T' && c != 'Z') return std::nullopt;
    return dicomSeconds(dt);
}

// One row of the history and where it falls in its group's order.
struct Run {
    const std::vector<std::string>* row;
    int line;
    std::string acquired;
    double order;
};

std::string field(const CsvTable& table, const std::vector<std::string>& row, const char* name)
{
    const auto k = table.column(name);
    return k ? row[*k] : std::string();
}

// The rows by group, each in acquisition order. A run whose time is unknown keeps
// its place after the run before it in the file, which is the order runs append.
std::map<TrendKey, std::vector<Run>> groupedRuns(const CsvTable& history)
{
    std::map<TrendKey, std::vector<Run>> groups;
    double last = -INFINITY;
    for (std::size_t r = 0; r < history.rows.size(); ++r) {
        const auto& row = history.rows[r];
        const TrendKey key{field(history, row, "a_station"), field(history, row, "a_serial"),
                           field(history, row, "a_receive_coil"), field(history, row, "a_protocol")};
        const std::string acquired = field(history, row, "a_acquired"), runTime = field(history, row, "run_time");
        const std::optional<double> time = acquired.empty() ? isoSeconds(runTime) : dicomSeconds(acquired);
        last = time.value_or(last);
        groups[key].push_back({&row, history.lines[r], acquired.empty() ? runTime : acquired, last});
    }
    for (auto& [key, runs] : groups)
        std::stable_sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.order < b.order; });
    return groups;
}

double number(const std::string& text, const std::string& where)
{
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !std::isfinite(v)) throw InputError(where + ": " + text + " is not a number");
    return v;
}

TrendBaseline baselineOf(const std::vector<TrendPoint>& points, std::size_t runs)
{
    TrendBaseline b{std::min(runs, points.size()), 0, std::nullopt};
    for (std::size_t k = 0; k < b.runs; ++k) b.mean += points[k].value / static_cast<double>(b.runs);
    if (b.runs < 2) return b;
    double squares = 0;
    for (std::size_t k = 0; k < b.runs; ++k) squares += (points[k].value - b.mean) * (points[k].value - b.mean);
    b.sd = std::sqrt(squares / static_cast<double>(b.runs - 1));
    return b;
}

// The SD flags of the points after the baseline.
void flagDeviations(TrendFigure& f)
{
    const double mean = f.baseline.mean, sd = *f.baseline.sd;
    const auto side = [&](std::size_t k) {
        const double d = f.points[k].value - mean;
        return d > 2 * sd ? 1 : d < -2 * sd ? -1 : 0;
    };
    for (std::size_t k = f.baseline.runs; k < f.points.size(); ++k) {
        TrendPoint& p = f.points[k];
        if (std::abs(p.value - mean) > 3 * sd) p.flags.push_back("3sd");
        const int s = side(k);
        int beyond = 0;
        for (std::size_t j = std::max(f.baseline.runs, k < 2 ? 0 : k - 2); j <= k; ++j) beyond += s != 0 && side(j) == s;
        if (beyond >= 2) p.flags.push_back("2of3");
    }
}

TrendFigure figureOf(const std::string& name, std::size_t column, const std::vector<Run>& runs,
                     std::size_t baselineRuns, const std::optional<Limit>& limit, const std::string& source)
{
    TrendFigure f{name, {}, false, limit, {}};
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const std::string& text = (*runs[r].row)[column];
        if (text.empty()) continue;
        f.points.push_back({r, runs[r].acquired, number(text, source + ": line " + std::to_string(runs[r].line) + ": " + name), {}});
    }
    f.baseline = baselineOf(f.points, baselineRuns);
    f.judged = f.points.size() > baselineRuns;
    if (f.judged) flagDeviations(f);
    if (limit)
        for (TrendPoint& p : f.points)
            if (!withinLimit(*limit, p.value)) p.flags.push_back("limit");
    return f;
}

}  // namespace

const std::vector<std::string>& trendFigures()
{
    static const std::vector<std::string> names{
        "snr_a", "snr_b", "snr_detrended_a", "g_mean", "g_median", "g_p95", "g_max", "drift_percent_total_a",
        "drift_percent_total_b", "sfnr_a", "snr_static_a", "percent_fluctuation_a", "drift_stability_a", "rdc_a",
        "sfnr_b", "snr_static_b", "percent_fluctuation_b", "drift_stability_b", "rdc_b", "mean_signal_a", "noise_a"};
    return names;
}

Trend analyseTrend(const CsvTable& history, const std::string& source, std::size_t baselineRuns,
                   const std::vector<Limit>& limits)
{
    std::vector<std::string> names = trendFigures();
    for (const Limit& limit : limits)
        if (std::find(names.begin(), names.end(), limit.figure) == names.end()) names.push_back(limit.figure);
    Trend trend{baselineRuns, {}};
    for (auto& [key, runs] : groupedRuns(history)) {
        TrendGroup group{key, {}, {}};
        for (const Run& run : runs) group.runs.push_back(run.acquired);
        for (const std::string& name : names) {
            const auto column = history.column(name);
            const auto limit = std::find_if(limits.begin(), limits.end(), [&](const Limit& l) { return l.figure == name; });
            if (!column) continue;
            TrendFigure f = figureOf(name, *column, runs, baselineRuns,
                                     limit == limits.end() ? std::nullopt : std::optional(*limit), source);
            if (!f.points.empty()) group.figures.push_back(std::move(f));
        }
        trend.groups.push_back(std::move(group));
    }
    return trend;
}

std::string acquisitionText(const std::string& time)
{
    if (isoSeconds(time) && time.find('T') != std::string::npos) {
        std::string text = time;
        std::replace(text.begin(), text.end(), 'T', ' ');
        return text.back() == 'Z' ? text.substr(0, text.size() - 1) + " UTC" : text;
    }
    if (!dicomSeconds(time)) return time;
    const std::size_t n = std::find_if(time.begin(), time.end(), [](char c) { return c < '0' || c > '9'; }) - time.begin();
    std::string text = time.substr(0, 4);
    for (std::size_t at = 4; at < n; at += 2) text += std::string(at < 8 ? "-" : at == 8 ? " " : ":") + time.substr(at, 2);
    const std::size_t offset = time.find_first_of("+-");
    return offset == std::string::npos ? text : text + " " + time.substr(offset);
}

std::vector<const TrendFigure*> latestFlagged(const TrendGroup& group)
{
    std::vector<const TrendFigure*> flagged;
    for (const TrendFigure& f : group.figures)
        if (f.points.back().run + 1 == group.runs.size() && !f.points.back().flags.empty()) flagged.push_back(&f);
    return flagged;
}

}  // namespace quelby
