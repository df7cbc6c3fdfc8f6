#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "device/device_caps.h"
#include "device/kavtel_device.h"
#include "device/wire_frame.h"
#include "services/connection.h"
#include "sim_records.h"
#include "simulator.h"
#include "support/process_stats.h"
#include "support/wait_until.h"

// The device object against the virtual treadmill: a real TKavtelDevice opens
// COM n, which KAVTEL_COM<n> maps to the slave side of the simulator's
// pseudo-terminal; the serial event thread, the watchdog and the polling
// cycle all run for real. Expected frames are built with the simulator's own
// codec, so a framing fault of the library is not mirrored here.

namespace kavtel {
namespace {

using namespace std::chrono_literals;
using sim::Record;
using test::ExpectNoViolations;
using test::HostFrames;
using test::Show;
using test::Threads;
using test::WaitUntil;

constexpr std::int32_t kPortNumber = 7;
// A short cycle keeps the tests quick. The answer time-out stays at its
// usual second: a healthy treadmill on a loaded machine must never be taken
// for a silent one, since a repeat while the answer is on its way gets two
// answers for one frame.
constexpr std::uint32_t kCycleMs = 25;
constexpr std::uint32_t kTimeoutMs = 1000;
// Fail-safe seconds sent at identification; with the model running ten
// times as fast this still allows seconds without a frame.
constexpr std::uint32_t kFailSafe = 60;
// Timer granularity allowed on lower bounds of time.
constexpr auto kSlack = 16ms;

class DeviceOnSimulator : public ::testing::Test {
 protected:
  void TearDown() override {
    device_.SetIOOpen(false);
    if (sim_) sim_->Stop();
    ::unsetenv(("KAVTEL_COM" + std::to_string(kPortNumber)).c_str());
  }

  void StartTreadmill(const std::string& version, double timeScale = 1.0) {
    sim::Options options;
    options.controller.version_text = version;
    options.time_scale = timeScale;
    sim_ = std::make_unique<sim::Simulator>(options);
    sim_->Start();
    ::setenv(("KAVTEL_COM" + std::to_string(kPortNumber)).c_str(),
             sim_->GetDevicePath().c_str(), 1);
    channel_.SetConnectionType(wlconCOM);
    channel_.SetPort(kPortNumber);
    device_.SetControllerChannel(&channel_);
    device_.SetDeviceCaps(&caps_);
    device_.SetRNXCycleTime(kCycleMs);
    device_.SetRNXTimeoutInterval(kTimeoutMs);
    device_.SetRNXFailSafe(kFailSafe);
  }

  bool Identified() {
    return !device_.GetAwaitingIdentification() && device_.GetControllerState() == ioStop;
  }

  // Opens the port and waits until the controller has identified itself.
  void OpenAndIdentify() {
    device_.SetIOOpen(true);
    ASSERT_TRUE(device_.GetOnline());
    ASSERT_TRUE(WaitUntil([&] { return Identified(); })) << Show(sim_->GetRecords());
  }

  // Sets a speed and waits until the controller reports the running belt.
  void RunBelt(long double speed) {
    device_.DoChangeSpeed(speed);
    ASSERT_TRUE(WaitUntil([&] { return device_.GetControllerState() == ioRun; }))
        << Show(sim_->GetRecords());
  }

  TKavtelDevice device_;
  TKavtelDeviceCaps caps_;
  TAPPSYSConnectionObj channel_;
  std::unique_ptr<sim::Simulator> sim_;
};

TEST_F(DeviceOnSimulator, IdentifiesThenPollsTheValuesTheTreadmillHas) {
  StartTreadmill("224", 10.0);
  // Until the version answer the controller counts as being detected: the
  // treadmill keeps quiet at first.
  sim::Faults quiet;
  quiet.drop_every = 1;
  sim_->SetFaults(quiet);
  device_.SetIOOpen(true);
  ASSERT_TRUE(WaitUntil([&] { return sim_->GetCounters().frames_received > 0; }));
  EXPECT_EQ(device_.GetControllerState(), ioDetecting);
  EXPECT_TRUE(device_.GetOnline());
  sim_->SetFaults({});
  ASSERT_TRUE(WaitUntil([&] { return Identified(); })) << Show(sim_->GetRecords());
  EXPECT_EQ(device_.GetVersionText(), "224");
  EXPECT_EQ(device_.GetVersionMajor(), 2);
  EXPECT_EQ(device_.GetVersionMinor(), 24);
  // The version query is the first thing on the wire.
  const auto frames = HostFrames(sim_->GetRecords());
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.front().bytes, sim::EncodeFrame("V00"));

  // The identification's follow-ups reach the treadmill: fail-safe and the
  // units and device-type queries of this generation.
  ASSERT_TRUE(WaitUntil([&] { return sim_->LastPayload("Y00").has_value(); }));
  EXPECT_EQ(sim_->LastPayload("F00"), std::to_string(kFailSafe));
  EXPECT_TRUE(sim_->LastPayload("U17").has_value());

  device_.DoChangeElevation(3.0L);
  RunBelt(2.0L);
  // The measured values follow the treadmill's state.
  EXPECT_TRUE(WaitUntil([&] { return std::fabs(device_.GetSpeed() - 2.0f) < 0.011f; }))
      << device_.GetSpeed();
  EXPECT_TRUE(WaitUntil([&] { return std::fabs(device_.GetElevation() - 3.0f) < 0.051f; }))
      << device_.GetElevation();
  EXPECT_TRUE(WaitUntil([&] {
    return device_.GetDistance() > 0 && device_.GetDuration() > 0 && device_.GetEnergy() > 0 &&
           device_.GetPower() > 0 && device_.GetHeartRate() > 0;
  }));
  // Polled values lag the treadmill but never run ahead of it.
  const std::int32_t distance = device_.GetDistance();
  const std::int32_t duration = device_.GetDuration();
  const sim::TreadmillState state = sim_->GetState();
  EXPECT_LE(distance, static_cast<std::int32_t>(std::floor(state.distance)));
  EXPECT_LE(duration, static_cast<std::int32_t>(std::floor(state.seconds)));
  EXPECT_EQ(device_.GetAcceleration(), state.acceleration);
  EXPECT_EQ(device_.GetRNXErrCommandCounter(), 0);
  EXPECT_EQ(device_.GetRNXErrRepeatCounter(), 0);
  ExpectNoViolations(sim_->GetCounters());
}

// The version query leaves with the cycle's first step, not a whole cycle
// after the open.
TEST_F(DeviceOnSimulator, VersionQueryLeavesAtOnceWithALongCycle) {
  StartTreadmill("203");
  device_.SetRNXCycleTime(3600u * 1000u);
  OpenAndIdentify();
  EXPECT_EQ(device_.GetVersionMajor(), 2);
}

// A treadmill that falls silent gets the frame in flight repeated once per
// answer time-out, then the device gives up, drops what it had queued and
// asks for the version again until the treadmill talks.
TEST_F(DeviceOnSimulator, SilentTreadmillIsRepeatedThenReidentified) {
  StartTreadmill("203");
  OpenAndIdentify();
  ASSERT_TRUE(WaitUntil([&] { return sim_->LastPayload("D00").has_value(); }));

  sim::Faults silent;
  silent.drop_every = 1;
  sim_->SetFaults(silent);
  sim_->ClearRecords();
  ASSERT_TRUE(WaitUntil([&] { return device_.GetControllerState() == ioDetecting; }))
      << Show(sim_->GetRecords());
  // Trouble empties both queues and the outstanding-query counters; while
  // the treadmill stays silent only the version query is tried.
  EXPECT_TRUE(device_.GetAwaitingIdentification());
  EXPECT_EQ(device_.Inspect().queuedRequests, 0);
  EXPECT_EQ(device_.Inspect().commandCounters[kqDistance], 0);
  EXPECT_EQ(device_.Inspect().commandCounters[kqTime], 0);
  ASSERT_TRUE(WaitUntil([&] {
    const auto frames = HostFrames(sim_->GetRecords());
    return !frames.empty() && frames.back().bytes == sim::EncodeFrame("V00");
  }));

  const auto frames = HostFrames(sim_->GetRecords());
  // The frame in flight when the treadmill fell silent: sent once and
  // repeated five times (its first sending may predate the record).
  std::size_t run = 1;
  while (run < frames.size() && frames[run].bytes == frames[0].bytes) ++run;
  EXPECT_GE(run, 5u) << Show(sim_->GetRecords());
  EXPECT_LE(run, 6u) << Show(sim_->GetRecords());
  for (std::size_t i = 1; i < run; ++i) {
    EXPECT_GE(frames[i].time - frames[i - 1].time, std::chrono::milliseconds(kTimeoutMs / 2))
        << "repeat " << i;
  }
  EXPECT_GE(frames[run - 1].time - frames[0].time,
            (run - 1) * std::chrono::milliseconds(kTimeoutMs) - kSlack);
  ASSERT_LT(run, frames.size());
  EXPECT_EQ(frames[run].bytes, sim::EncodeFrame("V00")) << Show(sim_->GetRecords());
  // The version query itself is repeated at the same pace.
  EXPECT_GE(frames.back().time - frames[run].time + kSlack,
            (frames.size() - 1 - run) * std::chrono::milliseconds(kTimeoutMs) / 2);

  sim_->SetFaults({});
  ASSERT_TRUE(WaitUntil([&] { return Identified(); })) << Show(sim_->GetRecords());
  // Polling resumes.
  const std::uint64_t seen = sim_->GetCounters().answers_sent;
  EXPECT_TRUE(WaitUntil([&] { return sim_->GetCounters().answers_sent > seen + 20; }));
  EXPECT_EQ(device_.GetControllerState(), ioStop);
  ExpectNoViolations(sim_->GetCounters());
}

// Every frame refused with NAK: the pending frame is repeated at once, five
// times, then the device is in trouble; it identifies again once the storm
// is over.
TEST_F(DeviceOnSimulator, NakStormEndsInTroubleAndRecovers) {
  StartTreadmill("203");
  OpenAndIdentify();

  sim::Faults storm;
  storm.nak_every = 1;
  sim_->SetFaults(storm);
  sim_->ClearRecords();
  ASSERT_TRUE(WaitUntil([&] { return device_.GetControllerState() == ioDetecting; }));
  // Several rounds of trouble and identification attempts.
  ASSERT_TRUE(WaitUntil([&] { return device_.GetRNXErrRepeatCounter() >= 20; }));
  EXPECT_TRUE(device_.GetAwaitingIdentification());

  // The frame in flight when the storm began went out six times (its first
  // sending may predate the record); after the trouble only the version
  // query is tried.
  const auto frames = HostFrames(sim_->GetRecords());
  std::size_t run = 1;
  while (run < frames.size() && frames[run].bytes == frames[0].bytes) ++run;
  EXPECT_NE(frames[0].bytes, sim::EncodeFrame("V00")) << Show(sim_->GetRecords());
  EXPECT_GE(run, 5u) << Show(sim_->GetRecords());
  EXPECT_LE(run, 6u) << Show(sim_->GetRecords());
  for (std::size_t i = run; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].bytes, sim::EncodeFrame("V00")) << i << "\n" << Show(sim_->GetRecords());
  }

  sim_->SetFaults({});
  ASSERT_TRUE(WaitUntil([&] { return Identified(); })) << Show(sim_->GetRecords());
  const std::uint64_t answers = sim_->GetCounters().answers_sent;
  EXPECT_TRUE(WaitUntil([&] { return sim_->GetCounters().answers_sent > answers + 20; }));
  EXPECT_EQ(device_.GetControllerState(), ioStop);
  // Every refusal reached the device and was counted there.
  EXPECT_EQ(static_cast<std::uint64_t>(device_.GetRNXErrRepeatCounter()),
            sim_->GetCounters().naks_sent);
  ExpectNoViolations(sim_->GetCounters());
}

TEST_F(DeviceOnSimulator, GarbageBeforeEveryAnswerIsDropped) {
  StartTreadmill("203", 10.0);
  sim::Faults junk;
  junk.garbage_every = 1;
  junk.split = 3;
  junk.split_gap = 3ms;
  sim_->SetFaults(junk);
  OpenAndIdentify();
  RunBelt(1.5L);
  EXPECT_TRUE(WaitUntil([&] {
    return std::fabs(device_.GetSpeed() - 1.5f) < 0.011f && device_.GetDistance() > 0 &&
           device_.GetDuration() > 0;
  }));
  EXPECT_EQ(device_.GetRNXErrCommandCounter(), 0);
  EXPECT_EQ(device_.GetRNXErrRepeatCounter(), 0);
  EXPECT_EQ(device_.GetControllerState(), ioRun);
  ExpectNoViolations(sim_->GetCounters());
}

// Closing while answers are still arriving, in pieces and with junk, at
// different moments: every close returns, leaves the device off with no port
// and no thread of its own, and the device opens again.
TEST_F(DeviceOnSimulator, CloseWhileAnswersArriveLeavesNothingBehind) {
  StartTreadmill("203", 10.0);
  sim::Faults busy;
  busy.garbage_every = 2;
  busy.split = 4;
  busy.split_gap = 2ms;
  sim_->SetFaults(busy);
  device_.SetRNXCycleTime(1);
  const std::size_t baseline = Threads();

  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    const std::uint64_t before = sim_->GetCounters().answers_sent;
    device_.SetIOOpen(true);
    ASSERT_TRUE(device_.GetOnline());
    if (round == 2) device_.DoChangeSpeed(1.0L);
    ASSERT_TRUE(WaitUntil(
        [&] { return sim_->GetCounters().answers_sent >= before + 3u * static_cast<unsigned>(round); }));
    const auto start = std::chrono::steady_clock::now();
    device_.SetIOOpen(false);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(device_.GetControllerState(), ioOff);
    EXPECT_FALSE(device_.GetOnline());
    EXPECT_EQ(device_.GetPort(), nullptr);
    EXPECT_FALSE(device_.HasThreads());
    EXPECT_TRUE(WaitUntil([&] { return Threads() == baseline; })) << Threads() << " threads";
  }
  // Whatever the device was cut off in, it never broke the frame rules.
  const sim::Counters c = sim_->GetCounters();
  EXPECT_EQ(c.bad_checksums, 0u);
  EXPECT_EQ(c.overlapping_frames, 0u);
  EXPECT_EQ(c.stray_bytes, 0u);
}

struct StopGroupCase {
  const char* version;
  std::vector<const char*> group;
};

// Closing a running belt puts the whole stop group on the wire, in order and
// ahead of anything else, and awaits its answers before the line closes;
// nothing of the old connection is sent after a reopen.
TEST_F(DeviceOnSimulator, CloseWhileRunningSendsTheStopGroupFirst) {
  const StopGroupCase cases[] = {
      {"203", {"A003", "S020.00", "U10SP", "U10SR"}},
      {"123", {"U00S"}},
  };
  for (const StopGroupCase& c : cases) {
    SCOPED_TRACE(c.version);
    StartTreadmill(c.version, 10.0);
    OpenAndIdentify();
    RunBelt(2.0L);
    // Commands queued but not yet sent belong to the old connection.
    device_.DoChangeElevation(5.0L);

    sim_->ClearRecords();
    device_.SetIOOpen(false);
    EXPECT_EQ(device_.GetControllerState(), ioOff);
    // The last answer was acknowledged before the line closed: the ACK
    // reaches the treadmill (bytes written before a close stay readable).
    const std::string ack(1, sim::kAck);
    EXPECT_TRUE(sim_->WaitFor([&] {
      const auto r = sim_->GetRecords();
      return !r.empty() && r.back().bytes == ack;
    })) << Show(sim_->GetRecords());
    const auto records = sim_->GetRecords();
    const auto frames = HostFrames(records);
    // The group is the last thing sent, whole and in order; what went out
    // before it is what was in flight or answered while the close began.
    ASSERT_GE(frames.size(), c.group.size()) << Show(records);
    const std::size_t first = frames.size() - c.group.size();
    for (std::size_t i = 0; i < c.group.size(); ++i) {
      EXPECT_EQ(frames[first + i].bytes, sim::EncodeFrame(c.group[i])) << Show(records);
    }
    for (std::size_t i = 0; i < first; ++i) {
      EXPECT_NE(frames[i].bytes, sim::EncodeFrame(c.group[0])) << Show(records);
    }
    EXPECT_TRUE(sim_->WaitFor([&] { return sim_->GetState().belt == sim::Belt::stopped; }));

    sim_->ClearRecords();
    const std::uint64_t answers = sim_->GetCounters().answers_sent;
    OpenAndIdentify();
    // Let the follow-ups of the identification and some polls go out too.
    ASSERT_TRUE(WaitUntil([&] { return sim_->GetCounters().answers_sent > answers + 10; }));
    const auto reopened = HostFrames(sim_->GetRecords());
    ASSERT_FALSE(reopened.empty());
    EXPECT_EQ(reopened.front().bytes, sim::EncodeFrame("V00")) << Show(sim_->GetRecords());
    for (const Record& r : reopened) {
      EXPECT_NE(r.bytes, sim::EncodeFrame("E035.0")) << Show(sim_->GetRecords());
    }
    ExpectNoViolations(sim_->GetCounters());

    device_.SetIOOpen(false);
    sim_->Stop();
  }
}

// A treadmill that stops answering just before the close: the close waits
// for the stop group's answers no longer than about one answer time-out per
// frame, then closes all the same.
TEST_F(DeviceOnSimulator, UnansweredStopGroupDelaysTheCloseBoundedly) {
  StartTreadmill("203", 10.0);
  OpenAndIdentify();
  RunBelt(2.0L);
  const std::size_t baseline = Threads();
  sim::Faults silent;
  silent.drop_every = 1;
  sim_->SetFaults(silent);

  const auto start = std::chrono::steady_clock::now();
  device_.SetIOOpen(false);
  const auto spent = std::chrono::steady_clock::now() - start;
  // Each frame of the group with its repeats, and the frame in flight once.
  constexpr std::size_t kGroup = 4;
  EXPECT_LT(spent, (1 + 6 * kGroup) * std::chrono::milliseconds(kTimeoutMs) + 5s);
  EXPECT_FALSE(device_.GetStopConfirmed());
  // Silent or not, every frame of the group reached the treadmill, in order.
  std::vector<std::string> heard;
  for (const auto& r : sim_->GetRecords()) {
    if (r.direction == sim::Record::Direction::from_host && r.bytes.size() > 4 &&
        (heard.empty() || heard.back() != r.bytes))
      heard.push_back(r.bytes);
  }
  std::vector<std::string> tail(heard.end() - std::min<std::size_t>(heard.size(), kGroup), heard.end());
  EXPECT_EQ(tail, (std::vector<std::string>{BuildFrame("A003"), BuildFrame("S020.00"),
                                            BuildFrame("U10SP"), BuildFrame("U10SR")}));
  EXPECT_EQ(device_.GetControllerState(), ioOff);
  EXPECT_EQ(device_.GetPort(), nullptr);
  EXPECT_FALSE(device_.HasThreads());
  EXPECT_TRUE(WaitUntil([&] { return Threads() < baseline; }));
}

}  // namespace
}  // namespace kavtel
