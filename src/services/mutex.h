#pragma once

#include <cstdint>
#include <mutex>

#include "kavtel/export.h"
#include "platform/recursive_mutex.h"
#include "services/root_object.h"

namespace kavtel {

// A re-entrant mutex: its holder may take it again and must release it once
// for every WaitFor.
class KAVTEL_API TAPPSYSMutex : public TObject {
 public:
  TAPPSYSMutex() = default;
  // Waits until no other thread holds the mutex.
  ~TAPPSYSMutex() override = default;
  void WaitFor() { mutex_.Lock(); }
  // Takes the mutex unless another thread holds it for longer than
  // timeoutMs (0: unless another thread holds it at all).
  bool TryWaitFor(std::uint32_t timeoutMs = 0) { return mutex_.TryLock(timeoutMs); }
  void Release() { mutex_.Unlock(); }

 private:
  platform::RecursiveMutex mutex_;
};

// Holds a TAPPSYSMutex for the lifetime of a scope.
class TAPPSYSMutexHold {
 public:
  explicit TAPPSYSMutexHold(TAPPSYSMutex& mutex) : mutex_(mutex) { mutex_.WaitFor(); }
  // Takes over a mutex the caller holds already.
  TAPPSYSMutexHold(TAPPSYSMutex& mutex, std::adopt_lock_t) : mutex_(mutex) {}
  ~TAPPSYSMutexHold() { mutex_.Release(); }
  TAPPSYSMutexHold(const TAPPSYSMutexHold&) = delete;
  TAPPSYSMutexHold& operator=(const TAPPSYSMutexHold&) = delete;

 private:
  TAPPSYSMutex& mutex_;
};

}  // namespace kavtel
