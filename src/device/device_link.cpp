// The line to the controller: noticing that it is gone, releasing the dead
// handle and reopening the port until the adapter is back.
#include <string>

#include "device/kavtel_device.h"
#include "device/link_keeper.h"
#include "platform/wait.h"

namespace kavtel {

TKavtelLinkState TKavtelDevice::GetLinkState() const {
  if (Link_.lost.load()) return klLost;
  return Link_.identifying.load() ? klIdentifying : klOk;
}

void TKavtelDevice::DoOnLineLost(TObject*) { lineLost("no more events from the port"); }

// The line is gone: from now on the host reads "detecting", nothing is
// written, and the cycle's ticks reopen the port. What was on the wire or
// queued is dropped (it was meant for a controller that may have restarted
// meanwhile); promised stops stay and go out after the identification.
void TKavtelDevice::lineLost(const char* why) {
  TAPPSYSMutexHold hold(lock());
  if (!Link_.online.load() || !Port_ || Link_.lost.load()) return;
  Exchange_.LineLost();
  // The first attempt comes at the next tick (an adapter that reset may be
  // back already), unless the port was just reopened: keepLink spaces the
  // attempts, so a port that opens but cannot be written is still tried
  // only about once a second.
  applyOutbox();
  log(std::string("<Link>| line lost (") + why + "), COM " +
          std::to_string(Port_->GetPortIndex()) + " is tried again about once a second",
      apmComment);
}

// The keeper is made at the first tick that finds the line lost, and lives
// until the polling ends.
void TKavtelDevice::wakeLinkKeeper() {
  std::lock_guard<std::mutex> hold(Cycle_.lock);
  if (Cycle_.member == 0) return;
  if (!Cycle_.keeper) Cycle_.keeper = std::make_unique<TKavtelLinkKeeper>(*this);
  Cycle_.keeper->Wake();
}

TKavtelLinkKeeper::TKavtelLinkKeeper(TKavtelDevice& device) : device_(device) { Resume(); }

TKavtelLinkKeeper::~TKavtelLinkKeeper() {
  Terminate();
  wake_.Set();
  WaitFor();
}

// One attempt per wake-up, that is per tick of the cycle while the line is
// lost; the device itself spaces the reopen attempts about a second apart.
void TKavtelLinkKeeper::Execute() {
  for (;;) {
    wake_.Wait(platform::kInfinite);
    if (Terminated()) break;
    if (device_.GetLinkState() == klLost) device_.GetParameter();
  }
}

// Runs on the link keeper (or a direct caller of GetParameter) while the
// line is lost. The port is closed and opened without the device lock held: closing waits for the port's event
// thread, which may itself be waiting for the lock.
void TKavtelDevice::keepLink() {
  // One attempt at a time: the link keeper and a direct caller of the tick
  // must not close and open the same port at once.
  std::lock_guard<std::mutex> attempt(Cycle_.reopenLock);
  // Another caller may have brought the line back meanwhile: its fresh
  // port must not be closed.
  if (!Link_.lost.load()) return;
  TAPPSerialPort* port = Port_.get();
  if (port == nullptr) return;
  if (port->GetConnected()) {
    // The dead handle goes at once, so that an adapter that comes back can
    // take its old name again.
    try {
      port->Close();
    } catch (...) {
    }
  }
  {
    TAPPSYSMutexHold hold(lock());
    if (!Link_.lost.load() || !Link_.online.load()) return;
    const auto at = now();
    if (Cycle_.lastReopenTry && at - *Cycle_.lastReopenTry < std::chrono::milliseconds(kReopenIntervalMs)) return;
    Cycle_.lastReopenTry = at;
  }
  try {
    port->Open();  // looks the port's path up again
  } catch (...) {
    // Opened but not usable: what stayed open is closed at the next tick.
    return;
  }
  if (!port->GetConnected()) return;
  TAPPSYSMutexHold hold(lock());
  // The new line's event thread died already: closed at the next tick.
  if (port->GetLineLost() || !Link_.online.load()) return;
  // Nothing was sent, received or decoded while the line was lost: the
  // device is still detecting, nothing in flight, awaiting identification.
  Exchange_.LineBack();
  applyOutbox();
  log("<Link>| line back on COM " + std::to_string(port->GetPortIndex()) +
          ", identifying the controller",
      apmComment);
}

}  // namespace kavtel
