#include "readings.h"

#include <cstring>

namespace kavtel::ctl {

namespace {

template <typename T, typename Fn>
void Read(Fn reader, int port, Reading<T>& out) {
  T value{};
  out.code = reader(port, &value);
  if (out.Ok()) out.value = value;
}

}  // namespace

Readings ReadAll(const KavtelApi& api, int port) {
  Readings r;
  r.admission = api.isValid(port);
  if (api.getLinkState != nullptr) Read(api.getLinkState, port, r.link);
  char version[KAVTEL_VERSION_BUFFER_SIZE] = {};
  r.version.code = api.getVersion(port, version);
  // Bounded even if a library wrote the whole buffer without its zero.
  if (r.version.Ok()) r.version.value.assign(version, strnlen(version, sizeof version));
  Read(api.getStatus, port, r.state);
  Read(api.getDuration, port, r.duration);
  Read(api.getSpeed, port, r.speed);
  Read(api.getAcceleration, port, r.acceleration);
  Read(api.getElevation, port, r.elevation);
  Read(api.getHeartrate, port, r.heartrate);
  Read(api.getDistance, port, r.distance);
  Read(api.getFailSafe, port, r.failsafe);
  Read(api.getError, port, r.error);
  Read(api.getWeight, port, r.weight);
  Read(api.getEnergy, port, r.energy);
  Read(api.getPower, port, r.power);
  Read(api.getProtocol, port, r.protocol);
  return r;
}

std::optional<int> ControllerState(const Readings& readings) {
  if (readings.state.Ok()) return readings.state.value;
  if (readings.state.code == KAVTEL_DETECTING) return KAVTEL_STATE_DETECTING;
  return std::nullopt;
}

}  // namespace kavtel::ctl
