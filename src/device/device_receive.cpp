// The receive side of the device: frames from the receive assembler,
// acknowledgement, repeats, time-outs and the fault reset.
#include "device/kavtel_device.h"
#include "device/wire_frame.h"

namespace kavtel {

using Kind = TKavtelReceiveAssembler::Kind;
using Verdict = TKavtelReceiveAssembler::Verdict;
using Failure = TKavtelFrameInFlight::Failure;
using Action = TKavtelFrameInFlight::Action;

namespace {

// One received chunk in the log, ended however its handling ends (a
// decoder that throws included), so that later lines are never held to a
// chunk's budget.
class LoggedChunk {
 public:
  explicit LoggedChunk(TAPPSYSProtocol* log) : log_(log) {
    if (log_ != nullptr) log_->BeginChunk();
  }
  ~LoggedChunk() {
    if (log_ == nullptr) return;
    try {
      log_->EndChunk();
    } catch (...) {
      // The summary line is lost; the chunk is over all the same.
    }
  }
  LoggedChunk(const LoggedChunk&) = delete;
  LoggedChunk& operator=(const LoggedChunk&) = delete;

 private:
  TAPPSYSProtocol* log_;
};

}  // namespace

void TKavtelDevice::DispatchChars(TObject*, const char* buffer, std::int32_t count) {
  TAPPSYSMutexHold hold(lock());
  if (count <= 0) return;
  // A controller that floods the line fills the log with a bounded summary.
  const LoggedChunk chunk(Port_ ? Port_->GetProtocol() : nullptr);
  const auto total = static_cast<std::size_t>(count);
  std::size_t pos = 0;
  // Bytes that arrive once the line is lost (or from a reopened port
  // before it is taken back) belong to no exchange.
  while (Online_.load() && !LineLost_.load() && pos < total) {
    pos += Receiver_.Feed(buffer + pos, total - pos, RxEvent_);
    if (RxEvent_.kind == Kind::none) break;
    // The watchdog stays armed: a time-out for a frame that was answered
    // meanwhile finds no frame of its number in flight and changes nothing,
    // and the next frame sent re-arms it without waking its thread.
    if (RxEvent_.kind == Kind::nak) {
      log(std::string(1, kNAK), apmRD);
      RNXErrRepeatCounter_.fetch_add(1);
      if (Flight_.Busy()) failed(Failure::nak);
    } else {
      handleFrame(RxEvent_);
    }
    // The next frame leaves after the last frame end of the chunk.
    if (pos == total) postCommands();
  }
  // An acknowledgement that no frame took along leaves on its own.
  flushAck();
  if (Receiver_.Overlong()) DoOnError(this);
}

void TKavtelDevice::handleFrame(const TKavtelReceiveAssembler::Event& event) {
  switch (event.verdict) {
    case Verdict::ok: {
      // Any valid answer completes the frame in flight, whatever its code.
      const TKavtelQuery asked = Flight_.Busy() ? queryOf(Flight_.Current()) : kqCount;
      Flight_.Answered();
      log(event.text, apmRD);
      log(std::string("<A>") + kACK, apmTD);
      // The acknowledgement leaves with the next frame the chunk sends, in
      // one write (the ACK first, as on its own), or alone at the chunk's end.
      ++AcksPending_;
      logUserLine("");
      AnswerPayload_ = event.payload;
      if (const TKavtelAnswer* answer = FindAnswer(event.code)) answer->decoder(AnswerPayload_);
      // Answered with another code, the query is still no longer
      // outstanding: it is asked again at its next turn.
      Poll_.Ended(asked);
      break;
    }
    case Verdict::repeat:
      log(event.text, apmRD);
      if (Flight_.Busy()) failed(Failure::damaged);
      break;
    case Verdict::error:
      RNXErrCommandCounter_.fetch_add(1);
      Flight_.Abandon();
      DoOnError(this);
      break;
  }
}

// The frame in flight failed: repeat it, give it up for a waiting stop,
// skip it (a stop frame while closing) or fall into trouble.
void TKavtelDevice::failed(Failure cause) {
  const TKavtelWireFrame& frame = Flight_.Current();
  switch (Flight_.Failed(cause, stopsMayGo(), Closing_.load())) {
    case Action::repeat:
      if (cause == Failure::timeout) {
        log("<Timeouthandler> [" + std::to_string(frame.number) + "] |" + frame.text + "| (" +
                std::to_string(Poll_.CycleStep()) + ")",
            apmTD);
      } else {
        log("<repeat>| " + frame.text, apmComment);
      }
      if (sendRaw(frame.text)) armWatchdog();
      break;
    case Action::yield:
      log("<Dropped>| " + frame.text + "| a stop goes first", apmComment);
      Poll_.Ended(queryOf(frame));
      break;
    case Action::skip:
      log("<Skipped>| " + frame.text + "| unanswered at close", apmComment);
      break;
    case Action::trouble:
      if (cause == Failure::timeout) {
        DoOnTimeOut(this);
      } else {
        DoOnError(this);
      }
      break;
  }
}

// The query an information request asks, kqCount for any other frame.
// When its exchange ends (answered with any code, or given up) the query is
// no longer outstanding, so a value never freezes.
TKavtelQuery TKavtelDevice::queryOf(const TKavtelWireFrame& frame) {
  return frame.request ? TKavtelPollSchedule::QueryOfCode(std::string_view(frame.text).substr(1, 3))
                       : kqCount;
}

void TKavtelDevice::TimeoutHandler(std::uint32_t id) {
  if (!Online_.load()) return;
  TAPPSYSMutexHold hold(lock());
  // A late time-out for a frame that has been answered meanwhile.
  if (!Flight_.Busy() || Flight_.Id() != id) return;
  failed(Failure::timeout);
  postCommands();
}

void TKavtelDevice::DoOnError(TObject*) {
  if (!Online_.load()) return;
  TAPPSYSMutexHold hold(lock());
  disarmWatchdog();
  log("<Error>| " + (Flight_.Busy() ? Flight_.Current().text : std::string()), apmComment);
  SetInTrouble();
}

void TKavtelDevice::DoOnTimeOut(TObject*) {
  TAPPSYSMutexHold hold(lock());
  log("<TimeOut>| " + Flight_.Current().text, apmComment);
  SetInTrouble();
}

// The fault reset: the frame in flight and everything queued are dropped
// and the controller is identified again. Promised stops stay: they go out
// right after the identification is answered.
void TKavtelDevice::SetInTrouble() {
  TAPPSYSMutexHold hold(lock());
  AwaitingIdentification_.store(true);
  Flight_.Abandon();
  resetCommandCounter();
  CommandQueue_->restartBuffer();
  InfoQueue_->restartBuffer();
  sendIdle_.Set();
  if (GetControllerState() != ioDetecting) updateControllerState(ioDetecting);
}

}  // namespace kavtel
