// The device when its line goes, on a fake comm device: the test drives the
// polling step itself, so the reopen attempts happen exactly when it says.
#include <chrono>

#include "device_fixture.h"

namespace kavtel::test {
namespace {

class LinkState : public DeviceFixture {
 protected:
  void SetLine(bool fails) {
    std::lock_guard<std::mutex> hold(comm->lock);
    comm->writeFails = fails;
  }
  int Opens() {
    int n = 0;
    for (const auto& call : comm->Calls()) n += call.rfind("Open(", 0) == 0 ? 1 : 0;
    return n;
  }
};

// The acknowledgement is the write that finds the line gone: the answer it
// acknowledged must not bring a state back to the host, which reads
// "detecting" from the loss on.
TEST_F(LinkState, AnAnswerWhoseAcknowledgementFailsLeavesTheDeviceDetecting) {
  identify("224");
  ASSERT_EQ(dev.GetLinkState(), klOk);
  SetLine(true);
  answer("S00", "1");  // "running", arriving as the cable goes
  EXPECT_EQ(dev.GetLinkState(), klLost);
  EXPECT_EQ(dev.GetControllerState(), ioDetecting);
  EXPECT_TRUE(dev.GetAwaitingIdentification());
  // Bytes that still arrive belong to no exchange.
  answer("V00", "224");
  EXPECT_EQ(dev.GetControllerState(), ioDetecting);
  EXPECT_EQ(dev.GetLinkState(), klLost);
}

// A port that opens but cannot be written (a half-dead adapter) is tried
// again once a second of the device's clock, not at every tick of the cycle.
TEST_F(LinkState, APortThatOpensButCannotBeWrittenIsRetriedOnlyOnceASecond) {
  identify("224");
  SetLine(true);
  const int before = Opens();
  dev.GetParameter();  // the poll's write fails: the line is lost
  ASSERT_EQ(dev.GetLinkState(), klLost);
  // The first attempt at once; it opens, and its version query fails again.
  for (int tick = 0; tick < 20; ++tick) dev.GetParameter();
  EXPECT_EQ(Opens() - before, 1);
  EXPECT_EQ(dev.GetLinkState(), klLost);
  clock.Advance(std::chrono::milliseconds(999));
  for (int tick = 0; tick < 5; ++tick) dev.GetParameter();
  EXPECT_EQ(Opens() - before, 1) << "tried again before a second had passed";
  clock.Advance(std::chrono::milliseconds(1));
  dev.GetParameter();
  EXPECT_EQ(Opens() - before, 2) << "not tried again once a second had passed";

  SetLine(false);
  clock.Advance(std::chrono::milliseconds(1000));
  dev.GetParameter();
  ASSERT_EQ(dev.GetLinkState(), klIdentifying);
  // Back: the version query is the first thing on the new line.
  const auto sent = take();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(Text(sent.front()), "V00");
}

}  // namespace
}  // namespace kavtel::test
