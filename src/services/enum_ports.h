#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "kavtel/export.h"
#include "services/connection.h"
#include "services/root_object.h"

namespace kavtel {

namespace platform {
class PortSource;
}

// Lists the ports the system knows, keeps those that exist, gives each a
// descriptor and picks out the COM ports. The descriptors belong to the
// enumerator and live until its next enumeration, destroyObjects or its
// destruction; a caller that needs one longer copies it with AssignTo.
class KAVTEL_API TAPPSYSEnumPorts : public TObject {
 public:
  // Enumerates the system's ports.
  TAPPSYSEnumPorts();
  // Enumerates the ports of `source`, which must outlive the enumerator.
  explicit TAPPSYSEnumPorts(platform::PortSource& source);
  ~TAPPSYSEnumPorts() override;
  TAPPSYSEnumPorts(const TAPPSYSEnumPorts&) = delete;
  TAPPSYSEnumPorts& operator=(const TAPPSYSEnumPorts&) = delete;

  // The factory for one entry; a derived enumerator may make its own kind.
  virtual std::unique_ptr<TAPPSYSConnectionObj> createConnectionObj();
  // Rebuilds both lists from the system, in the system's order. False only
  // when the system cannot list its ports (both lists stay empty); a port
  // that does not exist, or whose entry cannot be made, is left out.
  virtual bool enumavailablePorts();
  // True for a COM descriptor whose Port is that of a COM port found.
  virtual bool isValidPort(const TAPPSYSConnectionObj& descriptor) const;

  // Empties both lists and frees every descriptor.
  void destroyObjects();

  std::int32_t GetCountPorts() const;
  std::int32_t GetCountSerialPorts() const;
  // Entry i (from 0) of all ports or of the COM ports; an index outside the
  // list raises std::out_of_range.
  TAPPSYSConnectionObj& GetConnectionObj(std::int32_t i) const;
  TAPPSYSConnectionObj& GetSerialObj(std::int32_t i) const;

 private:
  // Classifies a descriptor by its system name: one that contains "COM"
  // becomes a COM descriptor numbered by the text between "COM" and the
  // first ":" (0 when that is no number); any other stays unknown and shows
  // its system name.
  static void sorting(TAPPSYSConnectionObj& descriptor);

  platform::PortSource& source_;
  std::vector<std::unique_ptr<TAPPSYSConnectionObj>> ports_;
  std::vector<TAPPSYSConnectionObj*> serialPorts_;
};

}  // namespace kavtel
