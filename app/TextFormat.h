#pragma once
#include <string>

namespace veltrix {

// Number and text conversions shared by the parameter file and the JSON summary, so that both
// keep one format: numbers read from the whole text (surrounding white space aside) and written in
// a fixed printf-like form, and text that is always valid UTF-8.

// A decimal 32-bit integer: optional sign and ASCII digits, white space (Unicode included) allowed
// around it. False for anything else or a value outside the int range.
bool parseInt(const std::string& text, int& value);
// A decimal floating-point number (sign, digits with an optional point, optional exponent), or
// "inf" / "nan" in any case, white space allowed around it. False for anything else, for a finite
// text whose value overflows the double range, and for a non-zero one that rounds to zero.
bool parseDouble(const std::string& text, double& value);

// The text without leading and trailing white space: ASCII and Unicode spaces alike.
std::string trimmed(const std::string& text);

// printf's "%.<precision>g" (at most precision significant digits, trailing zeros dropped), except
// that a value half-way between two such texts is rounded away from zero.
std::string numberText(double value, int precision);
// The shortest decimal that reads back as the same double, as the JSON summary writes it: plain
// digits for integral values below 2^64 and for values from 1 on that need fewer than five zeros
// after their digits; otherwise with an exponent of at least two digits ("1e-05", "1e+20").
// Not for infinities and NaN.
std::string shortestNumberText(double value);

// The text with every byte that does not start a well-formed UTF-8 sequence (overlong forms,
// surrogates and code points past U+10FFFF included) replaced by U+FFFD.
std::string validUtf8(const std::string& text);
// The first count UTF-16 code units of the UTF-8 text (a character that would be split is left out).
std::string utf16Left(const std::string& text, size_t count);

}  // namespace veltrix
