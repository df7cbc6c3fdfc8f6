#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace kavtel {

// A frame as the device sends it, held by value: nothing the queues do later
// (a restart, a reused record) can change or free the frame on the wire.
struct TKavtelWireFrame {
  std::string text;          // the complete frame, SOH to ETB
  std::uint32_t number = 0;  // the queue's running number, shown in the log
  bool request = false;      // an information request (a poll)
  bool stop = false;         // a stop command: promised until answered
  bool confirms = false;     // its answer confirms a stop (speed 0, stop key)
};

// The one frame on the wire and the stop commands the device has promised
// to deliver, with the rule that decides what a failed exchange leads to.
// It holds no thread and reads no clock: the device tells it what happened
// on the line and acts on the answer.
//
// Stops: a stop command, once accepted, stays here until the controller
// answers it, or until the port closes after the close's own stop attempt
// (Forget). Trouble never drops it. It goes out ahead of every other frame
// at the first chance: a frame in flight that fails while a stop may go is
// given up at once instead of repeated (so is any frame but a stop while
// the port closes). A stop frame itself is repeated like any other frame;
// when its repeats are spent the device falls into trouble and the stop
// goes out again once the controller is identified, except while closing,
// when it is skipped and the rest of the stop group follows.
class TKavtelFrameInFlight {
 public:
  enum class Failure { nak, damaged, timeout };
  enum class Action {
    repeat,   // send the frame again: a repeat was counted
    yield,    // give the frame up without a fault: a stop goes next, or closing
    skip,     // closing: a stop frame spent its repeats; the group goes on
    trouble,  // repeats spent: fall into trouble (a stop stays promised)
  };
  // Stop frames kept at the most; a further stop collapses the waiting ones
  // into the stop group the caller gives (which covers every stop).
  static constexpr std::size_t kMaxStops = 16;

  explicit TKavtelFrameInFlight(std::int32_t maxRepeats = 5) : maxRepeats_(maxRepeats) {}

  bool Busy() const { return busy_; }
  // The frame on the wire; meaningful while Busy().
  const TKavtelWireFrame& Current() const { return current_; }
  // The number the watchdog is armed with: new for every frame started, so
  // a late time-out of an earlier frame never matches.
  std::uint32_t Id() const { return id_; }
  std::int32_t RepeatCount() const { return repeats_; }
  std::int32_t MaxRepeats() const { return maxRepeats_; }

  // Puts a frame on the wire (the caller writes it): repeats start at 0.
  void Start(const TKavtelWireFrame& frame);
  // A promised stop waits that is not on the wire yet.
  bool StopWaiting() const;
  // Starts the oldest waiting stop and returns it.
  const TKavtelWireFrame& StartStop();
  // Promises one stop frame (a command text; it is framed here). When
  // kMaxStops are already kept, the waiting ones are replaced by the stop
  // group `collapsed` instead.
  void Promise(const std::string& text, const std::vector<std::string>& collapsed = {});
  // Promises a whole stop group: it replaces every waiting stop (a stop on
  // the wire stays and finishes first).
  void PromiseGroup(const std::vector<std::string>& texts);
  std::size_t PromisedStops() const { return stops_.size(); }

  // The controller answered the frame on the wire (with any code).
  void Answered();
  // The frame on the wire failed. `stopsMayGo` says whether a waiting stop
  // could be sent now; `closing` whether the close's stop attempt runs.
  Action Failed(Failure cause, bool stopsMayGo, bool closing);
  // The device fell into trouble: the frame on the wire is gone; promised
  // stops stay.
  void Abandon() {
    busy_ = false;
    stopOnWire_ = false;
  }
  // Closed, or opened afresh: nothing on the wire, nothing promised.
  void Forget();

  // True when every confirming stop frame promised since the last Forget
  // was answered (also when none was promised).
  bool StopConfirmed() const;

 private:
  void popFrontStop(bool answered);

  std::int32_t maxRepeats_;
  TKavtelWireFrame current_;
  bool busy_ = false;
  std::int32_t repeats_ = 0;
  std::uint32_t id_ = 0;
  bool stopOnWire_ = false;  // the frame on the wire is stops_.front()
  std::deque<TKavtelWireFrame> stops_;
  std::uint32_t skippedConfirms_ = 0;
};

}  // namespace kavtel
