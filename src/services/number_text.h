#pragma once

// Numbers as text, in the two dialects the library meets.
//
// On the wire to the controller the decimal point is always "." and the C
// and C++ locales of the host never change how a number is written or read.
// In the settings file the host's decimal separator is used, the one the
// host's C locale (LC_NUMERIC) names.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kavtel {

// The wire's fixed-point patterns: "0.0" is decimals 1, "0.00" decimals 2.
// At least one integer digit, exactly `decimals` decimals, "." as the point
// and a leading "-" when the rounded value is negative. The value is
// rounded as the decimal number it stands for, halves away from zero: the
// binary value is first reduced to 15 significant decimal digits (all a
// double holds reliably), so 2.675, stored as 2.67499999..., still gives
// "2.68", and 2.25 with one decimal gives "2.3". A value that rounds to zero
// carries no sign. Throws std::domain_error for infinities and NaN.
std::string FormatFixed(long double value, int decimals);

// Plain signed decimal digits, no leading zeros ("10", "-1", "0").
std::string FormatInteger(std::int64_t value);

// Reads a wire number: an optional sign, decimal digits with at most one
// "." among them, nothing else (no blanks, no exponent, no ","). The result
// is the nearest extended-precision value for up to 19 significant digits;
// longer texts lose only what lies beyond the 19th. Empty when the text is
// not such a number or its value is too large for the type.
std::optional<long double> ParseDecimal(std::string_view text);

// Reads an optional sign followed by decimal digits that fit a signed
// 32-bit integer; empty for anything else.
std::optional<std::int32_t> ParseInteger(std::string_view text);

// Rounds to the nearest integer, halves to the even neighbour (2.5 gives 2,
// 3.5 gives 4, -2.5 gives -2), whatever the processor's rounding mode.
// Throws std::range_error when the result does not fit 64 bits or the value
// is not finite.
std::int64_t RoundHalfEven(long double value);

// RoundHalfEven held within [low, high]: a value beyond either end (an
// infinity included) gives that end, and a value that is not a number gives
// low. For estimates computed from whatever the controller reported, which
// must land in their counter's range rather than throw.
std::int64_t RoundHalfEvenWithin(long double value, std::int64_t low, std::int64_t high);

// The decimal separator of the host's current C locale ("." or ",", ...).
std::string HostDecimalSeparator();

// The settings file's floating-point form: the shortest general form with
// up to 15 significant digits ("22", "21.9599990844727", "1e-07") with the
// host's decimal separator in place of ".".
std::string FormatHostFloat(double value);

// Reads what FormatHostFloat writes, with the host's decimal separator (a
// "." is read as well). Empty when the text is no finite number.
std::optional<double> ParseHostFloat(std::string_view text);

}  // namespace kavtel
