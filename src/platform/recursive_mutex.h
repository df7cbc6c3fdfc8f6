#pragma once

#include <cstdint>
#include <memory>

namespace kavtel::platform {

// A mutex that its holder may take again; it is free for other threads once
// the holder has released it as often as it took it.
class RecursiveMutex {
 public:
  RecursiveMutex();
  // Waits until no other thread holds the mutex, then frees it.
  ~RecursiveMutex();
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void Lock();
  // Takes the mutex if no other thread holds it or lets go of it within
  // timeoutMs (0: never waits); false when it could not be taken.
  bool TryLock(std::uint32_t timeoutMs = 0);
  void Unlock();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kavtel::platform
