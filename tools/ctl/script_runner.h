#pragma once

// Runs a parsed workout step by step against the clock and the values read
// back. It owns no thread and calls no library function itself: the caller
// hands it the time and the latest readings every tick and performs the
// library calls it asks for, so it runs the same under a test's fake clock.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "readings.h"
#include "workout_script.h"

namespace kavtel::ctl {

class ScriptRunner {
 public:
  using Clock = std::chrono::steady_clock;
  // Performs an action step (speed, key, log, ...); returns the library's
  // result code.
  using Perform = std::function<int(const ScriptStep&)>;
  // Told of every step as it starts.
  using Announce = std::function<void(const ScriptStep&)>;

  enum class Status { running, done, operation_failed, expectation_failed };

  explicit ScriptRunner(std::vector<ScriptStep> steps, Announce announce = {});

  // Moves on as far as `now` and `readings` allow. An action step is
  // performed and the call returns, so that the next step sees readings
  // taken after it. A wait ends when its time has passed; an expectation
  // when the readings satisfy it, or fails when its time is up.
  Status Advance(Clock::time_point now, const Readings& readings, const Perform& perform);

  // Why the run failed ("line 4: speed 2.5: ..."), empty otherwise.
  const std::string& Failure() const { return failure_; }
  // The result code of the failed operation.
  int FailedCode() const { return failed_code_; }

 private:
  void Next();

  std::vector<ScriptStep> steps_;
  Announce announce_;
  std::size_t index_ = 0;
  bool started_ = false;
  Clock::time_point started_at_;
  Status status_ = Status::running;
  std::string failure_;
  int failed_code_ = KAVTEL_OK;
};

}  // namespace kavtel::ctl
