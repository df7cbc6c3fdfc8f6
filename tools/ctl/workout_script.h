#pragma once

// The plain-text workout of `kavtelctl script`: one step per line, "#"
// starts a comment, blank lines are skipped. Numbers use "." as the decimal
// point.
//
//   wait SECONDS                    let the time pass
//   speed M/S                       kavtelsetSpeed
//   elevation VALUE                 kavtelsetElevation
//   acceleration INDEX              kavtelsetAcceleration (0..255)
//   failsafe SECONDS                kavtelsetFailSafe (0..255)
//   key start|stop|plus|minus|up|down [press|release|tap]   (tap by default)
//   log on|off                      kavtelsetProtocol
//   expect FIELD OP VALUE [within SECONDS]
//       waits until the value read back satisfies the comparison (30 s by
//       default); FIELD is speed, elevation, acceleration, state, heartrate,
//       distance, duration, failsafe, error, weight, energy, power,
//       protocol or link; OP is = != < <= > >=; a state is compared by name
//       (stop, run, pause, stopping, detecting), e.g. "expect state = run",
//       and so is the line (lost, identifying, ok): "expect link = ok".

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "readings.h"

namespace kavtel::ctl {

enum class StepKind { wait, speed, elevation, acceleration, failsafe, key, log, expect };
enum class KeyName { start, stop, plus, minus, up, down };
enum class KeyAction { press, release, tap };
enum class Field {
  speed, elevation, acceleration, state, heartrate, distance, duration,
  failsafe, error, weight, energy, power, protocol, link
};
enum class Compare { equal, not_equal, less, less_equal, greater, greater_equal };

struct ScriptStep {
  int line = 0;       // 1-based line number in the file
  std::string text;   // the step as written, comment stripped
  StepKind kind = StepKind::wait;
  double number = 0;  // seconds, m/s, elevation, index or the expected value
  KeyName key = KeyName::start;
  KeyAction action = KeyAction::tap;
  bool on = false;  // log
  Field field = Field::speed;
  Compare compare = Compare::equal;
  double within = 30;  // expect: seconds
};

// One line; nullopt for a blank or comment line and for a bad one, which
// also sets `error` ("line N: ...").
std::optional<ScriptStep> ParseScriptLine(std::string_view line, int number, std::string& error);

struct ParsedScript {
  std::vector<ScriptStep> steps;
  std::string error;  // the first bad line, empty when the script is sound
};
ParsedScript ParseScript(std::string_view text);

// A field's value in `readings`, if its reader returned KAVTEL_OK.
std::optional<double> FieldValue(Field field, const Readings& readings);
const char* FieldName(Field field);
// True when `value` compares with `expected` (within 0.001 for = and !=).
bool Satisfies(double value, Compare compare, double expected);

}  // namespace kavtel::ctl
