// Control operations and the keypad: the command texts on the wire.
#include <gtest/gtest.h>

#include <limits>

#include "device_fixture.h"

namespace kavtel::test {
namespace {

using Written = std::vector<std::string>;

class ControlTest : public DeviceFixture {
 protected:
  // What the operations queued, in the order it goes out.
  Written sent() {
    dev.postCommands();
    return serveUntilIdle();
  }
};

TEST_F(ControlTest, SpeedGoesOutTwiceUnlessRunningAndNotWhenAlreadyThere) {
  identify("224");
  ASSERT_EQ(dev.GetControllerState(), ioStop);
  EXPECT_TRUE(dev.DoChangeSpeed(2.5L));
  EXPECT_EQ(sent(), (Written{"S022.50", "S022.50"}));
  answer("S00", "1");
  EXPECT_TRUE(dev.DoChangeSpeed(1.0033L));  // with the offset 0.00173: 1.00503
  EXPECT_EQ(sent(), (Written{"S021.01"}));
  // The treadmill reports the asked-for speed: asking again sends nothing.
  EXPECT_TRUE(dev.DoChangeSpeed(2.5L));
  sent();
  answer("S01", "2.5");
  EXPECT_TRUE(dev.DoChangeSpeed(2.5L));
  EXPECT_EQ(sent(), Written{});
  answer("S01", "2.4");
  EXPECT_TRUE(dev.DoChangeSpeed(2.5L));
  EXPECT_EQ(sent(), (Written{"S022.50"}));
}

TEST_F(ControlTest, GenerationOneUsesItsOwnOffset) {
  identify("123");
  dev.SetMCU2Fac(0);
  EXPECT_TRUE(dev.DoChangeSpeed(2.5L));
  EXPECT_EQ(sent(), (Written{"S022.50", "S022.50"}));
}

TEST_F(ControlTest, SetCommandsFormatTheirArguments) {
  identify("224");
  EXPECT_TRUE(dev.DoChangeElevation(10));
  EXPECT_TRUE(dev.DoChangeElevation(2.25L));  // halves away from zero
  EXPECT_TRUE(dev.DoChangeAcceleration(0));
  EXPECT_TRUE(dev.DoChangeFailSafe(-1));
  EXPECT_EQ(sent(), (Written{"E0310.0", "E032.3", "A000", "F00-1"}));
  EXPECT_TRUE(dev.DoChangeStopSpeed());
  EXPECT_EQ(dev.GetControllerState(), ioStopping);
  EXPECT_EQ(sent(), (Written{"S020.00", "U10SP", "U10SR"}));
}

TEST_F(ControlTest, SettersRefuseWhatTheControllerCannotTakeWithNothingQueued) {
  identify("224");  // its device type asks the maximum speed: 6.1 m/s
  ASSERT_FLOAT_EQ(dev.GetReportedMaxSpeed(), 6.1f);
  const long double nan = std::numeric_limits<long double>::quiet_NaN();
  const long double inf = std::numeric_limits<long double>::infinity();
  for (long double speed : {-1.0L, -0.01L, 6.2L, 1e9L, 1e300L, nan, inf, -inf}) {
    SCOPED_TRACE(static_cast<double>(speed));
    EXPECT_FALSE(dev.DoChangeSpeed(speed));
  }
  for (long double elevation : {100.0L, -100.0L, 1e300L, nan, inf}) {
    SCOPED_TRACE(static_cast<double>(elevation));
    EXPECT_FALSE(dev.DoChangeElevation(elevation));
  }
  dev.postCommands();
  EXPECT_EQ(take(), Written{});
  EXPECT_EQ(dev.Inspect().queuedCommands, 0);
  EXPECT_EQ(dev.Inspect().promisedStops, 0u);
  // The limits themselves are taken.
  EXPECT_TRUE(dev.DoChangeSpeed(6.1L));
  EXPECT_TRUE(dev.DoChangeElevation(-99.9L));
  EXPECT_TRUE(dev.DoChangeElevation(99.9L));
  dev.postCommands();
  EXPECT_EQ(take(), (Written{Body("S026.10")}));
}

TEST_F(ControlTest, EmergencyStopSendsTheGroupOfItsGeneration) {
  dev.emergencyStop();  // closed: nothing
  EXPECT_EQ(take(), Written{});
  identify("224");
  dev.emergencyStop();
  EXPECT_EQ(serveUntilIdle(), (Written{"A003", "S020.00", "U10SP", "U10SR"}));
  closeQuietly();
  take();
  identify("123");
  dev.emergencyStop();
  EXPECT_EQ(serveUntilIdle(), (Written{"U00S"}));
}

TEST_F(ControlTest, AStopIsNeverRefusedByAFullQueue) {
  identify("224");
  dev.senduqs("A001");
  dev.postCommands();
  while (dev.senduqs("E030.0")) {
  }
  dev.emergencyStop();
  answer("A00", "1");
  EXPECT_EQ(serveUntilIdle(), (Written{"A003", "S020.00", "U10SP", "U10SR"}));
}

struct KeyCase {
  const char* name;
  std::function<bool(TKavtelDevice&)> op;
  Written generation1;
  Written generation2;
};

TEST_F(ControlTest, KeypadTextsOfBothGenerations) {
  const KeyCase keys[] = {
      {"plus", [](TKavtelDevice& d) { return d.pressFaster() && d.upFaster(); },
       {"U00+", "U00H"}, {"U10+P", "U10+R"}},
      {"minus", [](TKavtelDevice& d) { return d.pressSlower() && d.upSlower(); },
       {"U00-", "U00H"}, {"U10-P", "U10-R"}},
      {"up", [](TKavtelDevice& d) { return d.pressUp() && d.upUp(); },
       {"U00U", "U00H"}, {"U10UP", "U10UR"}},
      {"down", [](TKavtelDevice& d) { return d.pressDown() && d.upDown(); },
       {"U00D", "U00H"}, {"U10DP", "U10DR"}},
      {"start", [](TKavtelDevice& d) { return d.pressStart() && d.upStart(); },
       {"U10EP", "U10ER"}, {"U10EP", "U10ER"}},
      {"stop", [](TKavtelDevice& d) { return d.pressStop() && d.upStop(); },
       {"U00S"}, {"U10SP", "U10SR"}},
  };
  for (const char* version : {"123", "224"}) {
    closeQuietly();
    take();
    identify(version);
    for (const auto& k : keys) {
      SCOPED_TRACE(std::string(version) + " " + k.name);
      EXPECT_TRUE(k.op(dev));
      EXPECT_EQ(serveUntilIdle(), version[0] == '1' ? k.generation1 : k.generation2);
      EXPECT_EQ(dev.Inspect().pressedButtons, 0);
    }
  }
}

TEST_F(ControlTest, HeldKeyRules) {
  identify("224");
  dev.pressFaster();
  dev.pressFaster();  // held: not sent again
  dev.pressUp();
  dev.pressUp();  // up and down repeat while held
  dev.upStart();  // never pressed: nothing
  dev.upSlower();  // a release without a press is still sent
  EXPECT_EQ(serveUntilIdle(), (Written{"U10+P", "U10UP", "U10UP", "U10-R"}));
  EXPECT_TRUE(dev.isPressesRNXBtn(rnxbtnplus));
  EXPECT_TRUE(dev.isPressesRNXBtn(rnxbtnup));
  dev.resetRNXBtn();
  EXPECT_EQ(dev.Inspect().pressedButtons, 0);
}

TEST_F(ControlTest, PlusAndMinusWaitForIdentificationAndStopReleaseForAVersion) {
  open();
  take();
  ASSERT_EQ(dev.GetControllerState(), ioDetecting);
  dev.pressFaster();
  dev.pressSlower();
  EXPECT_EQ(dev.Inspect().pressedButtons, 0);
  dev.pressStop();  // generation unknown: the newer texts, but no release
  dev.upStop();
  EXPECT_EQ(dev.Inspect().pressedButtons, 0);
  answer("V00", "224");  // the version query in flight
  const Written asked = serveUntilIdle();
  EXPECT_EQ(asked, (Written{"U10SP", "F0010", "U17", "Y00", "S04"}));
}

TEST_F(ControlTest, OxygenUptakeAndEnergyFromSpeedElevationAndWeight) {
  TKavtelDevice device;
  device.rnxStrToSpeed("2.5");
  device.calcV02andErnergy(600);
  EXPECT_NEAR(device.GetVO2(), 29.92f, 1e-4);
  EXPECT_EQ(device.GetEnergy(), 410u);
  device.calcV02andErnergy(0);
  EXPECT_EQ(device.GetEnergy(), 0u);
  // An absurd reported speed saturates the energy rather than throwing.
  device.rnxStrToSpeed(std::string(40, '9'));
  device.calcV02andErnergy(600);
  EXPECT_EQ(device.GetEnergy(), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace kavtel::test
