#pragma once

// The treadmill's command vocabulary: turns a received command (code and
// payload) into an action on the model and the text of the answer. No I/O.

#include <string>
#include <string_view>

#include "treadmill_model.h"

namespace kavtel::sim {

struct ControllerConfig {
  // Payload of the "V00" answer. Its first character is the generation
  // ("123": generation 1; "203", "224": generation 2).
  std::string version_text = "203";
  // Payload of the "U17" answer: nine characters, positions 3, 4 and 5 name
  // the display units of speed, distance and elevation ("3": km/h, "5":
  // metres, "5": percent).
  std::string units_text = "003550000";
  int device_type = 0;  // "Y00": 0 treadmill, 1 ladder, 2 bicycle
  int error_code = 0;   // "Z00"
};

struct Reply {
  enum class Outcome {
    answer,           // `body` is the answer's code and payload
    unknown_command,  // the code is not in the vocabulary
    bad_payload,      // the code is known, its argument is not acceptable
  };
  Outcome outcome;
  std::string body;
};

// Answers, all with "." as the decimal point whatever the locale:
//   V00 version text   S00 status 0/1/2   S01 speed m/s "0.00"
//   E01 elevation "0.0"   D00 whole metres   T00 running time "h:mm:ss"
//   P01 heart rate   A00 ramp index   U17 units text   Y00 device type
//   S04 maximum speed m/s "0.00"   Z00 error code   J00 weight kg
//   J01 energy kcal "0.0"   J02 power W   F00 fail-safe seconds
// Set commands are acted on and answered with their own code and the value
// now in force: S02 speed (plain decimal), E03 elevation (plain decimal),
// A00 with an index, F00 with a value (signed integers without leading
// zeros). Keys of both generations are acted on and answered with their own
// code and key text: U00 with "+", "-", "U", "D", "S" (press) or "H"
// (release); U10 with "+", "-", "U", "D", "S", "E" followed by "P" (press) or
// "R" (release). Releases change nothing; every press acts once.
class Controller {
 public:
  Controller(const ControllerConfig& config, const ModelConfig& model);

  Reply Handle(std::string_view code, std::string_view payload);

  TreadmillModel& model() { return model_; }
  const TreadmillModel& model() const { return model_; }
  const ControllerConfig& config() const { return config_; }
  void SetVersionText(std::string text) { config_.version_text = std::move(text); }
  void SetErrorCode(int code) { config_.error_code = code; }

 private:
  ControllerConfig config_;
  TreadmillModel model_;
};

// Helpers of the wire's number formats, exposed for tests.
// `value` rounded to `decimals` places, at least one integer digit.
std::string FormatFixed(double value, int decimals);
// Whole seconds as "h:mm:ss".
std::string FormatDuration(double seconds);

}  // namespace kavtel::sim
