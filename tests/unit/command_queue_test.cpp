#include <gtest/gtest.h>

#include <set>
#include <string>

#include "services/command_queue.h"

namespace kavtel {
namespace {

class RingTest : public ::testing::Test {
 protected:
  void SetUp() override { ring.initializeBuffer(); }
  bool add(const std::string& text) { return ring.addCommand(text, {}, {}, {}, true); }
  TAPPSYSCommandRingBuffer ring;
};

TEST_F(RingTest, FreshRingIsEmptyAndHoldsAtMostCountMinusOne) {
  EXPECT_EQ(ring.GetCount(), 256);
  EXPECT_EQ(ring.GetCountPrepared(), 0);
  EXPECT_EQ(ring.peekCommand(), nullptr);
  EXPECT_TRUE(ring.canaddComand(255));
  EXPECT_FALSE(ring.canaddComand(256));
}

TEST_F(RingTest, FirstInFirstOutNumberedFromOne) {
  ASSERT_TRUE(add("a"));
  ASSERT_TRUE(add("b"));
  ASSERT_TRUE(add("c"));
  EXPECT_EQ(ring.GetCountPrepared(), 3);
  const char* texts[] = {"a", "b", "c"};
  for (std::uint32_t i = 0; i < 3; ++i) {
    TAPPSYSCommand* cmd = ring.peekCommand();
    ASSERT_NE(cmd, nullptr);
    EXPECT_EQ(cmd->GetOutString(), texts[i]);
    EXPECT_EQ(cmd->GetContinuousNr(), i + 1);
    EXPECT_TRUE(cmd->GetWantAnswer());
  }
  EXPECT_EQ(ring.peekCommand(), nullptr);
}

TEST_F(RingTest, SlotsAreReusedInACircleKeepingUntouchedFields) {
  ASSERT_TRUE(add("first"));
  TAPPSYSCommand* first = ring.peekCommand();
  first->SetActive(true);
  int translated = 0;
  first->SetOnTranslate([&](const std::string&) { ++translated; });
  for (int i = 1; i < 256; ++i) {
    ASSERT_TRUE(add("x"));
    ASSERT_NE(ring.peekCommand(), nullptr);
  }
  // The 257th command lands in slot 0 again: the very same record.
  ASSERT_TRUE(ring.addCommand("again", [](TObject*) {}, {}, {}, false));
  TAPPSYSCommand* again = ring.peekCommand();
  EXPECT_EQ(again, first);
  EXPECT_EQ(again->GetContinuousNr(), 257u);
  EXPECT_EQ(again->GetOutString(), "again");
  EXPECT_FALSE(again->GetWantAnswer());
  EXPECT_TRUE(static_cast<bool>(again->GetOnReceived()));
  EXPECT_FALSE(static_cast<bool>(again->GetOnBeforeSending()));
  // addCommand leaves Active and OnTranslate as the record had them.
  EXPECT_TRUE(again->GetActive());
  again->GetOnTranslate()("x");
  EXPECT_EQ(translated, 1);
}

TEST_F(RingTest, RefusesTheCommandThatWouldOverwriteAPendingOrLentRecord) {
  for (int i = 0; i < 254; ++i) ASSERT_TRUE(add(std::to_string(i)));
  EXPECT_TRUE(ring.canaddComand(1));
  ASSERT_TRUE(add("254"));
  EXPECT_FALSE(ring.canaddComand(1));
  EXPECT_FALSE(add("refused"));
  EXPECT_EQ(ring.GetCountPrepared(), 255);

  // Lend the oldest out (as the sender does with the command in flight):
  // one slot frees up, and filling it must not touch the lent record.
  TAPPSYSCommand* inFlight = ring.peekCommand();
  ASSERT_EQ(inFlight->GetOutString(), "0");
  ASSERT_TRUE(add("255"));
  EXPECT_FALSE(add("refused again"));
  EXPECT_EQ(inFlight->GetOutString(), "0");
  EXPECT_EQ(inFlight->GetContinuousNr(), 1u);

  // Every queued command comes out once, in order, none lost or doubled.
  for (int i = 1; i <= 255; ++i) {
    TAPPSYSCommand* cmd = ring.peekCommand();
    ASSERT_NE(cmd, nullptr);
    EXPECT_EQ(cmd->GetOutString(), std::to_string(i));
    EXPECT_NE(cmd, inFlight);
  }
  EXPECT_EQ(ring.peekCommand(), nullptr);
}

TEST_F(RingTest, RestartDropsPendingAndRestartsNumberingAtSlotZero) {
  ASSERT_TRUE(add("a"));
  ASSERT_TRUE(add("b"));
  TAPPSYSCommand* slot0 = ring.GetItem(0);
  ring.peekCommand();
  ring.restartBuffer();
  EXPECT_EQ(ring.GetCountPrepared(), 0);
  EXPECT_EQ(ring.peekCommand(), nullptr);
  ASSERT_TRUE(add("c"));
  TAPPSYSCommand* cmd = ring.peekCommand();
  EXPECT_EQ(cmd, slot0);
  EXPECT_EQ(cmd->GetContinuousNr(), 1u);
  EXPECT_EQ(cmd->GetOutString(), "c");
}

TEST(Ring, UninitialisedOrEmptyRingAcceptsNothingAndFlushesSafely) {
  TAPPSYSCommandRingBuffer ring;
  ring.flush();  // never initialised: nothing to free
  EXPECT_FALSE(ring.addCommand("x", {}, {}, {}, true));
  ring.SetInitialCapacity(0);
  ring.initializeBuffer();
  EXPECT_EQ(ring.GetCount(), 0);
  EXPECT_FALSE(ring.addCommand("x", {}, {}, {}, true));
  EXPECT_EQ(ring.peekCommand(), nullptr);
}

TEST(Ring, DerivedRingFillsItsSlotsThroughTheFactory) {
  struct Tagged : TAPPSYSCommand {
    void SetOutString(const std::string& text) override { TAPPSYSCommand::SetOutString("#" + text); }
  };
  struct TaggedRing : TAPPSYSCommandRingBuffer {
    TAPPSYSCommand* createCommand() override { return new Tagged(); }
  };
  TaggedRing ring;
  ring.SetInitialCapacity(4);
  ring.initializeBuffer();
  ring.initializeBuffer();  // rebuilding frees the first pool (checked under ASan)
  EXPECT_EQ(ring.GetCount(), 4);
  ASSERT_TRUE(ring.addCommand("S00", {}, {}, {}, true));
  EXPECT_EQ(ring.peekCommand()->GetOutString(), "#S00");
}

}  // namespace
}  // namespace kavtel
