#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "kavtel/export.h"
#include "services/root_object.h"

namespace kavtel {

enum TAPPSYSConnectionObjtype : std::uint8_t {
  wlconUnknown = 0,
  wlconCOM = 1,
  wlconLPT = 2,
  wlconTCPIP = 3,
  wlconUSB = 4,
};

// How an interface object reaches its device: the kind of channel, its
// number, an optional host name, the system's own record of the port, and a
// display text built from them ("COM 3", "host: Port 5000").
class KAVTEL_API TAPPSYSConnectionObj : public TObject {
 public:
  TAPPSYSConnectionObj() = default;
  // A descriptor is a value: copies take every field, the description too.
  TAPPSYSConnectionObj(const TAPPSYSConnectionObj& other);
  TAPPSYSConnectionObj& operator=(const TAPPSYSConnectionObj& other);

  std::int32_t GetPort() const { return Port_.load(); }
  const std::string& GetHost() const { return Host_; }
  TAPPSYSConnectionObjtype GetConnectionType() const { return ConnectionType_; }
  const std::string& GetDescription() const { return Description_; }
  const std::string& GetSystemIdent() const { return SystemIdent_; }
  std::uint32_t GetSystemType() const { return SystemType_; }
  const std::string& GetSystemDescr() const { return SystemDescr_; }
  const std::string& GetSystemMonitor() const { return SystemMonitor_; }

  // These three rebuild the description.
  void SetPort(std::int32_t port);
  void SetHost(const std::string& host);
  void SetConnectionType(TAPPSYSConnectionObjtype type);
  // These only store.
  void SetDescription(const std::string& text) { Description_ = text; }
  void SetSystemIdent(const std::string& ident) { SystemIdent_ = ident; }
  void SetSystemType(std::uint32_t type) { SystemType_ = type; }
  void SetSystemDescr(const std::string& descr) { SystemDescr_ = descr; }
  void SetSystemMonitor(const std::string& monitor) { SystemMonitor_ = monitor; }

  void buildDescription();
  // Copies every value but the description into target, through its setters,
  // so the target rebuilds its own description.
  void AssignTo(TAPPSYSConnectionObj& target) const;
  // bit 0 ident, bit 1 "(descr)", bit 2 "[monitor]", bit 3 "-type"; one space between parts.
  std::string ViewSystemData(std::uint32_t flags) const;

 private:
  // Read by the host's threads while another thread may open the port.
  std::atomic<std::int32_t> Port_{0};
  std::string Host_;
  TAPPSYSConnectionObjtype ConnectionType_ = wlconUnknown;
  std::string Description_;
  std::string SystemIdent_;
  std::uint32_t SystemType_ = 0;
  std::string SystemDescr_;
  std::string SystemMonitor_;
};

}  // namespace kavtel
