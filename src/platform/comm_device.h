#pragma once

#include <cstdint>
#include <memory>

#include "platform/event.h"

namespace kavtel::platform {

// Windows' own serial records and constants, with their exact layouts and
// numbers on every platform, so that the values handed to a device can be
// checked anywhere.

// The device-control block (DCB). The Windows bitfields live in one flag
// word: bit 0 fBinary, 1 fParity, 2 fOutxCtsFlow, 3 fOutxDsrFlow, 4-5
// fDtrControl, 6 fDsrSensitivity, 7 fTXContinueOnXoff, 8 fOutX, 9 fInX,
// 10 fErrorChar, 11 fNull, 12-13 fRtsControl, 14 fAbortOnError.
struct Dcb {
  std::uint32_t DCBlength;
  std::uint32_t BaudRate;
  std::uint32_t Flags;
  std::uint16_t wReserved;
  std::uint16_t XonLim;
  std::uint16_t XoffLim;
  std::uint8_t ByteSize;
  std::uint8_t Parity;
  std::uint8_t StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  std::uint16_t wReserved1;
};
static_assert(sizeof(Dcb) == 28, "DCB is 28 bytes");

constexpr std::uint32_t kDcbBinary = 0x0001;
constexpr std::uint32_t kDcbParity = 0x0002;
constexpr std::uint32_t kDcbOutxCtsFlow = 0x0004;
constexpr std::uint32_t kDcbOutxDsrFlow = 0x0008;
constexpr std::uint32_t kDcbDtrControlShift = 4;  // two bits
constexpr std::uint32_t kDcbDsrSensitivity = 0x0040;
constexpr std::uint32_t kDcbTxContinueOnXoff = 0x0080;
constexpr std::uint32_t kDcbOutX = 0x0100;
constexpr std::uint32_t kDcbInX = 0x0200;
constexpr std::uint32_t kDcbErrorChar = 0x0400;
constexpr std::uint32_t kDcbNull = 0x0800;
constexpr std::uint32_t kDcbRtsControlShift = 12;  // two bits
constexpr std::uint32_t kDcbAbortOnError = 0x4000;

constexpr std::uint32_t kDtrControlDisable = 0;    // DTR_CONTROL_DISABLE
constexpr std::uint32_t kDtrControlEnable = 1;     // DTR_CONTROL_ENABLE
constexpr std::uint32_t kDtrControlHandshake = 2;  // DTR_CONTROL_HANDSHAKE
constexpr std::uint32_t kRtsControlDisable = 0;    // RTS_CONTROL_DISABLE
constexpr std::uint32_t kRtsControlEnable = 1;     // RTS_CONTROL_ENABLE
constexpr std::uint32_t kRtsControlHandshake = 2;  // RTS_CONTROL_HANDSHAKE
constexpr std::uint32_t kRtsControlToggle = 3;     // RTS_CONTROL_TOGGLE

constexpr std::uint8_t kNoParity = 0;     // NOPARITY
constexpr std::uint8_t kOddParity = 1;    // ODDPARITY
constexpr std::uint8_t kEvenParity = 2;   // EVENPARITY
constexpr std::uint8_t kMarkParity = 3;   // MARKPARITY
constexpr std::uint8_t kSpaceParity = 4;  // SPACEPARITY
constexpr std::uint8_t kOneStopBit = 0;    // ONESTOPBIT
constexpr std::uint8_t kOne5StopBits = 1;  // ONE5STOPBITS
constexpr std::uint8_t kTwoStopBits = 2;   // TWOSTOPBITS

// COMMTIMEOUTS, in its own field order; all in milliseconds.
struct CommTimeouts {
  std::uint32_t ReadIntervalTimeout;
  std::uint32_t ReadTotalTimeoutMultiplier;
  std::uint32_t ReadTotalTimeoutConstant;
  std::uint32_t WriteTotalTimeoutMultiplier;
  std::uint32_t WriteTotalTimeoutConstant;
};
static_assert(sizeof(CommTimeouts) == 20, "COMMTIMEOUTS is 20 bytes");
constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;  // MAXDWORD

// COMSTAT: the status flags in the low bits of one word (fCtsHold, fDsrHold,
// fRlsdHold, fXoffHold, fXoffSent, fEof, fTxim), then the queue counts.
struct ComStat {
  std::uint32_t Flags;
  std::uint32_t cbInQue;
  std::uint32_t cbOutQue;
};
static_assert(sizeof(ComStat) == 12, "COMSTAT is 12 bytes");

// PurgeComm flags.
constexpr std::uint32_t kPurgeTxAbort = 0x0001;  // PURGE_TXABORT
constexpr std::uint32_t kPurgeRxAbort = 0x0002;  // PURGE_RXABORT
constexpr std::uint32_t kPurgeTxClear = 0x0004;  // PURGE_TXCLEAR
constexpr std::uint32_t kPurgeRxClear = 0x0008;  // PURGE_RXCLEAR

// EscapeCommFunction functions.
constexpr std::uint32_t kSetXoff = 1;   // SETXOFF
constexpr std::uint32_t kSetXon = 2;    // SETXON
constexpr std::uint32_t kSetRts = 3;    // SETRTS
constexpr std::uint32_t kClrRts = 4;    // CLRRTS
constexpr std::uint32_t kSetDtr = 5;    // SETDTR
constexpr std::uint32_t kClrDtr = 6;    // CLRDTR
constexpr std::uint32_t kSetBreak = 8;  // SETBREAK
constexpr std::uint32_t kClrBreak = 9;  // CLRBREAK

// Communication event masks (SetCommMask, WaitCommEvent).
constexpr std::uint32_t kEvRxChar = 0x0001;    // EV_RXCHAR
constexpr std::uint32_t kEvRxFlag = 0x0002;    // EV_RXFLAG
constexpr std::uint32_t kEvTxEmpty = 0x0004;   // EV_TXEMPTY
constexpr std::uint32_t kEvCts = 0x0008;       // EV_CTS
constexpr std::uint32_t kEvDsr = 0x0010;       // EV_DSR
constexpr std::uint32_t kEvRlsd = 0x0020;      // EV_RLSD
constexpr std::uint32_t kEvBreak = 0x0040;     // EV_BREAK
constexpr std::uint32_t kEvErr = 0x0080;       // EV_ERR
constexpr std::uint32_t kEvRing = 0x0100;      // EV_RING
constexpr std::uint32_t kEvRx80Full = 0x0400;  // EV_RX80FULL

// ClearCommError error bits.
constexpr std::uint32_t kCeRxOver = 0x0001;    // CE_RXOVER
constexpr std::uint32_t kCeOverrun = 0x0002;   // CE_OVERRUN
constexpr std::uint32_t kCeRxParity = 0x0004;  // CE_RXPARITY
constexpr std::uint32_t kCeFrame = 0x0008;     // CE_FRAME
constexpr std::uint32_t kCeBreak = 0x0010;     // CE_BREAK
constexpr std::uint32_t kCeTxFull = 0x0100;    // CE_TXFULL
constexpr std::uint32_t kCeIoe = 0x0400;       // CE_IOE
constexpr std::uint32_t kCeMode = 0x8000;      // CE_MODE

// GetCommModemStatus bits.
constexpr std::uint32_t kMsCtsOn = 0x0010;   // MS_CTS_ON
constexpr std::uint32_t kMsDsrOn = 0x0020;   // MS_DSR_ON
constexpr std::uint32_t kMsRingOn = 0x0040;  // MS_RING_ON
constexpr std::uint32_t kMsRlsdOn = 0x0080;  // MS_RLSD_ON

// How a read ended: done, refused when started (ReadFile failed), or failed
// while completing (the wait or the overlapped result failed).
enum class CommIo { Done, StartFailed, CompletionFailed };

// One serial device, shaped after the Windows calls the serial port makes.
// Each call that can fail returns false (or a failure value) and leaves the
// reason in LastError(), read on the same thread right after the call.
//
// On Windows every call is the kernel32 call of the same name on a handle
// opened for overlapped I/O. On POSIX the device is a terminal in raw,
// 8-bit clean mode; where a pseudo-terminal lacks a UART feature (modem
// lines, line-error counters) it reports "no lines, no errors" instead of
// failing. The reads, writes and the event wait of one device may run on
// different threads at once; everything else runs on one thread.
class CommDevice {
 public:
  virtual ~CommDevice() = default;

  // Opens COM n exclusively: "\\.\COMn" on Windows; on POSIX the path in the
  // environment variable KAVTEL_COM<n>, else /dev/ttyS<n-1>.
  virtual bool Open(std::int32_t portIndex) = 0;
  // Closes the device if open.
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;

  virtual bool Setup(std::uint32_t inQueue, std::uint32_t outQueue) = 0;  // SetupComm
  virtual bool SetState(const Dcb& dcb) = 0;                              // SetCommState
  virtual bool SetTimeouts(const CommTimeouts& timeouts) = 0;             // SetCommTimeouts
  virtual bool SetMask(std::uint32_t mask) = 0;                           // SetCommMask

  // One communication-event wait that also wakes on `stop`: kWaitObject0
  // when `stop` is signalled (it wins when both are), kWaitObject0 + 1 when
  // events occurred, with their EV_* bits in `mask` (0 when the completed
  // wait reported nothing usable), kWaitFailed when the device can no longer
  // be waited on (a vanished device is one, so is a wait that completed with
  // an error). `completion` is the manual-reset
  // event the wait signals on completion (the overlapped record's event on
  // Windows); the caller keeps it for the lifetime of its waits. Whichever
  // way it returns, the wait it started has ended: nothing is left with the
  // system that could still write to the device's record or signal
  // `completion`.
  virtual std::uint32_t WaitEvent(Event& stop, Event& completion, std::uint32_t& mask) = 0;

  virtual bool ClearError(std::uint32_t& errors, ComStat& status) = 0;  // ClearCommError
  // Blocks until the read ends by the time-outs; `transferred` tells the count.
  virtual CommIo Read(void* buffer, std::uint32_t count, std::uint32_t& transferred) = 0;
  // Blocks until the write ends; returns the count written, 0 on failure.
  virtual std::uint32_t Write(const void* data, std::uint32_t count) = 0;
  virtual bool Purge(std::uint32_t flags) = 0;             // PurgeComm
  virtual bool Escape(std::uint32_t function) = 0;         // EscapeCommFunction
  virtual bool ModemStatus(std::uint32_t& status) = 0;     // GetCommModemStatus
  virtual bool TransmitChar(char ch) = 0;                  // TransmitCommChar
  virtual std::uint32_t LastError() const = 0;             // GetLastError (errno on POSIX)
};

// The operating system's comm device, closed.
std::unique_ptr<CommDevice> CreateCommDevice();

}  // namespace kavtel::platform
