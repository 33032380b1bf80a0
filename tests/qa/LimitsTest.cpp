#include "qa/Limits.h"

#include "TempFolder.h"
#include "engine/core/InputError.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <fstream>

namespace quelby {
namespace {

std::vector<Limit> limitsOf(const test::TempFolder& tmp, const std::string& json)
{
    const std::string path = tmp.str() + "/limits.json";
    std::ofstream(path) << json;
    return readLimits(path);
}

// A limit that is mistyped is refused, naming what was wrong and what is known.
TEST(Limits, RefusesWhatCannotBeChecked)
{
    const test::TempFolder tmp;
    const struct {
        std::string json;
        std::vector<std::string> says;
    } rows[] = {
        {R"({"snr_a": {"minimum": 120}})", {"snr_a has the key minimum", "the keys are min and max"}},
        {R"({"snr_c": {"min": 1}})", {"has no figure snr_c", "snr_a", "g_p95", "sfnr_a", "rdc_b"}},
        {R"({"snr_a": {"min": "120"}})", {"the min of snr_a is not a number"}},
        {R"({"snr_a": {"min": 5, "max": 4}})", {"the min of snr_a is above its max"}},
        {R"({"snr_a": 120})", {"give the limits of snr_a as"}},
        {R"([1, 2])", {"give an object of figures"}},
        {R"({"snr_a": )", {"not JSON limits"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.json);
        try {
            limitsOf(tmp, row.json);
            ADD_FAILURE() << "accepted";
        } catch (const InputError& e) {
            for (const std::string& part : row.says) EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(readLimits(tmp.str() + "/absent.json"), InputError);
}

// Every limit gives a check, met or not; one the run did not measure fails.
TEST(Limits, ChecksEveryLimitAndFailsWhatWasNotMeasured)
{
    const test::TempFolder tmp;
    const auto limits = limitsOf(tmp, R"({"snr_a": {"min": 120}, "g_max": {"min": 1, "max": 1.6},
        "snr_b": {"max": 5}, "snr_detrended_a": {"min": 1}, "noise_a": {"min": 2, "max": 2},
        "mean_signal_a": {"min": 120}})");
    const Figures figures{{"snr_a", 150.123456}, {"noise_a", 2}, {"mean_signal_a", 119.996}, {"g_max", 1.65432}, {"snr_detrended_a", std::nan("")}};
    const auto checks = checkLimits(limits, figures);
    const struct {
        std::string figure;
        bool pass;
        std::string message;
    } expected[] = {
        {"g_max", false, "g_max = 1.654 is above its maximum 1.6"},
        {"mean_signal_a", false, "mean_signal_a = 119.996 is below its minimum 120"},
        {"noise_a", true, "noise_a = 2 is within its limits"},
        {"snr_a", true, "snr_a = 150.1 is within its limits"},
        {"snr_b", false, "snr_b was not measured"},
        {"snr_detrended_a", false, "snr_detrended_a was not measured"},
    };
    ASSERT_EQ(checks.size(), std::size(expected));
    for (std::size_t k = 0; k < checks.size(); ++k) {
        EXPECT_EQ(checks[k].figure, expected[k].figure);
        EXPECT_EQ(checks[k].pass, expected[k].pass) << checks[k].figure;
        EXPECT_EQ(checks[k].message, expected[k].message);
    }
    EXPECT_EQ(limitViolations(checks).size(), 4u);

    const nlohmann::json json = limitChecksJson(checks);
    EXPECT_EQ(json[0], (nlohmann::json{{"figure", "g_max"}, {"value", 1.65432}, {"minimum", 1}, {"maximum", 1.6}, {"pass", false}}));
    EXPECT_EQ(json[4], (nlohmann::json{{"figure", "snr_b"}, {"value", nullptr}, {"maximum", 5}, {"pass", false}}));
}

}  // namespace
}  // namespace quelby
