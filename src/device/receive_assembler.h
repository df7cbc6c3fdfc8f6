#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kavtel {

// Cuts the bytes a controller sends into what the device acts on: answer
// frames (with their verdict), NAK bytes, and the text collected so far.
// It holds no thread, reads no clock and sends nothing: the device feeds it
// each received chunk and acts on every event it returns.
//
// A frame runs from the first SOH collected since the last frame end to the
// next frame end (ETB); bytes before that SOH are dropped. The collected
// text is kept up to kMaxText characters; more is counted but not stored,
// so memory stays bounded whatever the line delivers, and a frame whose text
// was cut is treated as damaged (or unusable when no SOH was among it).
class TKavtelReceiveAssembler {
 public:
  enum class Kind { none, frame, nak };
  // The verdict on a collected frame.
  enum class Verdict {
    ok,      // well formed, its checksum matches
    repeat,  // damaged: wrong or unreadable checksum, too short, or cut
    error,   // unusable: no SOH before the frame end
  };
  struct Event {
    Kind kind = Kind::none;
    Verdict verdict = Verdict::ok;
    std::string text;     // frame: from the first code character to the ETB
    std::string code;     // frame, verdict ok: the three-character answer code
    std::string payload;  // frame, verdict ok: between the code and the checksum
  };

  // The longest text kept between two frame ends.
  static constexpr std::size_t kMaxText = 4096;
  // More than this many characters without a frame end is a fault.
  static constexpr std::size_t kLongestFrame = 102;

  // Takes bytes up to and including the next frame end or NAK and returns
  // how many it took; `event` tells what ended there (Kind::none when the
  // bytes ran out first: all were taken and collected).
  std::size_t Feed(const char* data, std::size_t count, Event& event);

  // Characters collected since the last frame end or NAK, stored or not.
  std::size_t Collected() const { return length_; }
  // True when more has arrived without a frame end than a frame can hold.
  bool Overlong() const { return length_ > kLongestFrame; }
  // Forgets whatever was collected.
  void Clear();

 private:
  void check(Event& event);

  std::string text_;
  std::size_t length_ = 0;  // bytes since the last frame end, stored or not
  bool sawSoh_ = false;     // an SOH among them, stored or not
};

}  // namespace kavtel
