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
  bool cut;
  {
    std::lock_guard<std::mutex> hold(idLock_);
    const auto now = std::chrono::steady_clock::now();
    pending_.store(id);
    armedAt_ = now;
    ++armSeq_;
    running = TimerID_.load() != 0;
    // A running wait that ends no later than the new arm's would is left
    // alone: the worker picks the new arm up when it ends.
    cut = running &&
          (id == 0 || now + std::chrono::milliseconds(Interval_.load()) < runDeadline_);
    if (cut) cut_ = true;
  }
  if (cut) stop_.Set();  // cut the running wait short
  if (!running || cut) activation_.Set();
}

void TAPPSYSOneShotThread::deactivateTimerID() {
  {
    std::lock_guard<std::mutex> hold(idLock_);
    pending_.store(0);
    TimerID_.store(0);
    cut_ = true;
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
  using Clock = std::chrono::steady_clock;
  while (!Terminated()) {
    bool lazyArm;
    {
      std::lock_guard<std::mutex> hold(idLock_);
      lazyArm = pending_.load() != 0;
    }
    // An arm left for the worker while it waited is taken up at once.
    if (!lazyArm) {
      OnWaiting_(this);
      activation_.Wait(platform::kInfinite);
    }
    activation_.Reset();
    if (Terminated()) break;

    std::uint32_t started;
    std::uint64_t seq;
    Clock::time_point deadline;
    {
      // The hand-over of the pending id, atomic against a disarm.
      std::lock_guard<std::mutex> hold(idLock_);
      started = pending_.exchange(0);
      TimerID_.store(started);
      seq = armSeq_;
      deadline = armedAt_ + std::chrono::milliseconds(Interval_.load());
      runDeadline_ = deadline;
      cut_ = false;
    }
    if (started == 0) continue;

    const std::uint32_t counted = Countstarted_.load();
    if (counted < 0xFFFFFFFFu) Countstarted_.store(counted + 1);
    OnStarted_(this);

    stop_.Reset();
    // A disarm, re-arm or stop that came between picking the id up and the
    // reset above has lost its stop signal; it still shows in the cut flag
    // and the terminated flag, so such a run ends at once as if cut short.
    bool overtaken;
    {
      std::lock_guard<std::mutex> hold(idLock_);
      overtaken = cut_;
    }
    std::uint32_t result = platform::kWaitObject0;
    if (!overtaken && !Terminated()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - Clock::now() + std::chrono::microseconds(999));
      result = stop_.Wait(left.count() <= 0 ? 0u : static_cast<std::uint32_t>(left.count()));
    }

    if (result == platform::kWaitObject0) {
      Skiped_(started);
    } else if (result == platform::kWaitTimeout) {
      // Only a disarm (which sets cut_) or a new arm (a new sequence) takes
      // the running id away, so an id neither superseded is still the one.
      bool superseded;
      {
        std::lock_guard<std::mutex> hold(idLock_);
        superseded = cut_ || armSeq_ != seq;
      }
      if (superseded) {
        Skiped_(started);
      } else {
        ToDo_(started);
      }
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
