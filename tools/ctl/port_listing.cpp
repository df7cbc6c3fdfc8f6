#include "port_listing.h"

#include <iomanip>
#include <map>
#include <string>
#include <vector>

#include "platform/port_list.h"
#include "services/connection.h"
#include "services/enum_ports.h"
#include "session.h"

namespace kavtel::ctl {
namespace {

// The system's ports, remembering what the enumerator asked of them: the
// enumerator keeps only the ports that exist, the listing shows them all.
class ObservedPorts : public platform::PortSource {
 public:
  explicit ObservedPorts(platform::PortSource& system) : system_(system) {}
  bool List(std::vector<platform::PortRecord>& ports) override {
    const bool listed = system_.List(ports);
    records = ports;
    return listed;
  }
  bool Exists(const std::string& name) override {
    const bool exists = system_.Exists(name);
    existing[name] = exists;
    return exists;
  }

  std::vector<platform::PortRecord> records;
  std::map<std::string, bool> existing;

 private:
  platform::PortSource& system_;
};

}  // namespace

int ListPorts(std::ostream& out, std::ostream& err) {
  ObservedPorts system(platform::SystemPorts());
  TAPPSYSEnumPorts ports(system);
  if (!ports.enumavailablePorts()) {
    err << "kavtelctl: the system cannot list its ports\n";
    return kExitCannotOpen;
  }
  out << std::left << std::setw(22) << "PORT" << std::setw(9) << "COM" << std::setw(7) << "EXISTS"
      << "DESCRIPTION\n";
  for (const auto& record : system.records) {
    const bool exists = system.existing[record.name];
    std::string com = "-";
    for (std::int32_t i = 0; i < ports.GetCountPorts(); ++i) {
      const TAPPSYSConnectionObj& descriptor = ports.GetConnectionObj(i);
      if (descriptor.GetSystemIdent() == record.name && descriptor.GetConnectionType() == wlconCOM) {
        com = descriptor.GetDescription();
      }
    }
    out << std::setw(22) << record.name << std::setw(9) << com << std::setw(7) << (exists ? "yes" : "no")
        << record.description << "\n";
  }
  out << ports.GetCountSerialPorts() << " COM port(s) found\n";
  return kExitOk;
}

}  // namespace kavtel::ctl
