#include <gtest/gtest.h>

#include "services/connection.h"

namespace kavtel {
namespace {

struct DescriptionCase {
  TAPPSYSConnectionObjtype type;
  std::string host;
  std::int32_t port;
  std::string expected;
};

TEST(ConnectionDescriptor, DescriptionFollowsKindHostAndPort) {
  const DescriptionCase cases[] = {
      {wlconCOM, "", 3, "COM 3"},
      {wlconCOM, "bench", 12, "bench: COM 12"},
      {wlconLPT, "", 1, "LPT 1"},
      {wlconTCPIP, "treadmill.local", 5000, "treadmill.local: Port 5000"},
      {wlconUSB, "", -2, "USB -2"},
  };
  for (const auto& c : cases) {
    TAPPSYSConnectionObj d;
    d.SetConnectionType(c.type);
    d.SetHost(c.host);
    d.SetPort(c.port);
    EXPECT_EQ(d.GetDescription(), c.expected);
  }
}

TEST(ConnectionDescriptor, NewDescriptorHasNoDescriptionUntilRebuilt) {
  TAPPSYSConnectionObj d;
  EXPECT_EQ(d.GetDescription(), "");
  d.SetConnectionType(wlconCOM);
  EXPECT_EQ(d.GetDescription(), "COM 0");
  d.SetPort(4);
  EXPECT_EQ(d.GetDescription(), "COM 4");
}

TEST(ConnectionDescriptor, UnknownKindShowsSystemIdentOnlyAfterARebuild) {
  TAPPSYSConnectionObj d;
  d.SetSystemIdent("FILE:");
  EXPECT_EQ(d.GetDescription(), "");  // storing the ident does not rebuild
  d.SetHost("ignored");
  EXPECT_EQ(d.GetDescription(), "FILE:");  // no host prefix for unknown kinds
}

TEST(ConnectionDescriptor, ViewSystemDataSelectsPartsInOrder) {
  TAPPSYSConnectionObj d;
  d.SetSystemIdent("COM1:");
  d.SetSystemDescr("Local Port");
  d.SetSystemMonitor("Local Monitor");
  d.SetSystemType(3);
  EXPECT_EQ(d.ViewSystemData(15), "COM1: (Local Port) [Local Monitor] -3");
  EXPECT_EQ(d.ViewSystemData(6), "(Local Port) [Local Monitor]");
  EXPECT_EQ(d.ViewSystemData(8), "-3");
  EXPECT_EQ(d.ViewSystemData(0), "");
  EXPECT_EQ(d.ViewSystemData(0xF0), "");
  // An empty first part still counts as a part.
  d.SetSystemIdent("");
  EXPECT_EQ(d.ViewSystemData(3), " (Local Port)");
}

TEST(ConnectionDescriptor, AssignToCopiesValuesAndRebuildsTheTargetsDescription) {
  TAPPSYSConnectionObj src;
  src.SetSystemIdent("COM7:");
  src.SetSystemDescr("USB serial");
  src.SetSystemMonitor("Local Port");
  src.SetSystemType(5);
  src.SetConnectionType(wlconCOM);
  src.SetPort(7);
  src.SetDescription("hand-set");

  TAPPSYSConnectionObj dst;
  src.AssignTo(dst);
  EXPECT_EQ(dst.GetPort(), 7);
  EXPECT_EQ(dst.GetConnectionType(), wlconCOM);
  EXPECT_EQ(dst.ViewSystemData(15), "COM7: (USB serial) [Local Port] -5");
  EXPECT_EQ(dst.GetDescription(), "COM 7");
}

}  // namespace
}  // namespace kavtel
