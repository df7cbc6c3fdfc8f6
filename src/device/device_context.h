#pragma once

#include "services/clock.h"

namespace kavtel {

// What a device is given at construction instead of reaching for a global:
// by default the process's own. A test gives its own clock.
struct TKavtelDeviceContext {
  const TKavtelClock* clock = &TKavtelClock::Process();
};

}  // namespace kavtel
