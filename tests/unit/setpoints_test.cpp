// The setpoints' texts and refusals, and the stop texts, without a device.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

#include "device/setpoints.h"

namespace kavtel::test {
namespace {

// The text a setpoint goes out as, or its refusal (expected null).
void ExpectText(const std::optional<std::string>& text, const char* expected) {
  if (expected == nullptr) {
    EXPECT_FALSE(text.has_value()) << *text;
  } else {
    EXPECT_EQ(text.value_or("(refused)"), expected);
  }
}

TEST(Setpoints, SpeedTextsAndRefusals) {
  const long double nan = std::numeric_limits<long double>::quiet_NaN();
  const long double inf = std::numeric_limits<long double>::infinity();
  const TKavtelSpeedSetting generation2{2, 0, 0.5L, 0.00173L};
  const TKavtelSpeedSetting topped{2, 6.1f, 0, 0};
  struct Case {
    long double speed;
    TKavtelSpeedSetting setting;
    const char* text;  // nullptr: refused
  };
  const Case cases[] = {
      {2.5L, generation2, "S022.50"},
      {1.0033L, generation2, "S021.01"},      // the offset rounds it up: 1.00503
      {2.5L, {1, 0, 0.5L, 0.00173L}, "S023.00"},  // generation 1 takes its own offset
      {0, generation2, "S020.00"},            // 0.00173 rounds away
      {99.99L, {2, 0, 0, 0}, "S0299.99"},
      {99.995L, {2, 0, 0, 0}, nullptr},       // would read "100.00"
      {99.99L, {2, 0, 0, 0.01L}, nullptr},    // the offset makes it too wide
      {1.0L, {2, 0, 0, -2.0L}, nullptr},      // or negative
      {-0.01L, generation2, nullptr},
      {nan, generation2, nullptr},
      {inf, generation2, nullptr},
      {-inf, generation2, nullptr},
      {6.1L, topped, "S026.10"},              // the reported top is taken
      {6.104L, topped, "S026.10"},            // within its rounding
      {6.2L, topped, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<double>(c.speed));
    ExpectText(SpeedText(c.speed, c.setting), c.text);
  }
}

TEST(Setpoints, ElevationTextsAndRefusals) {
  const long double nan = std::numeric_limits<long double>::quiet_NaN();
  struct Case {
    long double elevation;
    const char* text;
  };
  const Case cases[] = {{10, "E0310.0"},   {2.25L, "E032.3"},  {-99.9L, "E03-99.9"}, {99.9L, "E0399.9"},
                        {99.95L, nullptr}, {-100, nullptr},    {nan, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<double>(c.elevation));
    ExpectText(ElevationText(c.elevation), c.text);
  }
  EXPECT_EQ(AccelerationText(0), "A000");
  EXPECT_EQ(FailSafeText(-1), "F00-1");
  EXPECT_EQ(FailSafeText(4294967295LL), "F004294967295");
}

TEST(Setpoints, EveryTextOfAStopGroupConfirmsAStopButItsGentleAcceleration) {
  EXPECT_EQ(StopGroup(1), (std::vector<std::string>{"U00S"}));
  EXPECT_EQ(StopGroup(2), (std::vector<std::string>{"A003", "S020.00", "U10SP", "U10SR"}));
  EXPECT_EQ(StopGroup(0), StopGroup(3));  // an unknown generation gets the full group
  for (const char* text : {"U00S", "S020.00", "U10SP", "U10SR"}) EXPECT_TRUE(IsStopText(text)) << text;
  for (const char* text : {"A003", "S021.00", "U10EP", "u10sp", ""}) EXPECT_FALSE(IsStopText(text)) << text;
}

}  // namespace
}  // namespace kavtel::test
