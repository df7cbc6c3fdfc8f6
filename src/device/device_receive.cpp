// The receive side of the device: received chunks and answer time-outs go
// to the exchange, and so do the faults the port reports.
#include "device/kavtel_device.h"

namespace kavtel {

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
  // Bytes from a port that is not (or no longer) online belong to no
  // exchange; the exchange itself ignores them once the line is lost.
  if (count <= 0 || !Link_.online.load()) return;
  // A controller that floods the line fills the log with a bounded summary.
  const LoggedChunk chunk(Port_ ? Port_->GetProtocol() : nullptr);
  Exchange_.Received(buffer, static_cast<std::size_t>(count));
  applyOutbox();
}

void TKavtelDevice::TimeoutHandler(std::uint32_t id) {
  if (!Link_.online.load()) return;
  TAPPSYSMutexHold hold(lock());
  Exchange_.FrameTimedOut(id);
  applyOutbox();
}

void TKavtelDevice::AnswerTimedOut(std::uint32_t token) {
  if (!Link_.online.load()) return;
  TAPPSYSMutexHold hold(lock());
  Exchange_.TimedOut(token, now());
  applyOutbox();
}

void TKavtelDevice::timeoutDue(std::uint32_t token) {
  // The service outlives the alarm's membership (it is made before the
  // alarm joins and ended after it left), so it is there while this runs.
  Watchdog_.service->activateTimerID(token);
}

void TKavtelDevice::DoOnError(TObject*) {
  if (!Link_.online.load()) return;
  TAPPSYSMutexHold hold(lock());
  Exchange_.Error();
  applyOutbox();
}

void TKavtelDevice::DoOnTimeOut(TObject*) {
  TAPPSYSMutexHold hold(lock());
  Exchange_.Trouble();
  applyOutbox();
}

void TKavtelDevice::SetInTrouble() {
  TAPPSYSMutexHold hold(lock());
  Exchange_.Trouble();
  applyOutbox();
}

}  // namespace kavtel
