#include "station_device.h"

#include "kavtel/kavtel.h"

namespace bridge {

bool StationDevice::EnsureOpen() {
  if (!open_.load()) open_.store(kavtelopenPort(com_) == KAVTEL_OK);
  return open_.load();
}

namespace {
template <typename T, typename R>
std::optional<T> Get(int (*reader)(int, R*), int com) {
  R value{};
  if (reader(com, &value) != KAVTEL_OK) return std::nullopt;
  return static_cast<T>(value);
}
}  // namespace

Reading StationDevice::Read() const {
  Reading r;
  if (!open_.load()) return r;
  int link = 0;
  r.link = kavtelgetLinkState(com_, &link) == KAVTEL_OK ? link : -1;
  char version[KAVTEL_VERSION_BUFFER_SIZE] = {};
  if (kavtelgetVersion(com_, version) == KAVTEL_OK) r.version = std::string(version);
  int state = 0;
  const int stateCode = kavtelgetStatus(com_, &state);
  if (stateCode == KAVTEL_OK) {
    r.state = state;
  } else if (stateCode == KAVTEL_DETECTING) {
    r.state = KAVTEL_STATE_DETECTING;
  }
  r.speed = Get<double>(&kavtelgetSpeed, com_);
  r.elevation = Get<double>(&kavtelgetElevation, com_);
  r.acceleration = Get<int>(&kavtelgetAcceleration, com_);
  r.distance = Get<int>(&kavtelgetDistance, com_);
  r.duration = Get<int>(&kavtelgetDuration, com_);
  r.heartRate = Get<int>(&kavtelgetHeartrate, com_);
  r.energy = Get<double>(&kavtelgetEnergy, com_);
  r.power = Get<double>(&kavtelgetPower, com_);
  r.failSafe = Get<int>(&kavtelgetFailSafe, com_);
  r.error = Get<int>(&kavtelgetError, com_);
  r.weight = Get<int>(&kavtelgetWeight, com_);
  return r;
}

int StationDevice::PressStop() {
  const int pressed = kavtelKeyPressStop(com_, 1);
  if (pressed == KAVTEL_OK) kavtelKeyPressStop(com_, 0);
  return pressed;
}

int StationDevice::Drive(const Command& c) {
  switch (c.kind) {
    case CommandKind::speed: return kavtelsetSpeed(com_, c.value);
    case CommandKind::elevation: return kavtelsetElevation(com_, c.value);
    case CommandKind::acceleration: return kavtelsetAcceleration(com_, static_cast<int>(c.value));
    case CommandKind::key: {
      const int pressed = c.pressed ? 1 : 0;
      switch (c.key) {
        case KeyName::start: return kavtelKeyPressStart(com_, pressed);
        case KeyName::stop: return kavtelKeyPressStop(com_, pressed);
        case KeyName::plus: return kavtelKeyPressPlus(com_, pressed);
        case KeyName::minus: return kavtelKeyPressMinus(com_, pressed);
        case KeyName::up: return kavtelKeyPressUp(com_, pressed);
        case KeyName::down: return kavtelKeyPressDown(com_, pressed);
      }
      break;
    }
    default: break;
  }
  return KAVTEL_ERROR;
}

int StationDevice::Close(int* confirmed) {
  *confirmed = 0;
  if (!open_.load()) return KAVTEL_NOT_OPEN;
  const int rc = kavtelclosePortEx(com_, confirmed);
  open_.store(false);
  return rc;
}

}  // namespace bridge
