#pragma once

#include "platform/event.h"
#include "platform/thread.h"

namespace kavtel {

class TKavtelDevice;

// The thread that reopens a device's lost line. Reopening closes the dead
// port (which waits for its event thread) and opens it again (which may
// take a while on a slow adapter), so it never runs on the cycle shared by
// all devices: each tick of the cycle that finds the line lost wakes the
// keeper, which calls the device's full tick: that tries the port about
// once a second and, once the line is back, identifies the controller.
class TKavtelLinkKeeper : private platform::Thread {
 public:
  explicit TKavtelLinkKeeper(TKavtelDevice& device);
  // Waits for an attempt in progress.
  ~TKavtelLinkKeeper() override;
  void Wake() { wake_.Set(); }

 protected:
  void Execute() override;

 private:
  TKavtelDevice& device_;
  platform::Event wake_{false, false};
};

}  // namespace kavtel
