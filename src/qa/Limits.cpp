#include "qa/Limits.h"

#include "engine/core/InputError.h"
#include "qa/FigureText.h"
#include "qa/Report.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>

namespace quelby {

namespace {

std::string joined(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

std::optional<double> bound(const std::string& path, const std::string& figure, const nlohmann::json& bounds,
                            const char* key)
{
    const auto found = bounds.find(key);
    if (found == bounds.end()) return std::nullopt;
    if (!found->is_number()) throw InputError(path + ": the " + key + " of " + figure + " is not a number");
    return found->get<double>();
}

Limit parsedLimit(const std::string& path, const std::string& figure, const nlohmann::json& bounds)
{
    const auto& known = knownFigures();
    if (std::find(known.begin(), known.end(), figure) == known.end())
        throw InputError(path + ": quelby-measure has no figure " + figure + "; its figures are " + joined(known));
    if (!bounds.is_object()) throw InputError(path + ": give the limits of " + figure + " as {\"min\": a, \"max\": b}");
    for (const auto& [key, value] : bounds.items())
        if (key != "min" && key != "max")
            throw InputError(path + ": " + figure + " has the key " + key + "; the keys are min and max");
    Limit limit{figure, bound(path, figure, bounds, "min"), bound(path, figure, bounds, "max")};
    if (limit.minimum && limit.maximum && *limit.minimum > *limit.maximum)
        throw InputError(path + ": the min of " + figure + " is above its max");
    return limit;
}

// A value beyond a bound it rounds to is shown in full: 119.996 is below 120.
std::string beyond(const std::string& name, double value, const char* side, double bound)
{
    const bool alike = figureText(value) == figureText(bound);
    return name + " = " + (alike ? numberText(value) : figureText(value)) + side + figureText(bound);
}

LimitCheck checked(const Limit& limit, double value)
{
    LimitCheck check{limit.figure, value, limit.minimum, limit.maximum, withinLimit(limit, value), ""};
    const std::string name = limit.figure;
    if (std::isnan(value))
        check.message = name + " was not measured";
    else if (limit.minimum && value < *limit.minimum)
        check.message = beyond(name, value, " is below its minimum ", *limit.minimum);
    else if (limit.maximum && value > *limit.maximum)
        check.message = beyond(name, value, " is above its maximum ", *limit.maximum);
    else
        check.message = name + " = " + figureText(value) + " is within its limits";
    return check;
}

}  // namespace

const std::vector<std::string>& knownFigures()
{
    // A report of nothing still names every figure, as the columns of report.csv.
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all;
        for (const auto& figure : reportFigures(MeasureReport{})) all.push_back(figure.first);
        return all;
    }();
    return names;
}

std::vector<Limit> readLimits(const std::string& path)
{
    std::ifstream in(path);
    if (!in) throw InputError(path + ": the limits cannot be read");
    nlohmann::json json;
    try {
        json = nlohmann::json::parse(in);
    } catch (const nlohmann::json::exception& e) {
        throw InputError(path + ": not JSON limits: " + e.what());
    }
    if (!json.is_object()) throw InputError(path + ": give an object of figures and their limits");
    std::vector<Limit> limits;
    for (const auto& [figure, bounds] : json.items()) limits.push_back(parsedLimit(path, figure, bounds));
    return limits;
}

bool withinLimit(const Limit& limit, double value)
{
    return !std::isnan(value) && !(limit.minimum && value < *limit.minimum) &&
           !(limit.maximum && value > *limit.maximum);
}

std::vector<LimitCheck> checkLimits(const std::vector<Limit>& limits, const Figures& figures)
{
    std::vector<LimitCheck> checks;
    for (const Limit& limit : limits) {
        const auto figure = std::find_if(figures.begin(), figures.end(),
                                         [&](const auto& f) { return f.first == limit.figure; });
        checks.push_back(checked(limit, figure == figures.end() ? std::nan("") : figure->second));
    }
    return checks;
}

std::vector<std::string> limitViolations(const std::vector<LimitCheck>& checks)
{
    std::vector<std::string> messages;
    for (const LimitCheck& check : checks)
        if (!check.pass) messages.push_back(check.message);
    return messages;
}

nlohmann::json limitChecksJson(const std::vector<LimitCheck>& checks)
{
    nlohmann::json list = nlohmann::json::array();
    for (const LimitCheck& check : checks) {
        nlohmann::json item{{"figure", check.figure}};
        item["value"] = std::isfinite(check.value) ? nlohmann::json(check.value) : nlohmann::json(nullptr);
        if (check.minimum) item["minimum"] = *check.minimum;
        if (check.maximum) item["maximum"] = *check.maximum;
        item["pass"] = check.pass;
        list.push_back(item);
    }
    return list;
}

}  // namespace quelby
