#include "app/TextFormat.h"

#include <locale.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace veltrix {

namespace {

// Length of the well-formed UTF-8 sequence at text[i] and its code point; 0 when none starts there.
size_t utf8Sequence(const std::string& text, size_t i, unsigned& codePoint) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    size_t length;
    unsigned minimum;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2, minimum = 0x80, codePoint = lead & 0x1fu;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3, minimum = 0x800, codePoint = lead & 0x0fu;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4, minimum = 0x10000, codePoint = lead & 0x07u;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char c = static_cast<unsigned char>(text[i + k]);
        if ((c & 0xc0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (c & 0x3fu);
    }
    if (codePoint < minimum || codePoint > 0x10ffff || (codePoint >= 0xd800 && codePoint <= 0xdfff)) return 0;
    return length;
}

bool isSpace(unsigned c) {
    return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f || c == 0x3000;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool equalsIgnoringCase(const char* text, size_t length, const char* word) {
    if (std::strlen(word) != length) return false;
    for (size_t i = 0; i < length; ++i)
        if ((text[i] | 0x20) != word[i]) return false;
    return true;
}

// The "C" locale, so that reading numbers never depends on the process's locale.
locale_t cLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t(0));
    return locale;
}

}  // namespace

std::string trimmed(const std::string& text) {
    size_t begin = 0, end = text.size();
    unsigned c = 0;
    while (begin < end) {
        const size_t n = utf8Sequence(text, begin, c);
        if (n == 0 || !isSpace(c)) break;
        begin += n;
    }
    // Backwards: find the start of the last sequence and test it.
    while (end > begin) {
        size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(text[start]) & 0xc0) == 0x80 && end - start < 4) --start;
        const size_t n = utf8Sequence(text, start, c);
        if (n != end - start || !isSpace(c)) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

bool parseInt(const std::string& text, int& value) {
    const std::string t = trimmed(text);
    size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
    if (i == t.size()) return false;
    long long v = 0;
    for (; i < t.size(); ++i) {
        if (!isDigit(t[i])) return false;
        v = v * 10 + (t[i] - '0');
        if (v > 1LL + INT_MAX) return false;
    }
    if (negative) v = -v;
    if (v < INT_MIN || v > INT_MAX) return false;
    value = int(v);
    return true;
}

bool parseDouble(const std::string& text, double& value) {
    const std::string t = trimmed(text);
    const char* s = t.c_str();
    if (equalsIgnoringCase(s, t.size(), "nan")) {  // without a sign
        value = std::nan("");
        return true;
    }
    size_t i = 0;
    if (i < t.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (equalsIgnoringCase(s + i, t.size() - i, "inf")) {
        value = s[0] == '-' ? -HUGE_VAL : HUGE_VAL;
        return true;
    }
    // Digits with an optional point (at least one digit on either side), then an optional exponent.
    bool digits = false, nonZero = false;
    for (; isDigit(s[i]); ++i) digits = true, nonZero |= s[i] != '0';
    if (s[i] == '.')
        for (++i; isDigit(s[i]); ++i) digits = true, nonZero |= s[i] != '0';
    if (!digits) return false;
    if (s[i] == 'e' || s[i] == 'E') {
        ++i;
        if (s[i] == '+' || s[i] == '-') ++i;
        if (!isDigit(s[i])) return false;
        while (isDigit(s[i])) ++i;
    }
    if (i != t.size()) return false;
    const double v = strtod_l(s, nullptr, cLocale());
    if (std::isinf(v) || (v == 0 && nonZero)) return false;  // overflow, or underflow to zero
    value = v;
    return true;
}

std::string numberText(double value, int precision) {
    // A value half-way between two texts of that precision is rounded away from zero: the next
    // double away from zero decides for it.
    if (std::isfinite(value) && value != 0 && precision > 0) {
        char exact[1200];
        const std::to_chars_result r =
            std::to_chars(exact, exact + sizeof exact, value, std::chars_format::scientific, precision + 800);
        const char* digit = std::find_if(exact, r.ptr, [](char c) { return isDigit(c); });
        std::string digits;
        for (const char* c = digit; c < r.ptr && *c != 'e'; ++c)
            if (isDigit(*c)) digits += *c;
        const bool halfWay = digits.size() > size_t(precision) && digits[size_t(precision)] == '5' &&
                             digits.find_first_not_of('0', size_t(precision) + 1) == std::string::npos;
        if (halfWay) value = std::nextafter(value, value > 0 ? HUGE_VAL : -HUGE_VAL);
    }
    char text[64];
    const std::to_chars_result r =
        std::to_chars(text, text + sizeof text, value, std::chars_format::general, precision);
    return std::string(text, r.ptr);
}

std::string shortestNumberText(double value) {
    if (value == 0) return "0";
    char text[64];
    const std::to_chars_result r = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
    const std::string scientific(text, r.ptr);  // "-d.ddde+XX"
    const bool negative = scientific[0] == '-';
    const size_t e = scientific.find('e');
    std::string digits;
    for (size_t i = negative ? 1 : 0; i < e; ++i)
        if (scientific[i] != '.') digits += scientific[i];
    const int exponent = std::atoi(scientific.c_str() + e + 1);
    const int count = int(digits.size());

    std::string out = negative ? "-" : "";
    const bool integral = std::floor(value) == value;
    if ((integral && std::fabs(value) < 18446744073709551616.0) || (exponent >= 0 && exponent < count + 5)) {
        out += digits.substr(0, size_t(std::min(count, exponent + 1)));
        if (count > exponent + 1) out += "." + digits.substr(size_t(exponent + 1));
        else out.append(size_t(exponent + 1 - count), '0');
    } else if (exponent < -4 || exponent >= 0) {
        out += digits.substr(0, 1);
        if (count > 1) out += "." + digits.substr(1);
        const int magnitude = std::abs(exponent);
        out += exponent < 0 ? "e-" : "e+";
        if (magnitude < 10) out += '0';
        out += std::to_string(magnitude);
    } else {
        out += "0." + std::string(size_t(-exponent - 1), '0') + digits;
    }
    return out;
}

std::string validUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    unsigned c = 0;
    for (size_t i = 0; i < text.size();) {
        const size_t n = utf8Sequence(text, i, c);
        if (n == 0) {
            out += "\xef\xbf\xbd";
            ++i;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

std::string utf16Left(const std::string& text, size_t count) {
    size_t units = 0, i = 0;
    unsigned c = 0;
    while (i < text.size()) {
        size_t n = utf8Sequence(text, i, c);
        if (n == 0) n = 1;
        const size_t u = c >= 0x10000 && n == 4 ? 2 : 1;
        if (units + u > count) break;
        units += u;
        i += n;
    }
    return text.substr(0, i);
}

}  // namespace veltrix
