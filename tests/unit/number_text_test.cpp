#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "services/number_text.h"

namespace kavtel {
namespace {

struct FixedCase {
  long double value;
  int decimals;
  const char* expected;
};

TEST(WireNumbers, FixedPatternsRoundTheDecimalValueHalfAwayFromZero) {
  const FixedCase cases[] = {
      {2.5L, 2, "2.50"},
      {0.0L, 2, "0.00"},
      {10.0L, 1, "10.0"},
      {2.5L + 0.00173L, 2, "2.50"},
      {1.0033L + 0.00173L, 2, "1.01"},
      // Exact binary halves.
      {2.25L, 1, "2.3"},
      {0.125L, 2, "0.13"},
      {-2.25L, 1, "-2.3"},
      {-0.125L, 2, "-0.13"},
      // Decimal halves stored a little below or above the half in binary.
      {2.675L, 2, "2.68"},
      {2.675, 2, "2.68"},
      {1.005, 2, "1.01"},
      {0.05L, 1, "0.1"},
      {0.05, 1, "0.1"},
      {0.045, 2, "0.05"},
      {-2.675, 2, "-2.68"},
      {-0.05L, 1, "-0.1"},
      {123456.785L, 2, "123456.79"},
      // Just below a half stays below.
      {2.674999L, 2, "2.67"},
      {2.2499L, 1, "2.2"},
      {-2.2499L, 1, "-2.2"},
      // Carries through nines into a new digit.
      {9.995L, 2, "10.00"},
      {99.95L, 1, "100.0"},
      {-9.96L, 1, "-10.0"},
      // Values that round to zero carry no sign.
      {-0.04L, 1, "0.0"},
      {-0.0L, 2, "0.00"},
      {0.0000001L, 2, "0.00"},
      {-0.0049L, 2, "0.00"},
      // Large values keep all their integer digits.
      {1e20L, 1, "100000000000000000000.0"},
      {-31.0L, 2, "-31.00"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatFixed(c.value, c.decimals), c.expected)
        << "value " << static_cast<double>(c.value) << ", decimals " << c.decimals;
  }
}

TEST(WireNumbers, FixedPatternsRefuseValuesThatAreNotFinite) {
  EXPECT_THROW(FormatFixed(std::numeric_limits<long double>::infinity(), 2), std::domain_error);
  EXPECT_THROW(FormatFixed(-std::numeric_limits<long double>::infinity(), 1), std::domain_error);
  EXPECT_THROW(FormatFixed(std::numeric_limits<long double>::quiet_NaN(), 2), std::domain_error);
}

TEST(WireNumbers, IntegersArePlainDigits) {
  EXPECT_EQ(FormatInteger(10), "10");
  EXPECT_EQ(FormatInteger(0), "0");
  EXPECT_EQ(FormatInteger(-1), "-1");
  EXPECT_EQ(FormatInteger(4294967295), "4294967295");
  EXPECT_EQ(FormatInteger(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
}

struct DecimalCase {
  const char* text;
  long double expected;
};

TEST(WireNumbers, DecimalsReadAsTheNearestExtendedValue) {
  const DecimalCase cases[] = {
      {"2.5", 2.5L},
      {"-0.75", -0.75L},
      {"+3.5", 3.5L},
      {"6.1", 6.1L},
      {"0.366", 0.366L},
      {"0.05", 0.05L},
      {"1500", 1500.0L},
      {"007.50", 7.5L},
      {".5", 0.5L},
      {"5.", 5.0L},
      {"0", 0.0L},
      {"21.9599990844727", 21.9599990844727L},
      {"1234567890123456789", 1234567890123456789.0L},
      {"0.000000000000000000000000001", 1e-27L},
  };
  for (const auto& c : cases) {
    const auto value = ParseDecimal(c.text);
    ASSERT_TRUE(value.has_value()) << c.text;
    EXPECT_EQ(*value, c.expected) << c.text;
  }
  // Beyond 19 significant digits only the digits past the 19th are lost.
  const auto long_text = ParseDecimal("3.14159265358979323846264338");
  ASSERT_TRUE(long_text.has_value());
  EXPECT_NEAR(static_cast<double>(*long_text), 3.14159265358979323846, 1e-15);
  const auto many_integer_digits = ParseDecimal("123456789012345678901234");
  ASSERT_TRUE(many_integer_digits.has_value());
  EXPECT_NEAR(static_cast<double>(*many_integer_digits / 1.23456789012345678901234e23L), 1.0, 1e-15);
}

TEST(WireNumbers, DecimalsRejectAnythingButPlainDecimalText) {
  const char* const rejected[] = {"", "-", "+", ".", "-.", "2,5", "2.5.1", "1e3", " 2.5", "2.5 ", "abc",
                                  "2.5x", "--1", "+-1", "0x10", "inf", "nan"};
  for (const char* text : rejected) EXPECT_FALSE(ParseDecimal(text).has_value()) << '"' << text << '"';
  const std::string too_large = "1" + std::string(5000, '0');
  EXPECT_FALSE(ParseDecimal(too_large).has_value());
  const std::string tiny = "0." + std::string(5000, '0') + "1";
  EXPECT_EQ(ParseDecimal(tiny), 0.0L);
}

TEST(WireNumbers, IntegersReadOnlyWhenTheyFitThirtyTwoBits) {
  EXPECT_EQ(ParseInteger("10"), 10);
  EXPECT_EQ(ParseInteger("-3"), -3);
  EXPECT_EQ(ParseInteger("+7"), 7);
  EXPECT_EQ(ParseInteger("007"), 7);
  EXPECT_EQ(ParseInteger("2147483647"), 2147483647);
  EXPECT_EQ(ParseInteger("-2147483648"), std::numeric_limits<std::int32_t>::min());
  const char* const rejected[] = {"", "-", "+", "2147483648", "-2147483649", "1.5", "A", " 5", "5 ",
                                  "0x10", "+-5", "++5", "1,000"};
  for (const char* text : rejected) EXPECT_FALSE(ParseInteger(text).has_value()) << '"' << text << '"';
}

struct RoundCase {
  long double value;
  std::int64_t expected;
};

TEST(Rounding, HalvesGoToTheEvenNeighbour) {
  const RoundCase cases[] = {
      {0.5L, 0},     {1.5L, 2},      {2.5L, 2},     {3.5L, 4},      {-0.5L, 0},   {-1.5L, -2},
      {-2.5L, -2},   {99.5L, 100},   {98.5L, 98},   {2.4999L, 2},   {2.5001L, 3}, {-2.5001L, -3},
      {409.79L, 410}, {1499.9999L, 1500}, {0.0L, 0}, {-7.0L, -7},
      // A half that only extended precision holds (2^52 + 0.5).
      {4503599627370496.5L, 4503599627370496}, {4503599627370497.5L, 4503599627370498},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RoundHalfEven(c.value), c.expected) << static_cast<double>(c.value);
  }
}

TEST(Rounding, RefusesWhatHasNoSixtyFourBitResult) {
  EXPECT_THROW(RoundHalfEven(std::numeric_limits<long double>::quiet_NaN()), std::range_error);
  EXPECT_THROW(RoundHalfEven(std::numeric_limits<long double>::infinity()), std::range_error);
  EXPECT_THROW(RoundHalfEven(9223372036854775808.0L), std::range_error);
  EXPECT_THROW(RoundHalfEven(-1e30L), std::range_error);
  EXPECT_EQ(RoundHalfEven(-9223372036854775808.0L), std::numeric_limits<std::int64_t>::min());
}

TEST(Rounding, WithinBoundsHoldsTheResultAtTheNearerEnd) {
  const long double inf = std::numeric_limits<long double>::infinity();
  const RoundCase cases[] = {
      {2.5L, 2}, {65534.5L, 65534}, {65535.4L, 65535}, {1e30L, 65535}, {inf, 65535},
      {-0.4L, 0}, {-1e30L, 0}, {-inf, 0}, {std::numeric_limits<long double>::quiet_NaN(), 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RoundHalfEvenWithin(c.value, 0, 65535), c.expected) << static_cast<double>(c.value);
  }
}

TEST(HostNumbers, FloatsUseFifteenSignificantDigitsInShortestForm) {
  // Under the default C locale the host's separator is ".".
  ASSERT_EQ(HostDecimalSeparator(), ".");
  // 21.96 as a 32-bit float is 21.95999908447265625; widened and cut to 15
  // significant digits it reads 21.9599990844727.
  EXPECT_EQ(FormatHostFloat(21.96f), "21.9599990844727");
  EXPECT_EQ(FormatHostFloat(22.0), "22");
  EXPECT_EQ(FormatHostFloat(0.0), "0");
  EXPECT_EQ(FormatHostFloat(80.5), "80.5");
  EXPECT_EQ(FormatHostFloat(-0.125), "-0.125");
  EXPECT_EQ(FormatHostFloat(0.1), "0.1");
  EXPECT_EQ(FormatHostFloat(1e-7), "1e-07");

  EXPECT_EQ(ParseHostFloat("21.9599990844727"), 21.9599990844727);
  EXPECT_EQ(static_cast<float>(*ParseHostFloat("21.9599990844727")), 21.96f);
  EXPECT_EQ(ParseHostFloat("1e-07"), 1e-7);
  EXPECT_EQ(ParseHostFloat("-3"), -3.0);
  const char* const rejected[] = {"", "fast", "1.5kg", "2,5", "inf", "nan", "1e999"};
  for (const char* text : rejected) EXPECT_FALSE(ParseHostFloat(text).has_value()) << '"' << text << '"';
}

}  // namespace
}  // namespace kavtel
