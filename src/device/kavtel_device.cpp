// The device's life: the answer table, open and close (the close awaits
// its stop group), the threads' start and end, and the view for tests.
#include "device/kavtel_device.h"

#include <algorithm>
#include <utility>

#include "device/link_keeper.h"
#include "device/wire_frame.h"
#include "services/connection.h"
#include "services/cycle_group.h"

namespace kavtel {

namespace {

// Codes are ASCII: their letters fold to capitals without the C library's
// locale look-up (every answer is looked up, so it counts).
int Capital(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 'a' && u <= 'z' ? u - ('a' - 'A') : u;
}

int CompareCodes(const std::string& a, const std::string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const int ca = Capital(a[i]);
    const int cb = Capital(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

}  // namespace

TKavtelDevice::TKavtelDevice(std::int32_t queueSlots, TKavtelDeviceContext context)
    : Context_(context), Exchange_(queueSlots) {
  using D = TKavtelDevice;
  const std::pair<const char*, void (D::*)(const std::string&)> answers[] = {
      {"S00", &D::rnxStrToStatus},         {"V00", &D::rnxStrToVersion},
      {"P01", &D::rnxStrToHeartRate},      {"S01", &D::rnxStrToSpeed},
      {"E01", &D::rnxStrToElevation},      {"D00", &D::rnxStrToDistance},
      {"A00", &D::rnxStrToAcceleration},   {"B04", &D::rnxStrToBloodPressureSys},
      {"U17", &D::rnxStrToU17},            {"T00", &D::rnxStrToTime},
      {"Z00", &D::rnxStrToError},          {"J00", &D::rnxStrToWeight},
      {"J01", &D::rnxStrToEnergy},         {"J02", &D::rnxStrToPower},
      {"Y00", &D::rnxStrToDeviceTypeID},   {"S04", &D::rnxStrToMaxSpeed},
      {"F00", &D::rnxStrToFailSafe},
  };
  for (const auto& [code, decoder] : answers) addAnswer(code, TKavtelDecoder::bind(this, decoder));
}

TKavtelDevice::~TKavtelDevice() {
  // A device is closed by its owner before it is freed; should it still be
  // open, its threads must end before the members they use go away.
  endCycle();
  endTimeoutService();
  Port_.reset();
  Answers_.clear();
}

void TKavtelDevice::addAnswer(const std::string& code, TKavtelDecoder decoder) {
  auto entry = std::make_unique<TKavtelAnswer>();
  entry->code = code;
  entry->decoder = std::move(decoder);
  auto at = std::lower_bound(Answers_.begin(), Answers_.end(), code,
                             [](const std::unique_ptr<TKavtelAnswer>& a, const std::string& c) {
                               return CompareCodes(a->code, c) < 0;
                             });
  Answers_.insert(at, std::move(entry));
}

const TKavtelAnswer* TKavtelDevice::FindAnswer(const std::string& code) const {
  auto at = std::lower_bound(Answers_.begin(), Answers_.end(), code,
                             [](const std::unique_ptr<TKavtelAnswer>& a, const std::string& c) {
                               return CompareCodes(a->code, c) < 0;
                             });
  if (at == Answers_.end() || CompareCodes((*at)->code, code) != 0) return nullptr;
  return at->get();
}

// --- connection lifecycle -------------------------------------------------

bool TKavtelDevice::setupConnection() {
  TAPPSYSConnectionObj* channel = GetControllerChannel();
  if (channel == nullptr || channel->GetConnectionType() != wlconCOM || !Port_) return false;
  Port_->SetPortIndex(channel->GetPort());
  Port_->SetBaudRate(br9600);
  Port_->SetDataBits(dbEight);
  Port_->GetParity().SetBits(prNone);
  Port_->SetStopBits(sbOneStopBit);
  Port_->GetFlowControl().SetControlDTR(dtrDisable);
  Port_->GetFlowControl().SetControlRTS(rtsDisable);
  Port_->GetTimeouts().SetReadInterval(-1);  // reads return at once with what has arrived
  Port_->GetTimeouts().SetReadTotalM(0);
  Port_->GetTimeouts().SetReadTotalC(0);
  Port_->GetTimeouts().SetWriteTotalM(0);
  Port_->GetTimeouts().SetWriteTotalC(0);
  TAPPSYSProtocol* protocol = Port_->GetProtocol();
  if (Context_.files != nullptr) protocol->SetFileLayer(Context_.files);
  protocol->SetFileTag("COM" + std::to_string(channel->GetPort()));
  protocol->SetOnModeChange(TAPPSYSProtocolNotify::bind(this, &TKavtelDevice::DoOnProtocolModeChange));
  protocol->SetMode(Settings_.protocolMode.load());
  DoOnProtocolModeChange(protocol);
  return true;
}

void TKavtelDevice::ioConnecting() {
  {
    TAPPSYSMutexHold hold(lock());
    Link_.online.store(false);
    Exchange_.ResetForOpen();
    Exchange_.SetFailSafe(Settings_.failSafe.load());
    applyOutbox();
    Readings_.reportedMaxSpeed.store(0);
    Readings_.faults.store(0);
    Readings_.naks.store(0);
    Asked_.buttons = 0;
    resetRecordData();
  }

  TAPPSYSConnectionObj* channel = GetControllerChannel();
  if (channel == nullptr) {
    updateControllerState(ioOff);
    return;
  }
  if (Port_) return;
  if (channel->GetConnectionType() == wlconCOM) {
    try {
      Port_ = std::make_unique<TAPPSerialPort>(Context_.commDevices);
    } catch (...) {
      Port_.reset();
      updateControllerState(ioOff);
      return;
    }
  }
  if (!setupConnection()) {
    Port_.reset();
    updateControllerState(ioOff);
    return;
  }
  Port_->SetOnError(TComErrorEvent::bind(this, &TKavtelDevice::DoOnConnectionError));
  Port_->SetOnRxBuf(TRxBufEvent::bind(this, &TKavtelDevice::DispatchChars));
  Port_->SetOnLineLost(TNotifyEvent::bind(this, &TKavtelDevice::DoOnLineLost));

  try {
    Port_->Connecting(false);
  } catch (const std::exception& e) {
    // The port opened but could not be configured: nothing may stay behind.
    Port_->GetProtocol()->addEventString(std::string("<Error>| open failed: ") + e.what(),
                                         apmComment);
    destroyConnectionObject();
    updateControllerState(ioOff);
    return;
  }

  if (Port_->GetConnected()) {
    startTimeoutService();
    // Online before the cycle's first tick, so that tick already sends the
    // version query instead of finding the device still offline.
    {
      TAPPSYSMutexHold hold(lock());
      Exchange_.Opened();
      Link_.online.store(true);
    }
    // A line that died before the device was online was not heard of.
    if (Port_->GetLineLost()) lineLost("no more events from the port");
    startCycle();
    postCommands();
  } else {
    destroyConnectionObject();
    updateControllerState(ioOff);
  }
}

void TKavtelDevice::ioDisconnecting() {
  bool confirmed = true;
  // No more polling (nor reopen attempts of a lost line): from here on only
  // the stop commands may go out.
  endCycle();
  if (Port_ && Link_.online.load()) {
    bool needStop;
    bool inFlight;
    {
      TAPPSYSMutexHold hold(lock());
      needStop = Exchange_.CloseBegun();
      applyOutbox();
      inFlight = Exchange_.Busy();
    }
    // The frame in flight is awaited too (once), so its answer does not
    // meet the next open's first frame. A lost line ends the wait at once,
    // the promised stops unanswered.
    if (needStop || inFlight) finishStopGroup();
    TAPPSYSMutexHold hold(lock());
    confirmed = Exchange_.StopConfirmed();
    if (!confirmed) log("<Error>| stop not confirmed by the controller, port closing", apmComment);
  }
  Link_.stopConfirmed.store(confirmed);
  Link_.online.store(false);
  endTimeoutService();
  if (Port_ && Port_->GetConnected()) Port_->Disconnecting();
  {
    TAPPSYSMutexHold hold(lock());
    Exchange_.CloseEnded();
    applyOutbox();
  }
  destroyConnectionObject();
  updateControllerState(ioOff);
}

// Waits until the promised stops have been answered or skipped. Each frame
// may take its repeats, so the wait is bounded by one answer time-out for
// the frame on the wire plus (1 + MaxRepeats) for each stop, with an
// allowance for late timers; a line that is gone ends it at once.
void TKavtelDevice::finishStopGroup() {
  std::uint32_t budget;
  {
    TAPPSYSMutexHold hold(lock());
    const auto frames = static_cast<std::uint32_t>(Exchange_.PromisedStops());
    budget = (1 + frames * static_cast<std::uint32_t>(1 + Exchange_.MaxRepeats())) *
             Settings_.timeoutMs.load();
    // The time-outs drive the group: on a loaded system they fire late, and
    // a budget of exact time-outs would give up before the last stop frame
    // went out. A quarter more (at least a second) covers the lag.
    budget += std::max<std::uint32_t>(budget / 4, 1000);
  }
  const TKavtelDeadline deadline{std::chrono::milliseconds(budget)};
  for (;;) {
    {
      TAPPSYSMutexHold hold(lock());
      if (Exchange_.StopsSettled()) return;
      if (Link_.lost.load()) {
        log("<Error>| line lost while closing, the stop commands cannot be sent", apmComment);
        return;
      }
      // In case an answer ended a chunk without starting the next frame.
      Exchange_.Post();
      applyOutbox();
    }
    if (deadline.Passed()) break;
    Link_.idle.Wait(deadline.LeftMs(50));
  }
  TAPPSYSMutexHold hold(lock());
  log("<TimeOut>| closing without the answers to the stop commands", apmComment);
}

bool TKavtelDevice::canChangeConnectionObj(TAPPSYSConnectionObj* connection) {
  if (!TAPPInterfaceObject::canChangeConnectionObj(connection)) return false;
  return connection == nullptr || connection->GetConnectionType() == wlconCOM;
}

bool TKavtelDevice::changeConnectionObj(TAPPSYSConnectionObj* connection) {
  if (GetIOOpen()) {
    if (!canChangeConnectionObj(connection)) return false;
    SetIOOpen(false);
  }
  destroyConnectionObject();
  SetControllerChannel(connection);
  return true;
}

void TKavtelDevice::destroyConnectionObject() {
  if (!Port_) return;
  if (Port_->GetConnected()) {
    endCycle();
    endTimeoutService();
    Port_->Disconnecting();
  }
  Port_.reset();
}

// The first tick comes at once (it sends the version query), the next ones
// on the shared cycle's common ticks.
void TKavtelDevice::startCycle() {
  std::lock_guard<std::mutex> hold(Cycle_.lock);
  if (Cycle_.running.load()) return;
  Cycle_.running.store(true);
  Cycle_.member = Context_.cycles->Join(
      TAPPSYSCycleGroup::Proc::bind(this, &TKavtelDevice::cycleTick), Settings_.cycleMs.load());
}

// Waits for a tick or a reopen attempt in progress; none comes after.
void TKavtelDevice::endCycle() {
  std::uint64_t member = 0;
  std::unique_ptr<TKavtelLinkKeeper> keeper;
  {
    std::lock_guard<std::mutex> hold(Cycle_.lock);
    if (!Cycle_.running.load()) return;
    member = Cycle_.member;
    Cycle_.member = 0;
    keeper = std::move(Cycle_.keeper);
  }
  Context_.cycles->Leave(member);
  keeper.reset();  // ends its thread
  // Cleared last: a loss noticed meanwhile made no new keeper (the tick
  // that would have asked for one is gone), and HasThreads stays true
  // until every thread has ended.
  std::lock_guard<std::mutex> hold(Cycle_.lock);
  Cycle_.running.store(false);
}

void TKavtelDevice::startTimeoutService() {
  Watchdog_.alarm.Disarm();
  if (Watchdog_.service) {
    Watchdog_.service->deactivateTimerID();
    return;
  }
  auto service = std::make_unique<TAPPSYSOneShotThread>();
  service->SetToDo(TAPPSYSTimerTriggerProc::bind(this, &TKavtelDevice::AnswerTimedOut));
  // The group has waited the interval already: the watchdog calls the
  // handler as soon as it is handed an expired time-out.
  service->SetInterval(0);
  TAPPSYSMutexHold hold(lock());
  Exchange_.SetAnswerTimeout(std::chrono::milliseconds(Settings_.timeoutMs.load()));
  Watchdog_.service = std::move(service);
  Watchdog_.member = Context_.cycles->JoinAlarm(
      Watchdog_.alarm, TAPPSYSCycleGroup::AlarmProc::bind(this, &TKavtelDevice::timeoutDue));
}

void TKavtelDevice::endTimeoutService() {
  // Taken out under the lock, so that a thread that arms or disarms the
  // watchdog under it never meets a freed one; ended outside it, since a
  // time-out being handled may wait for the lock. The alarm's member leaves
  // first: a hand-over in progress is waited for, and none comes after.
  std::unique_ptr<TAPPSYSOneShotThread> service;
  std::uint64_t member;
  {
    TAPPSYSMutexHold hold(lock());
    member = std::exchange(Watchdog_.member, 0);
  }
  Context_.cycles->Leave(member);
  {
    TAPPSYSMutexHold hold(lock());
    Watchdog_.alarm.Disarm();
    service = std::move(Watchdog_.service);
  }
  if (!service) return;
  service->endService();
}

void TKavtelDevice::resetRecordData() {
  Readings_.duration.store(0);
  Readings_.speed.store(0);
  Readings_.elevation.store(0);
  Readings_.acceleration.store(0);
  Readings_.distance.store(0);
  Readings_.heartRate.store(0);
  Readings_.power.store(0);
  Readings_.energy.store(0);
}

void TKavtelDevice::SetProtocolmode(TAPPSYSProtocolMode mode) {
  TAPPSYSMutexHold hold(lock());
  Settings_.protocolMode.store(mode);
  if (!Port_) return;
  Port_->GetProtocol()->SetMode(mode);
  DoOnProtocolModeChange(Port_->GetProtocol());
}

void TKavtelDevice::DoOnProtocolModeChange(TObject* sender) {
  const auto* protocol = static_cast<const TAPPSYSProtocol*>(sender);
  const TAPPSYSProtocolMode mode = protocol->GetMode();
  Settings_.protocolMode.store(mode == apmALL && !protocol->IsWritingFile() ? apmOFF : mode);
}

void TKavtelDevice::SetRNXFailSafe(std::uint32_t v) {
  TAPPSYSMutexHold hold(lock());
  Settings_.failSafe.store(v);
  Exchange_.SetFailSafe(v);
}

void TKavtelDevice::SetMCU2Fac(long double v) {
  TAPPSYSMutexHold hold(lock());
  Settings_.mcu2Fac = v;
}

void TKavtelDevice::SetMCU4Fac(long double v) {
  TAPPSYSMutexHold hold(lock());
  Settings_.mcu4Fac = v;
}

std::string TKavtelDevice::GetVersionText() const {
  std::lock_guard<std::mutex> hold(Readings_.versionLock);
  return Readings_.versionText;
}

// --- inspection -----------------------------------------------------------

TKavtelDeviceView TKavtelDevice::Inspect() {
  TAPPSYSMutexHold hold(lock());
  TKavtelDeviceView view;
  static_cast<TKavtelExchangeView&>(view) = Exchange_.View();
  view.pressedButtons = Asked_.buttons;
  return view;
}

// --- log helpers (called with the lock held) ---------------------------------

void TKavtelDevice::log(const std::string& text, TAPPSYSProtocolEvent kind) {
  if (Port_) Port_->GetProtocol()->addEventString(text, kind);
}

void TKavtelDevice::logUserLine(const std::string& text) {
  if (Port_) Port_->GetProtocol()->addUserLine(text);
}

}  // namespace kavtel
