#include <gtest/gtest.h>

#include <algorithm>

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "device/device_caps.h"
#include "device/kavtel_device.h"
#include "services/connection.h"
#include "sim_records.h"
#include "simulator.h"
#include "support/process_stats.h"
#include "support/temp_folder.h"
#include "support/wait_until.h"

// A pulled cable and a returning adapter, with a real device object, real
// threads and the virtual treadmill on pseudo-terminals. COM n maps to a
// symbolic link that the treadmill re-points at a new pseudo-terminal when
// it is plugged in again, as a udev rule does for a re-enumerated adapter.
//
// The answer time-out is set far beyond the tests' deadlines: whatever
// these tests see happen, no answer time-out can have caused it.

namespace kavtel {
namespace {

using namespace std::chrono_literals;
using sim::Record;
using test::CpuSeconds;
using test::OpenDescriptors;
using test::Show;
using test::Threads;
using test::WaitUntil;

constexpr std::int32_t kPortNumber = 8;
constexpr std::uint32_t kCycleMs = 25;
constexpr std::uint32_t kLongTimeoutMs = 60000;
constexpr std::uint32_t kFailSafe = 60;

// The frames the host sent, as bytes.
std::vector<std::string> HostFrameBytes(const std::vector<Record>& records) {
  std::vector<std::string> frames;
  for (const Record& r : test::HostFrames(records)) frames.push_back(r.bytes);
  return frames;
}

class LinkLoss : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.Path().empty());
    link_ = folder_.Path() + "/ttyTREADMILL";
    sim::Options options;
    options.controller.version_text = "203";
    options.time_scale = 10.0;
    options.link_path = link_;
    sim_ = std::make_unique<sim::Simulator>(options);
    sim_->Start();
    ::setenv(("KAVTEL_COM" + std::to_string(kPortNumber)).c_str(), link_.c_str(), 1);
    channel_.SetConnectionType(wlconCOM);
    channel_.SetPort(kPortNumber);
    device_.SetControllerChannel(&channel_);
    device_.SetDeviceCaps(&caps_);
    device_.SetRNXCycleTime(kCycleMs);
    device_.SetRNXTimeoutInterval(kLongTimeoutMs);
    device_.SetRNXFailSafe(kFailSafe);
  }

  void TearDown() override {
    device_.SetIOOpen(false);
    sim_->Stop();
    ::unsetenv(("KAVTEL_COM" + std::to_string(kPortNumber)).c_str());
  }

  // The state after the version answer is stop, then whatever the belt
  // does: any state but detecting.
  bool Identified() {
    return device_.GetLinkState() == klOk && device_.GetControllerState() != ioDetecting;
  }

  void OpenAndRun() {
    device_.SetIOOpen(true);
    ASSERT_TRUE(WaitUntil([&] { return Identified(); })) << Show(sim_->GetRecords());
    device_.DoChangeSpeed(2.0L);
    ASSERT_TRUE(WaitUntil([&] { return device_.GetControllerState() == ioRun; }))
        << Show(sim_->GetRecords());
  }

  // Pulls the cable and waits until the device has noticed.
  void Pull() {
    sim_->HangUp();
    ASSERT_TRUE(WaitUntil([&] { return device_.GetLinkState() == klLost; }))
        << "link state " << int{device_.GetLinkState()};
    EXPECT_EQ(device_.GetControllerState(), ioDetecting);
  }

  // Plugs the cable in again and waits until the controller is identified
  // and polled again; the frames sent on the new line are returned.
  std::vector<std::string> Replug() {
    sim_->ClearRecords();
    sim_->Replug();
    EXPECT_TRUE(WaitUntil([&] { return Identified(); })) << Show(sim_->GetRecords());
    const std::uint64_t answers = sim_->GetCounters().answers_sent;
    EXPECT_TRUE(WaitUntil([&] { return sim_->GetCounters().answers_sent > answers + 10; }));
    return HostFrameBytes(sim_->GetRecords());
  }

  void ExpectNoViolations() { test::ExpectNoViolations(sim_->GetCounters()); }

  test::TempFolder folder_{"link"};
  std::string link_;
  TKavtelDevice device_;
  TKavtelDeviceCaps caps_;
  TAPPSYSConnectionObj channel_;
  std::unique_ptr<sim::Simulator> sim_;
};

// Pulled while the belt runs, the line is lost at once (no answer time-out
// could have told); plugged in again, possibly at a new pseudo-terminal
// behind the same path, the controller is identified afresh, the fail-safe
// goes out again, polling resumes, and nothing of before the loss is sent.
// Twice, since a device that came back must notice the next loss as well.
TEST_F(LinkLoss, PulledCableIsNoticedAndTheReturningLineIsIdentifiedAfresh) {
  device_.SetProtocolmode(apmPART);  // the log's ring: what support would read
  OpenAndRun();
  device_.GetPort()->GetProtocol()->SetMaxItemsHold(1 << 20);  // room for the whole test
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    Pull();
    // Commands given while the line is gone belong to no line.
    device_.DoChangeElevation(4.0L);

    const auto frames = Replug();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front(), sim::EncodeFrame("V00")) << Show(sim_->GetRecords());
    // On the new line itself (the records were cleared at the replug): the
    // fail-safe again, and the polling.
    const auto sentOnNewLine = [&](const std::string& frame) {
      const auto now = HostFrameBytes(sim_->GetRecords());
      return std::find(now.begin(), now.end(), frame) != now.end();
    };
    EXPECT_TRUE(sentOnNewLine(sim::EncodeFrame("F00" + std::to_string(kFailSafe))))
        << Show(sim_->GetRecords());
    for (const std::string& frame : frames) {
      EXPECT_NE(frame, sim::EncodeFrame("E034.0")) << Show(sim_->GetRecords());
    }
    EXPECT_TRUE(WaitUntil([&] { return sentOnNewLine(sim::EncodeFrame("D00")); }))
        << Show(sim_->GetRecords());
    ExpectNoViolations();
  }
  // Each loss and each return left its comment line.
  std::vector<std::string> lines;
  device_.GetPort()->GetProtocol()->fillStringList(lines);
  std::vector<std::string> link;
  for (const std::string& line : lines) {
    if (line.find("<Link>| line lost") != std::string::npos) link.push_back("lost");
    if (line.find("<Link>| line back on COM 8") != std::string::npos) link.push_back("back");
  }
  EXPECT_EQ(link, (std::vector<std::string>{"lost", "back", "lost", "back"}));
}

// A stop given while the line is gone is kept and goes out right after the
// controller's version answer, ahead of the identification's follow-ups.
TEST_F(LinkLoss, StopGivenWhileTheLineIsGoneGoesOutFirstAfterTheReturn) {
  OpenAndRun();
  Pull();
  EXPECT_TRUE(device_.DoChangeStopSpeed());
  EXPECT_EQ(device_.GetControllerState(), ioDetecting);
  const auto frames = Replug();
  ASSERT_GE(frames.size(), 3u) << Show(sim_->GetRecords());
  EXPECT_EQ(frames[0], sim::EncodeFrame("V00"));
  EXPECT_EQ(frames[1], sim::EncodeFrame("S020.00")) << Show(sim_->GetRecords());
  EXPECT_EQ(frames[2], sim::EncodeFrame("U10SP")) << Show(sim_->GetRecords());
  EXPECT_EQ(device_.Inspect().promisedStops, 0u);
  ExpectNoViolations();
}

// While the cable is out the device only tries to reopen about once a
// second: the process's CPU time stays flat. A close then returns at once,
// says the stop was not confirmed, and leaves no descriptor or thread.
TEST_F(LinkLoss, WhileOutNothingSpinsAndACloseReturnsAtOnce) {
  // A first round creates what lives for the process; counting starts after.
  OpenAndRun();
  device_.SetIOOpen(false);
  const std::size_t threads = Threads();
  const std::size_t descriptors = OpenDescriptors();
  OpenAndRun();
  Pull();

  // A measuring window, not a synchronisation: a spinning reopen loop would
  // burn most of it.
  const double cpu = CpuSeconds();
  std::this_thread::sleep_for(1500ms);
  EXPECT_LT(CpuSeconds() - cpu, 0.3);

  auto closed = std::async(std::launch::async, [&] { device_.SetIOOpen(false); });
  // Far below one answer time-out, let alone the stop group's bound.
  ASSERT_EQ(closed.wait_for(20s), std::future_status::ready);
  EXPECT_FALSE(device_.GetStopConfirmed());
  EXPECT_EQ(device_.GetControllerState(), ioOff);
  EXPECT_FALSE(device_.HasThreads());
  EXPECT_TRUE(WaitUntil([&] { return Threads() == threads; })) << Threads() << " threads";
  sim_->Replug();  // the treadmill's own line counts in the baseline
  EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors() == descriptors; }))
      << OpenDescriptors() << " descriptors";
}

// Plugged in and pulled again before the controller answered: the device
// stays in the loss and finds the line once it stays.
TEST_F(LinkLoss, LineThatDiesAgainBeforeTheControllerAnsweredIsFollowedToTheEnd) {
  OpenAndRun();
  Pull();
  sim::Faults faults;
  faults.hang_up_after = 1;  // the version query on the new line pulls it again
  sim_->SetFaults(faults);
  sim_->Replug();
  ASSERT_TRUE(WaitUntil([&] { return !sim_->IsConnected(); }));
  ASSERT_TRUE(WaitUntil([&] { return device_.GetLinkState() == klLost; }));
  sim_->SetFaults({});
  const auto frames = Replug();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.front(), sim::EncodeFrame("V00"));
  ExpectNoViolations();
}

}  // namespace
}  // namespace kavtel
