#include "services/timer_threads.h"

#include "platform/system.h"

namespace kavtel {

// --- TAPPSYSOneShotThread -------------------------------------------------

TAPPSYSOneShotThread::TAPPSYSOneShotThread() {
  SetPriority(platform::ThreadPriority::Lower);
  Resume();  // starts idle, waiting on the activation event
}

TAPPSYSOneShotThread::~TAPPSYSOneShotThread() {
  if (!Terminated()) endService();
  WaitFor();
}

void TAPPSYSOneShotThread::activateTimerID(std::uint32_t id) {
  bool running;
  {
    std::lock_guard<std::mutex> hold(idLock_);
    pending_.store(id);
    running = TimerID_.load() != 0;
  }
  if (running) stop_.Set();  // cut the running wait short
  activation_.Set();
}

void TAPPSYSOneShotThread::deactivateTimerID() {
  {
    std::lock_guard<std::mutex> hold(idLock_);
    pending_.store(0);
    TimerID_.store(0);
  }
  activation_.Reset();  // withdraw an arming the worker has not picked up yet
  stop_.Set();
}

void TAPPSYSOneShotThread::endService() {
  Terminate();
  activateTimerID(0);
  stop_.Set();
  WaitFor();
  OnEndService_(this);
}

void TAPPSYSOneShotThread::Execute() {
  while (!Terminated()) {
    OnWaiting_(this);
    activation_.Wait(platform::kInfinite);
    activation_.Reset();
    if (Terminated()) break;

    std::uint32_t started;
    {
      // The hand-over of the pending id, atomic against a disarm.
      std::lock_guard<std::mutex> hold(idLock_);
      started = pending_.exchange(0);
      TimerID_.store(started);
    }
    if (started == 0) continue;

    const std::uint32_t counted = Countstarted_.load();
    if (counted < 0xFFFFFFFFu) Countstarted_.store(counted + 1);
    OnStarted_(this);

    stop_.Reset();
    // A disarm, re-arm or stop that came between picking the id up and the
    // reset above has lost its stop signal; it still shows in the ids and
    // the terminated flag, so such a run ends at once as if cut short.
    bool overtaken;
    {
      std::lock_guard<std::mutex> hold(idLock_);
      overtaken = TimerID_.load() != started || pending_.load() != 0;
    }
    const std::uint32_t result = (overtaken || Terminated())
                                     ? platform::kWaitObject0
                                     : stop_.Wait(Interval_.load());

    if (result == platform::kWaitObject0) {
      Skiped_(started);
    } else if (result == platform::kWaitTimeout) {
      const std::uint32_t id = TimerID_.load();
      if (id != 0 && id == started) ToDo_(id);
    } else {
      platform::ShowMessageBox("Please restart Application", "Timer error",
                               platform::kMbOk | platform::kMbSetForeground);
    }
    {
      std::lock_guard<std::mutex> hold(idLock_);
      TimerID_.store(0);
    }
  }
}

// --- TAPPSYSCycleThread ---------------------------------------------------

TAPPSYSCycleThread::TAPPSYSCycleThread(TAPPSYSCycleProc cycleWhat, std::uint32_t interval)
    : Interval_(static_cast<std::int32_t>(interval)), CycleWhat_(std::move(cycleWhat)) {}

TAPPSYSCycleThread::~TAPPSYSCycleThread() {
  endService();
  WaitFor();
}

void TAPPSYSCycleThread::endService() {
  if (Terminated()) return;
  // The flag goes up before a never-started worker is released, so such a
  // worker ends without making a call.
  Terminate();
  wake_.Set();
  Resume();
  WaitFor();
}

void TAPPSYSCycleThread::Execute() {
  while (!Terminated()) {
    CycleWhat_();
    const std::int32_t pause = Interval_.load();
    if (pause < 0 || Terminated()) continue;
    if (pause == 0) {
      platform::SleepMs(0);
    } else {
      // A pause that endService can cut short, so closing never waits out
      // a whole interval.
      wake_.Wait(static_cast<std::uint32_t>(pause));
    }
  }
}

}  // namespace kavtel
