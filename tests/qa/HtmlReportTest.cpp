#include "qa/HtmlPage.h"
#include "qa/HtmlReport.h"

#include "HeadlessChromium.h"
#include "TempFolder.h"

#include <QBuffer>
#include <QImage>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <future>
#include <regex>

using quelby::dicomDateTimeText;
using quelby::htmlReport;
using nlohmann::json;

namespace {

constexpr const char* script = "<script>alert(1)</script>";
constexpr const char* externalImage = "<img src=\"http://quelby.invalid/x.png\">";

std::vector<char> colouredPng()
{
    QImage image(320, 160, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) image.setPixel(x, y, qRgb(x % 256, y, 255 - x % 256));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return {bytes.begin(), bytes.end()};
}

// A run's report with hostile texts wherever a file or a header names one,
// and a method that gave no figure.
json hostileReport()
{
    const json roi = {{"pixels", 317}, {"mean_signal", 1234.5678}, {"noise", 10.0},
                      {"snr", 123.456789}, {"snr_ci95", {110.21, 130.94}}, {"drift_percent_total", -0.5}};
    const json methods = {{"multiple", {{"snr", 123.456789}, {"percent_vs_multiple", 0}}},
                          {"difference", {{"snr", 120.4}, {"percent_vs_multiple", -2.47}}},
                          {"background_sd", nullptr}};
    return {{"software", "quelby-measure"}, {"version", "1.2"}, {"command_line", {"quelby-measure", script}},
            {"run_time", "2026-12-09T04:10:00Z"},
            {"series_a", {{"folder", "/data/a"}, {"description", script}, {"matrix", {256, 192}},
                          {"pixel_spacing_mm", {0.9375, 0.9375}},
                          {"identity", {{"station", externalImage}, {"manufacturer", "M&M \"Scanners\""},
                                        {"acquired", "20261209101500"}, {"slice_thickness_mm", 5}}},
                          {"roi", roi},
                          {"slices", {{{"index", 0}, {"position_mm", -12.25}, {"roi", roi}, {"methods", methods},
                                       {"g", {{"mean", 1.0626}, {"p95", 1.1875}}},
                                       {"stability", {{"sfnr", 158.26}, {"weisskoff", {{1, 0.0123}, {21, 0.0027}}}}}}}}}},
            {"limits", {{"file", "limits.json"},
                        {"checks", {{{"figure", "snr_a"}, {"value", 123.456789}, {"minimum", 100}, {"pass", true}},
                                    {{"figure", "noise_a"}, {"value", 10.0}, {"maximum", 8}, {"pass", false}}}}}},
            {"warnings", {"SERIES_B: background methods not given: no background", script,
                          "SERIES_A: background methods not given: no background pixels"}}};
}

void write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

}  // namespace

TEST(HtmlReport, ReadsDicomDateTimesAndLeavesOtherTextAsItWas)
{
    const std::pair<const char*, const char*> cases[] = {
        {"20261209101500", "2026-12-09 10:15:00"},
        {"20261209101500.25+0100", "2026-12-09 10:15:00.25 +0100"},
        {"2026120910", "2026-12-09 10:00"},
        {"20261209", "2026-12-09"},
        {"101500.5", "10:15:00.5"},  // a time without its date
        {"20261309101500", "20261309101500"},  // month 13
        {"20261209251500", "20261209251500"},  // hour 25
        {"2026120910150", "2026120910150"},  // odd length
        {"1015.5", "1015.5"},  // a fraction needs whole seconds
        {"", ""},
        {script, script},
    };
    for (const auto& [dt, expected] : cases) EXPECT_EQ(dicomDateTimeText(dt), expected) << dt;
}

TEST(HtmlReport, EscapesEveryTextAndHoldsTheFiguresAndThePictureInline)
{
    const std::vector<char> png = colouredPng();
    const std::string page = htmlReport(hostileReport(), {{"snr_a.png", png}});
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("<img src=\"http"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(page.find("M&amp;M &quot;Scanners&quot;"), std::string::npos);
    EXPECT_NE(page.find("src=\"" + quelby::pngDataUri(png) + "\""), std::string::npos);
    // Every source and link the page holds is inline.
    const std::regex reference(R"((src|href)\s*=\s*"([^"]*)\")");
    int references = 0;
    for (auto m = std::sregex_iterator(page.begin(), page.end(), reference); m != std::sregex_iterator(); ++m, ++references)
        EXPECT_EQ((*m)[2].str().rfind("data:image/png;base64,", 0), 0u) << (*m)[0];
    EXPECT_EQ(references, 1);
    for (const char* shown : {"123.5", "110.2 – 130.9", "1235", "-2.47 %", "1.063", "2026-12-09 10:15:00",
                              "256 × 192", "0.9375 × 0.9375 × 5 mm", "2026-12-09 04:10:00 UTC",
                              "158.3", "21: 0.0027", "-12.25", "1 of 2 met; failed: noise_a", "FAIL"})
        EXPECT_NE(page.find(shown), std::string::npos) << shown;
    // The method without a figure, its series' reason under the methods and among the warnings.
    const auto count = [&](const std::string& text) {
        int n = 0;
        for (auto at = page.find(text); at != std::string::npos; at = page.find(text, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("SERIES_A: background methods not given"), 2);
    EXPECT_EQ(count("SERIES_B: background methods not given"), 1);
}

TEST(HtmlReport, RendersWhatIsThereOfAReportMissingOrNullingAnyField)
{
    const json sparse[] = {json::object(), json::array(), json{{"series_a", nullptr}, {"warnings", nullptr}},
                           json{{"series_a", {{"slices", {nullptr, {{"roi", 5}}}}, {"identity", "x"}, {"matrix", {1}}}},
                                {"limits", {{"checks", {nullptr, {{"pass", "yes"}}}}}}, {"g", 3}}};
    for (const json& report : sparse) {
        const std::string page = htmlReport(report, {});
        EXPECT_NE(page.find("</html>"), std::string::npos) << report;
    }
    EXPECT_NE(htmlReport(sparse[3], {}).find("FAIL"), std::string::npos) << "a check not saying pass fails";
}

// Chromium shows and prints the page, and nothing it holds reaches the network; the same
// page without its policy and with an external image shows the check can fail.
TEST(HtmlReport, RendersInChromiumWithoutAnyRequest)
{
    if (!quelby::test::chromiumPresent()) GTEST_SKIP() << quelby::test::chromiumPath << " is absent";
    const quelby::test::TempFolder folder;
    const std::string page = htmlReport(hostileReport(), {{"snr_a.png", colouredPng()}});
    std::string leaking = std::regex_replace(page, std::regex("<meta http-equiv=\"Content-Security-Policy\"[^>]*>"), "");
    ASSERT_NE(leaking, page);
    leaking.insert(leaking.find("</body>"), externalImage);
    write(folder.str() + "/report.html", page);
    write(folder.str() + "/leaking.html", leaking);
    auto control = std::async(std::launch::async, [&] {
        return quelby::test::renderInChromium(folder.str() + "/leaking.html", folder.sub("leaking"));
    });
    const auto shown = quelby::test::renderInChromium(folder.str() + "/report.html", folder.sub("report"));
    const auto leaked = control.get();
    ASSERT_EQ(shown.status, 0) << shown.errors;
    ASSERT_EQ(leaked.status, 0) << leaked.errors;
    EXPECT_EQ(quelby::test::pageRequests(shown.netLog), std::vector<std::string>{});
    EXPECT_EQ(quelby::test::pageRequests(leaked.netLog), std::vector<std::string>{"http://quelby.invalid/x.png"});
    EXPECT_NE(shown.dom.find("123.5"), std::string::npos);
    EXPECT_NE(shown.dom.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_GT(quelby::test::nonWhitePixels(shown.screenshot), 60000);
    // Printed on A4, 595.3 × 841.9 points (without its page size Chromium prints on Letter).
    const auto pages = quelby::test::pdfPageSizes(shown.pdf);
    ASSERT_FALSE(pages.empty());
    for (const auto& [width, height] : pages) {
        EXPECT_NEAR(width, 595.3, 1.0);
        EXPECT_NEAR(height, 841.9, 1.0);
    }
}
