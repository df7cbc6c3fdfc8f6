// The send side of the device: framing, the two queues and the send step.
#include "device/kavtel_device.h"
#include "device/wire_frame.h"

namespace kavtel {

bool TKavtelDevice::queueFrame(TAPPSYSCommandRingBuffer& queue, const std::string& frame) {
  TAPPSYSMutexHold hold(lock());
  if (queue.addCommand(frame, {}, {}, {}, true)) return true;
  // A full queue refuses the frame rather than overwrite one still waiting
  // or in flight.
  log("<Refused>| " + frame, apmComment);
  return false;
}

bool TKavtelDevice::senduqs(const std::string& text) {
  return queueFrame(*CommandQueue_, BuildFrame(text));
}

bool TKavtelDevice::sendinfouqs(const std::string& text) {
  return queueFrame(*InfoQueue_, BuildFrame(text));
}

bool TKavtelDevice::sendinfomqs(const std::string& text) {
  return queueFrame(*InfoQueue_, kSOH + text + kETB);
}

void TKavtelDevice::postCommands() {
  TAPPSYSMutexHold hold(lock());
  if (PendingCommand_ != nullptr) return;
  RepeatCount_ = 0;
  TAPPSYSCommand* next = CommandQueue_->peekCommand();
  const bool request = next == nullptr;
  if (request) next = InfoQueue_->peekCommand();
  if (next == nullptr) {
    sendIdle_.Set();
    return;
  }
  sendIdle_.Reset();
  PendingCommand_ = next;
  PendingIsRequest_ = request;
  log((request ? "<I>" : "<C>") + next->GetOutString(), apmTD);
  sendRaw(next->GetOutString());
  LastCommandID_ = next->GetContinuousNr();
  armWatchdog(LastCommandID_);
}

}  // namespace kavtel
