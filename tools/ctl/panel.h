#pragma once

// The live panel: every value of a device, its state and version. On a
// terminal it is redrawn in place, with messages scrolling above it; into a
// file or a pipe it becomes plain lines, one whenever a value changes.

#include <ostream>
#include <string>
#include <vector>

#include "readings.h"

namespace kavtel::ctl {

// The panel's lines for COM<port>, and `footer` (key help, an entry) below.
std::vector<std::string> PanelLines(int port, const Readings& readings, const std::string& footer);
// The same values on one line, for plain output.
std::string PlainLine(double seconds, const Readings& readings);

class PanelView {
 public:
  PanelView(std::ostream& out, bool in_place) : out_(out), in_place_(in_place) {}

  // A line that stays (a step started, a key pressed).
  void Message(const std::string& text);
  void Show(double seconds, int port, const Readings& readings, const std::string& footer);
  // Leaves the panel as it stands and moves below it.
  void Finish();

 private:
  void Erase();

  std::ostream& out_;
  bool in_place_;
  std::vector<std::string> shown_;  // the panel on screen
  std::string last_plain_;
};

}  // namespace kavtel::ctl
