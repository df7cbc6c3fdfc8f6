#pragma once

// A tiny host for the simulator's tests: it opens the slave side of the
// simulator's line like a serial port (raw), frames commands with its own
// checksum code and reads the treadmill's answers.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace kavtel::sim::test {

using Clock = std::chrono::steady_clock;

constexpr char kSohByte = 0x01;
constexpr char kAckByte = 0x06;
constexpr char kNakByte = 0x15;
constexpr char kEtbByte = 0x17;

// SOH + body + (byte sum of body modulo 100, two digits) + ETB.
inline std::string HostFrame(std::string_view body) {
  unsigned sum = 0;
  for (const char c : body) sum += static_cast<unsigned char>(c);
  std::string frame(1, kSohByte);
  frame += body;
  frame += static_cast<char>('0' + sum % 100 / 10);
  frame += static_cast<char>('0' + sum % 10);
  frame += kEtbByte;
  return frame;
}

// An answer frame taken apart: whatever came before its SOH, its code, its
// payload and whether its checksum digits are right.
struct Answer {
  std::string junk;
  std::string code;
  std::string payload;
  bool checksum_ok = false;
};

inline Answer Dissect(const std::string& unit) {
  Answer answer;
  const auto soh = unit.find(kSohByte);
  if (soh == std::string::npos || unit.back() != kEtbByte || unit.size() - soh < 7) {
    answer.junk = unit;
    return answer;
  }
  answer.junk = unit.substr(0, soh);
  const std::string body = unit.substr(soh + 1, unit.size() - soh - 4);
  answer.code = body.substr(0, 3);
  answer.payload = body.substr(3);
  answer.checksum_ok = HostFrame(body) == unit.substr(soh);
  return answer;
}

class HostLine {
 public:
  explicit HostLine(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "open " + path);
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
  }
  ~HostLine() { close(fd_); }
  HostLine(const HostLine&) = delete;
  HostLine& operator=(const HostLine&) = delete;

  void Write(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = write(fd_, bytes.data(), bytes.size());
      if (n < 0 && errno == EAGAIN) continue;
      if (n < 0) throw std::system_error(errno, std::generic_category(), "write");
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  void Send(std::string_view body) { Write(HostFrame(body)); }
  void Ack() {
    Write(std::string(1, kAckByte));
    ++acks_written_;
  }
  unsigned acks_written() const { return acks_written_; }
  void Nak() { Write(std::string(1, kNakByte)); }

  // The next unit from the treadmill: everything up to and including an ETB,
  // or a NAK that is not inside a frame. Empty when none completes in time.
  std::optional<std::string> ReadUnit(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      if (auto unit = TakeUnit()) return unit;
      if (!Fill(deadline)) return std::nullopt;
    }
  }

  // Sends a command, reads the answer and acknowledges it if it is a frame.
  Answer Exchange(std::string_view body) {
    Send(body);
    const auto unit = ReadUnit();
    if (!unit) return {};
    if (unit->back() == kEtbByte) Ack();
    return Dissect(*unit);
  }

  // Everything that arrives within `quiet`.
  std::string ReadFor(std::chrono::milliseconds quiet) {
    const auto deadline = Clock::now() + quiet;
    while (Fill(deadline)) {
    }
    std::string all;
    all.swap(pending_);
    return all;
  }

  // The chunks in which bytes arrive until an ETB, each with its arrival time.
  struct Chunk {
    std::string bytes;
    Clock::time_point time;
  };
  std::vector<Chunk> ReadChunksToEtb(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::vector<Chunk> chunks;
    const auto deadline = Clock::now() + timeout;
    while (Fill(deadline)) {
      chunks.push_back({pending_, Clock::now()});
      const bool done = pending_.find(kEtbByte) != std::string::npos;
      pending_.clear();
      if (done) break;
    }
    return chunks;
  }

  // True once the line reports a hang-up (reads fail or end).
  bool HungUp(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 10) > 0) {
        if (p.revents & (POLLHUP | POLLERR)) return true;
        char byte;
        const ssize_t n = read(fd_, &byte, 1);
        if (n == 0 || (n < 0 && errno != EAGAIN)) return true;
      }
    }
    return false;
  }

 private:
  std::optional<std::string> TakeUnit() {
    bool in_frame = false;
    for (std::size_t i = 0; i < pending_.size(); ++i) {
      const char c = pending_[i];
      if (c == kSohByte) in_frame = true;
      if (c == kEtbByte || (c == kNakByte && !in_frame)) {
        std::string unit = pending_.substr(0, i + 1);
        pending_.erase(0, i + 1);
        return unit;
      }
    }
    return std::nullopt;
  }

  // Waits for bytes until the deadline; false when none came.
  bool Fill(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[512];
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n <= 0) return n < 0 && errno == EAGAIN ? Fill(deadline) : false;
    pending_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  int fd_ = -1;
  std::string pending_;
  unsigned acks_written_ = 0;
};

}  // namespace kavtel::sim::test
