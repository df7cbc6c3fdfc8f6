#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/wait_until.h"

namespace kavtel::test {

// A pseudo-terminal pair: the test holds the master side, the code under
// test opens the slave (through KAVTEL_COM<n>).
class PseudoTerminal {
 public:
  PseudoTerminal() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) {
      slave_ = ::ptsname(master_);
    }
  }
  ~PseudoTerminal() { CloseMaster(); }
  bool Ok() const { return master_ >= 0 && !slave_.empty(); }
  const std::string& Slave() const { return slave_; }
  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  void Write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      ASSERT_GT(n, 0);
      done += static_cast<std::size_t>(n);
    }
  }
  // Reads until `count` bytes have come or the generous deadline passed.
  std::string Read(std::size_t count) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + kGenerous;
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buf[512];
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

}  // namespace kavtel::test
