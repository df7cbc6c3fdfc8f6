#include "services/clock.h"

namespace kavtel {

namespace {
class SteadyClock final : public TKavtelClock {
 public:
  time_point Now() const override { return std::chrono::steady_clock::now(); }
};
}  // namespace

const TKavtelClock& TKavtelClock::Process() {
  static const SteadyClock clock;
  return clock;
}

}  // namespace kavtel
