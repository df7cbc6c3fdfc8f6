// The table of device slots behind the flat functions: entry n belongs to
// COM n; entry 0 is never filled.
#include "api/device_table.h"

#include "kavtel/kavtel.h"

namespace kavtel {

// Never destroyed with the other statics: only destroyDeviceArray frees
// slots, and it leaves the slots of open ports (whose threads may still run
// at process exit) alone.
DeviceSlot* Slots() {
  static DeviceSlot* const slots = new DeviceSlot[kDeviceSlots + 1];
  return slots;
}

DeviceSlot* FindSlot(std::int32_t index) {
  if (index < 1 || index > kDeviceSlots) return nullptr;
  DeviceSlot& slot = Slots()[index];
  return slot.device ? &slot : nullptr;
}

}  // namespace kavtel

using kavtel::Slots;

// Fills every empty slot: the device object, its connection descriptor (a
// COM port whose number kavtelopenPort sets) and its capability record,
// wired together. No port is opened and no thread started.
extern "C" KAVTEL_API int KAVTEL_CALL buildDeviceArray(void) {
  for (std::int32_t i = 1; i <= kavtel::kDeviceSlots; ++i) {
    kavtel::DeviceSlot& slot = Slots()[i];
    if (slot.device) continue;
    slot.device = std::make_unique<kavtel::TKavtelDevice>();
    slot.connection = std::make_unique<kavtel::TAPPSYSConnectionObj>();
    slot.caps = std::make_unique<kavtel::TKavtelDeviceCaps>();
    slot.connection->SetConnectionType(kavtel::wlconCOM);
    slot.device->SetControllerChannel(slot.connection.get());
    slot.device->SetDeviceCaps(slot.caps.get());
  }
  return KAVTEL_OK;
}

// Frees every slot whose port is closed: device, connection descriptor,
// capability record, in this order. A slot whose port is still open stays
// as it is: freeing it would wait for its threads, which may deadlock (on
// Windows this runs under the loader lock) or find them gone already (at
// process exit).
extern "C" KAVTEL_API int KAVTEL_CALL destroyDeviceArray(void) {
  bool allFreed = true;
  for (std::int32_t i = 1; i <= kavtel::kDeviceSlots; ++i) {
    kavtel::DeviceSlot& slot = Slots()[i];
    if (!slot.device) continue;
    if (slot.device->GetIOOpen()) {
      allFreed = false;
      continue;
    }
    slot.device.reset();
    slot.connection.reset();
    slot.caps.reset();
  }
  return allFreed ? KAVTEL_OK : KAVTEL_NOT_OPEN;
}
