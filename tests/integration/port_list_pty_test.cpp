#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "platform/comm_device.h"
#include "platform/port_list.h"
#include "services/enum_ports.h"
#include "support/pseudo_terminal.h"

// The system's port list on Linux: KAVTEL_COM<n> mappings to real
// pseudo-terminals and to things that are no port, listed and enumerated.

namespace kavtel {
namespace {

using platform::PortRecord;
using test::PseudoTerminal;

class PortListOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.Ok());
    char pattern[] = "/tmp/kavtel-ports-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    folder = pattern;
    plainFile = folder + "/not-a-tty";
    std::ofstream(plainFile) << "x";
  }
  void TearDown() override {
    for (const std::string& name : mapped) ::unsetenv(name.c_str());
    ::unlink(plainFile.c_str());
    ::rmdir(folder.c_str());
  }
  void Map(int com, const std::string& path) {
    const std::string name = "KAVTEL_COM" + std::to_string(com);
    ::setenv(name.c_str(), path.c_str(), 1);
    mapped.push_back(name);
  }
  static std::vector<PortRecord> List() {
    std::vector<PortRecord> records;
    EXPECT_TRUE(platform::SystemPorts().List(records));
    return records;
  }
  static const PortRecord* Find(const std::vector<PortRecord>& records, const std::string& name) {
    const auto it = std::find_if(records.begin(), records.end(),
                                 [&](const PortRecord& r) { return r.name == name; });
    return it == records.end() ? nullptr : &*it;
  }
  // The enumerated descriptor with this system name, or null.
  static const TAPPSYSConnectionObj* Enumerated(const TAPPSYSEnumPorts& ports,
                                                const std::string& name) {
    for (std::int32_t i = 0; i < ports.GetCountPorts(); ++i) {
      if (ports.GetConnectionObj(i).GetSystemIdent() == name) return &ports.GetConnectionObj(i);
    }
    return nullptr;
  }

  PseudoTerminal pty;
  std::string folder;
  std::string plainFile;
  std::vector<std::string> mapped;
};

TEST_F(PortListOnPty, MappingsAreListedAsComPortsAndOnlyTerminalsAreKept) {
  Map(57, pty.Slave());
  Map(58, folder + "/missing");
  Map(59, plainFile);
  Map(60, folder);

  const std::vector<PortRecord> records = List();
  for (int com : {57, 58, 59, 60}) {
    EXPECT_NE(Find(records, "COM" + std::to_string(com) + ":"), nullptr) << com;
  }
  const PortRecord* com57 = Find(records, "COM57:");
  ASSERT_NE(com57, nullptr);
  EXPECT_EQ(com57->description, pty.Slave());
  EXPECT_EQ(com57->type, platform::kPortTypeRead | platform::kPortTypeWrite);
  EXPECT_TRUE(platform::SystemPorts().Exists("COM57:"));
  EXPECT_TRUE(platform::SystemPorts().Exists(pty.Slave()));
  EXPECT_FALSE(platform::SystemPorts().Exists("COM58:"));
  EXPECT_FALSE(platform::SystemPorts().Exists("COM59:"));
  EXPECT_FALSE(platform::SystemPorts().Exists("COM60:"));

  TAPPSYSEnumPorts ports;
  ASSERT_TRUE(ports.enumavailablePorts());
  const TAPPSYSConnectionObj* entry = Enumerated(ports, "COM57:");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->GetConnectionType(), wlconCOM);
  EXPECT_EQ(entry->GetDescription(), "COM 57");
  EXPECT_EQ(entry->GetSystemDescr(), pty.Slave());
  TAPPSYSConnectionObj com57Descriptor;
  entry->AssignTo(com57Descriptor);
  EXPECT_TRUE(ports.isValidPort(com57Descriptor));
  for (const char* absent : {"COM58:", "COM59:", "COM60:"}) {
    EXPECT_EQ(Enumerated(ports, absent), nullptr) << absent;
  }
}

TEST_F(PortListOnPty, ComNamesComeFirstByNumberThenDevicesByPath) {
  Map(63, pty.Slave());
  Map(61, pty.Slave());
  const std::vector<PortRecord> records = List();
  std::int32_t last = 0;
  bool inPaths = false;
  for (const PortRecord& record : records) {
    const bool isCom = record.name.rfind("COM", 0) == 0;
    if (!isCom) {
      inPaths = true;
      EXPECT_EQ(record.name, record.description) << "a device without a COM number is its path";
      continue;
    }
    EXPECT_FALSE(inPaths) << record.name << " after a path";
    const std::int32_t n = std::stoi(record.name.substr(3));
    EXPECT_GT(n, last) << record.name;
    last = n;
  }
  const auto at = [&](const char* name) { return Find(records, name) - records.data(); };
  ASSERT_NE(Find(records, "COM61:"), nullptr);
  ASSERT_NE(Find(records, "COM63:"), nullptr);
  EXPECT_LT(at("COM61:"), at("COM63:"));
}

TEST_F(PortListOnPty, APortTheLibraryHoldsOpenIsStillListed) {
  Map(62, pty.Slave());
  std::unique_ptr<platform::CommDevice> holder = platform::CreateCommDevice();
  ASSERT_TRUE(holder->Open(62));
  std::unique_ptr<platform::CommDevice> second = platform::CreateCommDevice();
  ASSERT_FALSE(second->Open(62)) << "the port is held exclusively";

  TAPPSYSEnumPorts ports;
  ASSERT_TRUE(ports.enumavailablePorts());
  const TAPPSYSConnectionObj* entry = Enumerated(ports, "COM62:");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->GetDescription(), "COM 62");
  EXPECT_TRUE(holder->IsOpen());
}

// /dev/ttyS0 is COM1 by default; a mapping of COM1 elsewhere leaves it
// reachable by no COM number, so it is listed by its path.
TEST_F(PortListOnPty, AMappingTakesTheNumberOfTheDefaultDevice) {
  struct stat st {};
  if (::stat("/dev/ttyS0", &st) != 0) GTEST_SKIP() << "this machine has no /dev/ttyS0";
  ::unsetenv("KAVTEL_COM1");
  std::vector<PortRecord> records = List();
  const PortRecord* com1 = Find(records, "COM1:");
  ASSERT_NE(com1, nullptr);
  EXPECT_EQ(com1->description, "/dev/ttyS0");
  EXPECT_EQ(Find(records, "/dev/ttyS0"), nullptr);

  Map(1, pty.Slave());
  records = List();
  com1 = Find(records, "COM1:");
  ASSERT_NE(com1, nullptr);
  EXPECT_EQ(com1->description, pty.Slave());
  const PortRecord* byPath = Find(records, "/dev/ttyS0");
  ASSERT_NE(byPath, nullptr);
  EXPECT_EQ(byPath->description, "/dev/ttyS0");
}

}  // namespace
}  // namespace kavtel
