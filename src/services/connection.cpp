#include "services/connection.h"

namespace kavtel {

TAPPSYSConnectionObj::TAPPSYSConnectionObj(const TAPPSYSConnectionObj& other)
    : TObject(other) {
  *this = other;
}

TAPPSYSConnectionObj& TAPPSYSConnectionObj::operator=(const TAPPSYSConnectionObj& other) {
  if (this == &other) return *this;
  Port_.store(other.Port_.load());
  Host_ = other.Host_;
  ConnectionType_ = other.ConnectionType_;
  Description_ = other.Description_;
  SystemIdent_ = other.SystemIdent_;
  SystemType_ = other.SystemType_;
  SystemDescr_ = other.SystemDescr_;
  SystemMonitor_ = other.SystemMonitor_;
  return *this;
}

void TAPPSYSConnectionObj::SetPort(std::int32_t port) {
  Port_ = port;
  buildDescription();
}

void TAPPSYSConnectionObj::SetHost(const std::string& host) {
  Host_ = host;
  buildDescription();
}

void TAPPSYSConnectionObj::SetConnectionType(TAPPSYSConnectionObjtype type) {
  ConnectionType_ = type;
  buildDescription();
}

void TAPPSYSConnectionObj::buildDescription() {
  const std::string prefix = Host_.empty() ? std::string() : Host_ + ": ";
  const std::string number = std::to_string(Port_.load());
  switch (ConnectionType_) {
    case wlconCOM: Description_ = prefix + "COM " + number; break;
    case wlconLPT: Description_ = prefix + "LPT " + number; break;
    case wlconTCPIP: Description_ = prefix + "Port " + number; break;
    case wlconUSB: Description_ = prefix + "USB " + number; break;
    case wlconUnknown:
    default: Description_ = SystemIdent_; break;
  }
}

void TAPPSYSConnectionObj::AssignTo(TAPPSYSConnectionObj& target) const {
  target.SetSystemIdent(SystemIdent_);
  target.SetSystemType(SystemType_);
  target.SetSystemDescr(SystemDescr_);
  target.SetSystemMonitor(SystemMonitor_);
  target.SetConnectionType(ConnectionType_);
  target.SetPort(Port_.load());
  target.SetHost(Host_);
}

std::string TAPPSYSConnectionObj::ViewSystemData(std::uint32_t flags) const {
  std::string out;
  bool first = true;
  auto part = [&out, &first](const std::string& text) {
    if (!first) out += ' ';
    first = false;
    out += text;
  };
  if (flags & 1u) part(SystemIdent_);
  if (flags & 2u) part("(" + SystemDescr_ + ")");
  if (flags & 4u) part("[" + SystemMonitor_ + "]");
  if (flags & 8u) part("-" + std::to_string(SystemType_));
  return out;
}

}  // namespace kavtel
