#pragma once

#include <chrono>
#include <cstdint>

namespace kavtel {

// Where the engine reads the time. The process's own clock is the steady
// clock; a test gives a clock it moves by hand, so that a rule such as "at
// most one attempt a second" is checked at 999 and 1000 ms without waiting.
class TKavtelClock {
 public:
  using time_point = std::chrono::steady_clock::time_point;

  virtual ~TKavtelClock() = default;
  virtual time_point Now() const = 0;

  // The steady clock; lives as long as the process.
  static const TKavtelClock& Process();
};

// How long a blocking wait may still take, as a value: made once from a
// budget, then asked at every turn of the wait. Always on the steady
// clock, never a test's: a wait on a clock nobody moves would not end.
class TKavtelDeadline {
 public:
  explicit TKavtelDeadline(std::chrono::milliseconds budget)
      : at_(std::chrono::steady_clock::now() + budget) {}

  bool Passed() const { return std::chrono::steady_clock::now() >= at_; }
  // What is left, in whole milliseconds (0 once passed), at most `cap`.
  std::uint32_t LeftMs(std::uint32_t cap) const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(at_ - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    return left.count() < cap ? static_cast<std::uint32_t>(left.count()) : cap;
  }

 private:
  std::chrono::steady_clock::time_point at_;
};

}  // namespace kavtel
