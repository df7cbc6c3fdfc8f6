#pragma once

// The flat API of the kavtel library as kavtelctl meets it: loaded at run
// time and every function looked up by its exported name, as hosts do.
// Nothing of the library is linked; kavtel.h gives the codes and the calling
// convention only.

#include <string>

#include "host_system.h"
#include "kavtel/kavtel.h"

namespace kavtel::ctl {

// Each member has the type of the function kavtel.h declares (taken with
// decltype, which links nothing), so a change of a signature cannot go
// unnoticed here.
struct KavtelApi {
  using IntFn = decltype(&::kavtelKeyPressStart);  // (index, int): the keys share it

  decltype(&::kavtelopenPort) openPort = nullptr;
  decltype(&::kavtelclosePort) closePort = nullptr;
  decltype(&::isvalidKavtelDevice) isValid = nullptr;
  decltype(&::kavtelgetLinkState) getLinkState = nullptr;  // null in a library without it
  decltype(&::kavtelsetAllPorts) setAllPorts = nullptr;    // null in a library without it
  decltype(&::kavtelgetVersion) getVersion = nullptr;
  decltype(&::kavtelgetStatus) getStatus = nullptr;
  decltype(&::kavtelgetDuration) getDuration = nullptr;
  decltype(&::kavtelgetSpeed) getSpeed = nullptr;
  decltype(&::kavtelgetAcceleration) getAcceleration = nullptr;
  decltype(&::kavtelgetElevation) getElevation = nullptr;
  decltype(&::kavtelgetHeartrate) getHeartrate = nullptr;
  decltype(&::kavtelgetDistance) getDistance = nullptr;
  decltype(&::kavtelgetFailSafe) getFailSafe = nullptr;
  decltype(&::kavtelgetError) getError = nullptr;
  decltype(&::kavtelgetWeight) getWeight = nullptr;
  decltype(&::kavtelgetEnergy) getEnergy = nullptr;
  decltype(&::kavtelgetPower) getPower = nullptr;
  decltype(&::kavtelgetProtocol) getProtocol = nullptr;
  decltype(&::kavtelsetFailSafe) setFailSafe = nullptr;
  decltype(&::kavtelsetSpeed) setSpeed = nullptr;
  decltype(&::kavtelsetAcceleration) setAcceleration = nullptr;
  decltype(&::kavtelsetElevation) setElevation = nullptr;
  decltype(&::kavtelsetSpeedAccel) setSpeedAccel = nullptr;
  decltype(&::kavtelKeyPressStart) keyStart = nullptr;
  decltype(&::kavtelKeyPressStop) keyStop = nullptr;
  decltype(&::kavtelKeyPressPlus) keyPlus = nullptr;
  decltype(&::kavtelKeyPressMinus) keyMinus = nullptr;
  decltype(&::kavtelKeyPressUp) keyUp = nullptr;
  decltype(&::kavtelKeyPressDown) keyDown = nullptr;
  decltype(&::kavtelsetProtocol) setProtocol = nullptr;
};

// The library loaded and its functions resolved. The library stays loaded
// while this object lives; close every port before it goes.
class LoadedKavtel {
 public:
  // Loads `path` and resolves every function; false with the reason (which
  // names a missing function) in `error`.
  bool Load(const std::string& path, std::string& error);
  const KavtelApi& Api() const { return api_; }

 private:
  DynamicLibrary library_;
  KavtelApi api_;
};

// The default library: beside the kavtelctl executable.
std::string DefaultLibraryPath();

// What a result code means, for messages ("the port is not open").
std::string ResultText(int code);
// The line state's name: "lost", "identifying", "ok".
const char* LinkName(int link);

}  // namespace kavtel::ctl
