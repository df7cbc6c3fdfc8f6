// libFuzzer target: the wire's and the settings file's number texts.
//
// Whatever reads as a number must write back to a text that reads as the
// same number (integers exactly; fixed point within its rounding), and no
// text may crash or hang the readers.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "services/number_text.h"
#include "fuzz/check.h"

namespace {

using kavtel::fuzz::Check;
using namespace kavtel;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto n = ParseInteger(text)) {
    Check(ParseInteger(FormatInteger(*n)) == n);
  }
  if (const auto d = ParseDecimal(text)) {
    Check(std::isfinite(*d));
    // Two decimals, from the value reduced to 15 significant digits (in a
    // double: beyond its range the value counts as not finite).
    if (std::fabs(*d) < 1e300L) {
      const auto again = ParseDecimal(FormatFixed(*d, 2));
      Check(again.has_value() && std::fabs(*again - *d) <= 0.005L + std::fabs(*d) * 1e-14L);
    }
    try {
      (void)RoundHalfEven(*d);
    } catch (const std::range_error&) {
      Check(std::fabs(*d) >= 9.2e18L);
    }
    const std::int64_t held = RoundHalfEvenWithin(*d, -1000, 1000);
    Check(held >= -1000 && held <= 1000);
  }
  if (const auto f = ParseHostFloat(text)) {
    Check(std::isfinite(*f));
    Check(ParseHostFloat(FormatHostFloat(*f)).has_value());
  }
  return 0;
}
