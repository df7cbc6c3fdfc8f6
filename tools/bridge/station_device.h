// A station's treadmill as the bridge drives it: through the flat API of
// libkavtel only, like any host.
#ifndef KAVTEL_BRIDGE_STATION_DEVICE_H
#define KAVTEL_BRIDGE_STATION_DEVICE_H

#include <atomic>

#include "bridge_messages.h"

namespace bridge {

class StationDevice {
 public:
  explicit StationDevice(int com) : com_(com) {}

  // Opens COM<com> (KAVTEL_OK) unless open already; the library then
  // identifies the controller and keeps the line, reopening it after a loss.
  bool EnsureOpen();
  bool IsOpen() const { return open_.load(); }
  // Every reader, once.
  Reading Read() const;
  // Presses and releases the stop key: the one command the library never
  // refuses once the device is admitted, sends ahead of everything queued,
  // and sends again after a re-identification if the line fails. The
  // result is the press's code (KAVTEL_DETECTING while the controller is
  // not identified: nothing was queued then).
  int PressStop();
  // Carries out a checked speed, elevation, acceleration or key command
  // through its setter or key function; the library's return code.
  int Drive(const Command& command);
  // Closes with the stop group; *confirmed as kavtelclosePortEx gives it.
  int Close(int* confirmed);

 private:
  int com_;
  std::atomic<bool> open_{false};  // written by the closing thread at the end
};

}  // namespace bridge

#endif
