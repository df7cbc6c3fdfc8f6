#include <errno.h>
#include <time.h>

#include <cstdio>
#include <thread>

#include "platform/system.h"

namespace kavtel::platform {

std::uint32_t TickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                  static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

void SleepMs(std::uint32_t ms) {
  if (ms == 0) {
    std::this_thread::yield();
    return;
  }
  timespec req{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
  while (nanosleep(&req, &req) != 0 && errno == EINTR) {
  }
}

LocalDate Today() {
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

int ShowMessageBox(const std::string& text, const std::string& caption, std::uint32_t) {
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  return kIdOk;
}

}  // namespace kavtel::platform
