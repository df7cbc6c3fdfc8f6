#pragma once

#include <cstdint>
#include <memory>

#include "platform/wait.h"

namespace kavtel::platform {

// An unnamed operating-system event: manual reset (stays signalled until
// reset) or auto reset (a successful wait takes the signal away).
class Event {
 public:
  Event(bool manualReset, bool initialState);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();

  // kWaitObject0 when signalled, kWaitTimeout after timeoutMs, kWaitFailed
  // when the wait itself failed. kInfinite waits without a limit.
  std::uint32_t Wait(std::uint32_t timeoutMs);

  // Waits for whichever of the two is signalled first: kWaitObject0 + 0 for
  // `first`, kWaitObject0 + 1 for `second`; when both are signalled the lower
  // index wins (and only that one is consumed if it is auto reset).
  static std::uint32_t WaitForFirst(Event& first, Event& second, std::uint32_t timeoutMs);

  // The operating system's handle (a Windows HANDLE); null on POSIX.
  void* NativeHandle() const;

  struct Impl;
  Impl* impl() const { return impl_.get(); }

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace kavtel::platform
