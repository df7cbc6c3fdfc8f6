#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "services/cycle_group.h"
#include "support/wait_until.h"

namespace kavtel {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using test::WaitUntil;

TEST(NextCycleTick, IsTheFirstCommonTickAtOrAfterTheMoment) {
  const Clock::time_point start = Clock::now();
  struct Case {
    int intervalMs;
    int afterUs;  // from start
    int expectMs;
  };
  const Case cases[] = {
      {250, -5000, 0},    // before the start: the start
      {250, 0, 0},        // on a tick: that tick
      {250, 1, 250},      // just after one: the next
      {250, 250000, 250},
      {250, 250001, 500},
      {250, 999999, 1000},
      {0, 1500, 2},       // no interval counts as one millisecond
  };
  for (const Case& c : cases) {
    const auto got = NextCycleTick(start, milliseconds(c.intervalMs),
                                   start + std::chrono::microseconds(c.afterUs));
    EXPECT_EQ(got - start, milliseconds(c.expectMs)) << c.intervalMs << " ms after " << c.afterUs << " us";
  }
}

// Each call's round number and time, per member.
class Calls {
 public:
  struct Call {
    std::uint64_t round;
    Clock::time_point at;
  };
  void add(std::uint64_t round) {
    std::lock_guard<std::mutex> hold(lock_);
    calls_.push_back({round, Clock::now()});
  }
  std::vector<Call> calls() const {
    std::lock_guard<std::mutex> hold(lock_);
    return calls_;
  }
  std::size_t size() const { return calls().size(); }

 private:
  mutable std::mutex lock_;
  std::vector<Call> calls_;
};

TEST(CycleGroup, MembersOfOneIntervalShareTheirTicks) {
  TAPPSYSCycleGroup group;
  Calls a;
  Calls b;
  const auto ma = group.Join([&](std::uint32_t) { a.add(group.Rounds()); return true; }, 40);
  ASSERT_TRUE(WaitUntil([&] { return a.size() >= 2; }));
  // The second joins well between two of the first's ticks, as a device
  // opened at any moment does.
  const Clock::time_point last = a.calls().back().at;
  ASSERT_TRUE(WaitUntil([&] { return Clock::now() >= last + milliseconds(15); }));
  const auto mb = group.Join([&](std::uint32_t) { b.add(group.Rounds()); return true; }, 40);
  ASSERT_TRUE(WaitUntil([&] { return b.size() >= 10; }));
  group.Leave(ma);
  group.Leave(mb);
  // From its second call on (its first comes at once), the second member is
  // called in the first's rounds: one wake-up serves both.
  const auto ca = a.calls();
  const auto cb = b.calls();
  int alone = 0;
  for (std::size_t i = 1; i < cb.size(); ++i) {
    bool shared = false;
    for (const auto& c : ca) shared = shared || c.round == cb[i].round;
    alone += shared ? 0 : 1;
  }
  EXPECT_EQ(alone, 0);
  EXPECT_FALSE(group.Running());
}

TEST(CycleGroup, ABusyMemberIsCalledAgainAfterTheOthersOfItsRound) {
  TAPPSYSCycleGroup group;
  std::atomic<std::uint64_t> busyRound{0};
  std::atomic<std::uint64_t> otherRound{0};
  std::atomic<int> otherCalls{0};
  std::atomic<int> otherBefore{0};
  std::atomic<bool> armed{false};
  struct Retry {
    std::uint64_t gaveUpIn;
    std::uint64_t calledAgainIn;
    std::uint32_t waitMs;
    bool otherServed;
  };
  std::mutex lock;
  std::vector<Retry> retries;
  std::uint64_t gaveUpIn = 0;
  // Joined first, so first in every round. Once armed it is busy: it gives
  // up at the first try; called again, it notes whether the other member
  // had its tick in between.
  const auto busy = group.Join(
      [&](std::uint32_t waitMs) {
        if (!armed.load()) {
          busyRound = group.Rounds();
          return true;
        }
        std::lock_guard<std::mutex> hold(lock);
        if (waitMs == 0) {
          gaveUpIn = group.Rounds();
          otherBefore = otherCalls.load();
          return false;
        }
        retries.push_back({gaveUpIn, group.Rounds(), waitMs, otherCalls.load() > otherBefore.load()});
        return true;
      },
      30);
  const auto other = group.Join(
      [&](std::uint32_t) {
        otherRound = group.Rounds();
        ++otherCalls;
        return true;
      },
      30);
  // Armed once the two tick in the same rounds.
  ASSERT_TRUE(WaitUntil([&] { return otherCalls.load() >= 2 && busyRound.load() == otherRound.load(); }));
  armed = true;
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> hold(lock);
    return retries.size() >= 3;
  }));
  group.Leave(busy);
  group.Leave(other);
  for (const Retry& r : retries) {
    EXPECT_EQ(r.calledAgainIn, r.gaveUpIn);  // in the same round
    EXPECT_TRUE(r.otherServed);
    // It may wait until its next tick, no longer.
    EXPECT_GE(r.waitMs, 1u);
    EXPECT_LE(r.waitMs, 30u);
  }
}

TEST(CycleGroup, LeaveWaitsForTheCallInProgressAndEndsTheCalls) {
  TAPPSYSCycleGroup group;
  std::atomic<int> calls{0};
  std::atomic<bool> leaving{false};
  std::atomic<bool> left{false};
  std::atomic<bool> leftDuringCall{false};
  const auto member = group.Join(
      [&](std::uint32_t) {
        if (++calls == 3) {
          WaitUntil([&] { return leaving.load(); });
          // Held open: a Leave that did not wait would return meanwhile.
          leftDuringCall = WaitUntil([&] { return left.load(); }, milliseconds(500));
        }
        return true;
      },
      5);
  ASSERT_TRUE(WaitUntil([&] { return calls.load() >= 3; }));
  std::thread leaver([&] {
    leaving = true;
    group.Leave(member);
    left = true;
  });
  leaver.join();
  EXPECT_FALSE(leftDuringCall.load());
  const int after = calls.load();

  // Another member's ticks go on (the thread starts again for it); the one
  // that left is never called again.
  std::atomic<int> otherCalls{0};
  const auto other = group.Join([&](std::uint32_t) { ++otherCalls; return true; }, 5);
  EXPECT_TRUE(group.Running());
  ASSERT_TRUE(WaitUntil([&] { return otherCalls.load() >= 5; }));
  group.Leave(other);
  EXPECT_EQ(calls.load(), after);
  EXPECT_FALSE(group.Running());
  group.Leave(member);  // twice: ignored
}

// A device closed from a callback of its own tick leaves from within the
// call: that must neither hang nor call it again.
TEST(CycleGroup, AMemberMayLeaveFromItsOwnCall) {
  TAPPSYSCycleGroup group;
  std::atomic<std::uint64_t> self{0};
  std::atomic<int> calls{0};
  std::atomic<int> otherCalls{0};
  const auto other = group.Join([&](std::uint32_t) { ++otherCalls; return true; }, 5);
  self = group.Join(
      [&](std::uint32_t) {
        if (++calls == 3) group.Leave(self.load());
        return true;
      },
      5);
  ASSERT_TRUE(WaitUntil([&] { return calls.load() >= 3; }));
  const int seen = otherCalls.load();
  ASSERT_TRUE(WaitUntil([&] { return otherCalls.load() >= seen + 5; }));
  EXPECT_EQ(calls.load(), 3);
  group.Leave(other);
  EXPECT_FALSE(group.Running());
}

TEST(CycleGroup, AMemberThatThrowsStopsNoOtherTicks) {
  TAPPSYSCycleGroup group;
  std::atomic<int> throws{0};
  std::atomic<int> calls{0};
  const auto bad = group.Join([&](std::uint32_t) -> bool { ++throws; throw std::runtime_error("tick"); }, 5);
  const auto good = group.Join([&](std::uint32_t) { ++calls; return true; }, 5);
  EXPECT_TRUE(WaitUntil([&] { return calls.load() >= 5 && throws.load() >= 5; }));
  group.Leave(bad);
  group.Leave(good);
}

// The ids an alarm member was called with, and when.
class Rung {
 public:
  void add(std::uint32_t id) {
    std::lock_guard<std::mutex> hold(lock_);
    ids_.push_back(id);
    at_.push_back(Clock::now());
  }
  std::vector<std::uint32_t> ids() const {
    std::lock_guard<std::mutex> hold(lock_);
    return ids_;
  }
  Clock::time_point last() const {
    std::lock_guard<std::mutex> hold(lock_);
    return at_.back();
  }
  std::size_t size() const { return ids().size(); }

 private:
  mutable std::mutex lock_;
  std::vector<std::uint32_t> ids_;
  std::vector<Clock::time_point> at_;
};

// The answer time-out of a device: its thread sleeps until a tick a minute
// away, so an alarm due long before must wake it; a re-arm replaces the
// running one, a disarm cancels it, and none fires before its deadline.
// Alarms that must not fire are due seconds later than the calls that
// replace them, so a stalled test thread cannot make them fire rightly.
TEST(CycleAlarm, FiresOnceWithItsLatestIdNotBeforeItsDeadlineAndWakesTheGroupForIt) {
  TAPPSYSCycleAlarm alarm;  // outlive the group, even when an assertion ends the test
  Rung rung;
  TAPPSYSCycleGroup group;
  std::atomic<int> ticks{0};
  const auto ticking = group.Join([&](std::uint32_t) { ++ticks; return true; }, 60000);
  ASSERT_TRUE(WaitUntil([&] { return ticks.load() == 1; }));  // the first comes at once
  const auto member = group.JoinAlarm(alarm, [&](std::uint32_t id) { rung.add(id); });

  alarm.Arm(7, 2000);
  const Clock::time_point armed = Clock::now();
  alarm.Arm(8, 120);
  EXPECT_TRUE(alarm.Armed());
  ASSERT_TRUE(WaitUntil([&] { return rung.size() == 1; }));
  EXPECT_GE(rung.last() - armed, milliseconds(120));
  EXPECT_FALSE(alarm.Armed());

  alarm.Arm(9, 2000);
  alarm.Disarm();
  alarm.Arm(12, 2500);  // after the disarmed one would have fired
  ASSERT_TRUE(WaitUntil([&] { return rung.size() == 2; }));
  // Past the first arm's deadline too: replaced, it never fires.
  ASSERT_TRUE(WaitUntil([&] { return Clock::now() >= armed + milliseconds(2100); }));
  group.Leave(member);
  group.Leave(ticking);
  EXPECT_EQ(rung.ids(), (std::vector<std::uint32_t>{8, 12}));
  EXPECT_EQ(ticks.load(), 1);  // the alarms woke no tick
}

// An alarm whose member left never fires; an alarm member alone keeps the
// group's thread, and its leaving ends it.
TEST(CycleAlarm, AnAlarmOfAMemberThatLeftNeverFires) {
  TAPPSYSCycleAlarm gone;
  TAPPSYSCycleAlarm fence;
  Rung rung;
  TAPPSYSCycleGroup group;
  const auto left = group.JoinAlarm(gone, [&](std::uint32_t id) { rung.add(id); });
  EXPECT_TRUE(group.Running());
  gone.Arm(1, 1000);
  group.Leave(left);
  EXPECT_FALSE(group.Running());
  gone.Arm(2, 1000);
  const auto member = group.JoinAlarm(fence, [&](std::uint32_t id) { rung.add(id); });
  fence.Arm(3, 1500);  // after both of the other alarm's deadlines
  ASSERT_TRUE(WaitUntil([&] { return rung.size() >= 1; }));
  group.Leave(member);
  EXPECT_EQ(rung.ids(), (std::vector<std::uint32_t>{3}));
}

}  // namespace
}  // namespace kavtel
