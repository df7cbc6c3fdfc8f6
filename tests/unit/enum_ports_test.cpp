#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/port_list.h"
#include "services/enum_ports.h"

// The port enumeration over a fake system list: what is kept, how each port
// is classified, and who owns the descriptors.

namespace kavtel {
namespace {

using platform::PortRecord;

class FakePorts : public platform::PortSource {
 public:
  bool List(std::vector<PortRecord>& out) override {
    out.clear();
    if (listFails) return false;
    out = ports;
    return true;
  }
  bool Exists(const std::string& name) override {
    if (unreadable.count(name) != 0) throw std::runtime_error("cannot test " + name);
    return missing.count(name) == 0;
  }

  void Add(const std::string& name) { ports.push_back({name, "Local Monitor", "Local Port", 3}); }

  std::vector<PortRecord> ports;
  std::set<std::string> missing;
  std::set<std::string> unreadable;
  bool listFails = false;
};

TAPPSYSConnectionObj Com(std::int32_t port) {
  TAPPSYSConnectionObj descriptor;
  descriptor.SetConnectionType(wlconCOM);
  descriptor.SetPort(port);
  return descriptor;
}

std::vector<std::string> Descriptions(const TAPPSYSEnumPorts& ports) {
  std::vector<std::string> out;
  for (std::int32_t i = 0; i < ports.GetCountPorts(); ++i) {
    out.push_back(ports.GetConnectionObj(i).GetDescription());
  }
  return out;
}

TEST(EnumPorts, KeepsTheSystemsOrderAndPicksOutTheComPorts) {
  FakePorts system;
  for (const char* name : {"COM1:", "COM12:", "LPT1:", "COM:"}) system.Add(name);
  TAPPSYSEnumPorts ports(system);

  ASSERT_TRUE(ports.enumavailablePorts());
  EXPECT_EQ(Descriptions(ports), (std::vector<std::string>{"COM 1", "COM 12", "LPT1:", "COM 0"}));
  ASSERT_EQ(ports.GetCountSerialPorts(), 3);
  EXPECT_EQ(&ports.GetSerialObj(0), &ports.GetConnectionObj(0));
  EXPECT_EQ(&ports.GetSerialObj(1), &ports.GetConnectionObj(1));
  EXPECT_EQ(&ports.GetSerialObj(2), &ports.GetConnectionObj(3));
  EXPECT_EQ(ports.GetConnectionObj(2).GetConnectionType(), wlconUnknown);

  const TAPPSYSConnectionObj& com12 = ports.GetConnectionObj(1);
  EXPECT_EQ(com12.ViewSystemData(15), "COM12: (Local Port) [Local Monitor] -3");
  EXPECT_EQ(com12.GetPort(), 12);

  EXPECT_TRUE(ports.isValidPort(Com(12)));
  EXPECT_TRUE(ports.isValidPort(Com(0)));
  EXPECT_FALSE(ports.isValidPort(Com(2)));
  TAPPSYSConnectionObj lpt12;
  lpt12.SetConnectionType(wlconLPT);
  lpt12.SetPort(12);
  EXPECT_FALSE(ports.isValidPort(lpt12));
}

TEST(EnumPorts, ClassifiesBySystemName) {
  struct Case {
    const char* name;
    TAPPSYSConnectionObjtype type;
    std::int32_t port;
    const char* description;
  };
  const Case cases[] = {
      {"COM3:", wlconCOM, 3, "COM 3"},
      {"COM256:", wlconCOM, 256, "COM 256"},
      {"USB-COM7:", wlconCOM, 7, "COM 7"},           // "COM" anywhere in the name
      {"COM7", wlconCOM, 0, "COM 0"},                // no ":"
      {"COMx:", wlconCOM, 0, "COM 0"},               // no number
      {"COM 5:", wlconCOM, 0, "COM 0"},              // a blank is no digit
      {"COM99999999999:", wlconCOM, 0, "COM 0"},     // beyond 32 bits
      {"X:COM4", wlconCOM, 0, "COM 0"},              // the first ":" comes before "COM"
      {"com5:", wlconUnknown, 0, "com5:"},           // case-sensitive
      {"FILE:", wlconUnknown, 0, "FILE:"},
      {"/dev/ttyUSB0", wlconUnknown, 0, "/dev/ttyUSB0"},
  };
  FakePorts system;
  for (const Case& c : cases) system.Add(c.name);
  TAPPSYSEnumPorts ports(system);
  ASSERT_TRUE(ports.enumavailablePorts());
  ASSERT_EQ(ports.GetCountPorts(), static_cast<std::int32_t>(std::size(cases)));
  for (std::int32_t i = 0; i < ports.GetCountPorts(); ++i) {
    const Case& c = cases[i];
    const TAPPSYSConnectionObj& entry = ports.GetConnectionObj(i);
    SCOPED_TRACE(c.name);
    EXPECT_EQ(entry.GetSystemIdent(), c.name);
    EXPECT_EQ(entry.GetConnectionType(), c.type);
    EXPECT_EQ(entry.GetPort(), c.port);
    EXPECT_EQ(entry.GetDescription(), c.description);
  }
  EXPECT_EQ(ports.GetCountSerialPorts(), 8);
}

TEST(EnumPorts, LeavesOutPortsThatDoNotExistOrCannotBeTested) {
  FakePorts system;
  for (const char* name : {"COM1:", "COM2:", "COM3:", "COM4:"}) system.Add(name);
  system.missing = {"COM2:"};
  system.unreadable = {"COM3:"};
  TAPPSYSEnumPorts ports(system);

  ASSERT_TRUE(ports.enumavailablePorts());
  EXPECT_EQ(Descriptions(ports), (std::vector<std::string>{"COM 1", "COM 4"}));
  EXPECT_FALSE(ports.isValidPort(Com(2)));
  EXPECT_FALSE(ports.isValidPort(Com(3)));
  EXPECT_TRUE(ports.isValidPort(Com(4)));
}

TEST(EnumPorts, AFailedListingLeavesBothListsEmpty) {
  FakePorts system;
  system.Add("COM1:");
  TAPPSYSEnumPorts ports(system);
  ASSERT_TRUE(ports.enumavailablePorts());
  ASSERT_EQ(ports.GetCountPorts(), 1);

  system.listFails = true;
  EXPECT_FALSE(ports.enumavailablePorts());
  EXPECT_EQ(ports.GetCountPorts(), 0);
  EXPECT_EQ(ports.GetCountSerialPorts(), 0);
  EXPECT_FALSE(ports.isValidPort(Com(1)));

  system.listFails = false;
  system.ports.clear();
  EXPECT_TRUE(ports.enumavailablePorts()) << "no ports at all is a successful listing";
  EXPECT_EQ(ports.GetCountPorts(), 0);
}

TEST(EnumPorts, IndexOutsideTheListRaises) {
  FakePorts system;
  for (const char* name : {"COM1:", "LPT1:"}) system.Add(name);
  TAPPSYSEnumPorts ports(system);
  ASSERT_TRUE(ports.enumavailablePorts());
  EXPECT_THROW(ports.GetConnectionObj(-1), std::out_of_range);
  EXPECT_THROW(ports.GetConnectionObj(2), std::out_of_range);
  EXPECT_NO_THROW(ports.GetSerialObj(0));
  EXPECT_THROW(ports.GetSerialObj(1), std::out_of_range);
}

// Descriptors that record whether they are alive, each under its own serial
// number, from an enumerator that makes them and fails to make the entry
// for a chosen port.
struct Tracked : TAPPSYSConnectionObj {
  Tracked(std::set<int>& alive, int serial) : live(alive), id(serial) { live.insert(id); }
  ~Tracked() override { live.erase(id); }
  std::set<int>& live;
  const int id;
};

class TrackingEnumerator : public TAPPSYSEnumPorts {
 public:
  TrackingEnumerator(platform::PortSource& source, std::set<int>& alive)
      : TAPPSYSEnumPorts(source), live(alive) {}
  std::unique_ptr<TAPPSYSConnectionObj> createConnectionObj() override {
    if (++made == refuseAt) throw std::bad_alloc();
    return std::make_unique<Tracked>(live, made);
  }
  int IdOf(std::int32_t i) const { return dynamic_cast<const Tracked&>(GetConnectionObj(i)).id; }
  std::set<int>& live;
  int made = 0;
  int refuseAt = 0;
};

TEST(EnumPorts, EachEnumerationFreesThePreviousDescriptors) {
  FakePorts system;
  for (const char* name : {"COM1:", "LPT1:", "COM2:"}) system.Add(name);
  std::set<int> live;
  TrackingEnumerator ports(system, live);

  ASSERT_TRUE(ports.enumavailablePorts());
  EXPECT_EQ(live, (std::set<int>{1, 2, 3}));
  EXPECT_EQ(ports.IdOf(2), 3);

  ASSERT_TRUE(ports.enumavailablePorts());
  EXPECT_EQ(live, (std::set<int>{4, 5, 6})) << "the first enumeration's descriptors live on";
  EXPECT_EQ(ports.IdOf(0), 4);

  // A copy outlives the enumerator's descriptors.
  TAPPSYSConnectionObj kept;
  ports.GetSerialObj(1).AssignTo(kept);
  ports.destroyObjects();
  EXPECT_TRUE(ports.live.empty());
  EXPECT_EQ(ports.GetCountSerialPorts(), 0);
  EXPECT_EQ(kept.GetDescription(), "COM 2");
  EXPECT_EQ(kept.GetSystemIdent(), "COM2:");
}

TEST(EnumPorts, AnEntryThatCannotBeMadeIsLeftOutAndDestructionFreesTheRest) {
  FakePorts system;
  for (const char* name : {"COM1:", "COM2:", "COM3:"}) system.Add(name);
  std::set<int> live;
  {
    TrackingEnumerator ports(system, live);
    ports.refuseAt = 2;
    ASSERT_TRUE(ports.enumavailablePorts());
    EXPECT_EQ(Descriptions(ports), (std::vector<std::string>{"COM 1", "COM 3"}));
    EXPECT_EQ(ports.GetCountSerialPorts(), 2);
    EXPECT_EQ(live, (std::set<int>{1, 3}));
  }
  EXPECT_TRUE(live.empty());
}

}  // namespace
}  // namespace kavtel
