#pragma once

// The protocol log writes the bytes of the line as text: control bytes by
// name ("<SOH>", "<ETB>"), bytes from 127 up as two hex digits ("[80]"), and
// a text cut short ends in "<+N bytes>". kavtelctl check and kavtel-sim's
// replay both read it back with this one function.

#include <string>

namespace kavtel::logtext {

namespace detail {

inline constexpr const char* kControlNames[32] = {
    "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "HT",  "LF",
    "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
    "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};

inline bool IsDigits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

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
                         detail::IsDigits(name.substr(1, name.size() - 7));
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

}  // namespace kavtel::logtext
