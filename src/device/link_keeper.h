#pragma once

#include <cstdint>

#include "platform/event.h"
#include "platform/thread.h"

namespace kavtel {

class TKavtelDevice;

// The thread that reopens a device's lost line. Reopening closes the dead
// port (which waits for its event thread) and opens it again (which may
// take a while on a slow adapter), so it never runs on the cycle shared by
// all devices. The keeper sleeps until it is woken; while the line is lost
// it calls the device's full tick once a cycle, which tries the port about
// once a second and, once the line is back, identifies the controller.
class TKavtelLinkKeeper : private platform::Thread {
 public:
  TKavtelLinkKeeper(TKavtelDevice& device, std::uint32_t cycleMs);
  // Waits for an attempt in progress.
  ~TKavtelLinkKeeper() override;
  void Wake() { wake_.Set(); }

 protected:
  void Execute() override;

 private:
  TKavtelDevice& device_;
  const std::uint32_t cycleMs_;
  platform::Event wake_{false, false};
};

}  // namespace kavtel
