// The table of device slots behind the flat functions: entry n belongs to
// COM n; entry 0 is never filled.
#include "api/device_table.h"

#include "kavtel/kavtel.h"

namespace kavtel {

namespace {
// Constant-initialised: there before any load hook runs, and nothing in it
// is torn down with the other statics.
DeviceSlot gSlots[kDeviceSlots + 1];
}  // namespace

DeviceSlot* FindSlot(std::int32_t index) {
  if (index < 1 || index > kDeviceSlots) return nullptr;
  DeviceSlot& slot = gSlots[index];
  return slot.device != nullptr ? &slot : nullptr;
}

}  // namespace kavtel

using kavtel::gSlots;

// Fills every empty slot: the device object, its connection descriptor (a
// COM port whose number kavtelopenPort sets) and its capability record,
// wired together. No port is opened and no thread started.
extern "C" KAVTEL_API int KAVTEL_CALL buildDeviceArray(void) {
  for (std::int32_t i = 1; i <= kavtel::kDeviceSlots; ++i) {
    kavtel::DeviceSlot& slot = gSlots[i];
    if (slot.device != nullptr) continue;
    slot.device = new kavtel::TKavtelDevice();
    slot.connection = new kavtel::TAPPSYSConnectionObj();
    slot.caps = new kavtel::TKavtelDeviceCaps();
    slot.connection->SetConnectionType(kavtel::wlconCOM);
    slot.device->SetControllerChannel(slot.connection);
    slot.device->SetDeviceCaps(slot.caps);
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
    kavtel::DeviceSlot& slot = gSlots[i];
    if (slot.device == nullptr) continue;
    if (slot.device->GetIOOpen()) {
      allFreed = false;
      continue;
    }
    delete slot.device;
    delete slot.connection;
    delete slot.caps;
    slot.device = nullptr;
    slot.connection = nullptr;
    slot.caps = nullptr;
  }
  return allFreed ? KAVTEL_OK : KAVTEL_NOT_OPEN;
}
