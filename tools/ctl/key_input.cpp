#include "key_input.h"

#include <cmath>
#include <locale>
#include <sstream>

namespace kavtel::ctl {

KeyCommand KeyInput::Feed(int key) {
  using Kind = KeyCommand::Kind;
  if (entry_ != Entry::none) {
    if (key == '\r' || key == '\n') {
      std::istringstream in(typed_);
      in.imbue(std::locale::classic());
      double value = 0;
      in >> value;
      const bool number = !typed_.empty() && !in.fail() && in.eof() && std::isfinite(value);
      const Kind kind = entry_ == Entry::speed ? Kind::speed : Kind::elevation;
      complaint_ = number ? std::string() : "'" + typed_ + "' is not a number";
      entry_ = Entry::none;
      typed_.clear();
      return number ? KeyCommand{kind, value} : KeyCommand{};
    }
    if (key == 27) {
      entry_ = Entry::none;
      typed_.clear();
    } else if ((key == 127 || key == 8) && !typed_.empty()) {
      typed_.pop_back();
    } else if ((key >= '0' && key <= '9') || key == '.' || (key == '-' && typed_.empty())) {
      typed_ += static_cast<char>(key);
    } else if (key == ',') {
      typed_ += '.';
    }
    return {};
  }
  complaint_.clear();
  switch (key) {
    case 'q': return {Kind::quit};
    case 's': return {Kind::start};
    case 'x':
    case ' ': return {Kind::stop};
    case '+':
    case '=': return {Kind::faster};
    case '-': return {Kind::slower};
    case 'u': return {Kind::up};
    case 'd': return {Kind::down};
    case 'l': return {Kind::toggle_log};
    case 'v': entry_ = Entry::speed; return {};
    case 'e': entry_ = Entry::elevation; return {};
    default: return {};
  }
}

std::string KeyInput::Footer() const {
  switch (entry_) {
    case Entry::speed: return "  speed in m/s (Enter sets, Esc cancels): " + typed_;
    case Entry::elevation: return "  elevation (Enter sets, Esc cancels): " + typed_;
    case Entry::none: break;
  }
  std::string footer =
      "  keys: s start  x stop  + faster  - slower  u up  d down  v speed  e elevation  l log  q quit";
  if (!complaint_.empty()) footer += "\n  " + complaint_;
  return footer;
}

}  // namespace kavtel::ctl
