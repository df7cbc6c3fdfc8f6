#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/thread.h"
#include "thread_impl.h"

namespace kavtel::platform {

struct ThreadEntry {
  static void Start(Thread* self) {
    self->impl_->tid.store(static_cast<pid_t>(::syscall(SYS_gettid)));
    Thread::Run(self);
  }
};

Thread::Thread() : impl_(std::make_unique<Impl>()) {}

Thread::~Thread() {
  Terminate();
  // Destroyed on its own worker (it cannot wait for itself): let it run out.
  if (IsCurrentThread() && impl_->worker.joinable()) impl_->worker.detach();
  WaitFor();
}

void Thread::Resume() {
  std::lock_guard<std::mutex> hold(impl_->startLock);
  if (started_.load()) return;
  impl_->worker = std::thread(&ThreadEntry::Start, this);
  started_.store(true);
}

void Thread::WaitFor() {
  if (IsCurrentThread()) return;
  std::lock_guard<std::mutex> hold(impl_->startLock);
  if (impl_->worker.joinable()) impl_->worker.join();
}

bool Thread::IsCurrentThread() const {
  return impl_->tid.load() == static_cast<pid_t>(::syscall(SYS_gettid));
}

// Linux schedules each thread with its own nice value, so the Windows
// priority steps map onto nice offsets. Raising a priority needs privileges
// an ordinary process lacks; the thread then keeps its current value.
void Thread::ApplyPriority() {
  const pid_t tid = impl_->tid.load();
  if (tid == 0) return;
  int nice = 0;
  switch (priority_.load()) {
    case ThreadPriority::Idle: nice = 19; break;
    case ThreadPriority::Lowest: nice = 2; break;
    case ThreadPriority::Lower: nice = 1; break;
    case ThreadPriority::Normal: nice = 0; break;
    case ThreadPriority::Higher: nice = -1; break;
    case ThreadPriority::Highest: nice = -2; break;
    case ThreadPriority::TimeCritical: nice = -15; break;
  }
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
}

}  // namespace kavtel::platform
