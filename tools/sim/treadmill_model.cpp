#include "treadmill_model.h"

#include <algorithm>
#include <cmath>

namespace kavtel::sim {
namespace {

// Moves `value` towards `target` at `rate` per second for `dt` seconds and
// returns the integral of the value over that time (the path covered).
double Ramp(double& value, double target, double rate, double dt) {
  const double gap = std::abs(target - value);
  if (gap <= rate * dt) {
    const double ramp_time = rate > 0 ? gap / rate : 0;
    const double covered = (value + target) / 2 * ramp_time + target * (dt - ramp_time);
    value = target;
    return covered;
  }
  const double end = value + (target > value ? rate * dt : -rate * dt);
  const double covered = (value + end) / 2 * dt;
  value = end;
  return covered;
}

// Heart rate approaches its target with this time constant, in seconds.
constexpr double kHeartLag = 30.0;
// Effort (ml/kg/min above rest) at which heart rate has covered 63% of the
// span from rest to maximum.
constexpr double kHeartEffortScale = 40.0;
// Oxygen uptake at rest, ml/kg/min.
constexpr double kRestEffort = 2.67;
// kcal per litre of oxygen, joules per ml of oxygen, and the share of
// metabolic power that reaches the belt.
constexpr double kKcalPerLitre = 5.0;
constexpr double kJoulePerMl = 20.1;
constexpr double kEfficiency = 0.2;

}  // namespace

int TreadmillState::StatusCode() const {
  switch (belt) {
    case Belt::running: return 1;
    case Belt::paused: return 2;
    case Belt::stopped: break;
  }
  return 0;
}

TreadmillModel::TreadmillModel(const ModelConfig& config) : config_(config) {
  state_.acceleration = std::clamp(config.acceleration, 1, 7);
  state_.fail_safe = config.fail_safe;
  state_.heart_rate = config.rest_heart_rate;
}

double TreadmillModel::Effort(double speed, double elevation) {
  return (0.654 * elevation + 10.9) * speed + kRestEffort;
}

double TreadmillModel::RampRate() const {
  return config_.max_speed / kRampDivisors[static_cast<std::size_t>(state_.acceleration)];
}

void TreadmillModel::Advance(Seconds dt) {
  double left = dt.count();
  if (left <= 0) return;
  if (state_.belt == Belt::running && state_.fail_safe > 0) {
    const double until_trip = std::max(0.0, state_.fail_safe - state_.silence);
    if (until_trip <= left) {
      AdvanceInside(until_trip);
      Stop();
      ++state_.fail_safe_trips;
      left -= until_trip;
    }
  }
  AdvanceInside(left);
}

void TreadmillModel::AdvanceInside(double dt) {
  if (dt <= 0) return;
  const double covered = Ramp(state_.speed, state_.target_speed, RampRate(), dt);
  Ramp(state_.elevation, state_.target_elevation, config_.elevation_rate, dt);
  state_.distance += covered;

  const double net_effort = Effort(state_.speed, state_.elevation) - kRestEffort;
  if (state_.belt == Belt::running) {
    state_.seconds += dt;
    state_.silence += dt;
    const double effort = Effort(covered / dt, state_.elevation);
    state_.energy += effort * config_.weight / 1000.0 * kKcalPerLitre / 60.0 * dt;
  }
  state_.power = net_effort * config_.weight / 60.0 * kJoulePerMl * kEfficiency;

  const double heart_target =
      config_.rest_heart_rate + (config_.max_heart_rate - config_.rest_heart_rate) *
                                    (1 - std::exp(-net_effort / kHeartEffortScale));
  state_.heart_rate += (heart_target - state_.heart_rate) * (1 - std::exp(-dt / kHeartLag));
}

void TreadmillModel::Run(double target) {
  if (state_.belt == Belt::stopped) {
    state_.distance = 0;
    state_.seconds = 0;
    state_.energy = 0;
  }
  state_.belt = Belt::running;
  state_.target_speed = target;
  state_.silence = 0;
}

void TreadmillModel::Stop() {
  state_.belt = Belt::stopped;
  state_.target_speed = 0;
  state_.silence = 0;
}

void TreadmillModel::SetSpeed(double speed) {
  speed = std::clamp(speed, 0.0, config_.max_speed);
  if (speed > 0) {
    Run(speed);
  } else if (state_.belt == Belt::running) {
    resume_speed_ = state_.target_speed;
    state_.belt = Belt::paused;
    state_.target_speed = 0;
  }
}

void TreadmillModel::SetElevation(double elevation) {
  state_.target_elevation = std::clamp(elevation, 0.0, config_.max_elevation);
}

void TreadmillModel::SetAcceleration(int index) { state_.acceleration = std::clamp(index, 1, 7); }

void TreadmillModel::Press(Key key) {
  const bool running = state_.belt == Belt::running;
  switch (key) {
    case Key::start:
      if (state_.belt == Belt::stopped) Run(config_.start_speed);
      else if (state_.belt == Belt::paused) Run(resume_speed_ > 0 ? resume_speed_ : config_.start_speed);
      break;
    case Key::stop:
      if (state_.belt != Belt::stopped) Stop();
      break;
    case Key::faster:
      if (running) state_.target_speed = std::min(config_.max_speed, state_.target_speed + config_.speed_step);
      break;
    case Key::slower:
      if (running) state_.target_speed = std::max(config_.speed_step, state_.target_speed - config_.speed_step);
      break;
    case Key::up: SetElevation(state_.target_elevation + config_.elevation_step); break;
    case Key::down: SetElevation(state_.target_elevation - config_.elevation_step); break;
  }
}

}  // namespace kavtel::sim
