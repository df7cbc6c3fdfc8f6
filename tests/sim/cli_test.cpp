// The kavtel-sim program as a host developer runs it: a child process that
// prints its device path, serves it, traces, and ends cleanly on SIGTERM.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host_line.h"
#include "support/wait_until.h"

extern char** environ;

namespace kavtel::sim {
namespace {

// A child running kavtel-sim with its stdout on a pipe.
class SimProcess {
 public:
  explicit SimProcess(std::vector<std::string> args) {
    args.insert(args.begin(), KAVTEL_SIM_EXE);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    const int error = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    out_ = out[0];
    fcntl(out_, F_SETFL, fcntl(out_, F_GETFL) | O_NONBLOCK);
    if (error != 0) pid_ = -1;
  }
  ~SimProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
  }

  bool running() const { return pid_ > 0; }

  // Everything the child printed so far.
  const std::string& Output() {
    char buffer[1024];
    ssize_t n;
    while ((n = read(out_, buffer, sizeof buffer)) > 0) output_.append(buffer, static_cast<std::size_t>(n));
    return output_;
  }

  bool Prints(const std::string& text) {
    return kavtel::test::WaitUntil([&] { return Output().find(text) != std::string::npos; });
  }

  // Sends a signal (0: none) and returns the exit status once the child
  // has ended (-1 if a signal ended it).
  int Terminate(int signal) {
    kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    Output();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string output_;
};

TEST(KavtelSimProgram, PrintsItsPathServesWithFaultsTracesAndEndsCleanly) {
  std::string dir = (std::filesystem::temp_directory_path() / "kavtel-sim-XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::string link = dir + "/com3";

  SimProcess sim({"--trace", "--link", link, "--version-text", "123", "--nak-every", "2"});
  ASSERT_TRUE(sim.running());
  ASSERT_TRUE(sim.Prints("\n"));
  const std::string path = sim.Output().substr(0, sim.Output().find('\n'));
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), path);

  {
    test::HostLine host(link);
    const test::Answer version = host.Exchange("V00");
    EXPECT_TRUE(version.checksum_ok);
    EXPECT_EQ(version.payload, "123");
    host.Send("S00");
    EXPECT_EQ(host.ReadUnit(), std::string(1, test::kNakByte));
  }
  // Checksums: V00 82, V00123 32.
  EXPECT_TRUE(sim.Prints("host > sim   <SOH>V0082<ETB>\n"));
  EXPECT_TRUE(sim.Prints("sim  > host  <SOH>V0012332<ETB>\n"));
  EXPECT_TRUE(sim.Prints("host > sim   <ACK>\n"));
  EXPECT_TRUE(sim.Prints("sim  > host  <NAK>\n"));

  EXPECT_EQ(sim.Terminate(SIGTERM), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  std::filesystem::remove_all(dir);
}

TEST(KavtelSimProgram, HelpListsTheFlagsAndABadFlagIsRefused) {
  {
    SimProcess help({"--help"});
    ASSERT_TRUE(help.running());
    EXPECT_TRUE(help.Prints("--hang-up-after"));
    for (const char* flag : {"--link", "--device", "--trace", "--version-text", "--nak-every",
                             "--corrupt-every", "--silent", "--garbage-every", "--split",
                             "--delay-ms", "--line-rate"}) {
      EXPECT_NE(help.Output().find(flag), std::string::npos) << flag;
    }
    EXPECT_EQ(help.Terminate(0), 0);
  }
  SimProcess bad({"--no-such-flag"});
  ASSERT_TRUE(bad.running());
  EXPECT_EQ(bad.Terminate(0), 2);
}

}  // namespace
}  // namespace kavtel::sim
