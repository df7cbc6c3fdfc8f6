#pragma once

#include <memory>

#include "device/device_context.h"
#include "support/fake_comm_device.h"

namespace kavtel::test {

// A device context whose port talks to a fake comm device on `line`, on
// the given clock and cycles (the process's own unless a test gives its
// own).
inline TKavtelDeviceContext FakeLine(std::shared_ptr<FakeCommState> line,
                                     const TKavtelClock* clock = &TKavtelClock::Process(),
                                     TAPPSYSCycles* cycles = &TAPPSYSCycleGroup::Shared()) {
  TKavtelDeviceContext context;
  context.clock = clock;
  context.cycles = cycles;
  context.commDevices = [line = std::move(line)] { return std::make_unique<FakeCommDevice>(line); };
  return context;
}

}  // namespace kavtel::test
