// The flat API of libkavtel.so against the virtual treadmill on real
// pseudo-terminals: admission and result codes, the generation rule, what
// the setters and keys send, and the faults the flat layer must not have.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <stdlib.h>
#include <unistd.h>
#include <string>

#include "kavtel/kavtel.h"
#include "sim_port.h"
#include "support/temp_folder.h"
#include "support/wait_until.h"

extern "C" int kavtel_c_header_bad_index(void);
extern "C" int kavtel_c_header_constants_hold(void);

namespace kavtel::test {
namespace {

using namespace std::chrono_literals;

constexpr double kUntouched = -123.5;

bool Identified(int index) {
  return WaitUntil([&] { return isvalidKavtelDevice(index) == KAVTEL_OK; });
}

bool Running(int index) {
  int state = -1;
  return WaitUntil(
      [&] { return kavtelgetStatus(index, &state) == KAVTEL_OK && state == KAVTEL_STATE_RUN; });
}

bool PayloadIs(sim::Simulator& sim, const char* code, const std::string& payload) {
  return sim.WaitFor([&] { return sim.LastPayload(code) == payload; });
}

TEST(FlatApi, HeaderIsUsableFromC) {
  EXPECT_EQ(kavtel_c_header_bad_index(), KAVTEL_BAD_INDEX);
  EXPECT_TRUE(kavtel_c_header_constants_hold());
}

TEST(FlatApi, IndicesWithoutASlotOrNeverOpenedAreRejected) {
  double v = kUntouched;
  for (int index : {0, -1, 7, 64, 65}) {
    SCOPED_TRACE(index);
    EXPECT_EQ(isvalidKavtelDevice(index), KAVTEL_BAD_INDEX);
    EXPECT_EQ(kavtelgetSpeed(index, &v), KAVTEL_BAD_INDEX);
    EXPECT_EQ(kavtelsetSpeed(index, 1.0), KAVTEL_BAD_INDEX);
  }
  // A slot never opened: its connection still carries port number 0.
  EXPECT_EQ(kavtelgetSpeed(1, &v), KAVTEL_BAD_INDEX);
  EXPECT_EQ(kavtelKeyPressStart(1, 1), KAVTEL_BAD_INDEX);
  EXPECT_EQ(v, kUntouched);

  for (int index : {0, -1, 65, 1000}) {
    SCOPED_TRACE(index);
    EXPECT_EQ(kavtelopenPort(index), KAVTEL_BAD_INDEX);
    EXPECT_EQ(kavtelclosePort(index), KAVTEL_BAD_INDEX);
  }
  EXPECT_EQ(kavtelclosePort(1), KAVTEL_NOT_OPEN);
}

TEST(FlatApi, PortThatCannotOpenGivesNotOpen) {
  setenv("KAVTEL_COM5", "/nonexistent/kavtel-port", 1);
  EXPECT_EQ(kavtelopenPort(5), KAVTEL_NOT_OPEN);
  // The slot was opened under 5 but is not open.
  EXPECT_EQ(isvalidKavtelDevice(5), KAVTEL_NOT_OPEN);
  EXPECT_EQ(kavtelclosePort(5), KAVTEL_NOT_OPEN);
  unsetenv("KAVTEL_COM5");
}

TEST(FlatApi, DetectingUntilIdentifiedThenOkThenNotOpenAfterClose) {
  sim::Options silent;
  silent.faults.drop_every = 1;  // a treadmill that does not answer yet
  SimPort port(2, silent);

  ASSERT_EQ(kavtelopenPort(2), KAVTEL_OK);
  double v = kUntouched;
  int state = -1;
  // Without the version answer the device stays in detection.
  const auto quietEnd = std::chrono::steady_clock::now() + 400ms;
  while (std::chrono::steady_clock::now() < quietEnd) {
    ASSERT_EQ(isvalidKavtelDevice(2), KAVTEL_DETECTING);
    ASSERT_EQ(kavtelgetSpeed(2, &v), KAVTEL_DETECTING);
    ASSERT_EQ(kavtelsetSpeed(2, 1.0), KAVTEL_DETECTING);
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(v, kUntouched);
  // The line state answers while detecting: a line, no controller yet.
  int link = -1;
  EXPECT_EQ(kavtelgetLinkState(2, &link), KAVTEL_OK);
  EXPECT_EQ(link, KAVTEL_LINK_IDENTIFYING);
  EXPECT_EQ(kavtelgetLinkState(2, nullptr), KAVTEL_ERROR);

  port.sim().SetFaults({});
  ASSERT_TRUE(Identified(2));
  EXPECT_EQ(kavtelgetLinkState(2, &link), KAVTEL_OK);
  EXPECT_EQ(link, KAVTEL_LINK_OK);
  EXPECT_EQ(kavtelgetStatus(2, &state), KAVTEL_OK);
  EXPECT_EQ(state, KAVTEL_STATE_STOP);
  EXPECT_EQ(kavtelgetSpeed(2, &v), KAVTEL_OK);
  EXPECT_EQ(v, 0.0);

  // Readers admit indices 1 to 6 only, even for an open port.
  SimPort seventh(7);
  EXPECT_EQ(kavtelopenPort(7), KAVTEL_OK);
  v = kUntouched;
  EXPECT_EQ(kavtelgetSpeed(7, &v), KAVTEL_BAD_INDEX);
  EXPECT_EQ(kavtelgetLinkState(7, &link), KAVTEL_BAD_INDEX);
  EXPECT_EQ(v, kUntouched);
  EXPECT_EQ(kavtelclosePort(7), KAVTEL_OK);

  EXPECT_EQ(kavtelclosePort(2), KAVTEL_OK);
  EXPECT_EQ(kavtelgetSpeed(2, &v), KAVTEL_NOT_OPEN);
  EXPECT_EQ(kavtelgetLinkState(2, &link), KAVTEL_NOT_OPEN);
  EXPECT_EQ(v, kUntouched);
  EXPECT_EQ(kavtelclosePort(2), KAVTEL_NOT_OPEN);
  EXPECT_EQ(port.sim().GetCounters().Violations(), 0u);
}

// COM7 and COM64 after the host opts in to the whole table: readers,
// setters and keys reach them; opted out again, the first hosts' range is
// back.
TEST(FlatApi, OptingInToAllPortsAdmitsIndicesAboveSix) {
  struct OptOutAtEnd {
    ~OptOutAtEnd() { kavtelsetAllPorts(0); }
  } optOut;
  for (int index : {7, 64}) {
    SCOPED_TRACE(index);
    SimPort port(index, SimPort::WithVersion("224"));
    ASSERT_EQ(kavtelopenPort(index), KAVTEL_OK);
    double speed = kUntouched;
    EXPECT_EQ(kavtelgetSpeed(index, &speed), KAVTEL_BAD_INDEX);
    EXPECT_EQ(kavtelsetSpeed(index, 1.0), KAVTEL_BAD_INDEX);
    // Refused without touching the value, and not even admitted as valid.
    EXPECT_EQ(speed, kUntouched);
    EXPECT_EQ(isvalidKavtelDevice(index), KAVTEL_BAD_INDEX);

    EXPECT_EQ(kavtelsetAllPorts(1), KAVTEL_OK);
    ASSERT_TRUE(Identified(index));
    EXPECT_EQ(kavtelgetSpeed(index, &speed), KAVTEL_OK);
    EXPECT_EQ(speed, 0.0);
    EXPECT_EQ(kavtelsetSpeed(index, 1.5), KAVTEL_OK);
    EXPECT_TRUE(PayloadIs(port.sim(), "S02", "1.50"));
    EXPECT_EQ(kavtelKeyPressStop(index, 1), KAVTEL_OK);
    EXPECT_TRUE(PayloadIs(port.sim(), "U10", "SP"));
    int link = -1;
    EXPECT_EQ(kavtelgetLinkState(index, &link), KAVTEL_OK);
    EXPECT_EQ(link, KAVTEL_LINK_OK);

    EXPECT_EQ(kavtelsetAllPorts(0), KAVTEL_OK);
    speed = kUntouched;
    EXPECT_EQ(isvalidKavtelDevice(index), KAVTEL_BAD_INDEX);
    EXPECT_EQ(kavtelgetSpeed(index, &speed), KAVTEL_BAD_INDEX);
    EXPECT_EQ(kavtelsetSpeed(index, 2.0), KAVTEL_BAD_INDEX);
    EXPECT_EQ(speed, kUntouched);
    EXPECT_EQ(kavtelclosePort(index), KAVTEL_OK);
    EXPECT_EQ(port.sim().GetCounters().Violations(), 0u);
  }
  // The whole table, but no further.
  kavtelsetAllPorts(1);
  EXPECT_EQ(kavtelgetSpeed(65, nullptr), KAVTEL_BAD_INDEX);
}

// A pulled cable: the line state says lost at once and every reader says
// detecting instead of the last values; back behind the same path, the
// controller is identified again and the values come back.
TEST(FlatApi, PulledCableIsLostForReadersUntilTheLineComesBack) {
  const test::TempFolder folder("api-link");  // outlives the port and its link
  ASSERT_FALSE(folder.Path().empty());
  const std::string link = folder.Path() + "/ttyTREADMILL";
  sim::Options options;
  options.link_path = link;
  SimPort port(3, options);
  setenv("KAVTEL_COM3", link.c_str(), 1);  // the adapter's stable name

  ASSERT_EQ(kavtelopenPort(3), KAVTEL_OK);
  ASSERT_TRUE(Identified(3));
  ASSERT_EQ(kavtelsetSpeed(3, 1.0), KAVTEL_OK);
  ASSERT_TRUE(Running(3));

  port.sim().HangUp();
  int link_state = -1;
  ASSERT_TRUE(WaitUntil([&] {
    return kavtelgetLinkState(3, &link_state) == KAVTEL_OK && link_state == KAVTEL_LINK_LOST;
  }));
  double v = kUntouched;
  int state = -1;
  EXPECT_EQ(isvalidKavtelDevice(3), KAVTEL_DETECTING);
  EXPECT_EQ(kavtelgetSpeed(3, &v), KAVTEL_DETECTING);
  EXPECT_EQ(kavtelgetStatus(3, &state), KAVTEL_DETECTING);
  EXPECT_EQ(kavtelsetSpeed(3, 2.0), KAVTEL_DETECTING);
  EXPECT_EQ(v, kUntouched);

  port.sim().Replug();
  ASSERT_TRUE(Identified(3));
  EXPECT_EQ(kavtelgetLinkState(3, &link_state), KAVTEL_OK);
  EXPECT_EQ(link_state, KAVTEL_LINK_OK);
  EXPECT_EQ(kavtelgetSpeed(3, &v), KAVTEL_OK);
  int confirmed = -1;
  EXPECT_EQ(kavtelclosePortEx(3, &confirmed), KAVTEL_OK);
  EXPECT_EQ(confirmed, 1);
  EXPECT_EQ(port.sim().GetCounters().Violations(), 0u);
}

TEST(FlatApi, NullOutPointerIsAnErrorAndNothingIsWritten) {
  SimPort port(3);
  ASSERT_EQ(kavtelopenPort(3), KAVTEL_OK);
  ASSERT_TRUE(Identified(3));
  EXPECT_EQ(kavtelgetVersion(3, nullptr), KAVTEL_ERROR);
  EXPECT_EQ(kavtelgetStatus(3, nullptr), KAVTEL_ERROR);
  EXPECT_EQ(kavtelgetSpeed(3, nullptr), KAVTEL_ERROR);
  EXPECT_EQ(kavtelgetElevation(3, nullptr), KAVTEL_ERROR);
  EXPECT_EQ(kavtelgetPower(3, nullptr), KAVTEL_ERROR);
  EXPECT_EQ(kavtelgetProtocol(3, nullptr), KAVTEL_ERROR);
  EXPECT_EQ(kavtelclosePort(3), KAVTEL_OK);
}

// Error, weight, energy and power by controller version.
TEST(FlatApi, GenerationRuleForTheNewerValues) {
  struct Case {
    const char* version;
    int expected;
  };
  const Case cases[] = {
      {"123", KAVTEL_NOT_AVAILABLE}, {"200", KAVTEL_NOT_AVAILABLE}, {"202", KAVTEL_NOT_AVAILABLE},
      {"203", KAVTEL_OK},            {"224", KAVTEL_OK},
      {"0", KAVTEL_OK},  // not three characters: the version stays 0.0
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    SimPort port(4, SimPort::WithVersion(c.version));
    ASSERT_EQ(kavtelopenPort(4), KAVTEL_OK);
    ASSERT_TRUE(Identified(4));
    int error = -77;
    int weight = -77;
    double energy = kUntouched;
    double power = kUntouched;
    EXPECT_EQ(kavtelgetError(4, &error), c.expected);
    EXPECT_EQ(kavtelgetWeight(4, &weight), c.expected);
    EXPECT_EQ(kavtelgetEnergy(4, &energy), c.expected);
    EXPECT_EQ(kavtelgetPower(4, &power), c.expected);
    if (c.expected == KAVTEL_OK) {
      EXPECT_NE(error, -77);
      EXPECT_NE(energy, kUntouched);
      EXPECT_NE(power, kUntouched);
      // The library's weight until the controller's answer, 65, then the
      // treadmill's 75.
      EXPECT_TRUE(weight == 65 || weight == 75) << weight;
    } else {
      EXPECT_EQ(error, -77);
      EXPECT_EQ(weight, -77);
      EXPECT_EQ(energy, kUntouched);
      EXPECT_EQ(power, kUntouched);
    }
    EXPECT_EQ(kavtelclosePort(4), KAVTEL_OK);
  }
}

TEST(FlatApi, VersionTextIsCutToTheDocumentedBuffer) {
  const std::string longText(60, '7');
  SimPort port(4, SimPort::WithVersion(longText));
  ASSERT_EQ(kavtelopenPort(4), KAVTEL_OK);
  ASSERT_TRUE(Identified(4));
  char buffer[KAVTEL_VERSION_BUFFER_SIZE + 16];
  std::memset(buffer, 'x', sizeof buffer);
  ASSERT_EQ(kavtelgetVersion(4, buffer), KAVTEL_OK);
  EXPECT_EQ(std::string(buffer), longText.substr(0, KAVTEL_VERSION_BUFFER_SIZE - 1));
  for (std::size_t i = KAVTEL_VERSION_BUFFER_SIZE; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], 'x');
  EXPECT_EQ(kavtelclosePort(4), KAVTEL_OK);

  SimPort shortPort(4, SimPort::WithVersion("224"));
  ASSERT_EQ(kavtelopenPort(4), KAVTEL_OK);
  ASSERT_TRUE(Identified(4));
  ASSERT_EQ(kavtelgetVersion(4, buffer), KAVTEL_OK);
  EXPECT_STREQ(buffer, "224");
  EXPECT_EQ(kavtelclosePort(4), KAVTEL_OK);
}

TEST(FlatApi, SettersAndKeysReachTheTreadmillAndValuesComeBack) {
  SimPort port(1, SimPort::WithVersion("224"));
  sim::Simulator& sim = port.sim();
  ASSERT_EQ(kavtelopenPort(1), KAVTEL_OK);
  ASSERT_TRUE(Identified(1));

  // Only the low 8 bits of the acceleration are passed: 258 is index 2.
  EXPECT_EQ(kavtelsetAcceleration(1, 258), KAVTEL_OK);
  EXPECT_TRUE(PayloadIs(sim, "A00", "2"));
  EXPECT_EQ(kavtelsetFailSafe(1, 12), KAVTEL_OK);
  EXPECT_TRUE(PayloadIs(sim, "F00", "12"));
  int failSafe = 0;
  EXPECT_TRUE(WaitUntil([&] { return kavtelgetFailSafe(1, &failSafe) == KAVTEL_OK && failSafe == 12; }));

  EXPECT_EQ(kavtelsetSpeedAccel(1, 2.5, 7), KAVTEL_OK);
  EXPECT_TRUE(PayloadIs(sim, "A00", "7"));
  EXPECT_TRUE(PayloadIs(sim, "S02", "2.50"));
  double speed = 0;
  EXPECT_TRUE(WaitUntil([&] { return kavtelgetSpeed(1, &speed) == KAVTEL_OK && speed > 2.45; }));
  EXPECT_TRUE(Running(1));
  EXPECT_EQ(kavtelsetElevation(1, 3.0), KAVTEL_OK);
  EXPECT_TRUE(PayloadIs(sim, "E03", "3.0"));
  double elevation = 0;
  EXPECT_TRUE(WaitUntil([&] { return kavtelgetElevation(1, &elevation) == KAVTEL_OK && elevation > 2.9; }));
  int distance = 0;
  EXPECT_TRUE(WaitUntil([&] { return kavtelgetDistance(1, &distance) == KAVTEL_OK && distance > 0; }));

  struct KeyCase {
    int (*key)(int, int);
    const char* press;
    const char* release;
  };
  const KeyCase keys[] = {
      {kavtelKeyPressPlus, "+P", "+R"},  {kavtelKeyPressMinus, "-P", "-R"},
      {kavtelKeyPressUp, "UP", "UR"},    {kavtelKeyPressDown, "DP", "DR"},
      {kavtelKeyPressStart, "EP", "ER"}, {kavtelKeyPressStop, "SP", "SR"},
  };
  for (const KeyCase& k : keys) {
    SCOPED_TRACE(k.press);
    EXPECT_EQ(k.key(1, 1), KAVTEL_OK);
    EXPECT_TRUE(PayloadIs(sim, "U10", k.press));
    // Any value but a positive one releases: -1 as well as 0.
    EXPECT_EQ(k.key(1, -1), KAVTEL_OK);
    EXPECT_TRUE(PayloadIs(sim, "U10", k.release));
  }
  EXPECT_TRUE(sim.WaitFor([&] { return sim.GetState().belt == sim::Belt::stopped; }));

  int on = -1;
  EXPECT_EQ(kavtelgetProtocol(1, &on), KAVTEL_OK);
  EXPECT_EQ(on, 0);
  EXPECT_EQ(kavtelsetProtocol(1, 5), KAVTEL_OK);
  EXPECT_EQ(kavtelgetProtocol(1, &on), KAVTEL_OK);
  EXPECT_EQ(on, 1);
  EXPECT_EQ(kavtelsetProtocol(1, 0), KAVTEL_OK);
  EXPECT_EQ(kavtelgetProtocol(1, &on), KAVTEL_OK);
  EXPECT_EQ(on, 0);

  EXPECT_EQ(kavtelclosePort(1), KAVTEL_OK);
  EXPECT_EQ(sim.GetCounters().Violations(), 0u);
}

TEST(FlatApi, CommandRefusedByAFullQueueIsAnError) {
  SimPort port(6);
  ASSERT_EQ(kavtelopenPort(6), KAVTEL_OK);
  ASSERT_TRUE(Identified(6));
  // A status answer says the belt stands, so the close needs no stop group
  // from the silent treadmill below.
  ASSERT_TRUE(port.sim().WaitFor([&] {
    for (const sim::Record& r : port.sim().GetRecords()) {
      if (r.direction == sim::Record::Direction::to_host && r.bytes.find("S000") != std::string::npos)
        return true;
    }
    return false;
  }));
  // The treadmill goes quiet: nothing leaves the queue while the frame in
  // flight waits for its answer (several seconds before the device gives up).
  sim::Faults silent;
  silent.drop_every = 1;
  port.sim().SetFaults(silent);

  int result = KAVTEL_OK;
  int accepted = 0;
  for (int i = 0; i < 10000 && result == KAVTEL_OK; ++i) {
    result = kavtelsetElevation(6, (i % 100) / 10.0);
    if (result == KAVTEL_OK) ++accepted;
  }
  EXPECT_EQ(result, KAVTEL_ERROR);
  EXPECT_GT(accepted, 0);
  EXPECT_EQ(kavtelsetSpeed(6, 1.5), KAVTEL_ERROR);
  EXPECT_EQ(kavtelKeyPressUp(6, 1), KAVTEL_ERROR);
  EXPECT_EQ(kavtelclosePort(6), KAVTEL_OK);
}

// Code and payload of every frame the host sent since the records were
// cleared (SOH, body, two checksum digits, ETB; ACKs are records of one
// byte), repeats folded: "A003 S020.00 U10SP U10SR ".
std::string FramesFromHost(const sim::Simulator& sim) {
  std::string fromHost, last;
  for (const sim::Record& r : sim.GetRecords()) {
    if (r.direction != sim::Record::Direction::from_host || r.bytes.size() <= 4) continue;
    const std::string body = r.bytes.substr(1, r.bytes.size() - 4);
    if (body != last) fromHost += body + " ";
    last = body;
  }
  return fromHost;
}

// Opens COM<index>, waits for the identification and sets the belt running.
void OpenRunning(int index, sim::Simulator& sim) {
  ASSERT_EQ(kavtelopenPort(index), KAVTEL_OK);
  ASSERT_TRUE(Identified(index));
  ASSERT_EQ(kavtelsetSpeed(index, 2.0), KAVTEL_OK);
  ASSERT_TRUE(sim.WaitFor([&] { return sim.GetState().belt == sim::Belt::running; }));
  ASSERT_TRUE(Running(index));
}

struct CloseLine {
  const char* name;
  sim::Faults faults;
  int confirmed;
};

// Closing a running belt puts the whole stop group on the wire whatever the
// treadmill does with it, and kavtelclosePortEx says whether the stop was
// confirmed.
TEST(FlatApi, CloseSendsTheWholeStopGroupAndReportsWhetherItWasConfirmed) {
  sim::Faults silentOnA003;
  silentOnA003.only = "A003";
  silentOnA003.drop_every = 1;
  sim::Faults nakOnEverything;
  nakOnEverything.nak_every = 1;
  for (const CloseLine& line : {CloseLine{"a healthy line", {}, 1},
                                CloseLine{"silence on A003", silentOnA003, 1},
                                CloseLine{"NAK on everything", nakOnEverything, 0}}) {
    SCOPED_TRACE(line.name);
    SimPort port(2, SimPort::WithVersion("224"));
    sim::Simulator& sim = port.sim();
    ASSERT_NO_FATAL_FAILURE(OpenRunning(2, sim));
    sim.SetFaults(line.faults);
    sim.ClearRecords();
    int confirmed = -1;
    EXPECT_EQ(kavtelclosePortEx(2, &confirmed), KAVTEL_OK);
    EXPECT_EQ(confirmed, line.confirmed);
    const std::string sent = FramesFromHost(sim);
    EXPECT_NE(sent.find("A003 S020.00 U10SP U10SR "), std::string::npos) << sent;
    if (line.confirmed == 1) {
      EXPECT_TRUE(sim.WaitFor([&] { return sim.GetState().belt != sim::Belt::running; }));
    }
    if (line.faults.nak_every == 0 && line.faults.drop_every == 0) {
      EXPECT_EQ(sim.GetCounters().Violations(), 0u);
    }
    EXPECT_EQ(kavtelclosePortEx(2, &confirmed), KAVTEL_NOT_OPEN);
  }
}

TEST(FlatApi, TheStopKeyIsNotHeldBackByAStalledPollAndBadSettersAreRefused) {
  SimPort port(3, SimPort::WithVersion("224"));
  sim::Simulator& sim = port.sim();
  ASSERT_NO_FATAL_FAILURE(OpenRunning(3, sim));
  // Values the controller cannot take never reach the wire.
  EXPECT_EQ(kavtelsetSpeed(3, 1e9), KAVTEL_ERROR);
  EXPECT_EQ(kavtelsetSpeed(3, -0.5), KAVTEL_ERROR);
  EXPECT_EQ(kavtelsetElevation(3, 1e300), KAVTEL_ERROR);
  EXPECT_EQ(sim.LastPayload("E03"), std::nullopt);
  EXPECT_EQ(sim.LastPayload("S02"), "2.00");

  // The distance query, asked at every step, is never answered from now on.
  sim::Faults stalled;
  stalled.only = "D00";
  stalled.drop_every = 1;
  sim.SetFaults(stalled);
  ASSERT_TRUE(sim.WaitFor([&] { return FramesFromHost(sim).find("D00") != std::string::npos; }));
  sim.ClearRecords();
  const auto pressed = std::chrono::steady_clock::now();
  EXPECT_EQ(kavtelKeyPressStop(3, 1), KAVTEL_OK);
  ASSERT_TRUE(PayloadIs(sim, "U10", "SP"));
  // Within two answer time-outs of the press (the stalled poll's one
  // time-out, no repeats ahead of the stop), with slack for a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - pressed, 2s + 3s);
  // Before the stop, the stalled poll went out at most once more.
  int pollsBeforeStop = 0;
  for (const sim::Record& r : sim.GetRecords()) {
    if (r.direction != sim::Record::Direction::from_host) continue;
    if (r.bytes.find("U10SP") != std::string::npos) break;
    if (r.bytes.find("D00") != std::string::npos) ++pollsBeforeStop;
  }
  EXPECT_LE(pollsBeforeStop, 1) << FramesFromHost(sim);
  EXPECT_TRUE(sim.WaitFor([&] { return sim.GetState().belt != sim::Belt::running; }));
  EXPECT_EQ(kavtelKeyPressStop(3, 0), KAVTEL_OK);
  EXPECT_EQ(kavtelclosePort(3), KAVTEL_OK);
}

}  // namespace
}  // namespace kavtel::test
