#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "device/device_caps.h"
#include "device/kavtel_device.h"
#include "platform/module_reference.h"
#include "services/connection.h"

namespace kavtel {

// One device slot: a device object with its capability record and its
// connection descriptor, for one COM port number.
struct DeviceSlot {
  std::unique_ptr<TKavtelDevice> device;
  std::unique_ptr<TKavtelDeviceCaps> caps;
  std::unique_ptr<TAPPSYSConnectionObj> connection;
  // Taken by opening and closing the port and by every operation that
  // reaches the port (setters, keys, the log switch), so a close never frees
  // the port under another thread's command. Readers do without it.
  std::mutex gate;
  // Held while the port is open: the library stays loaded while the slot's
  // threads run.
  std::unique_ptr<platform::ModuleReference> moduleHold;
};

constexpr std::int32_t kDeviceSlots = 64;

// All slots, indexed by port number; entry 0 is never filled.
DeviceSlot* Slots();

// The slot of a port number, or null when the number is outside 1 to 64 or
// the table holds no slot for it.
DeviceSlot* FindSlot(std::int32_t index);

}  // namespace kavtel
