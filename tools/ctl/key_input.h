#pragma once

// The keys of `kavtelctl run`, one keystroke at a time:
//   s start   x or space stop   + faster   - slower   u up   d down
//   v speed entry (m/s)   e elevation entry   l log on/off   q quit
// An entry collects digits and a decimal point ("," counts as one) until
// Enter; Backspace deletes, Esc cancels.

#include <string>

namespace kavtel::ctl {

struct KeyCommand {
  enum class Kind { none, quit, start, stop, faster, slower, up, down, speed, elevation, toggle_log };
  Kind kind = Kind::none;
  double value = 0;  // speed and elevation
};

class KeyInput {
 public:
  KeyCommand Feed(int key);
  // What to show under the panel: the key help, or the entry being typed.
  std::string Footer() const;

 private:
  enum class Entry { none, speed, elevation };
  Entry entry_ = Entry::none;
  std::string typed_;
  std::string complaint_;  // the last entry that was not a number
};

}  // namespace kavtel::ctl
