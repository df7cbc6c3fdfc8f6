#include "services/cycle_group.h"

#include <algorithm>
#include <new>
#include <vector>

#include "platform/thread.h"

namespace kavtel {

using Clock = TAPPSYSCycleGroup::Clock;

Clock::time_point NextCycleTick(Clock::time_point start, std::chrono::milliseconds interval,
                                Clock::time_point after) {
  const Clock::duration step = std::max(interval, std::chrono::milliseconds(1));
  if (after <= start) return start;
  const auto ticks = (after - start + step - Clock::duration(1)) / step;  // rounded up
  return start + ticks * step;
}

// --- TAPPSYSCycleAlarm ----------------------------------------------------

void TAPPSYSCycleAlarm::Arm(std::uint32_t id, std::uint32_t afterMs) {
  const Clock::time_point at = Clock::now() + std::chrono::milliseconds(afterMs);
  TAPPSYSCycleGroup* group;
  {
    std::lock_guard<std::mutex> hold(lock_);
    id_ = id;
    at_ = at;
    group = group_;
  }
  if (group != nullptr) group->AlarmMoved(at);
}

void TAPPSYSCycleAlarm::Disarm() {
  std::lock_guard<std::mutex> hold(lock_);
  id_ = 0;
  at_ = Clock::time_point::max();
}

bool TAPPSYSCycleAlarm::Armed() const {
  std::lock_guard<std::mutex> hold(lock_);
  return at_ != Clock::time_point::max();
}

Clock::time_point TAPPSYSCycleAlarm::Deadline() const {
  std::lock_guard<std::mutex> hold(lock_);
  return at_;
}

bool TAPPSYSCycleAlarm::Take(Clock::time_point now, std::uint32_t& id) {
  std::lock_guard<std::mutex> hold(lock_);
  if (at_ > now) return false;
  id = id_;
  id_ = 0;
  at_ = Clock::time_point::max();
  return true;
}

// --- TAPPSYSCycleGroup ----------------------------------------------------

class TAPPSYSCycleGroup::Worker : public platform::Thread {
 public:
  explicit Worker(TAPPSYSCycleGroup& group) : group_(group) { Resume(); }
  ~Worker() override { WaitFor(); }

 protected:
  void Execute() override { group_.Work(*this); }

 private:
  TAPPSYSCycleGroup& group_;
};

TAPPSYSCycleGroup::TAPPSYSCycleGroup() : start_(Clock::now()) {}

TAPPSYSCycleGroup::~TAPPSYSCycleGroup() {
  std::unique_ptr<Worker> worker;
  {
    std::unique_lock<std::mutex> hold(lock_);
    if (caller_ != std::this_thread::get_id()) {
      changed_.wait(hold, [&] {
        for (const auto& [id, m] : members_) {
          if (m.calling) return false;
        }
        return true;
      });
    }
    for (auto& [id, m] : members_) {
      if (m.alarm != nullptr) Unbind(m.alarm);
    }
    members_.clear();
    worker = std::move(worker_);
    if (worker) worker->Terminate();
  }
  changed_.notify_all();
}

TAPPSYSCycleGroup& TAPPSYSCycleGroup::Shared() {
  // Never destroyed: at exit, devices still open (and the thread serving
  // them) may outlive every static destructor. It lives in static storage,
  // not on the heap, so a library unloaded after its ports were closed
  // leaves nothing behind: with no members the group owns no memory.
  alignas(TAPPSYSCycleGroup) static unsigned char storage[sizeof(TAPPSYSCycleGroup)];
  static TAPPSYSCycleGroup* group = new (storage) TAPPSYSCycleGroup();
  return *group;
}

std::uint64_t TAPPSYSCycleGroup::Join(Proc proc, std::uint32_t intervalMs) {
  std::lock_guard<std::mutex> hold(lock_);
  const std::uint64_t id = nextId_++;
  Member& m = members_[id];
  m.proc = std::move(proc);
  m.interval = std::chrono::milliseconds(std::max<std::uint32_t>(intervalMs, 1));
  m.due = Clock::now();
  if (!worker_) worker_ = std::make_unique<Worker>(*this);
  changed_.notify_all();
  return id;
}

std::uint64_t TAPPSYSCycleGroup::JoinAlarm(TAPPSYSCycleAlarm& alarm, AlarmProc proc) {
  std::lock_guard<std::mutex> hold(lock_);
  const std::uint64_t id = nextId_++;
  Member& m = members_[id];
  m.interval = std::chrono::milliseconds(1);
  m.due = Clock::time_point::max();
  m.alarm = &alarm;
  m.alarmProc = std::move(proc);
  {
    std::lock_guard<std::mutex> bind(alarm.lock_);
    alarm.group_ = this;
  }
  if (!worker_) worker_ = std::make_unique<Worker>(*this);
  changed_.notify_all();
  return id;
}

void TAPPSYSCycleGroup::AlarmMoved(Clock::time_point at) {
  if (at.time_since_epoch().count() >= plannedWake_.load()) return;
  // Taking the lock waits until the thread has finished planning and
  // sleeps (or is in a call, after which it plans again), so the
  // notification cannot fall between its reading of the alarms and its
  // sleep.
  { std::lock_guard<std::mutex> hold(lock_); }
  changed_.notify_all();
}

Clock::time_point TAPPSYSCycleGroup::EarliestAlarm() const {
  Clock::time_point earliest = Clock::time_point::max();
  for (const auto& [id, m] : members_) {
    if (m.alarm != nullptr) earliest = std::min(earliest, m.alarm->Deadline());
  }
  return earliest;
}

void TAPPSYSCycleGroup::Leave(std::uint64_t member) {
  std::unique_ptr<Worker> ended;
  {
    std::unique_lock<std::mutex> hold(lock_);
    const bool fromCall = caller_ == std::this_thread::get_id();
    for (;;) {
      auto it = members_.find(member);
      if (it == members_.end()) return;
      if (!it->second.calling) {
        if (it->second.alarm != nullptr) Unbind(it->second.alarm);
        members_.erase(it);
        break;
      }
      if (fromCall) {
        // The caller's own call: the member goes when it returns.
        it->second.leaving = true;
        return;
      }
      changed_.wait(hold);
    }
    if (members_.empty() && worker_ && !fromCall) {
      ended = std::move(worker_);
      ended->Terminate();
    }
  }
  changed_.notify_all();
  ended.reset();  // waits for the worker to end
}

std::uint64_t TAPPSYSCycleGroup::Rounds() const {
  std::lock_guard<std::mutex> hold(lock_);
  return rounds_;
}

bool TAPPSYSCycleGroup::Running() const {
  std::lock_guard<std::mutex> hold(lock_);
  return worker_ != nullptr;
}

template <typename Call>
bool TAPPSYSCycleGroup::CallMember(std::unique_lock<std::mutex>& hold, std::uint64_t id, Call call) {
  auto it = members_.find(id);
  if (it == members_.end()) return true;  // it left meanwhile
  Member& m = it->second;
  m.calling = true;
  caller_ = std::this_thread::get_id();
  hold.unlock();
  bool done = true;
  try {
    // Leave waits while the member is called: its entry stays as it is.
    done = call(m);
  } catch (...) {
    // One member's failure must not end the ticks of the others.
  }
  hold.lock();
  caller_ = std::thread::id();
  m.calling = false;
  if (m.leaving) {
    if (m.alarm != nullptr) Unbind(m.alarm);
    members_.erase(it);
    done = true;
  }
  changed_.notify_all();
  return done;
}

void TAPPSYSCycleGroup::Work(const Worker& self) {
  std::unique_lock<std::mutex> hold(lock_);
  std::vector<std::uint64_t> due;
  std::vector<std::uint64_t> busy;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> rung;  // member, alarm id
  while (!self.Terminated()) {
    Clock::time_point next = Clock::time_point::max();
    for (const auto& [id, m] : members_) next = std::min(next, m.due);
    plannedWake_.store(next.time_since_epoch().count());
    next = std::min(next, EarliestAlarm());
    plannedWake_.store(next.time_since_epoch().count());
    const Clock::time_point now = Clock::now();
    if (next > now) {
      if (next == Clock::time_point::max()) {
        changed_.wait(hold);
      } else {
        changed_.wait_until(hold, next);
      }
      continue;
    }
    ++rounds_;
    // Alarms first: a time-out is handed on at once, a tick may write.
    rung.clear();
    for (const auto& [id, m] : members_) {
      std::uint32_t alarmId = 0;
      if (m.alarm != nullptr && m.alarm->Take(now, alarmId)) rung.emplace_back(id, alarmId);
    }
    for (const auto& [id, alarmId] : rung) {
      CallMember(hold, id, [alarmId = alarmId](Member& m) {
        m.alarmProc(alarmId);
        return true;
      });
    }
    due.clear();
    busy.clear();
    for (const auto& [id, m] : members_) {
      if (m.due <= now) due.push_back(id);
    }
    for (std::uint64_t id : due) {
      if (self.Terminated()) break;
      if (!CallMember(hold, id, [](Member& m) { return m.proc(0); })) busy.push_back(id);
    }
    for (std::uint64_t id : busy) {
      if (self.Terminated()) break;
      auto it = members_.find(id);
      if (it == members_.end()) continue;
      // Until the member's next tick, at least a millisecond, and no
      // longer than until the next alarm, which must not wait for it.
      const Clock::time_point until = std::min(it->second.due + it->second.interval, EarliestAlarm());
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      const auto waitMs = static_cast<std::uint32_t>(std::max<std::int64_t>(left.count(), 1));
      CallMember(hold, id, [waitMs](Member& m) { return m.proc(waitMs); });
    }
    // One reading for the whole round, so that its members stay in step
    // even when the round outlasted a tick.
    const Clock::time_point end = Clock::now();
    for (std::uint64_t id : due) {
      auto it = members_.find(id);
      if (it == members_.end()) continue;
      Member& m = it->second;
      m.due = NextCycleTick(start_, m.interval, std::max(m.due + m.interval, end));
    }
  }
}

void TAPPSYSCycleGroup::Unbind(TAPPSYSCycleAlarm* alarm) {
  std::lock_guard<std::mutex> hold(alarm->lock_);
  alarm->group_ = nullptr;
}

}  // namespace kavtel
