#include "engine/core/NumberText.h"

#include "engine/core/Failure.h"

#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <locale.h>

namespace quelby {

namespace {

constexpr int ExponentReadLimit = 500;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The C locale, so that conversion depends on nothing but the text we built.
locale_t cLocale()
{
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", nullptr);
    return loc;
}

class Scanner {
public:
    explicit Scanner(std::string_view text) : text_(text) {}
    bool atEnd() const { return pos_ == text_.size(); }
    bool peekDigit() const { return !atEnd() && isDigit(text_[pos_]); }
    bool take(char c)
    {
        if (atEnd() || text_[pos_] != c) return false;
        ++pos_;
        return true;
    }
    bool take(std::string_view s)
    {
        if (s.empty() || text_.substr(pos_, s.size()) != s) return false;
        pos_ += s.size();
        return true;
    }
    char next() { return text_[pos_++]; }
    void skipSpaces() { while (take(' ')) {} }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

}  // namespace

std::string localeDecimalSeparator()
{
    const char* point = std::localeconv()->decimal_point;
    return point && *point ? point : ".";
}

double parseNumber(std::string_view text, std::string_view separator)
{
    Scanner in(text);
    std::string canonical;  // "-digits.digitsE-exp", read back in the C locale
    in.skipSpaces();
    if (in.take('-')) canonical += '-';
    else in.take('+');

    bool mantissa = false;
    while (in.peekDigit()) { canonical += in.next(); mantissa = true; }
    if (in.take(separator)) {
        mantissa = true;
        canonical += '.';
        while (in.peekDigit()) canonical += in.next();
    }
    if (!mantissa) throw Failure::notANumber(text);
    if (canonical.back() == '.') canonical += '0';

    if (in.take('E') || in.take('e')) {
        bool negative = in.take('-');
        if (!negative) in.take('+');
        int exponent = 0;
        // Digits are read only while the exponent is below the limit; one left
        // over is text after the number.
        while (exponent < ExponentReadLimit && in.peekDigit()) exponent = exponent * 10 + (in.next() - '0');
        canonical += (negative ? "e-" : "e") + std::to_string(exponent);
    }
    in.skipSpaces();
    if (!in.atEnd()) throw Failure::notANumber(text);

    const long double extended = strtold_l(canonical.c_str(), nullptr, cLocale());
    if (std::isinf(extended)) throw Failure::notANumber(text);
    const double value = strtod_l(canonical.c_str(), nullptr, cLocale());
    if (std::isinf(value)) throw Failure::overflow();
    return value;
}

double parseNumber(std::string_view text) { return parseNumber(text, localeDecimalSeparator()); }

std::string formatFixed(double value, int decimals, std::string_view separator)
{
    if (!std::isfinite(value)) return std::isnan(value) ? "NAN" : value > 0 ? "INF" : "-INF";

    // 18 significant digits: d.ddddddddddddddddde±x
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17e", std::fabs(value));
    std::string digits;
    digits += buf[0];
    digits.append(buf + 2, 17);
    const int exponent = std::atoi(buf + 20);  // value = 0.digits × 10^(exponent + 1)

    // Place the digits around the point: intDigits before it, then the fraction.
    int pointAt = exponent + 1;
    if (pointAt < 0) { digits.insert(0, static_cast<std::size_t>(-pointAt), '0'); pointAt = 0; }
    if (static_cast<int>(digits.size()) < pointAt + decimals + 1)
        digits.append(static_cast<std::size_t>(pointAt + decimals + 1) - digits.size(), '0');

    // Keep pointAt + decimals digits, rounding the first one dropped half away from zero.
    std::string kept(1, '0');
    kept.append(digits, 0, static_cast<std::size_t>(pointAt + decimals));
    if (digits[static_cast<std::size_t>(pointAt + decimals)] >= '5') {
        for (auto i = kept.size(); i-- > 0;) {
            if (kept[i] == '9') { kept[i] = '0'; continue; }
            ++kept[i];
            break;
        }
    }
    ++pointAt;  // the leading carry digit

    std::string intPart = kept.substr(0, static_cast<std::size_t>(pointAt));
    intPart.erase(0, std::min(intPart.find_first_not_of('0'), intPart.size() - 1));
    const std::string fraction = kept.substr(static_cast<std::size_t>(pointAt));

    const bool allZero = kept.find_first_not_of('0') == std::string::npos;
    std::string out = (value < 0 && !allZero) ? "-" : "";
    out += intPart;
    if (decimals > 0) out += std::string(separator) + fraction;
    return out;
}

std::string formatFixed(double value, int decimals) { return formatFixed(value, decimals, localeDecimalSeparator()); }

}  // namespace quelby
