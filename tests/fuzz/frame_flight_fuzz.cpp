// libFuzzer target with state: the device's exchange itself, driven by a
// line that answers, refuses, damages or stays silent and by a host that
// queues commands, promises stops, closes and pulls the cable, as the input
// says. Time is a number the input moves; the answer time-outs fire when
// it passes their deadline. No device, no thread, no real time.
//
// Each input byte is one event. After every event these must hold:
// - one frame in flight: an event writes at most one frame;
// - no frame is sent twice (the same frame number again) without a NAK, a
//   damaged answer or its time-out in the event that repeats it, and its
//   repeats never exceed their maximum;
// - a promised stop is never dropped: the number of promised stops falls
//   only when the controller answers one (by one), when the close skips a
//   spent one (by one) or ends (to none); a new promise never leaves fewer
//   than a whole stop group;
// - stops go first: no frame but a stop starts while a stop waits and may go;
// - the close's group is whole and in order: the frames the close writes,
//   repeats taken together, are the stop group in order (after the stop
//   that was on the wire when it began), all of it unless the line went.
//   The host gives nothing else while its close runs.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "device/exchange.h"
#include "device/setpoints.h"
#include "device/wire_frame.h"
#include "fuzz/check.h"

namespace {

using kavtel::fuzz::Check;
using namespace kavtel;
using Out = TKavtelExchangeOutput;
using std::chrono::milliseconds;

constexpr std::uint32_t kCycleMs = 250;

class Line {
 public:
  Line() { ex_.SetAnswerTimeout(milliseconds(1000)); }

  void Run(const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      const std::size_t stopsBefore = ex_.PromisedStops();
      failure_ = false;
      answered_ = false;
      promised_ = false;
      closeEnded_ = false;
      Event(data[i]);
      Apply();
      CheckStops(stopsBefore);
      Check(ex_.View().repeatCount <= ex_.MaxRepeats());
    }
  }

 private:
  void Event(std::uint8_t byte) {
    const std::uint8_t arg = byte >> 4;
    const int kind = byte & 15;
    // The close is the host's own call: it gives nothing else meanwhile.
    if (closing_ && (kind == 6 || kind == 7 || kind == 8)) return;
    switch (kind) {
      case 0:  // time passes
      case 1:
        Advance(20u * (arg + 1));
        break;
      case 2:  // the controller answers what is on the wire
      case 3:
        if (!onWire_.empty()) {
          answered_ = true;
          Receive(BuildFrame(AnswerTo(onWire_)));
        }
        break;
      case 4:  // NAK
        failure_ = true;
        Receive(std::string(1, kNAK));
        break;
      case 5: {  // a damaged answer
        failure_ = true;
        std::string frame = BuildFrame("S012.50");
        frame[frame.size() - 2] ^= 1;
        Receive(frame);
        break;
      }
      case 6:  // the host queues a command
        ex_.QueueCommand("A00" + std::to_string(arg % 8));
        ex_.Post();
        break;
      case 7:  // the host presses or releases the stop key, or sets speed 0
        promised_ = true;
        ex_.PromiseStop(arg % 3 == 0 ? stop_text::kKeyPress
                        : arg % 3 == 1 ? stop_text::kKeyRelease
                                       : stop_text::kSpeedZero,
                        arg % 3 != 1);
        break;
      case 8:  // an emergency stop: the whole group
        promised_ = true;
        ex_.EmergencyStop();
        break;
      case 9:  // garbage: an unusable frame
        Receive(std::string("S0") + kETB);
        break;
      case 10:  // the cable is pulled, or comes back
        if (arg % 2 == 0) {
          ex_.LineLost();
        } else if (ex_.IsLineLost()) {
          ex_.LineBack();
        }
        break;
      case 11:  // the close begins
        if (!closing_ && arg < 4) {
          closing_ = true;
          closeFrames_.clear();
          stopOnWireAtClose_ = IsStop(onWire_) ? onWire_ : std::string();
          idAtClose_ = lastId_;
          groupAtClose_ = StopGroup(ex_.VersionMajor());
          closeLineLost_ = ex_.IsLineLost();
          closeNeeded_ = ex_.CloseBegun();
          promised_ = closeNeeded_;
        }
        break;
      case 12:  // the close ends
        if (closing_ && arg < 4) {
          CheckCloseGroup();
          closing_ = false;
          closeEnded_ = true;
          ex_.CloseEnded();
          ex_.ResetForOpen();
          ex_.Opened();
        }
        break;
      default:  // a cycle tick's worth of time
        Advance(kCycleMs);
        break;
    }
  }

  // The controller's answer: its code and a value the exchange can read.
  static std::string AnswerTo(const std::string& frameText) {
    const std::string code = frameText.substr(0, 3);
    if (code == "V00") return "V00203";
    if (code == "S00") return "S001";
    if (code == "D00") return "D00100";
    return frameText;  // a command's answer echoes it
  }

  void Advance(std::uint32_t ms) {
    const Clock until = now_ + milliseconds(ms);
    while (now_ < until) {
      const Clock nextTick = lastTick_ + milliseconds(kCycleMs);
      Clock step = std::min(until, nextTick);
      if (armed_) step = std::min(step, due_);
      now_ = step;
      if (armed_ && now_ >= due_) {
        armed_ = false;
        failure_ = true;
        ex_.TimedOut(token_, now_);
        Apply();
      }
      if (now_ >= nextTick) {
        lastTick_ = now_;
        if (!closing_) ex_.Tick();
        Apply();
      }
    }
  }

  void Receive(const std::string& bytes) { ex_.Received(bytes.data(), bytes.size()); }

  // What the device would do with the outbox, checked on the way.
  void Apply() {
    int frames = 0;
    for (const Out& o : ex_.Outbox()) {
      switch (o.kind) {
        case Out::Kind::write:
          for (std::size_t at = o.text.find(kSOH); at != std::string::npos; at = o.text.find(kSOH, at + 1)) {
            ++frames;
            Written(o.text.substr(at + 1, o.text.find(kETB, at) - at - 3));
          }
          break;
        case Out::Kind::arm:
          armed_ = true;
          token_ = o.token;
          due_ = now_ + milliseconds(o.ms);
          ex_.TimerStarted(o.token, now_);
          break;
        case Out::Kind::disarm:
          armed_ = false;
          break;
        default:
          break;
      }
    }
    ex_.Outbox().clear();
    Check(frames <= 1);
    if (!ex_.Busy()) onWire_.clear();
  }

  void Written(const std::string& text) {
    const std::uint32_t id = ex_.View().lastCommandID;
    // The same frame again only after a failure in this event.
    if (id == lastId_) Check(failure_ && text == onWire_);
    // Stops first: a new frame that is no stop leaves no stop waiting that
    // could go.
    if (id != lastId_ && !IsStop(text) && (ex_.Closing() || !ex_.AwaitingIdentification()))
      Check(ex_.PromisedStops() == 0);
    lastId_ = id;
    onWire_ = text;
    // Repeats, and a stop sent again after trouble, count once.
    if (closing_ && id != idAtClose_ && (closeFrames_.empty() || closeFrames_.back() != text))
      closeFrames_.push_back(text);
  }

  // A frame of a stop group: a stop text, or the gentle acceleration sent
  // ahead of one.
  static bool IsStop(const std::string& text) { return IsStopText(text) || text == stop_text::kGentle; }

  void CheckStops(std::size_t before) {
    const std::size_t after = ex_.PromisedStops();
    if (closeEnded_) {
      Check(after == 0);
      return;
    }
    if (promised_) {
      Check(after >= std::min<std::size_t>(before + 1, StopGroup(ex_.VersionMajor()).size()));
      return;
    }
    // An answer takes one stop; a time-out at the close may skip one too.
    const std::size_t mayLeave = (answered_ ? 1 : 0) + (closing_ && failure_ ? 1 : 0);
    Check(after + mayLeave >= before);
  }

  // The close wrote the stop on the wire (if any), then the group in
  // order, each frame once however often it was repeated.
  void CheckCloseGroup() {
    if (!closeNeeded_ || closeLineLost_) return;
    const std::vector<std::string>& expected = groupAtClose_;
    std::vector<std::string> sent = closeFrames_;
    // The stop on the wire when the close began goes first; after trouble
    // it is sent again, as a frame of its own.
    if (!sent.empty() && !stopOnWireAtClose_.empty() && sent.front() == stopOnWireAtClose_ &&
        stopOnWireAtClose_ != expected.front())
      sent.erase(sent.begin());
    Check(sent.size() <= expected.size());
    Check(std::equal(sent.begin(), sent.end(), expected.begin()));
    if (ex_.StopsSettled() && !ex_.IsLineLost()) Check(sent.size() == expected.size());
  }

  using Clock = TKavtelClock::time_point;
  Clock Now() const { return now_; }

  TKavtelExchange ex_{16};
  Clock now_{std::chrono::hours(1)};
  Clock lastTick_{std::chrono::hours(1)};
  Clock due_{};
  bool armed_ = false;
  std::uint32_t token_ = 0;
  std::string onWire_;
  std::uint32_t lastId_ = 0;
  bool failure_ = false;
  bool answered_ = false;
  bool promised_ = false;
  bool closeEnded_ = false;
  bool closing_ = false;
  bool closeNeeded_ = false;
  bool closeLineLost_ = false;
  std::string stopOnWireAtClose_;
  std::uint32_t idAtClose_ = 0;  // the frame on the wire when the close began
  std::vector<std::string> groupAtClose_;
  std::vector<std::string> closeFrames_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Line line;
  line.Run(data, size);
  return 0;
}
