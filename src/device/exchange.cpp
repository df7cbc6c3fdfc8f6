#include "device/exchange.h"

#include <string_view>
#include <utility>

#include "device/setpoints.h"
#include "device/wire_frame.h"
#include "services/number_text.h"

namespace kavtel {

using Kind = TKavtelReceiveAssembler::Kind;
using Verdict = TKavtelReceiveAssembler::Verdict;
using Action = TKavtelFrameInFlight::Action;

TKavtelExchange::TKavtelExchange(std::int32_t queueSlots)
    : commands_(std::make_unique<TAPPSYSCommandRingBuffer>()),
      requests_(std::make_unique<TAPPSYSCommandRingBuffer>()) {
  commands_->SetInitialCapacity(queueSlots);
  requests_->SetInitialCapacity(queueSlots);
  commands_->initializeBuffer();
  requests_->initializeBuffer();
}

TKavtelExchange::~TKavtelExchange() = default;

// --- the outbox ---------------------------------------------------------------

TKavtelExchange::Output& TKavtelExchange::emit(Output::Kind kind) {
  Output& o = out_.Add();
  o.kind = kind;
  return o;
}

void TKavtelExchange::log(std::string text, TAPPSYSProtocolEvent kind) {
  Output& o = emit(Output::Kind::log);
  o.text = std::move(text);
  o.logKind = kind;
}

void TKavtelExchange::state(TAPPIOControllerState s) { emit(Output::Kind::state).state = s; }

void TKavtelExchange::link() {
  Output& o = emit(Output::Kind::link);
  o.identifying = awaitingId_;
  o.lost = lineLost_;
}

// The pending acknowledgements go first, in the same write.
void TKavtelExchange::write(const std::string& bytes) {
  Output& o = emit(Output::Kind::write);
  if (acksPending_ > 0) {
    o.text.assign(acksPending_, kACK);
    acksPending_ = 0;
  }
  o.text += bytes;
}

void TKavtelExchange::flushAck() {
  if (acksPending_ > 0) write({});
}

void TKavtelExchange::arm() {
  Output& o = emit(Output::Kind::arm);
  o.token = timer_.Arm();
  o.ms = static_cast<std::uint32_t>(timeout_.count());
}

void TKavtelExchange::disarm() {
  timer_.Disarm();
  emit(Output::Kind::disarm);
}

// --- lifecycle ----------------------------------------------------------------

void TKavtelExchange::ResetForOpen() {
  awaitingId_ = true;
  flight_.Forget();
  receiver_.Clear();
  acksPending_ = 0;
  identifiedSinceOpen_ = false;
  knownStopped_ = false;
  lineLost_ = false;
  closing_ = false;
  timer_.Disarm();
  poll_.ResetCounters();
  link();
}

void TKavtelExchange::Opened() { poll_.SetCycleStep(0); }

bool TKavtelExchange::CloseBegun() {
  closing_ = true;
  dropQueued("port closing");
  // Whatever the controller state says (trouble sets "detecting", a
  // re-identification "stop"), the belt may move unless a status answer
  // said otherwise since the last command that could move it.
  const bool needStop = flight_.PromisedStops() > 0 || (identifiedSinceOpen_ && !knownStopped_);
  if (needStop) {
    flight_.PromiseGroup(StopGroup(versionMajor_));
    Post();  // nothing goes out on a lost line
  }
  return needStop;
}

void TKavtelExchange::CloseEnded() {
  dropQueued("port closed");
  flight_.Forget();
  disarm();
  idle_ = true;
  closing_ = false;
}

// --- sending ------------------------------------------------------------------

bool TKavtelExchange::queue(TAPPSYSCommandRingBuffer& queue, const std::string& frame) {
  if (queue.addCommand(frame, {}, {}, {}, true)) return true;
  // A full queue refuses the frame rather than overwrite one still waiting
  // or in flight.
  log("<Refused>| " + frame, apmComment);
  return false;
}

bool TKavtelExchange::QueueCommand(const std::string& text) { return queue(*commands_, BuildFrame(text)); }

bool TKavtelExchange::QueueRequest(const std::string& text) { return queue(*requests_, BuildFrame(text)); }

bool TKavtelExchange::QueueRequestBody(const std::string& body) {
  return queue(*requests_, kSOH + body + kETB);
}

void TKavtelExchange::Post() {
  if (flight_.Busy()) return;
  if (lineLost_) {
    idle_ = true;
    return;
  }
  if (flight_.StopWaiting() && stopsMayGo()) {
    transmit(flight_.StartStop());
    return;
  }
  // While closing nothing but the stops goes out.
  TAPPSYSCommand* next = closing_ ? nullptr : commands_->peekCommand();
  const bool request = next == nullptr && !closing_;
  if (request) next = requests_->peekCommand();
  if (next == nullptr) {
    idle_ = true;
    return;
  }
  // The frame is copied: the ring may reuse its record at once.
  TKavtelWireFrame frame;
  frame.text = next->GetOutString();
  frame.number = next->GetContinuousNr();
  frame.request = request;
  flight_.Start(frame);
  transmit(flight_.Current());
}

void TKavtelExchange::transmit(const TKavtelWireFrame& frame) {
  idle_ = false;
  log((frame.request ? "<I>" : "<C>") + frame.text, apmTD);
  write(frame.text);
  arm();
}

void TKavtelExchange::Tick() {
  if (lineLost_) return;
  if (awaitingId_) {
    if (!flight_.Busy()) {
      poll_.MarkAsked(kqVersion);
      QueueCommand("V00");
      Post();
    }
    return;
  }
  const bool extended = versionMajor_ >= 2 && versionMinor_ >= 3;
  poll_.Step(extended, [this](const TKavtelPollSchedule::Query& q) { QueueRequestBody(q.frameBody); });
  Post();
}

void TKavtelExchange::PromiseStop(const std::string& text, bool startsStop) {
  if (startsStop) dropCommandsBeforeStop();
  flight_.Promise(text, StopGroup(versionMajor_));
  Post();
}

void TKavtelExchange::EmergencyStop() {
  dropCommandsBeforeStop();
  flight_.PromiseGroup(StopGroup(versionMajor_));
  Post();
}

void TKavtelExchange::dropQueued(const char* why) {
  const std::int32_t dropped = commands_->GetCountPrepared() + requests_->GetCountPrepared();
  if (dropped == 0) return;
  commands_->restartBuffer();
  requests_->restartBuffer();
  // The queries that waited are no longer outstanding.
  poll_.ResetCounters();
  log("<Dropped>| " + std::to_string(dropped) + " queued frames, " + why, apmComment);
}

// Control commands queued before a stop would go out after it (stops go
// first) and could set the belt moving again: the stop supersedes them.
void TKavtelExchange::dropCommandsBeforeStop() {
  const std::int32_t dropped = commands_->GetCountPrepared();
  if (dropped == 0) return;
  commands_->restartBuffer();
  log("<Dropped>| " + std::to_string(dropped) + " queued commands, superseded by a stop", apmComment);
}

// --- receiving ----------------------------------------------------------------

void TKavtelExchange::Received(const char* data, std::size_t count) {
  std::size_t pos = 0;
  // Bytes that arrive once the line is lost belong to no exchange.
  while (!lineLost_ && pos < count) {
    pos += receiver_.Feed(data + pos, count - pos, rx_);
    if (rx_.kind == Kind::none) break;
    if (rx_.kind == Kind::nak) {
      log(std::string(1, kNAK), apmRD);
      emit(Output::Kind::nak);
      if (flight_.Busy()) failed(Failure::nak);
    } else {
      handleFrame(rx_);
    }
    // The next frame leaves after the last frame end of the chunk.
    if (pos == count) Post();
  }
  // An acknowledgement that no frame took along leaves on its own.
  flushAck();
  if (receiver_.Overlong()) Error();
}

void TKavtelExchange::handleFrame(const TKavtelReceiveAssembler::Event& event) {
  switch (event.verdict) {
    case Verdict::ok: {
      // Any valid answer completes the frame in flight, whatever its code.
      const TKavtelQuery asked = flight_.Busy() ? queryOf(flight_.Current()) : kqCount;
      flight_.Answered();
      log(event.text, apmRD);
      log(std::string("<A>") + kACK, apmTD);
      // The acknowledgement leaves with the next frame the chunk sends, in
      // one write (the ACK first, as on its own), or alone at the chunk's end.
      ++acksPending_;
      emit(Output::Kind::userLine);
      answered(event.code, event.payload);
      // Answered with another code, the query is still no longer
      // outstanding: it is asked again at its next turn.
      poll_.Ended(asked);
      break;
    }
    case Verdict::repeat:
      log(event.text, apmRD);
      // The timer stays armed: the repeat re-arms it with a fresh token.
      if (flight_.Busy()) failed(Failure::damaged);
      break;
    case Verdict::error:
      emit(Output::Kind::fault);
      flight_.Abandon();
      Error();
      break;
  }
}

// What an answer changes in the exchange itself; the readings get it too.
void TKavtelExchange::answered(const std::string& code, const std::string& payload) {
  const TKavtelQuery q = TKavtelPollSchedule::QueryOfCode(code);
  auto forward = [&] {
    Output& o = emit(Output::Kind::answer);
    o.code = code;
    o.text = payload;
  };
  if (q == kqVersion) {
    // Only the answer to the identification identifies.
    if (awaitingId_) {
      identify(payload);
      forward();
    }
    poll_.Decoded(q);
    return;
  }
  if (q == kqStatus || q == kqSpeed || q == kqElevation || q == kqDistance) {
    // A measured value that cannot be read is a protocol error: the query
    // is answered all the same, then the controller is identified again.
    const bool readable = q == kqStatus || q == kqDistance ? ParseInteger(payload).has_value()
                                                           : ParseDecimal(payload).has_value();
    poll_.Decoded(q);
    if (!readable) {
      Error();
      return;
    }
    if (q == kqStatus) {
      const int value = *ParseInteger(payload);
      if (value >= 0 && value <= 2) {
        state(static_cast<TAPPIOControllerState>(value));
        awaitingId_ = false;
        link();
        knownStopped_ = value == 0;
      }
    }
    forward();
    return;
  }
  if (q < kqCount) {
    poll_.Decoded(q);
  } else if (code == "Y00") {
    // A treadmill or a ladder is asked for its maximum speed.
    const auto type = ParseInteger(payload);
    if (type && static_cast<std::uint8_t>(*type) < 2) QueueRequest("S04");
  } else if (code == "F00") {
    if (const auto seconds = ParseInteger(payload)) failSafe_ = static_cast<std::uint32_t>(*seconds);
  }
  forward();
}

// The controller answered its identification: the version picks the
// schedule and the stop group; the fail-safe and the unit and type
// queries of its generation follow.
void TKavtelExchange::identify(const std::string& payload) {
  // Identified before the state says so: a host that reads "stop" never
  // reads "identifying" after it.
  awaitingId_ = false;
  link();
  identifiedSinceOpen_ = true;
  if (payload.size() == 3) {
    versionMajor_ = static_cast<unsigned char>(payload[0]) - '0';
    if (const auto minor = ParseInteger(payload.substr(1, 2))) versionMinor_ = *minor;
  }
  state(ioStop);
  QueueCommand(FailSafeText(failSafe_));
  if (versionMajor_ >= 2) {
    QueueCommand("U17");
    if (versionMinor_ >= 3) QueueCommand("Y00");
  }
}

// --- recovery -----------------------------------------------------------------

// The frame in flight failed: repeat it, give it up for a waiting stop,
// skip it (a stop frame while closing) or fall into trouble.
void TKavtelExchange::failed(Failure cause) {
  const TKavtelWireFrame& frame = flight_.Current();
  switch (flight_.Failed(cause, stopsMayGo(), closing_)) {
    case Action::repeat:
      if (cause == Failure::timeout) {
        log("<Timeouthandler> [" + std::to_string(frame.number) + "] |" + frame.text + "| (" +
                std::to_string(poll_.CycleStep()) + ")",
            apmTD);
      } else {
        log("<repeat>| " + frame.text, apmComment);
      }
      write(frame.text);
      arm();
      break;
    case Action::yield:
      log("<Dropped>| " + frame.text + "| a stop goes first", apmComment);
      poll_.Ended(queryOf(frame));
      break;
    case Action::skip:
      log("<Skipped>| " + frame.text + "| unanswered at close", apmComment);
      break;
    case Action::trouble:
      if (cause == Failure::timeout) {
        log("<TimeOut>| " + frame.text, apmComment);
        Trouble();
      } else {
        Error();
      }
      break;
  }
}

void TKavtelExchange::TimerStarted(std::uint32_t token, time_point now) { timer_.Started(token, now, timeout_); }

void TKavtelExchange::TimedOut(std::uint32_t token, time_point now) {
  if (!timer_.Fire(token, now)) return;
  FrameTimedOut(flight_.Id());
}

void TKavtelExchange::FrameTimedOut(std::uint32_t id) {
  // A late time-out for a frame that has been answered meanwhile.
  if (!flight_.Busy() || flight_.Id() != id) return;
  failed(Failure::timeout);
  Post();
}

void TKavtelExchange::Error() {
  disarm();
  log("<Error>| " + (flight_.Busy() ? flight_.Current().text : std::string()), apmComment);
  Trouble();
}

void TKavtelExchange::Trouble() {
  awaitingId_ = true;
  link();
  flight_.Abandon();
  poll_.ResetCounters();
  commands_->restartBuffer();
  requests_->restartBuffer();
  idle_ = true;
  state(ioDetecting);
}

void TKavtelExchange::LineLost() {
  if (lineLost_) return;
  // Detecting before lost, so that a host that sees the loss never reads
  // the old values after it.
  state(ioDetecting);
  lineLost_ = true;
  awaitingId_ = true;
  link();
  disarm();
  flight_.Abandon();
  acksPending_ = 0;  // an acknowledgement of the old line never goes out on a new one
  dropQueued("line lost");
  poll_.ResetCounters();  // the query on the wire is no longer outstanding
  receiver_.Clear();
  // Whatever the belt did, nothing tells any more.
  knownStopped_ = false;
  idle_ = true;
}

// Nothing was sent, received or decoded while the line was lost: nothing
// is in flight and the controller is to be identified.
void TKavtelExchange::LineBack() {
  lineLost_ = false;
  link();
  dropQueued("given while the line was lost");
  poll_.SetCycleStep(0);
}

// The query an information request asks, kqCount for any other frame.
// When its exchange ends (answered with any code, or given up) the query is
// no longer outstanding, so a value never freezes.
TKavtelQuery TKavtelExchange::queryOf(const TKavtelWireFrame& frame) {
  return frame.request ? TKavtelPollSchedule::QueryOfCode(std::string_view(frame.text).substr(1, 3))
                       : kqCount;
}

TKavtelExchangeView TKavtelExchange::View() const {
  TKavtelExchangeView view;
  for (std::size_t q = 0; q < view.commandCounters.size(); ++q)
    view.commandCounters[q] = poll_.Counter(static_cast<TKavtelQuery>(q));
  view.cycleStep = poll_.CycleStep();
  view.repeatCount = flight_.RepeatCount();
  view.pending = flight_.Busy();
  view.promisedStops = flight_.PromisedStops();
  view.lastCommandID = flight_.Id();
  view.timerToken = timer_.Token();
  view.queuedCommands = commands_->GetCountPrepared();
  view.queuedRequests = requests_->GetCountPrepared();
  return view;
}

}  // namespace kavtel
