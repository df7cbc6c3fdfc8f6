#pragma once

#include <algorithm>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/comm_device.h"
#include "platform/event.h"
#include "platform/wait.h"

namespace kavtel::test {

// What a FakeCommDevice was asked and what it answers; shared between the
// test and the device that the port owns.
struct FakeCommState {
  mutable std::mutex lock;
  std::vector<std::string> calls;  // "Purge(0x3)", "Escape(2)", ...
  std::vector<platform::Dcb> states;
  std::vector<platform::CommTimeouts> timeouts;
  std::vector<std::uint32_t> readSizes;
  std::string written;
  std::size_t writeCalls = 0;  // Write calls that wrote

  // Answers.
  bool openOk = true;
  std::string failCall;  // the call (by name) that fails, with lastError
  bool writeFails = false;  // writes fail: the line is gone
  std::uint32_t lastError = 0;
  std::string input;                  // bytes waiting in the driver
  long reportedInQue = -1;            // overrides input.size() when >= 0
  std::uint32_t errors = 0;           // CE_* bits of the next ClearError
  std::uint32_t modem = 0;            // MS_* bits
  std::deque<std::uint32_t> wakeups;  // masks the event wait reports; 0xFFFFFFFF fails it
  int waits = 0;                      // event waits entered
  platform::Event wake{false, false};

  // Queues one wake-up of the event thread with `mask`.
  void Wake(std::uint32_t mask) {
    {
      std::lock_guard<std::mutex> hold(lock);
      wakeups.push_back(mask);
    }
    wake.Set();
  }
  std::vector<std::string> Calls() const {
    std::lock_guard<std::mutex> hold(lock);
    return calls;
  }
  int Waits() const {
    std::lock_guard<std::mutex> hold(lock);
    return waits;
  }
  void Clear() {
    std::lock_guard<std::mutex> hold(lock);
    calls.clear();
    states.clear();
    timeouts.clear();
  }
};

class FakeCommDevice final : public platform::CommDevice {
 public:
  explicit FakeCommDevice(std::shared_ptr<FakeCommState> state) : s_(std::move(state)) {}

  bool Open(std::int32_t portIndex) override {
    if (!Record("Open(" + std::to_string(portIndex) + ")", "Open") || !s_->openOk) return false;
    open_ = true;
    return true;
  }
  void Close() override {
    if (!open_) return;
    Record("Close", "Close");
    open_ = false;
  }
  bool IsOpen() const override { return open_; }
  bool Setup(std::uint32_t in, std::uint32_t out) override {
    return Record("Setup(" + std::to_string(in) + "," + std::to_string(out) + ")", "Setup");
  }
  bool SetState(const platform::Dcb& dcb) override {
    {
      std::lock_guard<std::mutex> hold(s_->lock);
      s_->states.push_back(dcb);
    }
    return Record("SetState", "SetState");
  }
  bool SetTimeouts(const platform::CommTimeouts& t) override {
    {
      std::lock_guard<std::mutex> hold(s_->lock);
      s_->timeouts.push_back(t);
    }
    return Record("SetTimeouts", "SetTimeouts");
  }
  bool SetMask(std::uint32_t mask) override { return Record("SetMask(" + Hex(mask) + ")", "SetMask"); }

  std::uint32_t WaitEvent(platform::Event& stop, platform::Event&, std::uint32_t& mask) override {
    mask = 0;
    {
      std::lock_guard<std::mutex> hold(s_->lock);
      ++s_->waits;
    }
    for (;;) {
      const std::uint32_t r = platform::Event::WaitForFirst(stop, s_->wake, platform::kInfinite);
      if (r != platform::kWaitObject0 + 1) return r;
      std::lock_guard<std::mutex> hold(s_->lock);
      if (s_->wakeups.empty()) continue;
      const std::uint32_t next = s_->wakeups.front();
      s_->wakeups.pop_front();
      if (!s_->wakeups.empty()) s_->wake.Set();
      if (next == platform::kWaitFailed) return platform::kWaitFailed;
      mask = next;
      return r;
    }
  }

  bool ClearError(std::uint32_t& errors, platform::ComStat& status) override {
    std::lock_guard<std::mutex> hold(s_->lock);
    errors = s_->errors;
    s_->errors = 0;
    status = platform::ComStat{};
    status.cbInQue = static_cast<std::uint32_t>(s_->reportedInQue >= 0 ? s_->reportedInQue
                                                                        : static_cast<long>(s_->input.size()));
    return s_->failCall != "ClearError";
  }
  platform::CommIo Read(void* buffer, std::uint32_t count, std::uint32_t& transferred) override {
    std::lock_guard<std::mutex> hold(s_->lock);
    s_->readSizes.push_back(count);
    transferred = static_cast<std::uint32_t>(std::min<std::size_t>(count, s_->input.size()));
    s_->input.copy(static_cast<char*>(buffer), transferred);
    s_->input.erase(0, transferred);
    return platform::CommIo::Done;
  }
  std::uint32_t Write(const void* data, std::uint32_t count) override {
    if (!open_) return 0;
    std::lock_guard<std::mutex> hold(s_->lock);
    if (s_->writeFails) return 0;
    s_->written.append(static_cast<const char*>(data), count);
    ++s_->writeCalls;
    return count;
  }
  bool Purge(std::uint32_t flags) override { return Record("Purge(" + Hex(flags) + ")", "Purge"); }
  bool Escape(std::uint32_t f) override { return Record("Escape(" + std::to_string(f) + ")", "Escape"); }
  bool ModemStatus(std::uint32_t& status) override {
    std::lock_guard<std::mutex> hold(s_->lock);
    status = s_->modem;
    return s_->failCall != "ModemStatus";
  }
  bool TransmitChar(char ch) override {
    return Record("TransmitChar(" + std::to_string(static_cast<int>(ch)) + ")", "TransmitChar");
  }
  std::uint32_t LastError() const override {
    std::lock_guard<std::mutex> hold(s_->lock);
    return s_->lastError;
  }

 private:
  static std::string Hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(v));
    return text;
  }
  bool Record(const std::string& call, const std::string& name) {
    std::lock_guard<std::mutex> hold(s_->lock);
    s_->calls.push_back(call);
    return s_->failCall != name;
  }

  std::shared_ptr<FakeCommState> s_;
  bool open_ = false;
};

}  // namespace kavtel::test
