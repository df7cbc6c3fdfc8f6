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

// Stops may go whenever the controller is identified, and always while
// closing; while it is being identified they wait for its answer.
bool TKavtelDevice::stopsMayGo() const { return Closing_.load() || !AwaitingIdentification_.load(); }

void TKavtelDevice::postCommands() {
  TAPPSYSMutexHold hold(lock());
  if (Flight_.Busy()) return;
  if (LineLost_.load()) {
    sendIdle_.Set();
    return;
  }
  if (Flight_.StopWaiting() && stopsMayGo()) {
    transmit(Flight_.StartStop());
    return;
  }
  // While closing nothing but the stops goes out.
  TAPPSYSCommand* next = Closing_.load() ? nullptr : CommandQueue_->peekCommand();
  const bool request = next == nullptr && !Closing_.load();
  if (request) next = InfoQueue_->peekCommand();
  if (next == nullptr) {
    sendIdle_.Set();
    return;
  }
  // The frame is copied: the ring may reuse its record at once.
  TKavtelWireFrame frame;
  frame.text = next->GetOutString();
  frame.number = next->GetContinuousNr();
  frame.request = request;
  Flight_.Start(frame);
  transmit(Flight_.Current());
}

void TKavtelDevice::transmit(const TKavtelWireFrame& frame) {
  sendIdle_.Reset();
  log((frame.request ? "<I>" : "<C>") + frame.text, apmTD);
  if (sendRaw(frame.text)) armWatchdog();
}

}  // namespace kavtel
