#include "services/enum_ports.h"

#include "services/number_text.h"

#include <cstddef>
#include <exception>
#include <stdexcept>
#include <string>

#include "platform/port_list.h"

namespace kavtel {

namespace {

template <typename List>
TAPPSYSConnectionObj& Entry(const List& list, std::int32_t i) {
  if (i < 0 || static_cast<std::size_t>(i) >= list.size()) {
    throw std::out_of_range("port list index " + std::to_string(i) + " out of bounds");
  }
  return *list[static_cast<std::size_t>(i)];
}

}  // namespace

TAPPSYSEnumPorts::TAPPSYSEnumPorts() : TAPPSYSEnumPorts(platform::SystemPorts()) {}

TAPPSYSEnumPorts::TAPPSYSEnumPorts(platform::PortSource& source) : source_(source) {}

TAPPSYSEnumPorts::~TAPPSYSEnumPorts() { destroyObjects(); }

std::unique_ptr<TAPPSYSConnectionObj> TAPPSYSEnumPorts::createConnectionObj() {
  return std::make_unique<TAPPSYSConnectionObj>();
}

bool TAPPSYSEnumPorts::enumavailablePorts() {
  destroyObjects();
  std::vector<platform::PortRecord> records;
  if (!source_.List(records)) return false;
  for (const platform::PortRecord& record : records) {
    try {
      if (!source_.Exists(record.name)) continue;
      std::unique_ptr<TAPPSYSConnectionObj> descriptor = createConnectionObj();
      if (!descriptor) continue;
      descriptor->SetSystemIdent(record.name);
      descriptor->SetSystemDescr(record.description);
      descriptor->SetSystemMonitor(record.monitor);
      descriptor->SetSystemType(record.type);
      sorting(*descriptor);
      // Room first, so that the entry joins both lists or neither.
      ports_.reserve(ports_.size() + 1);
      serialPorts_.reserve(serialPorts_.size() + 1);
      TAPPSYSConnectionObj* entry = descriptor.get();
      ports_.push_back(std::move(descriptor));
      if (entry->GetConnectionType() == wlconCOM) serialPorts_.push_back(entry);
    } catch (const std::exception&) {
      // A port that cannot be tested or described is left out.
    }
  }
  return true;
}

void TAPPSYSEnumPorts::sorting(TAPPSYSConnectionObj& descriptor) {
  const std::string& name = descriptor.GetSystemIdent();
  const std::size_t com = name.find("COM");
  if (com == std::string::npos) {
    descriptor.SetConnectionType(wlconUnknown);
    return;
  }
  const std::size_t start = com + 3;
  const std::size_t colon = name.find(':');
  std::int32_t port = 0;
  if (colon != std::string::npos && colon >= start) {
    if (const auto number = ParseInteger(name.substr(start, colon - start))) port = *number;
  }
  descriptor.SetConnectionType(wlconCOM);
  descriptor.SetPort(port);
}

bool TAPPSYSEnumPorts::isValidPort(const TAPPSYSConnectionObj& descriptor) const {
  if (descriptor.GetConnectionType() != wlconCOM) return false;
  for (const TAPPSYSConnectionObj* entry : serialPorts_) {
    if (entry->GetPort() == descriptor.GetPort()) return true;
  }
  return false;
}

void TAPPSYSEnumPorts::destroyObjects() {
  serialPorts_.clear();
  ports_.clear();
}

std::int32_t TAPPSYSEnumPorts::GetCountPorts() const {
  return static_cast<std::int32_t>(ports_.size());
}

std::int32_t TAPPSYSEnumPorts::GetCountSerialPorts() const {
  return static_cast<std::int32_t>(serialPorts_.size());
}

TAPPSYSConnectionObj& TAPPSYSEnumPorts::GetConnectionObj(std::int32_t i) const {
  return Entry(ports_, i);
}

TAPPSYSConnectionObj& TAPPSYSEnumPorts::GetSerialObj(std::int32_t i) const {
  return Entry(serialPorts_, i);
}

}  // namespace kavtel
