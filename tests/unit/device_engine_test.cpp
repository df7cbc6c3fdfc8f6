// The device's protocol engine on a fake line: framing, the send step,
// the receive path with its repeats and recovery, and the close.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "device_fixture.h"

namespace kavtel::test {
namespace {

using Written = std::vector<std::string>;
const std::string kSoh(1, kSOH), kEtb(1, kETB), kNak(1, kNAK);

TEST(WireFrame, ChecksumIsTheByteSumModuloHundredInTwoDigits) {
  EXPECT_EQ(BuildFrame("S00"), std::string("\x01S0079\x17"));
  EXPECT_EQ(BuildFrame(""), std::string("\x01" "00\x17"));
  // 'z' + 'z' + 'm' = 122 + 122 + 109 = 353 -> "53"; 0x97 counts as 151 unsigned.
  EXPECT_EQ(BuildFrame("zzm"), std::string("\x01zzm53\x17"));
  EXPECT_EQ(FrameChecksum(std::string("\x97\x9A", 2)), (151 + 154) % 100);  // 305 -> 5
  EXPECT_EQ(BuildFrame(std::string("\x97\x9A", 2)), std::string("\x01\x97\x9A" "05\x17"));
}

class EngineTest : public DeviceFixture {
 protected:
  // Answers the next `count` frames that reach the line from now on, from
  // another thread, as the serial event thread delivers answers.
  std::thread AnswerFrames(int count) {
    std::size_t start;
    {
      std::lock_guard<std::mutex> hold(comm->lock);
      start = comm->written.size();
    }
    return std::thread([this, count, start] {
      std::size_t seen = start;
      for (int answered = 0; answered < count;) {
        std::string fresh;
        {
          std::lock_guard<std::mutex> hold(comm->lock);
          fresh = comm->written.substr(seen);
        }
        const std::size_t end = fresh.find(kETB);
        if (end == std::string::npos) {
          std::this_thread::yield();
          continue;
        }
        seen += end + 1;
        answer("S02");
        ++answered;
      }
    });
  }

  Written FramesOnTheLine() {
    Written frames;
    for (const auto& t : written()) {
      if (t != "<ACK>") frames.push_back(Text(t));
    }
    return frames;
  }
};

TEST_F(EngineTest, FreshDeviceHasItsDefaultsAndNoConnection) {
  TKavtelDevice fresh;
  EXPECT_EQ(fresh.GetAnswerCount(), 17u);
  EXPECT_EQ(fresh.GetMaxRepeats(), 5);
  EXPECT_EQ(fresh.GetRNXCycleTime(), 250u);
  EXPECT_EQ(fresh.GetRNXTimeoutInterval(), 1000u);
  EXPECT_EQ(fresh.GetRNXFailSafe(), 10u);
  EXPECT_EQ(fresh.GetProtocolmode(), apmOFF);
  EXPECT_EQ(fresh.GetPort(), nullptr);
  EXPECT_FALSE(fresh.HasThreads());
  ASSERT_NE(fresh.FindAnswer("s01"), nullptr);  // look-up ignores letter case
  EXPECT_EQ(fresh.FindAnswer("X99"), nullptr);
}

TEST_F(EngineTest, OpenIdentifiesWithTheVersionQueryAndRepeatsItUntilAnswered) {
  open();
  EXPECT_EQ(dev.GetControllerState(), ioDetecting);
  EXPECT_TRUE(dev.HasThreads());
  EXPECT_EQ(take(), (Written{"V0082"}));
  dev.GetParameter();  // in flight: nothing more
  EXPECT_EQ(take(), Written{});
  dev.SetInTrouble();  // say the query was lost and given up
  dev.GetParameter();
  EXPECT_EQ(take(), (Written{"V0082"}));
  answer("V00", "203");
  EXPECT_EQ(dev.GetControllerState(), ioStop);
  EXPECT_EQ(dev.GetVersionText(), "203");
  // Acknowledged, then the follow-ups leave one per answer.
  EXPECT_EQ(take(), (Written{"<ACK>", Body("F0010")}));
}

TEST_F(EngineTest, OpeningAMissingPortLeavesTheDeviceOffWithNothingBehind) {
  comm->openOk = false;
  dev.SetIOOpen(true);
  EXPECT_EQ(dev.GetControllerState(), ioOff);
  EXPECT_EQ(dev.GetPort(), nullptr);
  EXPECT_FALSE(dev.HasThreads());
}

TEST_F(EngineTest, AConfigurationFailureWhileOpeningFreesThePortAndReportsOff) {
  comm->failCall = "SetState";
  dev.SetIOOpen(true);
  EXPECT_EQ(dev.GetControllerState(), ioOff);
  EXPECT_FALSE(dev.GetIOOpen());
  EXPECT_EQ(dev.GetPort(), nullptr);
  EXPECT_FALSE(dev.HasThreads());
}

TEST_F(EngineTest, ControlCommandsLeaveBeforeRequestsOneFrameInFlight) {
  identify("203");
  dev.sendinfouqs("D00");
  dev.senduqs("A003");
  dev.postCommands();
  dev.postCommands();  // one frame in flight: the second call sends nothing
  EXPECT_EQ(take(), (Written{Body("A003")}));
  answer("A00", "3");
  EXPECT_EQ(take(), (Written{"<ACK>", "D0064"}));
  // sendinfomqs with the ready-made checksum puts the same bytes on the line.
  answer("D00", "5");
  take();
  dev.sendinfomqs("D0064");
  dev.postCommands();
  EXPECT_EQ(take(), (Written{"D0064"}));
}

TEST_F(EngineTest, NakAndBadChecksumRepeatTheFrameUntilTroubleOnTheSixthFailure) {
  identify("203");
  dev.sendinfouqs("S00");
  dev.senduqs("E0310.0");
  dev.postCommands();
  EXPECT_EQ(take(), (Written{Body("E0310.0")}));
  deliver(kNak);
  EXPECT_EQ(dev.Inspect().repeatCount, 1);
  EXPECT_EQ(dev.GetRNXErrRepeatCounter(), 1);
  // 01 53 30 30 30 32 38 17: a status answer with a wrong checksum.
  deliver(std::string("\x01S00028\x17"));
  EXPECT_EQ(take(), (Written{Body("E0310.0"), Body("E0310.0")}));
  for (int i = 3; i <= 5; ++i) deliver(kNak);
  EXPECT_EQ(dev.Inspect().repeatCount, 5);
  EXPECT_EQ(take().size(), 3u);  // sent six times in all
  deliver(kNak);                 // the sixth failure gives up
  EXPECT_EQ(dev.GetControllerState(), ioDetecting);
  EXPECT_TRUE(dev.GetAwaitingIdentification());
  EXPECT_EQ(dev.Inspect().queuedCommands, 0);
  EXPECT_EQ(dev.Inspect().queuedRequests, 0);  // the waiting status query went too
  EXPECT_FALSE(dev.Inspect().pending);
  EXPECT_EQ(take(), Written{});
}

TEST_F(EngineTest, TimeoutsRepeatOnlyTheirOwnFrameThenGiveUp) {
  identify("203");
  dev.senduqs("A003");
  dev.postCommands();
  take();
  ASSERT_TRUE(dev.Inspect().pending);
  dev.TimeoutHandler(424242);  // a late time-out of another frame
  EXPECT_EQ(take(), Written{});
  EXPECT_EQ(dev.Inspect().repeatCount, 0);
  const std::uint32_t id = dev.Inspect().lastCommandID;  // the number the watchdog was armed with
  dev.TimeoutHandler(id);
  EXPECT_EQ(take(), (Written{Body("A003")}));
  for (int i = 2; i <= 5; ++i) dev.TimeoutHandler(id);
  EXPECT_EQ(dev.Inspect().repeatCount, 5);
  dev.TimeoutHandler(id);
  EXPECT_EQ(dev.GetControllerState(), ioDetecting);
  EXPECT_FALSE(dev.Inspect().pending);
}

// The shared group takes an expired alarm and hands it to the watchdog;
// before the watchdog runs, a NAK makes the device write the frame again,
// under the same number. That expiry must not count for the repeat: one
// NAK, one more write, and the repeat gets a full time-out of its own.
TEST_F(EngineTest, AnExpiryTakenBeforeANakRepeatDoesNotSendTheFrameAgain) {
  identify("203");
  dev.senduqs("A003");
  dev.postCommands();
  take();
  const std::uint32_t first = dev.Inspect().timerToken;
  ASSERT_NE(first, 0u);
  clock.Advance(std::chrono::hours(1));  // the fixture's answer time-out: due
  deliver(kNak);
  EXPECT_EQ(take(), (Written{Body("A003")}));  // the NAK's repeat
  dev.AnswerTimedOut(first);                   // the expiry handed on before it
  EXPECT_EQ(take(), Written{});
  EXPECT_EQ(dev.Inspect().repeatCount, 1);
  const std::uint32_t second = dev.Inspect().timerToken;
  dev.AnswerTimedOut(second);  // not due yet on the device's clock
  EXPECT_EQ(take(), Written{});
  clock.Advance(std::chrono::hours(1));
  dev.AnswerTimedOut(first);  // stale even now that the repeat is due
  EXPECT_EQ(take(), Written{});
  EXPECT_EQ(dev.Inspect().repeatCount, 1);
  dev.AnswerTimedOut(second);
  EXPECT_EQ(take(), (Written{Body("A003")}));
  EXPECT_EQ(dev.Inspect().repeatCount, 2);
  // An answer ends the exchange: its expiry, however late, sends nothing.
  const std::uint32_t third = dev.Inspect().timerToken;
  answer("A00", "3");
  take();  // its acknowledgement
  clock.Advance(std::chrono::hours(1));
  dev.AnswerTimedOut(third);
  EXPECT_EQ(take(), Written{});
  EXPECT_FALSE(dev.Inspect().pending);
}

TEST_F(EngineTest, ReceivePathAssemblesFramesWhateverTheChunking) {
  identify("203");
  dev.sendinfouqs("S00");
  dev.postCommands();
  take();
  // 01 53 30 30 30 32 37 17 is a valid status answer (payload 0,
  // 'S'+'0'+'0'+'0' = 227); with 38 in place of 37 it is damaged and the
  // query goes out again.
  deliver(std::string("\x01S00038\x17"));
  EXPECT_EQ(take(), (Written{"S0079"}));
  // Stray bytes before SOH are dropped, and a frame split over two chunks
  // is handled when its end arrives.
  deliver("xx\x7F" + kSoh + "S0");
  EXPECT_EQ(take(), Written{});
  deliver("127" + kEtb);  // payload 1: 228 -> "28" expected, "27" sent: damaged
  EXPECT_EQ(take(), (Written{"S0079"}));
  deliver("junk\x02" + BuildFrame("S001"));
  EXPECT_EQ(take(), (Written{"<ACK>"}));
  EXPECT_EQ(dev.GetControllerState(), ioRun);
}

TEST_F(EngineTest, AnAnswersAckLeavesWithTheNextFrameInOneWrite) {
  identify("203");
  dev.sendinfouqs("S00");
  dev.sendinfouqs("D00");
  dev.postCommands();
  take();
  auto writes = [&] {
    std::lock_guard<std::mutex> hold(comm->lock);
    return comm->writeCalls;
  };
  const std::size_t before = writes();
  answer("S00", "2");  // the distance query follows: ACK first, one write
  EXPECT_EQ(take(), (Written{"<ACK>", "D0064"}));
  EXPECT_EQ(writes() - before, 1u);
  answer("D00", "123");  // nothing follows: the ACK alone, at once
  EXPECT_EQ(take(), (Written{"<ACK>"}));
  EXPECT_EQ(writes() - before, 2u);
}

TEST_F(EngineTest, AChecksumWithASignIsDamaged) {
  identify("203");
  dev.sendinfouqs("Z00");
  dev.postCommands();
  EXPECT_EQ(take(), (Written{"Z0086"}));
  // "Z0099" sums to 300: its checksum is "00"; "+0" and "-0" read as the
  // number 0 but are no two digits, so the query goes out again.
  for (const char* sign : {"+0", "-0"}) {
    deliver(std::string("\x01Z0099") + sign + kEtb);
    EXPECT_EQ(take(), (Written{"Z0086"})) << sign;
  }
  EXPECT_EQ(dev.GetErrorCode(), 0);
  deliver(BuildFrame("Z0099"));
  EXPECT_EQ(take(), (Written{"<ACK>"}));
  EXPECT_EQ(dev.GetErrorCode(), 99);
}

TEST_F(EngineTest, TwoFramesInOneChunkAreBothHandledAndTheSendStepFollowsTheSecond) {
  identify("203");
  dev.sendinfouqs("S00");
  dev.sendinfouqs("D00");
  dev.sendinfouqs("T00");
  dev.postCommands();
  take();
  deliver(BuildFrame("S002") + BuildFrame("D00123"));
  // Both acknowledged; the first answer completed the status query, the
  // second answered nothing pending; only then the next query leaves.
  EXPECT_EQ(take(), (Written{"<ACK>", "<ACK>", "D0064"}));
  EXPECT_EQ(dev.GetControllerState(), ioPause);
  EXPECT_EQ(dev.GetDistance(), 123);
}

TEST_F(EngineTest, UnknownCodesAreAcknowledgedAndCompleteTheCommand) {
  identify("203");
  dev.senduqs("S022.50");
  dev.sendinfouqs("S00");
  dev.postCommands();
  take();
  answer("S02", "");  // no decoder for the set-speed answer
  EXPECT_EQ(take(), (Written{"<ACK>", "S0079"}));
}

TEST_F(EngineTest, AFrameEndWithoutStartIsAFault) {
  identify("203");
  deliver("S0079" + kEtb);
  EXPECT_EQ(dev.GetRNXErrCommandCounter(), 1);
  EXPECT_EQ(dev.GetControllerState(), ioDetecting);
}

TEST_F(EngineTest, OverlongTextWithoutFrameEndIsAFaultAndMemoryStaysBounded) {
  identify("203");
  deliver(std::string(102, 'x'));
  EXPECT_EQ(dev.GetControllerState(), ioStop);  // 102 characters are still allowed
  deliver("y");
  EXPECT_EQ(dev.GetControllerState(), ioDetecting);
  // A flood far beyond any frame: handled in one piece, nothing is written,
  // and a frame after the next frame end is read again as usual.
  dev.updateControllerState(ioStop);
  deliver(std::string(1 << 20, 'z'));
  EXPECT_EQ(dev.GetControllerState(), ioDetecting);
  deliver(kNak);  // a frame end clears the collected text
  dev.GetParameter();
  take();
  answer("V00", "203");
  EXPECT_EQ(dev.GetControllerState(), ioStop);
}

TEST_F(EngineTest, AFullQueueRefusesInsteadOfOverwriting) {
  identify("203");
  dev.senduqs("A001");
  dev.postCommands();  // A001 is now in flight
  take();
  int accepted = 0;
  while (dev.senduqs("E030.0")) ++accepted;
  EXPECT_EQ(accepted, 255);
  EXPECT_FALSE(dev.DoChangeSpeed(2.5L));  // the refusal reaches the caller
  EXPECT_FALSE(dev.DoChangeElevation(1));
  answer("A00", "1");
  EXPECT_EQ(take(), (Written{"<ACK>", Body("E030.0")}));  // the queued one, not a speed
}

TEST_F(EngineTest, ClosingDropsWhatIsQueuedAndAReopenStartsClean) {
  identify("123");  // generation 1
  answer("S00", "0");  // the belt is known to stand: no stop group at close
  dev.senduqs("A001");
  dev.senduqs("E031.0");
  dev.SetIOOpen(false);
  EXPECT_EQ(dev.GetControllerState(), ioOff);
  EXPECT_EQ(dev.GetPort(), nullptr);
  EXPECT_FALSE(dev.HasThreads());
  take();
  open();
  EXPECT_EQ(take(), (Written{"V0082"}));  // nothing from before the close
}

TEST_F(EngineTest, ClosingARunningBeltSendsTheStopGroupFirstAndAwaitsIt) {
  identify("224");
  answer("S00", "1");  // status: running (unsolicited answers are accepted)
  ASSERT_EQ(dev.GetControllerState(), ioRun);
  dev.senduqs("U10+P");
  dev.sendinfouqs("D00");
  take();
  std::thread treadmill = AnswerFrames(4);
  dev.SetIOOpen(false);
  treadmill.join();
  EXPECT_EQ(FramesOnTheLine(), (Written{"A003", "S020.00", "U10SP", "U10SR"}));
  EXPECT_EQ(dev.GetControllerState(), ioOff);
}

TEST_F(EngineTest, AnUnansweredPollDoesNotHoldTheStopGroupBackAtClose) {
  identify("224");
  answer("S00", "1");
  ASSERT_EQ(dev.GetControllerState(), ioRun);
  dev.sendinfouqs("D00");
  dev.postCommands();  // a poll in flight that the treadmill will never answer
  std::thread closer([&] { dev.SetIOOpen(false); });
  ASSERT_TRUE(WaitUntil([&] { return dev.Inspect().promisedStops == 4; }));  // the stop group waits
  std::thread treadmill = AnswerFrames(4);
  dev.TimeoutHandler(dev.Inspect().lastCommandID);  // the poll's time-out: given up, not repeated
  treadmill.join();
  closer.join();
  EXPECT_EQ(FramesOnTheLine(), (Written{"D00", "A003", "S020.00", "U10SP", "U10SR"}));
}

}  // namespace
}  // namespace kavtel::test
