#include "treadmill_model.h"

#include <gtest/gtest.h>

#include <vector>

namespace kavtel::sim {
namespace {

constexpr double kEps = 1e-9;

ModelConfig Config(int acceleration, int fail_safe = 0) {
  ModelConfig config;
  config.acceleration = acceleration;
  config.fail_safe = fail_safe;
  return config;
}

TEST(TreadmillModel, BeltRampsTowardsTheTargetAtTheRateOfItsIndex) {
  for (const int index : {1, 3, 4, 7}) {
    TreadmillModel model(Config(index));
    const double rate = model.config().max_speed / kRampDivisors[static_cast<std::size_t>(index)];
    EXPECT_DOUBLE_EQ(model.RampRate(), rate) << index;
    const double target = 2.5;
    const double ramp_time = target / rate;

    model.SetSpeed(target);
    EXPECT_EQ(model.state().belt, Belt::running);
    model.Advance(Seconds(ramp_time / 2));
    EXPECT_NEAR(model.state().speed, target / 2, kEps) << index;
    model.Advance(Seconds(ramp_time / 2 + 10));
    EXPECT_NEAR(model.state().speed, target, kEps) << index;
    // The path under the ramp (a triangle) and the ten seconds at speed.
    EXPECT_NEAR(model.state().distance, target * ramp_time / 2 + target * 10, 1e-6) << index;
    EXPECT_NEAR(model.state().seconds, ramp_time + 10, 1e-9) << index;

    // Slowing down takes the same rate, in one large step.
    model.SetSpeed(1.0);
    model.Advance(Seconds(1.5 / rate / 3));
    EXPECT_NEAR(model.state().speed, 2.5 - 0.5, 1e-9) << index;
    model.Advance(Seconds(1000));
    EXPECT_NEAR(model.state().speed, 1.0, kEps) << index;
  }
}

TEST(TreadmillModel, ChangingTheIndexChangesTheRateAtOnceAndIsClamped) {
  TreadmillModel model(Config(1));
  model.SetAcceleration(9);
  EXPECT_EQ(model.state().acceleration, 7);
  model.SetAcceleration(0);
  EXPECT_EQ(model.state().acceleration, 1);
  model.SetAcceleration(7);
  model.SetSpeed(6.0);
  model.Advance(Seconds(1));
  EXPECT_NEAR(model.state().speed, model.config().max_speed / 3, kEps);
}

TEST(TreadmillModel, FailSafeStopsARunningBeltWhenNoFrameArrivesInTime) {
  TreadmillModel model(Config(7, 2));
  model.SetSpeed(2.0);
  model.Advance(Seconds(1.9));
  model.HostAlive();  // a frame: the countdown starts again
  model.Advance(Seconds(1.9));
  EXPECT_EQ(model.state().belt, Belt::running);
  EXPECT_EQ(model.state().fail_safe_trips, 0u);

  // One large step: the trip happens 2 s after the last frame, not at the
  // step's end; running time stops growing there.
  model.Advance(Seconds(5));
  EXPECT_EQ(model.state().belt, Belt::stopped);
  EXPECT_EQ(model.state().StatusCode(), 0);
  EXPECT_EQ(model.state().fail_safe_trips, 1u);
  EXPECT_NEAR(model.state().seconds, 1.9 + 2.0, 1e-9);
  EXPECT_EQ(model.state().target_speed, 0);
  EXPECT_EQ(model.state().speed, 0);  // 2 m/s at index 7 stops within 1 s
}

TEST(TreadmillModel, FailSafeWatchesOnlyARunningBeltAndZeroDisablesIt) {
  TreadmillModel disabled(Config(7, 0));
  disabled.SetSpeed(2.0);
  disabled.Advance(Seconds(3600));
  EXPECT_EQ(disabled.state().belt, Belt::running);

  TreadmillModel paused(Config(7, 1));
  paused.SetSpeed(2.0);
  paused.SetSpeed(0);
  paused.Advance(Seconds(60));
  EXPECT_EQ(paused.state().belt, Belt::paused);
  EXPECT_EQ(paused.state().fail_safe_trips, 0u);

  // A new value from the host counts from the last frame.
  TreadmillModel changed(Config(7, 10));
  changed.SetSpeed(2.0);
  changed.SetFailSafe(1);
  changed.Advance(Seconds(0.99));
  EXPECT_EQ(changed.state().belt, Belt::running);
  changed.Advance(Seconds(0.02));
  EXPECT_EQ(changed.state().belt, Belt::stopped);
}

TEST(TreadmillModel, KeysAndSpeedsMoveTheBeltThroughStopRunAndPause) {
  TreadmillModel model(Config(7));
  const ModelConfig& c = model.config();

  model.Press(Key::start);
  EXPECT_EQ(model.state().StatusCode(), 1);
  EXPECT_DOUBLE_EQ(model.state().target_speed, c.start_speed);
  model.Press(Key::faster);
  model.Press(Key::faster);
  EXPECT_NEAR(model.state().target_speed, c.start_speed + 2 * c.speed_step, kEps);
  model.Advance(Seconds(10));
  const double distance = model.state().distance;
  EXPECT_GT(distance, 0);

  model.SetSpeed(0);  // zero while running: pause
  EXPECT_EQ(model.state().StatusCode(), 2);
  model.Advance(Seconds(10));
  EXPECT_EQ(model.state().speed, 0);
  const double paused_seconds = model.state().seconds;
  model.Advance(Seconds(10));
  EXPECT_EQ(model.state().seconds, paused_seconds);  // time stands while paused

  model.Press(Key::start);  // resumes at the speed it had, same session
  EXPECT_EQ(model.state().StatusCode(), 1);
  EXPECT_NEAR(model.state().target_speed, c.start_speed + 2 * c.speed_step, kEps);
  EXPECT_GT(model.state().distance, distance);

  model.Press(Key::stop);
  EXPECT_EQ(model.state().StatusCode(), 0);
  EXPECT_EQ(model.state().target_speed, 0);
  model.Press(Key::faster);  // ignored while stopped
  EXPECT_EQ(model.state().target_speed, 0);

  model.Advance(Seconds(10));
  model.SetSpeed(1.5);  // a speed starts a new session
  EXPECT_EQ(model.state().StatusCode(), 1);
  EXPECT_EQ(model.state().distance, 0);
  EXPECT_EQ(model.state().seconds, 0);
  model.Press(Key::slower);
  EXPECT_NEAR(model.state().target_speed, 1.5 - c.speed_step, kEps);
  for (int i = 0; i < 200; ++i) model.Press(Key::slower);
  EXPECT_NEAR(model.state().target_speed, c.speed_step, kEps);  // the keys never stop the belt
  model.SetSpeed(99);
  EXPECT_EQ(model.state().target_speed, c.max_speed);
}

TEST(TreadmillModel, ElevationFollowsItsTargetWithinItsRange) {
  TreadmillModel model(Config(4));
  const ModelConfig& c = model.config();
  model.SetElevation(5.0);
  model.Advance(Seconds(2));
  EXPECT_NEAR(model.state().elevation, 2 * c.elevation_rate, kEps);
  model.Advance(Seconds(60));
  EXPECT_NEAR(model.state().elevation, 5.0, kEps);
  model.Press(Key::up);
  EXPECT_NEAR(model.state().target_elevation, 5.0 + c.elevation_step, kEps);
  model.SetElevation(-3);
  EXPECT_EQ(model.state().target_elevation, 0);
  model.Press(Key::down);
  EXPECT_EQ(model.state().target_elevation, 0);
  model.SetElevation(100);
  EXPECT_EQ(model.state().target_elevation, c.max_elevation);
}

// After ten minutes at the given speed, elevation and weight.
TreadmillState After10Minutes(double speed, double elevation, int weight) {
  ModelConfig config = Config(7);
  config.weight = weight;
  config.elevation_rate = 1000;
  TreadmillModel model(config);
  model.SetElevation(elevation);
  if (speed > 0) model.SetSpeed(speed);
  for (int i = 0; i < 600; ++i) model.Advance(Seconds(1));
  return model.state();
}

TEST(TreadmillModel, HeartRateEnergyAndPowerFollowEffort) {
  const TreadmillState rest = After10Minutes(0, 0, 75);
  const TreadmillState walk = After10Minutes(1.5, 0, 75);
  const TreadmillState run = After10Minutes(3.0, 0, 75);
  const TreadmillState hill = After10Minutes(3.0, 10, 75);
  const TreadmillState heavy = After10Minutes(3.0, 0, 100);

  EXPECT_NEAR(rest.heart_rate, ModelConfig{}.rest_heart_rate, 1e-6);
  EXPECT_EQ(rest.power, 0);
  EXPECT_EQ(rest.energy, 0);
  for (const auto& [lower, higher] : std::vector<std::pair<TreadmillState, TreadmillState>>{
           {rest, walk}, {walk, run}, {run, hill}}) {
    EXPECT_LT(lower.heart_rate, higher.heart_rate);
    EXPECT_LT(lower.power, higher.power);
    EXPECT_LT(lower.energy, higher.energy);
  }
  EXPECT_LT(run.power, heavy.power);
  EXPECT_LT(run.energy, heavy.energy);
  EXPECT_LE(hill.heart_rate, ModelConfig{}.max_heart_rate);
  // Plausible figures: a 75 kg runner at 10.8 km/h on the flat.
  EXPECT_GT(run.heart_rate, 120);
  EXPECT_LT(run.heart_rate, 190);
  EXPECT_GT(run.energy, 80);
  EXPECT_LT(run.energy, 200);

  // Heart rate comes back down when the belt stops.
  ModelConfig config = Config(7);
  TreadmillModel model(config);
  model.SetSpeed(3.0);
  model.Advance(Seconds(600));
  const double working = model.state().heart_rate;
  model.Press(Key::stop);
  model.Advance(Seconds(120));
  EXPECT_LT(model.state().heart_rate, working - 20);
}

}  // namespace
}  // namespace kavtel::sim
