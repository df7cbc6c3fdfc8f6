#pragma once

// What the test process holds, read from /proc (Linux): its threads, its
// open descriptors, and its CPU time so far.

#include <dirent.h>
#include <time.h>

#include <cstddef>

namespace kavtel::test {

inline std::size_t Entries(const char* folder) {
  std::size_t n = 0;
  if (DIR* d = ::opendir(folder)) {
    while (::readdir(d) != nullptr) ++n;
    ::closedir(d);
  }
  return n;
}
inline std::size_t OpenDescriptors() { return Entries("/proc/self/fd"); }
inline std::size_t Threads() { return Entries("/proc/self/task"); }

inline double CpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace kavtel::test
