#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/files.h"
#include "platform/system.h"
#include "services/protocol_log.h"
#include "support/temp_folder.h"

// Where the log file goes when the host's folder is read-only (POSIX: the
// XDG state folder joined with the host's name, else ~/.local/state), and
// that it is never made through a symbolic link.

namespace kavtel {
namespace {

class ProtocolFallback : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder.Path().empty());
    root = folder.Path();
    hostFolder = root + "/bin";
    ASSERT_TRUE(platform::CreateFolders(hostFolder));
    ASSERT_EQ(::chmod(hostFolder.c_str(), 0555), 0);
    TAPPSYSProtocol::SetHostExecutable(hostFolder + "/Runner.exe");
    if (const char* v = ::getenv("XDG_STATE_HOME")) savedState = v;
    if (const char* v = ::getenv("HOME")) savedHome = v;
  }
  void TearDown() override {
    TAPPSYSProtocol::SetHostExecutable("");
    ::chmod(hostFolder.c_str(), 0755);
    Set("XDG_STATE_HOME", savedState);
    Set("HOME", savedHome);
  }
  static void Set(const char* name, const std::string& value) {
    if (value.empty()) {
      ::unsetenv(name);
    } else {
      ::setenv(name, value.c_str(), 1);
    }
  }

  test::TempFolder folder{"fallback"};
  std::string root;
  std::string hostFolder;
  std::string savedState;
  std::string savedHome;
};

// The permission bits of a path, found with stat(); -1 when it is not there.
int ModeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

TEST_F(ProtocolFallback, AReadOnlyHostFolderSendsTheFileToTheStateFolderUnderTheHostsName) {
  ::setenv("XDG_STATE_HOME", (root + "/state").c_str(), 1);
  TAPPSYSProtocol log;
  const mode_t saved = ::umask(0);  // the modes are the log's own, not the umask's
  log.SetMode(apmALL);
  ::umask(saved);
  ASSERT_EQ(log.GetMode(), apmALL);
  const std::string expected = root + "/state/Runner/Protocol/Protocol";
  EXPECT_EQ(log.GetFilename().rfind(expected, 0), 0u) << log.GetFilename();
  EXPECT_TRUE(platform::FileExists(log.GetFilename()));
  EXPECT_FALSE(platform::FileExists(hostFolder + "/Protocol"));
  // Every folder the log made on the way is private, and so is the file.
  for (const char* made : {"/state", "/state/Runner", "/state/Runner/Protocol"}) {
    EXPECT_EQ(ModeOf(root + made), 0700) << made;
  }
  EXPECT_EQ(ModeOf(log.GetFilename()), 0600);
}

TEST_F(ProtocolFallback, AReadOnlyHostFolderFallsBackToTheStateFolderThenHomeThenNoLog) {
  const struct {
    const char* name;
    std::string state;  // XDG_STATE_HOME, empty: unset
    std::string home;   // HOME, empty: unset
    std::string folder; // where the file goes, empty: no file
  } cases[] = {
      {"state folder", root + "/xdg", root + "/home", root + "/xdg/Runner/Protocol/"},
      {"a relative state folder is ignored", "relative/state", root + "/home",
       root + "/home/.local/state/Runner/Protocol/"},
      {"home", "", root + "/home", root + "/home/.local/state/Runner/Protocol/"},
      {"neither", "", "", ""},
  };
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  // Run in a folder of its own: a file left under the working directory
  // would show there.
  const std::string work = root + "/work";
  ASSERT_TRUE(platform::CreateFolders(work));
  ASSERT_EQ(::chdir(work.c_str()), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Set("XDG_STATE_HOME", c.state);
    Set("HOME", c.home);
    TAPPSYSProtocol log;
    log.SetMode(apmALL);
    if (c.folder.empty()) {
      EXPECT_EQ(log.GetMode(), apmOFF);
      EXPECT_FALSE(log.IsWritingFile());
    } else {
      ASSERT_TRUE(log.IsWritingFile());
      EXPECT_EQ(log.GetFilename().rfind(c.folder + "Protocol", 0), 0u) << log.GetFilename();
      EXPECT_TRUE(platform::FileExists(log.GetFilename()));
    }
    log.SetMode(apmOFF);
    EXPECT_TRUE(std::filesystem::is_empty(work));
    EXPECT_FALSE(platform::FileExists(hostFolder + "/Protocol"));
  }
  ASSERT_EQ(::chdir(cwd), 0);
}

// The host's folder is writable; its "Protocol" folder is the test's.
class ProtocolLinks : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kavtel-links-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root = pattern;
    TAPPSYSProtocol::SetHostExecutable(root + "/Runner");
    victim = root + "/victim";
    std::ofstream(victim) << "precious";
  }
  void TearDown() override {
    TAPPSYSProtocol::SetHostExecutable("");
    std::filesystem::remove_all(root);
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string root;
  std::string victim;
};

TEST_F(ProtocolLinks, AProtocolFolderThatIsALinkIsRefused) {
  const std::string elsewhere = root + "/elsewhere";
  ASSERT_TRUE(platform::CreateFolders(elsewhere));
  ASSERT_EQ(::symlink(elsewhere.c_str(), (root + "/Protocol").c_str()), 0);
  TAPPSYSProtocol log;
  log.SetMode(apmALL);
  EXPECT_EQ(log.GetMode(), apmOFF);
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
}

TEST_F(ProtocolLinks, ALinkPlantedUnderTheNextNamesIsNeitherFollowedNorReplaced) {
  const std::string folder = root + "/Protocol";
  ASSERT_TRUE(platform::CreateFolders(folder));
  TAPPSYSProtocol log;
  log.SetFileTag("COM3");
  // Links under the names of the next 200 ms: the log passes them by.
  const platform::LocalDate d = platform::Today();
  char date[16];
  std::snprintf(date, sizeof date, "%04d%02d%02d", d.year, d.month, d.day);
  const std::uint32_t now = platform::TickCount();
  for (std::uint32_t tick = now; tick < now + 200; ++tick) {
    const std::string name = folder + "/ProtocolCOM3-" + date + "-" + std::to_string(tick) + ".TXT";
    ASSERT_EQ(::symlink(victim.c_str(), name.c_str()), 0);
  }
  log.SetMode(apmALL);
  ASSERT_TRUE(log.IsWritingFile());
  log.addEventString("a line", apmTD);
  const std::string written = log.GetFilename();
  log.SetMode(apmOFF);
  EXPECT_EQ(Read(victim), "precious");
  struct stat st {};
  ASSERT_EQ(::lstat(written.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode)) << written;
  EXPECT_NE(Read(written).find("a line"), std::string::npos);
  // The links are no files of the log: the file limit never removes them.
  std::size_t links = 0;
  for (const auto& e : std::filesystem::directory_iterator(folder)) links += e.is_symlink() ? 1 : 0;
  EXPECT_EQ(links, 200u);
}

TEST_F(ProtocolLinks, CreateNewNeverGoesThroughALink) {
  const std::string folder = root + "/folder";
  ASSERT_TRUE(platform::CreateFolders(folder));
  ASSERT_EQ(::symlink(victim.c_str(), (folder + "/name").c_str()), 0);
  ASSERT_EQ(::symlink(folder.c_str(), (root + "/linked").c_str()), 0);
  EXPECT_EQ(platform::OutputFile::CreateNew(folder, "name"), nullptr);
  EXPECT_EQ(platform::OutputFile::CreateNew(root + "/linked", "other"), nullptr);
  EXPECT_EQ(platform::OutputFile::CreateNew(folder, "../escape"), nullptr);
  EXPECT_EQ(Read(victim), "precious");
  EXPECT_FALSE(platform::FileExists(folder + "/other"));
  EXPECT_NE(platform::OutputFile::CreateNew(folder, "fresh"), nullptr);
  EXPECT_EQ(platform::OutputFile::CreateNew(folder, "fresh"), nullptr);  // only ever new
  // A file being written stays; once closed it can go.
  {
    auto held = platform::OutputFile::CreateNew(folder, "held");
    ASSERT_NE(held, nullptr);
    EXPECT_FALSE(platform::RemoveFile(folder, "held"));
    EXPECT_TRUE(platform::FileExists(folder + "/held"));
  }
  EXPECT_TRUE(platform::RemoveFile(folder, "held"));
  EXPECT_FALSE(platform::FileExists(folder + "/held"));
  // A link is removed as itself, never what it points to.
  EXPECT_TRUE(platform::RemoveFile(folder, "name"));
  EXPECT_EQ(Read(victim), "precious");
  EXPECT_EQ(platform::ListFiles(root + "/linked").size(), 0u);
}

// The seam, the one place the log's folder is checked for others' writes:
// a file is never made in a folder every account may write to, even one
// opened to them after the log chose it; and the files it makes are private
// whatever the umask.
TEST_F(ProtocolLinks, FilesAreMadePrivateAndNeverInAFolderWritableByOthers) {
  const mode_t saved = ::umask(0);
  const struct {
    mode_t folder;
    bool created;
  } cases[] = {{0700, true}, {0750, true}, {0770, true}, {0777, false}, {01777, false}, {0703, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    char name[16];
    std::snprintf(name, sizeof name, "/mode%04o", static_cast<unsigned>(c.folder));
    const std::string folder = root + name;
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(folder.c_str(), c.folder), 0);
    EXPECT_EQ(platform::IsWritableByOthers(folder), !c.created);
    EXPECT_EQ(platform::OutputFile::CreateNew(folder, "log.TXT") != nullptr, c.created);
    EXPECT_EQ(ModeOf(folder + "/log.TXT"), c.created ? 0600 : -1);
  }
  // CreateFolders makes each missing folder private, and leaves one that
  // exists as it is.
  ASSERT_TRUE(platform::CreateFolders(root + "/mode0700/a/b"));
  EXPECT_EQ(ModeOf(root + "/mode0700/a"), 0700);
  EXPECT_EQ(ModeOf(root + "/mode0700/a/b"), 0700);
  ASSERT_TRUE(platform::CreateFolders(root + "/mode0750"));
  EXPECT_EQ(ModeOf(root + "/mode0750"), 0750);

  // Create: a new file is private; an existing one keeps its mode and is
  // emptied.
  {
    auto made = platform::OutputFile::Create(root + "/new.csv");
    ASSERT_NE(made, nullptr);
  }
  EXPECT_EQ(ModeOf(root + "/new.csv"), 0600);
  std::ofstream(root + "/old.csv") << "old rows";
  ASSERT_EQ(::chmod((root + "/old.csv").c_str(), 0644), 0);
  {
    auto again = platform::OutputFile::Create(root + "/old.csv");
    ASSERT_NE(again, nullptr);
    ASSERT_TRUE(again->Write("new", 3));
  }
  EXPECT_EQ(ModeOf(root + "/old.csv"), 0644);
  EXPECT_EQ(Read(root + "/old.csv"), "new");
  ::umask(saved);
}

}  // namespace
}  // namespace kavtel
