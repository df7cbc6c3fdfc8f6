#include "services/number_text.h"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <stdexcept>

namespace kavtel {
namespace {

constexpr int kSignificantDigits = 15;

// 10^exponent; exact up to 10^27, where 5^27 still fits the 64-bit
// mantissa of an extended-precision value.
long double PowerOfTen(int exponent) {
  long double power = 1.0L;
  for (int i = 0; i < exponent; ++i) power *= 10.0L;
  return power;
}

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

}  // namespace

std::string FormatFixed(long double value, int decimals) {
  if (decimals < 0) throw std::invalid_argument("negative number of decimals");
  const double reduced = static_cast<double>(value);
  if (!std::isfinite(reduced)) throw std::domain_error("cannot format a number that is not finite");

  // The magnitude as 15 significant digits d.dddddddddddddd and a power of
  // ten: "2.67500000000000e+00".
  char scientific[32];
  const auto written = std::to_chars(scientific, scientific + sizeof scientific, std::fabs(reduced),
                                     std::chars_format::scientific, kSignificantDigits - 1);
  const std::string_view text(scientific, static_cast<std::size_t>(written.ptr - scientific));
  const std::size_t e = text.find('e');
  std::string digits;
  digits += text[0];
  digits.append(text.substr(2, e - 2));
  const std::string_view exponentText = text.substr(e + (text[e + 1] == '+' ? 2 : 1));
  int exponent = 0;
  std::from_chars(exponentText.data(), exponentText.data() + exponentText.size(), exponent);

  // Lay the digits out so that the first `point` of them are the integer part.
  int point = exponent + 1;
  if (point <= 0) {
    digits.insert(0, static_cast<std::size_t>(1 - point), '0');
    point = 1;
  } else if (point > kSignificantDigits) {
    digits.append(static_cast<std::size_t>(point - kSignificantDigits), '0');
  }

  // Round at the last decimal kept, halves away from zero (on the magnitude).
  const std::size_t keep = static_cast<std::size_t>(point + decimals);
  if (digits.size() > keep) {
    const bool up = digits[keep] >= '5';
    digits.resize(keep);
    if (up) {
      std::size_t i = keep;
      while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
      if (i == 0) {
        digits.insert(digits.begin(), '1');
        ++point;
      } else {
        ++digits[i - 1];
      }
    }
  } else {
    digits.append(keep - digits.size(), '0');
  }

  const std::size_t integerDigits = static_cast<std::size_t>(point);
  std::size_t leadingZeros = 0;
  while (leadingZeros + 1 < integerDigits && digits[leadingZeros] == '0') ++leadingZeros;

  std::string out;
  if (std::signbit(reduced) && digits.find_first_not_of('0') != std::string::npos) out += '-';
  out.append(digits, leadingZeros, integerDigits - leadingZeros);
  if (decimals > 0) {
    out += '.';
    out.append(digits, integerDigits, std::string::npos);
  }
  return out;
}

std::string FormatInteger(std::int64_t value) {
  char buffer[24];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, written.ptr);
}

std::optional<long double> ParseDecimal(std::string_view text) {
  constexpr int kMaxDigits = 19;  // 10^19 - 1 still fits 64 bits
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::uint64_t mantissa = 0;
  int significant = 0;
  int exponent = 0;  // value = mantissa * 10^exponent
  bool anyDigit = false;
  bool afterPoint = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.') {
      if (afterPoint) return std::nullopt;
      afterPoint = true;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    anyDigit = true;
    if (significant < kMaxDigits) {
      mantissa = mantissa * 10u + static_cast<std::uint64_t>(c - '0');
      if (mantissa != 0) ++significant;  // leading zeros are not significant
      if (afterPoint) --exponent;
    } else if (!afterPoint) {
      ++exponent;  // an integer digit beyond the kept ones still scales
    }
  }
  if (!anyDigit) return std::nullopt;

  // Both operands are exact (mantissa below 2^64, 10^k exact up to k = 27),
  // so one division or multiplication rounds the decimal value correctly.
  long double value = static_cast<long double>(mantissa);
  if (exponent < 0) {
    value /= PowerOfTen(-exponent);
  } else {
    value *= PowerOfTen(exponent);
  }
  if (!std::isfinite(value)) return std::nullopt;
  return negative ? -value : value;
}

std::optional<std::int32_t> ParseInteger(std::string_view text) {
  const bool plus = !text.empty() && text[0] == '+';
  if (plus) text.remove_prefix(1);
  if (text.empty() || (plus && text[0] == '-')) return std::nullopt;
  std::int32_t value = 0;
  const char* end = text.data() + text.size();
  const auto parsed = std::from_chars(text.data(), end, value);
  if (parsed.ec != std::errc() || parsed.ptr != end) return std::nullopt;
  return value;
}

std::int64_t RoundHalfEven(long double value) {
  if (!std::isfinite(value)) throw std::range_error("cannot round a number that is not finite");
  // value - floor(value) is exact, so no rounding mode takes part.
  const long double below = std::floor(value);
  const long double fraction = value - below;
  long double rounded = below;
  if (fraction > 0.5L || (fraction == 0.5L && std::fmod(below, 2.0L) != 0.0L)) rounded = below + 1.0L;
  constexpr long double kLimit = 9223372036854775808.0L;  // 2^63
  if (rounded < -kLimit || rounded >= kLimit) throw std::range_error("rounded value does not fit 64 bits");
  return static_cast<std::int64_t>(rounded);
}

std::int64_t RoundHalfEvenWithin(long double value, std::int64_t low, std::int64_t high) {
  if (std::isnan(value) || value <= static_cast<long double>(low)) return low;
  if (value >= static_cast<long double>(high)) return high;
  return std::clamp(RoundHalfEven(value), low, high);
}

std::string HostDecimalSeparator() {
  const char* point = std::localeconv()->decimal_point;
  return point != nullptr && *point != '\0' ? std::string(point) : std::string(".");
}

std::string FormatHostFloat(double value) {
  char buffer[40];
  const auto written =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, kSignificantDigits);
  std::string text(buffer, written.ptr);
  const std::string separator = HostDecimalSeparator();
  if (separator != ".") ReplaceAll(text, ".", separator);
  return text;
}

std::optional<double> ParseHostFloat(std::string_view text) {
  std::string plain(text);
  const std::string separator = HostDecimalSeparator();
  if (separator != ".") ReplaceAll(plain, separator, ".");
  double value = 0.0;
  const char* end = plain.data() + plain.size();
  const auto parsed = std::from_chars(plain.data(), end, value);
  if (parsed.ec != std::errc() || parsed.ptr != end || plain.empty() || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace kavtel
