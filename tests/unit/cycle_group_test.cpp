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

// Each call's round number, per member.
class Calls {
 public:
  void add(std::uint64_t round) {
    std::lock_guard<std::mutex> hold(lock_);
    rounds_.push_back(round);
  }
  std::vector<std::uint64_t> rounds() const {
    std::lock_guard<std::mutex> hold(lock_);
    return rounds_;
  }
  std::size_t size() const { return rounds().size(); }

 private:
  mutable std::mutex lock_;
  std::vector<std::uint64_t> rounds_;
};

TEST(CycleGroup, MembersOfOneIntervalShareTheirTicks) {
  TAPPSYSCycleGroup group;
  Calls a;
  Calls b;
  const auto ma = group.Join([&](bool) { a.add(group.Rounds()); return true; }, 20);
  const auto mb = group.Join([&](bool) { b.add(group.Rounds()); return true; }, 20);
  ASSERT_TRUE(WaitUntil([&] { return a.size() >= 12 && b.size() >= 12; }));
  group.Leave(ma);
  group.Leave(mb);
  // After the first calls (each comes at once when its member joins) the
  // two are called in the same rounds: one wake-up serves both.
  const auto ra = a.rounds();
  const auto rb = b.rounds();
  int shared = 0;
  for (std::size_t i = 2; i < rb.size(); ++i) {
    for (std::uint64_t r : ra) shared += r == rb[i] ? 1 : 0;
  }
  EXPECT_GE(shared, static_cast<int>(rb.size()) - 3);
  EXPECT_FALSE(group.Running());
}

TEST(CycleGroup, ABusyMemberIsServedAfterTheOthersOfItsRound) {
  TAPPSYSCycleGroup group;
  std::atomic<std::uint64_t> busyRound{0};
  std::atomic<std::uint64_t> otherRound{0};
  std::atomic<int> otherCalls{0};
  std::atomic<int> otherBefore{0};
  std::atomic<bool> armed{false};
  std::atomic<int> waited{0};
  std::atomic<bool> sawOther{false};
  // Joined first, so first in every round. Once armed it is busy: it gives
  // up at first and, called again with leave to wait, waits (as for a
  // lock) for the other member's tick of the same round.
  const auto busy = group.Join(
      [&](bool mayWait) {
        if (!armed.load() && !mayWait) {
          busyRound = group.Rounds();
          return true;
        }
        if (!mayWait) {
          otherBefore = otherCalls.load();
          return false;
        }
        sawOther = WaitUntil([&] { return otherCalls.load() > otherBefore.load(); });
        ++waited;
        return true;
      },
      30);
  const auto other = group.Join(
      [&](bool) {
        otherRound = group.Rounds();
        ++otherCalls;
        return true;
      },
      30);
  // Armed once the two tick in the same rounds.
  ASSERT_TRUE(WaitUntil([&] { return otherCalls.load() >= 2 && busyRound.load() == otherRound.load(); }));
  armed = true;
  ASSERT_TRUE(WaitUntil([&] { return waited.load() >= 1; }));
  group.Leave(busy);
  group.Leave(other);
  EXPECT_TRUE(sawOther.load());
}

TEST(CycleGroup, LeaveWaitsForTheCallInProgressAndEndsTheCalls) {
  TAPPSYSCycleGroup group;
  std::atomic<int> calls{0};
  std::atomic<bool> inCall{false};
  std::atomic<bool> leaving{false};
  const auto member = group.Join(
      [&](bool) {
        inCall = true;
        if (++calls == 3) {
          WaitUntil([&] { return leaving.load(); });
          // A window in which a Leave that did not wait would return.
          for (int i = 0; i < 2000; ++i) std::this_thread::yield();
        }
        inCall = false;
        return true;
      },
      5);
  ASSERT_TRUE(WaitUntil([&] { return calls.load() >= 3; }));
  leaving = true;
  group.Leave(member);
  EXPECT_FALSE(inCall.load());
  const int after = calls.load();

  // Another member's ticks go on (the thread starts again for it); the one
  // that left is never called again.
  std::atomic<int> otherCalls{0};
  const auto other = group.Join([&](bool) { ++otherCalls; return true; }, 5);
  EXPECT_TRUE(group.Running());
  ASSERT_TRUE(WaitUntil([&] { return otherCalls.load() >= 5; }));
  group.Leave(other);
  EXPECT_EQ(calls.load(), after);
  EXPECT_FALSE(group.Running());
  group.Leave(member);  // twice: ignored
}

TEST(CycleGroup, AMemberThatThrowsStopsNoOtherTicks) {
  TAPPSYSCycleGroup group;
  std::atomic<int> throws{0};
  std::atomic<int> calls{0};
  const auto bad = group.Join([&](bool) -> bool { ++throws; throw std::runtime_error("tick"); }, 5);
  const auto good = group.Join([&](bool) { ++calls; return true; }, 5);
  EXPECT_TRUE(WaitUntil([&] { return calls.load() >= 5 && throws.load() >= 5; }));
  group.Leave(bad);
  group.Leave(good);
}

}  // namespace
}  // namespace kavtel
