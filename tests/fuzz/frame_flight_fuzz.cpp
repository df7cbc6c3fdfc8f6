// libFuzzer target with state: the frame in flight, its repeats and the
// promised stops, driven the way the device drives them (its send step, the
// answer time-out, trouble and re-identification, the close), by a fake
// clock and a line that answers, refuses, damages or stays silent as the
// input says. No device, no thread, no real time.
//
// Each input byte is one event on the line or from the host. After every
// event the send step runs, and these must hold:
// - one frame in flight: a frame is started only when none is on the wire;
// - a stop is never dropped: the promised stops are exactly those promised
//   and not yet answered (or skipped by the close, or replaced by a whole
//   stop group, or forgotten at the close);
// - stops go first: no other frame starts while a stop may go and waits;
// - a frame is never sent twice without a NAK, a damaged answer or a
//   time-out between, and its repeats never exceed their maximum.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string_view>
#include <string>
#include <vector>

#include "device/frame_in_flight.h"
#include "device/poll_schedule.h"
#include "device/wire_frame.h"
#include "fuzz/check.h"

namespace {

using kavtel::fuzz::Check;
using namespace kavtel;
using Flight = TKavtelFrameInFlight;

constexpr std::uint32_t kTimeoutMs = 1000;
constexpr std::uint32_t kCycleMs = 250;
const std::vector<std::string> kStopGroup = {"S020.00", "U00S", "A001"};

class Line {
 public:
  void Run(const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      Event(data[i]);
      SendStep();
      Check(flight_.PromisedStops() == stops_);
      Check(flight_.RepeatCount() <= flight_.MaxRepeats());
      Check(flight_.Busy() == onWire_);
    }
  }

 private:
  void Event(std::uint8_t byte) {
    const std::uint8_t arg = byte >> 4;
    switch (byte & 15) {
      case 0:  // time passes
      case 1:
        Advance(20u * (arg + 1));
        break;
      case 2:  // a valid answer
      case 3:
        if (onWire_) Answer();
        break;
      case 4:  // NAK
        if (onWire_) Fail(Flight::Failure::nak);
        break;
      case 5:  // a damaged answer
        if (onWire_) Fail(Flight::Failure::damaged);
        break;
      case 6:  // the host queues a command
        if (commands_.size() < 64) commands_.push_back("A00" + std::to_string(arg % 8));
        break;
      case 7:  // the host presses the stop key
        Promise(arg % 2 == 0 ? "U00S" : "S020.00");
        break;
      case 8:  // an emergency stop: the whole group
        PromiseGroup();
        break;
      case 9:  // the answer was a protocol error: trouble at once
        if (onWire_) Trouble();
        break;
      case 10:  // the controller answered the identification
        if (awaitingId_ && !onWire_) awaitingId_ = false;
        break;
      case 11:  // the close begins
        if (!closing_ && arg == 0) {
          closing_ = true;
          commands_.clear();
          requests_.clear();
          PromiseGroup();
        }
        break;
      case 12:  // the close ends: everything is forgotten
        if (closing_ && arg == 0) {
          flight_.Forget();
          stops_ = 0;
          onWire_ = false;
          closing_ = false;
          awaitingId_ = true;
        }
        break;
      default:  // a cycle tick's worth of time
        Advance(kCycleMs);
        break;
    }
  }

  void Advance(std::uint32_t ms) {
    const std::uint64_t until = now_ + ms;
    while (now_ < until) {
      const std::uint64_t nextTick = lastTick_ + kCycleMs;
      const std::uint64_t deadline = onWire_ ? sentAt_ + kTimeoutMs : until;
      const std::uint64_t step = std::min<std::uint64_t>({until, nextTick, deadline});
      now_ = step;
      if (onWire_ && now_ >= sentAt_ + kTimeoutMs) {
        Fail(Flight::Failure::timeout);
        SendStep();
      }
      if (now_ >= nextTick) {
        lastTick_ = now_;
        Tick();
        SendStep();
      }
    }
  }

  // The cycle: identification while awaited, else the next poll step.
  void Tick() {
    if (closing_) return;
    if (awaitingId_) {
      if (!onWire_ && commands_.empty()) commands_.push_back("V00");
      return;
    }
    poll_.Step(false, [&](const TKavtelPollSchedule::Query& q) {
      requests_.push_back(std::string(1, kSOH) + q.frameBody + kETB);
    });
  }

  bool StopsMayGo() const { return closing_ || !awaitingId_; }

  void SendStep() {
    if (onWire_) return;
    if (flight_.StopWaiting() && StopsMayGo()) {
      Send(flight_.StartStop(), true);
      return;
    }
    if (closing_) return;
    TKavtelWireFrame frame;
    if (!commands_.empty()) {
      frame.text = BuildFrame(commands_.front());
      commands_.pop_front();
    } else if (!requests_.empty()) {
      frame.text = requests_.front();
      frame.request = true;
      requests_.pop_front();
    } else {
      return;
    }
    frame.number = ++number_;
    // Nothing but a stop goes while a stop may go and waits.
    Check(!(flight_.StopWaiting() && StopsMayGo()));
    Check(!flight_.Busy());
    flight_.Start(frame);
    Send(flight_.Current(), false);
  }

  void Send(const TKavtelWireFrame& frame, bool stop) {
    Check(flight_.Busy() && frame.stop == stop);
    // The same frame again (same watchdog number) only after a failure.
    if (flight_.Id() == lastId_) Check(failedSinceSend_);
    lastId_ = flight_.Id();
    failedSinceSend_ = false;
    onWire_ = true;
    sentAt_ = now_;
  }

  void Answer() {
    const bool stop = flight_.Current().stop;
    const bool request = flight_.Current().request;
    const std::string text = flight_.Current().text;
    flight_.Answered();
    Check(!flight_.Busy());
    onWire_ = false;
    if (stop) --stops_;
    if (request) poll_.Ended(TKavtelPollSchedule::QueryOfCode(std::string_view(text).substr(1, 3)));
    if (text == BuildFrame("V00")) awaitingId_ = false;
  }

  void Fail(Flight::Failure cause) {
    failedSinceSend_ = true;
    const bool stop = flight_.Current().stop;
    const bool request = flight_.Current().request;
    const std::string text = flight_.Current().text;
    switch (flight_.Failed(cause, StopsMayGo(), closing_)) {
      case Flight::Action::repeat:
        Check(flight_.Busy());
        Send(flight_.Current(), stop);
        break;
      case Flight::Action::yield:
        Check(!stop);
        onWire_ = false;
        if (request) poll_.Ended(TKavtelPollSchedule::QueryOfCode(std::string_view(text).substr(1, 3)));
        break;
      case Flight::Action::skip:
        Check(stop && closing_);
        onWire_ = false;
        --stops_;
        break;
      case Flight::Action::trouble:
        onWire_ = false;
        Trouble();
        break;
    }
  }

  // The fault reset: the frame in flight and the queues go; stops stay.
  void Trouble() {
    flight_.Abandon();
    onWire_ = false;
    commands_.clear();
    requests_.clear();
    poll_.ResetCounters();
    awaitingId_ = true;
  }

  void Promise(const std::string& text) {
    const bool collapses = flight_.PromisedStops() >= Flight::kMaxStops;
    flight_.Promise(text, kStopGroup);
    if (collapses) {
      stops_ = StopOnWire() + kStopGroup.size();
    } else {
      ++stops_;
    }
  }

  void PromiseGroup() {
    flight_.PromiseGroup(kStopGroup);
    stops_ = StopOnWire() + kStopGroup.size();
  }

  std::size_t StopOnWire() const { return onWire_ && flight_.Current().stop ? 1 : 0; }

  Flight flight_;
  TKavtelPollSchedule poll_;
  std::deque<std::string> commands_;
  std::deque<std::string> requests_;
  std::size_t stops_ = 0;  // promised and not yet answered, skipped or replaced
  bool onWire_ = false;
  bool awaitingId_ = true;
  bool closing_ = false;
  bool failedSinceSend_ = false;
  std::uint32_t lastId_ = 0;
  std::uint32_t number_ = 0;
  std::uint64_t now_ = 0;
  std::uint64_t sentAt_ = 0;
  std::uint64_t lastTick_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Line line;
  line.Run(data, size);
  return 0;
}
