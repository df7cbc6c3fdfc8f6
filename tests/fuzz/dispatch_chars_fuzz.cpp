// libFuzzer target: arbitrary bytes from the line, in arbitrary chunks, into
// the receive path of a connected device object.
//
// Input: byte 0 and byte 1 are the sizes of alternate chunks (0: the rest of
// the input in one chunk); the remaining bytes are what the treadmill sent.
//
// Each input gets a fresh device opened on a fake comm device that never
// delivers anything by itself, with cycle and time-out intervals so long that
// neither thread acts while the input is fed: the version query is in flight
// and everything that follows is driven by the bytes alone, so an input
// replays the same way every time.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <thread>

#include "device/device_caps.h"
#include "device/kavtel_device.h"
#include "serial/serial_port.h"
#include "services/connection.h"
#include "unit/fake_comm_device.h"

namespace {

using namespace kavtel;

constexpr std::uint32_t kHour = 3600u * 1000u;

// A broken invariant is a finding like any crash.
void Check(bool ok) {
  if (!ok) std::abort();
}

void Feed(TKavtelDevice& device, const std::uint8_t* data, std::size_t size) {
  const std::size_t sizes[2] = {data[0], data[1]};
  std::size_t pos = 2;
  for (int turn = 0; pos < size; turn ^= 1) {
    const std::size_t left = size - pos;
    const std::size_t n = sizes[turn] == 0 ? left : std::min(sizes[turn], left);
    device.DispatchChars(nullptr, reinterpret_cast<const char*>(data + pos),
                         static_cast<std::int32_t>(n));
    pos += n;
    Check(device.GetRepeatCount() <= device.GetMaxRepeats());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  auto line = std::make_shared<test::FakeCommState>();
  TAPPSerialPort::SetCommDeviceFactory([line] { return std::make_unique<test::FakeCommDevice>(line); });

  TKavtelDeviceCaps caps;
  TAPPSYSConnectionObj channel;
  channel.SetConnectionType(wlconCOM);
  channel.SetPort(1);
  TKavtelDevice device;
  device.SetDeviceCaps(&caps);
  device.SetControllerChannel(&channel);
  device.SetRNXCycleTime(kHour);
  device.SetRNXTimeoutInterval(kHour);
  device.SetIOOpen(true);
  Check(device.GetOnline());
  // The cycle's first step sends the version query; then both threads wait.
  while (!device.HasPendingCommand()) std::this_thread::yield();

  Feed(device, data, size);
  Check(device.GetQueuedCommands() <= 255 && device.GetQueuedRequests() <= 255);

  // A running belt is stopped on close, and the close awaits the stop
  // commands' answers for up to one time-out each; nothing answers here.
  device.SetRNXTimeoutInterval(0);
  device.SetIOOpen(false);
  Check(device.GetControllerState() == ioOff && !device.HasThreads());
  TAPPSerialPort::SetCommDeviceFactory(nullptr);
  return 0;
}
