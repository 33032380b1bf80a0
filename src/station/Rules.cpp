#include "station/Rules.h"

#include "station/StationError.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fnmatch.h>
#include <fstream>
#include <set>

namespace quelby {

namespace {

const std::set<std::string> Keys = {"name", "series_a", "series_b", "series_b_optional", "match", "args", "limits"};

std::string text(const nlohmann::json& rule, const char* key, const std::string& where)
{
    if (!rule.contains(key)) return {};
    if (!rule[key].is_string() || rule[key].get<std::string>().empty())
        throw StationError(where + ": \"" + key + "\" must be a text that is not empty");
    return rule[key].get<std::string>();
}

void refuseUnknownKeys(const nlohmann::json& rule, const std::string& where)
{
    std::string unknown;
    for (const auto& [key, value] : rule.items())
        if (!Keys.contains(key)) unknown += (unknown.empty() ? "" : ", ") + key;
    if (!unknown.empty()) throw StationError(where + ": unknown keys: " + unknown);
}

Rule parseRule(const nlohmann::json& json, const std::string& folder, const std::string& where)
{
    if (!json.is_object()) throw StationError(where + ": give an object");
    refuseUnknownKeys(json, where);
    Rule rule;
    rule.name = text(json, "name", where);
    rule.seriesA = text(json, "series_a", where);
    if (rule.name.empty() || rule.seriesA.empty()) throw StationError(where + ": give \"name\" and \"series_a\"");
    rule.seriesB = text(json, "series_b", where);
    if (json.contains("series_b_optional")) {
        if (!json["series_b_optional"].is_boolean()) throw StationError(where + ": \"series_b_optional\" must be true or false");
        rule.seriesBOptional = json["series_b_optional"].get<bool>();
    }
    const std::string match = text(json, "match", where);
    if (match == "description") rule.match = Rule::Match::Description;
    else if (!match.empty() && match != "protocol")
        throw StationError(where + ": \"match\" must be \"protocol\" or \"description\", not " + match);
    if (json.contains("args")) {
        const nlohmann::json& args = json["args"];
        if (!args.is_array()) throw StationError(where + ": \"args\" must be a list of texts");
        for (const auto& a : args) {
            if (!a.is_string()) throw StationError(where + ": \"args\" must be a list of texts");
            rule.args.push_back(a.get<std::string>());
        }
    }
    const std::string limits = text(json, "limits", where);
    if (!limits.empty()) rule.limits = (std::filesystem::path(folder) / limits).lexically_normal().string();
    return rule;
}

}  // namespace

std::vector<Rule> parseRules(const std::string& text, const std::string& folder)
{
    const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_array()) throw StationError("rules: give a JSON list of rules");
    std::vector<Rule> rules;
    std::set<std::string> names;
    for (std::size_t i = 0; i < json.size(); ++i) {
        rules.push_back(parseRule(json[i], folder, "rule " + std::to_string(i + 1)));
        if (!names.insert(rules.back().name).second)
            throw StationError("rule " + std::to_string(i + 1) + ": the name " + rules.back().name + " is used twice");
    }
    return rules;
}

std::vector<Rule> readRules(const std::string& path)
{
    std::ifstream in(path);
    if (!in) throw StationError(path + ": the rules cannot be read");
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    try {
        return parseRules(text, std::filesystem::absolute(path).parent_path().string());
    } catch (const StationError& e) {
        throw StationError(path + ": " + e.what());
    }
}

std::vector<Rule> defaultRules()
{
    Rule rule;
    rule.name = "snr";
    rule.seriesA = "*";
    return {rule};
}

bool matchesPattern(const std::string& pattern, const std::string& value)
{
    return ::fnmatch(pattern.c_str(), value.c_str(), 0) == 0;
}

}  // namespace quelby
