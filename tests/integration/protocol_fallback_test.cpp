#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/files.h"
#include "services/protocol_log.h"

// Where the log file goes when the host's folder is read-only (POSIX: the
// XDG state folder joined with the host's name).

namespace kavtel {
namespace {

class ProtocolFallback : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kavtel-fallback-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root = pattern;
    hostFolder = root + "/bin";
    ASSERT_TRUE(platform::CreateFolders(hostFolder));
    ASSERT_EQ(::chmod(hostFolder.c_str(), 0555), 0);
    TAPPSYSProtocol::SetHostExecutable(hostFolder + "/Runner.exe");
    if (const char* v = ::getenv("XDG_STATE_HOME")) savedState = v;
  }
  void TearDown() override {
    TAPPSYSProtocol::SetHostExecutable("");
    ::chmod(hostFolder.c_str(), 0755);
    std::filesystem::remove_all(root);
    if (savedState.empty()) {
      ::unsetenv("XDG_STATE_HOME");
    } else {
      ::setenv("XDG_STATE_HOME", savedState.c_str(), 1);
    }
  }

  std::string root;
  std::string hostFolder;
  std::string savedState;
};

TEST_F(ProtocolFallback, AReadOnlyHostFolderSendsTheFileToTheStateFolderUnderTheHostsName) {
  ::setenv("XDG_STATE_HOME", (root + "/state").c_str(), 1);
  TAPPSYSProtocol log;
  log.SetMode(apmALL);
  ASSERT_EQ(log.GetMode(), apmALL);
  const std::string expected = root + "/state/Runner/Protocol/Protocol";
  EXPECT_EQ(log.GetFilename().rfind(expected, 0), 0u) << log.GetFilename();
  EXPECT_TRUE(platform::FileExists(log.GetFilename()));
  EXPECT_FALSE(platform::FileExists(hostFolder + "/Protocol"));
}

TEST_F(ProtocolFallback, WithNoFolderAtAllTheFileGoesUnderTheWorkingDirectory) {
  const std::string savedHome = ::getenv("HOME") != nullptr ? ::getenv("HOME") : "";
  ::unsetenv("XDG_STATE_HOME");
  ::unsetenv("HOME");
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(root.c_str()), 0);
  {
    TAPPSYSProtocol log;
    log.SetMode(apmALL);
    EXPECT_EQ(log.GetMode(), apmALL);
    EXPECT_EQ(log.GetFilename().rfind("Protocol/Protocol", 0), 0u) << log.GetFilename();
    EXPECT_TRUE(platform::FileExists(root + "/" + log.GetFilename()));
  }
  ASSERT_EQ(::chdir(cwd), 0);
  if (!savedHome.empty()) ::setenv("HOME", savedHome.c_str(), 1);
}

}  // namespace
}  // namespace kavtel
