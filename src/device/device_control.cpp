// What a host asks of the treadmill: speed, elevation, acceleration,
// fail-safe, stops and the keys of its keypad.
#include <cmath>
#include <limits>
#include <vector>

#include "device/kavtel_device.h"
#include "services/number_text.h"

namespace kavtel {

namespace {

// The widest texts the controller's fields take: "99.99" m/s, "-99.9".
constexpr long double kSpeedLimit = 99.995L;      // formats as "100.00" from here
constexpr long double kElevationLimit = 99.95L;   // formats as "100.0" from here

}  // namespace

bool TKavtelDevice::DoChangeSpeed(long double speed) {
  try {
    TAPPSYSMutexHold hold(lock());
    // What the controller cannot take is refused here, not sent to be
    // refused there (the trouble that follows would cost a stop its place).
    if (!std::isfinite(speed) || speed < 0 || speed >= kSpeedLimit) return false;
    const float reportedMax = ReportedMaxSpeed_.load();
    if (reportedMax > 0 && speed > static_cast<long double>(reportedMax) + 0.005L) return false;
    const long double offset = VersionMajor_.load() == 1 ? MCU2Fac_ : MCU4Fac_;
    const std::string text = "S02" + FormatFixed(speed + offset, 2);
    if (text.size() > 8 || text[3] == '-') return false;  // an offset set by the host
    // The speed last asked for is already the measured speed; a stop is
    // sent all the same (the reading may be stale).
    if (text != "S020.00" && speed == RequestedSpeed_ &&
        RequestedSpeed_ == static_cast<long double>(Speed_.load()))
      return true;
    RequestedSpeed_ = speed;
    // Outside a run the controller wants the speed twice.
    const bool twice = GetControllerState() != ioRun;
    if (text == "S020.00") {
      // Speed zero stops the belt: a stop, promised like the others.
      promiseStop(text, true);
      if (twice) promiseStop(text, false);
      return true;
    }
    return queueMoving(text, twice);
  } catch (...) {
    return false;  // never raises towards its caller; the refusal shows in the result
  }
}

bool TKavtelDevice::DoChangeElevation(long double elevation) {
  TAPPSYSMutexHold hold(lock());
  if (!std::isfinite(elevation) || std::fabs(elevation) >= kElevationLimit) return false;
  RequestedElevation_ = elevation;
  return senduqs("E03" + FormatFixed(elevation, 1));
}

bool TKavtelDevice::DoChangeAcceleration(std::uint8_t index) {
  TAPPSYSMutexHold hold(lock());
  RequestedAcceleration_ = index;
  return senduqs("A00" + FormatInteger(index));
}

bool TKavtelDevice::DoChangeFailSafe(std::int32_t value) {
  return senduqs("F00" + FormatInteger(value));
}

bool TKavtelDevice::DoChangeStopSpeed() {
  TAPPSYSMutexHold hold(lock());
  promiseStop("S020.00", true);
  promiseStop("U10SP", false);
  promiseStop("U10SR", false);
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
  Flight_.Promise(text, stopGroup());
  postCommands();
}

// The controller's stop group: it covers every stop. Generation 1 stops with
// its stop key; the others take a gentle acceleration (index 3), speed zero
// and a press and release of the stop key.
const std::vector<std::string>& TKavtelDevice::stopGroup() const {
  static const std::vector<std::string> kGeneration1{"U00S"};
  static const std::vector<std::string> kOthers{"A003", "S020.00", "U10SP", "U10SR"};
  return VersionMajor_.load() == 1 ? kGeneration1 : kOthers;
}

void TKavtelDevice::promiseStopGroup() { Flight_.PromiseGroup(stopGroup()); }

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
