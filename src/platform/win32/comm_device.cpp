#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/comm_device.h"

// The comm device on Windows: each call is the kernel32 call of the same
// name on a handle opened for overlapped I/O. The device keeps one
// overlapped record per kind of operation (event wait, read, write); the
// read and write records carry manual-reset events made with the device,
// the wait record uses the caller's completion event.
//
// The driver owns a record (and writes to it, and signals its event) until
// the operation completes, so no call returns while its operation is still
// with the driver: a wait left because of the stop event is cancelled and
// collected first, and Close cancels whatever still runs on other threads
// and keeps the handle until each operation has its record back.

namespace kavtel::platform {

static_assert(sizeof(::DCB) == sizeof(Dcb), "DCB layouts agree");
static_assert(sizeof(::COMMTIMEOUTS) == sizeof(CommTimeouts), "COMMTIMEOUTS layouts agree");
static_assert(sizeof(::COMSTAT) == sizeof(ComStat), "COMSTAT layouts agree");
static_assert(PURGE_RXCLEAR == kPurgeRxClear && SETXON == kSetXon && EV_RX80FULL == kEvRx80Full &&
                  CE_MODE == kCeMode && MS_RLSD_ON == kMsRlsdOn,
              "constants agree with Windows");

namespace {

class Win32CommDevice final : public CommDevice {
 public:
  Win32CommDevice()
      : readEvent_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
        writeEvent_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

  ~Win32CommDevice() override {
    Close();
    if (readEvent_ != nullptr) CloseHandle(readEvent_);
    if (writeEvent_ != nullptr) CloseHandle(writeEvent_);
  }

  bool Open(std::int32_t portIndex) override {
    if (handle_ != INVALID_HANDLE_VALUE) {
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
    char name[32];
    std::snprintf(name, sizeof name, "%sCOM%d", "\\\\.\\", static_cast<int>(portIndex));
    handle_ = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    return handle_ != INVALID_HANDLE_VALUE;
  }

  void Close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    {
      std::unique_lock<std::mutex> hold(busyLock_);
      closing_ = true;
      // Cancelled operations complete on their own threads, which collect
      // them; ask again now and then in case one started after the cancel.
      while (busy_ > 0) {
        (void)CancelIoEx(handle_, nullptr);
        if (waiting_) WakeWait();
        (void)idle_.wait_for(hold, std::chrono::milliseconds(50));
      }
    }
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    std::lock_guard<std::mutex> hold(busyLock_);
    closing_ = false;
  }

  bool IsOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }

  bool Setup(std::uint32_t inQueue, std::uint32_t outQueue) override {
    return SetupComm(handle_, inQueue, outQueue) != FALSE;
  }

  bool SetState(const Dcb& dcb) override {
    ::DCB native;
    std::memcpy(&native, &dcb, sizeof native);
    return SetCommState(handle_, &native) != FALSE;
  }

  bool SetTimeouts(const CommTimeouts& timeouts) override {
    ::COMMTIMEOUTS native;
    std::memcpy(&native, &timeouts, sizeof native);
    return SetCommTimeouts(handle_, &native) != FALSE;
  }

  bool SetMask(std::uint32_t mask) override { return SetCommMask(handle_, mask) != FALSE; }

  std::uint32_t WaitEvent(Event& stop, Event& completion, std::uint32_t& mask) override {
    mask = 0;
    Busy busy(*this, true);
    if (!busy) return WAIT_FAILED;
    std::memset(&waitOverlapped_, 0, sizeof waitOverlapped_);
    waitOverlapped_.hEvent = completion.NativeHandle();
    waitMask_ = 0;
    // A wait the driver refuses outright will never signal its event: that
    // is a failed wait, not one to repeat.
    if (!WaitCommEvent(handle_, &waitMask_, &waitOverlapped_) &&
        GetLastError() != ERROR_IO_PENDING) {
      return WAIT_FAILED;
    }
    HANDLE both[2] = {stop.NativeHandle(), completion.NativeHandle()};
    const DWORD result = WaitForMultipleObjects(2, both, FALSE, INFINITE);
    DWORD unused = 0;
    if (result == WAIT_OBJECT_0 + 1 &&
        GetOverlappedResult(handle_, &waitOverlapped_, &unused, FALSE)) {
      mask = waitMask_;
      return result;
    }
    // Stopped, or the wait failed: the request may still be with the driver.
    const DWORD error = GetLastError();
    if (!HasOverlappedIoCompleted(&waitOverlapped_)) {
      (void)CancelIoEx(handle_, &waitOverlapped_);
      WakeWait();
    }
    (void)GetOverlappedResult(handle_, &waitOverlapped_, &unused, TRUE);
    SetLastError(error);
    // A wait that completed with an error (access denied, bad command,
    // aborted, device removed, general failure: an adapter pulled out) can
    // never be waited on again: that is the end of the line, not an event.
    if (result == WAIT_OBJECT_0 + 1) return WAIT_FAILED;
    return result;
  }

  bool ClearError(std::uint32_t& errors, ComStat& status) override {
    DWORD native = 0;
    ::COMSTAT stat;
    std::memset(&stat, 0, sizeof stat);
    const bool ok = ClearCommError(handle_, &native, &stat) != FALSE;
    errors = native;
    std::memcpy(&status, &stat, sizeof status);
    return ok;
  }

  CommIo Read(void* buffer, std::uint32_t count, std::uint32_t& transferred) override {
    transferred = 0;
    Busy busy(*this, false);
    if (!busy) return CommIo::StartFailed;
    readOverlapped_.Offset = 0;
    readOverlapped_.OffsetHigh = 0;
    readOverlapped_.hEvent = readEvent_;
    DWORD got = 0;
    if (!ReadFile(handle_, buffer, count, &got, &readOverlapped_) &&
        GetLastError() != ERROR_IO_PENDING) {
      return CommIo::StartFailed;
    }
    if (!GetOverlappedResult(handle_, &readOverlapped_, &got, TRUE)) {
      return CommIo::CompletionFailed;
    }
    transferred = got;
    return CommIo::Done;
  }

  std::uint32_t Write(const void* data, std::uint32_t count) override {
    Busy busy(*this, false);
    if (!busy) return 0;
    writeOverlapped_.Offset = 0;
    writeOverlapped_.OffsetHigh = 0;
    writeOverlapped_.hEvent = writeEvent_;
    DWORD written = 0;
    if (!WriteFile(handle_, data, count, &written, &writeOverlapped_) &&
        GetLastError() != ERROR_IO_PENDING) {
      return 0;
    }
    if (!GetOverlappedResult(handle_, &writeOverlapped_, &written, TRUE)) return 0;
    return written;
  }

  bool Purge(std::uint32_t flags) override { return PurgeComm(handle_, flags) != FALSE; }

  bool Escape(std::uint32_t function) override {
    return EscapeCommFunction(handle_, function) != FALSE;
  }

  bool ModemStatus(std::uint32_t& status) override {
    DWORD native = 0;
    const bool ok = GetCommModemStatus(handle_, &native) != FALSE;
    status = native;
    return ok;
  }

  bool TransmitChar(char ch) override { return TransmitCommChar(handle_, ch) != FALSE; }

  std::uint32_t LastError() const override { return GetLastError(); }

 private:
  // An overlapped operation in progress, from before it starts until it is
  // collected; none starts once Close has begun (ERROR_OPERATION_ABORTED).
  // The last error survives the bookkeeping.
  class Busy {
   public:
    Busy(Win32CommDevice& device, bool wait) : device_(device), wait_(wait) {
      {
        std::lock_guard<std::mutex> hold(device_.busyLock_);
        entered_ = !device_.closing_;
        if (entered_) {
          ++device_.busy_;
          if (wait_) device_.waiting_ = true;
        }
      }
      if (!entered_) SetLastError(ERROR_OPERATION_ABORTED);
    }
    ~Busy() {
      if (!entered_) return;
      const DWORD error = GetLastError();
      {
        std::lock_guard<std::mutex> hold(device_.busyLock_);
        if (wait_) device_.waiting_ = false;
        if (--device_.busy_ == 0) device_.idle_.notify_all();
      }
      SetLastError(error);
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
    explicit operator bool() const { return entered_; }

   private:
    Win32CommDevice& device_;
    bool wait_;
    bool entered_ = false;
  };

  // Completes a pending WaitCommEvent: Windows ends it on any SetCommMask,
  // and so does Wine, whose driver serves the wait apart from the I/O that
  // CancelIoEx reaches. The mask stays what it was.
  void WakeWait() {
    DWORD current = 0;
    if (GetCommMask(handle_, &current)) (void)SetCommMask(handle_, current);
  }

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  HANDLE readEvent_;
  HANDLE writeEvent_;
  OVERLAPPED readOverlapped_{};
  OVERLAPPED writeOverlapped_{};
  OVERLAPPED waitOverlapped_{};
  DWORD waitMask_ = 0;
  std::mutex busyLock_;
  std::condition_variable idle_;
  int busy_ = 0;
  bool waiting_ = false;
  bool closing_ = false;
};

}  // namespace

std::unique_ptr<CommDevice> CreateCommDevice() { return std::make_unique<Win32CommDevice>(); }

}  // namespace kavtel::platform
