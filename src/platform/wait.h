#pragma once

#include <cstdint>

namespace kavtel::platform {

// Wait results and the "no time limit" value, with Windows' own numbers so
// that both backends and the tests speak the same values.
constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;    // INFINITE
constexpr std::uint32_t kWaitObject0 = 0x00000000u;  // WAIT_OBJECT_0
constexpr std::uint32_t kWaitTimeout = 0x00000102u;  // WAIT_TIMEOUT
constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;   // WAIT_FAILED

}  // namespace kavtel::platform
