// The traffic log as a host switches it through the flat API, against the
// virtual treadmill: a switch that cannot write a file is refused, and a
// log whose disk fills up reports itself off.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kavtel/kavtel.h"
#include "services/protocol_log.h"
#include "sim_port.h"
#include "support/temp_folder.h"
#include "support/wait_until.h"

namespace kavtel::test {
namespace {

using namespace std::chrono_literals;

// A host folder of the test's own: the log's "Protocol" folder goes there.
class LogHost : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder.Path().empty());
    root = folder.Path();
    host = root + "/bin";
    std::filesystem::create_directories(host);
    TAPPSYSProtocol::SetHostExecutable(host + "/Runner");
  }
  void TearDown() override {
    TAPPSYSProtocol::SetHostExecutable("");
    if (mounted) ::umount2(host.c_str(), MNT_DETACH);
    ::chmod(host.c_str(), 0755);
  }

  // Opens COM`index` on the virtual treadmill and waits for the controller.
  static void OpenIdentified(int index) {
    ASSERT_EQ(kavtelopenPort(index), KAVTEL_OK);
    ASSERT_TRUE(WaitUntil([&] { return isvalidKavtelDevice(index) == KAVTEL_OK; }));
  }
  static int LogOn(int index) {
    int on = -1;
    EXPECT_EQ(kavtelgetProtocol(index, &on), KAVTEL_OK);
    return on;
  }

  test::TempFolder folder{"loghost"};
  std::string root;
  std::string host;
  bool mounted = false;
};

TEST_F(LogHost, ASwitchThatCannotWriteAFileIsRefusedAndTheLogStaysOff) {
  const std::string savedHome = ::getenv("HOME") != nullptr ? ::getenv("HOME") : "";
  const std::string savedState = ::getenv("XDG_STATE_HOME") != nullptr ? ::getenv("XDG_STATE_HOME") : "";
  const struct {
    const char* name;
    void (*block)(const std::string& host);
    void (*unblock)(const std::string& host);
  } cases[] = {
      {"a file where the folder should be",
       [](const std::string& h) { std::ofstream(h + "/Protocol") << "not a folder"; },
       [](const std::string& h) { ::unlink((h + "/Protocol").c_str()); }},
      {"a read-only host folder and no state folder",
       [](const std::string& h) {
         ::chmod(h.c_str(), 0555);  // no write bit: read-only for root as well
         ::unsetenv("HOME");
         ::unsetenv("XDG_STATE_HOME");
       },
       [](const std::string& h) { ::chmod(h.c_str(), 0755); }},
  };
  SimPort port(4);
  OpenIdentified(4);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.block(host);
    EXPECT_EQ(kavtelsetProtocol(4, 1), KAVTEL_ERROR);
    EXPECT_EQ(LogOn(4), 0);
    c.unblock(host);
    EXPECT_EQ(kavtelsetProtocol(4, 1), KAVTEL_OK);
    EXPECT_EQ(LogOn(4), 1);
    EXPECT_EQ(kavtelsetProtocol(4, 0), KAVTEL_OK);
    EXPECT_EQ(LogOn(4), 0);
  }
  if (!savedHome.empty()) ::setenv("HOME", savedHome.c_str(), 1);
  if (!savedState.empty()) ::setenv("XDG_STATE_HOME", savedState.c_str(), 1);
  EXPECT_EQ(kavtelclosePort(4), KAVTEL_OK);
}

// The log's lines carry heart rate and weight: its folder and files are the
// owner's alone whatever the umask, a folder its owner set up is used as it
// is, and one every account may write to is refused. Modes are read with
// stat(): the tests run as root, who could open anything anyway.
TEST_F(LogHost, LogFilesArePrivateAndAFolderWritableByOthersIsRefused) {
  constexpr mode_t kNone = 0;  // "Protocol" does not exist before the switch
  const struct {
    const char* name;
    mode_t existing;   // the folder's mode before the switch, kNone: no folder
    int result;        // of kavtelsetProtocol(n, 1)
    mode_t folderMode; // found afterwards
  } cases[] = {
      {"a new folder", kNone, KAVTEL_OK, 0700},
      {"an existing private folder", 0750, KAVTEL_OK, 0750},
      {"an existing folder its group may write to", 0770, KAVTEL_OK, 0770},
      {"an existing folder writable by others", 0777, KAVTEL_ERROR, 0777},
      {"an existing folder writable by others, sticky", 01777, KAVTEL_ERROR, 01777},
  };
  const std::string protocol = host + "/Protocol";
  SimPort port(4);
  OpenIdentified(4);
  for (const mode_t mask : {mode_t{022}, mode_t{0}}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", umask 0" + (mask != 0 ? "22" : ""));
      std::filesystem::remove_all(protocol);
      if (c.existing != kNone) {
        ASSERT_EQ(::mkdir(protocol.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(protocol.c_str(), c.existing), 0);  // chmod ignores the umask
      }
      const mode_t saved = ::umask(mask);
      const int result = kavtelsetProtocol(4, 1);
      ::umask(saved);
      EXPECT_EQ(result, c.result);
      EXPECT_EQ(LogOn(4), c.result == KAVTEL_OK ? 1 : 0);
      EXPECT_EQ(kavtelsetProtocol(4, 0), KAVTEL_OK);

      struct stat folderStat {};
      ASSERT_EQ(::lstat(protocol.c_str(), &folderStat), 0);
      EXPECT_TRUE(S_ISDIR(folderStat.st_mode));
      EXPECT_EQ(folderStat.st_mode & 07777, c.folderMode);
      std::vector<mode_t> fileModes;
      for (const auto& e : std::filesystem::directory_iterator(protocol)) {
        struct stat fileStat {};
        ASSERT_EQ(::lstat(e.path().c_str(), &fileStat), 0);
        fileModes.push_back(fileStat.st_mode & 07777);
      }
      if (c.result == KAVTEL_OK) {
        EXPECT_EQ(fileModes, std::vector<mode_t>{0600});
      } else {
        EXPECT_TRUE(fileModes.empty());
      }
      std::printf("umask %03o  %-48s switch %2d  folder %04o  files", static_cast<unsigned>(mask), c.name, result,
                  static_cast<unsigned>(folderStat.st_mode & 07777));
      for (const mode_t m : fileModes) std::printf(" %04o", static_cast<unsigned>(m));
      std::printf("\n");
    }
  }
  EXPECT_EQ(kavtelclosePort(4), KAVTEL_OK);
}

TEST_F(LogHost, AFullDiskSwitchesTheLogOffAndTheHostSeesIt) {
  // A small tmpfs where the test may mount one (root with the right to
  // mount); else a limit on the size of the files this process writes, which
  // makes the kernel refuse writes the same way.
  constexpr std::uint64_t kRoom = 4096;
  mounted = ::mount("tmpfs", host.c_str(), "tmpfs", 0, "size=4k") == 0;
  rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  if (!mounted) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = kRoom;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  }
  SimPort port(5);
  OpenIdentified(5);
  ASSERT_EQ(kavtelsetProtocol(5, 1), KAVTEL_OK);
  EXPECT_EQ(LogOn(5), 1);
  // About 700 bytes a second of polling fill the room within seconds.
  EXPECT_TRUE(WaitUntil([&] { return LogOn(5) == 0; }, 120s));
  if (!mounted) ::setrlimit(RLIMIT_FSIZE, &saved);
  // The library goes on serving the host.
  double speed = -1;
  EXPECT_EQ(kavtelgetSpeed(5, &speed), KAVTEL_OK);
  EXPECT_EQ(kavtelclosePort(5), KAVTEL_OK);

  std::uint64_t total = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(host)) {
    if (e.is_regular_file()) total += e.file_size();
  }
  EXPECT_GT(total, kRoom / 2);
  EXPECT_LE(total, kRoom);
}

}  // namespace
}  // namespace kavtel::test
