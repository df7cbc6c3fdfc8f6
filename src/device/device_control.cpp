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
    const auto text = SpeedText(speed, {VersionMajor_.load(), ReportedMaxSpeed_.load(), MCU2Fac_, MCU4Fac_});
    if (!text) return false;
    const bool stops = *text == stop_text::kSpeedZero;
    // The speed last asked for is already the measured speed; a stop is
    // sent all the same (the reading may be stale).
    if (!stops && speed == RequestedSpeed_ && RequestedSpeed_ == static_cast<long double>(Speed_.load()))
      return true;
    RequestedSpeed_ = speed;
    // Outside a run the controller wants the speed twice.
    const bool twice = GetControllerState() != ioRun;
    if (stops) {
      // Speed zero stops the belt: a stop, promised like the others.
      promiseStop(*text, true);
      if (twice) promiseStop(*text, false);
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
  RequestedElevation_ = elevation;
  return senduqs(*text);
}

bool TKavtelDevice::DoChangeAcceleration(std::uint8_t index) {
  TAPPSYSMutexHold hold(lock());
  RequestedAcceleration_ = index;
  return senduqs(AccelerationText(index));
}

bool TKavtelDevice::DoChangeFailSafe(std::int32_t value) { return senduqs(FailSafeText(value)); }

bool TKavtelDevice::DoChangeStopSpeed() {
  TAPPSYSMutexHold hold(lock());
  promiseStop(stop_text::kSpeedZero, true);
  promiseStop(stop_text::kKeyPress, false);
  promiseStop(stop_text::kKeyRelease, false);
  // A lost line keeps the device detecting: its values are not current.
  if (!LineLost_.load()) updateControllerState(ioStopping);
  return true;
}

// A command that may set the belt moving: until a status answer says
// "stop" again, closing must stop the belt.
bool TKavtelDevice::queueMoving(const std::string& text, bool twice) {
  if (!senduqs(text)) return false;  // refused: nothing will move the belt
  KnownStopped_ = false;
  return !twice || senduqs(text);
}

// Promises a stop frame; a stop that starts a stop (not a key's release)
// supersedes the control commands queued before it. It goes out at once
// when nothing is in flight. A stop is never refused.
void TKavtelDevice::promiseStop(const std::string& text, bool startsStop) {
  TAPPSYSMutexHold hold(lock());
  if (startsStop) dropCommandsBeforeStop();
  Flight_.Promise(text, StopGroup(VersionMajor_.load()));
  postCommands();
}

void TKavtelDevice::promiseStopGroup() { Flight_.PromiseGroup(StopGroup(VersionMajor_.load())); }

void TKavtelDevice::emergencyStop() {
  if (!GetIOOpen()) return;
  TAPPSYSMutexHold hold(lock());
  dropCommandsBeforeStop();
  promiseStopGroup();
  postCommands();
}

// --- keypad ---------------------------------------------------------------

bool TKavtelDevice::isGated() const {
  const TAPPIOControllerState s = GetControllerState();
  return s == ioDetecting || s == ioOff;
}

bool TKavtelDevice::press(TRNXBtn key) {
  const TKavtelKeypad::Action action =
      TKavtelKeypad::Press(key, VersionMajor_.load(), isPressesRNXBtn(key), isGated());
  if (action.text == nullptr) return true;
  inlcudeRNXBtn(key);
  if (key == rnxbtnstop) {
    promiseStop(action.text, true);
    return true;
  }
  TAPPSYSMutexHold hold(lock());
  const bool queued = senduqs(action.text);
  if (queued && (key == rnxbtnstart || key == rnxbtnplus)) KnownStopped_ = false;
  postCommands();
  return queued;
}

bool TKavtelDevice::release(TRNXBtn key) {
  const TKavtelKeypad::Action action =
      TKavtelKeypad::Release(key, VersionMajor_.load(), isPressesRNXBtn(key), isGated());
  bool queued = true;
  if (action.text != nullptr && key == rnxbtnstop) {
    promiseStop(action.text, false);
  } else if (action.text != nullptr) {
    queued = senduqs(action.text);
    postCommands();
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
  PressedButtons_ = static_cast<TRNXBtnPressed>(PressedButtons_ | (1u << key));
}

void TKavtelDevice::excudeRNXBtn(TRNXBtn key) {
  if (key > 7) return;
  TAPPSYSMutexHold hold(lock());
  PressedButtons_ = static_cast<TRNXBtnPressed>(PressedButtons_ & ~(1u << key));
}

bool TKavtelDevice::isPressesRNXBtn(TRNXBtn key) {
  if (key > 7) return false;
  TAPPSYSMutexHold hold(lock());
  return (PressedButtons_ & (1u << key)) != 0;
}

void TKavtelDevice::resetRNXBtn() {
  TAPPSYSMutexHold hold(lock());
  PressedButtons_ = 0;
}

// Oxygen uptake (ml/kg/min) from speed and elevation, and the energy of a
// session of that many seconds from it and the user's weight.
void TKavtelDevice::calcV02andErnergy(std::uint32_t seconds) {
  const double v = Speed_.load();
  const double g = Elevation_.load();
  const double minutes = static_cast<double>(seconds) / 60.0;
  const double x = (0.654 * g + 10.9) * v + 2.67;
  VO2_.store(static_cast<float>(x));
  // Speed, elevation and weight are as the controller reported them: an
  // absurd product is held within the counter instead of throwing.
  Energy_.store(static_cast<std::uint32_t>(
      RoundHalfEvenWithin(x * 0.0211 * minutes * weight(), 0, std::numeric_limits<std::uint32_t>::max())));
}

}  // namespace kavtel
