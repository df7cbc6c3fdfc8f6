#include "device/answer_timer.h"

namespace kavtel {

std::uint32_t TKavtelAnswerTimer::Arm() {
  if (++last_ == 0) ++last_;  // 0 means "disarmed"
  armed_ = last_;
  started_ = false;
  return armed_;
}

void TKavtelAnswerTimer::Started(std::uint32_t token, time_point now, std::chrono::milliseconds after) {
  if (token == 0 || token != armed_) return;
  started_ = true;
  due_ = now + after;
}

bool TKavtelAnswerTimer::Fire(std::uint32_t token, time_point now) {
  if (token == 0 || token != armed_ || !started_ || now < due_) return false;
  armed_ = 0;
  return true;
}

}  // namespace kavtel
