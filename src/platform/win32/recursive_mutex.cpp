#include <windows.h>

#include "platform/recursive_mutex.h"

namespace kavtel::platform {

struct RecursiveMutex::Impl {
  HANDLE handle;
};

RecursiveMutex::RecursiveMutex() : impl_(new Impl{CreateMutexA(nullptr, FALSE, nullptr)}) {}

// Takes the mutex (blocking while another thread holds it), then closes the
// handle without releasing it.
RecursiveMutex::~RecursiveMutex() {
  if (impl_->handle == nullptr) return;
  WaitForSingleObject(impl_->handle, INFINITE);
  CloseHandle(impl_->handle);
}

void RecursiveMutex::Lock() { WaitForSingleObject(impl_->handle, INFINITE); }
// An abandoned mutex (its holder ended without releasing it) is taken too,
// as Lock takes it.
bool RecursiveMutex::TryLock(std::uint32_t timeoutMs) {
  const DWORD r = WaitForSingleObject(impl_->handle, timeoutMs);
  return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}
void RecursiveMutex::Unlock() { ReleaseMutex(impl_->handle); }

}  // namespace kavtel::platform
