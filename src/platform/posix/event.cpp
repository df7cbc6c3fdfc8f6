#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/event.h"
#include "event_fd.h"

// Events emulated with one process-wide lock: every event's state and its
// list of waiters live under it, and each wait brings its own condition
// variable, so one wait can watch several events at once (as Windows'
// WaitForMultipleObjects does) without lock-ordering questions.
//
// An event may also carry an eventfd that mirrors its signalled state, so
// that poll() can wait on it together with a device (EventPollFd).

namespace kavtel::platform {

namespace {
std::mutex& EventsLock() {
  static std::mutex lock;
  return lock;
}
}  // namespace

struct Event::Impl {
  bool manual;
  bool signalled;
  std::vector<std::condition_variable*> waiters;
  int fd = -1;  // the pollable mirror, made on first request

  void Raise() {
    signalled = true;
    if (fd >= 0) (void)::eventfd_write(fd, 1);
    for (auto* w : waiters) w->notify_all();
  }
  void Lower() {
    signalled = false;
    eventfd_t drained = 0;
    if (fd >= 0) (void)::eventfd_read(fd, &drained);
  }
};

Event::Event(bool manualReset, bool initialState)
    : impl_(new Impl{manualReset, initialState, {}}) {}

Event::~Event() {
  if (impl_->fd >= 0) ::close(impl_->fd);
}

void Event::Set() {
  std::lock_guard<std::mutex> hold(EventsLock());
  impl_->Raise();
}

void Event::Reset() {
  std::lock_guard<std::mutex> hold(EventsLock());
  impl_->Lower();
}

int EventPollFd(Event& event) {
  std::lock_guard<std::mutex> hold(EventsLock());
  Event::Impl* impl = event.impl();
  if (impl->fd < 0) {
    impl->fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (impl->fd >= 0 && impl->signalled) (void)::eventfd_write(impl->fd, 1);
  }
  return impl->fd;
}

void* Event::NativeHandle() const { return nullptr; }

namespace {

// Index of the first signalled event, consuming an auto-reset signal; -1 if none.
int TakeFirst(Event::Impl* const* events, int count) {
  for (int i = 0; i < count; ++i) {
    if (events[i]->signalled) {
      if (!events[i]->manual) events[i]->Lower();
      return i;
    }
  }
  return -1;
}

std::uint32_t WaitAny(Event::Impl* const* events, int count, std::uint32_t timeoutMs) {
  std::unique_lock<std::mutex> hold(EventsLock());
  int hit = TakeFirst(events, count);
  if (hit >= 0) return kWaitObject0 + static_cast<std::uint32_t>(hit);
  if (timeoutMs == 0) return kWaitTimeout;

  std::condition_variable cv;
  for (int i = 0; i < count; ++i) events[i]->waiters.push_back(&cv);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::uint32_t result = kWaitTimeout;
  for (;;) {
    if (timeoutMs == kInfinite) {
      cv.wait(hold);
    } else if (cv.wait_until(hold, deadline) == std::cv_status::timeout) {
      hit = TakeFirst(events, count);
      if (hit >= 0) result = kWaitObject0 + static_cast<std::uint32_t>(hit);
      break;
    }
    hit = TakeFirst(events, count);
    if (hit >= 0) {
      result = kWaitObject0 + static_cast<std::uint32_t>(hit);
      break;
    }
  }
  for (int i = 0; i < count; ++i) {
    auto& ws = events[i]->waiters;
    for (auto it = ws.begin(); it != ws.end(); ++it) {
      if (*it == &cv) {
        ws.erase(it);
        break;
      }
    }
  }
  return result;
}

}  // namespace

std::uint32_t Event::Wait(std::uint32_t timeoutMs) {
  Impl* one[1] = {impl_.get()};
  return WaitAny(one, 1, timeoutMs);
}

std::uint32_t Event::WaitForFirst(Event& first, Event& second, std::uint32_t timeoutMs) {
  Impl* two[2] = {first.impl_.get(), second.impl_.get()};
  return WaitAny(two, 2, timeoutMs);
}

}  // namespace kavtel::platform
