#include "qa/HtmlPage.h"

#include <algorithm>
#include <cstdint>

namespace quelby {

namespace {

// Tables and figures are kept whole on a printed page; colours of pass and
// fail print as they show.
constexpr std::string_view styleSheet = R"(
@page { size: A4; margin: 14mm 12mm 16mm 12mm; }
* { box-sizing: border-box; }
html { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
body { font: 10pt/1.35 "DejaVu Sans", "Liberation Sans", Arial, sans-serif; color: #111; margin: 0 auto;
       max-width: 186mm; padding: 6mm 0; background: #fff; }
h1 { font-size: 16pt; margin: 0 0 2mm; }
h2 { font-size: 12.5pt; margin: 6mm 0 2mm; border-bottom: 0.4mm solid #444; break-after: avoid; }
h3 { font-size: 11pt; margin: 4mm 0 1.5mm; break-after: avoid; }
p { margin: 1mm 0; }
table { border-collapse: collapse; margin: 1mm 0 3mm; break-inside: avoid; font-size: 9pt; }
th, td { border: 0.25mm solid #999; padding: 0.5mm 1.5mm; text-align: left; vertical-align: top; }
td { overflow-wrap: anywhere; }
th { background: #eee; font-weight: 600; }
td.number { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
.pass { color: #085; font-weight: 600; }
.fail { color: #b00; font-weight: 600; }
.muted { color: #666; }
code { font: 8.5pt "DejaVu Sans Mono", monospace; word-break: break-all; }
th.slice, th:first-child { white-space: nowrap; }
.pictures { display: flex; flex-wrap: wrap; gap: 3mm 5mm; align-items: flex-start; }
figure { margin: 0 0 2mm; break-inside: avoid; max-width: 100%; }
figure img { display: block; max-width: 100%; max-height: 110mm; height: auto; }
figcaption { font-size: 9pt; color: #333; }
ul { margin: 1mm 0 3mm; padding-left: 6mm; }
@media print { body { padding: 0; max-width: none; } }
)";

}  // namespace

std::string htmlEscaped(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        switch (ch) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default:
            if ((static_cast<unsigned char>(ch) < 0x20 && ch != '\t' && ch != '\n' && ch != '\r') || ch == '\x7f')
                out += "\xEF\xBF\xBD";
            else
                out += ch;
        }
    }
    return out;
}

std::string base64(std::span<const char> bytes)
{
    static constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t k = 0; k < bytes.size(); k += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - k);
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 3; ++j)
            group = group << 8 | (j < n ? static_cast<unsigned char>(bytes[k + j]) : 0u);
        for (std::size_t j = 0; j < 4; ++j)
            out += j <= n ? alphabet[group >> (18 - 6 * j) & 0x3F] : '=';
    }
    return out;
}

std::string pngDataUri(std::span<const char> png) { return "data:image/png;base64," + base64(png); }

std::string htmlPage(std::string_view title, std::string_view body)
{
    std::string page = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                       "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; img-src data:; "
                       "style-src 'unsafe-inline'\">\n<meta name=\"referrer\" content=\"no-referrer\">\n"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>";
    page += htmlEscaped(title);
    page += "</title>\n<style>";
    page += styleSheet;
    page += "</style>\n</head>\n<body>\n";
    page += body;
    page += "\n</body>\n</html>\n";
    return page;
}

}  // namespace quelby
