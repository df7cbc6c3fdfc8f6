// What a host asks of the treadmill: speed, elevation, acceleration,
// fail-safe, stops and the keys of its keypad.
#include <limits>

#include "device/kavtel_device.h"
#include "device/number_text.h"

namespace kavtel {

bool TKavtelDevice::DoChangeSpeed(long double speed) {
  try {
    TAPPSYSMutexHold hold(lock());
    // The speed last asked for is already the measured speed.
    if (speed == RequestedSpeed_ && RequestedSpeed_ == static_cast<long double>(Speed_.load()))
      return true;
    RequestedSpeed_ = speed;
    const long double offset = VersionMajor_.load() == 1 ? MCU2Fac_ : MCU4Fac_;
    const std::string text = "S02" + FormatFixed(speed + offset, 2);
    bool queued = senduqs(text);
    // Outside a run the controller wants the speed twice.
    if (GetControllerState() != ioRun) queued = senduqs(text) && queued;
    return queued;
  } catch (...) {
    return false;  // never raises towards its caller; the refusal shows in the result
  }
}

bool TKavtelDevice::DoChangeElevation(long double elevation) {
  TAPPSYSMutexHold hold(lock());
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
  const bool queued = senduqs("S020.00") && senduqs("U10SP") && senduqs("U10SR");
  updateControllerState(ioStopping);
  return queued;
}

void TKavtelDevice::emergencyStop() {
  if (!GetIOOpen()) return;
  TAPPSYSMutexHold hold(lock());
  // A stop is never refused: when the queue lacks room for the whole group,
  // what waits in it is dropped first.
  const std::int32_t frames = VersionMajor_.load() == 1 ? 1 : 4;
  if (!CommandQueue_->canaddComand(frames)) dropQueued("full before a stop");
  if (VersionMajor_.load() == 1) {
    senduqs("U00S");
  } else {
    senduqs("A00" + FormatInteger(3));
    senduqs("S02" + FormatFixed(0, 2));
    senduqs("U10SP");
    senduqs("U10SR");
  }
  postCommands();
}

// --- keypad ---------------------------------------------------------------

bool TKavtelDevice::isGated() const {
  const TAPPIOControllerState s = GetControllerState();
  return s == ioDetecting || s == ioOff;
}

bool TKavtelDevice::sendKey(const char* text) {
  const bool queued = senduqs(text);
  postCommands();
  return queued;
}

bool TKavtelDevice::pressFaster() {
  if (isGated() || isPressesRNXBtn(rnxbtnplus)) return true;
  inlcudeRNXBtn(rnxbtnplus);
  return sendKey(VersionMajor_.load() == 1 ? "U00+" : "U10+P");
}

bool TKavtelDevice::upFaster() {
  if (isGated()) return true;
  const bool sent = sendKey(VersionMajor_.load() == 1 ? "U00H" : "U10+R");
  excudeRNXBtn(rnxbtnplus);
  return sent;
}

bool TKavtelDevice::pressSlower() {
  if (isGated() || isPressesRNXBtn(rnxbtnminus)) return true;
  inlcudeRNXBtn(rnxbtnminus);
  return sendKey(VersionMajor_.load() == 1 ? "U00-" : "U10-P");
}

bool TKavtelDevice::upSlower() {
  if (isGated()) return true;
  const bool sent = sendKey(VersionMajor_.load() == 1 ? "U00H" : "U10-R");
  excudeRNXBtn(rnxbtnminus);
  return sent;
}

bool TKavtelDevice::pressUp() {
  inlcudeRNXBtn(rnxbtnup);
  return sendKey(VersionMajor_.load() == 1 ? "U00U" : "U10UP");
}

bool TKavtelDevice::upUp() {
  excudeRNXBtn(rnxbtnup);
  return sendKey(VersionMajor_.load() == 1 ? "U00H" : "U10UR");
}

bool TKavtelDevice::pressDown() {
  inlcudeRNXBtn(rnxbtndown);
  return sendKey(VersionMajor_.load() == 1 ? "U00D" : "U10DP");
}

bool TKavtelDevice::upDown() {
  excudeRNXBtn(rnxbtndown);
  return sendKey(VersionMajor_.load() == 1 ? "U00H" : "U10DR");
}

bool TKavtelDevice::pressStart() {
  if (isPressesRNXBtn(rnxbtnstart)) return true;
  inlcudeRNXBtn(rnxbtnstart);
  return sendKey("U10EP");
}

bool TKavtelDevice::upStart() {
  if (!isPressesRNXBtn(rnxbtnstart)) return true;
  const bool sent = sendKey("U10ER");
  excudeRNXBtn(rnxbtnstart);
  return sent;
}

bool TKavtelDevice::pressStop() {
  if (isPressesRNXBtn(rnxbtnstop)) return true;
  inlcudeRNXBtn(rnxbtnstop);
  return sendKey(VersionMajor_.load() == 1 ? "U00S" : "U10SP");
}

bool TKavtelDevice::upStop() {
  if (!isPressesRNXBtn(rnxbtnstop)) return true;
  bool sent = true;
  if (VersionMajor_.load() >= 2) sent = sendKey("U10SR");
  excudeRNXBtn(rnxbtnstop);
  return sent;
}

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
