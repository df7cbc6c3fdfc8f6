#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "device/answer_timer.h"
#include "device/frame_in_flight.h"
#include "device/poll_schedule.h"
#include "device/receive_assembler.h"
#include "services/command_queue.h"
#include "services/interface_object.h"
#include "services/protocol_log.h"

namespace kavtel {

// One thing the exchange asks its owner to do. The owner applies the
// outbox in order after every event.
struct TKavtelExchangeOutput {
  enum class Kind : std::uint8_t {
    write,     // text: bytes for the line (acknowledgements, a frame)
    arm,       // token, ms: time the frame just written out
    disarm,    // no answer time-out is wanted any more
    log,       // text, logKind: a line of the traffic log
    userLine,  // text: the log's free-text line
    state,     // state: the controller state the host reads
    link,      // identifying, lost: the link as the host reads it
    answer,    // code, text: a valid answer for the readings
    nak,       // the controller refused a frame (counted for the host)
    fault,     // an unusable frame arrived (counted for the host)
  };
  Kind kind = Kind::log;
  std::string text;
  std::string code;
  TAPPSYSProtocolEvent logKind = apmComment;
  TAPPIOControllerState state = ioOff;
  std::uint32_t token = 0;
  std::uint32_t ms = 0;
  bool identifying = false;
  bool lost = false;
};

// The outbox: filled by the exchange's events, emptied by its owner. Its
// entries are kept and reused, so a steady conversation allocates nothing.
class TKavtelOutbox {
 public:
  using Output = TKavtelExchangeOutput;

  // A new entry at the end, its texts empty.
  Output& Add() {
    if (size_ == items_.size()) items_.emplace_back();
    Output& o = items_[size_++];
    o.text.clear();
    o.code.clear();
    return o;
  }
  const Output* begin() const { return items_.data(); }
  const Output* end() const { return items_.data() + size_; }
  bool empty() const { return size_ == 0; }
  void clear() { size_ = 0; }
  void swap(TKavtelOutbox& other) noexcept {
    items_.swap(other.items_);
    std::swap(size_, other.size_);
  }

 private:
  std::vector<Output> items_;
  std::size_t size_ = 0;
};

// What the exchange holds at one moment, for tests and tools.
struct TKavtelExchangeView {
  std::array<std::int32_t, kqCount> commandCounters{};  // outstanding queries per polled code
  std::int32_t cycleStep = 0;                           // the poll schedule's next step
  std::int32_t repeatCount = 0;                         // repeats of the frame in flight
  bool pending = false;                                 // a frame awaits its answer
  std::size_t promisedStops = 0;   // stop frames promised and not yet answered (the one on the wire included)
  std::uint32_t lastCommandID = 0;  // the frame in flight's number (a repeat keeps it)
  std::uint32_t timerToken = 0;     // the answer timer's armed token (new for every write), 0 when disarmed
  std::int32_t queuedCommands = 0;
  std::int32_t queuedRequests = 0;
};

// The conversation with one controller, as a state machine: the frame in
// flight with its repeats and the promised stops, the two queues, the poll
// schedule, the receive assembler, the answer timer and the pending
// acknowledgements, with what the line and the host may do to them as
// events. It does no I/O, starts no thread, reads no clock and takes no
// lock: the device calls it under its own lock, tells it when each timed
// write went out and when a time-out fell due, and applies the outbox (writes, timer arms, log lines, the controller state,
// the answers for the readings).
//
// The exchange reads the answers that steer it itself: the version answer
// identifies the controller (and picks the schedule and the stop group), a
// status answer tells the controller state and whether the belt stands, a
// measured value that cannot be read is a fault, a device type asks for the
// maximum speed, and the fail-safe answer is the fail-safe sent at the next
// identification.
//
// Its resets are named transitions, each with what it clears:
// - ResetForOpen: everything, for a fresh port;
// - Trouble: the frame in flight, both queues and the outstanding queries;
//   the controller is identified again. The line is still there, so the
//   acknowledgements owed and the half-received frame stay, and so does
//   what the last status said of the belt;
// - LineLost: what Trouble clears, and the acknowledgements and received
//   bytes of the old line, and the belt's known state (nothing tells it
//   any more); nothing is written until LineBack;
// - CloseBegun / CloseEnded: the queues, and at the end everything in
//   flight or promised.
// Promised stops survive every one of them but the close's end.
class TKavtelExchange {
 public:
  using Output = TKavtelExchangeOutput;
  using Failure = TKavtelFrameInFlight::Failure;
  using time_point = TKavtelClock::time_point;

  // queueSlots: records of each command ring.
  explicit TKavtelExchange(std::int32_t queueSlots = 256);
  ~TKavtelExchange();
  TKavtelExchange(const TKavtelExchange&) = delete;
  TKavtelExchange& operator=(const TKavtelExchange&) = delete;

  // --- events ---
  // A fresh port is about to open: nothing in flight, queued, owed or
  // known; the controller is to be identified.
  void ResetForOpen();
  // The port is open: the schedule starts at its first step.
  void Opened();
  // The answer time-out used from the next write on.
  void SetAnswerTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
  // The fail-safe (seconds) sent to the controller when it is identified.
  void SetFailSafe(std::uint32_t seconds) { failSafe_ = seconds; }

  // Received bytes, one chunk: its frames are acknowledged, decoded and
  // acted on; the next frame leaves after the chunk's last frame end.
  void Received(const char* data, std::size_t count);
  // The write that an arm item came with went out at `now`: its answer
  // time-out runs from there.
  void TimerStarted(std::uint32_t token, time_point now);
  // The answer timer's expiry with its token: counts only when it is the
  // latest arm's and due at `now`.
  void TimedOut(std::uint32_t token, time_point now);
  // The frame of this number timed out (the frame's own, not the timer's).
  void FrameTimedOut(std::uint32_t id);
  // The polling tick: the identification query while it is awaited, else
  // the schedule's next step; then the send step.
  void Tick();
  // The send step: when no frame awaits its answer, a waiting stop (if
  // stops may go), else the oldest command, else the oldest request.
  void Post();

  // Queues a command text (framed here) or a request (framed here, or a
  // frame body that already ends in its checksum). False when the queue is
  // full: the frame is refused (and logged), never overwriting another.
  bool QueueCommand(const std::string& text);
  bool QueueRequest(const std::string& text);
  bool QueueRequestBody(const std::string& body);
  // A command that may set the belt moving was accepted.
  void MayMove() { knownStopped_ = false; }
  // Promises a stop frame and sends it when nothing is in flight; one that
  // starts a stop (not a key's release) supersedes the queued commands.
  void PromiseStop(const std::string& text, bool startsStop);
  // The controller's whole stop group, ahead of the queued commands.
  void EmergencyStop();

  // The fault reset (a protocol error or spent repeats).
  void Trouble();
  // An unusable frame or another protocol fault, with the frame in flight
  // named in the log.
  void Error();
  // The line is gone / back.
  void LineLost();
  void LineBack();
  // The close begins: the queues are dropped and, when the belt may move,
  // the stop group is promised and sent. True when a stop was needed.
  bool CloseBegun();
  // The port is closed: nothing in flight, queued or promised.
  void CloseEnded();

  // --- the outbox: filled by the events, emptied by the owner ---
  TKavtelOutbox& Outbox() { return out_; }

  // --- state ---
  bool Busy() const { return flight_.Busy(); }
  // Nothing in flight and no stop waiting: the close's stops are settled.
  bool StopsSettled() const { return !flight_.Busy() && !flight_.StopWaiting(); }
  // Nothing in flight or queued for sending.
  bool Idle() const { return idle_; }
  bool AwaitingIdentification() const { return awaitingId_; }
  bool IsLineLost() const { return lineLost_; }
  bool Closing() const { return closing_; }
  std::int32_t VersionMajor() const { return versionMajor_; }
  // True when every confirming stop frame promised since the last open was
  // answered (also when none was).
  bool StopConfirmed() const { return flight_.StopConfirmed(); }
  std::size_t PromisedStops() const { return flight_.PromisedStops(); }
  std::int32_t MaxRepeats() const { return flight_.MaxRepeats(); }
  TKavtelExchangeView View() const;

 private:
  Output& emit(Output::Kind kind);
  void log(std::string text, TAPPSYSProtocolEvent kind);
  void state(TAPPIOControllerState s);
  // The link flags as they stand now; told where their order against the
  // controller state matters to a host that reads both.
  void link();
  void write(const std::string& bytes);
  void transmit(const TKavtelWireFrame& frame);
  void arm();
  void disarm();
  void flushAck();
  void handleFrame(const TKavtelReceiveAssembler::Event& event);
  void answered(const std::string& code, const std::string& payload);
  void identify(const std::string& payload);
  void failed(Failure cause);
  bool stopsMayGo() const { return closing_ || !awaitingId_; }
  bool queue(TAPPSYSCommandRingBuffer& queue, const std::string& frame);
  void dropQueued(const char* why);
  void dropCommandsBeforeStop();
  static TKavtelQuery queryOf(const TKavtelWireFrame& frame);

  TKavtelFrameInFlight flight_;
  TKavtelPollSchedule poll_;
  TKavtelReceiveAssembler receiver_;
  TKavtelReceiveAssembler::Event rx_;  // reused for every frame
  std::unique_ptr<TAPPSYSCommandRingBuffer> commands_;
  std::unique_ptr<TAPPSYSCommandRingBuffer> requests_;
  TKavtelAnswerTimer timer_;
  std::chrono::milliseconds timeout_{1000};
  std::uint32_t failSafe_ = 10;
  std::int32_t versionMajor_ = 0;
  std::int32_t versionMinor_ = 0;
  // Answers' acknowledgements that wait for the next frame of the same
  // chunk, so that they leave with it in one write; sent at the chunk's end
  // at the latest.
  std::size_t acksPending_ = 0;
  bool awaitingId_ = true;
  bool identifiedSinceOpen_ = false;
  // A status answer said "stop" and no command that could move the belt
  // was accepted since.
  bool knownStopped_ = false;
  bool closing_ = false;  // the close is sending its stop commands
  bool lineLost_ = false;
  bool idle_ = true;
  TKavtelOutbox out_;
};

}  // namespace kavtel
