#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>

#include "com_path.h"
#include "event_fd.h"
#include "platform/comm_device.h"
#include "platform/wait.h"

// The comm device on a POSIX terminal.
//
// - The line is raw and 8-bit clean: no echo, no line editing, no CR/LF
//   translation, no signals; every byte value passes unchanged.
// - The event wait polls the device for input (EV_RXCHAR) together with the
//   stop event's descriptor. EV_TXEMPTY, modem-line, break and error events
//   are never reported: a terminal offers no cheap way to wait for them.
// - A pseudo-terminal has no modem lines and no error counters: the modem
//   status reads as "no lines", line errors as "none", and line-control
//   requests it refuses count as done. Whether the device keeps error
//   counters is learnt once, when it opens; a device without them is not
//   asked again on every status query.
// - A pseudo-terminal's output queue is always empty: what its writer wrote
//   is already in the other side's input. The status reports 0 without
//   asking.
// - The input count of the status right after an event wait is the count
//   that wait saw (bytes are only taken out of the queue by reads, which
//   follow the status): one query instead of two per wake-up.
// - PURGE_TXCLEAR leaves a pseudo-terminal alone: its written bytes are
//   already in the other side's input.
// - A hang-up (the device vanished, or a pseudo-terminal's other side
//   closed) fails the event wait, reads and writes; nothing retries it.
// - PURGE_RXABORT/PURGE_TXABORT end a read or write that is blocked in
//   progress, through a descriptor per direction that the blocked call also
//   polls. A read or write clears an abort that came before it started, and
//   only looks when a purge has signalled one since the last look.
// - LastError() is the errno of the last failing call on the calling thread.

namespace kavtel::platform {

namespace {

thread_local std::uint32_t lastError = 0;

bool Fail(int err) {
  lastError = static_cast<std::uint32_t>(err);
  return false;
}

// Unix98 pseudo-terminal slaves have the major numbers 136 to 143.
bool IsPseudoTerminal(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  const unsigned major = major(st.st_rdev);
  return S_ISCHR(st.st_mode) && major >= 136 && major <= 143;
}

speed_t SpeedFor(std::uint32_t rate, bool& ok) {
  ok = true;
  switch (rate) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    default: ok = false; return B0;
  }
}

// Milliseconds left until `deadline`, as a poll() time-out; -1 without one.
int PollTimeout(bool bounded, std::chrono::steady_clock::time_point deadline) {
  if (!bounded) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

void Drain(int fd) {
  eventfd_t value = 0;
  (void)::eventfd_read(fd, &value);
}

// An abort descriptor with the count of the aborts signalled on it, so that
// a read or write drains it only when an abort came since the last drain.
// The purge signals the descriptor before it counts: a call that sees the
// new count drains that signal, and a call that does not see it yet is
// ended by it, as a call in progress when the purge came.
struct AbortSignal {
  int fd = -1;
  std::atomic<std::uint32_t> raised{0};
  std::atomic<std::uint32_t> cleared{0};  // the count at the last drain

  void Raise() {
    (void)::eventfd_write(fd, 1);
    raised.fetch_add(1, std::memory_order_release);
  }
  // Before a read or write starts: forget aborts that came before it.
  void ClearStale() {
    const std::uint32_t now = raised.load(std::memory_order_acquire);
    if (now == cleared.load(std::memory_order_relaxed)) return;
    Drain(fd);
    cleared.store(now, std::memory_order_relaxed);
  }
  void Reset(int newFd) {
    fd = newFd;
    raised.store(0);
    cleared.store(0);
  }
};

class PosixCommDevice final : public CommDevice {
 public:
  ~PosixCommDevice() override { Close(); }

  bool Open(std::int32_t portIndex) override {
    if (fd_ >= 0) return Fail(EBUSY);
    if (portIndex < 1) return Fail(ENOENT);
    const std::string path = ComDevicePath(portIndex);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Fail(errno);
    // No sharing: a second open of the same device fails as a busy port.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno == EWOULDBLOCK ? EBUSY : errno;
      ::close(fd);
      return Fail(err);
    }
    (void)::ioctl(fd, TIOCEXCL);  // a pseudo-terminal may refuse it
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
      const int err = errno;
      ::close(fd);
      return Fail(err);
    }
    const int readAbort = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    const int writeAbort = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (readAbort < 0 || writeAbort < 0) {
      const int err = errno;
      if (readAbort >= 0) ::close(readAbort);
      if (writeAbort >= 0) ::close(writeAbort);
      ::close(fd);
      return Fail(err);
    }
    pty_ = IsPseudoTerminal(fd);
    readAbort_.Reset(readAbort);
    writeAbort_.Reset(writeAbort);
    waitedCount_.store(-1);
    {
      std::lock_guard<std::mutex> hold(stateLock_);
      timeouts_ = CommTimeouts{};
      icount_ = {};
      // A device that refuses the counters now (a pseudo-terminal, most USB
      // adapters) refuses them for good: it is not asked again.
      errorCounters_ = ::ioctl(fd, TIOCGICOUNT, &icount_) == 0;
    }
    mask_.store(0);
    fd_ = fd;
    return true;
  }

  void Close() override {
    if (fd_ < 0) return;
    ::close(fd_);
    ::close(readAbort_.fd);
    ::close(writeAbort_.fd);
    fd_ = -1;
    readAbort_.Reset(-1);
    writeAbort_.Reset(-1);
  }

  bool IsOpen() const override { return fd_ >= 0; }

  // The kernel sizes a terminal's queues itself.
  bool Setup(std::uint32_t, std::uint32_t) override { return fd_ >= 0 ? true : Fail(EBADF); }

  bool SetState(const Dcb& dcb) override {
    if (fd_ < 0) return Fail(EBADF);
    bool known = false;
    const speed_t speed = SpeedFor(dcb.BaudRate, known);
    if (!known) return Fail(EINVAL);
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) return Fail(errno);
    ::cfmakeraw(&tio);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | PARMRK | IGNPAR);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    switch (dcb.ByteSize) {
      case 5: tio.c_cflag |= CS5; break;
      case 6: tio.c_cflag |= CS6; break;
      case 7: tio.c_cflag |= CS7; break;
      case 8: tio.c_cflag |= CS8; break;
      default: return Fail(EINVAL);
    }
    switch (dcb.Parity) {
      case kNoParity: break;
      case kOddParity: tio.c_cflag |= PARENB | PARODD; break;
      case kEvenParity: tio.c_cflag |= PARENB; break;
      case kMarkParity: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
      case kSpaceParity: tio.c_cflag |= PARENB | CMSPAR; break;
      default: return Fail(EINVAL);
    }
    // A terminal knows no 1.5 stop bits; the longer setting is the closer one.
    if (dcb.StopBits == kOne5StopBits || dcb.StopBits == kTwoStopBits) tio.c_cflag |= CSTOPB;
    if ((dcb.Flags & kDcbParity) != 0) tio.c_iflag |= INPCK;
    if ((dcb.Flags & kDcbOutX) != 0) tio.c_iflag |= IXON;
    if ((dcb.Flags & kDcbInX) != 0) tio.c_iflag |= IXOFF;
    const std::uint32_t rts = (dcb.Flags >> kDcbRtsControlShift) & 3u;
    if ((dcb.Flags & kDcbOutxCtsFlow) != 0 || rts == kRtsControlHandshake) tio.c_cflag |= CRTSCTS;
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    if (::tcsetattr(fd_, TCSANOW, &tio) != 0) return Fail(errno);
    // The lines that the block holds steadily on or off.
    const std::uint32_t dtr = (dcb.Flags >> kDcbDtrControlShift) & 3u;
    if (dtr != kDtrControlHandshake && !Escape(dtr == kDtrControlEnable ? kSetDtr : kClrDtr)) {
      return false;
    }
    if ((rts == kRtsControlEnable || rts == kRtsControlDisable) &&
        !Escape(rts == kRtsControlEnable ? kSetRts : kClrRts)) {
      return false;
    }
    return true;
  }

  bool SetTimeouts(const CommTimeouts& timeouts) override {
    if (fd_ < 0) return Fail(EBADF);
    std::lock_guard<std::mutex> hold(stateLock_);
    timeouts_ = timeouts;
    return true;
  }

  bool SetMask(std::uint32_t mask) override {
    if (fd_ < 0) return Fail(EBADF);
    mask_.store(mask);
    return true;
  }

  std::uint32_t WaitEvent(Event& stop, Event&, std::uint32_t& mask) override {
    mask = 0;
    const int stopFd = EventPollFd(stop);
    if (fd_ < 0 || stopFd < 0) {
      Fail(fd_ < 0 ? EBADF : errno);
      return kWaitFailed;
    }
    const bool wantInput = (mask_.load() & kEvRxChar) != 0;
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {fd_, static_cast<short>(wantInput ? POLLIN : 0), 0}};
    for (;;) {
      const int n = ::poll(fds, 2, -1);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        Fail(errno);
        return kWaitFailed;
      }
      break;
    }
    if ((fds[0].revents & POLLIN) != 0) return kWaitObject0;
    if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      Fail(EIO);
      return kWaitFailed;
    }
    int waiting = 0;
    if (::ioctl(fd_, FIONREAD, &waiting) != 0) {
      Fail(errno);
      return kWaitFailed;
    }
    // Readable with nothing to read is the end of the input: a hang-up.
    if (waiting <= 0) {
      Fail(EIO);
      return kWaitFailed;
    }
    waitedCount_.store(waiting);
    mask = kEvRxChar;
    return kWaitObject0 + 1;
  }

  bool ClearError(std::uint32_t& errors, ComStat& status) override {
    errors = 0;
    status = ComStat{};
    if (fd_ < 0) return Fail(EBADF);
    int in = waitedCount_.exchange(-1);
    int out = 0;
    if (in < 0 && ::ioctl(fd_, FIONREAD, &in) != 0) return Fail(errno);
    if (!pty_ && ::ioctl(fd_, TIOCOUTQ, &out) != 0) return Fail(errno);
    status.cbInQue = static_cast<std::uint32_t>(in);
    status.cbOutQue = static_cast<std::uint32_t>(out);
    // A UART counts its line errors; report those since the last call.
    serial_icounter_struct now{};
    std::lock_guard<std::mutex> hold(stateLock_);
    if (errorCounters_ && ::ioctl(fd_, TIOCGICOUNT, &now) == 0) {
      if (now.frame != icount_.frame) errors |= kCeFrame;
      if (now.parity != icount_.parity) errors |= kCeRxParity;
      if (now.overrun != icount_.overrun) errors |= kCeOverrun;
      if (now.brk != icount_.brk) errors |= kCeBreak;
      if (now.buf_overrun != icount_.buf_overrun) errors |= kCeRxOver;
      icount_ = now;
    }
    return true;
  }

  CommIo Read(void* buffer, std::uint32_t count, std::uint32_t& transferred) override {
    transferred = 0;
    if (fd_ < 0) {
      Fail(EBADF);
      return CommIo::StartFailed;
    }
    readAbort_.ClearStale();
    const CommTimeouts t = Timeouts();
    // MAXDWORD interval with no totals: return at once with what is there.
    const bool immediate = t.ReadIntervalTimeout == kMaxDword &&
                           t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    const bool bounded = t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0;
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::milliseconds(static_cast<std::uint64_t>(t.ReadTotalTimeoutMultiplier) * count +
                                  t.ReadTotalTimeoutConstant);
    const bool interval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxDword;
    auto* bytes = static_cast<unsigned char*>(buffer);
    bool polledReady = false;
    while (transferred < count) {
      const ssize_t n = ::read(fd_, bytes + transferred, count - transferred);
      if (n > 0) {
        transferred += static_cast<std::uint32_t>(n);
        polledReady = false;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) {
        Fail(errno);
        return CommIo::CompletionFailed;
      }
      // Nothing waiting: a raw line (VMIN and VTIME 0) reads 0 for that, not
      // EAGAIN. Only a 0 right after the line polled ready means it hung up.
      if (n == 0 && polledReady) {
        Fail(EIO);
        return CommIo::CompletionFailed;
      }
      if (immediate) break;
      int timeout = PollTimeout(bounded, deadline);
      if (interval && transferred > 0 &&
          (timeout < 0 || timeout > static_cast<int>(t.ReadIntervalTimeout))) {
        timeout = static_cast<int>(t.ReadIntervalTimeout);
      }
      const int ready = WaitReady(POLLIN, readAbort_.fd, timeout);
      if (ready == 0) break;  // a time-out ends the read with what it has
      if (ready < 0) return CommIo::CompletionFailed;
      polledReady = true;
    }
    return CommIo::Done;
  }

  std::uint32_t Write(const void* data, std::uint32_t count) override {
    if (fd_ < 0) {
      Fail(EBADF);
      return 0;
    }
    writeAbort_.ClearStale();
    const CommTimeouts t = Timeouts();
    const bool bounded = t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0;
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::milliseconds(static_cast<std::uint64_t>(t.WriteTotalTimeoutMultiplier) * count +
                                  t.WriteTotalTimeoutConstant);
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::uint32_t done = 0;
    while (done < count) {
      const ssize_t n = ::write(fd_, bytes + done, count - done);
      if (n > 0) {
        done += static_cast<std::uint32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) {
        Fail(errno);
        return 0;
      }
      const int ready = WaitReady(POLLOUT, writeAbort_.fd, PollTimeout(bounded, deadline));
      if (ready == 0) break;  // the write time-out: the count so far
      if (ready < 0) return 0;
    }
    return done;
  }

  bool Purge(std::uint32_t flags) override {
    if (fd_ < 0) return Fail(EBADF);
    if ((flags & kPurgeRxAbort) != 0) readAbort_.Raise();
    if ((flags & kPurgeTxAbort) != 0) writeAbort_.Raise();
    const bool rx = (flags & kPurgeRxClear) != 0;
    if (rx) waitedCount_.store(-1);
    // What a pseudo-terminal's writer wrote is already with the other side
    // (flushing it would take bytes the other side has not read yet, which
    // a Windows port would have transmitted long before).
    const bool tx = (flags & kPurgeTxClear) != 0 && !pty_;
    if ((rx || tx) && ::tcflush(fd_, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH) != 0) {
      return Fail(errno);
    }
    return true;
  }

  bool Escape(std::uint32_t function) override {
    if (fd_ < 0) return Fail(EBADF);
    int rc = 0;
    int bits = 0;
    switch (function) {
      case kSetXoff: rc = ::tcflow(fd_, TCOOFF); break;
      case kSetXon: rc = ::tcflow(fd_, TCOON); break;
      case kSetRts: bits = TIOCM_RTS; rc = ::ioctl(fd_, TIOCMBIS, &bits); break;
      case kClrRts: bits = TIOCM_RTS; rc = ::ioctl(fd_, TIOCMBIC, &bits); break;
      case kSetDtr: bits = TIOCM_DTR; rc = ::ioctl(fd_, TIOCMBIS, &bits); break;
      case kClrDtr: bits = TIOCM_DTR; rc = ::ioctl(fd_, TIOCMBIC, &bits); break;
      case kSetBreak: rc = ::ioctl(fd_, TIOCSBRK); break;
      case kClrBreak: rc = ::ioctl(fd_, TIOCCBRK); break;
      default: return Fail(EINVAL);
    }
    if (rc == 0) return true;
    if (pty_ && (errno == ENOTTY || errno == EINVAL)) return true;  // no lines to drive
    return Fail(errno);
  }

  bool ModemStatus(std::uint32_t& status) override {
    status = 0;
    if (fd_ < 0) return Fail(EBADF);
    int lines = 0;
    if (::ioctl(fd_, TIOCMGET, &lines) != 0) {
      if (pty_ && (errno == ENOTTY || errno == EINVAL)) return true;  // no lines
      return Fail(errno);
    }
    if ((lines & TIOCM_CTS) != 0) status |= kMsCtsOn;
    if ((lines & TIOCM_DSR) != 0) status |= kMsDsrOn;
    if ((lines & TIOCM_RI) != 0) status |= kMsRingOn;
    if ((lines & TIOCM_CD) != 0) status |= kMsRlsdOn;
    return true;
  }

  bool TransmitChar(char ch) override {
    if (fd_ < 0) return Fail(EBADF);
    const ssize_t n = ::write(fd_, &ch, 1);
    if (n == 1) return true;
    return Fail(n < 0 ? errno : EAGAIN);
  }

  std::uint32_t LastError() const override { return lastError; }

 private:
  CommTimeouts Timeouts() {
    std::lock_guard<std::mutex> hold(stateLock_);
    return timeouts_;
  }

  // Waits until the device is ready for `events`, the abort descriptor is
  // signalled or `timeoutMs` passes: 1 ready, 0 timed out, -1 failed or aborted.
  int WaitReady(short events, int abortFd, int timeoutMs) {
    pollfd fds[2] = {{fd_, events, 0}, {abortFd, POLLIN, 0}};
    int n = 0;
    do {
      n = ::poll(fds, 2, timeoutMs);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      Fail(errno);
      return -1;
    }
    if (n == 0) return 0;
    if ((fds[1].revents & POLLIN) != 0) {
      Fail(ECANCELED);
      return -1;
    }
    if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (fds[0].revents & events) == 0) {
      Fail(EIO);
      return -1;
    }
    return 1;
  }

  int fd_ = -1;
  AbortSignal readAbort_;
  AbortSignal writeAbort_;
  bool pty_ = false;
  std::atomic<std::uint32_t> mask_{0};
  // The input count the last event wait saw, for the status that follows
  // it; -1 once taken.
  std::atomic<int> waitedCount_{-1};
  std::mutex stateLock_;  // the time-outs and line-error counts, read on any thread
  CommTimeouts timeouts_{};
  bool errorCounters_ = false;  // the device keeps line-error counters
  serial_icounter_struct icount_{};
};

}  // namespace

std::unique_ptr<CommDevice> CreateCommDevice() { return std::make_unique<PosixCommDevice>(); }

}  // namespace kavtel::platform
