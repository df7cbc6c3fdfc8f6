#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace kavtel::test {

// Generous by design: the machines are shared and noisy, and a correct run
// ends as soon as its condition holds.
constexpr std::chrono::milliseconds kGenerous{20000};

// Polls `done` until it holds or the deadline passes; returns its last value.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds deadline = kGenerous) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace kavtel::test
