#include <cstdlib>
#include <exception>

#include "demo_treadmill.h"
#include "simulator.h"

namespace kavtel::ctl {

struct DemoTreadmill::State {
  explicit State(sim::Options options) : treadmill(std::move(options)) {}
  sim::Simulator treadmill;
  std::string variable;
};

DemoTreadmill::DemoTreadmill() = default;

DemoTreadmill::~DemoTreadmill() {
  if (!state_) return;
  state_->treadmill.Stop();
  unsetenv(state_->variable.c_str());
}

bool DemoTreadmill::Available() { return true; }

bool DemoTreadmill::Start(int port, std::string& where, std::string& error) {
  sim::Options options;
  // Every 40th frame refused with NAK, so the summary shows the library
  // repeating frames and carrying on.
  options.faults.nak_every = 40;
  state_ = std::make_unique<State>(std::move(options));
  try {
    state_->treadmill.Start();
  } catch (const std::exception& e) {
    error = std::string("the virtual treadmill cannot start: ") + e.what();
    state_.reset();
    return false;
  }
  state_->variable = "KAVTEL_COM" + std::to_string(port);
  const std::string path = state_->treadmill.GetDevicePath();
  setenv(state_->variable.c_str(), path.c_str(), 1);
  where = "virtual treadmill on " + path + ", mapped to COM" + std::to_string(port) + " (" +
          state_->variable + "=" + path + ")";
  return true;
}

std::vector<std::string> DemoTreadmill::Summary() const {
  if (!state_) return {};
  const sim::Counters c = state_->treadmill.GetCounters();
  const auto n = [](std::uint64_t value) { return std::to_string(value); };
  return {
      "frames from the library:      " + n(c.frames_received),
      "answers sent by the treadmill: " + n(c.answers_sent) + " (" + n(c.naks_received) +
          " repeated on the library's NAK)",
      "acknowledgements received:     " + n(c.acks_received),
      "frames refused with NAK:       " + n(c.naks_sent) + " (each repeated by the library)",
      "protocol violations:           " + n(c.Violations()) +
          (c.Violations() == 0 ? "" : " (bad checksums " + n(c.bad_checksums) + ", missing ACKs " +
                                          n(c.missing_acks) + ", overlapping frames " +
                                          n(c.overlapping_frames) + ", stray bytes " + n(c.stray_bytes) + ")"),
  };
}

}  // namespace kavtel::ctl
