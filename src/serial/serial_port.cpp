#include "serial/serial_port.h"

#include <algorithm>
#include <mutex>

#include "serial/serial_thread.h"

namespace kavtel {

// --- EComPort ---

namespace {

constexpr const char* kComPortTexts[] = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set SyncMethod while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
};
constexpr std::int32_t kComPortCodes = sizeof kComPortTexts / sizeof kComPortTexts[0];

std::string WithWinCode(std::int32_t code, std::int32_t winCode) {
  return std::string(EComPort::Text(code)) + " (win error code: " + std::to_string(winCode) + ")";
}

std::mutex& FactoryLock() {
  static std::mutex lock;
  return lock;
}
TAPPCommDeviceFactory& Factory() {
  static TAPPCommDeviceFactory factory;
  return factory;
}

std::unique_ptr<platform::CommDevice> MakeDevice(const TAPPCommDeviceFactory& own) {
  if (own) return own();
  TAPPCommDeviceFactory factory;
  {
    std::lock_guard<std::mutex> hold(FactoryLock());
    factory = Factory();
  }
  return factory ? factory() : platform::CreateCommDevice();
}

}  // namespace

const char* EComPort::Text(std::int32_t code) {
  return code >= 1 && code <= kComPortCodes ? kComPortTexts[code - 1] : "";
}

EComPort::EComPort(std::int32_t code, std::int32_t winCode)
    : std::runtime_error(WithWinCode(code, winCode)), Code_(code), WinCode_(winCode) {}

EComPort::EComPort(std::int32_t code) : std::runtime_error(Text(code)), Code_(code), WinCode_(-1) {}

// --- life ---

void TAPPSerialPort::SetCommDeviceFactory(TAPPCommDeviceFactory factory) {
  std::lock_guard<std::mutex> hold(FactoryLock());
  Factory() = std::move(factory);
}

TAPPSerialPort::TAPPSerialPort(const TAPPCommDeviceFactory& factory)
    : device_(MakeDevice(factory)), Protocol_(std::make_unique<TAPPSYSProtocol>()) {
  Parity_.SetComPort(this);
  Timeouts_.SetComPort(this);
  FlowControl_.SetComPort(this);
}

TAPPSerialPort::~TAPPSerialPort() {
  try {
    Close();
  } catch (...) {
    // A listener's exception during the close notices must not escape a
    // destructor; the device and the thread are released regardless.
    thread_.reset();
    device_->Close();
  }
}

namespace {
std::int32_t Win(std::uint32_t error) { return static_cast<std::int32_t>(error); }
}  // namespace

void TAPPSerialPort::CreateHandle() {
  if (!device_->Open(PortIndex_)) throw EComPort(1, Win(device_->LastError()));
}

void TAPPSerialPort::DestroyHandle() { device_->Close(); }

void TAPPSerialPort::Open() {
  if (Connected_.load()) return;
  CallBeforeOpen();
  try {
    CreateHandle();
  } catch (const EComPort&) {
    return;  // absent, busy or refused: the port stays closed
  }
  Connected_.store(true);
  LineLost_.store(false);
  try {
    SetupComPort();
  } catch (...) {
    DestroyHandle();
    Connected_.store(false);
    throw;
  }
  thread_ = std::make_unique<TAPPSerialThread>(this);
  CallAfterOpen();
}

void TAPPSerialPort::Close() {
  if (!Connected_.load()) return;
  CallBeforeClose();
  // Closing the device below ends any I/O the abort may have missed, so a
  // failed abort does not keep the port open.
  try {
    AbortAllAsync();
  } catch (const EComPort&) {
  }
  thread_.reset();
  DestroyHandle();
  Connected_.store(false);
  CallAfterClose();
}

void TAPPSerialPort::SetConnected(bool value) {
  if (value == Connected_.load()) return;
  if (value) {
    Open();
  } else {
    Close();
  }
}

bool TAPPSerialPort::Connecting(bool) {
  Open();
  Protocol_->addEventString("Connected", apmComment);
  DoOnConnected(this);
  return true;
}

bool TAPPSerialPort::Disconnecting() {
  if (!Connected_.load()) return false;
  Close();
  DoOnConnected(this);
  return true;
}

void TAPPSerialPort::DoOnConnected(TObject*) {}
void TAPPSerialPort::DoOnError(TObject*) {}
void TAPPSerialPort::DoOnTimeOut(TObject*) {}

void TAPPSerialPort::BeginUpdate() { ++updateCount_; }

void TAPPSerialPort::EndUpdate() {
  if (updateCount_ <= 0) return;
  if (--updateCount_ == 0) SetupComPort();
}

void TAPPSerialPort::SetupComPort() {
  ApplyBuffer();
  ApplyDCB();
  ApplyTimeouts();
}

void TAPPSerialPort::ApplyDCB() {
  if (!Applicable()) return;
  if (!device_->SetState(MakeDcb(*this))) throw EComPort(7, Win(device_->LastError()));
}

void TAPPSerialPort::ApplyTimeouts() {
  if (!Applicable()) return;
  if (!device_->SetTimeouts(MakeCommTimeouts(Timeouts_))) {
    throw EComPort(8, Win(device_->LastError()));
  }
}

void TAPPSerialPort::ApplyBuffer() {
  if (!Applicable()) return;
  if (!device_->Setup(static_cast<std::uint32_t>(InputSize_),
                      static_cast<std::uint32_t>(OutputSize_))) {
    throw EComPort(9, Win(device_->LastError()));
  }
}

// --- data ---

std::int32_t TAPPSerialPort::SendData(const std::string& data) {
  return static_cast<std::int32_t>(
      device_->Write(data.data(), static_cast<std::uint32_t>(data.size())));
}

// Every status query clears the driver's error bits, so the bits any query
// sees are kept until LastErrors reports them: the count taken for received
// bytes must not swallow the errors of the same wake-up.
platform::ComStat TAPPSerialPort::Status(std::uint32_t& errors) {
  platform::ComStat status{};
  if (!device_->ClearError(errors, status)) throw EComPort(10, Win(device_->LastError()));
  unreported_.fetch_or(errors);
  return status;
}

std::int32_t TAPPSerialPort::InputCount() {
  std::uint32_t errors = 0;
  return static_cast<std::int32_t>(Status(errors).cbInQue);
}

std::int32_t TAPPSerialPort::OutputCount() {
  std::uint32_t errors = 0;
  return static_cast<std::int32_t>(Status(errors).cbOutQue);
}

std::uint8_t TAPPSerialPort::StateFlags() {
  std::uint32_t errors = 0;
  return static_cast<std::uint8_t>(Status(errors).Flags & 0xFFu);
}

TComErrors TAPPSerialPort::LastErrors() {
  std::uint32_t errors = 0;
  (void)Status(errors);
  errors = unreported_.exchange(0);
  TComErrors set = 0;
  if ((errors & platform::kCeFrame) != 0) set |= ComSet(ceFrame);
  if ((errors & platform::kCeRxParity) != 0 && Parity_.GetCheck()) set |= ComSet(ceRxParity);
  if ((errors & platform::kCeOverrun) != 0) set |= ComSet(ceOverrun);
  if ((errors & platform::kCeRxOver) != 0) set |= ComSet(ceRxOver);
  if ((errors & platform::kCeTxFull) != 0) set |= ComSet(ceTxFull);
  if ((errors & platform::kCeBreak) != 0) set |= ComSet(ceBreak);
  if ((errors & platform::kCeIoe) != 0) set |= ComSet(ceIO);
  if ((errors & platform::kCeMode) != 0) set |= ComSet(ceMode);
  return set;
}

TComSignals TAPPSerialPort::Signals() {
  std::uint32_t status = 0;
  if (!device_->ModemStatus(status)) throw EComPort(11, Win(device_->LastError()));
  TComSignals set = 0;
  if ((status & platform::kMsCtsOn) != 0) set |= ComSet(csCTS);
  if ((status & platform::kMsDsrOn) != 0) set |= ComSet(csDSR);
  if ((status & platform::kMsRingOn) != 0) set |= ComSet(csRing);
  if ((status & platform::kMsRlsdOn) != 0) set |= ComSet(csRLSD);
  return set;
}

// --- line control ---

void TAPPSerialPort::Escape(std::uint32_t function) {
  if (!device_->Escape(function)) throw EComPort(12, Win(device_->LastError()));
}

void TAPPSerialPort::SetBreak(bool on) { Escape(on ? platform::kSetBreak : platform::kClrBreak); }
void TAPPSerialPort::SetDTR(bool on) { Escape(on ? platform::kSetDtr : platform::kClrDtr); }
void TAPPSerialPort::SetRTS(bool on) { Escape(on ? platform::kSetRts : platform::kClrRts); }
void TAPPSerialPort::SetXonXoff(bool on) { Escape(on ? platform::kSetXon : platform::kSetXoff); }

void TAPPSerialPort::ClearBuffer(bool input, bool output) {
  std::uint32_t flags = 0;
  if (input) flags |= platform::kPurgeRxClear;
  if (output) flags |= platform::kPurgeTxClear;
  if (!device_->Purge(flags)) throw EComPort(5, Win(device_->LastError()));
}

void TAPPSerialPort::AbortAllAsync() {
  if (!device_->Purge(platform::kPurgeTxAbort | platform::kPurgeRxAbort)) {
    throw EComPort(5, Win(device_->LastError()));
  }
}

void TAPPSerialPort::TransmitChar(char ch) {
  if (!device_->TransmitChar(ch)) throw EComPort(13, Win(device_->LastError()));
}

// --- dispatch ---

void TAPPSerialPort::CallRxChar() {
  const std::int32_t count = InputCount();
  if (count < 1) return;
  DoRxChar(count);
  Receive(static_cast<std::uint32_t>(count));
}

// A read takes at most a buffer's worth; more waiting bytes follow in
// further reads of the same wake-up, since the system reports no new event
// for bytes that were already waiting. A read that returns short ends the
// wake-up: what it left arrives with the next event.
void TAPPSerialPort::Receive(std::uint32_t count) {
  while (count > 0) {
    const std::uint32_t ask = std::min(count, kRxBufferSize);
    std::uint32_t got = 0;
    switch (device_->Read(rxBuffer_, ask, got)) {
      case platform::CommIo::Done: break;
      case platform::CommIo::StartFailed: throw EComPort(3, Win(device_->LastError()));
      case platform::CommIo::CompletionFailed: throw EComPort(6, Win(device_->LastError()));
    }
    if (got == 0) return;
    DoRxBuf(rxBuffer_, static_cast<std::int32_t>(got));
    if (got < ask) return;
    count -= got;
  }
}

void TAPPSerialPort::CallAfterOpen() {
  DoAfterOpen();
  CheckSignals(true);
}

void TAPPSerialPort::CallBeforeClose() {
  CheckSignals(false);
  DoBeforeClose();
}

void TAPPSerialPort::CheckSignals(bool open) {
  if (open) {
    CallCTSChange();
    CallDSRChange();
    CallRLSDChange();
  } else {
    DoCTSChange(false);
    DoDSRChange(false);
    DoRLSDChange(false);
  }
}

// --- notifications ---

void TAPPSerialPort::DoAfterClose() { OnAfterClose_(this); }
void TAPPSerialPort::DoAfterOpen() { OnAfterOpen_(this); }
void TAPPSerialPort::DoBeforeClose() { OnBeforeClose_(this); }
void TAPPSerialPort::DoBeforeOpen() { OnBeforeOpen_(this); }
void TAPPSerialPort::DoRxChar(std::int32_t count) { OnRxChar_(this, count); }
void TAPPSerialPort::DoRxBuf(const char* buffer, std::int32_t count) {
  OnRxBuf_(this, buffer, count);
}
void TAPPSerialPort::DoTxEmpty() { OnTxEmpty_(this); }
void TAPPSerialPort::DoBreak() { OnBreak_(this); }
void TAPPSerialPort::DoRing() { OnRing_(this); }
void TAPPSerialPort::DoRxFlag() { OnRxFlag_(this); }
void TAPPSerialPort::DoCTSChange(bool on) { OnCTSChange_(this, on); }
void TAPPSerialPort::DoDSRChange(bool on) { OnDSRChange_(this, on); }
void TAPPSerialPort::DoError(TComErrors errors) { OnError_(this, errors); }
void TAPPSerialPort::DoRLSDChange(bool on) { OnRLSDChange_(this, on); }
void TAPPSerialPort::DoRx80Full() { OnRx80Full_(this); }
void TAPPSerialPort::DoLineLost() { OnLineLost_(this); }

// --- settings ---

void TAPPSerialPort::SetBaudRate(TBaudRate value) {
  if (StoreChanged(BaudRate_, value)) ApplyDCB();
}
void TAPPSerialPort::SetCustomBaudRate(std::int32_t value) {
  if (StoreChanged(CustomBaudRate_, value)) ApplyDCB();
}
void TAPPSerialPort::SetStopBits(TStopBits value) {
  if (StoreChanged(StopBits_, value)) ApplyDCB();
}
void TAPPSerialPort::SetDataBits(TDataBits value) {
  if (StoreChanged(DataBits_, value)) ApplyDCB();
}
void TAPPSerialPort::SetDiscardNull(bool value) {
  if (StoreChanged(DiscardNull_, value)) ApplyDCB();
}
void TAPPSerialPort::SetEventChar(char value) {
  if (StoreChanged(EventChar_, value)) ApplyDCB();
}

void TAPPSerialPort::SetParity(const TAPPComParity& value) {
  Parity_.Assign(value);
  ApplyDCB();
}

void TAPPSerialPort::SetTimeouts(const TAPPComTimeouts& value) {
  Timeouts_.Assign(value);
  ApplyTimeouts();
}

void TAPPSerialPort::SetFlowControl(const TAPPComFlowControl& value) {
  FlowControl_.Assign(value);
  ApplyDCB();
}

void TAPPSerialPort::SetProtocol(std::unique_ptr<TAPPSYSProtocol> log) {
  if (log) Protocol_ = std::move(log);
}

}  // namespace kavtel
