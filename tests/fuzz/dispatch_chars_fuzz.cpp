// libFuzzer target: arbitrary bytes from the line, in arbitrary chunks, into
// the receive path of a connected device object.
//
// Input: byte 0 and byte 1 are the sizes of alternate chunks (0: the rest of
// the input in one chunk); the remaining bytes are what the treadmill sent.
//
// Each input gets a fresh device opened on a fake comm device that never
// delivers anything by itself, on manual cycles, so nothing ticks or times
// out while the input is fed: the version query is in flight and everything
// that follows is driven by the bytes alone, so an input replays the same
// way every time.

#include <cstddef>
#include <cstdint>

#include "support/quiet_device.h"
#include "fuzz/check.h"

namespace {

using kavtel::fuzz::Check;
using namespace kavtel;

void Feed(TKavtelDevice& device, const std::uint8_t* data, std::size_t size) {
  const std::size_t sizes[2] = {data[0], data[1]};
  std::size_t pos = 2;
  for (int turn = 0; pos < size; turn ^= 1) {
    const std::size_t left = size - pos;
    const std::size_t n = sizes[turn] == 0 ? left : std::min(sizes[turn], left);
    device.DispatchChars(nullptr, reinterpret_cast<const char*>(data + pos),
                         static_cast<std::int32_t>(n));
    pos += n;
    Check(device.Inspect().repeatCount <= device.GetMaxRepeats());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  test::QuietDevice quiet;
  TKavtelDevice& device = quiet.device();
  Check(device.GetOnline());

  Feed(device, data, size);
  const TKavtelDeviceView view = device.Inspect();
  Check(view.queuedCommands <= 255 && view.queuedRequests <= 255);

  quiet.Close();
  Check(device.GetControllerState() == ioOff && !device.HasThreads());
  return 0;
}
