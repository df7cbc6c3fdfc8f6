#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kavtel::platform {

// The port-type flags of the system's port records (Windows' PORT_TYPE_*).
constexpr std::uint32_t kPortTypeWrite = 0x1;
constexpr std::uint32_t kPortTypeRead = 0x2;
constexpr std::uint32_t kPortTypeRedirected = 0x4;
constexpr std::uint32_t kPortTypeNetAttached = 0x8;

// The system's record of one port: its name ("COM1:"), the monitor that
// serves it, its description and its port-type flags.
struct PortRecord {
  std::string name;
  std::string monitor;
  std::string description;
  std::uint32_t type = 0;
};

// Where the port enumeration gets the system's ports from. The system's own
// source is SystemPorts(); tests hand the enumerator a fake one.
class PortSource {
 public:
  virtual ~PortSource() = default;
  // Replaces `ports` with the system's list, in the system's order; false
  // (and `ports` empty) when the system cannot list its ports.
  virtual bool List(std::vector<PortRecord>& ports) = 0;
  // Whether the port named by a record of List exists.
  virtual bool Exists(const std::string& name) = 0;
};

// The system's ports.
//
// Windows: List is the print spooler's list (EnumPortsA, level 2). Exists
// opens the port exclusively for reading and writing: it exists if the open
// succeeds (the handle is closed at once) or fails for any reason but
// ERROR_FILE_NOT_FOUND, such as another program holding it. A device name
// ("COM12:") is opened in the device namespace ("\\.\COM12"), the only form
// that reaches COM ports above 9.
//
// POSIX, which has no spooler: List gives every KAVTEL_COM<n> mapping as
// "COMn:", and the serial devices /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM*
// that no mapping names: /dev/ttyS<k> as "COM<k+1>:" (the port that opens it
// by default) unless KAVTEL_COM<k+1> maps that number elsewhere, every
// other device under its path, which names no COM port. The description is
// the device path, the monitor the kernel driver behind it (empty when
// unknown), the type read and write. COM names come first by number, then
// the paths in natural order. Exists opens the device that the name reaches
// (the serial port's mapping for "COMn:", else the path) without blocking or
// becoming its controlling terminal: a terminal that opens exists; so does
// one another program holds (EBUSY) or that the user may not open (EACCES,
// EPERM). A missing path, a node without hardware behind it (ENXIO, ENODEV,
// and the EIO that /dev/ttyS* without a UART gives) and anything that is
// not a terminal does not, so the many /dev/ttyS* nodes of a machine
// without that many UARTs stay out of the list.
PortSource& SystemPorts();

}  // namespace kavtel::platform
