// The answer timer alone: arms, expiries and their tokens.
#include <gtest/gtest.h>

#include <chrono>

#include "device/answer_timer.h"

namespace kavtel::test {
namespace {

using std::chrono::milliseconds;
using time_point = TKavtelAnswerTimer::time_point;

// A write: armed with a fresh token, started when it went out.
std::uint32_t Write(TKavtelAnswerTimer& timer, time_point at, milliseconds after) {
  const std::uint32_t token = timer.Arm();
  timer.Started(token, at, after);
  return token;
}

TEST(AnswerTimer, AnExpiryCountsOnlyForTheLatestArmOnceItIsDue) {
  const time_point t0 = time_point(std::chrono::hours(1));
  TKavtelAnswerTimer timer;
  EXPECT_EQ(timer.Token(), 0u);
  const std::uint32_t first = timer.Arm();
  EXPECT_NE(first, 0u);
  EXPECT_FALSE(timer.Fire(first, t0 + std::chrono::hours(1)));  // not started: never due
  timer.Started(first, t0, milliseconds(1000));
  EXPECT_FALSE(timer.Fire(first, t0 + milliseconds(999)));  // not yet due
  EXPECT_TRUE(timer.Fire(first, t0 + milliseconds(1000)));
  EXPECT_FALSE(timer.Fire(first, t0 + milliseconds(5000)));  // once only
  EXPECT_EQ(timer.Token(), 0u);

  // The frame is written again (a repeat keeps its frame's number): the
  // expiry of the first write, taken before the repeat, is stale, and a
  // late start of the first write changes nothing.
  const std::uint32_t before = Write(timer, t0, milliseconds(1000));
  const std::uint32_t repeat = Write(timer, t0 + milliseconds(1000), milliseconds(1000));
  timer.Started(before, t0, milliseconds(1000));
  EXPECT_NE(before, repeat);
  EXPECT_FALSE(timer.Fire(before, t0 + milliseconds(1000)));
  EXPECT_FALSE(timer.Fire(repeat, t0 + milliseconds(1999)));
  EXPECT_FALSE(timer.Fire(before, t0 + milliseconds(2000)));  // stale even when the repeat is due
  EXPECT_TRUE(timer.Fire(repeat, t0 + milliseconds(2000)));

  // Disarmed (an answer, trouble, a lost line): nothing fires, not even 0.
  const std::uint32_t last = Write(timer, t0, milliseconds(10));
  timer.Disarm();
  EXPECT_FALSE(timer.Fire(last, t0 + milliseconds(10)));
  EXPECT_FALSE(timer.Fire(0, t0 + milliseconds(10)));
}

}  // namespace
}  // namespace kavtel::test
