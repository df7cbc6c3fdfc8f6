// The poll schedule alone: what each step asks, and that an outstanding
// query is never asked twice.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "device/poll_schedule.h"

namespace kavtel::test {
namespace {

// The codes one full cycle of 20 steps asks, with how often, when every
// query is answered before the next step.
std::map<std::string, int> OneCycle(bool extended) {
  TKavtelPollSchedule schedule;
  std::map<std::string, int> asked;
  for (int i = 0; i < TKavtelPollSchedule::kSteps; ++i) {
    schedule.Step(extended, [&](const TKavtelPollSchedule::Query& q) {
      ++asked[std::string(q.frameBody).substr(0, 3)];
      schedule.Decoded(q.counter);
    });
  }
  EXPECT_EQ(schedule.CycleStep(), 0);  // back at the start
  return asked;
}

TEST(PollSchedule, ExtendedScheduleAddsErrorWeightEnergyAndPower) {
  const auto a = OneCycle(false);
  const auto b = OneCycle(true);
  for (const char* code : {"Z00", "J00", "J01", "J02"}) {
    EXPECT_EQ(a.count(code), 0u) << code;
    EXPECT_GT(b.count(code), 0u) << code;
  }
  // Everything schedule A asks, B asks as often.
  for (const auto& [code, times] : a) EXPECT_EQ(b.count(code) ? b.at(code) : 0, times) << code;
  // Every value a host reads is asked within one cycle (5 s at 250 ms).
  for (const char* code : {"S00", "S01", "D00", "T00", "P01", "E01", "A00"}) EXPECT_GT(a.count(code), 0u) << code;
}

TEST(PollSchedule, AnOutstandingQueryIsNotAskedAgainUntilItsExchangeEnds) {
  TKavtelPollSchedule schedule;
  int statusAsked = 0;
  auto step = [&] {
    schedule.Step(false, [&](const TKavtelPollSchedule::Query& q) { statusAsked += q.counter == kqStatus; });
  };
  // Two full cycles without a single answer: the status is asked once.
  for (int i = 0; i < 2 * TKavtelPollSchedule::kSteps; ++i) step();
  EXPECT_EQ(statusAsked, 1);
  EXPECT_EQ(schedule.Counter(kqStatus), 1);
  // Its exchange ends (answered with another code, or given up): asked again.
  schedule.Ended(kqStatus);
  for (int i = 0; i < TKavtelPollSchedule::kSteps; ++i) step();
  EXPECT_EQ(statusAsked, 2);
  // An answer nobody asked for takes the counter below zero, and it does
  // not stop the next query.
  schedule.ResetCounters();
  schedule.Decoded(kqSpeed);
  EXPECT_EQ(schedule.Counter(kqSpeed), -1);
  schedule.Ended(kqCount);  // no query: nothing changes
  EXPECT_EQ(schedule.Counter(kqSpeed), -1);
}

TEST(PollSchedule, CodesMapToTheirCounters) {
  EXPECT_EQ(TKavtelPollSchedule::QueryOfCode("S00"), kqStatus);
  EXPECT_EQ(TKavtelPollSchedule::QueryOfCode("S01"), kqSpeed);
  EXPECT_EQ(TKavtelPollSchedule::QueryOfCode("D00"), kqDistance);
  EXPECT_EQ(TKavtelPollSchedule::QueryOfCode("J02"), kqPower);
  EXPECT_EQ(TKavtelPollSchedule::QueryOfCode("S02"), kqCount);  // a command, not polled
  EXPECT_EQ(TKavtelPollSchedule::QueryOfCode(""), kqCount);
}

}  // namespace
}  // namespace kavtel::test
