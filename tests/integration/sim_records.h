#pragma once

// Reading the virtual treadmill's record in tests: the frames the host sent,
// and the whole record as text for a failure message.

#include <string>
#include <vector>

#include "simulator.h"

namespace kavtel::test {

inline bool IsHostFrame(const sim::Record& r) {
  return r.direction == sim::Record::Direction::from_host && r.bytes.size() > 1;
}

// The frames the host sent, in order (ACK and NAK bytes left out).
inline std::vector<sim::Record> HostFrames(const std::vector<sim::Record>& records) {
  std::vector<sim::Record> frames;
  for (const sim::Record& r : records) {
    if (IsHostFrame(r)) frames.push_back(r);
  }
  return frames;
}

inline std::string Show(const std::vector<sim::Record>& records) {
  std::string text;
  for (const sim::Record& r : records) {
    text += r.direction == sim::Record::Direction::from_host ? "host> " : "sim>  ";
    text += sim::Render(r.bytes) + "\n";
  }
  return text;
}

}  // namespace kavtel::test
