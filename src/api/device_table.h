#pragma once

#include <cstdint>
#include <mutex>

#include "device/device_caps.h"
#include "device/kavtel_device.h"
#include "platform/module_reference.h"
#include "services/connection.h"

namespace kavtel {

// One device slot: a device object with its capability record and its
// connection descriptor, for one COM port number. The slot owns them, but
// only destroyDeviceArray frees them: the table itself is never torn down
// with the other statics, since at process exit a slot whose port is still
// open has threads that may still run (or are gone already on Windows).
struct DeviceSlot {
  TKavtelDevice* device = nullptr;
  TKavtelDeviceCaps* caps = nullptr;
  TAPPSYSConnectionObj* connection = nullptr;
  // Taken by opening and closing the port and by every operation that
  // reaches the port (setters, keys, the log switch), so a close never frees
  // the port under another thread's command. Readers do without it.
  std::mutex gate;
  // Held while the port is open: the library stays loaded while the slot's
  // threads run.
  platform::ModuleReference* moduleHold = nullptr;
};

constexpr std::int32_t kDeviceSlots = 64;

// The slot of a port number, or null when the number is outside 1 to 64 or
// the table holds no slot for it.
DeviceSlot* FindSlot(std::int32_t index);

}  // namespace kavtel
