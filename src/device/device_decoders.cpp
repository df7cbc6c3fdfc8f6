// The polling tick and the decoders of the answers.
#include <algorithm>
#include <limits>

#include "device/kavtel_device.h"
#include "device/setpoints.h"
#include "device/wire_frame.h"
#include "services/number_text.h"

namespace kavtel {

float TKavtelDevice::weight() const {
  const TKavtelDeviceCaps* caps = Settings_.caps.load();
  return caps != nullptr ? caps->GetCalcWeight() : 65.0f;
}

// The full tick, for a caller that may block: a lost line is tried again
// first.
void TKavtelDevice::GetParameter() {
  if (!Link_.online.load()) return;
  if (Link_.lost.load()) {
    keepLink();
    if (Link_.lost.load()) return;
  }
  TAPPSYSMutexHold hold(lock());
  Exchange_.Tick();
  applyOutbox();
}

bool TKavtelDevice::cycleTick(std::uint32_t waitMs) {
  if (!Link_.online.load()) return true;
  if (Link_.lost.load()) {
    wakeLinkKeeper();
    return true;
  }
  // Busy at the first try: the shared thread serves the other devices
  // first. Still busy at the second: this tick is given up.
  if (!lock().TryWaitFor(waitMs)) return waitMs != 0;
  TAPPSYSMutexHold hold(lock(), std::adopt_lock);
  Exchange_.Tick();
  applyOutbox();
  return true;
}

// The answers as the host reads them. What an answer changes in the
// conversation itself (identification, the belt's known state, a fault
// for an unreadable measured value, the outstanding queries) the exchange
// has taken from it already; a version answer comes here only when it
// identified the controller.

void TKavtelDevice::rnxStrToVersion(const std::string& payload) {
  {
    std::lock_guard<std::mutex> hold(Readings_.versionLock);
    Readings_.versionText = payload;
  }
  if (payload.size() == 3) {
    Readings_.versionMajor.store(static_cast<unsigned char>(payload[0]) - '0');
    if (auto minor = ParseInteger(payload.substr(1, 2))) Readings_.versionMinor.store(*minor);
  }
}

// The controller state it reports is the exchange's to tell.
void TKavtelDevice::rnxStrToStatus(const std::string&) {}

// The power the belt demands at speed v (m/s), from the stored elevation
// and the user's weight; below 8 km/h scaled down from the 8 km/h figure.
static std::uint16_t PowerEstimate(long double v, long double g, long double m) {
  const long double V = 3.6L * v;
  const long double k = 0.25L * g + 2.11L;
  long double p;
  if (v < 20.0L / 9.0L) {
    const long double p8 = (k * (8.0L * m) - (2.2L * m - 151.0L)) / 10.5L;
    p = V * p8 / 8.0L;
  } else {
    p = (m * V * k - (2.2L * m - 151.0L)) / 10.5L;
  }
  // Not below 0, and held at the counter's top rather than wrapped or
  // thrown when an absurd speed, elevation or weight would overflow it.
  return static_cast<std::uint16_t>(RoundHalfEvenWithin(p, 0, std::numeric_limits<std::uint16_t>::max()));
}

void TKavtelDevice::rnxStrToSpeed(const std::string& payload) {
  const auto value = ParseDecimal(payload);
  if (!value) return;
  if (*value != static_cast<long double>(Readings_.speed.load())) {
    Readings_.speed.store(static_cast<float>(*value));
    Readings_.power.store(PowerEstimate(*value, Readings_.elevation.load(), weight()));
  }
}

void TKavtelDevice::rnxStrToElevation(const std::string& payload) {
  if (const auto value = ParseDecimal(payload)) Readings_.elevation.store(static_cast<float>(*value));
}

void TKavtelDevice::rnxStrToDistance(const std::string& payload) {
  if (const auto value = ParseInteger(payload)) Readings_.distance.store(*value);
}

void TKavtelDevice::rnxStrToHeartRate(const std::string& payload) {
  if (const auto value = ParseInteger(payload)) Readings_.heartRate.store(static_cast<std::uint16_t>(*value));
}

void TKavtelDevice::rnxStrToAcceleration(const std::string& payload) {
  const auto value = ParseInteger(payload);
  Readings_.acceleration.store(static_cast<std::uint8_t>(value ? std::clamp(*value, 1, 7) : 1));
}

void TKavtelDevice::rnxStrToBloodPressureSys(const std::string&) {}

void TKavtelDevice::rnxStrToU17(const std::string& payload) {
  if (payload.size() == 9) {
    switch (payload[2]) {
      case '1': case 'B': Readings_.speedUnit.store(rnxmph); break;
      case '2': case 'C': Readings_.speedUnit.store(rnxms); break;
      case '4': case 'E': Readings_.speedUnit.store(rnxmmin); break;
      default: Readings_.speedUnit.store(rnxkmh); break;
    }
    switch (payload[3]) {
      case '3': case 'D': Readings_.distanceUnit.store(rnxmiles); break;
      case '4': case 'E': Readings_.distanceUnit.store(rnxkm); break;
      default: Readings_.distanceUnit.store(rnxm); break;
    }
    switch (payload[4]) {
      case '4': case 'E': Readings_.elevationUnit.store(rnxdegree); break;
      default: Readings_.elevationUnit.store(rnxpercent); break;
    }
  }
}

// "h:mm:ss", "h:mm" (a single colon still leads with hours) or "s".
void TKavtelDevice::rnxStrToTime(const std::string& payload) {
  std::string rest = payload;
  std::int64_t seconds = 0;
  bool valid = true;
  const std::int64_t scales[2] = {3600, 60};
  for (std::int64_t scale : scales) {
    const std::size_t colon = rest.find(':');
    if (colon == std::string::npos) break;
    const auto field = ParseInteger(rest.substr(0, colon));
    valid = valid && field.has_value();
    if (field) seconds += *field * scale;
    rest.erase(0, colon + 1);
  }
  const auto last = ParseInteger(rest);
  valid = valid && last.has_value();
  if (last) seconds += *last;
  Readings_.duration.store(valid ? static_cast<std::int32_t>(seconds) : 0);
}

void TKavtelDevice::rnxStrToError(const std::string& payload) {
  const auto value = ParseInteger(payload);
  Readings_.errorCode.store(value ? *value : 0);
}

void TKavtelDevice::rnxStrToWeight(const std::string& payload) {
  TKavtelDeviceCaps* caps = Settings_.caps.load();
  if (caps != nullptr) {
    if (const auto value = ParseInteger(payload)) caps->SetCalcWeight(static_cast<float>(*value));
  }
}

void TKavtelDevice::rnxStrToEnergy(const std::string& payload) {
  // Held at the counter's ends, never wrapped.
  if (const auto value = ParseDecimal(payload))
    Readings_.energy.store(static_cast<std::uint32_t>(
        RoundHalfEvenWithin(*value * 1000.0L, 0, std::numeric_limits<std::uint32_t>::max())));
}

void TKavtelDevice::rnxStrToPower(const std::string& payload) {
  if (const auto value = ParseDecimal(payload))
    Readings_.power.store(static_cast<std::uint16_t>(
        RoundHalfEvenWithin(*value, 0, std::numeric_limits<std::uint16_t>::max())));
}

void TKavtelDevice::rnxStrToDeviceTypeID(const std::string& payload) {
  const auto value = ParseInteger(payload);
  if (!value) return;
  const auto type = static_cast<std::uint8_t>(*value);
  if (TKavtelDeviceCaps* caps = Settings_.caps.load()) caps->SetDeviceType(static_cast<TRNXDeviceType>(type));
}

void TKavtelDevice::rnxStrToMaxSpeed(const std::string& payload) {
  TKavtelDeviceCaps* caps = Settings_.caps.load();
  if (caps == nullptr) return;
  const auto value = ParseDecimal(payload);
  if (!value) return;
  switch (caps->GetDeviceType()) {
    case rnxtreadmill:
      caps->SetMaxSpeed(static_cast<float>(*value * 3.6L));
      // Speeds above it are refused before they reach the wire.
      if (*value > 0) Readings_.reportedMaxSpeed.store(static_cast<float>(*value));
      break;
    case rnxladder: caps->SetMaxSpeed(static_cast<float>(*value * 3.6L / 60.0L)); break;
    default: break;
  }
}

void TKavtelDevice::rnxStrToFailSafe(const std::string& payload) {
  if (const auto value = ParseInteger(payload)) Settings_.failSafe.store(static_cast<std::uint32_t>(*value));
}

}  // namespace kavtel
