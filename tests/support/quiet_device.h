#pragma once

// A device object opened on a fake line, with cycle and time-out intervals
// an hour long: after the version query of its first cycle step neither of
// its threads acts, so whatever it does next is driven by the bytes handed
// to its receive path alone, the same way every time. For fuzzing and
// benchmarks.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "device/device_caps.h"
#include "device/kavtel_device.h"
#include "serial/serial_port.h"
#include "services/connection.h"
#include "support/fake_comm_device.h"
#include "support/fake_line.h"

namespace kavtel::test {

class QuietDevice {
 public:
  QuietDevice() {
    constexpr std::uint32_t kHour = 3600u * 1000u;
    channel_.SetConnectionType(wlconCOM);
    channel_.SetPort(1);
    device_.SetDeviceCaps(&caps_);
    device_.SetControllerChannel(&channel_);
    device_.SetRNXCycleTime(kHour);
    device_.SetRNXTimeoutInterval(kHour);
    device_.SetIOOpen(true);
    // The cycle's first step sends the version query; then both threads wait.
    while (device_.GetOnline() && !device_.Inspect().pending) std::this_thread::yield();
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

  // A running belt is stopped on close, and the close awaits the stop
  // commands' answers for up to one time-out each; nothing answers here.
  void Close() {
    device_.SetRNXTimeoutInterval(0);
    device_.SetIOOpen(false);
  }

  TKavtelDevice& device() { return device_; }

 private:
  std::shared_ptr<FakeCommState> line_ = std::make_shared<FakeCommState>();
  TKavtelDeviceCaps caps_;
  TAPPSYSConnectionObj channel_;
  TKavtelDevice device_{256, FakeLine(line_)};
};

}  // namespace kavtel::test
