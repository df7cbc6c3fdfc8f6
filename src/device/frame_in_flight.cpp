#include "device/frame_in_flight.h"

#include <algorithm>

#include "device/setpoints.h"
#include "device/wire_frame.h"

namespace kavtel {

namespace {

TKavtelWireFrame StopFrame(const std::string& text) {
  TKavtelWireFrame frame;
  frame.text = BuildFrame(text);
  frame.stop = true;
  frame.confirms = IsStopText(text);  // an acceleration sent with the stop confirms nothing
  return frame;
}

}  // namespace

void TKavtelFrameInFlight::Start(const TKavtelWireFrame& frame) {
  current_ = frame;
  busy_ = true;
  repeats_ = 0;
  stopOnWire_ = false;
  ++id_;
}

bool TKavtelFrameInFlight::StopWaiting() const {
  return stops_.size() > (stopOnWire_ && busy_ ? 1u : 0u);
}

const TKavtelWireFrame& TKavtelFrameInFlight::StartStop() {
  Start(stops_.front());
  stopOnWire_ = true;
  return current_;
}

void TKavtelFrameInFlight::Promise(const std::string& text, const std::vector<std::string>& collapsed) {
  if (stops_.size() < kMaxStops || collapsed.empty()) {
    stops_.push_back(StopFrame(text));
    return;
  }
  PromiseGroup(collapsed);
}

void TKavtelFrameInFlight::PromiseGroup(const std::vector<std::string>& texts) {
  // A stop on the wire finishes first; everything else that waits is
  // covered by the group.
  const bool keepFront = stopOnWire_ && busy_ && !stops_.empty();
  TKavtelWireFrame front;
  if (keepFront) front = stops_.front();
  stops_.clear();
  if (keepFront) stops_.push_back(front);
  for (const std::string& text : texts) stops_.push_back(StopFrame(text));
}

void TKavtelFrameInFlight::popFrontStop(bool answered) {
  if (!answered && stops_.front().confirms) ++skippedConfirms_;
  stops_.pop_front();
  stopOnWire_ = false;
}

void TKavtelFrameInFlight::Answered() {
  if (!busy_) return;
  busy_ = false;
  if (stopOnWire_) popFrontStop(true);
}

TKavtelFrameInFlight::Action TKavtelFrameInFlight::Failed(Failure, bool stopsMayGo, bool closing) {
  if (!stopOnWire_ && ((stopsMayGo && StopWaiting()) || closing)) {
    // Nothing is repeated ahead of a stop, nor while the port closes.
    busy_ = false;
    return Action::yield;
  }
  if (repeats_ < maxRepeats_) {
    ++repeats_;
    return Action::repeat;
  }
  busy_ = false;
  if (closing && stopOnWire_) {
    popFrontStop(false);
    return Action::skip;
  }
  stopOnWire_ = false;  // a promised stop stays waiting for the next chance
  return Action::trouble;
}

void TKavtelFrameInFlight::Forget() {
  busy_ = false;
  stopOnWire_ = false;
  repeats_ = 0;
  stops_.clear();
  skippedConfirms_ = 0;
}

bool TKavtelFrameInFlight::StopConfirmed() const {
  if (skippedConfirms_ != 0) return false;
  return std::none_of(stops_.begin(), stops_.end(),
                      [](const TKavtelWireFrame& f) { return f.confirms; });
}

}  // namespace kavtel
