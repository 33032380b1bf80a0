#pragma once

#include <string>
#include <vector>

namespace quelby {

// Which series of a stable study are measured, and how.
struct Rule {
    enum class Match { Protocol, Description };
    std::string name;
    std::string seriesA, seriesB;  // fnmatch patterns; seriesB empty: no second series
    bool seriesBOptional = false;
    Match match = Match::Protocol;
    std::vector<std::string> args;  // further quelby-measure options
    std::string limits;             // a limits file, absolute; empty: none
};

// The rules of a JSON file: a list of {"name", "series_a", "series_b",
// "series_b_optional", "match", "args", "limits"}, limits relative to the
// file's folder. Refuses unknown keys, naming them, and names used twice.
// Throws StationError.
std::vector<Rule> readRules(const std::string& path);
std::vector<Rule> parseRules(const std::string& text, const std::string& folder);

// Without a rules file every study is measured, each series matched.
std::vector<Rule> defaultRules();

// Whether `value` (the series' protocol name or description, as the rule
// matches) fits `pattern`.
bool matchesPattern(const std::string& pattern, const std::string& value);

}  // namespace quelby
