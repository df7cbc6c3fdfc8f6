#include <pthread.h>
#include <time.h>

#include "platform/recursive_mutex.h"

namespace kavtel::platform {

// A recursive POSIX mutex. The timed try waits with pthread_mutex_timedlock,
// which takes a wall-clock deadline: a clock step during the wait makes it
// end early or late, which a bounded try may afford (it only ever gives up
// a tick). The monotonic variant is not seen by the thread checker.
struct RecursiveMutex::Impl {
  pthread_mutex_t mutex;
  Impl() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mutex, &attr);
    pthread_mutexattr_destroy(&attr);
  }
  ~Impl() { pthread_mutex_destroy(&mutex); }
};

RecursiveMutex::RecursiveMutex() : impl_(std::make_unique<Impl>()) {}

// A POSIX mutex may not be destroyed while held: wait for the holder, then
// let go before it is freed.
RecursiveMutex::~RecursiveMutex() {
  pthread_mutex_lock(&impl_->mutex);
  pthread_mutex_unlock(&impl_->mutex);
}

void RecursiveMutex::Lock() { pthread_mutex_lock(&impl_->mutex); }

bool RecursiveMutex::TryLock(std::uint32_t timeoutMs) {
  if (timeoutMs == 0) return pthread_mutex_trylock(&impl_->mutex) == 0;
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
  deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return pthread_mutex_timedlock(&impl_->mutex, &deadline) == 0;
}

void RecursiveMutex::Unlock() { pthread_mutex_unlock(&impl_->mutex); }

}  // namespace kavtel::platform
