#include <process.h>
#include <windows.h>

#include "platform/thread.h"
#include "thread_impl.h"

namespace kavtel::platform {

struct ThreadEntry {
  static unsigned __stdcall Start(void* arg) {
    Thread::Run(static_cast<Thread*>(arg));
    return 0;
  }
};

Thread::Thread() : impl_(std::make_unique<Impl>()) {}

Thread::~Thread() {
  Terminate();
  WaitFor();
  if (impl_->handle != nullptr) CloseHandle(impl_->handle);
}

void Thread::Resume() {
  std::lock_guard<std::mutex> hold(impl_->startLock);
  if (started_.load()) return;
  unsigned id = 0;
  // Created suspended so that the priority is in place before the body runs.
  auto h = reinterpret_cast<HANDLE>(
      _beginthreadex(nullptr, 0, &ThreadEntry::Start, this, CREATE_SUSPENDED, &id));
  if (h == nullptr) return;
  impl_->handle = h;
  impl_->id = id;
  started_.store(true);
  ApplyPriority();
  ResumeThread(h);
}

void Thread::WaitFor() {
  if (IsCurrentThread()) return;
  std::lock_guard<std::mutex> hold(impl_->startLock);
  if (impl_->handle != nullptr) {
    WaitForSingleObject(impl_->handle, INFINITE);
  }
}

bool Thread::IsCurrentThread() const { return impl_->id != 0 && impl_->id == GetCurrentThreadId(); }

void Thread::ApplyPriority() {
  if (impl_->handle == nullptr) return;
  int p = THREAD_PRIORITY_NORMAL;
  switch (priority_.load()) {
    case ThreadPriority::Idle: p = THREAD_PRIORITY_IDLE; break;
    case ThreadPriority::Lowest: p = THREAD_PRIORITY_LOWEST; break;
    case ThreadPriority::Lower: p = THREAD_PRIORITY_BELOW_NORMAL; break;
    case ThreadPriority::Normal: p = THREAD_PRIORITY_NORMAL; break;
    case ThreadPriority::Higher: p = THREAD_PRIORITY_ABOVE_NORMAL; break;
    case ThreadPriority::Highest: p = THREAD_PRIORITY_HIGHEST; break;
    case ThreadPriority::TimeCritical: p = THREAD_PRIORITY_TIME_CRITICAL; break;
  }
  SetThreadPriority(impl_->handle, p);
}

}  // namespace kavtel::platform
