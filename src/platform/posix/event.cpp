#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/event.h"
#include "event_fd.h"

// Events emulated with a lock per event: an event's state and its list of
// waiters live under its own lock, so devices (and the threads of one
// device) that use different events never meet on a lock.
//
// A wait brings a waiter record of its own (lock, condition variable and a
// "woken" flag) and enters it in the list of every event it watches, so one
// wait can watch several events at once (as Windows' WaitForMultipleObjects
// does). Locks are only ever taken in one order, an event's before a
// waiter's, and a wait never holds two events' locks at once.
//
// An event may also carry an eventfd that mirrors its signalled state, so
// that poll() can wait on it together with a device (EventPollFd). The
// mirror is written and drained only when the state changes, so setting a
// set event or resetting a reset one makes no system call.

namespace kavtel::platform {

namespace {

struct Waiter {
  std::mutex lock;
  std::condition_variable cv;
  bool woken = false;

  void Wake() {
    std::lock_guard<std::mutex> hold(lock);
    woken = true;
    cv.notify_one();
  }
};

}  // namespace

struct Event::Impl {
  std::mutex lock;
  bool manual;
  bool signalled;
  std::vector<Waiter*> waiters;
  int fd = -1;  // the pollable mirror, made on first request

  Impl(bool manualReset, bool initialState) : manual(manualReset), signalled(initialState) {}

  // The lock is held.
  void Raise() {
    if (!signalled) {
      signalled = true;
      if (fd >= 0) (void)::eventfd_write(fd, 1);
    }
    for (Waiter* w : waiters) w->Wake();
  }
  void Lower() {
    if (!signalled) return;
    signalled = false;
    eventfd_t drained = 0;
    if (fd >= 0) (void)::eventfd_read(fd, &drained);
  }
  // Takes the signal if there is one (consuming an auto-reset one).
  bool Take() {
    std::lock_guard<std::mutex> hold(lock);
    if (!signalled) return false;
    if (!manual) Lower();
    return true;
  }
  void Enter(Waiter* w) {
    std::lock_guard<std::mutex> hold(lock);
    waiters.push_back(w);
  }
  void Leave(Waiter* w) {
    std::lock_guard<std::mutex> hold(lock);
    for (auto it = waiters.begin(); it != waiters.end(); ++it) {
      if (*it == w) {
        waiters.erase(it);
        break;
      }
    }
  }
};

Event::Event(bool manualReset, bool initialState)
    : impl_(new Impl(manualReset, initialState)) {}

Event::~Event() {
  if (impl_->fd >= 0) ::close(impl_->fd);
}

void Event::Set() {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->Raise();
}

void Event::Reset() {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->Lower();
}

int EventPollFd(Event& event) {
  Event::Impl* impl = event.impl();
  std::lock_guard<std::mutex> hold(impl->lock);
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
    if (events[i]->Take()) return i;
  }
  return -1;
}

std::uint32_t WaitAny(Event::Impl* const* events, int count, std::uint32_t timeoutMs) {
  int hit = TakeFirst(events, count);
  if (hit >= 0) return kWaitObject0 + static_cast<std::uint32_t>(hit);
  if (timeoutMs == 0) return kWaitTimeout;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  Waiter waiter;
  for (int i = 0; i < count; ++i) events[i]->Enter(&waiter);
  // A signal between the first look and the entry above woke no one: look
  // again before sleeping. From here on every Set marks the waiter woken.
  hit = TakeFirst(events, count);
  while (hit < 0) {
    bool timedOut = false;
    {
      std::unique_lock<std::mutex> hold(waiter.lock);
      if (timeoutMs == kInfinite) {
        waiter.cv.wait(hold, [&] { return waiter.woken; });
      } else {
        timedOut = !waiter.cv.wait_until(hold, deadline, [&] { return waiter.woken; });
      }
      waiter.woken = false;
    }
    hit = TakeFirst(events, count);
    if (timedOut) break;
  }
  for (int i = 0; i < count; ++i) events[i]->Leave(&waiter);
  return hit >= 0 ? kWaitObject0 + static_cast<std::uint32_t>(hit) : kWaitTimeout;
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
