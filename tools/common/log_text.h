#pragma once

// Reading the protocol log back, for kavtelctl check and kavtel-sim's
// replay. A line is "elapsed<TAB>KIND<TAB>text" with KIND "TD: ", "RD: " or
// "OE: ". The log writes the bytes of the line as text: control bytes by
// name ("<SOH>", "<ETB>"), bytes from 127 up as two hex digits ("[80]"), and
// a text cut short ends in "<+N bytes>".

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

namespace kavtel::logtext {

inline bool IsDigits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// Calls fn(number, line) for each line of a log's text, numbered from 1,
// without its newline; a last line without a newline counts too.
template <typename Fn>
void ForEachLine(const std::string& text, Fn&& fn) {
  std::size_t number = 0;
  std::size_t from = 0;
  while (from < text.size()) {
    std::size_t end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    fn(++number, text.substr(from, end - from));
    from = end + 1;
  }
}

namespace detail {

inline constexpr const char* kControlNames[32] = {
    "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "HT",  "LF",
    "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
    "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};

inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace detail

// The bytes a rendered text stands for. Unknown names and hex below 127
// stay as they are; the mark of a cut text stands for nothing.
inline std::string Unrender(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '<') {
      const std::size_t close = text.find('>', i);
      if (close != std::string::npos) {
        const std::string name = text.substr(i + 1, close - i - 1);
        int byte = -1;
        for (int b = 0; b < 32 && byte < 0; ++b) {
          if (name == detail::kControlNames[b]) byte = b;
        }
        const bool cut = name.size() > 7 && name[0] == '+' &&
                         name.compare(name.size() - 6, 6, " bytes") == 0 &&
                         IsDigits(name.substr(1, name.size() - 7));
        if (byte >= 0 || cut) {
          if (byte >= 0) out += static_cast<char>(byte);
          i = close + 1;
          continue;
        }
      }
    }
    if (text[i] == '[' && i + 3 < text.size() && text[i + 3] == ']') {
      const int hi = detail::HexDigit(text[i + 1]);
      const int lo = detail::HexDigit(text[i + 2]);
      if (hi >= 0 && lo >= 0 && hi * 16 + lo >= 127) {
        out += static_cast<char>(hi * 16 + lo);
        i += 4;
        continue;
      }
    }
    out += text[i++];
  }
  return out;
}

struct Line {
  std::uint64_t elapsed = 0;  // ms since the file's start
  std::string kind;           // "TD: ", "RD: ", "OE: " or anything else found there
  std::string text;
};

// A log line (a CR before its end dropped); nullopt for a line that is not
// "digits<TAB>kind<TAB>text".
inline std::optional<Line> ParseLine(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const std::size_t tab1 = line.find('\t');
  const std::size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
  if (tab2 == std::string::npos || !IsDigits(line.substr(0, tab1))) return std::nullopt;
  Line out;
  out.elapsed = std::strtoull(line.substr(0, tab1).c_str(), nullptr, 10);
  out.kind = line.substr(tab1 + 1, tab2 - tab1 - 1);
  out.text = line.substr(tab2 + 1);
  return out;
}

// How a line put a frame on the wire: sent ("TD: <C>"/"<I>"), sent again
// after a time-out ("TD: <Timeouthandler> [n] |frame| (step)"), or sent again
// after a NAK or a damaged answer ("OE: <repeat>| frame").
enum class Sending { none, sent, afterTimeout, afterFault };
struct SentFrame {
  Sending how = Sending::none;
  std::string frame;  // the bytes on the wire
};

inline SentFrame FrameSent(const Line& line) {
  auto starts = [&line](const char* head) { return line.text.rfind(head, 0) == 0; };
  if (line.kind == "TD: " && (starts("<C>") || starts("<I>"))) {
    return {Sending::sent, Unrender(line.text.substr(3))};
  }
  if (line.kind == "TD: " && starts("<Timeouthandler>")) {
    const std::size_t open = line.text.find('|');
    const std::size_t close = open == std::string::npos ? open : line.text.find('|', open + 1);
    if (close == std::string::npos) return {};
    return {Sending::afterTimeout, Unrender(line.text.substr(open + 1, close - open - 1))};
  }
  if (line.kind == "OE: " && starts("<repeat>|")) {
    std::string frame = line.text.substr(9);
    if (!frame.empty() && frame[0] == ' ') frame.erase(0, 1);
    return {Sending::afterFault, Unrender(frame)};
  }
  return {};
}

}  // namespace kavtel::logtext
