#pragma once

// Reading the virtual treadmill's record in tests: the frames the host sent,
// the whole record as text for a failure message, and the check that the
// host broke none of the line's rules.

#include <gtest/gtest.h>

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

// Each rule the virtual treadmill counts breaches of, checked by name so
// that a failure says which one.
inline void ExpectNoViolations(const sim::Counters& c) {
  EXPECT_EQ(c.bad_checksums, 0u);
  EXPECT_EQ(c.missing_acks, 0u);
  EXPECT_EQ(c.acked_corrupt, 0u);
  EXPECT_EQ(c.overlapping_frames, 0u);
  EXPECT_EQ(c.unexpected_replies, 0u);
  EXPECT_EQ(c.stray_bytes, 0u);
  EXPECT_EQ(c.unknown_commands, 0u);
  EXPECT_EQ(c.bad_payloads, 0u);
  EXPECT_EQ(c.Violations(), 0u);  // and none the list above misses
}

}  // namespace kavtel::test
