#include "device/wire_frame.h"

namespace kavtel {

int FrameChecksum(std::string_view text) {
  unsigned sum = 0;
  for (char c : text) sum += static_cast<unsigned char>(c);
  return static_cast<int>(sum % 100u);
}

std::string BuildFrame(const std::string& text) {
  const int sum = FrameChecksum(text);
  std::string frame;
  frame.reserve(text.size() + 4);
  frame += kSOH;
  frame += text;
  frame += static_cast<char>('0' + sum / 10);
  frame += static_cast<char>('0' + sum % 10);
  frame += kETB;
  return frame;
}

}  // namespace kavtel
