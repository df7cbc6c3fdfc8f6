#pragma once

// A device object opened on a fake line, with manual cycles: after the
// version query of its first tick nothing ticks or times out, so whatever
// it does next is driven by the bytes handed to its receive path alone, the
// same way every time. For fuzzing and benchmarks.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "device/device_caps.h"
#include "device/kavtel_device.h"
#include "serial/serial_port.h"
#include "services/connection.h"
#include "support/fake_comm_device.h"
#include "support/fake_line.h"
#include "support/manual_cycles.h"
#include "support/fake_line.h"

namespace kavtel::test {

class QuietDevice {
 public:
  QuietDevice() {
    channel_.SetConnectionType(wlconCOM);
    channel_.SetPort(1);
    device_.SetDeviceCaps(&caps_);
    device_.SetControllerChannel(&channel_);
    device_.SetIOOpen(true);
    cycles_.Tick();  // the version query
  }
  ~QuietDevice() {
    Close();
  }
  QuietDevice(const QuietDevice&) = delete;
  QuietDevice& operator=(const QuietDevice&) = delete;

  // Hands `bytes` to the receive path in chunks of `chunk` bytes (0: all at
  // once).
  void Feed(const std::string& bytes, std::size_t chunk = 0) {
    const std::size_t step = chunk == 0 ? bytes.size() : chunk;
    for (std::size_t at = 0; at < bytes.size(); at += step) {
      const std::size_t n = std::min(step, bytes.size() - at);
      device_.DispatchChars(nullptr, bytes.data() + at, static_cast<std::int32_t>(n));
    }
  }

  // Drops what the device wrote (its ACKs and frames), so that a long run
  // keeps its memory flat.
  void DropWritten() {
    std::lock_guard<std::mutex> hold(line_->lock);
    line_->written.clear();
  }

  // A running belt is stopped on close, and the close would await the
  // frame in flight and the stop commands' answers, which nothing gives
  // here: the frame in flight is given up and the line fails its writes
  // instead, so the close finds it gone and ends at once.
  void Close() {
    if (device_.GetIOOpen()) device_.SetInTrouble();
    {
      std::lock_guard<std::mutex> hold(line_->lock);
      line_->writeFails = true;
    }
    device_.SetIOOpen(false);
  }

  TKavtelDevice& device() { return device_; }

 private:
  std::shared_ptr<FakeCommState> line_ = std::make_shared<FakeCommState>();
  ManualCycles cycles_;
  TKavtelDeviceCaps caps_;
  TAPPSYSConnectionObj channel_;
  TKavtelDevice device_{256, FakeLine(line_, &TKavtelClock::Process(), &cycles_)};
};

}  // namespace kavtel::test
