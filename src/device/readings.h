#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace kavtel {

enum TRNXPGSpeedUnit : std::uint8_t { rnxkmh, rnxms, rnxmph, rnxmmin };
enum TRNXPGElevationUnit : std::uint8_t { rnxpercent, rnxdegree };
enum TRNXPGDistanceUnit : std::uint8_t { rnxm, rnxkm, rnxmiles };
enum TRNXPGControllerMode : std::uint8_t { rnxNormal, rnxSetup };
enum TRNXPGLedState : std::uint8_t { rnxOff, rnxOn, rnxBlinking };

// What the controller reported, as the host reads it: the device's
// decoders write it under the device lock, any thread reads it without one.
struct TKavtelReadings {
  std::atomic<std::int32_t> duration{0};  // seconds
  std::atomic<float> speed{0};            // m/s
  std::atomic<float> elevation{0};
  std::atomic<std::uint8_t> acceleration{0};
  std::atomic<std::int32_t> distance{0};
  std::atomic<std::uint16_t> heartRate{0};
  std::atomic<std::uint16_t> power{0};
  std::atomic<std::uint32_t> energy{0};
  std::atomic<float> vo2{0};
  std::atomic<std::int32_t> errorCode{0};
  std::atomic<std::int32_t> versionMajor{0};
  std::atomic<std::int32_t> versionMinor{0};
  mutable std::mutex versionLock;  // guards versionText
  std::string versionText;
  // The maximum speed the controller reported (m/s), 0 when none.
  std::atomic<float> reportedMaxSpeed{0};
  std::atomic<TRNXPGSpeedUnit> speedUnit{rnxkmh};
  std::atomic<TRNXPGDistanceUnit> distanceUnit{rnxm};
  std::atomic<TRNXPGElevationUnit> elevationUnit{rnxpercent};
  // Unusable frames and NAKs since the open.
  std::atomic<std::int32_t> faults{0};
  std::atomic<std::int32_t> naks{0};
};

}  // namespace kavtel
