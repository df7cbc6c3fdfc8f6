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

void TAPPSYSCycleGroup::Leave(std::uint64_t member) {
  std::unique_ptr<Worker> ended;
  {
    std::unique_lock<std::mutex> hold(lock_);
    const bool fromCall = caller_ == std::this_thread::get_id();
    for (;;) {
      auto it = members_.find(member);
      if (it == members_.end()) return;
      if (!it->second.calling) {
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

bool TAPPSYSCycleGroup::CallMember(std::unique_lock<std::mutex>& hold, std::uint64_t id,
                                   std::uint32_t waitMs) {
  auto it = members_.find(id);
  if (it == members_.end()) return true;  // it left meanwhile
  Member& m = it->second;
  m.calling = true;
  caller_ = std::this_thread::get_id();
  hold.unlock();
  bool done = true;
  try {
    // Leave waits while the member is called: its entry stays as it is.
    done = m.proc(waitMs);
  } catch (...) {
    // One member's failure must not end the ticks of the others.
  }
  hold.lock();
  caller_ = std::thread::id();
  m.calling = false;
  if (m.leaving) {
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
  while (!self.Terminated()) {
    Clock::time_point next = Clock::time_point::max();
    for (const auto& [id, m] : members_) next = std::min(next, m.due);
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
    due.clear();
    busy.clear();
    for (const auto& [id, m] : members_) {
      if (m.due <= now) due.push_back(id);
    }
    for (std::uint64_t id : due) {
      if (self.Terminated()) break;
      if (!CallMember(hold, id, 0)) busy.push_back(id);
    }
    for (std::uint64_t id : busy) {
      if (self.Terminated()) break;
      auto it = members_.find(id);
      if (it == members_.end()) continue;
      // Until the member's next tick, at least a millisecond.
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          it->second.due + it->second.interval - Clock::now());
      CallMember(hold, id, static_cast<std::uint32_t>(std::max<std::int64_t>(left.count(), 1)));
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

}  // namespace kavtel
