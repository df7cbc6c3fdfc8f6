#include "services/interface_object.h"

namespace kavtel {

TAPPInterfaceObject::TAPPInterfaceObject() = default;
TAPPInterfaceObject::~TAPPInterfaceObject() = default;

bool TAPPInterfaceObject::canChangeConnectionObj(TAPPSYSConnectionObj*) { return true; }

bool TAPPInterfaceObject::changeConnectionObj(TAPPSYSConnectionObj*) { return false; }

void TAPPInterfaceObject::SetIOOpen(bool value) {
  if (value) {
    TAPPIOControllerState expected = ioOff;
    if (ControllerState_.compare_exchange_strong(expected, ioDetecting)) ioConnecting();
  } else if (ControllerState_.load() != ioOff) {
    ioDisconnecting();
  }
}

void TAPPInterfaceObject::updateControllerState(TAPPIOControllerState state) {
  const TAPPIOControllerState old = ControllerState_.exchange(state);
  if (old == state) return;
  TAPPIOCommandEvent callback = GetOnControlState();
  callback(this);
}

void TAPPInterfaceObject::SetOnControlState(TAPPIOCommandEvent callback) {
  TAPPSYSMutexHold hold(lock_);
  OnControlState_ = std::move(callback);
}

TAPPIOCommandEvent TAPPInterfaceObject::GetOnControlState() {
  TAPPSYSMutexHold hold(lock_);
  return OnControlState_;
}

}  // namespace kavtel
