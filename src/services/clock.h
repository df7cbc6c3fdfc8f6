#pragma once

#include <chrono>

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

}  // namespace kavtel
