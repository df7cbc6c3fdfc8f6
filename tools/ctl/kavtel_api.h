#pragma once

// The flat API of the kavtel library as kavtelctl meets it: loaded at run
// time and every function looked up by its exported name, as hosts do.
// Nothing of the library is linked; kavtel.h gives the codes and the calling
// convention only.

#include <string>

#include "host_system.h"
#include "kavtel/kavtel.h"

namespace kavtel::ctl {

struct KavtelApi {
  using IndexFn = int(KAVTEL_CALL*)(int);
  using IntFn = int(KAVTEL_CALL*)(int, int);
  using DoubleFn = int(KAVTEL_CALL*)(int, double);
  using GetIntFn = int(KAVTEL_CALL*)(int, int*);
  using GetDoubleFn = int(KAVTEL_CALL*)(int, double*);
  using GetTextFn = int(KAVTEL_CALL*)(int, char*);
  using SpeedAccelFn = int(KAVTEL_CALL*)(int, double, int);

  IndexFn openPort = nullptr;
  IndexFn closePort = nullptr;
  IndexFn isValid = nullptr;
  GetTextFn getVersion = nullptr;
  GetIntFn getStatus = nullptr;
  GetIntFn getDuration = nullptr;
  GetDoubleFn getSpeed = nullptr;
  GetIntFn getAcceleration = nullptr;
  GetDoubleFn getElevation = nullptr;
  GetIntFn getHeartrate = nullptr;
  GetIntFn getDistance = nullptr;
  GetIntFn getFailSafe = nullptr;
  GetIntFn getError = nullptr;
  GetIntFn getWeight = nullptr;
  GetDoubleFn getEnergy = nullptr;
  GetDoubleFn getPower = nullptr;
  GetIntFn getProtocol = nullptr;
  IntFn setFailSafe = nullptr;
  DoubleFn setSpeed = nullptr;
  IntFn setAcceleration = nullptr;
  DoubleFn setElevation = nullptr;
  SpeedAccelFn setSpeedAccel = nullptr;
  IntFn keyStart = nullptr;
  IntFn keyStop = nullptr;
  IntFn keyPlus = nullptr;
  IntFn keyMinus = nullptr;
  IntFn keyUp = nullptr;
  IntFn keyDown = nullptr;
  IntFn setProtocol = nullptr;
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
// The controller state's name: "stop", "run", "pause", "stopping",
// "detecting", "off".
const char* StateName(int state);

}  // namespace kavtel::ctl
