#include "kavtel_api.h"

#include <filesystem>

#include "state_names.h"

namespace kavtel::ctl {

namespace {

template <typename Fn>
bool Resolve(const DynamicLibrary& library, const char* name, Fn& slot, std::string& error) {
  slot = reinterpret_cast<Fn>(library.Symbol(name));
  if (slot == nullptr && error.empty()) error = std::string("the library exports no ") + name;
  return slot != nullptr;
}

}  // namespace

bool LoadedKavtel::Load(const std::string& path, std::string& error) {
  error.clear();
  std::string reason;
  if (!library_.Load(path, reason)) {
    error = "cannot load the kavtel library " + path + ": " + reason;
    return false;
  }
  const DynamicLibrary& l = library_;
  KavtelApi& a = api_;
  // Every one is resolved so that the first missing name is the one reported.
  bool all = Resolve(l, "kavtelopenPort", a.openPort, error);
  all &= Resolve(l, "kavtelclosePort", a.closePort, error);
  all &= Resolve(l, "isvalidKavtelDevice", a.isValid, error);
  all &= Resolve(l, "kavtelgetVersion", a.getVersion, error);
  all &= Resolve(l, "kavtelgetStatus", a.getStatus, error);
  all &= Resolve(l, "kavtelgetDuration", a.getDuration, error);
  all &= Resolve(l, "kavtelgetSpeed", a.getSpeed, error);
  all &= Resolve(l, "kavtelgetAcceleration", a.getAcceleration, error);
  all &= Resolve(l, "kavtelgetElevation", a.getElevation, error);
  all &= Resolve(l, "kavtelgetHeartrate", a.getHeartrate, error);
  all &= Resolve(l, "kavtelgetDistance", a.getDistance, error);
  all &= Resolve(l, "kavtelgetFailSafe", a.getFailSafe, error);
  all &= Resolve(l, "kavtelgetError", a.getError, error);
  all &= Resolve(l, "kavtelgetWeight", a.getWeight, error);
  all &= Resolve(l, "kavtelgetEnergy", a.getEnergy, error);
  all &= Resolve(l, "kavtelgetPower", a.getPower, error);
  all &= Resolve(l, "kavtelgetProtocol", a.getProtocol, error);
  all &= Resolve(l, "kavtelsetFailSafe", a.setFailSafe, error);
  all &= Resolve(l, "kavtelsetSpeed", a.setSpeed, error);
  all &= Resolve(l, "kavtelsetAcceleration", a.setAcceleration, error);
  all &= Resolve(l, "kavtelsetElevation", a.setElevation, error);
  all &= Resolve(l, "kavtelsetSpeedAccel", a.setSpeedAccel, error);
  all &= Resolve(l, "kavtelKeyPressStart", a.keyStart, error);
  all &= Resolve(l, "kavtelKeyPressStop", a.keyStop, error);
  all &= Resolve(l, "kavtelKeyPressPlus", a.keyPlus, error);
  all &= Resolve(l, "kavtelKeyPressMinus", a.keyMinus, error);
  all &= Resolve(l, "kavtelKeyPressUp", a.keyUp, error);
  all &= Resolve(l, "kavtelKeyPressDown", a.keyDown, error);
  all &= Resolve(l, "kavtelsetProtocol", a.setProtocol, error);
  // Newer than the first 1.x libraries: used when there.
  a.getLinkState = reinterpret_cast<decltype(a.getLinkState)>(l.Symbol("kavtelgetLinkState"));
  a.setAllPorts = reinterpret_cast<decltype(a.setAllPorts)>(l.Symbol("kavtelsetAllPorts"));
  if (!all) {
    error = path + ": " + error;
    library_.Unload();
  }
  return all;
}

std::string DefaultLibraryPath() {
  const std::string folder = ExecutableDirectory();
  if (folder.empty()) return LibraryFileName();
  const std::string beside = folder + "/" + LibraryFileName();
  std::error_code error;
  if (std::filesystem::exists(beside, error)) return beside;
  // An installed kavtelctl: bin/kavtelctl and lib/libkavtel.so.1.
  const std::string installed = folder + "/../lib/" + InstalledLibraryFileName();
  if (std::filesystem::exists(installed, error)) return installed;
  return beside;
}

std::string ResultText(int code) {
  switch (code) {
    case KAVTEL_OK: return "ok";
    case KAVTEL_NOT_OPEN: return "the port is not open";
    case KAVTEL_NOT_AVAILABLE: return "the value does not exist on this controller";
    case KAVTEL_DETECTING: return "the controller is still being identified";
    case KAVTEL_ERROR: return "the operation failed in the library (or its command queue is full)";
    case KAVTEL_BAD_INDEX: return "no such device: bad port number";
    default: return "unknown result code " + std::to_string(code);
  }
}

const char* LinkName(int link) { return names::LinkName(link, "unknown"); }

}  // namespace kavtel::ctl
