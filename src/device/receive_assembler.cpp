#include "device/receive_assembler.h"

#include "device/wire_frame.h"

namespace kavtel {

void TKavtelReceiveAssembler::Clear() {
  text_.clear();
  length_ = 0;
  sawSoh_ = false;
}

std::size_t TKavtelReceiveAssembler::Feed(const char* data, std::size_t count, Event& event) {
  event.kind = Kind::none;
  for (std::size_t pos = 0; pos < count; ++pos) {
    const char c = data[pos];
    if (c == kNAK) {
      event.kind = Kind::nak;
      Clear();
      return pos + 1;
    }
    if (c == kETB) {
      text_ += c;
      ++length_;
      event.kind = Kind::frame;
      check(event);
      Clear();
      return pos + 1;
    }
    if (text_.size() < kMaxText) text_ += c;
    if (c == kSOH) sawSoh_ = true;
    ++length_;
  }
  return count;
}

// Judges the text collected up to the frame end just appended.
void TKavtelReceiveAssembler::check(Event& event) {
  event.code.clear();
  event.payload.clear();
  event.text.clear();
  // A frame end after more text than was kept: the frame is damaged.
  if (length_ > text_.size()) {
    event.text = text_;
    event.verdict = sawSoh_ ? Verdict::repeat : Verdict::error;
    return;
  }
  const std::size_t soh = text_.find(kSOH);
  if (soh == std::string::npos) {
    event.verdict = Verdict::error;
    return;
  }
  event.text.assign(text_, soh + 1, std::string::npos);
  const std::size_t length = event.text.size();
  // Code, two checksum digits and the frame end at the least.
  if (length < 6) {
    event.verdict = Verdict::repeat;
    return;
  }
  // The checksum is two decimal digits: a sign ("+5", "-0") is no checksum.
  const std::string_view text(event.text);
  const std::string_view digits = text.substr(length - 3, 2);
  const bool twoDigits = digits[0] >= '0' && digits[0] <= '9' && digits[1] >= '0' && digits[1] <= '9';
  if (!twoDigits || (digits[0] - '0') * 10 + (digits[1] - '0') != FrameChecksum(text.substr(0, length - 3))) {
    event.verdict = Verdict::repeat;
    return;
  }
  event.verdict = Verdict::ok;
  event.code.assign(text.substr(0, 3));
  event.payload.assign(text.substr(3, length - 6));
}

}  // namespace kavtel
