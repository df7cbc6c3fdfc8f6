// libFuzzer target: every answer decoder of a device object with arbitrary
// payloads. The device is made once and never opened, so it has no port and
// no thread; a decoder that rejects a payload only counts an error.
//
// Input: byte 0 picks an entry of the device's own answer table (so a
// decoder added to it is fuzzed with the rest), the rest is the payload.
// The readers' values must stay numbers.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "device/device_caps.h"
#include "device/kavtel_device.h"
#include "fuzz/check.h"

namespace {

using kavtel::fuzz::Check;
using namespace kavtel;

struct Closed {
  TKavtelDeviceCaps caps;
  TKavtelDevice device{8};
  Closed() { device.SetDeviceCaps(&caps); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static Closed closed;
  static std::string payload;
  TKavtelDevice& device = closed.device;
  const TKavtelAnswer& answer = device.GetAnswer(data[0] % device.GetAnswerCount());
  Check(static_cast<bool>(answer.decoder));
  payload.assign(reinterpret_cast<const char*>(data + 1), size - 1);
  answer.decoder(payload);
  // An absurd reading may overflow a float to infinity, never give NaN.
  Check(!std::isnan(device.GetSpeed()) && !std::isnan(device.GetElevation()));
  Check(!std::isnan(device.GetVO2()));
  Check(device.Inspect().queuedCommands <= 8);
  return 0;
}
