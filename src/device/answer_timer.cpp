#include "device/answer_timer.h"

namespace kavtel {

std::uint32_t TKavtelAnswerTimer::Arm(time_point now, std::chrono::milliseconds after) {
  if (++last_ == 0) ++last_;  // 0 means "disarmed"
  armed_ = last_;
  due_ = now + after;
  return armed_;
}

bool TKavtelAnswerTimer::Fire(std::uint32_t token, time_point now) {
  if (token == 0 || token != armed_ || now < due_) return false;
  armed_ = 0;
  return true;
}

}  // namespace kavtel
