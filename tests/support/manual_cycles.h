#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "services/cycle_group.h"

namespace kavtel::test {

// Polling ticks and answer alarms that come only when the test says: no
// thread, no real time. A device given it in its context polls on Tick()
// and times out on FireAlarms(), whatever its cycle and time-out settings.
class ManualCycles final : public TAPPSYSCycles {
 public:
  std::uint64_t Join(Proc proc, std::uint32_t) override {
    std::lock_guard<std::mutex> hold(lock_);
    members_[++last_] = Member{proc, nullptr, {}};
    return last_;
  }
  std::uint64_t JoinAlarm(TAPPSYSCycleAlarm& alarm, AlarmProc proc) override {
    std::lock_guard<std::mutex> hold(lock_);
    members_[++last_] = Member{{}, &alarm, proc};
    return last_;
  }
  void Leave(std::uint64_t member) override {
    std::lock_guard<std::mutex> hold(lock_);
    members_.erase(member);
  }

  // One tick for every polling member; each may wait for its lock.
  void Tick() {
    for (const Member& m : Snapshot()) {
      if (m.proc) m.proc(kWaitMs);
    }
  }
  // Every armed alarm falls due now.
  void FireAlarms() {
    for (const Member& m : Snapshot()) {
      std::uint32_t id = 0;
      if (m.alarm != nullptr && m.alarm->TakeArmed(id)) m.alarmProc(id);
    }
  }

 private:
  static constexpr std::uint32_t kWaitMs = 60000;
  struct Member {
    Proc proc;
    TAPPSYSCycleAlarm* alarm;
    AlarmProc alarmProc;
  };
  // Called outside the lock: a member may leave or join from its call.
  std::vector<Member> Snapshot() const {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<Member> out;
    for (const auto& [id, m] : members_) out.push_back(m);
    return out;
  }

  mutable std::mutex lock_;
  std::uint64_t last_ = 0;
  std::map<std::uint64_t, Member> members_;
};

}  // namespace kavtel::test
