#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string>

#include "device/device_caps.h"

namespace kavtel {
namespace {

void ExpectDefaults(const TKavtelDeviceCaps& caps) {
  EXPECT_EQ(caps.GetDeviceTypeName(), "Generic");
  EXPECT_EQ(caps.GetUserName(), "");
  EXPECT_EQ(caps.GetDeviceType(), rnxtreadmill);
  EXPECT_EQ(caps.GetMinResponseTime(), 5);
  EXPECT_EQ(caps.GetMinSpeed(), 0.0f);
  EXPECT_EQ(caps.GetMaxSpeed(), 22.0f);
  EXPECT_EQ(caps.GetCalcWeight(), 65.0f);
}

void SetEveryValue(TKavtelDeviceCaps& caps) {
  caps.SetDeviceTypeName("Ladder 3000");
  caps.SetUserName("Anna");
  caps.SetDeviceType(rnxladder);
  caps.SetMinResponseTime(12);
  caps.SetMinSpeed(0.8f);
  caps.SetMaxSpeed(21.96f);
  caps.SetCalcWeight(72.5f);
}

TEST(DeviceCaps, NewRecordWritesTheDefaultsInKeyOrder) {
  const TKavtelDeviceCaps caps;
  ExpectDefaults(caps);
  TKavtelIniFile ini;
  ASSERT_TRUE(caps.writeToIni(ini, "X"));
  EXPECT_EQ(ini.GetText(),
            "[X]\nDeviceType=Generic\nUsername=\nMaxSpeed=22\nMinSpeed=0\n"
            "MinResponseTime=5\nWeight=65\nDeviceTypeID=0\n");
}

TEST(DeviceCaps, SectionRoundTripKeepsEveryValueAndFloatsKeepTheir32BitRounding) {
  TKavtelDeviceCaps written;
  SetEveryValue(written);
  TKavtelIniFile ini;
  ini.WriteString("Other", "Weight", "99");
  ASSERT_TRUE(written.writeToIni(ini, "Treadmill 3"));
  // 21.96 as a float is 21.95999908447265625: widened and written with 15
  // significant digits.
  EXPECT_EQ(ini.ReadString("Treadmill 3", "MaxSpeed", ""), "21.9599990844727");
  EXPECT_EQ(ini.ReadString("Treadmill 3", "MinSpeed", ""), "0.800000011920929");

  TKavtelDeviceCaps read;
  ASSERT_TRUE(read.readFromIni(ini, "Treadmill 3"));
  EXPECT_EQ(read.GetDeviceTypeName(), "Ladder 3000");
  EXPECT_EQ(read.GetUserName(), "Anna");
  EXPECT_EQ(read.GetDeviceType(), rnxladder);
  EXPECT_EQ(read.GetMinResponseTime(), 12);
  EXPECT_EQ(read.GetMinSpeed(), 0.8f);
  EXPECT_EQ(read.GetMaxSpeed(), 21.96f);
  EXPECT_EQ(read.GetCalcWeight(), 72.5f);
}

TEST(DeviceCaps, MissingSectionReadsExactlyTheDefaults) {
  TKavtelDeviceCaps caps;
  SetEveryValue(caps);
  TKavtelIniFile ini;
  ASSERT_TRUE(caps.writeToIni(ini, "Present"));
  EXPECT_TRUE(caps.readFromIni(ini, "Absent"));
  ExpectDefaults(caps);
}

TEST(DeviceCaps, PartialAndUnreadableKeysFallBackOneByOne) {
  TKavtelIniFile ini;
  ini.SetText(
      "[Ladder]\nDeviceTypeID=1\nWeight=80.5\n"
      "[Odd]\nMaxSpeed=fast\nMinResponseTime=soon\nDeviceTypeID=258\nUsername=Bo\n"
      "[Unknown]\nDeviceTypeID=7\n");
  TKavtelDeviceCaps caps;
  ASSERT_TRUE(caps.readFromIni(ini, "Ladder"));
  EXPECT_EQ(caps.GetDeviceType(), rnxladder);
  EXPECT_EQ(caps.GetCalcWeight(), 80.5f);
  EXPECT_EQ(caps.GetMaxSpeed(), 22.0f);

  caps.SetMaxSpeed(10.0f);
  ASSERT_TRUE(caps.readFromIni(ini, "Odd"));
  EXPECT_EQ(caps.GetMaxSpeed(), 22.0f);
  EXPECT_EQ(caps.GetMinResponseTime(), 5);
  EXPECT_EQ(caps.GetDeviceType(), rnxbicycle);  // the low 8 bits of 258
  EXPECT_EQ(caps.GetUserName(), "Bo");

  ASSERT_TRUE(caps.readFromIni(ini, "Unknown"));  // no range check
  EXPECT_EQ(static_cast<int>(caps.GetDeviceType()), 7);
}

TEST(DeviceCaps, FailedWriteReportsFalseAndStopsAtTheFailingKey) {
  TKavtelDeviceCaps caps;
  caps.SetDeviceTypeName("Mill");
  caps.SetUserName("Anna\n[Injected]\nWeight=1");  // would add lines to the file
  TKavtelIniFile ini;
  EXPECT_FALSE(caps.writeToIni(ini, "S"));
  EXPECT_EQ(ini.GetText(), "[S]\nDeviceType=Mill\n");

  EXPECT_FALSE(TKavtelDeviceCaps().writeToIni(ini, "bad]section"));
  EXPECT_EQ(ini.GetText(), "[S]\nDeviceType=Mill\n");
}

TEST(AccelerationTable, IndexSearchFollowsTheDivisorBands) {
  struct Case {
    std::int32_t t;
    std::int32_t index;
  };
  const Case cases[] = {
      {std::numeric_limits<std::int32_t>::min(), 8}, {-5, 8}, {0, 8}, {2, 8},
      {3, 7},   {4, 7},   {5, 6},   {7, 6},    {8, 5},    {15, 5},  {16, 4},   {32, 4},
      {33, 3},  {65, 3},  {66, 2},  {100, 2},  {130, 2},  {131, 1}, {232, 1},  {1000, 1},
      {std::numeric_limits<std::int32_t>::max(), 1},
  };
  for (const auto& c : cases) EXPECT_EQ(TKavtelDeviceCaps::ifindAccelIndex(c.t), c.index) << "t " << c.t;
}

TEST(AccelerationTable, EffectiveAccelerationDividesMaxSpeedInMetresPerSecond) {
  TKavtelDeviceCaps caps;
  EXPECT_EQ(caps.effectiveAccelearionFromAI(0), 22.0L / 3.6L / 232);
  EXPECT_NEAR(static_cast<double>(caps.effectiveAccelearionFromAI(1)), 0.046649, 1e-6);
  EXPECT_NEAR(static_cast<double>(caps.effectiveAccelearionFromAI(7)), 2.037037, 1e-6);
  // The stored 32-bit maximum speed, not the decimal it was set from.
  caps.SetMaxSpeed(21.96f);
  EXPECT_EQ(caps.effectiveAccelearionFromAI(3), static_cast<long double>(21.96f) / 3.6L / 33);
  EXPECT_THROW(caps.effectiveAccelearionFromAI(-1), std::out_of_range);
  EXPECT_THROW(caps.effectiveAccelearionFromAI(8), std::out_of_range);
}

}  // namespace
}  // namespace kavtel
