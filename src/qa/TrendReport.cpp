#include "qa/TrendReport.h"

#include "qa/FigureText.h"
#include "qa/HtmlPage.h"
#include "qa/TrendChart.h"

#include <nlohmann/json.hpp>

namespace quelby {

namespace {

nlohmann::json keyJson(const TrendKey& key)
{
    return {{"station", key.station}, {"serial", key.serial}, {"coil", key.coil}, {"protocol", key.protocol}};
}

nlohmann::json figureJson(const TrendFigure& f)
{
    nlohmann::json points = nlohmann::json::array();
    for (const TrendPoint& p : f.points) points.push_back({{"acquired", p.acquired}, {"value", p.value}, {"flags", p.flags}});
    nlohmann::json baseline{{"runs", f.baseline.runs}, {"mean", f.baseline.mean}, {"sd", nullptr}};
    if (f.baseline.sd) baseline["sd"] = *f.baseline.sd;
    return {{"baseline", baseline}, {"points", points}};
}

std::string keyText(const TrendKey& key)
{
    const auto part = [](const std::string& s) { return s.empty() ? std::string("—") : s; };
    return "station " + part(key.station) + ", serial " + part(key.serial) + ", coil " + part(key.coil) +
           ", protocol " + part(key.protocol);
}

std::string flagsText(const std::vector<std::string>& flags)
{
    std::string text;
    for (const std::string& flag : flags) text += (text.empty() ? "" : ", ") + flag;
    return text;
}

// Each group's latest run: its time, and each figure it holds with its flags.
std::string latestTable(const Trend& trend)
{
    std::string html = "<table>\n<tr><th>group</th><th>latest run</th><th>figures flagged</th></tr>\n";
    for (const TrendGroup& g : trend.groups) {
        std::string flagged;
        for (const TrendFigure* f : latestFlagged(g))
            flagged += (flagged.empty() ? "" : "<br>") + htmlEscaped(f->name + " = " + figureText(f->points.back().value) +
                                                                     " (" + flagsText(f->points.back().flags) + ")");
        html += "<tr><td>" + htmlEscaped(keyText(g.key)) + "</td><td>" + htmlEscaped(acquisitionText(g.runs.back())) + "</td><td>" +
                (flagged.empty() ? "<span class=\"pass\">none</span>" : "<span class=\"fail\">" + flagged + "</span>") +
                "</td></tr>\n";
    }
    return html + "</table>\n";
}

std::string figureSection(const TrendFigure& f, const TrendGroup& g, std::size_t baselineRuns)
{
    std::string caption = f.name + ": baseline of " + std::to_string(f.baseline.runs) + " runs, mean " +
                          figureText(f.baseline.mean) + (f.baseline.sd ? ", SD " + figureText(*f.baseline.sd) : "");
    if (!f.judged)
        caption += "; fewer than " + std::to_string(baselineRuns + 1) + " runs, so no run is judged against the SD";
    return "<figure>\n" + controlChartSvg(f, g.runs.size()) + "\n<figcaption>" + htmlEscaped(caption) +
           "</figcaption>\n</figure>\n";
}

}  // namespace

nlohmann::json trendJson(const Trend& trend)
{
    nlohmann::json groups = nlohmann::json::array();
    for (const TrendGroup& g : trend.groups) {
        nlohmann::json figures = nlohmann::json::object();
        for (const TrendFigure& f : g.figures) figures[f.name] = figureJson(f);
        groups.push_back({{"key", keyJson(g.key)}, {"figures", figures}});
    }
    return {{"baseline_runs", trend.baselineRuns}, {"groups", groups}};
}

std::string trendHtml(const Trend& trend, const std::string& historyName)
{
    std::string body = "<h1>Trend of " + htmlEscaped(historyName) + "</h1>\n<p>Each figure against the mean and SD of its first " +
                       std::to_string(trend.baselineRuns) +
                       " runs: 3sd beyond 3 SD, 2of3 two of three consecutive runs beyond 2 SD on one side, "
                       "limit outside the limits. Hover over a run for its time and value.</p>\n"
                       "<h2>Latest runs</h2>\n" + latestTable(trend);
    for (const TrendGroup& g : trend.groups) {
        body += "<h2>" + htmlEscaped(keyText(g.key)) + "</h2>\n<p>" + std::to_string(g.runs.size()) + " runs</p>\n";
        for (const TrendFigure& f : g.figures) body += figureSection(f, g, trend.baselineRuns);
    }
    return htmlPage("Trend of " + historyName, body);
}

}  // namespace quelby
