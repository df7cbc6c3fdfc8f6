#pragma once

#include <cstdlib>
#include <memory>
#include <string>

#include "simulator.h"

namespace kavtel::test {

// A virtual treadmill on a new pseudo-terminal, mapped to COM<com> for the
// library through KAVTEL_COM<com> (read when the port opens).
class SimPort {
 public:
  explicit SimPort(int com, sim::Options options = {}) : com_(com) {
    sim_ = std::make_unique<sim::Simulator>(std::move(options));
    sim_->Start();
    setenv(Variable().c_str(), sim_->GetDevicePath().c_str(), 1);
  }
  ~SimPort() {
    sim_->Stop();
    unsetenv(Variable().c_str());
  }
  SimPort(const SimPort&) = delete;
  SimPort& operator=(const SimPort&) = delete;

  sim::Simulator& sim() { return *sim_; }

  // The simulator with its version answer replaced, as a fresh power-on.
  static sim::Options WithVersion(const std::string& text) {
    sim::Options options;
    options.controller.version_text = text;
    return options;
  }

 private:
  std::string Variable() const { return "KAVTEL_COM" + std::to_string(com_); }

  int com_;
  std::unique_ptr<sim::Simulator> sim_;
};

}  // namespace kavtel::test
