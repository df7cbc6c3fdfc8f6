#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "kavtel/export.h"
#include "platform/event.h"
#include "platform/thread.h"
#include "services/method.h"
#include "services/mutex.h"
#include "services/root_object.h"

namespace kavtel {

using TAPPSYSTimerTriggerProc = TMethod<void(std::uint32_t id)>;
using TAPPSYSCycleProc = TMethod<void()>;
using TAPPSYSThreadNotify = TMethod<void(TObject* sender)>;

// A watchdog: armed with a non-zero id it waits Interval milliseconds and
// then calls ToDo(id) once, unless it is disarmed or re-armed first, in
// which case it calls Skiped(id). Runs one step below normal priority.
//
// A re-arm whose time-out falls no earlier than the running one's (the
// usual case: one arm per frame sent, with the same interval) does not wake
// the worker: the worker finds it when the running wait ends, skips the old
// id then and times the new one from the moment it was armed. So a device
// that arms once per frame wakes its watchdog about once per interval, not
// once per frame. A disarm, a re-arm that must end sooner, and endService
// cut the running wait short at once.
class KAVTEL_API TAPPSYSOneShotThread : public TObject, private platform::Thread {
 public:
  TAPPSYSOneShotThread();
  ~TAPPSYSOneShotThread() override;

  // Arms or re-arms the watchdog; a run in progress ends with Skiped.
  void activateTimerID(std::uint32_t id);
  // Disarms it; a run in progress ends with Skiped, never with ToDo.
  void deactivateTimerID();
  // Stops the worker and waits for it; a run in progress ends with Skiped.
  // Must not be called from the worker (from ToDo or Skiped).
  void endService();

  void SetInterval(std::uint32_t ms) { Interval_.store(ms); }
  std::uint32_t GetInterval() const { return Interval_.load(); }
  void SetTimerID(std::uint32_t id) { TimerID_.store(id); }
  std::uint32_t GetTimerID() const { return TimerID_.load(); }
  void SetCountstarted(std::uint32_t n) { Countstarted_.store(n); }
  std::uint32_t GetCountstarted() const { return Countstarted_.load(); }

  // Callbacks are set before the watchdog is armed; they run on the worker.
  void SetToDo(TAPPSYSTimerTriggerProc p) { ToDo_ = std::move(p); }
  void SetSkiped(TAPPSYSTimerTriggerProc p) { Skiped_ = std::move(p); }
  void SetSkipedTime(TAPPSYSTimerTriggerProc p) { SkipedTime_ = std::move(p); }
  void SetOnStarted(TAPPSYSThreadNotify p) { OnStarted_ = std::move(p); }
  void SetOnEndService(TAPPSYSThreadNotify p) { OnEndService_ = std::move(p); }
  void SetOnWaiting(TAPPSYSThreadNotify p) { OnWaiting_ = std::move(p); }

  using platform::Thread::Finished;
  using platform::Thread::Priority;

 protected:
  void Execute() override;

 private:
  platform::Event activation_{false, false};
  platform::Event stop_{false, false};
  std::atomic<std::uint32_t> Interval_{0};
  std::atomic<std::uint32_t> TimerID_{0};
  std::atomic<std::uint32_t> pending_{0};
  std::mutex idLock_;  // makes the hand-over of ids between threads atomic
  // Under idLock_: every arm's number and time, the running wait's end, and
  // whether the running wait was asked to end at once.
  std::uint64_t armSeq_ = 0;
  std::chrono::steady_clock::time_point armedAt_{};
  std::chrono::steady_clock::time_point runDeadline_{};
  bool cut_ = false;
  std::atomic<std::uint32_t> Countstarted_{0};
  TAPPSYSTimerTriggerProc ToDo_;
  TAPPSYSTimerTriggerProc Skiped_;
  TAPPSYSTimerTriggerProc SkipedTime_;
  TAPPSYSThreadNotify OnStarted_;
  TAPPSYSThreadNotify OnEndService_;
  TAPPSYSThreadNotify OnWaiting_;
};

// Calls one procedure over and over with a pause of Interval milliseconds
// after each call (none when negative). Created suspended; Resume starts it.
class KAVTEL_API TAPPSYSCycleThread : public TObject, private platform::Thread {
 public:
  TAPPSYSCycleThread(TAPPSYSCycleProc cycleWhat, std::uint32_t interval);
  ~TAPPSYSCycleThread() override;

  void Resume() { platform::Thread::Resume(); }
  // Stops the worker and waits for it: the call in progress finishes, a
  // pause in progress is cut short. Must not be called from CycleWhat.
  void endService();

  void SetInterval(std::int32_t ms) { Interval_.store(ms); }
  std::int32_t GetInterval() const { return Interval_.load(); }
  // Set while the worker is not running.
  void SetCycleWhat(TAPPSYSCycleProc p) { CycleWhat_ = std::move(p); }

  using platform::Thread::Finished;
  using platform::Thread::Started;

 protected:
  void Execute() override;

 private:
  std::atomic<std::int32_t> Interval_;
  TAPPSYSCycleProc CycleWhat_;
  platform::Event wake_{true, false};
};

}  // namespace kavtel
