#pragma once

#include <atomic>
#include <chrono>

#include "services/clock.h"

namespace kavtel::test {

// A clock that moves only when the test says: it starts an hour after the
// steady clock's epoch (so nothing counts as "just now" at the start).
class ManualClock final : public TKavtelClock {
 public:
  time_point Now() const override {
    return time_point(std::chrono::duration_cast<time_point::duration>(std::chrono::nanoseconds(now_.load())));
  }
  void Advance(std::chrono::milliseconds by) {
    now_.fetch_add(std::chrono::duration_cast<std::chrono::nanoseconds>(by).count());
  }

 private:
  std::atomic<std::chrono::nanoseconds::rep> now_{
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::hours(1)).count()};
};

}  // namespace kavtel::test
