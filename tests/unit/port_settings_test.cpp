#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>

#include "support/fake_comm_device.h"
#include "serial/port_settings.h"
#include "serial/serial_port.h"

namespace kavtel {
namespace {

using test::FakeCommDevice;
using test::FakeCommState;

// A port whose device is a fake that records the calls.
class PortSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    TAPPSerialPort::SetCommDeviceFactory([s = state] { return std::make_unique<FakeCommDevice>(s); });
    port = std::make_unique<TAPPSerialPort>();
  }
  void TearDown() override {
    port.reset();
    TAPPSerialPort::SetCommDeviceFactory(nullptr);
  }
  std::size_t StatesApplied() {
    std::lock_guard<std::mutex> hold(state->lock);
    return state->states.size();
  }
  std::size_t TimeoutsApplied() {
    std::lock_guard<std::mutex> hold(state->lock);
    return state->timeouts.size();
  }
  platform::Dcb LastState() {
    std::lock_guard<std::mutex> hold(state->lock);
    return state->states.back();
  }

  std::shared_ptr<FakeCommState> state = std::make_shared<FakeCommState>();
  std::unique_ptr<TAPPSerialPort> port;
};

struct DcbCase {
  const char* name;
  std::function<void(TAPPSerialPort&)> configure;
  std::uint32_t baud;
  std::uint32_t flags;
  std::uint8_t byteSize;
  std::uint8_t parity;
  std::uint8_t stopBits;
  char errorChar;
  char evtChar;
};

TEST_F(PortSettings, SettingsReachTheDeviceAsTheExactControlBlock) {
  const DcbCase cases[] = {
      {"defaults", [](TAPPSerialPort&) {}, 9600, 0x0001, 8, 0, 0, 0, 0},
      {"every flag",
       [](TAPPSerialPort& p) {
         p.GetParity().SetCheck(true);
         p.GetParity().SetReplace(true);
         p.GetParity().SetReplaceChar('?');
         auto& f = p.GetFlowControl();
         f.SetOutCTSFlow(true);
         f.SetOutDSRFlow(true);
         f.SetControlDTR(dtrHandshake);
         f.SetDSRSensitivity(true);
         f.SetTxContinueOnXoff(true);
         f.SetXonXoffOut(true);
         f.SetXonXoffIn(true);
         f.SetControlRTS(rtsToggle);
         p.SetDiscardNull(true);
       },
       9600, 0x3FEF, 8, 0, 0, '?', 0},
      {"DTR and RTS enabled",
       [](TAPPSerialPort& p) {
         p.GetFlowControl().SetControlDTR(dtrEnable);
         p.GetFlowControl().SetControlRTS(rtsEnable);
       },
       9600, 0x1011, 8, 0, 0, 0, 0},
      {"hardware flow", [](TAPPSerialPort& p) { p.GetFlowControl().SetFlowControl(fcHardware); },
       9600, 0x2005, 8, 0, 0, 0, 0},
      {"replace without check",
       [](TAPPSerialPort& p) {
         p.GetParity().SetReplace(true);
         p.GetParity().SetReplaceChar('?');
       },
       9600, 0x0001, 8, 0, 0, 0, 0},
      {"custom rate",
       [](TAPPSerialPort& p) {
         p.SetBaudRate(brCustom);
         p.SetCustomBaudRate(31250);
       },
       31250, 0x0001, 8, 0, 0, 0, 0},
      {"named rate ignores custom",
       [](TAPPSerialPort& p) {
         p.SetCustomBaudRate(1234);
         p.SetBaudRate(br256000);
       },
       256000, 0x0001, 8, 0, 0, 0, 0},
      {"110 5S2",
       [](TAPPSerialPort& p) {
         p.SetBaudRate(br110);
         p.SetDataBits(dbFive);
         p.GetParity().SetBits(prSpace);
         p.SetStopBits(sbTwoStopBits);
       },
       110, 0x0001, 5, 4, 2, 0, 0},
      {"7M1.5 with an event character",
       [](TAPPSerialPort& p) {
         p.SetDataBits(dbSeven);
         p.GetParity().SetBits(prMark);
         p.SetStopBits(sbOne5StopBits);
         p.SetEventChar('x');
       },
       9600, 0x0001, 7, 3, 1, 0, 'x'},
      {"6O1", [](TAPPSerialPort& p) {
         p.SetDataBits(dbSix);
         p.GetParity().SetBits(prOdd);
       },
       9600, 0x0001, 6, 1, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TAPPSerialPort p;
    c.configure(p);
    EXPECT_EQ(StatesApplied(), 0u) << "a closed port must not touch the device";
    p.Open();
    ASSERT_TRUE(p.GetConnected());
    const platform::Dcb dcb = LastState();
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, c.baud);
    EXPECT_EQ(dcb.Flags, c.flags);
    EXPECT_EQ(dcb.wReserved, 0);
    EXPECT_EQ(dcb.XonLim, 1024);
    EXPECT_EQ(dcb.XoffLim, 1024);
    EXPECT_EQ(dcb.ByteSize, c.byteSize);
    EXPECT_EQ(dcb.Parity, c.parity);
    EXPECT_EQ(dcb.StopBits, c.stopBits);
    EXPECT_EQ(dcb.XonChar, 17);
    EXPECT_EQ(dcb.XoffChar, 19);
    EXPECT_EQ(dcb.ErrorChar, c.errorChar);
    EXPECT_EQ(dcb.EofChar, 0);
    EXPECT_EQ(dcb.EvtChar, c.evtChar);
    EXPECT_EQ(dcb.wReserved1, 0);
    p.Close();
    state->Clear();
  }
}

TEST_F(PortSettings, TimeoutsReachTheDeviceUnchangedAndMinusOneAsAllOnes) {
  port->Open();
  platform::CommTimeouts t;
  {
    std::lock_guard<std::mutex> hold(state->lock);
    t = state->timeouts.back();
  }
  EXPECT_EQ(t.ReadIntervalTimeout, 0xFFFFFFFFu);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);

  port->GetTimeouts().SetWriteTotalM(0);
  port->GetTimeouts().SetWriteTotalC(-2);
  port->GetTimeouts().SetReadTotalC(7);
  port->GetTimeouts().SetReadTotalM(3);
  port->GetTimeouts().SetReadInterval(5);
  {
    std::lock_guard<std::mutex> hold(state->lock);
    t = state->timeouts.back();
  }
  EXPECT_EQ(t.ReadIntervalTimeout, 5u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 3u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 7u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 0xFFFFFFFEu);
}

TEST_F(PortSettings, SettersReapplyOnlyChangedValuesOnAnOpenPortOutsideAnUpdate) {
  // Closed: stored only.
  port->SetBaudRate(br19200);
  port->GetParity().SetCheck(true);
  port->GetTimeouts().SetReadInterval(10);
  EXPECT_TRUE(state->Calls().empty());

  port->Open();
  ASSERT_EQ(StatesApplied(), 1u);
  EXPECT_EQ(LastState().BaudRate, 19200u);
  EXPECT_EQ(LastState().Flags & platform::kDcbParity, platform::kDcbParity);
  EXPECT_EQ(TimeoutsApplied(), 1u);

  // Equal values change nothing.
  port->SetBaudRate(br19200);
  port->GetParity().SetCheck(true);
  port->GetFlowControl().SetXonChar(17);
  port->GetTimeouts().SetReadInterval(10);
  EXPECT_EQ(StatesApplied(), 1u);
  EXPECT_EQ(TimeoutsApplied(), 1u);

  // Each change re-applies its own record once.
  port->SetBaudRate(br57600);
  EXPECT_EQ(StatesApplied(), 2u);
  EXPECT_EQ(LastState().BaudRate, 57600u);
  port->GetFlowControl().SetXoffChar(20);
  EXPECT_EQ(StatesApplied(), 3u);
  port->GetTimeouts().SetWriteTotalC(0);
  EXPECT_EQ(TimeoutsApplied(), 2u);
  EXPECT_EQ(StatesApplied(), 3u);

  // Inside nested brackets nothing reaches the device; the outer end applies
  // buffer sizes, block and time-outs once, in that order.
  port->BeginUpdate();
  port->BeginUpdate();
  port->SetBaudRate(br4800);
  port->GetParity().SetBits(prEven);
  port->GetTimeouts().SetReadTotalC(9);
  port->EndUpdate();
  EXPECT_EQ(StatesApplied(), 3u);
  EXPECT_EQ(TimeoutsApplied(), 2u);
  state->Clear();
  port->EndUpdate();
  EXPECT_EQ(state->Calls(), (std::vector<std::string>{"Setup(4096,4096)", "SetState", "SetTimeouts"}));
  EXPECT_EQ(LastState().BaudRate, 4800u);
  EXPECT_EQ(LastState().Parity, platform::kEvenParity);

  // An end without a begin does nothing.
  state->Clear();
  port->EndUpdate();
  EXPECT_TRUE(state->Calls().empty());
}

TEST_F(PortSettings, SetFlowControlAlwaysReappliesEvenWhenNothingChanges) {
  port->Open();
  ASSERT_EQ(StatesApplied(), 1u);
  port->GetFlowControl().SetFlowControl(fcCustom);
  EXPECT_EQ(StatesApplied(), 2u);
  port->GetFlowControl().SetFlowControl(fcNone);
  EXPECT_EQ(StatesApplied(), 3u);
  EXPECT_EQ(LastState().Flags, 0x0001u);
}

TEST_F(PortSettings, EndUpdateOnAClosedPortAppliesNothing) {
  port->BeginUpdate();
  port->SetBaudRate(br1200);
  port->EndUpdate();
  EXPECT_TRUE(state->Calls().empty());
}

TEST_F(PortSettings, PortSetParityCopiesWithoutReplacingTheOwnedObjectAndAppliesOnce) {
  port->Open();
  TAPPComParity wanted;
  wanted.SetBits(prOdd);
  wanted.SetCheck(true);
  TAPPComParity* owned = &port->GetParity();
  port->SetParity(wanted);
  EXPECT_EQ(&port->GetParity(), owned);
  EXPECT_EQ(port->GetParity().GetComPort(), port.get());
  EXPECT_EQ(StatesApplied(), 2u);
  EXPECT_EQ(LastState().Parity, platform::kOddParity);
  EXPECT_EQ(LastState().Flags, 0x0003u);

  TAPPComTimeouts timeouts;
  timeouts.SetReadInterval(0);
  port->SetTimeouts(timeouts);
  EXPECT_EQ(TimeoutsApplied(), 2u);
  EXPECT_EQ(StatesApplied(), 2u);
}

struct FlowCase {
  TRTSFlowControl rts;
  bool cts;
  bool xonIn;
  bool xonOut;
  TFlowControl expected;
};

TEST(FlowControl, DerivedFromRtsCtsAndXonXoffOnly) {
  const FlowCase cases[] = {
      {rtsDisable, false, false, false, fcNone},   {rtsHandshake, true, false, false, fcHardware},
      {rtsDisable, false, true, true, fcSoftware}, {rtsEnable, false, false, false, fcCustom},
      {rtsDisable, false, true, false, fcCustom},  {rtsDisable, false, false, true, fcCustom},
      {rtsHandshake, false, false, false, fcCustom}, {rtsDisable, true, false, false, fcCustom},
      {rtsHandshake, true, true, true, fcCustom},  {rtsToggle, false, false, false, fcCustom},
  };
  for (const auto& c : cases) {
    TAPPComFlowControl f;
    f.SetControlRTS(c.rts);
    f.SetOutCTSFlow(c.cts);
    f.SetXonXoffIn(c.xonIn);
    f.SetXonXoffOut(c.xonOut);
    f.SetOutDSRFlow(true);  // never looked at
    f.SetControlDTR(dtrEnable);
    EXPECT_EQ(f.GetFlowControl(), c.expected)
        << "rts " << int(c.rts) << " cts " << c.cts << " in " << c.xonIn << " out " << c.xonOut;
  }
  EXPECT_EQ(TAPPComFlowControl().GetFlowControl(), fcNone);
}

TEST(FlowControl, NamedSchemesSetTheirFourFieldsAndLeaveTheRest) {
  TAPPComFlowControl f;
  f.SetOutDSRFlow(true);
  f.SetControlDTR(dtrHandshake);
  f.SetFlowControl(fcHardware);
  EXPECT_EQ(f.GetFlowControl(), fcHardware);
  f.SetFlowControl(fcSoftware);
  EXPECT_EQ(f.GetFlowControl(), fcSoftware);
  EXPECT_EQ(f.GetControlRTS(), rtsDisable);
  EXPECT_FALSE(f.GetOutCTSFlow());
  EXPECT_TRUE(f.GetOutDSRFlow());
  EXPECT_EQ(f.GetControlDTR(), dtrHandshake);
  f.SetControlRTS(rtsEnable);
  f.SetFlowControl(fcCustom);
  EXPECT_EQ(f.GetControlRTS(), rtsEnable);
  EXPECT_TRUE(f.GetXonXoffIn());
}

TEST(Settings, AssignCopiesValuesButNotTheOwnerAndRefusesOtherClasses) {
  TAPPSerialPort::SetCommDeviceFactory(
      [] { return std::make_unique<FakeCommDevice>(std::make_shared<FakeCommState>()); });
  TAPPSerialPort owner;
  TAPPComTimeouts source;
  source.SetReadInterval(3);
  source.SetWriteTotalC(0);
  owner.GetTimeouts().Assign(source);
  EXPECT_EQ(owner.GetTimeouts().GetReadInterval(), 3);
  EXPECT_EQ(owner.GetTimeouts().GetWriteTotalConstant(), 0);
  EXPECT_EQ(owner.GetTimeouts().GetWriteTotalMultiplier(), 100);
  EXPECT_EQ(owner.GetTimeouts().GetComPort(), &owner);
  EXPECT_EQ(source.GetComPort(), nullptr);

  TAPPComParity parity;
  parity.SetBits(prEven);
  EXPECT_THROW(parity.Assign(source), std::invalid_argument);
  EXPECT_EQ(parity.GetBits(), prEven);
  TAPPSerialPort::SetCommDeviceFactory(nullptr);
}

}  // namespace
}  // namespace kavtel
