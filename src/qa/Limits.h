#pragma once

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quelby {

// The figures a run may give, by name; those it does not measure are NaN or absent.
using Figures = std::vector<std::pair<std::string, double>>;

// A figure's bounds, one or both.
struct Limit {
    std::string figure;
    std::optional<double> minimum, maximum;
};

// One figure checked against its limit. `value` is NaN when the run did not measure it.
struct LimitCheck {
    std::string figure;
    double value;
    std::optional<double> minimum, maximum;
    bool pass;
    std::string message;
};

// Every figure quelby-measure can give, in the order of report.csv.
const std::vector<std::string>& knownFigures();

// The limits in a JSON file, {"figure": {"min": a, "max": b}, ...}. Throws
// InputError for a file that cannot be read, a figure quelby-measure does not
// give, a key other than min and max, a bound that is not a number, or a
// minimum above its maximum.
std::vector<Limit> readLimits(const std::string& path);

// Whether a value lies within the limit; NaN does not.
bool withinLimit(const Limit& limit, double value);

// Every limit checked, passed or not; a figure the run did not measure fails.
std::vector<LimitCheck> checkLimits(const std::vector<Limit>& limits, const Figures& figures);

// The messages of the checks that failed.
std::vector<std::string> limitViolations(const std::vector<LimitCheck>& checks);

// report.json's limits.checks: [{figure, value, minimum?, maximum?, pass}].
nlohmann::json limitChecksJson(const std::vector<LimitCheck>& checks);

}  // namespace quelby
