#pragma once

#include <chrono>
#include <cstdint>

#include "services/clock.h"

namespace kavtel {

// The answer time-out of the frame on the wire. Every write arms it with a
// fresh token, the repeat of a frame included (a repeat keeps its frame's
// number, so the number cannot tell an old expiry from a new one), and
// starts it when the write went out. An expiry comes back with its token
// and counts only when the token is the latest arm's and that arm's
// deadline has passed; it then fires once. No thread, no lock, no clock of
// its own: it is told the time.
class TKavtelAnswerTimer {
 public:
  using time_point = TKavtelClock::time_point;

  // A fresh token (never 0) for a write; it cannot fire before Started.
  std::uint32_t Arm();
  // The write of `token` went out at `now`: due `after` from then. Nothing
  // for a token that is no longer the armed one.
  void Started(std::uint32_t token, time_point now, std::chrono::milliseconds after);
  void Disarm() { armed_ = 0; }
  // True, once, when `token` is the armed one and it is due at `now`.
  bool Fire(std::uint32_t token, time_point now);
  // The armed token, 0 when disarmed.
  std::uint32_t Token() const { return armed_; }

 private:
  std::uint32_t last_ = 0;
  std::uint32_t armed_ = 0;
  bool started_ = false;
  time_point due_{};
};

}  // namespace kavtel
