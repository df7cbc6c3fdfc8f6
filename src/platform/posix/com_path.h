#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

namespace kavtel::platform {

// The environment variable that maps COM n to a device: KAVTEL_COM<n>.
constexpr char kComMappingPrefix[] = "KAVTEL_COM";
inline std::string ComMappingVariable(std::int32_t portIndex) {
  return kComMappingPrefix + std::to_string(portIndex);
}

// The device that COM n opens: the path in KAVTEL_COM<n> if it is set and
// not empty, else /dev/ttyS<n-1>.
inline std::string ComDevicePath(std::int32_t portIndex) {
  const char* path = std::getenv(ComMappingVariable(portIndex).c_str());
  if (path != nullptr && *path != '\0') return path;
  return "/dev/ttyS" + std::to_string(portIndex - 1);
}

}  // namespace kavtel::platform
