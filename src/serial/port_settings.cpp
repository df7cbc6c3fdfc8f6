#include "serial/port_settings.h"

#include <stdexcept>
#include <string>

#include "serial/serial_port.h"

namespace kavtel {

std::uint32_t BaudRateValue(TBaudRate rate, std::int32_t custom) {
  static constexpr std::uint32_t kRates[] = {0,     110,   300,   600,   1200,   2400,   4800,   9600,
                                             14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
  if (rate == brCustom || rate >= sizeof kRates / sizeof kRates[0]) {
    return static_cast<std::uint32_t>(custom);
  }
  return kRates[rate];
}

void TAPPComSettings::AssignTo(TAPPComSettings& dest) const {
  throw std::invalid_argument(std::string("Cannot assign a ") + ClassName() + " to a " +
                              dest.ClassName());
}

// --- parity ---

void TAPPComParity::SetBits(TParityBits value) {
  if (StoreChanged(Bits_, value) && ComPort_ != nullptr) ComPort_->ApplyDCB();
}
void TAPPComParity::SetCheck(bool value) {
  if (StoreChanged(Check_, value) && ComPort_ != nullptr) ComPort_->ApplyDCB();
}
void TAPPComParity::SetReplace(bool value) {
  if (StoreChanged(Replace_, value) && ComPort_ != nullptr) ComPort_->ApplyDCB();
}
void TAPPComParity::SetReplaceChar(char value) {
  if (StoreChanged(ReplaceChar_, value) && ComPort_ != nullptr) ComPort_->ApplyDCB();
}

void TAPPComParity::AssignTo(TAPPComSettings& dest) const {
  auto* to = dynamic_cast<TAPPComParity*>(&dest);
  if (to == nullptr) return TAPPComSettings::AssignTo(dest);
  to->Bits_ = Bits_;
  to->Check_ = Check_;
  to->Replace_ = Replace_;
  to->ReplaceChar_ = ReplaceChar_;
}

// --- time-outs ---

void TAPPComTimeouts::Change(std::int32_t& field, std::int32_t value) {
  if (StoreChanged(field, value) && ComPort_ != nullptr) ComPort_->ApplyTimeouts();
}
void TAPPComTimeouts::SetReadInterval(std::int32_t value) { Change(ReadInterval_, value); }
void TAPPComTimeouts::SetReadTotalM(std::int32_t value) { Change(ReadTotalMultiplier_, value); }
void TAPPComTimeouts::SetReadTotalC(std::int32_t value) { Change(ReadTotalConstant_, value); }
void TAPPComTimeouts::SetWriteTotalM(std::int32_t value) { Change(WriteTotalMultiplier_, value); }
void TAPPComTimeouts::SetWriteTotalC(std::int32_t value) { Change(WriteTotalConstant_, value); }

void TAPPComTimeouts::AssignTo(TAPPComSettings& dest) const {
  auto* to = dynamic_cast<TAPPComTimeouts*>(&dest);
  if (to == nullptr) return TAPPComSettings::AssignTo(dest);
  to->ReadInterval_ = ReadInterval_;
  to->ReadTotalMultiplier_ = ReadTotalMultiplier_;
  to->ReadTotalConstant_ = ReadTotalConstant_;
  to->WriteTotalMultiplier_ = WriteTotalMultiplier_;
  to->WriteTotalConstant_ = WriteTotalConstant_;
}

// --- flow control ---

template <typename T>
void TAPPComFlowControl::Change(T& field, T value) {
  if (StoreChanged(field, value) && ComPort_ != nullptr) ComPort_->ApplyDCB();
}
void TAPPComFlowControl::SetOutCTSFlow(bool value) { Change(OutCTSFlow_, value); }
void TAPPComFlowControl::SetOutDSRFlow(bool value) { Change(OutDSRFlow_, value); }
void TAPPComFlowControl::SetControlDTR(TDTRFlowControl value) { Change(ControlDTR_, value); }
void TAPPComFlowControl::SetControlRTS(TRTSFlowControl value) { Change(ControlRTS_, value); }
void TAPPComFlowControl::SetXonXoffOut(bool value) { Change(XonXoffOut_, value); }
void TAPPComFlowControl::SetXonXoffIn(bool value) { Change(XonXoffIn_, value); }
void TAPPComFlowControl::SetDSRSensitivity(bool value) { Change(DSRSensitivity_, value); }
void TAPPComFlowControl::SetTxContinueOnXoff(bool value) { Change(TxContinueOnXoff_, value); }
void TAPPComFlowControl::SetXonChar(char value) { Change(XonChar_, value); }
void TAPPComFlowControl::SetXoffChar(char value) { Change(XoffChar_, value); }

TFlowControl TAPPComFlowControl::GetFlowControl() const {
  const bool xon = XonXoffIn_ || XonXoffOut_;
  if (ControlRTS_ == rtsHandshake && OutCTSFlow_ && !xon) return fcHardware;
  if (ControlRTS_ == rtsDisable && !OutCTSFlow_ && XonXoffIn_ && XonXoffOut_) return fcSoftware;
  if (ControlRTS_ == rtsDisable && !OutCTSFlow_ && !xon) return fcNone;
  return fcCustom;
}

void TAPPComFlowControl::SetFlowControl(TFlowControl value) {
  if (value != fcCustom) {
    ControlRTS_ = rtsDisable;
    OutCTSFlow_ = false;
    XonXoffIn_ = false;
    XonXoffOut_ = false;
    if (value == fcHardware) {
      ControlRTS_ = rtsHandshake;
      OutCTSFlow_ = true;
    } else if (value == fcSoftware) {
      XonXoffIn_ = true;
      XonXoffOut_ = true;
    }
  }
  if (ComPort_ != nullptr) ComPort_->ApplyDCB();
}

void TAPPComFlowControl::AssignTo(TAPPComSettings& dest) const {
  auto* to = dynamic_cast<TAPPComFlowControl*>(&dest);
  if (to == nullptr) return TAPPComSettings::AssignTo(dest);
  to->OutCTSFlow_ = OutCTSFlow_;
  to->OutDSRFlow_ = OutDSRFlow_;
  to->ControlDTR_ = ControlDTR_;
  to->ControlRTS_ = ControlRTS_;
  to->XonXoffOut_ = XonXoffOut_;
  to->XonXoffIn_ = XonXoffIn_;
  to->DSRSensitivity_ = DSRSensitivity_;
  to->TxContinueOnXoff_ = TxContinueOnXoff_;
  to->XonChar_ = XonChar_;
  to->XoffChar_ = XoffChar_;
}

// --- the records handed to the system ---

platform::Dcb MakeDcb(const TAPPSerialPort& port) {
  const TAPPComParity& parity = port.GetParity();
  const TAPPComFlowControl& flow = port.GetFlowControl();
  const bool errorChar = parity.GetCheck() && parity.GetReplace();
  platform::Dcb dcb{};
  dcb.DCBlength = sizeof(platform::Dcb);
  dcb.BaudRate = BaudRateValue(port.GetBaudRate(), port.GetCustomBaudRate());
  std::uint32_t flags = platform::kDcbBinary;
  if (parity.GetCheck()) flags |= platform::kDcbParity;
  if (flow.GetOutCTSFlow()) flags |= platform::kDcbOutxCtsFlow;
  if (flow.GetOutDSRFlow()) flags |= platform::kDcbOutxDsrFlow;
  flags |= static_cast<std::uint32_t>(flow.GetControlDTR()) << platform::kDcbDtrControlShift;
  if (flow.GetDSRSensitivity()) flags |= platform::kDcbDsrSensitivity;
  if (flow.GetTxContinueOnXoff()) flags |= platform::kDcbTxContinueOnXoff;
  if (flow.GetXonXoffOut()) flags |= platform::kDcbOutX;
  if (flow.GetXonXoffIn()) flags |= platform::kDcbInX;
  if (errorChar) flags |= platform::kDcbErrorChar;
  if (port.GetDiscardNull()) flags |= platform::kDcbNull;
  flags |= static_cast<std::uint32_t>(flow.GetControlRTS()) << platform::kDcbRtsControlShift;
  dcb.Flags = flags;
  dcb.XonLim = 1024;
  dcb.XoffLim = 1024;
  dcb.ByteSize = static_cast<std::uint8_t>(5 + port.GetDataBits());
  dcb.Parity = static_cast<std::uint8_t>(parity.GetBits());
  dcb.StopBits = static_cast<std::uint8_t>(port.GetStopBits());
  dcb.XonChar = flow.GetXonChar();
  dcb.XoffChar = flow.GetXoffChar();
  dcb.ErrorChar = errorChar ? parity.GetReplaceChar() : '\0';
  dcb.EofChar = 0;
  dcb.EvtChar = port.GetEventChar();
  return dcb;
}

platform::CommTimeouts MakeCommTimeouts(const TAPPComTimeouts& t) {
  return {static_cast<std::uint32_t>(t.GetReadInterval()),
          static_cast<std::uint32_t>(t.GetReadTotalMultiplier()),
          static_cast<std::uint32_t>(t.GetReadTotalConstant()),
          static_cast<std::uint32_t>(t.GetWriteTotalMultiplier()),
          static_cast<std::uint32_t>(t.GetWriteTotalConstant())};
}

}  // namespace kavtel
