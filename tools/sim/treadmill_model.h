#pragma once

// The physical side of the virtual treadmill: belt, elevation, the session's
// distance, time and energy, the runner's heart rate and power, and the
// fail-safe watchdog. It has no clock of its own: `Advance` moves it on by a
// given stretch of time, so a test can drive it step by step.

#include <array>
#include <chrono>

namespace kavtel::sim {

using Seconds = std::chrono::duration<double>;

enum class Belt { stopped, running, paused };

enum class Key { start, stop, faster, slower, up, down };

struct ModelConfig {
  double max_speed = 6.11;         // m/s (22 km/h); set speeds are clamped to it
  double start_speed = 0.5;        // m/s, the speed the start key runs up to
  double speed_step = 1.0 / 36.0;  // m/s per plus or minus press (0.1 km/h)
  double max_elevation = 15.0;     // elevation units (percent)
  double elevation_step = 0.5;     // per up or down press
  double elevation_rate = 1.0;     // elevation units per second
  int acceleration = 4;            // ramp index 1 to 7 at power-on
  int fail_safe = 10;              // seconds at power-on; 0 or less: no watchdog
  int weight = 75;                 // kg, for energy and power
  double rest_heart_rate = 70.0;   // beats per minute
  double max_heart_rate = 190.0;
};

struct TreadmillState {
  Belt belt = Belt::stopped;
  double speed = 0;          // m/s, the belt's actual speed
  double target_speed = 0;   // m/s, where the belt is heading
  double elevation = 0;
  double target_elevation = 0;
  int acceleration = 4;      // ramp index 1 to 7
  double distance = 0;       // m, in this session
  double seconds = 0;        // running time of this session
  double energy = 0;         // kcal, in this session
  double power = 0;          // W
  double heart_rate = 0;     // beats per minute
  int fail_safe = 10;        // seconds without a frame before the belt stops
  double silence = 0;        // seconds since the last frame, counted while running
  unsigned fail_safe_trips = 0;

  // The status number the controller reports: 0 stop, 1 run, 2 pause.
  int StatusCode() const;
};

// Ramp divisors by acceleration index: the belt's acceleration is the maximum
// speed divided by the entry (index 1: slow, index 7: brisk).
inline constexpr std::array<int, 8> kRampDivisors = {232, 131, 66, 33, 16, 8, 5, 3};

class TreadmillModel {
 public:
  explicit TreadmillModel(const ModelConfig& config = {});

  const ModelConfig& config() const { return config_; }
  const TreadmillState& state() const { return state_; }

  // Moves the model on by `dt`: the belt ramps towards its target at the
  // rate of the acceleration index, elevation follows its target, distance
  // grows while the belt moves, time and energy while the session runs, heart
  // rate follows the effort. If the fail-safe expires within `dt`, the belt
  // is stopped at that moment.
  void Advance(Seconds dt);

  // A frame arrived from the host: the fail-safe countdown starts afresh.
  void HostAlive() { state_.silence = 0; }

  // Requested speed in m/s, clamped to 0 ... max_speed. A speed above zero
  // runs the belt (a new session when it was stopped, resuming when paused);
  // zero while running pauses it.
  void SetSpeed(double speed);
  // Requested elevation, clamped to 0 ... max_elevation.
  void SetElevation(double elevation);
  // Ramp index, clamped to 1 ... 7.
  void SetAcceleration(int index);
  void SetFailSafe(int seconds) { state_.fail_safe = seconds; }

  // A key press on the keypad:
  // start: a stopped belt starts a new session at start_speed, a paused one
  //   resumes at the speed it had; stop: a running or paused session stops
  //   and the belt runs down; faster, slower: one speed step while running
  //   (never below one step, never above max_speed); up, down: one
  //   elevation step.
  void Press(Key key);

  // Acceleration of the belt in m/s^2 at the current index.
  double RampRate() const;

 private:
  void Run(double target);
  void Stop();
  void AdvanceInside(double dt);
  // Oxygen uptake (ml per kg and minute) at the given speed and elevation.
  static double Effort(double speed, double elevation);

  ModelConfig config_;
  TreadmillState state_;
  double resume_speed_ = 0;
};

}  // namespace kavtel::sim
