#pragma once

#include <cstdint>
#include <string>

namespace kavtel::platform {

// Milliseconds since an arbitrary start, wrapping at 2^32 (GetTickCount).
std::uint32_t TickCount();

// Suspends the calling thread; 0 gives up the rest of its time slice.
void SleepMs(std::uint32_t ms);

struct LocalDate {
  int year;
  int month;  // 1..12
  int day;    // 1..31
};
LocalDate Today();

// Message box flags and results, with Windows' numbers.
constexpr std::uint32_t kMbOk = 0x00000000u;             // MB_OK
constexpr std::uint32_t kMbSetForeground = 0x00010000u;  // MB_SETFOREGROUND
constexpr int kIdOk = 1;                                 // IDOK

// Shows a modal message box with no owner window and blocks until it is
// dismissed. Where no desktop exists (POSIX) the text goes to standard
// error and the call returns kIdOk at once.
int ShowMessageBox(const std::string& text, const std::string& caption, std::uint32_t type);

}  // namespace kavtel::platform
