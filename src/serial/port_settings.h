#pragma once

#include <cstdint>

#include "kavtel/export.h"
#include "platform/comm_device.h"
#include "services/root_object.h"

namespace kavtel {

class TAPPSerialPort;

// The line-setting enumerations; each value's number is its position.
enum TBaudRate : std::uint8_t {
  brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200, br38400,
  br56000, br57600, br115200, br128000, br256000
};
enum TStopBits : std::uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits : std::uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : std::uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl : std::uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : std::uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl : std::uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };

// Stores `value` in `field` and tells whether it differed.
template <typename T>
bool StoreChanged(T& field, T value) {
  if (field == value) return false;
  field = value;
  return true;
}

// Bits per second of a rate; brCustom stands for `custom`.
std::uint32_t BaudRateValue(TBaudRate rate, std::int32_t custom);

// The assignable base of the port's settings objects. Each holds a link to
// the port that owns it (empty until SetComPort); a value that changes asks
// that port to re-apply its configuration.
class KAVTEL_API TAPPComSettings : public TObject {
 public:
  TAPPComSettings() = default;
  TAPPComSettings(const TAPPComSettings&) = delete;
  TAPPComSettings& operator=(const TAPPComSettings&) = delete;

  // Copies `source` into this object (source.AssignTo(*this)).
  void Assign(const TAPPComSettings& source) { source.AssignTo(*this); }
  void SetComPort(TAPPSerialPort* port) { ComPort_ = port; }
  TAPPSerialPort* GetComPort() const { return ComPort_; }
  virtual const char* ClassName() const = 0;

 protected:
  // Copies every value but the owner link into `dest`, which must be of the
  // same class (std::invalid_argument otherwise, with nothing copied).
  virtual void AssignTo(TAPPComSettings& dest) const;

  TAPPSerialPort* ComPort_ = nullptr;
};

class KAVTEL_API TAPPComParity : public TAPPComSettings {
 public:
  const char* ClassName() const override { return "TAPPComParity"; }

  TParityBits GetBits() const { return Bits_; }
  bool GetCheck() const { return Check_; }
  bool GetReplace() const { return Replace_; }
  char GetReplaceChar() const { return ReplaceChar_; }
  // Each stores a changed value and re-applies the owner's control block.
  void SetBits(TParityBits value);
  void SetCheck(bool value);
  void SetReplace(bool value);
  void SetReplaceChar(char value);

 protected:
  void AssignTo(TAPPComSettings& dest) const override;

 private:
  TParityBits Bits_ = prNone;
  bool Check_ = false;
  bool Replace_ = false;
  char ReplaceChar_ = 0;
};

// Time-outs in milliseconds (multipliers in milliseconds per byte). A
// ReadInterval of -1 reaches the system as MAXDWORD: with both read totals
// 0 a read then returns at once with what has arrived.
class KAVTEL_API TAPPComTimeouts : public TAPPComSettings {
 public:
  const char* ClassName() const override { return "TAPPComTimeouts"; }

  std::int32_t GetReadInterval() const { return ReadInterval_; }
  std::int32_t GetReadTotalMultiplier() const { return ReadTotalMultiplier_; }
  std::int32_t GetReadTotalConstant() const { return ReadTotalConstant_; }
  std::int32_t GetWriteTotalMultiplier() const { return WriteTotalMultiplier_; }
  std::int32_t GetWriteTotalConstant() const { return WriteTotalConstant_; }
  // Each stores a changed value and re-applies the owner's time-outs.
  void SetReadInterval(std::int32_t value);
  void SetReadTotalM(std::int32_t value);
  void SetReadTotalC(std::int32_t value);
  void SetWriteTotalM(std::int32_t value);
  void SetWriteTotalC(std::int32_t value);

 protected:
  void AssignTo(TAPPComSettings& dest) const override;

 private:
  void Change(std::int32_t& field, std::int32_t value);

  std::int32_t ReadInterval_ = -1;
  std::int32_t ReadTotalMultiplier_ = 0;
  std::int32_t ReadTotalConstant_ = 0;
  std::int32_t WriteTotalMultiplier_ = 100;
  std::int32_t WriteTotalConstant_ = 1000;
};

class KAVTEL_API TAPPComFlowControl : public TAPPComSettings {
 public:
  const char* ClassName() const override { return "TAPPComFlowControl"; }

  bool GetOutCTSFlow() const { return OutCTSFlow_; }
  bool GetOutDSRFlow() const { return OutDSRFlow_; }
  TDTRFlowControl GetControlDTR() const { return ControlDTR_; }
  TRTSFlowControl GetControlRTS() const { return ControlRTS_; }
  bool GetXonXoffOut() const { return XonXoffOut_; }
  bool GetXonXoffIn() const { return XonXoffIn_; }
  bool GetDSRSensitivity() const { return DSRSensitivity_; }
  bool GetTxContinueOnXoff() const { return TxContinueOnXoff_; }
  char GetXonChar() const { return XonChar_; }
  char GetXoffChar() const { return XoffChar_; }
  // Each stores a changed value and re-applies the owner's control block.
  void SetOutCTSFlow(bool value);
  void SetOutDSRFlow(bool value);
  void SetControlDTR(TDTRFlowControl value);
  void SetControlRTS(TRTSFlowControl value);
  void SetXonXoffOut(bool value);
  void SetXonXoffIn(bool value);
  void SetDSRSensitivity(bool value);
  void SetTxContinueOnXoff(bool value);
  void SetXonChar(char value);
  void SetXoffChar(char value);

  // Derived from RTS control, CTS flow and the two XON/XOFF flags.
  TFlowControl GetFlowControl() const;
  // Sets those four for a named scheme (fcCustom leaves them) and always
  // re-applies the owner's control block once.
  void SetFlowControl(TFlowControl value);

 protected:
  void AssignTo(TAPPComSettings& dest) const override;

 private:
  template <typename T>
  void Change(T& field, T value);

  bool OutCTSFlow_ = false;
  bool OutDSRFlow_ = false;
  TDTRFlowControl ControlDTR_ = dtrDisable;
  TRTSFlowControl ControlRTS_ = rtsDisable;
  bool XonXoffOut_ = false;
  bool XonXoffIn_ = false;
  bool DSRSensitivity_ = false;
  bool TxContinueOnXoff_ = false;
  char XonChar_ = 17;
  char XoffChar_ = 19;
};

// The records the port hands the system, built from its settings.
platform::Dcb MakeDcb(const TAPPSerialPort& port);
platform::CommTimeouts MakeCommTimeouts(const TAPPComTimeouts& timeouts);

}  // namespace kavtel
