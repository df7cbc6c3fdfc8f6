#include "device/setpoints.h"

#include <cmath>

#include "services/number_text.h"

namespace kavtel {

namespace {

// The widest texts the controller's fields take: "99.99" m/s, "-99.9".
constexpr long double kSpeedLimit = 99.995L;     // formats as "100.00" from here
constexpr long double kElevationLimit = 99.95L;  // formats as "100.0" from here
// A speed within rounding of the reported top is the top itself.
constexpr long double kTopTolerance = 0.005L;

}  // namespace

bool IsStopText(const std::string& text) {
  return text == stop_text::kSpeedZero || text == stop_text::kGeneration1 || text == stop_text::kKeyPress ||
         text == stop_text::kKeyRelease;
}

const std::vector<std::string>& StopGroup(std::int32_t versionMajor) {
  static const std::vector<std::string> kGeneration1{stop_text::kGeneration1};
  static const std::vector<std::string> kOthers{stop_text::kGentle, stop_text::kSpeedZero, stop_text::kKeyPress,
                                                stop_text::kKeyRelease};
  return versionMajor == 1 ? kGeneration1 : kOthers;
}

std::optional<std::string> SpeedText(long double speed, const TKavtelSpeedSetting& setting) {
  if (!std::isfinite(speed) || speed < 0 || speed >= kSpeedLimit) return std::nullopt;
  if (setting.reportedMax > 0 && speed > static_cast<long double>(setting.reportedMax) + kTopTolerance)
    return std::nullopt;
  const long double offset = setting.versionMajor == 1 ? setting.generation1Offset : setting.offset;
  std::string text = "S02" + FormatFixed(speed + offset, 2);
  if (text.size() > 8 || text[3] == '-') return std::nullopt;  // an offset set by the host
  return text;
}

std::optional<std::string> ElevationText(long double elevation) {
  if (!std::isfinite(elevation) || std::fabs(elevation) >= kElevationLimit) return std::nullopt;
  return "E03" + FormatFixed(elevation, 1);
}

std::string AccelerationText(std::uint8_t index) { return "A00" + FormatInteger(index); }

std::string FailSafeText(std::int64_t seconds) { return "F00" + FormatInteger(seconds); }

}  // namespace kavtel
