// The flat functions a host calls: each validates the index, looks up the
// device slot and forwards to the device object. No exception crosses this
// boundary: one raised inside an operation becomes KAVTEL_ERROR.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <mutex>
#include <string>

#include "api/device_table.h"
#include "kavtel/kavtel.h"

using kavtel::DeviceSlot;
using kavtel::TKavtelDevice;

namespace {

// Steps 2 to 4 of the admission check, for a slot that exists.
int Admit(const DeviceSlot& slot, int index) {
  if (slot.connection->GetPort() != index) return KAVTEL_BAD_INDEX;  // never opened under it
  if (!slot.device->GetIOOpen()) return KAVTEL_NOT_OPEN;
  if (slot.device->GetControllerState() >= kavtel::ioDetecting) return KAVTEL_DETECTING;
  return KAVTEL_OK;
}

// The highest index readers, setters and keys admit: the first hosts' six
// until a host opts in to the whole table (kavtelsetAllPorts).
std::atomic<int> admittedIndices{KAVTEL_MAX_DEVICE_INDEX};

// The slot of an index admitted to readers, setters and keys, or null.
DeviceSlot* AdmittedSlot(int index) {
  if (index < 1 || index > admittedIndices.load(std::memory_order_relaxed)) return nullptr;
  return kavtel::FindSlot(index);
}

template <typename Operation>
int Guarded(Operation operation) {
  try {
    return operation();
  } catch (...) {
    return KAVTEL_ERROR;
  }
}

// True when the controller's generation lacks the error code, weight,
// energy and power values: generation 1, and generation 2 before minor 3.
// An unidentified version (major 0) and later generations have them.
bool LacksNewerValues(const TKavtelDevice& device) {
  const std::int32_t major = device.GetVersionMajor();
  return major == 1 || (major == 2 && device.GetVersionMinor() < 3);
}

enum class Needs { anyGeneration, newerValues };

// A reader: admission, then write(device, out), only on success.
template <typename T, typename Write>
int ReadInto(int index, T* out, Write write, Needs needs = Needs::anyGeneration) {
  const int admitted = isvalidKavtelDevice(index);
  if (admitted != KAVTEL_OK) return admitted;
  if (out == nullptr) return KAVTEL_ERROR;
  const TKavtelDevice& device = *AdmittedSlot(index)->device;
  if (needs == Needs::newerValues && LacksNewerValues(device)) return KAVTEL_NOT_AVAILABLE;
  return Guarded([&] {
    write(device, out);
    return KAVTEL_OK;
  });
}

// A reader of one value: *out = read(device).
template <typename T, typename Read>
int ReadValue(int index, T* out, Read read, Needs needs = Needs::anyGeneration) {
  return ReadInto(index, out, [&](const TKavtelDevice& device, T* to) { *to = read(device); }, needs);
}

// A setter or key: admission and the operation under the slot's gate, so a
// close on another thread cannot free the port in between. The operation
// returns false when its command was refused by a full queue.
template <typename Operation>
int Operate(int index, Operation operation) {
  DeviceSlot* slot = AdmittedSlot(index);
  if (slot == nullptr) return KAVTEL_BAD_INDEX;
  std::lock_guard<std::mutex> hold(slot->gate);
  const int admitted = Admit(*slot, index);
  if (admitted != KAVTEL_OK) return admitted;
  return Guarded([&] { return operation(*slot->device) ? KAVTEL_OK : KAVTEL_ERROR; });
}

// A key: pressed > 0 presses it, anything else releases it.
int Key(int index, int pressed, bool (TKavtelDevice::*press)(), bool (TKavtelDevice::*release)()) {
  return Operate(index, [&](TKavtelDevice& device) {
    return pressed > 0 ? (device.*press)() : (device.*release)();
  });
}

// An open port keeps the library loaded; a closed one lets it go.
void UpdateModuleHold(DeviceSlot& slot) {
  if (slot.device->GetIOOpen()) {
    if (slot.moduleHold == nullptr) slot.moduleHold = new kavtel::platform::ModuleReference();
  } else {
    delete slot.moduleHold;
    slot.moduleHold = nullptr;
  }
}

}  // namespace

extern "C" {

KAVTEL_API int KAVTEL_CALL kavtelsetAllPorts(int on) {
  admittedIndices.store(on != 0 ? KAVTEL_MAX_PORT : KAVTEL_MAX_DEVICE_INDEX, std::memory_order_relaxed);
  return KAVTEL_OK;
}

KAVTEL_API int KAVTEL_CALL isvalidKavtelDevice(int index) {
  const DeviceSlot* slot = AdmittedSlot(index);
  return slot == nullptr ? KAVTEL_BAD_INDEX : Admit(*slot, index);
}

static_assert(kavtel::klLost == KAVTEL_LINK_LOST && kavtel::klIdentifying == KAVTEL_LINK_IDENTIFYING &&
                  kavtel::klOk == KAVTEL_LINK_OK,
              "the line states are the exported constants");

KAVTEL_API int KAVTEL_CALL kavtelgetLinkState(int index, int* state) {
  const DeviceSlot* slot = AdmittedSlot(index);
  if (slot == nullptr) return KAVTEL_BAD_INDEX;
  const int admitted = Admit(*slot, index);
  if (admitted != KAVTEL_OK && admitted != KAVTEL_DETECTING) return admitted;
  if (state == nullptr) return KAVTEL_ERROR;
  *state = int{slot->device->GetLinkState()};
  return KAVTEL_OK;
}

KAVTEL_API int KAVTEL_CALL kavtelopenPort(int index) {
  DeviceSlot* slot = kavtel::FindSlot(index);
  if (slot == nullptr) return KAVTEL_BAD_INDEX;
  std::lock_guard<std::mutex> hold(slot->gate);
  TKavtelDevice& device = *slot->device;
  try {
    device.SetIOOpen(false);
    slot->connection->SetPort(index);
    device.SetIOOpen(true);
  } catch (...) {
    // Whatever failed, the port is left closed.
    try {
      device.SetIOOpen(false);
    } catch (...) {
    }
  }
  UpdateModuleHold(*slot);
  return device.GetIOOpen() ? KAVTEL_OK : KAVTEL_NOT_OPEN;
}

KAVTEL_API int KAVTEL_CALL kavtelclosePortEx(int index, int* stopConfirmed) {
  DeviceSlot* slot = kavtel::FindSlot(index);
  if (slot == nullptr) return KAVTEL_BAD_INDEX;
  std::lock_guard<std::mutex> hold(slot->gate);
  TKavtelDevice& device = *slot->device;
  if (!device.GetIOOpen() || slot->connection->GetPort() != index) return KAVTEL_NOT_OPEN;
  bool closedCleanly = true;
  try {
    device.SetIOOpen(false);
  } catch (...) {
    closedCleanly = false;
  }
  UpdateModuleHold(*slot);
  if (stopConfirmed != nullptr) *stopConfirmed = closedCleanly && device.GetStopConfirmed() ? 1 : 0;
  return device.GetIOOpen() ? KAVTEL_NOT_OPEN : KAVTEL_OK;
}

KAVTEL_API int KAVTEL_CALL kavtelclosePort(int index) { return kavtelclosePortEx(index, nullptr); }

// --- readers ----------------------------------------------------------------

KAVTEL_API int KAVTEL_CALL kavtelgetVersion(int index, char* version) {
  return ReadInto(index, version, [](const TKavtelDevice& d, char* to) {
    // The text comes from the device: never more than the documented room.
    const std::string text = d.GetVersionText();
    const std::size_t n = std::min<std::size_t>(text.size(), KAVTEL_VERSION_BUFFER_SIZE - 1);
    text.copy(to, n);
    to[n] = '\0';
  });
}

KAVTEL_API int KAVTEL_CALL kavtelgetStatus(int index, int* state) {
  return ReadValue(index, state, [](const TKavtelDevice& d) { return int{d.GetControllerState()}; });
}

KAVTEL_API int KAVTEL_CALL kavtelgetDuration(int index, int* seconds) {
  return ReadValue(index, seconds, [](const TKavtelDevice& d) { return d.GetDuration(); });
}

KAVTEL_API int KAVTEL_CALL kavtelgetSpeed(int index, double* speed) {
  return ReadValue(index, speed, [](const TKavtelDevice& d) { return double{d.GetSpeed()}; });
}

KAVTEL_API int KAVTEL_CALL kavtelgetAcceleration(int index, int* accel) {
  return ReadValue(index, accel, [](const TKavtelDevice& d) { return int{d.GetAcceleration()}; });
}

KAVTEL_API int KAVTEL_CALL kavtelgetElevation(int index, double* elevation) {
  return ReadValue(index, elevation, [](const TKavtelDevice& d) { return double{d.GetElevation()}; });
}

KAVTEL_API int KAVTEL_CALL kavtelgetHeartrate(int index, int* heartrate) {
  return ReadValue(index, heartrate, [](const TKavtelDevice& d) { return int{d.GetHeartRate()}; });
}

KAVTEL_API int KAVTEL_CALL kavtelgetDistance(int index, int* distance) {
  return ReadValue(index, distance, [](const TKavtelDevice& d) { return d.GetDistance(); });
}

KAVTEL_API int KAVTEL_CALL kavtelgetFailSafe(int index, int* failsafe) {
  return ReadValue(index, failsafe,
                   [](const TKavtelDevice& d) { return static_cast<int>(d.GetRNXFailSafe()); });
}

KAVTEL_API int KAVTEL_CALL kavtelgetError(int index, int* error) {
  return ReadValue(index, error, [](const TKavtelDevice& d) { return d.GetErrorCode(); },
                   Needs::newerValues);
}

KAVTEL_API int KAVTEL_CALL kavtelgetWeight(int index, int* weight) {
  return ReadValue(
      index, weight,
      [](const TKavtelDevice& d) {
        // Nearest integer, ties to even (the default rounding mode).
        return static_cast<int>(std::nearbyint(d.GetDeviceCaps()->GetCalcWeight()));
      },
      Needs::newerValues);
}

KAVTEL_API int KAVTEL_CALL kavtelgetEnergy(int index, double* energy) {
  return ReadValue(index, energy, [](const TKavtelDevice& d) { return d.GetEnergy() / 1000.0; },
                   Needs::newerValues);
}

KAVTEL_API int KAVTEL_CALL kavtelgetPower(int index, double* power) {
  return ReadValue(index, power, [](const TKavtelDevice& d) { return static_cast<double>(d.GetPower()); },
                   Needs::newerValues);
}

KAVTEL_API int KAVTEL_CALL kavtelgetProtocol(int index, int* on) {
  return ReadValue(index, on,
                   [](const TKavtelDevice& d) { return d.GetProtocolmode() == kavtel::apmALL ? 1 : 0; });
}

// --- setters ----------------------------------------------------------------

KAVTEL_API int KAVTEL_CALL kavtelsetFailSafe(int index, int value) {
  return Operate(index, [&](TKavtelDevice& d) { return d.DoChangeFailSafe(value); });
}

KAVTEL_API int KAVTEL_CALL kavtelsetSpeed(int index, double speed) {
  return Operate(index, [&](TKavtelDevice& d) { return d.DoChangeSpeed(speed); });
}

KAVTEL_API int KAVTEL_CALL kavtelsetAcceleration(int index, int accel) {
  return Operate(index, [&](TKavtelDevice& d) {
    return d.DoChangeAcceleration(static_cast<std::uint8_t>(accel & 0xFF));
  });
}

KAVTEL_API int KAVTEL_CALL kavtelsetElevation(int index, double elevation) {
  return Operate(index, [&](TKavtelDevice& d) { return d.DoChangeElevation(elevation); });
}

KAVTEL_API int KAVTEL_CALL kavtelsetSpeedAccel(int index, double speed, int accel) {
  return Operate(index, [&](TKavtelDevice& d) {
    const bool accelQueued = d.DoChangeAcceleration(static_cast<std::uint8_t>(accel & 0xFF));
    return d.DoChangeSpeed(speed) && accelQueued;
  });
}

// --- keys -------------------------------------------------------------------

KAVTEL_API int KAVTEL_CALL kavtelKeyPressStart(int index, int pressed) {
  return Key(index, pressed, &TKavtelDevice::pressStart, &TKavtelDevice::upStart);
}

KAVTEL_API int KAVTEL_CALL kavtelKeyPressStop(int index, int pressed) {
  return Key(index, pressed, &TKavtelDevice::pressStop, &TKavtelDevice::upStop);
}

KAVTEL_API int KAVTEL_CALL kavtelKeyPressPlus(int index, int pressed) {
  return Key(index, pressed, &TKavtelDevice::pressFaster, &TKavtelDevice::upFaster);
}

KAVTEL_API int KAVTEL_CALL kavtelKeyPressMinus(int index, int pressed) {
  return Key(index, pressed, &TKavtelDevice::pressSlower, &TKavtelDevice::upSlower);
}

KAVTEL_API int KAVTEL_CALL kavtelKeyPressUp(int index, int pressed) {
  return Key(index, pressed, &TKavtelDevice::pressUp, &TKavtelDevice::upUp);
}

KAVTEL_API int KAVTEL_CALL kavtelKeyPressDown(int index, int pressed) {
  return Key(index, pressed, &TKavtelDevice::pressDown, &TKavtelDevice::upDown);
}

// Switching on fails (KAVTEL_ERROR, the log stays off) when no log file can
// be written.
KAVTEL_API int KAVTEL_CALL kavtelsetProtocol(int index, int on) {
  return Operate(index, [&](TKavtelDevice& d) {
    d.SetProtocolmode(on > 0 ? kavtel::apmALL : kavtel::apmOFF);
    return on <= 0 || d.GetProtocolmode() == kavtel::apmALL;
  });
}

}  // extern "C"
