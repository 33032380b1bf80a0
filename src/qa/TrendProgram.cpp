#include "qa/TrendProgram.h"

#include "engine/core/InputError.h"
#include "export/FileReplace.h"
#include "qa/MeasureProgram.h"
#include "qa/OutputFolder.h"
#include "qa/TrendReport.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <ostream>

namespace quelby {

namespace {

constexpr const char* Usage = "usage: quelby-measure trend HISTORY.csv -o DIR [--baseline N] [--limits FILE]";

struct TrendCommand {
    std::string history, output, limits;
    std::size_t baseline = 10;
};

std::size_t baselineRuns(const std::string& text)
{
    std::size_t used = 0;
    int n = 0;
    try {
        n = std::stoi(text, &used);
    } catch (const std::exception&) {
    }
    if (used != text.size() || n < 2) throw InputError("--baseline: give a whole number of runs, 2 or more");
    return static_cast<std::size_t>(n);
}

TrendCommand parsed(const std::vector<std::string>& args)
{
    TrendCommand c;
    for (std::size_t k = 0; k < args.size(); ++k) {
        const std::string& a = args[k];
        const bool valued = a == "-o" || a == "--baseline" || a == "--limits";
        if (valued && k + 1 == args.size()) throw InputError(a + ": give its value; " + Usage);
        if (a == "-o") c.output = args[++k];
        else if (a == "--baseline") c.baseline = baselineRuns(args[++k]);
        else if (a == "--limits") c.limits = args[++k];
        else if (a.rfind("-", 0) == 0 || !c.history.empty()) throw InputError(a + ": unknown; " + Usage);
        else c.history = a;
    }
    if (c.history.empty() || c.output.empty()) throw InputError(Usage);
    return c;
}

// Each file replaced whole, so that a reader never sees a page half written.
void writeOutputs(const std::string& folder, const Trend& trend, const std::string& historyName)
{
    OutputFolder::checkUsable(folder);
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    // A history holds the scanners' texts as their files gave them, not always in UTF-8.
    const std::string json = trendJson(trend).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n",
                      html = trendHtml(trend, historyName);
    for (const auto& [name, text] : {std::pair{"trend.json", &json}, {"trend.html", &html}}) {
        try {
            replaceFile(folder + "/" + name, folder, *text);
        } catch (const FileWriteError& e) {
            throw InputError(folder + "/" + name + ": cannot be written (" + e.what() + ")");
        }
    }
}

void summarise(const Trend& trend, std::ostream& out)
{
    for (const TrendGroup& g : trend.groups) {
        out << g.key.station << " " << g.key.serial << " " << g.key.coil << " " << g.key.protocol << ": "
            << g.runs.size() << " runs, latest " << acquisitionText(g.runs.back());
        for (const TrendFigure* f : latestFlagged(g)) {
            out << "; " << f->name;
            for (const std::string& flag : f->points.back().flags) out << " " << flag;
        }
        out << "\n";
    }
}

}  // namespace

int runTrend(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    try {
        const TrendCommand c = parsed(args);
        const std::vector<Limit> limits = c.limits.empty() ? std::vector<Limit>{} : readLimits(c.limits);
        const CsvTable history = readCsv(c.history);
        if (history.rows.empty()) throw InputError(c.history + ": holds no run");
        for (const int line : history.cutShortLines)
            err << "quelby-measure: " << c.history << ": line " << line << " was cut short when written; left out\n";
        for (const Limit& limit : limits)
            if (!history.column(limit.figure))
                err << "quelby-measure: " << c.history << " has no column " << limit.figure << "; its limit is not charted\n";
        const Trend trend = analyseTrend(history, c.history, c.baseline, limits);
        writeOutputs(c.output, trend, std::filesystem::path(c.history).filename().string());
        summarise(trend, out);
        for (const TrendGroup& g : trend.groups)
            if (!latestFlagged(g).empty()) return ExitLimitsNotMet;
        return ExitDone;
    } catch (const InputError& e) {
        err << "quelby-measure: " << e.what() << "\n";
        return ExitUnmeasurable;
    }
}

}  // namespace quelby
