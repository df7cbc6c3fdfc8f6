// libFuzzer target: arbitrary text as a kavtelctl workout script.
//
// A script either parses into steps or names its first bad line; the steps
// carry the lines they came from, in order.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "workout_script.h"
#include "fuzz/check.h"

namespace {

using kavtel::fuzz::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const kavtel::ctl::ParsedScript script = kavtel::ctl::ParseScript(text);
  Check(script.error.empty() || script.error.rfind("line ", 0) == 0);
  int last = 0;
  for (const auto& step : script.steps) {
    Check(step.line > last);
    last = step.line;
  }
  return 0;
}
