// What a host asks of the treadmill: speed, elevation, acceleration,
// fail-safe, stops and the keys of its keypad.
#include <cmath>
#include <limits>
#include <vector>

#include "device/kavtel_device.h"
#include "device/setpoints.h"
#include "services/number_text.h"

namespace kavtel {

bool TKavtelDevice::DoChangeSpeed(long double speed) {
  try {
    TAPPSYSMutexHold hold(lock());
    const auto text = SpeedText(speed, {Readings_.versionMajor.load(), Readings_.reportedMaxSpeed.load(), Settings_.mcu2Fac, Settings_.mcu4Fac});
    if (!text) return false;
    const bool stops = *text == stop_text::kSpeedZero;
    // The speed last asked for is already the measured speed; a stop is
    // sent all the same (the reading may be stale).
    if (!stops && speed == Asked_.speed && Asked_.speed == static_cast<long double>(Readings_.speed.load()))
      return true;
    Asked_.speed = speed;
    // Outside a run the controller wants the speed twice.
    const bool twice = GetControllerState() != ioRun;
    if (stops) {
      // Speed zero stops the belt: a stop, promised like the others.
      Exchange_.PromiseStop(*text, true);
      if (twice) Exchange_.PromiseStop(*text, false);
      applyOutbox();
      return true;
    }
    return queueMoving(*text, twice);
  } catch (...) {
    return false;  // never raises towards its caller; the refusal shows in the result
  }
}

bool TKavtelDevice::DoChangeElevation(long double elevation) {
  TAPPSYSMutexHold hold(lock());
  const auto text = ElevationText(elevation);
  if (!text) return false;
  Asked_.elevation = elevation;
  return senduqs(*text);
}

bool TKavtelDevice::DoChangeAcceleration(std::uint8_t index) {
  TAPPSYSMutexHold hold(lock());
  Asked_.acceleration = index;
  return senduqs(AccelerationText(index));
}

bool TKavtelDevice::DoChangeFailSafe(std::int32_t value) { return senduqs(FailSafeText(value)); }

bool TKavtelDevice::DoChangeStopSpeed() {
  TAPPSYSMutexHold hold(lock());
  Exchange_.PromiseStop(stop_text::kSpeedZero, true);
  Exchange_.PromiseStop(stop_text::kKeyPress, false);
  Exchange_.PromiseStop(stop_text::kKeyRelease, false);
  applyOutbox();
  // A lost line keeps the device detecting: its values are not current.
  if (!Link_.lost.load()) updateControllerState(ioStopping);
  return true;
}

// A command that may set the belt moving: until a status answer says
// "stop" again, closing must stop the belt.
bool TKavtelDevice::queueMoving(const std::string& text, bool twice) {
  if (!senduqs(text)) return false;  // refused: nothing will move the belt
  Exchange_.MayMove();
  return !twice || senduqs(text);
}

// The whole stop group, ahead of everything queued. A stop is never
// refused.
void TKavtelDevice::emergencyStop() {
  if (!GetIOOpen()) return;
  TAPPSYSMutexHold hold(lock());
  Exchange_.EmergencyStop();
  applyOutbox();
}

// --- keypad ---------------------------------------------------------------

bool TKavtelDevice::isGated() const {
  const TAPPIOControllerState s = GetControllerState();
  return s == ioDetecting || s == ioOff;
}

bool TKavtelDevice::press(TRNXBtn key) {
  const TKavtelKeypad::Action action =
      TKavtelKeypad::Press(key, Readings_.versionMajor.load(), isPressesRNXBtn(key), isGated());
  if (action.text == nullptr) return true;
  if (action.hold) inlcudeRNXBtn(key);
  TAPPSYSMutexHold hold(lock());
  if (key == rnxbtnstop) {
    Exchange_.PromiseStop(action.text, true);
    applyOutbox();
    return true;
  }
  const bool queued = Exchange_.QueueCommand(action.text);
  if (queued && (key == rnxbtnstart || key == rnxbtnplus)) Exchange_.MayMove();
  Exchange_.Post();
  applyOutbox();
  return queued;
}

bool TKavtelDevice::release(TRNXBtn key) {
  const TKavtelKeypad::Action action =
      TKavtelKeypad::Release(key, Readings_.versionMajor.load(), isPressesRNXBtn(key), isGated());
  bool queued = true;
  if (action.text != nullptr) {
    TAPPSYSMutexHold hold(lock());
    if (key == rnxbtnstop) {
      Exchange_.PromiseStop(action.text, false);
    } else {
      queued = Exchange_.QueueCommand(action.text);
      Exchange_.Post();
    }
    applyOutbox();
  }
  if (action.release) excudeRNXBtn(key);
  return queued;
}

bool TKavtelDevice::pressFaster() { return press(rnxbtnplus); }
bool TKavtelDevice::upFaster() { return release(rnxbtnplus); }
bool TKavtelDevice::pressSlower() { return press(rnxbtnminus); }
bool TKavtelDevice::upSlower() { return release(rnxbtnminus); }
bool TKavtelDevice::pressUp() { return press(rnxbtnup); }
bool TKavtelDevice::upUp() { return release(rnxbtnup); }
bool TKavtelDevice::pressDown() { return press(rnxbtndown); }
bool TKavtelDevice::upDown() { return release(rnxbtndown); }
bool TKavtelDevice::pressStart() { return press(rnxbtnstart); }
bool TKavtelDevice::upStart() { return release(rnxbtnstart); }
bool TKavtelDevice::pressStop() { return press(rnxbtnstop); }
bool TKavtelDevice::upStop() { return release(rnxbtnstop); }

void TKavtelDevice::inlcudeRNXBtn(TRNXBtn key) {
  if (key > 7) return;
  TAPPSYSMutexHold hold(lock());
  Asked_.buttons = static_cast<TRNXBtnPressed>(Asked_.buttons | (1u << key));
}

void TKavtelDevice::excudeRNXBtn(TRNXBtn key) {
  if (key > 7) return;
  TAPPSYSMutexHold hold(lock());
  Asked_.buttons = static_cast<TRNXBtnPressed>(Asked_.buttons & ~(1u << key));
}

bool TKavtelDevice::isPressesRNXBtn(TRNXBtn key) {
  if (key > 7) return false;
  TAPPSYSMutexHold hold(lock());
  return (Asked_.buttons & (1u << key)) != 0;
}

void TKavtelDevice::resetRNXBtn() {
  TAPPSYSMutexHold hold(lock());
  Asked_.buttons = 0;
}

// Oxygen uptake (ml/kg/min) from speed and elevation, and the energy of a
// session of that many seconds from it and the user's weight.
void TKavtelDevice::calcV02andErnergy(std::uint32_t seconds) {
  const double v = Readings_.speed.load();
  const double g = Readings_.elevation.load();
  const double minutes = static_cast<double>(seconds) / 60.0;
  const double x = (0.654 * g + 10.9) * v + 2.67;
  Readings_.vo2.store(static_cast<float>(x));
  // Speed, elevation and weight are as the controller reported them: an
  // absurd product is held within the counter instead of throwing.
  Readings_.energy.store(static_cast<std::uint32_t>(
      RoundHalfEvenWithin(x * 0.0211 * minutes * weight(), 0, std::numeric_limits<std::uint32_t>::max())));
}

}  // namespace kavtel
