#include "controller.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace kavtel::sim {
namespace {

using Outcome = Reply::Outcome;

ModelConfig Quick() {
  ModelConfig config;
  config.acceleration = 7;
  config.fail_safe = 0;
  config.weight = 82;
  config.elevation_rate = 1000;
  return config;
}

std::string Body(Controller& controller, const std::string& code, const std::string& payload = "") {
  const Reply reply = controller.Handle(code, payload);
  EXPECT_EQ(reply.outcome, Outcome::answer) << code << payload;
  return reply.body;
}

TEST(Controller, NumberFormatsUseAPointAndRoundHalvesAway) {
  EXPECT_EQ(FormatFixed(2.5, 2), "2.50");
  EXPECT_EQ(FormatFixed(0, 2), "0.00");
  EXPECT_EQ(FormatFixed(2.25, 1), "2.3");
  EXPECT_EQ(FormatFixed(0.004, 2), "0.00");
  EXPECT_EQ(FormatFixed(-1.05, 1), "-1.1");
  EXPECT_EQ(FormatFixed(12.0, 0), "12");
  EXPECT_EQ(FormatDuration(0), "0:00:00");
  EXPECT_EQ(FormatDuration(59.99), "0:00:59");
  EXPECT_EQ(FormatDuration(3723.4), "1:02:03");
  EXPECT_EQ(FormatDuration(36000), "10:00:00");
}

TEST(Controller, AnswersEveryQueryInTheFormatTheHostDecodes) {
  ControllerConfig identity;
  identity.version_text = "224";
  identity.units_text = "12C4E6789";
  identity.device_type = 1;
  identity.error_code = -7;
  Controller controller(identity, Quick());
  TreadmillModel& model = controller.model();

  // Stopped, fresh.
  const std::vector<std::pair<std::string, std::string>> fresh = {
      {"V00", "V00224"}, {"S00", "S000"},         {"S01", "S010.00"}, {"E01", "E010.0"},
      {"D00", "D000"},   {"T00", "T000:00:00"},   {"P01", "P0170"},   {"A00", "A007"},
      {"U17", "U1712C4E6789"}, {"Y00", "Y001"},   {"S04", "S046.11"}, {"Z00", "Z00-7"},
      {"J00", "J0082"},  {"J01", "J010.0"},       {"J02", "J020"},    {"F00", "F000"},
  };
  for (const auto& [code, body] : fresh) EXPECT_EQ(Body(controller, code), body);

  // An hour and a bit at 2.5 m/s on 2.25 % — one decimal, rounded up.
  model.SetSpeed(2.5);
  model.SetElevation(2.25);
  model.Advance(Seconds(3723.4));
  const TreadmillState& s = model.state();
  EXPECT_EQ(Body(controller, "S00"), "S001");
  EXPECT_EQ(Body(controller, "S01"), "S012.50");
  EXPECT_EQ(Body(controller, "E01"), "E012.3");
  EXPECT_EQ(Body(controller, "T00"), "T001:02:03");
  EXPECT_EQ(Body(controller, "D00"), "D00" + std::to_string(static_cast<long long>(s.distance)));
  EXPECT_EQ(Body(controller, "P01"), "P01" + std::to_string(std::lround(s.heart_rate)));
  EXPECT_EQ(Body(controller, "J01"), "J01" + FormatFixed(s.energy, 1));
  EXPECT_EQ(Body(controller, "J02"), "J02" + std::to_string(std::lround(s.power)));
  EXPECT_GT(s.distance, 9000);
  EXPECT_GT(s.energy, 100);

  model.SetSpeed(0);
  EXPECT_EQ(Body(controller, "S00"), "S002");

  controller.SetVersionText("123");
  controller.SetErrorCode(3);
  EXPECT_EQ(Body(controller, "V00"), "V00123");
  EXPECT_EQ(Body(controller, "Z00"), "Z003");
}

TEST(Controller, SetCommandsActAndAnswerWithTheValueInForce) {
  struct Case {
    std::string code, payload, body;
  };
  const std::vector<Case> cases = {
      {"S02", "2.50", "S022.50"}, {"S02", "1.01", "S021.01"}, {"S02", "9.99", "S026.11"},
      {"S02", "3", "S023.00"},    {"S02", "-1.00", "S020.00"}, {"E03", "10.0", "E0310.0"},
      {"E03", "2.5", "E032.5"},   {"E03", "99.0", "E0315.0"},  {"A00", "3", "A003"},
      {"A00", "0", "A001"},       {"A00", "255", "A007"},      {"F00", "10", "F0010"},
      {"F00", "-1", "F00-1"},     {"F00", "0", "F000"},
  };
  for (const Case& c : cases) {
    Controller controller({}, Quick());
    EXPECT_EQ(Body(controller, c.code, c.payload), c.body) << c.code << c.payload;
  }

  Controller controller({}, Quick());
  Body(controller, "S02", "2.50");
  Body(controller, "E03", "4.0");
  Body(controller, "A00", "2");
  Body(controller, "F00", "25");
  const TreadmillState& s = controller.model().state();
  EXPECT_EQ(s.belt, Belt::running);
  EXPECT_DOUBLE_EQ(s.target_speed, 2.5);
  EXPECT_DOUBLE_EQ(s.target_elevation, 4.0);
  EXPECT_EQ(s.acceleration, 2);
  EXPECT_EQ(s.fail_safe, 25);
  EXPECT_EQ(Body(controller, "A00"), "A002");
  EXPECT_EQ(Body(controller, "F00"), "F0025");
}

TEST(Controller, KeysOfBothGenerationsAreActedOnAndEchoed) {
  struct Case {
    std::string code, payload;
    Belt belt_after;  // starting from a belt running at 2 m/s
    double target_speed_delta;
    double target_elevation_delta;
  };
  const double step = ModelConfig{}.speed_step;
  const double rise = ModelConfig{}.elevation_step;
  const std::vector<Case> cases = {
      {"U00", "+", Belt::running, step, 0},    {"U00", "-", Belt::running, -step, 0},
      {"U00", "U", Belt::running, 0, rise},    {"U00", "D", Belt::running, 0, -rise},
      {"U00", "S", Belt::stopped, -2, 0},      {"U00", "H", Belt::running, 0, 0},
      {"U10", "+P", Belt::running, step, 0},   {"U10", "+R", Belt::running, 0, 0},
      {"U10", "-P", Belt::running, -step, 0},  {"U10", "-R", Belt::running, 0, 0},
      {"U10", "UP", Belt::running, 0, rise},   {"U10", "UR", Belt::running, 0, 0},
      {"U10", "DP", Belt::running, 0, -rise},  {"U10", "DR", Belt::running, 0, 0},
      {"U10", "SP", Belt::stopped, -2, 0},     {"U10", "SR", Belt::running, 0, 0},
      {"U10", "EP", Belt::running, 0, 0},      {"U10", "ER", Belt::running, 0, 0},
  };
  for (const Case& c : cases) {
    Controller controller({}, Quick());
    Body(controller, "S02", "2.00");
    Body(controller, "E03", "5.0");
    EXPECT_EQ(Body(controller, c.code, c.payload), c.code + c.payload);
    const TreadmillState& s = controller.model().state();
    EXPECT_EQ(s.belt, c.belt_after) << c.code << c.payload;
    EXPECT_NEAR(s.target_speed, 2.0 + c.target_speed_delta, 1e-9) << c.code << c.payload;
    EXPECT_NEAR(s.target_elevation, 5.0 + c.target_elevation_delta, 1e-9) << c.code << c.payload;
  }

  Controller controller({}, Quick());
  Body(controller, "U10", "EP");  // start from stopped
  EXPECT_EQ(controller.model().state().belt, Belt::running);
  EXPECT_DOUBLE_EQ(controller.model().state().target_speed, ModelConfig{}.start_speed);
}

TEST(Controller, RefusesUnknownCodesAndArgumentsItCannotRead) {
  struct Case {
    std::string code, payload;
    Outcome outcome;
  };
  const std::vector<Case> cases = {
      {"Q00", "", Outcome::unknown_command},   {"B04", "", Outcome::unknown_command},
      {"s00", "", Outcome::unknown_command},   {"S02", "2,50", Outcome::bad_payload},
      {"S02", "", Outcome::bad_payload},       {"S02", "+1.00", Outcome::bad_payload},
      {"S02", "1e3", Outcome::bad_payload},    {"S02", "2.", Outcome::bad_payload},
      {"S02", ".5", Outcome::bad_payload},     {"S02", " 2.50", Outcome::bad_payload},
      {"E03", "x", Outcome::bad_payload},      {"A00", "03", Outcome::bad_payload},
      {"A00", "3.0", Outcome::bad_payload},    {"F00", "99999999999", Outcome::bad_payload},
      {"F00", "-", Outcome::bad_payload},      {"U10", "XP", Outcome::bad_payload},
      {"U10", "S", Outcome::bad_payload},      {"U10", "SPX", Outcome::bad_payload},
      {"U00", "Q", Outcome::bad_payload},      {"U00", "", Outcome::bad_payload},
      {"V00", "1", Outcome::bad_payload},      {"S00", "0", Outcome::bad_payload},
  };
  for (const Case& c : cases) {
    Controller controller({}, Quick());
    const Reply reply = controller.Handle(c.code, c.payload);
    EXPECT_EQ(reply.outcome, c.outcome) << c.code << "|" << c.payload;
    EXPECT_EQ(controller.model().state().belt, Belt::stopped) << c.code << "|" << c.payload;
    EXPECT_EQ(controller.model().state().target_speed, 0) << c.code << "|" << c.payload;
  }
}

}  // namespace
}  // namespace kavtel::sim
