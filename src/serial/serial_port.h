#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "kavtel/export.h"
#include "platform/comm_device.h"
#include "serial/port_settings.h"
#include "services/method.h"
#include "services/protocol_log.h"
#include "services/root_object.h"

namespace kavtel {

class TAPPSerialThread;

// Line events, errors and signals; each set is a bit mask in which a
// member's value is its bit number (ComSet gives a member's bit).
enum TComEvent : std::uint8_t {
  evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full
};
using TComEvents = std::uint16_t;
enum TComError : std::uint8_t { ceFrame, ceRxParity, ceOverrun, ceBreak, ceIO, ceMode, ceRxOver, ceTxFull };
using TComErrors = std::uint8_t;
enum TComSignal : std::uint8_t { csCTS, csDSR, csRing, csRLSD };
using TComSignals = std::uint8_t;

constexpr TComEvents ComSet(TComEvent e) { return static_cast<TComEvents>(1u << e); }
constexpr TComErrors ComSet(TComError e) { return static_cast<TComErrors>(1u << e); }
constexpr TComSignals ComSet(TComSignal s) { return static_cast<TComSignals>(1u << s); }
constexpr TComEvents kAllComEvents = 0x03FF;

using TNotifyEvent = TMethod<void(TObject* sender)>;
using TRxCharEvent = TMethod<void(TObject* sender, std::int32_t count)>;
using TRxBufEvent = TMethod<void(TObject* sender, const char* buffer, std::int32_t count)>;
using TComSignalEvent = TMethod<void(TObject* sender, bool onOff)>;
using TComErrorEvent = TMethod<void(TObject* sender, TComErrors errors)>;

// The error the serial port raises: a port error code (1 to 22), its fixed
// text and the system's error code (-1 when there is none). The message is
// the text, followed by " (win error code: N)" when a system code is given;
// on POSIX that code is the errno.
class KAVTEL_API EComPort : public std::runtime_error {
 public:
  EComPort(std::int32_t code, std::int32_t winCode);
  explicit EComPort(std::int32_t code);
  std::int32_t Code() const { return Code_; }
  std::int32_t WinCode() const { return WinCode_; }
  // The fixed text of a code; empty outside 1 to 22.
  static const char* Text(std::int32_t code);

 private:
  std::int32_t Code_;
  std::int32_t WinCode_;
};

// Makes the comm device of each new port; tests install one that returns a
// fake. An empty factory restores the operating system's device.
using TAPPCommDeviceFactory = std::function<std::unique_ptr<platform::CommDevice>()>;

// One serial (COM) port. Opened, it runs a TAPPSerialThread that turns line
// events into calls of the callbacks below, on that thread, one at a time.
//
// Settings are stored while the port is closed and reach the device when it
// opens (queue sizes, then control block, then time-outs). On an open port a
// changed setting re-applies at once, unless a BeginUpdate is pending.
// Failing system calls raise EComPort; SendData reports by its count.
//
// Open, Close, the setters and the line controls run on one owner thread.
// SendData may run on any thread, but two calls must not overlap. Close
// must not be called from a callback (it waits for the event thread).
class KAVTEL_API TAPPSerialPort : public TObject {
 public:
  // factory: makes this port's comm device; empty for the process's own
  // (the one SetCommDeviceFactory installed, else the operating system's).
  explicit TAPPSerialPort(const TAPPCommDeviceFactory& factory = {});
  // Closes the port.
  ~TAPPSerialPort() override;
  TAPPSerialPort(const TAPPSerialPort&) = delete;
  TAPPSerialPort& operator=(const TAPPSerialPort&) = delete;

  static void SetCommDeviceFactory(TAPPCommDeviceFactory factory);

  // Opens COM PortIndex exclusively; EComPort code 1 when it cannot.
  virtual void CreateHandle();
  virtual void DestroyHandle();
  // Applies queue sizes, control block and time-outs (each only when open
  // and outside an update bracket).
  virtual void SetupComPort();
  // Writes all bytes and waits until the driver has them; returns the count
  // written, 0 on failure or on a closed port. Never raises.
  virtual std::int32_t SendData(const std::string& data);
  // Opens the port (a port that cannot be opened stays closed without an
  // error), logs "Connected" and returns true: test GetConnected().
  virtual bool Connecting(bool unused);
  // Closes an open port and returns true; false if it was closed.
  virtual bool Disconnecting();
  virtual void DoOnConnected(TObject* sender);
  virtual void DoOnError(TObject* sender);
  virtual void DoOnTimeOut(TObject* sender);

  virtual void DoAfterClose();
  virtual void DoAfterOpen();
  virtual void DoBeforeClose();
  virtual void DoBeforeOpen();
  virtual void DoRxChar(std::int32_t count);
  virtual void DoRxBuf(const char* buffer, std::int32_t count);
  virtual void DoTxEmpty();
  virtual void DoBreak();
  virtual void DoRing();
  virtual void DoRxFlag();
  virtual void DoCTSChange(bool on);
  virtual void DoDSRChange(bool on);
  virtual void DoError(TComErrors errors);
  virtual void DoRLSDChange(bool on);
  virtual void DoRx80Full();
  virtual void DoLineLost();
  virtual void ApplyDCB();       // SetCommState; code 7
  virtual void ApplyTimeouts();  // SetCommTimeouts; code 8
  virtual void ApplyBuffer();    // SetupComm; code 9

  // Opens: before-open notice, device, configuration, event thread,
  // after-open notice, then the current CTS, DSR and RLSD states. Nothing
  // when already open. A configuration failure closes again and raises.
  void Open();
  // Closes: lines reported off, before-close notice, pending I/O aborted,
  // event thread ended, device closed, after-close notice. Nothing when
  // already closed.
  void Close();
  void SetConnected(bool value);
  bool GetConnected() const { return Connected_.load(); }
  void BeginUpdate();
  void EndUpdate();

  // Driver status (ClearCommError, which also clears the driver's errors;
  // code 10) and modem lines (code 11).
  std::int32_t InputCount();
  std::int32_t OutputCount();
  std::uint8_t StateFlags();
  // The errors since the last call, including those that the other status
  // queries cleared in the driver; ceRxParity only counts while Parity.Check
  // is on.
  TComErrors LastErrors();
  TComSignals Signals();

  // Line control; EscapeCommFunction (code 12), PurgeComm (code 5),
  // TransmitCommChar (code 13).
  void SetBreak(bool on);
  void SetDTR(bool on);
  void SetRTS(bool on);
  void SetXonXoff(bool on);
  void ClearBuffer(bool input, bool output);
  void AbortAllAsync();
  void TransmitChar(char ch);
  void ShowSetupDialog() {}

  // Dispatch of line events; they run on the event thread.
  void CallRxChar();
  void CallTxEmpty() { DoTxEmpty(); }
  void CallBreak() { DoBreak(); }
  void CallRing() { DoRing(); }
  void CallRxFlag() { DoRxFlag(); }
  void CallRx80Full() { DoRx80Full(); }
  void CallCTSChange() { DoCTSChange((Signals() & ComSet(csCTS)) != 0); }
  void CallDSRChange() { DoDSRChange((Signals() & ComSet(csDSR)) != 0); }
  void CallRLSDChange() { DoRLSDChange((Signals() & ComSet(csRLSD)) != 0); }
  void CallError() { DoError(LastErrors()); }
  void CallBeforeOpen() { DoBeforeOpen(); }
  void CallAfterOpen();
  void CallBeforeClose();
  void CallAfterClose() { DoAfterClose(); }
  // The event thread ended on its own (a failed wait, read or status query:
  // the line is gone); runs on that thread as its last act.
  void CallLineLost() {
    LineLost_.store(true);
    DoLineLost();
  }
  // The event thread of the current open ended on its own.
  bool GetLineLost() const { return LineLost_.load(); }
  void CheckSignals(bool open);

  // Settings. The value setters store a changed value and re-apply;
  // SetParity, SetFlowControl and SetTimeouts copy into the owned object.
  TBaudRate GetBaudRate() const { return BaudRate_; }
  void SetBaudRate(TBaudRate value);
  std::int32_t GetCustomBaudRate() const { return CustomBaudRate_; }
  void SetCustomBaudRate(std::int32_t value);
  TStopBits GetStopBits() const { return StopBits_; }
  void SetStopBits(TStopBits value);
  TDataBits GetDataBits() const { return DataBits_; }
  void SetDataBits(TDataBits value);
  bool GetDiscardNull() const { return DiscardNull_; }
  void SetDiscardNull(bool value);
  char GetEventChar() const { return EventChar_; }
  void SetEventChar(char value);
  TComEvents GetEvents() const { return Events_; }
  TAPPComParity& GetParity() { return Parity_; }
  const TAPPComParity& GetParity() const { return Parity_; }
  void SetParity(const TAPPComParity& value);
  TAPPComTimeouts& GetTimeouts() { return Timeouts_; }
  const TAPPComTimeouts& GetTimeouts() const { return Timeouts_; }
  void SetTimeouts(const TAPPComTimeouts& value);
  TAPPComFlowControl& GetFlowControl() { return FlowControl_; }
  const TAPPComFlowControl& GetFlowControl() const { return FlowControl_; }
  void SetFlowControl(const TAPPComFlowControl& value);
  std::int32_t GetPortIndex() const { return PortIndex_; }
  void SetPortIndex(std::int32_t value) { PortIndex_ = value; }
  std::int32_t GetInputSize() const { return InputSize_; }
  void SetInputSize(std::int32_t value) { InputSize_ = value; }
  std::int32_t GetOutputSize() const { return OutputSize_; }
  void SetOutputSize(std::int32_t value) { OutputSize_ = value; }
  bool GetTriggersOnRxChar() const { return TriggersOnRxChar_; }
  void SetTriggersOnRxChar(bool value) { TriggersOnRxChar_ = value; }
  TAPPSYSProtocol* GetProtocol() const { return Protocol_.get(); }
  // Replaces (and frees) the port's log; a null log is ignored.
  void SetProtocol(std::unique_ptr<TAPPSYSProtocol> log);

  // Callbacks; set them while the port is closed.
  void SetOnRxChar(TRxCharEvent callback) { OnRxChar_ = std::move(callback); }
  void SetOnRxBuf(TRxBufEvent callback) { OnRxBuf_ = std::move(callback); }
  void SetOnTxEmpty(TNotifyEvent callback) { OnTxEmpty_ = std::move(callback); }
  void SetOnBreak(TNotifyEvent callback) { OnBreak_ = std::move(callback); }
  void SetOnRing(TNotifyEvent callback) { OnRing_ = std::move(callback); }
  void SetOnCTSChange(TComSignalEvent callback) { OnCTSChange_ = std::move(callback); }
  void SetOnDSRChange(TComSignalEvent callback) { OnDSRChange_ = std::move(callback); }
  void SetOnRLSDChange(TComSignalEvent callback) { OnRLSDChange_ = std::move(callback); }
  void SetOnError(TComErrorEvent callback) { OnError_ = std::move(callback); }
  void SetOnRxFlag(TNotifyEvent callback) { OnRxFlag_ = std::move(callback); }
  void SetOnAfterOpen(TNotifyEvent callback) { OnAfterOpen_ = std::move(callback); }
  void SetOnAfterClose(TNotifyEvent callback) { OnAfterClose_ = std::move(callback); }
  void SetOnBeforeOpen(TNotifyEvent callback) { OnBeforeOpen_ = std::move(callback); }
  void SetOnBeforeClose(TNotifyEvent callback) { OnBeforeClose_ = std::move(callback); }
  void SetOnRx80Full(TNotifyEvent callback) { OnRx80Full_ = std::move(callback); }
  // Called on the event thread when it ends without being stopped: no more
  // bytes will arrive on this handle. The port stays open until closed.
  void SetOnLineLost(TNotifyEvent callback) { OnLineLost_ = std::move(callback); }

  static constexpr std::uint32_t kRxBufferSize = 8192;

 private:
  friend class TAPPSerialThread;
  bool Applicable() const { return Connected_.load() && updateCount_ == 0; }
  void Escape(std::uint32_t function);
  platform::ComStat Status(std::uint32_t& errors);
  // Reads `count` waiting bytes into the receive buffer, at most a buffer
  // at a time, and hands each read to DoRxBuf.
  void Receive(std::uint32_t count);

  std::unique_ptr<platform::CommDevice> device_;
  std::unique_ptr<TAPPSerialThread> thread_;
  std::int32_t updateCount_ = 0;
  bool TriggersOnRxChar_ = false;
  std::atomic<bool> Connected_{false};
  std::atomic<bool> LineLost_{false};
  std::atomic<std::uint32_t> unreported_{0};  // driver error bits not yet reported
  TBaudRate BaudRate_ = br9600;
  std::int32_t CustomBaudRate_ = 9600;
  TStopBits StopBits_ = sbOneStopBit;
  TDataBits DataBits_ = dbEight;
  bool DiscardNull_ = false;
  char EventChar_ = 0;
  TComEvents Events_ = kAllComEvents;
  TAPPComParity Parity_;
  TAPPComTimeouts Timeouts_;
  TAPPComFlowControl FlowControl_;
  std::int32_t PortIndex_ = 1;
  std::int32_t InputSize_ = 4096;
  std::int32_t OutputSize_ = 4096;
  std::unique_ptr<TAPPSYSProtocol> Protocol_;
  TRxCharEvent OnRxChar_;
  TRxBufEvent OnRxBuf_;
  TNotifyEvent OnTxEmpty_;
  TNotifyEvent OnBreak_;
  TNotifyEvent OnRing_;
  TComSignalEvent OnCTSChange_;
  TComSignalEvent OnDSRChange_;
  TComSignalEvent OnRLSDChange_;
  TComErrorEvent OnError_;
  TNotifyEvent OnRxFlag_;
  TNotifyEvent OnAfterOpen_;
  TNotifyEvent OnAfterClose_;
  TNotifyEvent OnBeforeOpen_;
  TNotifyEvent OnBeforeClose_;
  TNotifyEvent OnRx80Full_;
  TNotifyEvent OnLineLost_;
  char rxBuffer_[kRxBufferSize] = {};
};

}  // namespace kavtel
