#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "com_path.h"
#include "platform/port_list.h"

extern char** environ;

namespace kavtel::platform {

namespace {

// Reads `digits` as a plain decimal number ("0", "12"; no sign, no leading
// zeros) that fits in 32 bits.
bool ReadNumber(const std::string& digits, std::int32_t& value) {
  if (digits.empty() || digits.size() > 10 || (digits[0] == '0' && digits.size() > 1)) return false;
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  const long long number = std::stoll(digits);
  if (number > INT32_MAX) return false;
  value = static_cast<std::int32_t>(number);
  return true;
}

std::string ComName(std::int32_t n) { return "COM" + std::to_string(n) + ":"; }

std::string Canonical(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The kernel driver behind a terminal device ("serial8250", "ftdi_sio"),
// empty when the system does not tell (pseudo-terminals have none).
std::string DriverOf(const std::string& path) {
  const std::string link = "/sys/class/tty/" + BaseName(Canonical(path)) + "/device/driver";
  char target[PATH_MAX];
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  if (n <= 0) return {};
  return BaseName(std::string(target, static_cast<std::size_t>(n)));
}

// Every KAVTEL_COM<n> with a non-empty value, by n.
std::map<std::int32_t, std::string> Mappings() {
  const std::string prefix = kComMappingPrefix;
  std::map<std::int32_t, std::string> mappings;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos || text.compare(0, prefix.size(), prefix) != 0) continue;
    std::int32_t n = 0;
    if (ReadNumber(text.substr(prefix.size(), equals - prefix.size()), n) && n > 0 &&
        equals + 1 < text.size()) {
      mappings[n] = text.substr(equals + 1);
    }
  }
  return mappings;
}

struct SerialDevice {
  int family;  // 0 ttyS, 1 ttyUSB, 2 ttyACM
  std::int32_t number;
  std::string path;
};

// The serial devices in /dev, in natural order: ttyS0, ttyS1, ..., ttyS10,
// then ttyUSB*, then ttyACM*.
std::vector<SerialDevice> SerialDevices() {
  static const char* const kFamilies[] = {"ttyS", "ttyUSB", "ttyACM"};
  std::vector<SerialDevice> devices;
  DIR* dir = ::opendir("/dev");
  if (dir == nullptr) return devices;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    for (int family = 0; family < 3; ++family) {
      const std::string stem = kFamilies[family];
      if (name.compare(0, stem.size(), stem) != 0) continue;
      std::int32_t number = 0;
      if (ReadNumber(name.substr(stem.size()), number)) {
        devices.push_back({family, number, "/dev/" + name});
      }
    }
  }
  ::closedir(dir);
  std::sort(devices.begin(), devices.end(), [](const SerialDevice& a, const SerialDevice& b) {
    return std::tie(a.family, a.number) < std::tie(b.family, b.number);
  });
  return devices;
}

PortRecord Record(const std::string& name, const std::string& path) {
  return PortRecord{name, DriverOf(path), path, kPortTypeWrite | kPortTypeRead};
}

// The device a port name reaches: the serial port's mapping for "COMn:",
// else the name itself as a path.
std::string DeviceOf(const std::string& name) {
  if (name.size() > 4 && name.compare(0, 3, "COM") == 0 && name.back() == ':') {
    std::int32_t n = 0;
    if (ReadNumber(name.substr(3, name.size() - 4), n) && n > 0) return ComDevicePath(n);
  }
  return name;
}

class PosixPorts final : public PortSource {
 public:
  bool List(std::vector<PortRecord>& ports) override {
    ports.clear();
    const std::map<std::int32_t, std::string> mappings = Mappings();
    std::set<std::string> mapped;
    for (const auto& [n, path] : mappings) mapped.insert(Canonical(path));

    std::map<std::int32_t, std::string> coms = mappings;
    std::vector<std::string> unnumbered;
    for (const SerialDevice& device : SerialDevices()) {
      const bool isDefaultCom = device.family == 0 && device.number < INT32_MAX &&
                                mappings.count(device.number + 1) == 0;
      if (isDefaultCom) {
        coms.emplace(device.number + 1, device.path);
      } else if (mapped.count(Canonical(device.path)) == 0) {
        unnumbered.push_back(device.path);
      }
    }
    for (const auto& [n, path] : coms) ports.push_back(Record(ComName(n), path));
    for (const std::string& path : unnumbered) ports.push_back(Record(path, path));
    return true;
  }

  bool Exists(const std::string& name) override {
    const int fd = ::open(DeviceOf(name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      const bool terminal = ::isatty(fd) != 0;
      ::close(fd);
      return terminal;
    }
    switch (errno) {
      case ENOENT:
      case ENOTDIR:
      case EISDIR:
      case ENXIO:
      case ENODEV:
      case EIO:
        return false;
      default:
        return true;  // there, but held by another program or not ours to open
    }
  }
};

}  // namespace

PortSource& SystemPorts() {
  static PosixPorts ports;
  return ports;
}

}  // namespace kavtel::platform
