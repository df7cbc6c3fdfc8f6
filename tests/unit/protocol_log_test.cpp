#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/system.h"
#include "services/protocol_log.h"
#include "support/wait_until.h"

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


// Splits a file into its lines (CR LF ends).
std::vector<std::string> FileLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  for (std::size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", from)) {
    lines.push_back(text.substr(from, end - from));
    from = end + 2;
  }
  if (from < text.size()) lines.push_back(text.substr(from));
  return lines;
}

// The text of an event line after its time and kind ("OE: ").
std::string EventText(const std::string& line) {
  const std::size_t tab = line.find('\t');
  return tab == std::string::npos || line.size() < tab + 6 ? std::string() : line.substr(tab + 6);
}

std::vector<std::string> LogFilesIn(const std::string& folder, const std::string& head) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    if (name.rfind(head, 0) == 0) names.push_back(name);
  }
  return names;
}

TEST_F(ProtocolFile, AFullFileContinuesInANewOneAndTheOldestGoesAtTheFileLimit) {
  const std::string folder = platform::JoinPath(base, "Protocol");
  ASSERT_TRUE(platform::CreateFolders(folder));
  // Files of another port and a file of no log stay, whatever the limit.
  for (const char* other : {"ProtocolCOM8-20200101-1.TXT", "notes.txt"}) {
    std::ofstream(platform::JoinPath(folder, other)) << "keep";
  }
  TAPPSYSProtocol log;
  log.SetFileTag("COM9");
  log.SetMaxFileSize(100);  // below the least: taken as the least
  EXPECT_EQ(log.GetMaxFileSize(), TAPPSYSProtocol::kMinFileSize);
  log.SetMaxFiles(3);
  log.SetMode(apmALL);
  ASSERT_TRUE(log.IsWritingFile());
  const std::string payload(80, 'x');
  constexpr int kLines = 400;  // about 40 KB: a dozen files' worth
  for (int i = 0; i < kLines; ++i) log.addEventString("#" + std::to_string(i) + " " + payload, apmTD);
  log.SetMode(apmOFF);

  std::vector<std::string> names = LogFilesIn(folder, "ProtocolCOM9-");
  ASSERT_EQ(names.size(), 3u);
  for (const char* other : {"ProtocolCOM8-20200101-1.TXT", "notes.txt"}) {
    EXPECT_TRUE(platform::FileExists(platform::JoinPath(folder, other))) << other;
  }
  // Follow the chain from the file the log ended in back through the
  // "continues" lines: three files, each within the limit, each ending in a
  // line that names the next.
  std::map<std::string, std::vector<std::string>> files;
  for (const std::string& name : names) {
    const std::string text = Read(platform::JoinPath(folder, name));
    EXPECT_LE(text.size(), TAPPSYSProtocol::kMinFileSize) << name;
    files[name] = FileLines(text);
  }
  std::string current = log.GetFilename().substr(folder.size() + 1);
  ASSERT_EQ(files.count(current), 1u) << current;
  std::vector<std::string> chain;
  int removed = 0;
  while (files.count(current) != 0) {
    chain.insert(chain.begin(), current);
    const std::vector<std::string>& lines = files[current];
    ASSERT_FALSE(lines.empty());
    for (const std::string& line : lines) {
      const std::string text = EventText(line);
      if (text.rfind("<Log>| removed ", 0) == 0) {
        ++removed;
        const std::string gone = text.substr(15, text.find(',') - 15);
        EXPECT_FALSE(platform::FileExists(platform::JoinPath(folder, gone))) << gone;
      }
    }
    const std::string first = EventText(lines.front());
    if (first.rfind("<Log>| continues ", 0) != 0) break;
    current = first.substr(17);
  }
  ASSERT_EQ(chain.size(), 3u) << "the kept files do not follow on from each other";
  for (std::size_t i = 0; i + 1 < chain.size(); ++i) {
    EXPECT_EQ(EventText(files[chain[i]].back()), "<Log>| continued in " + chain[i + 1]);
  }
  EXPECT_GE(removed, 2);  // each file after a full one removed the oldest

  // The kept files hold the newest lines without a gap, the last one last.
  std::vector<int> numbers;
  for (const std::string& name : chain) {
    for (const std::string& line : files[name]) {
      const std::string text = EventText(line);
      if (!text.empty() && text[0] == '#') numbers.push_back(std::stoi(text.substr(1)));
    }
  }
  ASSERT_FALSE(numbers.empty());
  EXPECT_EQ(numbers.back(), kLines - 1);
  for (std::size_t i = 1; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], numbers[i - 1] + 1);
}

// A file that continues another times its lines from its own start: the
// line that filled the old file is not stamped with the old file's clock.
TEST_F(ProtocolFile, AContinuationTimesItsLinesFromItsOwnStart) {
  const std::string folder = platform::JoinPath(base, "Protocol");
  ASSERT_TRUE(platform::CreateFolders(folder));
  TAPPSYSProtocol log;
  log.SetFileTag("COM7");
  log.SetMaxFileSize(TAPPSYSProtocol::kMinFileSize);
  log.SetMode(apmALL);
  ASSERT_TRUE(log.IsWritingFile());
  // The first file ages first, so the two clocks tell apart.
  const std::uint32_t opened = platform::TickCount();
  ASSERT_TRUE(test::WaitUntil([&] { return platform::TickCount() - opened >= 200; }));
  const std::string payload(80, 'y');
  for (int i = 0; i < 100 && LogFilesIn(folder, "ProtocolCOM7-").size() < 2; ++i) {
    log.addEventString(payload, apmTD);
  }
  for (int i = 0; i < 3; ++i) log.addEventString(payload, apmTD);  // lines of the new file
  log.SetMode(apmOFF);
  const std::vector<std::string> names = LogFilesIn(folder, "ProtocolCOM7-");
  ASSERT_EQ(names.size(), 2u);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    unsigned long last = 0;
    for (const std::string& line : FileLines(Read(platform::JoinPath(folder, name)))) {
      if (line.empty()) continue;
      const unsigned long stamp = std::stoul(line.substr(0, line.find('\t')));
      EXPECT_GE(stamp, last) << line;
      last = stamp;
    }
  }
}

TEST_F(ProtocolFile, SwitchingOnRemovesTheOldestFilesOfEarlierRunsBeyondTheLimit) {
  TAPPSYSProtocol log;
  log.SetFileTag("COM2");
  log.SetMaxFiles(2);
  for (int i = 0; i < 4; ++i) {
    log.SetMode(apmALL);
    log.addEventString("run " + std::to_string(i), apmTD);
    log.SetMode(apmOFF);
  }
  const std::string folder = platform::JoinPath(base, "Protocol");
  const std::vector<std::string> names = LogFilesIn(folder, "ProtocolCOM2-");
  ASSERT_EQ(names.size(), 2u);
  std::string all;
  for (const std::string& name : names) all += Read(platform::JoinPath(folder, name));
  EXPECT_NE(all.find("run 3"), std::string::npos);
  EXPECT_NE(all.find("run 2"), std::string::npos);
  EXPECT_NE(all.find("<Log>| removed ProtocolCOM2-"), std::string::npos) << all;
}

TEST_F(ProtocolFile, AFloodOfReceivedBytesBecomesOneSummaryLinePerChunk) {
  TAPPSYSProtocol log;
  log.SetMode(apmALL);
  log.BeginChunk();
  const std::string junk = std::string(5000, '\x01') + "\x17";
  for (int i = 0; i < 1000; ++i) {
    log.addEventString(i % 2 == 0 ? junk : std::string("12\x17"), apmRD);
    log.addEventString("<Error>| ", apmComment);
    log.addUserLine("");
    if (i % 100 == 0) log.addEventString("<I>\x01S0145\x17", apmTD);  // frames sent are always written
  }
  log.EndChunk();
  // A later chunk starts with a full budget again.
  log.BeginChunk();
  log.addEventString("after", apmRD);
  log.EndChunk();
  const std::string name = log.GetFilename();
  log.SetMode(apmOFF);
  const std::vector<std::string> lines = FileLines(Read(name));
  int sent = 0;
  int summaries = 0;
  for (const std::string& line : lines) {
    const std::string text = EventText(line);
    if (text.rfind("<I>", 0) == 0) ++sent;
    if (text.rfind("<Flood>|", 0) == 0) {
      ++summaries;
      // 12 lines were written: 6 received, 6 comments.
      EXPECT_EQ(text, "<Flood>| not written one by one: 994 received (2486988 bytes), 994 others");
    }
    // No line holds more than the first bytes of a text.
    EXPECT_LE(line.size(), 5 * TAPPSYSProtocol::kMaxLineText + 64);
  }
  EXPECT_EQ(sent, 10);
  EXPECT_EQ(summaries, 1);
  EXPECT_EQ(EventText(lines.back()), "after");
  EXPECT_LT(lines.size(), 40u);
  // A long text is cut and says by how much.
  EXPECT_NE(Read(name).find("<+4745 bytes>"), std::string::npos);
}

// A disk that takes `capacity` bytes and then refuses, for good or once.
class FakeDisk : public platform::FileLayer {
 public:
  struct Writer : platform::FileWriter {
    explicit Writer(FakeDisk* owner) : disk(owner) {}
    bool Write(const void* data, std::size_t size) override {
      const auto* bytes = static_cast<const char*>(data);
      const std::size_t room = disk->capacity - std::min(disk->capacity, disk->contents.size());
      const std::size_t taken = std::min(room, size);
      disk->contents.append(bytes, taken);
      if (taken == size) return true;
      if (disk->failOnce) disk->capacity = SIZE_MAX;  // the disk frees up at once
      return false;
    }
    bool Flush() override { return true; }
    FakeDisk* disk;
  };

  std::string ExecutablePath() override { return Path({"opt", "host", "Runner"}); }
  bool IsReadOnlyFolder(const std::string&) override { return readOnly; }
  std::string UserStateFolder() override { return state; }
  bool CreateFolders(const std::string& path) override {
    folders.push_back(path);
    return true;
  }
  bool IsPlainFolder(const std::string&) override { return true; }
  bool FileExists(const std::string&) override { return false; }
  std::unique_ptr<platform::FileWriter> CreateNew(const std::string& folder, const std::string& name) override {
    if (writableByOthers) return nullptr;  // as OutputFile::CreateNew refuses such a folder
    created.push_back(platform::JoinPath(folder, name));
    if (refuseCreate) return nullptr;
    return std::make_unique<Writer>(this);
  }
  std::vector<platform::FileEntry> ListFiles(const std::string&) override { return {}; }
  bool RemoveFile(const std::string&, const std::string&) override { return false; }

  // A path of the system's own form: "/opt/host" or "\\opt\\host".
  static std::string Path(std::initializer_list<const char*> parts) {
    std::string path;
    for (const char* part : parts) path += platform::PathSeparator() + std::string(part);
    return path;
  }

  std::size_t capacity = SIZE_MAX;
  bool failOnce = false;
  bool readOnly = false;
  bool refuseCreate = false;
  bool writableByOthers = false;
  std::string state;
  std::string contents;
  std::vector<std::string> folders;
  std::vector<std::string> created;
};

TEST(ProtocolFileLayer, AFailedWriteSwitchesTheLogOffWithALastLineWhereTheDiskTakesOne) {
  const struct {
    const char* name;
    bool failOnce;
    bool lastLineWritten;
  } cases[] = {
      {"disk full for good", false, false},
      {"one write refused", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDisk disk;
    disk.capacity = 300;
    disk.failOnce = c.failOnce;
    TAPPSYSProtocol log;
    log.SetFileLayer(&disk);
    int changes = 0;
    log.SetOnModeChange([&](TObject* sender) {
      EXPECT_EQ(sender, &log);
      EXPECT_EQ(log.GetMode(), apmOFF);
      ++changes;
    });
    log.SetMode(apmALL);
    ASSERT_TRUE(log.IsWritingFile());
    int written = 0;
    while (log.IsWritingFile() && written < 100) log.addEventString("line " + std::to_string(written++), apmTD);
    EXPECT_EQ(log.GetMode(), apmOFF);
    EXPECT_FALSE(log.IsWritingFile());
    EXPECT_EQ(changes, 1);
    EXPECT_LE(written, 25);  // it stopped at the first refused write (about 16 bytes a line)
    const std::size_t size = disk.contents.size();
    log.addEventString("after", apmTD);
    log.addUserLine("after");
    EXPECT_EQ(disk.contents.size(), size);  // nothing more is tried
    const std::string last = "OE: \t<Log>| a write to the file failed: the log is switched off\r\n";
    const bool lastLine = disk.contents.size() >= last.size() &&
                          disk.contents.compare(disk.contents.size() - last.size(), last.size(), last) == 0;
    EXPECT_EQ(lastLine, c.lastLineWritten) << disk.contents;
  }
}

TEST(ProtocolFileLayer, FolderChoiceFollowsTheHostFolderThenTheStateFolderThenNone) {
  const std::string state = FakeDisk::Path({"home", "u", ".local", "state"});
  const struct {
    const char* name;
    bool readOnly;
    std::string state;
    std::string folder;  // empty: refused
    bool writableByOthers = false;
  } cases[] = {
      {"writable host folder", false, state, FakeDisk::Path({"opt", "host", "Protocol"})},
      {"read-only host folder", true, state, FakeDisk::Path({"home", "u", ".local", "state", "Runner", "Protocol"})},
      {"read-only, no state folder", true, "", ""},
      // Refused, not passed over for the state folder: the host's own
      // folder was the one to use.
      {"a log folder every account may write to", false, state, "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDisk disk;
    disk.readOnly = c.readOnly;
    disk.state = c.state;
    disk.writableByOthers = c.writableByOthers;
    TAPPSYSProtocol log;
    log.SetFileLayer(&disk);
    log.SetMode(apmALL);
    if (c.folder.empty()) {
      EXPECT_EQ(log.GetMode(), apmOFF);
      if (c.writableByOthers) {
        EXPECT_EQ(disk.folders, std::vector<std::string>{FakeDisk::Path({"opt", "host", "Protocol"})});
      } else {
        EXPECT_TRUE(disk.folders.empty());
      }
      EXPECT_TRUE(disk.created.empty());
      continue;
    }
    ASSERT_TRUE(log.IsWritingFile());
    ASSERT_EQ(disk.created.size(), 1u);
    EXPECT_EQ(disk.created[0].rfind(platform::JoinPath(c.folder, "Protocol"), 0), 0u) << disk.created[0];
  }
}

TEST(ProtocolFileLayer, AFileTheSystemRefusesLeavesTheLogOff) {
  FakeDisk disk;
  disk.refuseCreate = true;  // a folder that refuses even root
  TAPPSYSProtocol log;
  log.SetFileLayer(&disk);
  log.SetMode(apmALL);
  EXPECT_EQ(log.GetMode(), apmOFF);
  EXPECT_FALSE(log.IsWritingFile());
  EXPECT_EQ(disk.created.size(), 1u);
}

TEST(ProtocolFileLayer, TagsKeepOnlyLettersAndDigits) {
  TAPPSYSProtocol log;
  const struct {
    const char* tag;
    const char* kept;
  } cases[] = {{"COM3", "COM3"}, {"../../etc", "etc"}, {"a b\\c:d", "abcd"}, {"ABCDEFGHIJKLMNOPQRS", "ABCDEFGHIJKLMNOP"}};
  for (const auto& c : cases) {
    log.SetFileTag(c.tag);
    EXPECT_EQ(log.GetFileTag(), c.kept);
  }
}

}  // namespace
}  // namespace kavtel
