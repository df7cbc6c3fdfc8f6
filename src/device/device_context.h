#pragma once

#include "serial/serial_port.h"
#include "services/clock.h"
#include "services/cycle_group.h"

namespace kavtel::platform {
class FileLayer;
}

namespace kavtel {

// What a device is given at construction instead of reaching for a global:
// by default the process's own. A test gives its own clock, a comm device
// of its own for the port, or a file layer for the traffic log.
struct TKavtelDeviceContext {
  const TKavtelClock* clock = &TKavtelClock::Process();
  // What ticks the polling and times the answer time-outs: the process's
  // shared cycle thread.
  TAPPSYSCycles* cycles = &TAPPSYSCycleGroup::Shared();
  // Makes the port's comm device; empty for the process's own.
  TAPPCommDeviceFactory commDevices;
  // Where the traffic log writes its files; null for the file system.
  platform::FileLayer* files = nullptr;
};

}  // namespace kavtel
