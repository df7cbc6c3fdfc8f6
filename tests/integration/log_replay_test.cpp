// A protocol log recorded by the device object against the virtual
// treadmill with faults injected, played again by `kavtel-sim --replay`
// against a fresh device object: the host's side of the wire must come out
// the same, frame for frame. The test is the device's polling cycle (its
// cycle thread is set to wait an hour after its first tick): it asks for the
// next tick only once every exchange has ended, so the sequence depends on
// the answers alone, never on how the threads happen to be timed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "device/device_caps.h"
#include "device/kavtel_device.h"
#include "services/connection.h"
#include "services/protocol_log.h"
#include "log_text.h"
#include "simulator.h"
#include "support/temp_folder.h"
#include "support/wait_until.h"

extern char** environ;

namespace kavtel {
namespace {

using test::WaitUntil;

constexpr std::int32_t kPortNumber = 9;
constexpr int kTicks = 24;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// How many units (frames, repeats, acknowledgements) the host put on the
// wire by its log.
std::size_t HostUnitsInLog(const std::string& text) {
  std::size_t units = 0;
  logtext::ForEachLine(text, [&units](std::size_t, const std::string& raw) {
    const auto line = logtext::ParseLine(raw);
    if (!line) return;
    const bool ack = line->kind == "TD: " && line->text.rfind("<A>", 0) == 0;
    if (ack || logtext::FrameSent(*line).how != logtext::Sending::none) ++units;
  });
  return units;
}

// One host session: a device on COM9 (whatever KAVTEL_COM9 names), its log
// on in `hostFolder`, polled tick by tick.
class Host {
 public:
  explicit Host(const std::string& hostFolder) {
    std::filesystem::create_directories(hostFolder);
    TAPPSYSProtocol::SetHostExecutable(hostFolder + "/Runner");
    channel_.SetConnectionType(wlconCOM);
    channel_.SetPort(kPortNumber);
    device_.SetControllerChannel(&channel_);
    device_.SetDeviceCaps(&caps_);
    device_.SetRNXCycleTime(3600 * 1000);  // the first tick only; the test gives the others
    // The usual second: far above the answers' delay of 20 ms, so that a
    // loaded machine never turns a late answer into a silence in one run
    // and not in the other.
    device_.SetRNXTimeoutInterval(1000);
    device_.SetProtocolmode(apmALL);
  }
  ~Host() {
    device_.SetIOOpen(false);
    TAPPSYSProtocol::SetHostExecutable("");
  }

  // Every exchange has ended: nothing in flight, queued or promised.
  bool Idle() {
    const TKavtelDeviceView v = device_.Inspect();  // one moment, not four
    return !v.pending && v.queuedCommands == 0 && v.queuedRequests == 0 && v.promisedStops == 0;
  }

  // Opens the port (its first tick asks for the version) and gives the
  // polling cycle its further ticks, each once the line is quiet.
  // `beforeTick` runs on the quiet line before each of them.
  void Run(const std::function<void(int tick)>& beforeTick = {}) {
    device_.SetIOOpen(true);
    ASSERT_TRUE(device_.GetOnline());
    ASSERT_EQ(device_.GetProtocolmode(), apmALL);
    // The cycle thread's own first tick has sent the version query.
    ASSERT_TRUE(WaitUntil([&] { return device_.Inspect().lastCommandID != 0; }));
    for (int tick = 0; tick < kTicks; ++tick) {
      ASSERT_TRUE(WaitUntil([&] { return Idle(); })) << "tick " << tick;
      if (beforeTick) beforeTick(tick);
      device_.GetParameter();
    }
    ASSERT_TRUE(WaitUntil([&] { return Idle(); }));
  }

  std::string LogFile() const { return device_.GetPort()->GetProtocol()->GetFilename(); }

 private:
  TKavtelDevice device_;
  TKavtelDeviceCaps caps_;
  TAPPSYSConnectionObj channel_;
};

// kavtel-sim as a child, its stdout (--trace) and stderr in files.
class SimChild {
 public:
  SimChild(const std::vector<std::string>& args, const std::string& folder)
      : out_(folder + "/sim.out"), err_(folder + "/sim.err") {
    std::vector<std::string> all = {KAVTEL_SIM_EXE};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~SimChild() {
    if (pid_ > 0) End();
  }
  // The device path, the first line it prints.
  std::string DevicePath() {
    std::string path;
    WaitUntil([&] {
      const std::string out = ReadFile(out_);
      const std::size_t end = out.find('\n');
      if (end == std::string::npos) return false;
      path = out.substr(0, end);
      return true;
    });
    return path;
  }
  std::string Trace() const { return ReadFile(out_); }
  // SIGTERM; returns what it printed on stderr.
  std::string End() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return ReadFile(err_);
  }

 private:
  std::string out_;
  std::string err_;
  pid_t pid_ = -1;
};

class LogReplay : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder.Path().empty());
    root = folder.Path();
  }
  void TearDown() override { ::unsetenv(("KAVTEL_COM" + std::to_string(kPortNumber)).c_str()); }
  static void MapPort(const std::string& path) {
    ::setenv(("KAVTEL_COM" + std::to_string(kPortNumber)).c_str(), path.c_str(), 1);
  }
  test::TempFolder folder{"replay"};
  std::string root;
};

TEST_F(LogReplay, AReplayedLogDrawsTheSameFramesFromTheHost) {
  // The recording: NAKs, damaged answers and late answers throughout; for
  // one tick every other frame goes unanswered (a time-out, then the repeat
  // is answered), and for another tick the treadmill answers nothing, which
  // ends in a fault and a new identification.
  sim::Faults faults;
  faults.nak_every = 5;
  faults.corrupt_every = 7;
  faults.delay = std::chrono::milliseconds(20);
  sim::Faults dropping = faults;
  dropping.drop_every = 2;
  sim::Faults silent;
  silent.drop_every = 1;
  sim::Options options;
  options.controller.version_text = "224";
  options.faults = faults;
  sim::Simulator recorder(options);
  recorder.Start();
  MapPort(recorder.GetDevicePath());
  std::vector<std::string> recorded;  // what the host sent, rendered as the trace shows it
  std::string log;
  {
    Host host(root + "/first");
    host.Run([&](int tick) {
      if (tick == 6) recorder.SetFaults(dropping);
      if (tick == 12) recorder.SetFaults(silent);
      if (tick == 7 || tick == 13) recorder.SetFaults(faults);
    });
    log = host.LogFile();
    // The last acknowledgement may still be on its way to the treadmill.
    const std::size_t sent = HostUnitsInLog(ReadFile(log));
    ASSERT_TRUE(recorder.WaitFor([&] {
      recorded.clear();
      for (const sim::Record& r : recorder.GetRecords()) {
        if (r.direction == sim::Record::Direction::from_host) recorded.push_back(sim::Render(r.bytes));
      }
      return recorded.size() >= sent;
    }));
    ASSERT_EQ(recorded.size(), sent);
  }
  recorder.Stop();
  const std::string logText = ReadFile(log);
  // The faults are in the record.
  for (const char* sign : {"RD: \t<NAK>", "<repeat>|", "<Timeouthandler>", "<TimeOut>|"}) {
    EXPECT_NE(logText.find(sign), std::string::npos) << sign << " missing from\n" << logText;
  }
  // Identified twice: at the start and after the fault.
  const std::string versionQuery = "TD: \t<C><SOH>V0082<ETB>";
  EXPECT_NE(logText.find(versionQuery, logText.find("<TimeOut>|")), std::string::npos) << logText;
  ASSERT_GT(recorded.size(), 60u);

  // The replay, against a fresh host.
  SimChild replayer({"--replay", log, "--trace"}, root);
  const std::string path = replayer.DevicePath();
  ASSERT_FALSE(path.empty());
  MapPort(path);
  {
    Host host(root + "/second");
    host.Run();
    // What the replaying treadmill saw of the host, as it traced it.
    std::vector<std::string> replayed;
    ASSERT_TRUE(WaitUntil([&] {
      replayed.clear();
      const std::string trace = replayer.Trace();
      std::size_t from = 0;
      for (std::size_t end = trace.find('\n'); end != std::string::npos; end = trace.find('\n', from)) {
        const std::string line = trace.substr(from, end - from);
        from = end + 1;
        const std::size_t at = line.find("host > sim ");
        if (at != std::string::npos) replayed.push_back(line.substr(line.find_first_not_of(' ', at + 11)));
      }
      return replayed.size() >= recorded.size();
    }));
    const std::string logs = "recorded log:\n" + logText + "\nreplayed log:\n" + ReadFile(host.LogFile());
    ASSERT_EQ(replayed.size(), recorded.size()) << logs;
    for (std::size_t i = 0; i < recorded.size(); ++i) {
      ASSERT_EQ(replayed[i], recorded[i]) << "host unit " << i << "\n" << logs;
    }
  }
  const std::string report = replayer.End();
  EXPECT_NE(report.find(" 0 differed from the record"), std::string::npos) << report;
}

}  // namespace
}  // namespace kavtel
