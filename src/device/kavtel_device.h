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

enum TRNXPGSpeedUnit : std::uint8_t { rnxkmh, rnxms, rnxmph, rnxmmin };
enum TRNXPGElevationUnit : std::uint8_t { rnxpercent, rnxdegree };
enum TRNXPGDistanceUnit : std::uint8_t { rnxm, rnxkm, rnxmiles };
enum TRNXPGControllerMode : std::uint8_t { rnxNormal, rnxSetup };
enum TRNXPGLedState : std::uint8_t { rnxOff, rnxOn, rnxBlinking };

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
// close's stop group are kept apart from the queues (in the frame-in-flight
// part) until the controller answers them. They go out ahead of everything
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
// event thread (received bytes, decoders), the process's shared cycle
// thread (polling ticks; it also times the answer time-outs and hands an
// expired one on) and the watchdog (time-outs). Shared state changes under
// the device's re-entrant lock; the values the host reads without a lock
// are atomics.
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
  bool GetStopConfirmed() const { return StopConfirmed_.load(); }
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
  std::int32_t GetDuration() const { return Duration_.load(); }
  float GetSpeed() const { return Speed_.load(); }
  float GetElevation() const { return Elevation_.load(); }
  std::uint8_t GetAcceleration() const { return Acceleration_.load(); }
  std::int32_t GetDistance() const { return Distance_.load(); }
  std::uint16_t GetHeartRate() const { return HeartRate_.load(); }
  std::uint16_t GetPower() const { return Power_.load(); }
  std::uint32_t GetEnergy() const { return Energy_.load(); }
  float GetVO2() const { return VO2_.load(); }
  std::int32_t GetErrorCode() const { return ErrorCode_.load(); }
  std::int32_t GetVersionMajor() const { return VersionMajor_.load(); }
  std::int32_t GetVersionMinor() const { return VersionMinor_.load(); }
  std::string GetVersionText() const;
  std::uint32_t GetRNXFailSafe() const { return RNXFailSafe_.load(); }
  TAPPSYSProtocolMode GetProtocolmode() const { return Protocolmode_.load(); }
  std::int32_t GetRNXErrCommandCounter() const { return RNXErrCommandCounter_.load(); }
  std::int32_t GetRNXErrRepeatCounter() const { return RNXErrRepeatCounter_.load(); }
  bool GetOnline() const { return Online_.load(); }
  bool GetAwaitingIdentification() const { return AwaitingIdentification_.load(); }
  // Lost while the line is gone, identifying until the controller answered
  // its version query, then ok.
  TKavtelLinkState GetLinkState() const;

  // --- settings ---
  void SetProtocolmode(TAPPSYSProtocolMode mode);
  void SetRNXErrCommandCounter(std::int32_t v) { RNXErrCommandCounter_.store(v); }
  void SetRNXErrRepeatCounter(std::int32_t v) { RNXErrRepeatCounter_.store(v); }
  void SetRNXCycleTime(std::uint32_t ms) { RNXCycleTime_.store(ms); }
  std::uint32_t GetRNXCycleTime() const { return RNXCycleTime_.load(); }
  void SetRNXFailSafe(std::uint32_t v);
  void SetRNXTimeoutInterval(std::uint32_t ms) { RNXTimeoutInterval_.store(ms); }
  std::uint32_t GetRNXTimeoutInterval() const { return RNXTimeoutInterval_.load(); }
  void SetMCU2Fac(long double v);
  void SetMCU4Fac(long double v);
  void SetDeviceCaps(TKavtelDeviceCaps* caps) { DeviceCaps_.store(caps); }
  TKavtelDeviceCaps* GetDeviceCaps() const { return DeviceCaps_.load(); }
  void SetActiveDistance(TRNXPGDistanceUnit u) { ActiveDistance_.store(u); }
  void SetActiveElevationUnit(TRNXPGElevationUnit u) { ActiveElevationUnit_.store(u); }
  void SetActiveSpeedUnit(TRNXPGSpeedUnit u) { ActiveSpeedUnit_.store(u); }
  TRNXPGDistanceUnit GetActiveDistance() const { return ActiveDistance_.load(); }
  TRNXPGElevationUnit GetActiveElevationUnit() const { return ActiveElevationUnit_.load(); }
  TRNXPGSpeedUnit GetActiveSpeedUnit() const { return ActiveSpeedUnit_.load(); }

  // --- inspection (under the lock; for tests and tools) ---
  std::int32_t GetMaxRepeats() const { return Exchange_.MaxRepeats(); }
  std::size_t GetAnswerCount() const { return Answers_.size(); }
  // The answer table in code order; index below GetAnswerCount().
  const TKavtelAnswer& GetAnswer(std::size_t index) const { return *Answers_.at(index); }
  const TKavtelAnswer* FindAnswer(const std::string& code) const;
  // The parts' state, read at once under the lock.
  TKavtelDeviceView Inspect();
  // The maximum speed the controller reported (m/s), 0 when none.
  float GetReportedMaxSpeed() const { return ReportedMaxSpeed_.load(); }
  TAPPSerialPort* GetPort() const { return Port_.get(); }
  bool HasThreads() const { return TimeoutService_ != nullptr || Cycling_.load(); }

  // The longest text kept between two frame ends; more is counted but not
  // stored, and the frame it belongs to is treated as damaged.
  static constexpr std::size_t kMaxRxText = TKavtelReceiveAssembler::kMaxText;
  // How often a lost port is tried again.
  static constexpr std::uint32_t kReopenIntervalMs = 1000;

 private:
  using time_point = TKavtelClock::time_point;
  time_point now() const { return Context_.clock->Now(); }
  // Applies what the exchange asked for, in order; a write that fails
  // means the line is gone. Then publishes the exchange's state to the
  // host's lock-free reads and to the close's wait.
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
  std::vector<TKavtelExchangeOutput> Applying_;  // the outbox being applied, reused

  std::atomic<std::int32_t> RNXErrCommandCounter_{0};
  std::atomic<std::int32_t> RNXErrRepeatCounter_{0};
  std::atomic<TAPPSYSProtocolMode> Protocolmode_{apmOFF};
  std::unique_ptr<TAPPSerialPort> Port_;
  // The answer time-out: timed by the process's shared cycle group (one
  // thread for every device, which wakes for the polling ticks anyway, so
  // arming it for every frame sent wakes nobody), handled on the device's
  // watchdog thread. Member and service change under the device lock.
  std::unique_ptr<TAPPSYSOneShotThread> TimeoutService_;
  TAPPSYSCycleAlarm TimeoutAlarm_;
  std::uint64_t TimeoutMember_ = 0;
  // The polling ticks come from the process's shared cycle group (one
  // thread for every device); while the line is lost, each tick wakes a
  // thread of the device's own that reopens it, made at the first such tick
  // after an open. Both under cycleLock_.
  std::mutex cycleLock_;
  std::atomic<bool> Cycling_{false};
  std::uint64_t CycleMember_ = 0;
  std::unique_ptr<TKavtelLinkKeeper> LinkKeeper_;
  std::mutex reopenLock_;  // one reopen attempt at a time
  std::vector<std::unique_ptr<TKavtelAnswer>> Answers_;  // sorted by code
  std::atomic<TRNXPGDistanceUnit> ActiveDistance_{rnxm};
  std::atomic<TRNXPGElevationUnit> ActiveElevationUnit_{rnxpercent};
  std::atomic<TRNXPGSpeedUnit> ActiveSpeedUnit_{rnxkmh};
  std::atomic<TKavtelDeviceCaps*> DeviceCaps_{nullptr};
  long double MCU4Fac_ = 0.00173L;
  long double MCU2Fac_ = 0;
  std::atomic<std::uint32_t> RNXCycleTime_{250};
  std::atomic<std::uint32_t> RNXFailSafe_{10};
  std::atomic<std::uint32_t> RNXTimeoutInterval_{1000};
  std::atomic<bool> Online_{false};
  // The exchange's state as published after every event, for readers
  // without the lock.
  std::atomic<bool> AwaitingIdentification_{true};
  // The line is gone (a pulled cable, a removed adapter): nothing is
  // written until the port has been reopened.
  std::atomic<bool> LineLost_{false};
  // When the last reopen attempt was made, on the context's clock.
  std::optional<TKavtelClock::time_point> LastReopenTry_;
  std::atomic<bool> StopConfirmed_{true};
  std::atomic<float> ReportedMaxSpeed_{0};

  // Record data.
  std::atomic<std::int32_t> Duration_{0};
  std::atomic<float> Speed_{0};
  std::atomic<float> Elevation_{0};
  std::atomic<std::uint8_t> Acceleration_{0};
  std::atomic<std::int32_t> Distance_{0};
  std::atomic<std::uint16_t> HeartRate_{0};
  std::atomic<std::uint16_t> Power_{0};
  std::atomic<std::uint32_t> Energy_{0};
  std::atomic<float> VO2_{0};

  std::uint8_t RequestedAcceleration_ = 0;
  long double RequestedSpeed_ = 0;
  long double RequestedElevation_ = 0;
  std::atomic<std::int32_t> VersionMajor_{0};
  std::atomic<std::int32_t> VersionMinor_{0};
  std::atomic<std::int32_t> ErrorCode_{0};
  mutable std::mutex versionLock_;  // guards VersionText_ for readers on any thread
  std::string VersionText_;
  TRNXBtnPressed PressedButtons_ = 0;

  // Set while nothing is in flight or queued for sending; the close waits
  // on it for the stop commands.
  platform::Event sendIdle_{true, true};
  bool IdlePublished_ = true;
};

}  // namespace kavtel
