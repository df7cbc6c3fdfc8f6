#include "script_runner.h"

#include <sstream>

namespace kavtel::ctl {

ScriptRunner::ScriptRunner(std::vector<ScriptStep> steps, Announce announce)
    : steps_(std::move(steps)), announce_(std::move(announce)) {}

void ScriptRunner::Next() {
  ++index_;
  started_ = false;
}

ScriptRunner::Status ScriptRunner::Advance(Clock::time_point now, const Readings& readings,
                                           const Perform& perform) {
  while (status_ == Status::running) {
    if (index_ >= steps_.size()) {
      status_ = Status::done;
      break;
    }
    const ScriptStep& step = steps_[index_];
    const std::string where = "line " + std::to_string(step.line) + ": " + step.text + ": ";
    if (!started_) {
      started_ = true;
      started_at_ = now;
      if (announce_) announce_(step);
    }
    const std::chrono::duration<double> elapsed = now - started_at_;
    if (step.kind == StepKind::wait) {
      if (elapsed.count() < step.number) break;
      Next();
    } else if (step.kind == StepKind::expect) {
      const auto value = FieldValue(step.field, readings);
      if (value && Satisfies(*value, step.compare, step.number)) {
        Next();
        continue;
      }
      if (elapsed.count() < step.within) break;
      std::ostringstream why;
      why << where << "not met within " << step.within << " s (" << FieldName(step.field) << " ";
      if (value) {
        why << "is " << *value;
      } else {
        why << "unreadable";
      }
      why << ")";
      failure_ = why.str();
      status_ = Status::expectation_failed;
    } else {
      const int code = perform(step);
      if (code != KAVTEL_OK) {
        failure_ = where + ResultText(code) + " (code " + std::to_string(code) + ")";
        failed_code_ = code;
        status_ = Status::operation_failed;
        break;
      }
      Next();
      break;
    }
  }
  return status_;
}

}  // namespace kavtel::ctl
