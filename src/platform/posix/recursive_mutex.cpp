#include <mutex>

#include "platform/recursive_mutex.h"

namespace kavtel::platform {

struct RecursiveMutex::Impl {
  std::recursive_mutex mutex;
};

RecursiveMutex::RecursiveMutex() : impl_(std::make_unique<Impl>()) {}

// A POSIX mutex may not be destroyed while held: wait for the holder, then
// let go before it is freed.
RecursiveMutex::~RecursiveMutex() {
  impl_->mutex.lock();
  impl_->mutex.unlock();
}

void RecursiveMutex::Lock() { impl_->mutex.lock(); }
bool RecursiveMutex::TryLock() { return impl_->mutex.try_lock(); }
void RecursiveMutex::Unlock() { impl_->mutex.unlock(); }

}  // namespace kavtel::platform
