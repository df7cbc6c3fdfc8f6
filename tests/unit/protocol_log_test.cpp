#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/system.h"
#include "services/protocol_log.h"

namespace kavtel {
namespace {

std::vector<std::string> Lines(const TAPPSYSProtocol& log) {
  std::vector<std::string> list;
  log.fillStringList(list);
  return list;
}

TEST(ProtocolLog, RendersControlBytesByNameAndHighBytesInHex) {
  const struct {
    std::string text;
    const char* rendered;
  } cases[] = {
      {std::string("\x01" "0\x17", 3), "<SOH>0<ETB>"},
      {std::string("\x10"), "<DLE>"},
      {std::string("\x80"), "[80]"},
      {std::string("\x7f\xff", 2), "[7F][FF]"},
      {std::string("\0\x1f ~", 4), "<NUL><US> ~"},
      {std::string("\x06\x15\x0d\x0a", 4), "<ACK><NAK><CR><LF>"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(TAPPSYSProtocol::Render(c.text), c.rendered);
}

TEST(ProtocolLog, RingKeepsTheNewestLinesAndListsThemOldestFirst) {
  TAPPSYSProtocol log;
  log.SetMode(apmPART);
  int notified = 0;
  log.SetOnProtocolEvent([&](TObject* sender) {
    EXPECT_EQ(sender, &log);
    ++notified;
  });
  log.addEventString("1", apmTD);
  log.addEventString("2", apmRD);
  log.addEventString("3", apmComment);
  EXPECT_EQ(Lines(log), (std::vector<std::string>{"TD: \t1", "RD: \t2", "OE: \t3"}));
  for (int i = 4; i <= 25; ++i) log.addEventString(std::to_string(i), apmTD);
  EXPECT_EQ(notified, 25);
  std::vector<std::string> expected;
  for (int i = 7; i <= 25; ++i) expected.push_back("TD: \t" + std::to_string(i));
  EXPECT_EQ(Lines(log), expected);

  // A longer list keeps its tail beyond the copied lines.
  std::vector<std::string> list(21, "old");
  log.fillStringList(list);
  EXPECT_EQ(list[18], "TD: \t25");
  EXPECT_EQ(list[19], "old");
  EXPECT_EQ(list[20], "old");
}

TEST(ProtocolLog, OffRecordsNothingAndResizingEmptiesTheRing) {
  TAPPSYSProtocol log;
  int notified = 0;
  log.SetOnProtocolEvent([&](TObject*) { ++notified; });
  log.addEventString("ignored", apmTD);
  EXPECT_EQ(notified, 0);
  log.SetMode(apmPART);
  EXPECT_TRUE(Lines(log).empty());

  log.addEventString("a", apmTD);
  log.SetMode(apmOFF);
  log.addEventString("b", apmTD);
  EXPECT_EQ(Lines(log), std::vector<std::string>{"TD: \ta"});  // the ring survives the mode change

  for (const int n : {0, -5}) {
    log.SetMode(apmPART);
    log.SetMaxItemsHold(n);
    EXPECT_EQ(log.GetMaxItemsHold(), 1);
    EXPECT_TRUE(Lines(log).empty());
    log.addEventString("x", apmTD);
    log.addEventString("y", apmTD);
    EXPECT_TRUE(Lines(log).empty());  // a wrapped ring of one lists none
  }
  log.SetMaxItemsHold(2);
  log.addEventString("p", apmRD);
  EXPECT_EQ(Lines(log), std::vector<std::string>{"RD: \tp"});
}

// A fresh folder under the system's temporary folder, as the host's home.
class ProtocolFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    const char* tmp = std::getenv("TMPDIR");
    if (tmp == nullptr) tmp = std::getenv("TEMP");
    base = platform::JoinPath(tmp != nullptr ? tmp : "/tmp", "kavtel-log-" + std::to_string(rd()));
    ASSERT_TRUE(platform::CreateFolders(base));
    TAPPSYSProtocol::SetHostExecutable(platform::JoinPath(base, "Runner.exe"));
  }
  void TearDown() override {
    TAPPSYSProtocol::SetHostExecutable("");
    std::error_code ignored;
    std::filesystem::remove_all(base, ignored);
  }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string base;
};

TEST_F(ProtocolFile, AllWritesTimedLinesWithCrLfBesideTheHost) {
  TAPPSYSProtocol log;
  log.SetMode(apmALL);
  ASSERT_EQ(log.GetMode(), apmALL);
  const std::string name = log.GetFilename();
  const platform::LocalDate d = platform::Today();
  char date[16];
  std::snprintf(date, sizeof date, "%04d%02d%02d", d.year, d.month, d.day);
  const std::string folder = platform::JoinPath(base, "Protocol");
  ASSERT_EQ(name.rfind(platform::JoinPath(folder, std::string("Protocol") + date + "-"), 0), 0u) << name;
  EXPECT_EQ(name.substr(name.size() - 4), ".TXT");

  log.addEventString(std::string("<C>\x01" "AB\x17"), apmTD);
  log.addUserLine("");
  log.addEventString("\x06", apmRD);
  log.addUserLine("raw \x01 text");
  log.save();
  // Leaving apmALL closes the file (it is not shared while open); later
  // lines stay in memory.
  log.SetMode(apmPART);
  log.addEventString("later", apmTD);
  log.addUserLine("later");
  const std::string text = Read(name);
  const std::regex format(
      "[0-9]+\tTD: \t<C><SOH>AB<ETB>\r\n\r\n[0-9]+\tRD: \t<ACK>\r\nraw \x01 text\r\n");
  EXPECT_TRUE(std::regex_match(text, format)) << text;
}

TEST_F(ProtocolFile, EachSwitchToAllStartsAFileOfItsOwn) {
  TAPPSYSProtocol log;
  log.SetMode(apmALL);
  const std::string first = log.GetFilename();
  log.SetMode(apmALL);  // within the same millisecond as a rule
  const std::string second = log.GetFilename();
  EXPECT_NE(first, second);
  log.addEventString("only here", apmTD);
  log.SetMode(apmOFF);
  EXPECT_TRUE(platform::FileExists(first));
  EXPECT_EQ(Read(first), "");
  EXPECT_NE(Read(second).find("only here"), std::string::npos);
}

TEST_F(ProtocolFile, ANewNameClosesTheFileAndLinesThenStayInMemory) {
  TAPPSYSProtocol log;
  log.SetMode(apmALL);
  const std::string name = log.GetFilename();
  log.SetFilename(name);  // the same name keeps the file
  log.addEventString("kept", apmTD);
  log.SetFilename("elsewhere.txt");
  log.addEventString("memory only", apmTD);
  EXPECT_EQ(log.GetMode(), apmALL);
  const std::string text = Read(name);
  EXPECT_NE(text.find("kept"), std::string::npos);
  EXPECT_EQ(text.find("memory only"), std::string::npos);
  EXPECT_EQ(Lines(log).back(), "TD: \tmemory only");
}

TEST_F(ProtocolFile, AFileThatCannotBeCreatedTurnsTheLogOff) {
  {
    // A plain file where the "Protocol" folder should be.
    std::ofstream blocker(platform::JoinPath(base, "Protocol"));
  }
  TAPPSYSProtocol log;
  log.SetMode(apmALL);
  EXPECT_EQ(log.GetMode(), apmOFF);
  log.addEventString("nothing", apmTD);
  EXPECT_TRUE(Lines(log).empty());
}

}  // namespace
}  // namespace kavtel
