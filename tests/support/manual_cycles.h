#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "services/cycle_group.h"

namespace kavtel::test {

// Polling ticks that come only when the test says, and answer alarms that
// never fall due by themselves (a test hands the device its time-outs): no
// thread, no real time, whatever the device's cycle and time-out settings.
class ManualCycles final : public TAPPSYSCycles {
 public:
  std::uint64_t Join(Proc proc, std::uint32_t) override {
    std::lock_guard<std::mutex> hold(lock_);
    members_[++last_] = proc;
    return last_;
  }
  std::uint64_t JoinAlarm(TAPPSYSCycleAlarm&, AlarmProc) override {
    std::lock_guard<std::mutex> hold(lock_);
    members_[++last_] = Proc();  // an alarm: never ticked, never due
    return last_;
  }
  void Leave(std::uint64_t member) override {
    std::lock_guard<std::mutex> hold(lock_);
    members_.erase(member);
  }

  // One tick for every polling member; each may wait for its lock.
  void Tick() {
    for (const Proc& proc : Snapshot()) {
      if (proc) proc(kWaitMs);
    }
  }

 private:
  static constexpr std::uint32_t kWaitMs = 60000;
  // Called outside the lock: a member may leave or join from its call.
  std::vector<Proc> Snapshot() const {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<Proc> out;
    for (const auto& [id, proc] : members_) out.push_back(proc);
    return out;
  }

  mutable std::mutex lock_;
  std::uint64_t last_ = 0;
  std::map<std::uint64_t, Proc> members_;
};

}  // namespace kavtel::test
