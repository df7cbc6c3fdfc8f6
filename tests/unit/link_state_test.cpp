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
// again about once a second, not at every tick of the cycle.
TEST_F(LinkState, APortThatOpensButCannotBeWrittenIsRetriedOnlyOnceASecond) {
  identify("224");
  SetLine(true);
  const int before = Opens();
  const auto start = std::chrono::steady_clock::now();
  dev.GetParameter();  // the poll's write fails: the line is lost
  ASSERT_EQ(dev.GetLinkState(), klLost);
  for (int tick = 0; tick < 20; ++tick) dev.GetParameter();
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
  // The first attempt at once, then one for every second that passed.
  EXPECT_GE(Opens() - before, 1);
  EXPECT_LE(Opens() - before, 1 + static_cast<int>(seconds) + 1);
  EXPECT_EQ(dev.GetLinkState(), klLost);

  SetLine(false);
  ASSERT_TRUE(WaitUntil([&] {
    dev.GetParameter();
    return dev.GetLinkState() == klIdentifying;
  }));
  // Back: the version query is the first thing on the new line.
  const auto sent = take();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(Text(sent.front()), "V00");
}

}  // namespace
}  // namespace kavtel::test
