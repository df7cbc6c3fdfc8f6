#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "services/timer_threads.h"
#include "support/wait_until.h"

namespace kavtel {
namespace {

using Clock = std::chrono::steady_clock;
using test::WaitUntil;

// Windows timers may end a wait up to one scheduler tick early; lower
// bounds on elapsed time allow for that.
constexpr std::chrono::milliseconds kTick{16};

// Records every watchdog callback with its time, in order.
class WatchdogLog {
 public:
  struct Entry {
    std::string what;
    std::uint32_t id;
    Clock::time_point at;
  };
  void add(const char* what, std::uint32_t id) {
    std::lock_guard<std::mutex> hold(lock_);
    entries_.push_back({what, id, Clock::now()});
  }
  std::vector<Entry> entries() const {
    std::lock_guard<std::mutex> hold(lock_);
    return entries_;
  }
  std::size_t size() const { return entries().size(); }
  // "ToDo(7) Skiped(8)" and so on.
  std::string text() const {
    std::string out;
    for (const auto& e : entries()) {
      if (!out.empty()) out += ' ';
      out += e.what + "(" + std::to_string(e.id) + ")";
    }
    return out;
  }

 private:
  mutable std::mutex lock_;
  std::vector<Entry> entries_;
};

class WatchdogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dog.SetToDo([this](std::uint32_t id) { log.add("ToDo", id); });
    dog.SetSkiped([this](std::uint32_t id) { log.add("Skiped", id); });
    dog.SetOnStarted([this](TObject*) { ++started; });
  }
  // Quiet period used only to show that nothing further happens.
  void settle(std::uint32_t intervals = 4) {
    std::this_thread::sleep_for(std::chrono::milliseconds(dog.GetInterval() * intervals));
  }
  WatchdogLog log;
  std::atomic<int> started{0};
  TAPPSYSOneShotThread dog;
};

TEST_F(WatchdogTest, ArmedRunFiresToDoOnceAfterTheInterval) {
  dog.SetInterval(40);
  EXPECT_EQ(dog.Priority(), platform::ThreadPriority::Lower);
  const auto armed = Clock::now();
  dog.activateTimerID(7);
  ASSERT_TRUE(WaitUntil([&] { return log.size() >= 1; }));
  settle();
  EXPECT_EQ(log.text(), "ToDo(7)");
  EXPECT_GE(log.entries()[0].at - armed, std::chrono::milliseconds(40) - kTick);
  EXPECT_EQ(dog.GetCountstarted(), 1u);
  EXPECT_EQ(dog.GetTimerID(), 0u);
}

TEST_F(WatchdogTest, DisarmedRunEndsWithSkipedAndNeverToDo) {
  dog.SetInterval(60000);  // long enough that only the disarm can end it
  dog.activateTimerID(7);
  ASSERT_TRUE(WaitUntil([&] { return started == 1; }));
  dog.deactivateTimerID();
  ASSERT_TRUE(WaitUntil([&] { return log.size() >= 1; }));
  dog.SetInterval(30);
  settle();
  EXPECT_EQ(log.text(), "Skiped(7)");
}

TEST_F(WatchdogTest, DisarmOfAnArmingNotYetPickedUpCancelsIt) {
  dog.SetInterval(30);
  dog.activateTimerID(7);
  dog.deactivateTimerID();
  settle();
  // Either the worker never picked 7 up, or it did and the run was cut short:
  // in no case may a time-out fire for a disarmed id.
  EXPECT_TRUE(log.text() == "" || log.text() == "Skiped(7)") << log.text();
}

TEST_F(WatchdogTest, ReArmingMidRunSkipsTheOldIdAndTimesTheNewOneInFull) {
  dog.SetInterval(60000);
  dog.activateTimerID(7);
  ASSERT_TRUE(WaitUntil([&] { return started == 1; }));
  dog.SetInterval(50);  // takes effect at the next timed wait
  const auto rearmed = Clock::now();
  dog.activateTimerID(8);
  ASSERT_TRUE(WaitUntil([&] { return log.size() >= 2; }));
  settle();
  EXPECT_EQ(log.text(), "Skiped(7) ToDo(8)");
  EXPECT_GE(log.entries()[1].at - rearmed, std::chrono::milliseconds(50) - kTick);
  EXPECT_EQ(dog.GetCountstarted(), 2u);
}

TEST_F(WatchdogTest, ReArmingThatEndsNoSoonerLetsTheRunningWaitEndThenTimesTheNewIdFromItsArming) {
  // One arm per frame sent: the worker is not woken for each; the old id is
  // skipped when its wait ends, the new one still gets its full interval.
  dog.SetInterval(1000);
  const auto armed = Clock::now();
  dog.activateTimerID(7);
  ASSERT_TRUE(WaitUntil([&] { return started == 1; }));
  const auto rearmed = Clock::now();
  dog.activateTimerID(8);
  ASSERT_TRUE(WaitUntil([&] { return log.size() >= 2; }));
  EXPECT_EQ(log.text(), "Skiped(7) ToDo(8)");
  const auto e = log.entries();
  EXPECT_GE(e[0].at - armed, std::chrono::milliseconds(1000) - kTick);
  EXPECT_GE(e[1].at - rearmed, std::chrono::milliseconds(1000) - kTick);
  EXPECT_EQ(dog.GetCountstarted(), 2u);
}

TEST_F(WatchdogTest, ToDoThatReArmsStartsAFullNewRunWithoutSkiped) {
  dog.SetInterval(40);
  std::atomic<int> calls{0};
  dog.SetToDo([&](std::uint32_t id) {
    log.add("ToDo", id);
    if (++calls == 1) dog.activateTimerID(id);
  });
  dog.activateTimerID(5);
  ASSERT_TRUE(WaitUntil([&] { return log.size() >= 2; }));
  settle();
  EXPECT_EQ(log.text(), "ToDo(5) ToDo(5)");
  const auto e = log.entries();
  EXPECT_GE(e[1].at - e[0].at, std::chrono::milliseconds(40) - kTick);
}

TEST_F(WatchdogTest, IdleDisarmAndZeroArmCauseNothing) {
  dog.SetInterval(30);
  dog.deactivateTimerID();
  dog.activateTimerID(0);
  settle();
  EXPECT_EQ(log.text(), "");
  EXPECT_EQ(dog.GetCountstarted(), 0u);
  // A stale stop signal from the idle disarm does not cut the next run short.
  const auto armed = Clock::now();
  dog.activateTimerID(3);
  ASSERT_TRUE(WaitUntil([&] { return log.size() >= 1; }));
  EXPECT_EQ(log.text(), "ToDo(3)");
  EXPECT_GE(log.entries()[0].at - armed, std::chrono::milliseconds(30) - kTick);
}

TEST_F(WatchdogTest, EndServiceMidRunSkipsAndReturnsAfterTheWorkerEnded) {
  dog.SetInterval(60000);
  std::atomic<bool> ended{false};
  dog.SetOnEndService([&](TObject*) { ended = dog.Finished(); });
  dog.activateTimerID(9);
  ASSERT_TRUE(WaitUntil([&] { return started == 1; }));
  dog.endService();
  EXPECT_TRUE(dog.Finished());
  EXPECT_TRUE(ended);
  EXPECT_EQ(log.text(), "Skiped(9)");
}

TEST(Watchdog, RapidReArmingNeverFiresForAnOverriddenId) {
  // The device disarms on every answer and arms for the next command: under
  // that churn no time-out may fire for an id that was replaced.
  TAPPSYSOneShotThread dog;
  dog.SetInterval(60000);
  std::atomic<int> todos{0};
  dog.SetToDo([&](std::uint32_t) { ++todos; });
  for (std::uint32_t id = 1; id <= 2000; ++id) {
    dog.activateTimerID(id);
    if (id % 3 == 0) dog.deactivateTimerID();
  }
  dog.endService();
  EXPECT_EQ(todos, 0);
}

TEST(Mutex, HolderReEntersAndOthersWaitForTheLastRelease) {
  TAPPSYSMutex m;
  m.WaitFor();
  m.WaitFor();  // re-entry does not block
  std::atomic<bool> got{false};
  std::thread other([&] {
    m.WaitFor();
    got = true;
    m.Release();
  });
  m.Release();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(got) << "another thread took the mutex while it was still held once";
  m.Release();
  EXPECT_TRUE(WaitUntil([&] { return got.load(); }));
  other.join();
}

TEST(CycleThread, CallsWithAPauseAfterEachCallAndStartsOnlyWhenResumed) {
  std::mutex lock;
  std::vector<Clock::time_point> calls;
  TAPPSYSCycleThread cycle(
      [&] {
        std::lock_guard<std::mutex> hold(lock);
        calls.push_back(Clock::now());
      },
      40);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  {
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_TRUE(calls.empty()) << "created suspended";
  }
  cycle.Resume();
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> hold(lock);
    return calls.size() >= 4;
  }));
  cycle.endService();
  std::lock_guard<std::mutex> hold(lock);
  for (std::size_t i = 1; i < calls.size(); ++i) {
    EXPECT_GE(calls[i] - calls[i - 1], std::chrono::milliseconds(40) - kTick);
  }
}

TEST(CycleThread, NegativeIntervalRunsBackToBack) {
  std::atomic<int> n{0};
  TAPPSYSCycleThread cycle([&] { ++n; }, 0);
  cycle.SetInterval(-1);
  cycle.Resume();
  EXPECT_TRUE(WaitUntil([&] { return n >= 1000; }));
  cycle.endService();
}

TEST(CycleThread, EndServiceCutsALongPauseShort) {
  std::atomic<int> n{0};
  TAPPSYSCycleThread cycle([&] { ++n; }, 600000);
  cycle.Resume();
  ASSERT_TRUE(WaitUntil([&] { return n >= 1; }));
  const auto t0 = Clock::now();
  cycle.endService();
  EXPECT_LT(Clock::now() - t0, test::kGenerous);
  EXPECT_TRUE(cycle.Finished());
  EXPECT_EQ(n, 1);
}

TEST(CycleThread, NeverStartedThreadEndsWithoutACall) {
  std::atomic<int> n{0};
  {
    TAPPSYSCycleThread cycle([&] { ++n; }, 10);
    cycle.endService();
    cycle.endService();  // a second stop does nothing
  }
  EXPECT_EQ(n, 0);
}

}  // namespace
}  // namespace kavtel
