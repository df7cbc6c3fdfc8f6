#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device/device_caps.h"
#include "device/device_context.h"
#include "device/exchange.h"
#include "device/keypad.h"
#include "device/readings.h"
#include "kavtel/export.h"
#include "platform/event.h"
#include "serial/serial_port.h"
#include "services/cycle_group.h"
#include "services/interface_object.h"
#include "services/method.h"
#include "services/protocol_log.h"
#include "services/timer_threads.h"

namespace kavtel {

class TKavtelLinkKeeper;

using TKavtelDecoder = TMethod<void(const std::string& payload)>;

// The state of the line to the controller, as a host sees it: the ordinals
// are part of the exported interface.
enum TKavtelLinkState : std::uint8_t {
  klLost = 0,         // the port is gone; it is reopened about once a second
  klIdentifying = 1,  // the line is open, the controller not yet identified
  klOk = 2,           // the controller is identified and polled
};

// One entry of the answer table: an answer code and the decoder of it.
class KAVTEL_API TKavtelAnswer : public TObject {
 public:
  std::string code;
  TKavtelDecoder decoder;
};

// What the device's parts hold at one moment, for tests and tools: a copy,
// read under the device's lock.
struct TKavtelDeviceView : TKavtelExchangeView {
  TRNXBtnPressed pressedButtons = 0;
};

// The controller object of one treadmill on one COM port.
//
// Opening (SetIOOpen(true)) creates and opens the serial port at 9600 baud
// 8N1, starts the answer watchdog and the polling cycle, and identifies the
// controller with a version query; from then on the values are polled on a
// 20-step schedule. Every frame is acknowledged, repeated after a NAK, a bad
// checksum or a time-out (at most 5 times), and a device that keeps failing
// falls into trouble: its queues are emptied and it is identified again.
//
// A lost line (the event thread ends on a failed wait, read or status
// query, or a write fails) is noticed at once: the device goes to the
// detecting state, releases the dead handle and reopens the same COM number
// about once a second at its cycle's ticks (the port's path is looked up
// again at each try); when it opens, the controller is identified afresh.
// Nothing queued before the loss goes out after it, except promised stops.
//
// Stops are promises: a stop key, a stop speed, an emergency stop and the
// close's stop group are kept apart from the queues (in the exchange's
// frame in flight) until the controller answers them. They go out ahead of everything
// else, trouble never drops them, and closing sends the controller's stop
// group whenever the belt may be moving.
//
// The device is glue: the conversation with the controller is the
// exchange, a state machine that holds no thread and does no I/O (frames in
// flight, queues, poll schedule, answer timer); the device owns the lock,
// the port and the threads, feeds the exchange what happens and applies
// what it asks for (writes, timer arms, log lines, the controller state,
// the answers for the readings).
//
// Threads: the host's (control operations, open and close), the serial
// event thread (received bytes, decoders), the context's cycles (by
// default the process's shared cycle thread: polling ticks; it also times
// the answer time-outs and hands an expired one on) and the watchdog
// (time-outs). Shared state changes under the device's re-entrant lock;
// the values the host reads without a lock (the readings record, the link
// flags) are atomics.
class KAVTEL_API TKavtelDevice : public TAPPInterfaceObject {
 public:
  // queueSlots: records of each command ring (tests make it small);
  // context: the clock and other services, the process's own by default.
  explicit TKavtelDevice(std::int32_t queueSlots = 256, TKavtelDeviceContext context = {});
  // Frees queues and answers; the owner closes the connection first.
  ~TKavtelDevice() override;

  // --- connection lifecycle ---
  void ioConnecting() override;
  // Closes the connection. While the line is lost it returns at once (the
  // stop, if one was needed, is not confirmed). Unless the belt is known to stand (a status
  // answer said "stop" after the last command that could move it), or the
  // controller was never identified since the open, the controller's stop
  // group is sent first: ahead of anything queued, each frame with its
  // repeats, a frame that spends them skipped so the rest still goes out.
  // Bounded: at most (1 + 6 x frames) answer time-outs, and it ends at once
  // when the line is gone. Whatever is still queued then is dropped with a
  // comment in the log. GetStopConfirmed() tells how it went.
  void ioDisconnecting() override;
  // After a close: true when no stop was needed or the controller answered
  // the stop group's speed and stop-key frames.
  bool GetStopConfirmed() const { return Link_.stopConfirmed.load(); }
  bool canChangeConnectionObj(TAPPSYSConnectionObj* connection) override;
  bool changeConnectionObj(TAPPSYSConnectionObj* connection) override;
  void emergencyStop() override;
  void Pause() override {}

  void addAnswer(const std::string& code, TKavtelDecoder decoder);
  bool setupConnection();
  void destroyConnectionObject();
  void startCycle();
  void endCycle();
  void startTimeoutService();
  void endTimeoutService();
  void resetRecordData();

  // --- sending ---
  // Frame a command text with its checksum and queue it on the command
  // queue (senduqs) or the info queue (sendinfouqs); sendinfomqs queues a
  // text that already ends in its checksum. False when the queue is full:
  // the command is then refused (and logged), never overwriting another.
  bool senduqs(const std::string& text);
  bool sendinfouqs(const std::string& text);
  bool sendinfomqs(const std::string& text);
  // The send step: when no frame awaits its answer, sends the oldest control
  // command, else the oldest information request, and arms the watchdog.
  void postCommands();

  // --- receiving and recovery ---
  void DispatchChars(TObject* sender, const char* buffer, std::int32_t count);
  void TimeoutHandler(std::uint32_t id);
  // The watchdog's call (its own thread) for an expired answer time-out:
  // the time-out handler of the frame in flight, unless the token is not
  // the answer timer's latest (the frame was written again, a repeat after
  // a NAK, or answered, after the group took the alarm) or not yet due on
  // the device's clock.
  void AnswerTimedOut(std::uint32_t token);
  void DoOnError(TObject* sender);
  void DoOnTimeOut(TObject* sender);
  void SetInTrouble();
  void DoOnConnectionError(TObject*, TComErrors) {}
  // The port's event thread ended on its own: the line is gone.
  void DoOnLineLost(TObject* sender);
  void DoOnProtocolEvent(TObject*) {}
  // The port's log opened or closed its file: the protocol mode follows
  // what the log really does (apmALL only while a file is written).
  void DoOnProtocolModeChange(TObject* sender);

  // --- polling and decoding ---
  void GetParameter();
  void rnxStrToStatus(const std::string& payload);
  void rnxStrToVersion(const std::string& payload);
  void rnxStrToHeartRate(const std::string& payload);
  void rnxStrToSpeed(const std::string& payload);
  void rnxStrToElevation(const std::string& payload);
  void rnxStrToDistance(const std::string& payload);
  void rnxStrToAcceleration(const std::string& payload);
  void rnxStrToBloodPressureSys(const std::string& payload);
  void rnxStrToU17(const std::string& payload);
  void rnxStrToTime(const std::string& payload);
  void rnxStrToError(const std::string& payload);
  void rnxStrToWeight(const std::string& payload);
  void rnxStrToEnergy(const std::string& payload);
  void rnxStrToPower(const std::string& payload);
  void rnxStrToDeviceTypeID(const std::string& payload);
  void rnxStrToMaxSpeed(const std::string& payload);
  void rnxStrToFailSafe(const std::string& payload);

  // --- control operations; false when a command was refused ---
  // Speeds: 0 to 99.99 m/s and not above the maximum speed the controller
  // reported; elevations: -99.9 to 99.9. Anything else (not a number
  // included) is refused with nothing queued. A speed that goes out as 0 is
  // a stop.
  bool DoChangeSpeed(long double speed);
  bool DoChangeElevation(long double elevation);
  bool DoChangeAcceleration(std::uint8_t index);
  bool DoChangeFailSafe(std::int32_t value);
  bool DoChangeStopSpeed();
  bool pressFaster();
  bool upFaster();
  bool pressSlower();
  bool upSlower();
  bool pressUp();
  bool upUp();
  bool pressDown();
  bool upDown();
  bool pressStart();
  bool upStart();
  bool pressStop();
  bool upStop();
  void inlcudeRNXBtn(TRNXBtn key);
  void excudeRNXBtn(TRNXBtn key);
  bool isPressesRNXBtn(TRNXBtn key);
  void resetRNXBtn();
  void calcV02andErnergy(std::uint32_t seconds);

  // --- values the host reads (no lock) ---
  std::int32_t GetDuration() const { return Readings_.duration.load(); }
  float GetSpeed() const { return Readings_.speed.load(); }
  float GetElevation() const { return Readings_.elevation.load(); }
  std::uint8_t GetAcceleration() const { return Readings_.acceleration.load(); }
  std::int32_t GetDistance() const { return Readings_.distance.load(); }
  std::uint16_t GetHeartRate() const { return Readings_.heartRate.load(); }
  std::uint16_t GetPower() const { return Readings_.power.load(); }
  std::uint32_t GetEnergy() const { return Readings_.energy.load(); }
  float GetVO2() const { return Readings_.vo2.load(); }
  std::int32_t GetErrorCode() const { return Readings_.errorCode.load(); }
  std::int32_t GetVersionMajor() const { return Readings_.versionMajor.load(); }
  std::int32_t GetVersionMinor() const { return Readings_.versionMinor.load(); }
  std::string GetVersionText() const;
  std::uint32_t GetRNXFailSafe() const { return Settings_.failSafe.load(); }
  TAPPSYSProtocolMode GetProtocolmode() const { return Settings_.protocolMode.load(); }
  std::int32_t GetRNXErrCommandCounter() const { return Readings_.faults.load(); }
  std::int32_t GetRNXErrRepeatCounter() const { return Readings_.naks.load(); }
  bool GetOnline() const { return Link_.online.load(); }
  bool GetAwaitingIdentification() const { return Link_.identifying.load(); }
  // Lost while the line is gone, identifying until the controller answered
  // its version query, then ok.
  TKavtelLinkState GetLinkState() const;

  // --- settings ---
  void SetProtocolmode(TAPPSYSProtocolMode mode);
  void SetRNXErrCommandCounter(std::int32_t v) { Readings_.faults.store(v); }
  void SetRNXErrRepeatCounter(std::int32_t v) { Readings_.naks.store(v); }
  void SetRNXCycleTime(std::uint32_t ms) { Settings_.cycleMs.store(ms); }
  std::uint32_t GetRNXCycleTime() const { return Settings_.cycleMs.load(); }
  void SetRNXFailSafe(std::uint32_t v);
  void SetRNXTimeoutInterval(std::uint32_t ms) { Settings_.timeoutMs.store(ms); }
  std::uint32_t GetRNXTimeoutInterval() const { return Settings_.timeoutMs.load(); }
  void SetMCU2Fac(long double v);
  void SetMCU4Fac(long double v);
  void SetDeviceCaps(TKavtelDeviceCaps* caps) { Settings_.caps.store(caps); }
  TKavtelDeviceCaps* GetDeviceCaps() const { return Settings_.caps.load(); }
  void SetActiveDistance(TRNXPGDistanceUnit u) { Readings_.distanceUnit.store(u); }
  void SetActiveElevationUnit(TRNXPGElevationUnit u) { Readings_.elevationUnit.store(u); }
  void SetActiveSpeedUnit(TRNXPGSpeedUnit u) { Readings_.speedUnit.store(u); }
  TRNXPGDistanceUnit GetActiveDistance() const { return Readings_.distanceUnit.load(); }
  TRNXPGElevationUnit GetActiveElevationUnit() const { return Readings_.elevationUnit.load(); }
  TRNXPGSpeedUnit GetActiveSpeedUnit() const { return Readings_.speedUnit.load(); }

  // --- inspection (under the lock; for tests and tools) ---
  std::int32_t GetMaxRepeats() const { return Exchange_.MaxRepeats(); }
  std::size_t GetAnswerCount() const { return Answers_.size(); }
  // The answer table in code order; index below GetAnswerCount().
  const TKavtelAnswer& GetAnswer(std::size_t index) const { return *Answers_.at(index); }
  const TKavtelAnswer* FindAnswer(const std::string& code) const;
  // The parts' state, read at once under the lock.
  TKavtelDeviceView Inspect();
  // The maximum speed the controller reported (m/s), 0 when none.
  float GetReportedMaxSpeed() const { return Readings_.reportedMaxSpeed.load(); }
  TAPPSerialPort* GetPort() const { return Port_.get(); }
  bool HasThreads() const { return Watchdog_.service != nullptr || Cycle_.running.load(); }

  // The longest text kept between two frame ends; more is counted but not
  // stored, and the frame it belongs to is treated as damaged.
  static constexpr std::size_t kMaxRxText = TKavtelReceiveAssembler::kMaxText;
  // How often a lost port is tried again.
  static constexpr std::uint32_t kReopenIntervalMs = 1000;

 private:
  using time_point = TKavtelClock::time_point;
  time_point now() const { return Context_.clock->Now(); }
  // Applies what the exchange asked for, in order; a write that fails
  // means the line is gone (the link flags come as entries of it). Then
  // sets or resets the close's idle event as the exchange stands.
  void applyOutbox();
  void publish();
  bool queueMoving(const std::string& text, bool twice);
  void log(const std::string& text, TAPPSYSProtocolEvent kind);
  void logUserLine(const std::string& text);
  bool writeLine(const std::string& bytes);
  void lineLost(const char* why);
  void keepLink();
  void wakeLinkKeeper();
  // The device's turn in the shared cycle: the polling tick. Waits at most
  // waitMs for the device lock (false when busy at a first try, waitMs 0);
  // leaves a lost line to the link keeper, since reopening may block.
  bool cycleTick(std::uint32_t waitMs);
  // The shared group's call for an expired answer time-out (on its thread,
  // so it must not block): the watchdog thread runs AnswerTimedOut.
  void timeoutDue(std::uint32_t token);
  void finishStopGroup();
  bool press(TRNXBtn key);
  bool release(TRNXBtn key);
  bool isGated() const;
  float weight() const;

  const TKavtelDeviceContext Context_;
  // The conversation with the controller; under the device lock.
  TKavtelExchange Exchange_;
  TKavtelOutbox Applying_;  // the outbox being applied, kept for its storage
  std::unique_ptr<TAPPSerialPort> Port_;
  std::vector<std::unique_ptr<TKavtelAnswer>> Answers_;  // sorted by code
  TKavtelReadings Readings_;

  // What the host set; the factors under the device lock.
  struct Settings {
    std::atomic<TAPPSYSProtocolMode> protocolMode{apmOFF};
    std::atomic<TKavtelDeviceCaps*> caps{nullptr};
    long double mcu4Fac = 0.00173L;
    long double mcu2Fac = 0;
    std::atomic<std::uint32_t> cycleMs{250};
    std::atomic<std::uint32_t> failSafe{10};
    std::atomic<std::uint32_t> timeoutMs{1000};
  } Settings_;

  // What the host asked for last, and the keys it holds; under the lock.
  struct Asked {
    long double speed = 0;
    long double elevation = 0;
    std::uint8_t acceleration = 0;
    TRNXBtnPressed buttons = 0;
  } Asked_;

  // The answer time-out: timed by the process's shared cycle group (one
  // thread for every device, which wakes for the polling ticks anyway, so
  // arming it for every frame sent wakes nobody), handled on the device's
  // watchdog thread. Changed under the device lock.
  struct Watchdog {
    std::unique_ptr<TAPPSYSOneShotThread> service;
    TAPPSYSCycleAlarm alarm;
    std::uint64_t member = 0;
  } Watchdog_;

  // The polling ticks come from the process's shared cycle group (one
  // thread for every device); while the line is lost, each tick wakes a
  // thread of the device's own that reopens it, made at the first such tick
  // after an open. Under `lock`.
  struct Cycle {
    std::mutex lock;
    std::atomic<bool> running{false};
    std::uint64_t member = 0;
    std::unique_ptr<TKavtelLinkKeeper> keeper;
    std::mutex reopenLock;  // one reopen attempt at a time
    // When the last reopen attempt was made, on the context's clock.
    std::optional<TKavtelClock::time_point> lastReopenTry;
  } Cycle_;

  // The link as readers without the lock see it; the exchange's link
  // entries set it, in their order against the controller state.
  struct Link {
    std::atomic<bool> online{false};
    std::atomic<bool> identifying{true};
    // The line is gone (a pulled cable, a removed adapter): nothing is
    // written until the port has been reopened.
    std::atomic<bool> lost{false};
    std::atomic<bool> stopConfirmed{true};
    // Set while nothing is in flight or queued for sending; the close
    // waits on it for the stop commands.
    platform::Event idle{true, true};
    bool idlePublished = true;
  } Link_;
};

}  // namespace kavtel
