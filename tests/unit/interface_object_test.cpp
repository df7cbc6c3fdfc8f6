#include <gtest/gtest.h>

#include "services/connection.h"
#include "services/interface_object.h"

namespace kavtel {
namespace {

// Counts the connect and disconnect calls and ends each as a concrete
// controller would: connected stays ioDetecting, disconnected goes ioOff.
class CountingController : public TAPPInterfaceObject {
 public:
  int connects = 0;
  int disconnects = 0;
  void ioConnecting() override { ++connects; }
  void ioDisconnecting() override {
    ++disconnects;
    updateControllerState(ioOff);
  }
};

TEST(InterfaceObject, OpenAndCloseMapOntoTheControllerState) {
  CountingController c;
  int notified = 0;
  c.SetOnControlState([&](TAPPInterfaceObject* sender) {
    EXPECT_EQ(sender, &c);
    ++notified;
  });
  EXPECT_FALSE(c.GetIOOpen());
  EXPECT_EQ(c.GetControllerState(), ioOff);

  c.SetIOOpen(false);  // closed already: no disconnect
  EXPECT_EQ(c.disconnects, 0);

  c.SetIOOpen(true);
  EXPECT_TRUE(c.GetIOOpen());
  EXPECT_EQ(c.GetControllerState(), ioDetecting);
  EXPECT_EQ(c.connects, 1);
  EXPECT_EQ(notified, 0);  // the step to ioDetecting is not notified

  c.SetIOOpen(true);  // open already: nothing
  EXPECT_EQ(c.connects, 1);

  c.updateControllerState(ioDetecting);  // unchanged: no notification
  EXPECT_EQ(notified, 0);
  c.updateControllerState(ioRun);
  EXPECT_EQ(notified, 1);

  c.SetIOOpen(false);
  EXPECT_EQ(c.disconnects, 1);
  EXPECT_FALSE(c.GetIOOpen());
  EXPECT_EQ(notified, 2);
}

TEST(InterfaceObject, BaseAllowsAnyConnectionButChangesNone) {
  TAPPInterfaceObject base;
  TAPPSYSConnectionObj com;
  base.SetControllerChannel(&com);
  EXPECT_EQ(base.GetControllerChannel(), &com);
  EXPECT_TRUE(base.canChangeConnectionObj(&com));
  EXPECT_FALSE(base.changeConnectionObj(&com));
  base.SetIOOpen(true);  // the base connects nothing but still reads open
  EXPECT_EQ(base.GetControllerState(), ioDetecting);
}

}  // namespace
}  // namespace kavtel
