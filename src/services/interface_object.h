#pragma once

#include <atomic>
#include <cstdint>

#include "kavtel/export.h"
#include "services/method.h"
#include "services/root_object.h"
#include "services/mutex.h"

namespace kavtel {

class TAPPSYSConnectionObj;

// The controller state the host sees; the ordinals are part of the exported
// interface (every state from ioDetecting upward counts as not ready).
enum TAPPIOControllerState : std::uint8_t {
  ioStop = 0,
  ioRun = 1,
  ioPause = 2,
  ioStopping = 3,
  ioDetecting = 4,
  ioOff = 5,
};

class TAPPInterfaceObject;
using TAPPIOCommandEvent = TMethod<void(TAPPInterfaceObject* Sender)>;

// Base of every object that controls a piece of equipment through a
// connection: it owns the controller state, the lock that guards the
// controller's shared data, and the mapping of open/closed onto the state.
// A concrete controller overrides how the connection opens and closes.
class KAVTEL_API TAPPInterfaceObject : public TObject {
 public:
  TAPPInterfaceObject();
  ~TAPPInterfaceObject() override;
  TAPPInterfaceObject(const TAPPInterfaceObject&) = delete;
  TAPPInterfaceObject& operator=(const TAPPInterfaceObject&) = delete;

  virtual void ioConnecting() {}
  virtual void ioDisconnecting() {}
  virtual bool canChangeConnectionObj(TAPPSYSConnectionObj* connection);
  virtual bool changeConnectionObj(TAPPSYSConnectionObj* connection);
  virtual void emergencyStop() {}
  virtual void Pause() {}

  // True exactly when the controller state is not ioOff.
  bool GetIOOpen() const { return ControllerState_.load() != ioOff; }
  // true: from ioOff go to ioDetecting (without notification) and connect.
  // false: disconnect unless already off.
  void SetIOOpen(bool value);

  TAPPIOControllerState GetControllerState() const { return ControllerState_.load(); }
  // Stores the state and, when it changed, raises OnControlState.
  void updateControllerState(TAPPIOControllerState state);

  void SetOnControlState(TAPPIOCommandEvent callback);
  TAPPIOCommandEvent GetOnControlState();

  void SetControllerChannel(TAPPSYSConnectionObj* connection) { ControllerChannel_ = connection; }
  TAPPSYSConnectionObj* GetControllerChannel() const { return ControllerChannel_; }

  void Acquire() { lock_.WaitFor(); }
  void Release() { lock_.Release(); }

 protected:
  TAPPSYSMutex& lock() { return lock_; }

 private:
  TAPPIOCommandEvent OnControlState_;
  TAPPSYSConnectionObj* ControllerChannel_ = nullptr;
  TAPPSYSMutex lock_;
  // Read by the host's threads without the lock.
  std::atomic<TAPPIOControllerState> ControllerState_{ioOff};
};

}  // namespace kavtel
