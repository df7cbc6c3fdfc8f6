#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kavtel {

// The controller's stop texts, written once: every part that sends,
// recognises or groups a stop uses these.
namespace stop_text {
inline constexpr const char kSpeedZero[] = "S020.00";  // speed zero
inline constexpr const char kKeyPress[] = "U10SP";     // the stop key, pressed
inline constexpr const char kKeyRelease[] = "U10SR";   // and released
inline constexpr const char kGeneration1[] = "U00S";   // generation 1's stop key
inline constexpr const char kGentle[] = "A003";        // a gentle acceleration ahead of the stop
}  // namespace stop_text

// True for a frame whose answer confirms a stop.
bool IsStopText(const std::string& text);

// The controller's stop group: it covers every stop. Generation 1 stops
// with its stop key; the others take a gentle acceleration, speed zero and
// a press and release of the stop key.
const std::vector<std::string>& StopGroup(std::int32_t versionMajor);

// What the controller is told to hold a speed: its own offset is added
// to the speed asked for, one for generation 1, another for the rest.
struct TKavtelSpeedSetting {
  std::int32_t versionMajor = 0;
  float reportedMax = 0;  // m/s the controller reported as its top; 0: none
  long double generation1Offset = 0;
  long double offset = 0;
};

// The frame texts of what a host asks: each one refused (nullopt) when the
// controller could not take it, so that it is never sent to be refused
// there (the trouble that would follow could cost a stop its place).
// Speeds in m/s: 0 up to 99.99 and the reported top; an offset that makes
// the text negative or too wide is refused too. Elevations: -99.9 to 99.9.
// Neither takes a value that is not a finite number.
std::optional<std::string> SpeedText(long double speed, const TKavtelSpeedSetting& setting);
std::optional<std::string> ElevationText(long double elevation);
std::string AccelerationText(std::uint8_t index);
std::string FailSafeText(std::int64_t seconds);

}  // namespace kavtel
