// Stops are promises: whatever the line does, a stop the device accepted
// reaches the treadmill, and closing stops a belt that may be moving.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "device_fixture.h"

namespace kavtel::test {
namespace {

using Written = std::vector<std::string>;

// --- the device on a fake line, a treadmill thread answering -----------------

// What the treadmill does with one frame (its body, checksum included):
// the bytes it sends back, or nothing.
using Behaviour = std::function<std::string(const std::string& body)>;

std::string Reply(const std::string& body) {
  const std::string code = body.substr(0, 3);
  static const std::map<std::string, std::string> payloads = {
      {"V00", "224"}, {"S00", "1"}, {"D00", "100"}, {"Y00", "0"}, {"S04", "6.1"}, {"S01", "2.5"}};
  const auto p = payloads.find(code);
  return BuildFrame(code + (p != payloads.end() ? p->second : ""));
}
std::string Corrupt(const std::string& body) {
  std::string frame = Reply(body);
  frame[frame.size() - 2] = frame[frame.size() - 2] == '0' ? '1' : '0';
  return frame;
}
Behaviour Answering() { return Reply; }
Behaviour Dropping(const std::string& prefix, Behaviour otherwise = Reply) {
  return [=](const std::string& b) { return b.rfind(prefix, 0) == 0 ? std::string() : otherwise(b); };
}
Behaviour Refusing(const std::string& prefix) {
  return [=](const std::string& b) { return b.rfind(prefix, 0) == 0 ? std::string(1, kNAK) : Reply(b); };
}

constexpr std::uint32_t kTimeoutMs = 30;

class StopFixture : public ::testing::Test {
 protected:
  static constexpr std::int32_t kSlots = 4;  // small rings: every position is reached quickly

  void SetUp() override {
    channel.SetConnectionType(wlconCOM);
    channel.SetPort(3);
    dev.SetControllerChannel(&channel);
    dev.SetDeviceCaps(&caps);
    dev.SetRNXCycleTime(3600000);  // one tick (the version query) and no polling
    dev.SetRNXTimeoutInterval(kTimeoutMs);
    treadmill = std::thread([this] { Serve(); });
  }
  void TearDown() override {
    if (dev.GetIOOpen()) {
      SetLine(true);
      dev.SetIOOpen(false);
    }
    quit = true;
    treadmill.join();
  }

  void SetBehaviour(Behaviour b) {
    std::lock_guard<std::mutex> hold(behaviourLock);
    behaviour = std::move(b);
  }
  void SetLine(bool fails) {
    std::lock_guard<std::mutex> hold(comm->lock);
    comm->writeFails = fails;
  }
  Written Frames() {
    std::lock_guard<std::mutex> hold(comm->lock);
    Written out;
    for (auto& t : SplitWritten(comm->written)) {
      if (t != "<ACK>") out.push_back(Text(t));
    }
    return out;
  }
  std::size_t FrameCount() { return Frames().size(); }
  bool Idle() {
    const TKavtelDeviceView v = dev.Inspect();  // one moment, not three
    return !v.pending && v.queuedCommands == 0 && v.queuedRequests == 0;
  }

  // Opens, lets the controller identify itself (generation 2.24) and
  // report a running belt.
  void OpenRunning() {
    SetBehaviour(Answering());
    dev.SetIOOpen(true);
    ASSERT_TRUE(WaitUntil([&] { return !dev.GetAwaitingIdentification() && Idle(); }));
    deliver(BuildFrame("S001"));
    ASSERT_EQ(dev.GetControllerState(), ioRun);
  }
  void deliver(const std::string& bytes) {
    dev.DispatchChars(nullptr, bytes.data(), static_cast<std::int32_t>(bytes.size()));
  }

  // Frames sent from `from` on, in order, each once (repeats folded).
  Written SentSince(std::size_t from) {
    Written all = Frames(), out;
    for (std::size_t i = from; i < all.size(); ++i) {
      if (out.empty() || out.back() != all[i]) out.push_back(all[i]);
    }
    return out;
  }

  std::shared_ptr<FakeCommState> comm = std::make_shared<FakeCommState>();
  TAPPSYSConnectionObj channel;
  TKavtelDeviceCaps caps;
  TKavtelDevice dev{kSlots, FakeLine(comm)};

 private:
  // Plays the treadmill: every new frame on the line gets what the
  // behaviour says, delivered as the serial event thread would.
  void Serve() {
    std::size_t seen = 0;
    while (!quit) {
      Written all;
      {
        std::lock_guard<std::mutex> hold(comm->lock);
        all = SplitWritten(comm->written);
      }
      if (all.size() == seen) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      for (; seen < all.size(); ++seen) {
        if (all[seen] == "<ACK>" || all[seen] == "<?>") continue;
        Behaviour b;
        {
          std::lock_guard<std::mutex> hold(behaviourLock);
          b = behaviour;
        }
        const std::string reply = b(all[seen]);
        if (!reply.empty()) deliver(reply);
      }
    }
  }
  std::mutex behaviourLock;
  Behaviour behaviour = Answering();
  std::atomic<bool> quit{false};
  std::thread treadmill;
};

// True when `want` appears in `got` in this order (other frames between).
bool InOrder(const Written& got, const Written& want) {
  std::size_t at = 0;
  for (const auto& g : got) {
    if (at < want.size() && g == want[at]) ++at;
  }
  return at == want.size();
}

struct CloseCase {
  const char* name;
  // Puts a frame in flight (and maybe more queued) before the close.
  std::function<void(TKavtelDevice&)> before;
  Behaviour line;
  bool confirmed;
};

class CloseOnAnyLine : public StopFixture, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseOnAnyLine, TheStopGroupReachesTheWireInOrderBoundedAndIsReported) {
  const CloseCase& c = GetParam();
  // Every position of the command ring: the close must not depend on
  // where the frame in flight sits in it.
  for (int advance = 0; advance < kSlots; ++advance) {
    SCOPED_TRACE(advance);
    ASSERT_NO_FATAL_FAILURE(OpenRunning());
    for (int i = 0; i < advance; ++i) {
      dev.DoChangeAcceleration(static_cast<std::uint8_t>(i + 1));
      dev.postCommands();
      ASSERT_TRUE(WaitUntil([&] { return Idle(); }));
    }
    SetBehaviour(c.line);
    const std::size_t start = FrameCount();
    c.before(dev);
    const auto t0 = std::chrono::steady_clock::now();
    dev.SetIOOpen(false);
    const auto spent = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(dev.GetControllerState(), ioOff);
    EXPECT_TRUE(InOrder(SentSince(start), {"A003", "S020.00", "U10SP", "U10SR"}))
        << ::testing::PrintToString(SentSince(start));
    EXPECT_EQ(dev.GetStopConfirmed(), c.confirmed);
    // The bound, counted on the wire: the frame in flight with its 5
    // repeats at most (it may fail again before the close takes over), then
    // each of the 4 stop frames with its 5 repeats at most. A close that
    // went on sending past them fails here whatever the machine's speed.
    EXPECT_LE(FrameCount() - start, 6u * (1 + 4)) << ::testing::PrintToString(SentSince(start));
    // And in time, with generous slack for a loaded machine.
    EXPECT_LT(spent, (1 + 6 * 4) * std::chrono::milliseconds(kTimeoutMs) + std::chrono::seconds(10));
  }
}

void SetterInFlightAnotherQueued(TKavtelDevice& d) {
  d.DoChangeElevation(5);
  d.DoChangeAcceleration(5);
  d.postCommands();
}
void PollInFlight(TKavtelDevice& d) {
  d.sendinfomqs("D0064");
  d.postCommands();
}
void Nothing(TKavtelDevice&) {}

INSTANTIATE_TEST_SUITE_P(
    Lines, CloseOnAnyLine,
    ::testing::Values(
        CloseCase{"LostAnswerOfASetter", SetterInFlightAnotherQueued, Dropping("E03"), true},
        CloseCase{"LostAnswerOfAPoll", PollInFlight, Dropping("D00"), true},
        CloseCase{"NakOnA003", Nothing, Refusing("A003"), true},
        CloseCase{"SilenceOnA003", SetterInFlightAnotherQueued, Dropping("A003"), true},
        CloseCase{"BadChecksumsOnEveryAnswer", PollInFlight, Corrupt, false},
        CloseCase{"NakOnEverything", SetterInFlightAnotherQueued, Refusing(""), false},
        CloseCase{"Silence", PollInFlight, Dropping(""), false}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(StopFixture, CloseStopsTheBeltWhileReIdentifyingAndRightAfterIt) {
  for (bool reidentified : {false, true}) {
    SCOPED_TRACE(reidentified);
    ASSERT_NO_FATAL_FAILURE(OpenRunning());
    deliver("S0079" + std::string(1, kETB));  // a frame end without SOH: trouble
    ASSERT_EQ(dev.GetControllerState(), ioDetecting);
    if (reidentified) {
      dev.GetParameter();  // the version query; its answer reads "stop"
      ASSERT_TRUE(WaitUntil([&] { return dev.GetControllerState() == ioStop && Idle(); }));
    }
    const std::size_t start = FrameCount();
    dev.SetIOOpen(false);
    EXPECT_EQ(SentSince(start), (Written{"A003", "S020.00", "U10SP", "U10SR"}));
    EXPECT_TRUE(dev.GetStopConfirmed());
  }
}

TEST_F(StopFixture, NoStopAtCloseWhenTheBeltIsKnownToStand) {
  ASSERT_NO_FATAL_FAILURE(OpenRunning());
  deliver(BuildFrame("S000"));
  const std::size_t start = FrameCount();
  dev.SetIOOpen(false);
  EXPECT_EQ(SentSince(start), Written{});
  EXPECT_TRUE(dev.GetStopConfirmed());
  // A command that may move the belt makes the stop needed again.
  ASSERT_NO_FATAL_FAILURE(OpenRunning());
  deliver(BuildFrame("S000"));
  dev.pressStart();
  ASSERT_TRUE(WaitUntil([&] { return Idle(); }));
  dev.upStart();
  ASSERT_TRUE(WaitUntil([&] { return Idle(); }));
  const std::size_t again = FrameCount();
  dev.SetIOOpen(false);
  EXPECT_EQ(SentSince(again), (Written{"A003", "S020.00", "U10SP", "U10SR"}));
}

TEST_F(StopFixture, AGoneLineEndsTheCloseAtOnceAndTheStopIsNotConfirmed) {
  // An answer time-out of a minute: a close that waited for even one
  // time-out would take a minute, one that ends at once takes milliseconds.
  // (The working line answers everything, so nothing before the close
  // waits for a time-out.)
  dev.SetRNXTimeoutInterval(60000);
  ASSERT_NO_FATAL_FAILURE(OpenRunning());
  SetLine(true);
  const auto t0 = std::chrono::steady_clock::now();
  dev.SetIOOpen(false);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30)) << "the close waited for a time-out";
  EXPECT_FALSE(dev.GetStopConfirmed());
}

// --- the stop key, on a fake line driven by hand ------------------------------

class StopKey : public DeviceFixture {};

TEST_F(StopKey, GoesOutAfterTheStalledPollsFirstTimeOutNotBehindItsRepeats) {
  identify("224");
  dev.sendinfomqs("D0064");
  dev.senduqs("S022.00");  // queued before the stop: superseded by it
  dev.sendinfomqs("S0180");
  dev.postCommands();
  EXPECT_EQ(take(), (Written{Body("S022.00")}));
  answer("S02", "2.00");
  EXPECT_EQ(take(), (Written{"<ACK>", "D0064"}));  // the poll the treadmill leaves unanswered
  EXPECT_TRUE(dev.pressStop());
  EXPECT_EQ(take(), Written{});  // one frame in flight
  dev.TimeoutHandler(dev.Inspect().lastCommandID);
  EXPECT_EQ(take(), (Written{Body("U10SP")}));  // the poll is given up, not repeated
  answer("U10", "SP");
  EXPECT_EQ(take(), (Written{"<ACK>", "S0180"}));
  EXPECT_EQ(dev.Inspect().promisedStops, 0u);
  // The poll given up is no longer outstanding: asked again at its turn.
  EXPECT_EQ(dev.Inspect().commandCounters[kqDistance], 0);
}

TEST_F(StopKey, SurvivesTroubleAndGoesFirstAfterTheIdentification) {
  identify("224");
  EXPECT_TRUE(dev.pressStop());
  EXPECT_EQ(take(), (Written{Body("U10SP")}));
  for (int i = 0; i < 6; ++i) deliver(std::string(1, kNAK));  // refused six times
  EXPECT_EQ(dev.GetControllerState(), ioDetecting);
  EXPECT_EQ(dev.Inspect().promisedStops, 1u);
  take();
  dev.GetParameter();
  EXPECT_EQ(take(), (Written{"V0082"}));  // identification first
  answer("V00", "224");
  // Right after the identification's answer, ahead of its follow-ups.
  EXPECT_EQ(take(), (Written{"<ACK>", Body("U10SP")}));
  answer("U10", "SP");
  EXPECT_EQ(take(), (Written{"<ACK>", Body("F0010")}));
  EXPECT_EQ(dev.Inspect().promisedStops, 0u);
}

TEST_F(StopKey, ASpeedOfZeroIsAStopAndSupersedesWhatWasQueued) {
  identify("224");
  answer("S00", "1");
  take();
  dev.senduqs("E035.0");
  dev.postCommands();
  EXPECT_EQ(take(), (Written{Body("E035.0")}));
  dev.senduqs("U10+P");
  // Sent although the speed read (never polled here) is 0 too: a stop is
  // never taken for done.
  EXPECT_TRUE(dev.DoChangeSpeed(0));
  EXPECT_EQ(dev.Inspect().queuedCommands, 0);  // the plus key would have gone after the stop
  EXPECT_EQ(dev.Inspect().promisedStops, 1u);
  deliver(std::string(1, kNAK));  // the elevation fails: it yields to the stop
  EXPECT_EQ(take(), (Written{Body("S020.00")}));
}

}  // namespace
}  // namespace kavtel::test
