// A host whose locale writes decimals with a comma: the wire keeps its ".",
// the settings file follows the host.

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <locale>
#include <string>

#include "device/device_caps.h"
#include "services/ini_file.h"
#include "device/kavtel_device.h"
#include "services/number_text.h"

namespace kavtel {
namespace {

struct CommaPunctuation : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

// Switches the C locale to one with a decimal comma (glibc's de_DE, or the
// German locale of the Windows C runtime) and the C++ global locale to one
// with comma punctuation, and restores both afterwards.
class CommaHost : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_c_ = std::setlocale(LC_ALL, nullptr);
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "German_Germany.1252"}) {
      if (std::setlocale(LC_ALL, name) != nullptr && std::string(std::localeconv()->decimal_point) == ",") {
        switched_ = true;
        break;
      }
    }
    if (!switched_) {
      std::setlocale(LC_ALL, saved_c_.c_str());
      GTEST_SKIP() << "no C locale with a decimal comma is installed here; scripts/setup.sh generates "
                      "de_DE.UTF-8 on Debian";
    }
    saved_cpp_ = std::locale::global(std::locale(std::locale::classic(), new CommaPunctuation));

    // The host's own formatting really uses the comma now.
    char printed[16];
    std::snprintf(printed, sizeof printed, "%.1f", 2.5);
    ASSERT_STREQ(printed, "2,5");
    ASSERT_EQ(std::use_facet<std::numpunct<char>>(std::locale()).decimal_point(), ',');
  }

  void TearDown() override {
    if (!switched_) return;
    std::locale::global(saved_cpp_);
    std::setlocale(LC_ALL, saved_c_.c_str());
  }

  std::string saved_c_;
  std::locale saved_cpp_;
  bool switched_ = false;
};

TEST_F(CommaHost, WireNumbersKeepTheirPoint) {
  EXPECT_EQ(FormatFixed(2.5L, 2), "2.50");
  EXPECT_EQ(FormatFixed(2.25L, 1), "2.3");
  EXPECT_EQ(FormatFixed(-1234.5L, 1), "-1234.5");
  EXPECT_EQ(FormatInteger(-12345), "-12345");
  EXPECT_EQ(ParseDecimal("2.5"), 2.5L);
  EXPECT_EQ(ParseDecimal("6.1"), 6.1L);
  EXPECT_FALSE(ParseDecimal("2,5").has_value());
  EXPECT_EQ(ParseInteger("1500"), 1500);
}

TEST_F(CommaHost, AnswersFromTheTreadmillStillReadWithTheirPoint) {
  TKavtelDevice device;
  device.rnxStrToSpeed("2.5");
  device.rnxStrToElevation("10.5");
  EXPECT_FLOAT_EQ(device.GetSpeed(), 2.5f);
  EXPECT_FLOAT_EQ(device.GetElevation(), 10.5f);
}

TEST_F(CommaHost, SettingsFileUsesTheHostsComma) {
  EXPECT_EQ(HostDecimalSeparator(), ",");
  EXPECT_EQ(FormatHostFloat(21.96f), "21,9599990844727");
  EXPECT_EQ(ParseHostFloat("80,5"), 80.5);

  TKavtelDeviceCaps written;
  written.SetCalcWeight(80.5f);
  written.SetMaxSpeed(21.96f);
  TKavtelIniFile ini;
  ASSERT_TRUE(written.writeToIni(ini, "S"));
  EXPECT_EQ(ini.ReadString("S", "Weight", ""), "80,5");
  EXPECT_EQ(ini.ReadString("S", "MaxSpeed", ""), "21,9599990844727");

  TKavtelDeviceCaps read;
  ASSERT_TRUE(read.readFromIni(ini, "S"));
  EXPECT_EQ(read.GetCalcWeight(), 80.5f);
  EXPECT_EQ(read.GetMaxSpeed(), 21.96f);

  // A file written on a host with a decimal point still reads.
  ini.SetText("[S]\nWeight=70.25\n");
  ASSERT_TRUE(read.readFromIni(ini, "S"));
  EXPECT_EQ(read.GetCalcWeight(), 70.25f);
}

}  // namespace
}  // namespace kavtel
