#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/device_caps.h"
#include "kavtel/export.h"
#include "platform/event.h"
#include "serial/serial_port.h"
#include "services/command_queue.h"
#include "services/interface_object.h"
#include "services/method.h"
#include "services/protocol_log.h"
#include "services/timer_threads.h"

namespace kavtel {

enum TRNXPGSpeedUnit : std::uint8_t { rnxkmh, rnxms, rnxmph, rnxmmin };
enum TRNXPGElevationUnit : std::uint8_t { rnxpercent, rnxdegree };
enum TRNXPGDistanceUnit : std::uint8_t { rnxm, rnxkm, rnxmiles };
enum TRNXBtn : std::uint8_t {
  rnxbtnnone, rnxbtnminus, rnxbtnplus, rnxbtndown, rnxbtnup, rnxbtnstart, rnxbtnstop
};
// A set of keys, bit n for the key of ordinal n.
using TRNXBtnPressed = std::uint8_t;
enum TRNXPGControllerMode : std::uint8_t { rnxNormal, rnxSetup };
enum TRNXPGLedState : std::uint8_t { rnxOff, rnxOn, rnxBlinking };

using TKavtelDecoder = TMethod<void(const std::string& payload)>;

// One entry of the answer table: an answer code and the decoder of it.
class KAVTEL_API TKavtelAnswer : public TObject {
 public:
  std::string code;
  TKavtelDecoder decoder;
};

// The outstanding-query counters, one per polled code, in this order.
enum TKavtelQuery : std::uint8_t {
  kqStatus, kqVersion, kqAcceleration, kqSpeed, kqDistance, kqElevation, kqHeartRate,
  kqU17, kqTime, kqError, kqEnergy, kqPower, kqWeight, kqSpare,
  kqCount
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
// Threads: the host's (control operations, open and close), the serial
// event thread (received bytes, decoders), the cycle thread (polling) and
// the watchdog (time-outs). Shared state changes under the device's
// re-entrant lock; the values the host reads without a lock are atomics.
class KAVTEL_API TKavtelDevice : public TAPPInterfaceObject {
 public:
  TKavtelDevice();
  // Frees queues and answers; the owner closes the connection first.
  ~TKavtelDevice() override;

  // --- connection lifecycle ---
  void ioConnecting() override;
  // Closes the connection. A running or paused belt is stopped first: the
  // stop commands go out ahead of anything queued and their answers are
  // awaited (at most about one answer time-out per frame). Whatever is
  // still queued then is dropped with a comment in the log.
  void ioDisconnecting() override;
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
  void resetCommandCounter();
  void resetRecordData();
  void resetMyValue();

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
  void DoOnError(TObject* sender);
  void DoOnTimeOut(TObject* sender);
  void SetInTrouble();
  void DoOnConnectionError(TObject*, TComErrors) {}
  void DoOnProtocolEvent(TObject*) {}

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

  // --- settings ---
  void SetProtocolmode(TAPPSYSProtocolMode mode);
  void SetRNXErrCommandCounter(std::int32_t v) { RNXErrCommandCounter_.store(v); }
  void SetRNXErrRepeatCounter(std::int32_t v) { RNXErrRepeatCounter_.store(v); }
  void SetRNXCycleTime(std::uint32_t ms) { RNXCycleTime_.store(ms); }
  std::uint32_t GetRNXCycleTime() const { return RNXCycleTime_.load(); }
  void SetRNXFailSafe(std::uint32_t v) { RNXFailSafe_.store(v); }
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
  std::int32_t GetMaxRepeats() const { return MaxRepeats_; }
  std::size_t GetAnswerCount() const { return Answers_.size(); }
  const TKavtelAnswer* FindAnswer(const std::string& code) const;
  std::int32_t GetCommandCounter(TKavtelQuery q);
  std::int32_t GetCycleStep();
  std::int32_t GetRepeatCount();
  bool HasPendingCommand();
  std::uint32_t GetLastCommandID();
  std::int32_t GetQueuedCommands();
  std::int32_t GetQueuedRequests();
  TRNXBtnPressed GetPressedButtons();
  TAPPSerialPort* GetPort() const { return Port_.get(); }
  bool HasThreads() const { return TimeoutService_ != nullptr || CycleService_ != nullptr; }

  // The longest text kept between two frame ends; more is counted but not
  // stored, and the frame it belongs to is treated as damaged.
  static constexpr std::size_t kMaxRxText = 4096;

 private:
  enum class Verdict { ok, repeat, error };
  Verdict checkFrame(TKavtelDecoder& decoder);
  void repeatPending(bool afterTimeout);
  void log(const std::string& text, TAPPSYSProtocolEvent kind);
  void logUserLine(const std::string& text);
  void sendRaw(const std::string& bytes);
  void armWatchdog(std::uint32_t id);
  void disarmWatchdog();
  bool queueFrame(TAPPSYSCommandRingBuffer& queue, const std::string& frame);
  void dropQueued(const std::string& why);
  void finishStopGroup();
  void query(TKavtelQuery q, const char* frameBody);
  void decrement(TKavtelQuery q);
  bool acceptMeasured(TKavtelQuery q, bool readable);
  bool sendKey(const char* text);
  bool isGated() const;
  float weight() const;

  // Receive state.
  std::string RxText_;
  std::size_t RxLength_ = 0;  // bytes since the last frame end, stored or not
  bool RxSawSoh_ = false;     // an SOH among them, stored or not
  std::string AnswerPayload_;

  std::atomic<std::int32_t> RNXErrCommandCounter_{0};
  std::atomic<std::int32_t> RNXErrRepeatCounter_{0};
  std::atomic<TAPPSYSProtocolMode> Protocolmode_{apmOFF};
  std::unique_ptr<TAPPSerialPort> Port_;
  std::unique_ptr<TAPPSYSOneShotThread> TimeoutService_;
  std::unique_ptr<TAPPSYSCycleThread> CycleService_;
  std::int32_t RepeatCount_ = 0;
  std::int32_t MaxRepeats_ = 5;
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
  std::unique_ptr<TAPPSYSCommandRingBuffer> CommandQueue_;
  std::unique_ptr<TAPPSYSCommandRingBuffer> InfoQueue_;
  std::atomic<bool> Online_{false};
  std::atomic<bool> AwaitingIdentification_{true};
  TAPPSYSCommand* PendingCommand_ = nullptr;
  bool PendingIsRequest_ = false;   // the frame in flight came from the info queue
  std::atomic<bool> Closing_{false};  // the close is sending its stop commands
  std::uint32_t LastCommandID_ = 0xFFFFFFFFu;
  std::int32_t CycleStep_ = 0;
  std::array<std::int32_t, kqCount> CommandCounters_{};

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
};

}  // namespace kavtel
