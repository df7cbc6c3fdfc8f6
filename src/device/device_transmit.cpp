// The send side of the device: the queues and the send step go to the
// exchange; what it asks for is applied here.
#include "device/kavtel_device.h"

namespace kavtel {

bool TKavtelDevice::senduqs(const std::string& text) {
  TAPPSYSMutexHold hold(lock());
  const bool queued = Exchange_.QueueCommand(text);
  applyOutbox();
  return queued;
}

bool TKavtelDevice::sendinfouqs(const std::string& text) {
  TAPPSYSMutexHold hold(lock());
  const bool queued = Exchange_.QueueRequest(text);
  applyOutbox();
  return queued;
}

bool TKavtelDevice::sendinfomqs(const std::string& text) {
  TAPPSYSMutexHold hold(lock());
  const bool queued = Exchange_.QueueRequestBody(text);
  applyOutbox();
  return queued;
}

void TKavtelDevice::postCommands() {
  TAPPSYSMutexHold hold(lock());
  Exchange_.Post();
  applyOutbox();
}

void TKavtelDevice::applyOutbox() {
  TKavtelOutbox& outbox = Exchange_.Outbox();
  while (!outbox.empty()) {
    // Taken out first: a host callback run from here (a state change) may
    // give the exchange a new event, whose outbox is applied on its own.
    TKavtelOutbox batch;
    batch.swap(Applying_);
    batch.clear();
    batch.swap(outbox);
    bool lost = false;
    for (const TKavtelExchangeOutput& o : batch) {
      using Kind = TKavtelExchangeOutput::Kind;
      switch (o.kind) {
        case Kind::write:
          // A write that fails means the line is gone (a pulled cable):
          // nothing after it in this outbox is done.
          lost = !writeLine(o.text);
          break;
        case Kind::arm:
          // The time-out runs from the write just made; the clock is read
          // once per write.
          if (Watchdog_.service) {
            Exchange_.TimerStarted(o.token, now());
            Watchdog_.alarm.Arm(o.token, o.ms);
          }
          break;
        case Kind::disarm:
          if (Watchdog_.service) {
            Watchdog_.alarm.Disarm();
            Watchdog_.service->deactivateTimerID();  // a time-out handed on but not yet run
          }
          break;
        case Kind::log:
          log(o.text, o.logKind);
          break;
        case Kind::userLine:
          logUserLine(o.text);
          break;
        case Kind::state:
          updateControllerState(o.state);
          break;
        case Kind::link:
          Link_.lost.store(o.lost);
          Link_.identifying.store(o.identifying);
          break;
        case Kind::answer:
          if (const TKavtelAnswer* answer = FindAnswer(o.code)) answer->decoder(o.text);
          break;
        case Kind::nak:
          Readings_.naks.fetch_add(1);
          break;
        case Kind::fault:
          Readings_.faults.fetch_add(1);
          break;
      }
      if (lost) break;
    }
    batch.clear();
    Applying_.swap(batch);
    if (lost) lineLost("write failed");
  }
  publish();
}

void TKavtelDevice::publish() {
  // The link flags arrive as outbox entries, in their order against the
  // state; only the close's idle event follows the exchange from here.
  const bool idle = Exchange_.Idle();
  if (idle == Link_.idlePublished) return;
  Link_.idlePublished = idle;
  if (idle) {
    Link_.idle.Set();
  } else {
    Link_.idle.Reset();
  }
}

bool TKavtelDevice::writeLine(const std::string& bytes) {
  if (!Port_ || Link_.lost.load()) return false;
  return Port_->SendData(bytes) == static_cast<std::int32_t>(bytes.size());
}

}  // namespace kavtel
