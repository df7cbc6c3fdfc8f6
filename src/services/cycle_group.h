#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "services/method.h"

namespace kavtel {

// The first tick of a cycle of `interval` at or after `after`: ticks lie at
// start + k * interval, so every cycle of the same interval that started
// from the same `start` ticks at the same moments. An interval of 0 counts
// as 1 ms.
std::chrono::steady_clock::time_point NextCycleTick(std::chrono::steady_clock::time_point start,
                                                    std::chrono::milliseconds interval,
                                                    std::chrono::steady_clock::time_point after);

class TAPPSYSCycleGroup;

// A one-shot deadline with a number (an answer time-out), served by a
// TAPPSYSCycleGroup it has joined. Arm and Disarm may be called from any
// thread at any rate and wake nobody, unless the new deadline falls before
// the group's next planned wake-up: a device that arms one second ahead for
// every frame costs its group no wake-up of its own while the group ticks
// more often than that. The owner keeps the alarm alive while it is joined.
class TAPPSYSCycleAlarm {
 public:
  using Clock = std::chrono::steady_clock;

  TAPPSYSCycleAlarm() = default;
  TAPPSYSCycleAlarm(const TAPPSYSCycleAlarm&) = delete;
  TAPPSYSCycleAlarm& operator=(const TAPPSYSCycleAlarm&) = delete;

  // Arms or re-arms: the group calls its alarm procedure with id once,
  // afterMs from now, unless it is re-armed or disarmed first.
  void Arm(std::uint32_t id, std::uint32_t afterMs);
  void Disarm();
  bool Armed() const;

 private:
  friend class TAPPSYSCycleGroup;
  // The deadline, or max when disarmed.
  Clock::time_point Deadline() const;
  // Takes the id of an alarm due at `now` (disarming it); false if none.
  bool Take(Clock::time_point now, std::uint32_t& id);

  mutable std::mutex lock_;
  std::uint32_t id_ = 0;
  Clock::time_point at_ = Clock::time_point::max();
  TAPPSYSCycleGroup* group_ = nullptr;  // while joined
};

// One thread that calls the procedures of many members, each over and over
// every Interval milliseconds. Members of the same interval tick at the same
// moments, so a host with many devices polling at the same rate pays one
// wake-up per tick for all of them, not one per device.
//
// - A member's first call comes as soon as it has joined; the next at the
//   first common tick at least one interval later; after that one every
//   interval. Ticks the thread could not keep (it was held up) are skipped,
//   not made up in a burst, and the members of a round stay in step.
// - A round calls every member that is due, in the order they joined, with
//   waitMs 0: a member that would have to wait for another thread (its lock
//   is held) returns false instead. After every other member of the round
//   was served it is called again with the milliseconds left until its next
//   tick: it may wait that long, then it must give this tick up. So one busy
//   member never delays the others' ticks of that round, and a member whose
//   lock stays held does not hold up the thread beyond one interval.
// - An exception out of a member's procedure ends that call only.
// - The thread runs only while there are members: the last Leave ends it
//   and waits for it, so nothing of the group runs once every member left.
//   (A Leave from within a procedure cannot wait for the call it is part
//   of: the member is removed when that call returns, and the thread, if
//   the group is then empty, waits idle for the next Join.)
// - A member may instead (or as well) bring a TAPPSYSCycleAlarm: the thread
//   then also wakes at the alarm's deadline and calls the member's alarm
//   procedure with the alarm's id, before the round's ticks. An alarm
//   procedure must not block: it hands the work on.
// Where a device's polling ticks and answer alarms come from: the
// process's cycle group, or in a test a source that ticks when it is told.
class TAPPSYSCycles {
 public:
  using Proc = TMethod<bool(std::uint32_t waitMs)>;
  using AlarmProc = TMethod<void(std::uint32_t id)>;

  virtual ~TAPPSYSCycles() = default;
  // Adds a member that is called every intervalMs; its number for Leave.
  virtual std::uint64_t Join(Proc proc, std::uint32_t intervalMs) = 0;
  // Adds a member that has no ticks, only an alarm.
  virtual std::uint64_t JoinAlarm(TAPPSYSCycleAlarm& alarm, AlarmProc proc) = 0;
  // Removes a member; once it returns the member is not called again.
  virtual void Leave(std::uint64_t member) = 0;
};

class TAPPSYSCycleGroup final : public TAPPSYSCycles {
 public:
  using Clock = std::chrono::steady_clock;

  TAPPSYSCycleGroup();
  // Waits for a call in progress; members still there are never called again.
  ~TAPPSYSCycleGroup();
  TAPPSYSCycleGroup(const TAPPSYSCycleGroup&) = delete;
  TAPPSYSCycleGroup& operator=(const TAPPSYSCycleGroup&) = delete;

  // The group every device of the process shares.
  static TAPPSYSCycleGroup& Shared();

  // Adds a member; returns its number for Leave (never 0).
  std::uint64_t Join(Proc proc, std::uint32_t intervalMs) override;
  // Adds a member that has no ticks, only an alarm (not joined elsewhere).
  std::uint64_t JoinAlarm(TAPPSYSCycleAlarm& alarm, AlarmProc proc) override;
  // Removes a member, waiting for its call in progress (unless that call is
  // the caller): once it returns the procedure is never called again after
  // the call in progress. Unknown numbers (0 included) are ignored.
  void Leave(std::uint64_t member) override;

  // Rounds made so far (each one wake-up of the thread that called members).
  std::uint64_t Rounds() const;
  bool Running() const;

 private:
  friend class TAPPSYSCycleAlarm;
  struct Member {
    Proc proc;  // empty for an alarm's member
    std::chrono::milliseconds interval;
    Clock::time_point due;  // max for an alarm's member
    TAPPSYSCycleAlarm* alarm = nullptr;
    AlarmProc alarmProc;
    bool calling = false;
    bool leaving = false;  // left from within its own call
  };
  class Worker;

  void Work(const Worker& self);
  // Calls call(member) for one member (by number: it may have left
  // meanwhile); the lock is held on entry and on return, and released
  // during the call. False when the member asks to be called again.
  template <typename Call>
  bool CallMember(std::unique_lock<std::mutex>& hold, std::uint64_t id, Call call);
  // The earliest deadline of the members' alarms; under the lock.
  Clock::time_point EarliestAlarm() const;
  // Wakes the thread for an alarm armed before its planned wake-up.
  void AlarmMoved(Clock::time_point at);
  // The alarm of a member that leaves no longer wakes the group.
  static void Unbind(TAPPSYSCycleAlarm* alarm);

  const Clock::time_point start_;
  mutable std::mutex lock_;
  std::condition_variable changed_;  // a member joined or left, a call ended, the worker must end
  std::map<std::uint64_t, Member> members_;
  std::uint64_t nextId_ = 1;
  std::uint64_t rounds_ = 0;
  std::thread::id caller_;  // the thread in a member's call, while one is
  // When the thread will wake next (steady clock ticks): set before it
  // reads the alarms and again once it knows, so that an alarm armed
  // meanwhile either is read or sees a later wake-up and wakes it.
  std::atomic<Clock::rep> plannedWake_{0};
  std::unique_ptr<Worker> worker_;
};

}  // namespace kavtel
