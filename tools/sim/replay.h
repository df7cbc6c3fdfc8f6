#pragma once

// The controller's side of a recorded protocol log (docs/protocol-log.md),
// for kavtel-sim --replay: each frame the host sent, in order, with what the
// controller did next (answered, answered damaged, refused with NAK, kept
// silent) and how long after the frame it did so. Read from the log's text
// alone; no I/O.

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace kavtel::sim {

struct ReplayAnswer {
  std::string bytes;                // as they go on the wire: SOH ... ETB, or NAK
  std::chrono::milliseconds delay;  // after the host's frame arrived
  bool nak = false;                 // the NAK byte
  bool sound = false;               // one frame with a right checksum
  std::string body;                 // a sound frame's code and payload
};

struct ReplayStep {
  std::string host_frame;             // SOH ... ETB, as the host sent it
  std::size_t line = 0;               // of the log, 1-based
  std::vector<ReplayAnswer> answers;  // empty: the controller kept silent
};

// The steps of a log, in order: one for every frame the host put on the
// wire (commands, requests, and repeats after a time-out, a NAK or a damaged
// answer). Received frames before the first step are left out.
std::vector<ReplayStep> ReadReplay(const std::string& log_text);

}  // namespace kavtel::sim
