#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "kavtel/export.h"
#include "platform/event.h"
#include "platform/thread.h"
#include "serial/serial_port.h"
#include "services/root_object.h"

namespace kavtel {

// The system's event mask for a set of line events, and back; flags outside
// the ten events are dropped.
std::uint32_t MaskFromComEvents(TComEvents events);
TComEvents ComEventsFromMask(std::uint32_t mask);

// The event thread of an open serial port: it waits for the port's line
// events and dispatches each wake-up's events to the port, in a fixed order
// (received bytes first, RX80FULL last), all on this thread. A stop, a
// failed wait or an exception out of a dispatch ends it; on the way out it
// clears the event mask, purges both driver queues and releases its wait
// events. An exception also leaves a comment line in the port's log. Ended
// by anything but its stop, it tells the port the line is lost, last.
class KAVTEL_API TAPPSerialThread : public TObject, private platform::Thread {
 public:
  // Sets the port's event mask and starts waiting at once.
  explicit TAPPSerialThread(TAPPSerialPort* port);
  // Stops the thread and waits for it. Must not run on the thread itself.
  ~TAPPSerialThread() override;

  // Signals the stop event (when the thread still holds one).
  void Stop();

  using platform::Thread::Finished;

 protected:
  void Execute() override;

 private:
  void DoEvents();

  std::mutex stopLock_;  // the stop event against its release by the ending thread
  std::unique_ptr<platform::Event> stop_;
  TComEvents occurred_ = 0;
  TAPPSerialPort* port_;
};

}  // namespace kavtel
