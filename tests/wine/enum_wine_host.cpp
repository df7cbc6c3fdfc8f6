// The port enumeration against Wine's real spooler. The driver script
// points two COM ports of the prefix at a pseudo-terminal (one the spooler
// lists, one above 9) and takes away a third that the spooler lists;
// their numbers come as arguments: <listed mapped> <above nine> <absent>.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/comm_device.h"
#include "platform/port_list.h"
#include "services/enum_ports.h"

namespace kavtel {
namespace {

int mappedCom = 0;
int aboveNineCom = 0;
int absentCom = 0;

std::string Name(int com) { return "COM" + std::to_string(com) + ":"; }

TAPPSYSConnectionObj Com(int port) {
  TAPPSYSConnectionObj descriptor;
  descriptor.SetConnectionType(wlconCOM);
  descriptor.SetPort(port);
  return descriptor;
}

std::vector<std::string> Names(const std::vector<platform::PortRecord>& records) {
  std::vector<std::string> names;
  for (const auto& record : records) names.push_back(record.name);
  return names;
}

std::vector<std::string> Names(const TAPPSYSEnumPorts& ports) {
  std::vector<std::string> names;
  for (std::int32_t i = 0; i < ports.GetCountPorts(); ++i) {
    names.push_back(ports.GetConnectionObj(i).GetSystemIdent());
  }
  return names;
}

const TAPPSYSConnectionObj* Find(const TAPPSYSEnumPorts& ports, const std::string& name) {
  for (std::int32_t i = 0; i < ports.GetCountPorts(); ++i) {
    if (ports.GetConnectionObj(i).GetSystemIdent() == name) return &ports.GetConnectionObj(i);
  }
  return nullptr;
}

class SpoolerPorts : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::SystemPorts().List(spooler));
    const std::vector<std::string> names = Names(spooler);
    for (int com : {mappedCom, absentCom}) {
      ASSERT_NE(std::find(names.begin(), names.end(), Name(com)), names.end())
          << Name(com) << " is not on the prefix's port list";
    }
  }
  std::vector<platform::PortRecord> spooler;
};

TEST_F(SpoolerPorts, TheMappedPortIsFoundAndClassifiedAndTheAbsentOneLeftOut) {
  for (const auto& record : spooler) {
    std::printf("spooler: %s (%s) [%s] -%u\n", record.name.c_str(), record.description.c_str(),
                record.monitor.c_str(), static_cast<unsigned>(record.type));
  }
  TAPPSYSEnumPorts ports;
  ASSERT_TRUE(ports.enumavailablePorts());
  const std::vector<std::string> found = Names(ports);
  for (const std::string& name : found) std::printf("found: %s\n", name.c_str());

  const TAPPSYSConnectionObj* mapped = Find(ports, Name(mappedCom));
  ASSERT_NE(mapped, nullptr);
  EXPECT_EQ(mapped->GetConnectionType(), wlconCOM);
  EXPECT_EQ(mapped->GetPort(), mappedCom);
  EXPECT_EQ(mapped->GetDescription(), "COM " + std::to_string(mappedCom));
  const auto record = std::find_if(spooler.begin(), spooler.end(),
                                   [](const auto& r) { return r.name == Name(mappedCom); });
  EXPECT_EQ(mapped->GetSystemMonitor(), record->monitor);
  EXPECT_EQ(mapped->GetSystemDescr(), record->description);
  EXPECT_EQ(mapped->GetSystemType(), record->type);
  EXPECT_FALSE(mapped->GetSystemMonitor().empty());
  EXPECT_TRUE(ports.isValidPort(Com(mappedCom)));

  EXPECT_EQ(Find(ports, Name(absentCom)), nullptr);
  EXPECT_FALSE(ports.isValidPort(Com(absentCom)));

  // What was kept is the spooler's list, thinned out, in its order; the
  // serial list is its COM entries.
  std::vector<std::string> kept;
  for (const std::string& name : Names(spooler)) {
    if (std::find(found.begin(), found.end(), name) != found.end()) kept.push_back(name);
  }
  EXPECT_EQ(found, kept);
  std::int32_t serial = 0;
  for (std::int32_t i = 0; i < ports.GetCountPorts(); ++i) {
    if (ports.GetConnectionObj(i).GetConnectionType() != wlconCOM) continue;
    ASSERT_LT(serial, ports.GetCountSerialPorts());
    EXPECT_EQ(&ports.GetSerialObj(serial++), &ports.GetConnectionObj(i));
  }
  EXPECT_EQ(serial, ports.GetCountSerialPorts());
}

TEST_F(SpoolerPorts, APortHeldOpenIsStillListed) {
  std::unique_ptr<platform::CommDevice> holder = platform::CreateCommDevice();
  ASSERT_TRUE(holder->Open(mappedCom)) << "error " << holder->LastError();
  TAPPSYSEnumPorts ports;
  ASSERT_TRUE(ports.enumavailablePorts());
  EXPECT_NE(Find(ports, Name(mappedCom)), nullptr);
  EXPECT_TRUE(ports.isValidPort(Com(mappedCom)));
}

TEST(PortExistence, ComPortsAboveNineAreFound) {
  EXPECT_TRUE(platform::SystemPorts().Exists(Name(aboveNineCom)));
  EXPECT_TRUE(platform::SystemPorts().Exists(Name(mappedCom)));
  EXPECT_FALSE(platform::SystemPorts().Exists(Name(absentCom)));
}

}  // namespace
}  // namespace kavtel

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc != 4) {
    std::fprintf(stderr, "usage: enum_wine_host <listed mapped COM> <COM above 9> <absent COM>\n");
    return 2;
  }
  kavtel::mappedCom = std::atoi(argv[1]);
  kavtel::aboveNineCom = std::atoi(argv[2]);
  kavtel::absentCom = std::atoi(argv[3]);
  return RUN_ALL_TESTS();
}
