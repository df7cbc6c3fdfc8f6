// The exchange on its own: each case is a script of events, each event
// with the outbox it must produce. No device, no port, no thread; the time
// is a number the script moves.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "device/exchange.h"
#include "device/wire_frame.h"

namespace kavtel {
namespace {

using Out = TKavtelExchangeOutput;
using std::chrono::milliseconds;

// An outbox as short words; log lines are left out (the device tests read
// the log), everything else is kept in order:
//   "W:<ACK>V00"  a write (frames by their text, checksums cut off)
//   "arm" "disarm" "state:4" "answer:S01=2.5" "nak" "fault"
std::string Summary(const TKavtelOutbox& outbox) {
  std::string s;
  for (const Out& o : outbox) {
    std::string word;
    switch (o.kind) {
      case Out::Kind::write:
        word = "W:";
        for (std::size_t i = 0; i < o.text.size(); ++i) {
          if (o.text[i] == kACK) {
            word += "<ACK>";
          } else if (o.text[i] == kSOH) {
            const std::size_t end = o.text.find(kETB, i);
            word += o.text.substr(i + 1, end - i - 3);  // the text without its checksum
            i = end;
          }
        }
        break;
      case Out::Kind::arm: word = "arm"; break;
      case Out::Kind::disarm: word = "disarm"; break;
      case Out::Kind::state: word = "state:" + std::to_string(o.state); break;
      case Out::Kind::answer: word = "answer:" + o.code + "=" + o.text; break;
      case Out::Kind::nak: word = "nak"; break;
      case Out::Kind::fault: word = "fault"; break;
      case Out::Kind::log:
      case Out::Kind::userLine:
      case Out::Kind::link: continue;
    }
    if (!s.empty()) s += " ";
    s += word;
  }
  return s;
}

// Runs a script; each step is an event and the outbox it must give.
//   "tick"            the polling tick
//   "rx:V00203"       the controller answers with this text (framed here)
//   "rx!:S012.5"      the same answer with a wrong checksum
//   "nak"             a NAK byte
//   "junk"            an ETB with no frame: an unusable frame
//   "late"            the time-out of the latest arm, once it is due
//   "stale"           the time-out of the arm before it, though due
//   "cmd:A003"        a command is queued and the send step runs
//   "stop:U10SP"      a stop is promised (one that starts a stop)
//   "estop"           the emergency stop
//   "trouble" "lost" "back" "close" "closed"
class Script {
 public:
  Script() { ex_.SetAnswerTimeout(milliseconds(1000)); }

  void Step(const std::string& event, const std::string& expected) {
    ex_.Outbox().clear();
    Do(event);
    EXPECT_EQ(Summary(ex_.Outbox()), expected) << "after \"" << event << "\"";
    // The writes went out now: their time-outs start.
    for (const Out& o : ex_.Outbox()) {
      if (o.kind == Out::Kind::arm) {
        previousToken_ = token_;
        token_ = o.token;
        due_ = now_ + milliseconds(o.ms);
        ex_.TimerStarted(o.token, now_);
      }
    }
  }

  void Run(const std::vector<std::pair<std::string, std::string>>& steps) {
    for (const auto& [event, expected] : steps) Step(event, expected);
  }

  TKavtelExchange& Exchange() { return ex_; }

 private:
  void Do(const std::string& e) {
    auto arg = [&](std::size_t from) { return e.substr(from); };
    if (e == "tick") {
      ex_.Tick();
    } else if (e.rfind("rx:", 0) == 0) {
      Receive(BuildFrame(arg(3)));
    } else if (e.rfind("rx!:", 0) == 0) {
      std::string frame = BuildFrame(arg(4));
      frame[frame.size() - 2] = frame[frame.size() - 2] == '0' ? '1' : '0';
      Receive(frame);
    } else if (e == "nak") {
      Receive(std::string(1, kNAK));
    } else if (e == "junk") {
      Receive(std::string("S0") + kETB);
    } else if (e == "late" || e == "stale") {
      now_ = std::max(now_, due_);
      ex_.TimedOut(e == "late" ? token_ : previousToken_, now_);
    } else if (e.rfind("cmd:", 0) == 0) {
      ex_.QueueCommand(arg(4));
      ex_.Post();
    } else if (e.rfind("stop:", 0) == 0) {
      ex_.PromiseStop(arg(5), true);
    } else {
      static const std::map<std::string, std::function<void(TKavtelExchange&)>> kPlain = {
          {"estop", [](TKavtelExchange& x) { x.EmergencyStop(); }},
          {"trouble", [](TKavtelExchange& x) { x.Trouble(); }},
          {"lost", [](TKavtelExchange& x) { x.LineLost(); }},
          {"back", [](TKavtelExchange& x) { x.LineBack(); }},
          {"close", [](TKavtelExchange& x) { x.CloseBegun(); }},
          {"closed", [](TKavtelExchange& x) { x.CloseEnded(); }},
      };
      const auto plain = kPlain.find(e);
      ASSERT_NE(plain, kPlain.end()) << "unknown event " << e;
      plain->second(ex_);
    }
  }

  void Receive(const std::string& bytes) { ex_.Received(bytes.data(), bytes.size()); }

  TKavtelExchange ex_{16};
  TKavtelClock::time_point now_{std::chrono::hours(1)};
  TKavtelClock::time_point due_{};
  std::uint32_t token_ = 0;
  std::uint32_t previousToken_ = 0;
};

struct Case {
  const char* name;
  std::vector<std::pair<std::string, std::string>> steps;
};

// Identifies a generation 2.03 controller and serves its follow-ups.
const std::vector<std::pair<std::string, std::string>> kIdentified = {
    {"tick", "W:V00 arm"},
    {"rx:V00203", "state:0 answer:V00=203 W:<ACK>F0010 arm"},
    {"rx:F0010", "answer:F00=10 W:<ACK>U17 arm"},
    {"rx:U1712C4E6789", "answer:U17=12C4E6789 W:<ACK>Y00 arm"},
    {"rx:Y000", "answer:Y00=0 W:<ACK>S04 arm"},
    {"rx:S046.1", "answer:S04=6.1 W:<ACK>"},
};

std::vector<std::pair<std::string, std::string>> After(
    const std::vector<std::pair<std::string, std::string>>& prefix,
    std::vector<std::pair<std::string, std::string>> rest) {
  rest.insert(rest.begin(), prefix.begin(), prefix.end());
  return rest;
}

const Case kCases[] = {
    {"IdentificationAsksTheFollowUpsOfTheGeneration", kIdentified},
    {"PollingAsksEachCodeOnceUntilItsExchangeEnds",
     After(kIdentified, {
                            {"tick", "W:D00 arm"},  // extended schedule, step 0: D00, T00, J01
                            {"tick", ""},           // D00 still outstanding: S00 only queued
                            {"rx:D00100", "answer:D00=100 W:<ACK>T00 arm"},
                            {"rx:T001:00:00", "answer:T00=1:00:00 W:<ACK>J01 arm"},
                            {"rx:J011.5", "answer:J01=1.5 W:<ACK>S00 arm"},
                            {"rx:S001", "state:1 answer:S00=1 W:<ACK>"},
                        })},
    {"ANakRepeatsTheFrameWithAFreshTokenAndTheOldExpiryIsIgnored",
     {
         {"tick", "W:V00 arm"},
         {"nak", "nak W:V00 arm"},
         {"stale", ""},  // the first write's expiry: the frame was written since
         {"late", "W:V00 arm"},
         {"rx!:V00203", "W:V00 arm"},  // a damaged answer: repeated too
     }},
    {"RepeatsSpentFallIntoTroubleAndTheNextTickIdentifiesAgain",
     {
         {"tick", "W:V00 arm"},
         {"nak", "nak W:V00 arm"},
         {"nak", "nak W:V00 arm"},
         {"nak", "nak W:V00 arm"},
         {"nak", "nak W:V00 arm"},
         {"nak", "nak W:V00 arm"},
         {"nak", "nak disarm state:4"},
         {"tick", "W:V00 arm"},
     }},
    {"AStopGoesAheadOfTheQueueAndAFailedCommandYieldsToIt",
     After(kIdentified, {
                            {"cmd:A003", "W:A003 arm"},
                            {"cmd:S015.00", ""},
                            {"stop:U10SP", ""},  // drops the queued speed, waits for the wire
                            {"nak", "nak W:U10SP arm"},
                            {"rx:U10SP", "answer:U10=SP W:<ACK>"},
                        })},
    {"TroubleKeepsAPromisedStopUntilTheControllerIsIdentified",
     After(kIdentified, {
                            {"trouble", "state:4"},
                            {"stop:U10SP", ""},
                            {"tick", "W:V00 arm"},
                            {"rx:V00203", "state:0 answer:V00=203 W:<ACK>U10SP arm"},
                        })},
    {"AnUnusableFrameOrAnUnreadableValueIsAFault",
     After(kIdentified, {
                            {"tick", "W:D00 arm"},
                            {"junk", "fault disarm state:4"},
                            {"tick", "W:V00 arm"},
                            {"rx:V00203", "state:0 answer:V00=203 W:<ACK>F0010 arm"},
                            {"rx:S01fast", "disarm state:4 W:<ACK>"},
                        })},
    {"ALostLineWritesNothingUntilItIsBackAndOwesNoAcknowledgement",
     After(kIdentified, {
                            {"tick", "W:D00 arm"},
                            {"lost", "state:4 disarm"},
                            {"rx:D00100", ""},
                            {"tick", ""},
                            {"stop:U10SP", ""},
                            {"back", ""},
                            {"tick", "W:V00 arm"},
                            {"rx:V00203", "state:0 answer:V00=203 W:<ACK>U10SP arm"},
                        })},
    {"TheCloseSendsTheWholeStopGroupInOrderAndSkipsASpentFrame",
     After(kIdentified, {
                            {"cmd:S015.00", "W:S015.00 arm"},
                            {"rx:S015.00", "answer:S01=5.00 W:<ACK>"},
                            {"close", "W:A003 arm"},
                            {"rx:A003", "answer:A00=3 W:<ACK>S020.00 arm"},
                            {"late", "W:S020.00 arm"},
                            {"late", "W:S020.00 arm"},
                            {"late", "W:S020.00 arm"},
                            {"late", "W:S020.00 arm"},
                            {"late", "W:S020.00 arm"},
                            {"late", "W:U10SP arm"},  // spent: skipped, the group goes on
                            {"rx:U10SP", "answer:U10=SP W:<ACK>U10SR arm"},
                            {"rx:U10SR", "answer:U10=SR W:<ACK>"},
                            {"closed", "disarm"},
                        })},
    {"ABeltKnownToStandNeedsNoStopAtTheClose",
     After(kIdentified, {
                            {"tick", "W:D00 arm"},
                            {"rx:D00100", "answer:D00=100 W:<ACK>T00 arm"},
                            {"rx:T001:00:00", "answer:T00=1:00:00 W:<ACK>J01 arm"},
                            {"rx:J011.5", "answer:J01=1.5 W:<ACK>"},
                            {"tick", "W:D00 arm"},  // and S00, the next step's new query
                            {"rx:D00100", "answer:D00=100 W:<ACK>S00 arm"},
                            {"rx:S000", "state:0 answer:S00=0 W:<ACK>"},
                            {"close", ""},
                        })},
    {"TheEmergencyStopDropsQueuedCommandsAndSendsTheGroup",
     After(kIdentified, {
                            {"cmd:S015.00", "W:S015.00 arm"},
                            {"cmd:E015.0", ""},
                            {"estop", ""},
                            {"rx:S015.00", "answer:S01=5.00 W:<ACK>A003 arm"},
                        })},
};

class ExchangeScript : public ::testing::TestWithParam<Case> {};

TEST_P(ExchangeScript, EachEventGivesItsOutbox) {
  Script().Run(GetParam().steps);
}

INSTANTIATE_TEST_SUITE_P(Scripts, ExchangeScript, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The close's result: confirmed only when the confirming stop frames were
// answered, and everything is forgotten at its end.
TEST(Exchange, TheCloseConfirmsTheStopOnlyWhenItsFramesWereAnswered) {
  Script script;
  script.Run(After(kIdentified, {
                                    {"cmd:S015.00", "W:S015.00 arm"},
                                    {"rx:S015.00", "answer:S01=5.00 W:<ACK>"},
                                    {"close", "W:A003 arm"},
                                    {"lost", "state:4 disarm"},
                                }));
  EXPECT_FALSE(script.Exchange().StopConfirmed());
  EXPECT_EQ(script.Exchange().PromisedStops(), 4u);  // the whole group, none of it answered
  script.Step("closed", "disarm");
  EXPECT_EQ(script.Exchange().PromisedStops(), 0u);
  EXPECT_TRUE(script.Exchange().Idle());

  Script answered;
  answered.Run(After(kIdentified, {
                                      {"estop", "W:A003 arm"},
                                      {"rx:A003", "answer:A00=3 W:<ACK>S020.00 arm"},
                                      {"rx:S020.00", "answer:S02=0.00 W:<ACK>U10SP arm"},
                                      {"rx:U10SP", "answer:U10=SP W:<ACK>U10SR arm"},
                                  }));
  EXPECT_FALSE(answered.Exchange().StopConfirmed());  // the release is still out
  answered.Step("rx:U10SR", "answer:U10=SR W:<ACK>");
  EXPECT_TRUE(answered.Exchange().StopConfirmed());
}

// A host reads the controller state and the link without a lock, so the
// order they change in is what it can see: identified before "stop",
// "detecting" before lost, identifying again before "detecting".
TEST(Exchange, TheLinkAndTheStateChangeInAnOrderAHostCanTrust) {
  auto order = [](const TKavtelOutbox& outbox) {
    std::string s;
    for (const Out& o : outbox) {
      if (o.kind == Out::Kind::state) s += "state:" + std::to_string(o.state) + " ";
      if (o.kind == Out::Kind::link) s += o.lost ? "lost " : o.identifying ? "identifying " : "ok ";
    }
    return s;
  };
  TKavtelExchange ex;
  ex.Tick();
  ex.Outbox().clear();
  const std::string version = BuildFrame("V00203");
  ex.Received(version.data(), version.size());
  EXPECT_EQ(order(ex.Outbox()), "ok state:0 ");
  ex.Outbox().clear();
  ex.Trouble();
  EXPECT_EQ(order(ex.Outbox()), "identifying state:4 ");
  ex.Outbox().clear();
  ex.LineLost();
  EXPECT_EQ(order(ex.Outbox()), "state:4 lost ");
}

}  // namespace
}  // namespace kavtel
