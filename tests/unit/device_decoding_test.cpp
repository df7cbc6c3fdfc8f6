// Identification, the polling schedules and the decoders, with a fake line
// and the test playing the treadmill.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "device_fixture.h"

namespace kavtel::test {
namespace {

using Written = std::vector<std::string>;

class DecodingTest : public DeviceFixture {};

struct VersionCase {
  std::string payload;
  int major;
  int minor;
  Written followUps;    // command texts queued after the answer, in order
  bool extendedPolling;  // schedule B (error, weight, energy, power)
};

class VersionTest : public DeviceFixture, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionTest, VersionAnswerSetsTheGenerationAndItsFollowUps) {
  const VersionCase& c = GetParam();
  open();
  take();
  answer("V00", c.payload);
  EXPECT_EQ(dev.GetControllerState(), ioStop);
  EXPECT_EQ(dev.GetVersionText(), c.payload);
  EXPECT_EQ(dev.GetVersionMajor(), c.major);
  EXPECT_EQ(dev.GetVersionMinor(), c.minor);
  replies["Y00"] = "2";  // a bicycle: no maximum-speed query follows
  Written asked;
  for (const auto& code : serveUntilIdle()) asked.push_back(code);
  EXPECT_EQ(asked, c.followUps);

  // One step of the schedule shows which one runs: step 0 asks J01 only in B.
  dev.GetParameter();
  const auto step0 = serveUntilIdle();
  EXPECT_EQ(std::count(step0.begin(), step0.end(), "J01") == 1, c.extendedPolling);
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, VersionTest,
    ::testing::Values(VersionCase{"203", 2, 3, {"F0010", "U17", "Y00"}, true},
                      VersionCase{"123", 1, 23, {"F0010"}, false},
                      VersionCase{"224", 2, 24, {"F0010", "U17", "Y00"}, true},
                      VersionCase{"202", 2, 2, {"F0010", "U17"}, false},
                      VersionCase{"300", 3, 0, {"F0010", "U17"}, false},
                      // Not three characters: the text is kept, the numbers are not.
                      VersionCase{"2030", 0, 0, {"F0010"}, false}));

TEST_F(DecodingTest, ASecondVersionAnswerChangesNothing) {
  identify("203");
  answer("V00", "123");
  EXPECT_EQ(dev.GetVersionText(), "203");
  EXPECT_EQ(dev.GetVersionMajor(), 2);
  EXPECT_EQ(take(), (Written{"<ACK>"}));  // and queues no follow-up
}

TEST_F(DecodingTest, EachScheduleAsksExactlyItsCodesInAPass) {
  const Written scheduleA[20] = {
      {"D00", "T00"}, {"D00", "S00"}, {"D00", "P01"}, {"D00", "S01"}, {"D00", "T00"},
      {"D00"}, {"D00", "P01"}, {"D00", "S01"}, {"D00", "T00", "E01"}, {"D00", "S00"},
      {"D00", "P01"}, {"D00", "S01"}, {"D00", "T00", "A00"}, {"D00"}, {"D00", "P01"},
      {"D00", "S01"}, {"D00", "T00", "E01"}, {"D00", "S00"}, {"D00", "P01"}, {"D00", "S01"}};
  const Written scheduleB[20] = {
      {"D00", "T00", "J01"}, {"D00", "S00"}, {"D00", "P01"}, {"D00", "S01"},
      {"D00", "T00", "J02"}, {"D00", "Z00"}, {"D00", "P01"}, {"D00", "S01"},
      {"D00", "T00", "E01"}, {"D00", "S00"}, {"D00", "P01"}, {"D00", "S01"},
      {"D00", "T00", "A00"}, {"D00", "J00"}, {"D00", "P01"}, {"D00", "S01"},
      {"D00", "T00", "E01"}, {"D00", "S00"}, {"D00", "P01"}, {"D00", "S01"}};
  for (const char* version : {"123", "203"}) {
    SCOPED_TRACE(version);
    closeQuietly();
    take();
    identify(version);
    const Written* schedule = std::string(version) == "203" ? scheduleB : scheduleA;
    for (int pass = 0; pass < 2; ++pass) {
      for (int step = 0; step < 20; ++step) {
        ASSERT_EQ(dev.Inspect().cycleStep, step);
        dev.GetParameter();
        EXPECT_EQ(serveUntilIdle(), schedule[step]) << "step " << step;
      }
    }
  }
}

TEST_F(DecodingTest, AnOutstandingQueryIsNotAskedAgain) {
  identify("123");
  for (int step = 0; step < 3; ++step) {
    dev.GetParameter();
    serveUntilIdle();
  }
  // Steps 3 to 19 without a single answer: S01 (steps 3, 7, 11, 15, 19) and
  // D00 (every step) stay outstanding after their first query.
  for (int step = 3; step < 20; ++step) dev.GetParameter();
  EXPECT_EQ(dev.Inspect().commandCounters[kqSpeed], 1);
  const auto asked = serveUntilIdle();
  EXPECT_EQ(std::count(asked.begin(), asked.end(), "S01"), 1);
  EXPECT_EQ(std::count(asked.begin(), asked.end(), "D00"), 1);
  EXPECT_EQ(dev.Inspect().commandCounters[kqSpeed], 0);
}

struct DecoderCase {
  const char* code;
  const char* payload;
  std::function<void(TKavtelDevice&, TKavtelDeviceCaps&)> check;
};

TEST_F(DecodingTest, DecodersTurnPayloadsIntoValues) {
  const DecoderCase cases[] = {
      {"S00", "1", [](auto& d, auto&) { EXPECT_EQ(d.GetControllerState(), ioRun); }},
      {"S00", "2", [](auto& d, auto&) { EXPECT_EQ(d.GetControllerState(), ioPause); }},
      {"S00", "3", [](auto& d, auto&) { EXPECT_EQ(d.GetControllerState(), ioPause); }},  // unchanged
      {"A00", "9", [](auto& d, auto&) { EXPECT_EQ(d.GetAcceleration(), 7); }},
      {"A00", "0", [](auto& d, auto&) { EXPECT_EQ(d.GetAcceleration(), 1); }},
      {"A00", "-3", [](auto& d, auto&) { EXPECT_EQ(d.GetAcceleration(), 1); }},
      {"A00", "x", [](auto& d, auto&) { EXPECT_EQ(d.GetAcceleration(), 1); }},
      {"A00", "4", [](auto& d, auto&) { EXPECT_EQ(d.GetAcceleration(), 4); }},
      {"T00", "1:02:03", [](auto& d, auto&) { EXPECT_EQ(d.GetDuration(), 3723); }},
      {"T00", "02:03", [](auto& d, auto&) { EXPECT_EQ(d.GetDuration(), 7203); }},
      {"T00", "45", [](auto& d, auto&) { EXPECT_EQ(d.GetDuration(), 45); }},
      {"T00", "1:x:03", [](auto& d, auto&) { EXPECT_EQ(d.GetDuration(), 0); }},
      {"S01", "2.5", [](auto& d, auto&) {
         EXPECT_FLOAT_EQ(d.GetSpeed(), 2.5f);
         EXPECT_EQ(d.GetPower(), 118);
       }},
      {"S01", "1.0", [](auto& d, auto&) { EXPECT_EQ(d.GetPower(), 47); }},
      {"S01", "0", [](auto& d, auto&) { EXPECT_EQ(d.GetPower(), 0); }},
      {"E01", "12.5", [](auto& d, auto&) { EXPECT_FLOAT_EQ(d.GetElevation(), 12.5f); }},
      {"D00", "1234", [](auto& d, auto&) { EXPECT_EQ(d.GetDistance(), 1234); }},
      {"P01", "65613", [](auto& d, auto&) { EXPECT_EQ(d.GetHeartRate(), 77); }},  // low 16 bits
      {"J01", "1.5", [](auto& d, auto&) { EXPECT_EQ(d.GetEnergy(), 1500u); }},
      {"J02", "99.5", [](auto& d, auto&) { EXPECT_EQ(d.GetPower(), 100); }},
      {"J02", "98.5", [](auto& d, auto&) { EXPECT_EQ(d.GetPower(), 98); }},
      {"Z00", "17", [](auto& d, auto&) { EXPECT_EQ(d.GetErrorCode(), 17); }},
      {"Z00", "?", [](auto& d, auto&) { EXPECT_EQ(d.GetErrorCode(), 0); }},
      {"J00", "80", [](auto&, auto& c) { EXPECT_FLOAT_EQ(c.GetCalcWeight(), 80.0f); }},
      {"F00", "-1", [](auto& d, auto&) { EXPECT_EQ(d.GetRNXFailSafe(), 0xFFFFFFFFu); }},
      {"U17", "12C4E6789", [](auto& d, auto&) {
         EXPECT_EQ(d.GetActiveSpeedUnit(), rnxms);
         EXPECT_EQ(d.GetActiveDistance(), rnxkm);
         EXPECT_EQ(d.GetActiveElevationUnit(), rnxdegree);
       }},
      {"U17", "12B3D6789", [](auto& d, auto&) {
         EXPECT_EQ(d.GetActiveSpeedUnit(), rnxmph);
         EXPECT_EQ(d.GetActiveDistance(), rnxmiles);
         EXPECT_EQ(d.GetActiveElevationUnit(), rnxpercent);
       }},
      {"U17", "12C4E678", [](auto& d, auto&) { EXPECT_EQ(d.GetActiveSpeedUnit(), rnxmph); }},
      {"B04", "120", [](auto& d, auto&) { EXPECT_EQ(d.GetControllerState(), ioPause); }},
  };
  identify("123");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.code) + " " + c.payload);
    answer(c.code, c.payload);
    c.check(dev, caps);
    take();
  }
}

TEST_F(DecodingTest, ASpeedAnswerThatRepeatsTheSpeedLeavesThePowerAlone) {
  identify("123");
  answer("S01", "2.5");
  ASSERT_EQ(dev.GetPower(), 118);
  answer("E01", "10");
  answer("S01", "2.5");
  EXPECT_EQ(dev.GetPower(), 118);
  answer("S01", "2.6");
  EXPECT_GT(dev.GetPower(), 118);
}

TEST_F(DecodingTest, AbsurdReadingsHoldThePowerEstimateInItsRangeInsteadOfThrowing) {
  identify("123");
  const std::string huge(40, '9');  // beyond any 64-bit counter, and beyond a float
  answer("S01", huge);
  EXPECT_EQ(dev.GetPower(), 65535);
  answer("S01", "-" + huge);
  EXPECT_EQ(dev.GetPower(), 0);
  answer("E01", huge);  // the stored elevation becomes infinite
  answer("S01", "0");   // 0 x infinity is not a number
  EXPECT_EQ(dev.GetPower(), 0);
  answer("S01", "2.5");
  EXPECT_EQ(dev.GetPower(), 65535);
  // The device goes on decoding after all of it.
  answer("E01", "0");
  answer("S01", "1.0");
  EXPECT_EQ(dev.GetPower(), 47);
  EXPECT_TRUE(dev.GetOnline());
}

TEST_F(DecodingTest, UnreadableMeasuredValuesAreProtocolErrors) {
  for (const char* code : {"S00", "S01", "E01", "D00"}) {
    SCOPED_TRACE(code);
    closeQuietly();
    identify("123");
    answer(code, "x");
    EXPECT_EQ(dev.GetControllerState(), ioDetecting);
    EXPECT_TRUE(dev.GetAwaitingIdentification());
  }
}

TEST_F(DecodingTest, DeviceTypeChoosesTheMaximumSpeedConversion) {
  identify("123");
  answer("Y00", "0");
  EXPECT_EQ(caps.GetDeviceType(), rnxtreadmill);
  EXPECT_EQ(take(), (Written{"<ACK>", "S0483"}));  // the maximum-speed query follows
  answer("S04", "6.1");
  EXPECT_NEAR(caps.GetMaxSpeed(), 21.96f, 1e-4);
  answer("Y00", "1");
  answer("S04", "10");
  EXPECT_EQ(caps.GetDeviceType(), rnxladder);
  EXPECT_NEAR(caps.GetMaxSpeed(), 0.6f, 1e-6);
  take();
  answer("Y00", "2");
  EXPECT_EQ(caps.GetDeviceType(), rnxbicycle);
  answer("S04", "9");
  EXPECT_NEAR(caps.GetMaxSpeed(), 0.6f, 1e-6);  // a bicycle keeps its value
}

TEST_F(DecodingTest, AnAnswerWithAnotherCodeDoesNotFreezeTheValue) {
  identify("224");
  dev.updateControllerState(ioRun);
  // Step 3 of the schedule asks the speed.
  for (int i = 0; i < 4; ++i) dev.GetParameter();
  ASSERT_EQ(dev.Inspect().commandCounters[kqSpeed], 1);
  for (int guard = 0; guard < 20 && dev.Inspect().pending; ++guard) {
    const Written sent = take();
    ASSERT_FALSE(sent.empty());
    const std::string asked = Text(sent.back());
    // The speed query gets a heart-rate frame; the rest their own answers.
    if (asked == "S01") answer("P01", "90");
    else answer(asked.substr(0, 3), replies[asked.substr(0, 3)]);
  }
  EXPECT_EQ(dev.Inspect().commandCounters[kqSpeed], 0);
  for (int i = 0; i < 4; ++i) dev.GetParameter();  // to step 7, the speed's next turn
  replies["S01"] = "3.25";
  serveUntilIdle();
  EXPECT_FLOAT_EQ(dev.GetSpeed(), 3.25f);
}

TEST_F(DecodingTest, PowerAndEnergyReadingsAreHeldAtTheirCountersEnds) {
  identify("224");
  struct Case {
    const char* code;
    const char* payload;
    std::uint32_t power, energy;
  };
  // Each case starts from power 7 and energy 7 (thousandths), so a reading
  // that was dropped instead of held shows.
  for (const Case& c : {Case{"J02", "70000", 65535, 7}, Case{"J02", "-5", 0, 7},
                        Case{"J02", "10000000000000000000000000000000000000000", 65535, 7},
                        Case{"J01", "5000000", 7, 4294967295u}, Case{"J01", "-1", 7, 0}}) {
    SCOPED_TRACE(std::string(c.code) + c.payload);
    answer("J01", "0.007");
    answer("J02", "7");
    answer(c.code, c.payload);
    EXPECT_EQ(dev.GetPower(), c.power);
    EXPECT_EQ(dev.GetEnergy(), c.energy);
  }
}

}  // namespace
}  // namespace kavtel::test
