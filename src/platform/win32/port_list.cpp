#include <windows.h>
#include <winspool.h>

#include <vector>

#include "platform/port_list.h"

namespace kavtel::platform {

namespace {

std::string Text(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

// A DOS device name ("COM12:", "LPT1:") in the device namespace
// ("\\.\COM12"); any other name as it stands. CreateFileA reaches COM1 to
// COM9 by their plain names only.
std::string DeviceName(const std::string& name) {
  const bool device = name.size() > 1 && name.back() == ':' &&
                      name.find_first_of(":\\/") == name.size() - 1;
  return device ? "\\\\.\\" + name.substr(0, name.size() - 1) : name;
}

class SpoolerPorts final : public PortSource {
 public:
  bool List(std::vector<PortRecord>& ports) override {
    ports.clear();
    std::vector<BYTE> buffer;
    DWORD needed = 0;
    DWORD count = 0;
    while (!EnumPortsA(nullptr, 2, buffer.empty() ? nullptr : buffer.data(),
                       static_cast<DWORD>(buffer.size()), &needed, &count)) {
      if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size()) return false;
      buffer.resize(needed);
    }
    const auto* records = reinterpret_cast<const PORT_INFO_2A*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
      ports.push_back(PortRecord{Text(records[i].pPortName), Text(records[i].pMonitorName),
                                 Text(records[i].pDescription), records[i].fPortType});
    }
    return true;
  }

  bool Exists(const std::string& name) override {
    const HANDLE handle = CreateFileA(DeviceName(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
      return true;
    }
    return GetLastError() != ERROR_FILE_NOT_FOUND;
  }
};

}  // namespace

PortSource& SystemPorts() {
  static SpoolerPorts ports;
  return ports;
}

}  // namespace kavtel::platform
