// The frame in flight alone: its repeat rule, the promised stops and the
// close's stop group.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/frame_in_flight.h"
#include "device/wire_frame.h"
#include "device_fixture.h"

namespace kavtel::test {
namespace {

using Written = std::vector<std::string>;
using Action = TKavtelFrameInFlight::Action;
using Failure = TKavtelFrameInFlight::Failure;

TKavtelWireFrame Poll(const std::string& text) {
  TKavtelWireFrame f;
  f.text = BuildFrame(text);
  f.request = true;
  return f;
}

TEST(FrameInFlight, AFailingFrameYieldsToAWaitingStopButAStopKeepsItsRepeats) {
  TKavtelFrameInFlight flight;
  flight.Start(Poll("D00"));
  const std::uint32_t pollId = flight.Id();
  EXPECT_EQ(flight.Failed(Failure::timeout, true, false), Action::repeat);  // no stop yet
  flight.Promise("U10SP");
  // Identification pending: the stop may not go yet, the poll keeps its rule.
  EXPECT_EQ(flight.Failed(Failure::nak, false, false), Action::repeat);
  EXPECT_EQ(flight.Failed(Failure::timeout, true, false), Action::yield);
  EXPECT_FALSE(flight.Busy());
  ASSERT_TRUE(flight.StopWaiting());
  EXPECT_EQ(flight.StartStop().text, BuildFrame("U10SP"));
  EXPECT_NE(flight.Id(), pollId);  // a late time-out of the poll never matches
  EXPECT_FALSE(flight.StopWaiting());
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(flight.Failed(Failure::damaged, true, false), Action::repeat);
  // Repeats spent: trouble, and the stop is still promised.
  EXPECT_EQ(flight.Failed(Failure::nak, true, false), Action::trouble);
  EXPECT_EQ(flight.PromisedStops(), 1u);
  EXPECT_TRUE(flight.StopWaiting());
  EXPECT_FALSE(flight.StopConfirmed());
  flight.StartStop();
  flight.Answered();
  EXPECT_EQ(flight.PromisedStops(), 0u);
  EXPECT_TRUE(flight.StopConfirmed());
}

TEST(FrameInFlight, ClosingSkipsASpentStopFrameAndTheGroupReplacesWaitingStops) {
  TKavtelFrameInFlight flight;
  flight.Promise("U10SP");
  flight.StartStop();
  flight.Promise("U10SR");
  flight.Promise("S020.00");
  // The group covers what waits; the stop on the wire finishes first.
  flight.PromiseGroup({"A003", "S020.00", "U10SP", "U10SR"});
  EXPECT_EQ(flight.PromisedStops(), 5u);
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(flight.Failed(Failure::timeout, true, true), Action::repeat);
  EXPECT_EQ(flight.Failed(Failure::timeout, true, true), Action::skip);
  EXPECT_EQ(flight.PromisedStops(), 4u);
  EXPECT_EQ(flight.StartStop().text, BuildFrame("A003"));
  // A frame that does not confirm the stop may be skipped without harm.
  for (int i = 0; i <= 5; ++i) flight.Failed(Failure::nak, true, true);
  for (int i = 0; i < 3; ++i) {
    flight.StartStop();
    flight.Answered();
  }
  EXPECT_EQ(flight.PromisedStops(), 0u);
  EXPECT_FALSE(flight.StopConfirmed());  // the first U10SP was never answered
  flight.Forget();
  EXPECT_TRUE(flight.StopConfirmed());
  // Any other frame is not repeated while the port closes.
  flight.Start(Poll("S01"));
  EXPECT_EQ(flight.Failed(Failure::timeout, false, true), Action::yield);
}

TEST(FrameInFlight, StopsStayBoundedByCollapsingIntoTheGroup) {
  TKavtelFrameInFlight flight;
  const std::vector<std::string> group{"A003", "S020.00", "U10SP", "U10SR"};
  for (int i = 0; i < 100; ++i) flight.Promise(i % 2 ? "U10SR" : "U10SP", group);
  EXPECT_LE(flight.PromisedStops(), TKavtelFrameInFlight::kMaxStops);
  // What is kept still stops the belt: the group, whole and in order, then
  // the key's later presses and releases in their order, the last release
  // last.
  Written sent;
  while (flight.StopWaiting()) {
    const std::string& frame = flight.StartStop().text;
    sent.push_back(Text(frame.substr(1, frame.size() - 2)));
    flight.Answered();
  }
  ASSERT_GE(sent.size(), group.size());
  EXPECT_EQ(Written(sent.begin(), sent.begin() + 4), group);
  for (std::size_t i = group.size() + 1; i < sent.size(); ++i) EXPECT_NE(sent[i], sent[i - 1]) << i;
  EXPECT_EQ(sent.back(), "U10SR");
}

}  // namespace
}  // namespace kavtel::test
