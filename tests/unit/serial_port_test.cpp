#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_comm_device.h"
#include "serial/serial_port.h"
#include "serial/serial_thread.h"
#include "support/wait_until.h"

namespace kavtel {
namespace {

using test::FakeCommDevice;
using test::FakeCommState;
using test::WaitUntil;

// An open port on a fake device, with every callback writing one line to a
// journal ("RxChar 5", "RxBuf abc", "CTS 1", ...).
class SerialPort : public ::testing::Test {
 protected:
  void SetUp() override {
    TAPPSerialPort::SetCommDeviceFactory([s = state] { return std::make_unique<FakeCommDevice>(s); });
    port = std::make_unique<TAPPSerialPort>();
    port->SetPortIndex(7);
    port->SetOnRxChar([this](TObject*, std::int32_t n) { Note("RxChar " + std::to_string(n)); });
    port->SetOnRxBuf([this](TObject*, const char* b, std::int32_t n) { Note("RxBuf " + std::string(b, n)); });
    port->SetOnTxEmpty([this](TObject*) { Note("TxEmpty"); });
    port->SetOnBreak([this](TObject*) { Note("Break"); });
    port->SetOnRing([this](TObject*) { Note("Ring"); });
    port->SetOnCTSChange([this](TObject*, bool on) { Note("CTS " + std::to_string(on)); });
    port->SetOnDSRChange([this](TObject*, bool on) { Note("DSR " + std::to_string(on)); });
    port->SetOnRLSDChange([this](TObject*, bool on) { Note("RLSD " + std::to_string(on)); });
    port->SetOnError([this](TObject*, TComErrors e) { Note("Error " + std::to_string(e)); });
    port->SetOnRxFlag([this](TObject*) { Note("RxFlag"); });
    port->SetOnRx80Full([this](TObject*) { Note("Rx80Full"); });
    port->SetOnBeforeOpen([this](TObject*) { Note("BeforeOpen"); });
    port->SetOnAfterOpen([this](TObject*) { Note("AfterOpen"); });
    port->SetOnBeforeClose([this](TObject*) { Note("BeforeClose"); });
    port->SetOnAfterClose([this](TObject*) { Note("AfterClose"); });
    port->SetOnLineLost([this](TObject*) { Note("LineLost"); });
  }
  void TearDown() override {
    port.reset();
    TAPPSerialPort::SetCommDeviceFactory(nullptr);
  }
  void Note(const std::string& line) {
    std::lock_guard<std::mutex> hold(lock);
    journal.push_back(line);
  }
  std::vector<std::string> Journal() {
    std::lock_guard<std::mutex> hold(lock);
    return journal;
  }
  void ClearJournal() {
    std::lock_guard<std::mutex> hold(lock);
    journal.clear();
  }
  void OpenQuietly() {
    port->Open();
    ASSERT_TRUE(port->GetConnected());
    ASSERT_TRUE(WaitUntil([&] { return state->Waits() == 1; }));
    ClearJournal();
    state->Clear();
  }
  void Input(const std::string& bytes) {
    std::lock_guard<std::mutex> hold(state->lock);
    state->input += bytes;
  }
  // Wakes the event thread with `mask` and waits until it waits again.
  void WakeAndSettle(std::uint32_t mask) {
    const int before = state->Waits();
    state->Wake(mask);
    ASSERT_TRUE(WaitUntil([&] { return state->Waits() > before; }));
  }

  std::shared_ptr<FakeCommState> state = std::make_shared<FakeCommState>();
  std::unique_ptr<TAPPSerialPort> port;
  std::mutex lock;
  std::vector<std::string> journal;
};

TEST_F(SerialPort, OpenAndCloseRunTheirSequences) {
  state->modem = platform::kMsCtsOn | platform::kMsRlsdOn;
  EXPECT_TRUE(port->Connecting(false));
  ASSERT_TRUE(port->GetConnected());
  EXPECT_TRUE(WaitUntil([&] { return state->Waits() == 1; }));
  EXPECT_EQ(state->Calls(), (std::vector<std::string>{"Open(7)", "Setup(4096,4096)", "SetState",
                                                      "SetTimeouts", "SetMask(0x5FF)"}));
  EXPECT_EQ(Journal(), (std::vector<std::string>{"BeforeOpen", "AfterOpen", "CTS 1", "DSR 0", "RLSD 1"}));

  port->Open();  // already open: nothing
  ClearJournal();
  state->Clear();
  EXPECT_TRUE(port->Disconnecting());
  EXPECT_FALSE(port->GetConnected());
  // The thread clears the mask and purges both queues before the device closes.
  EXPECT_EQ(state->Calls(),
            (std::vector<std::string>{"Purge(0x3)", "SetMask(0x0)", "Purge(0xC)", "Close"}));
  EXPECT_EQ(Journal(), (std::vector<std::string>{"CTS 0", "DSR 0", "RLSD 0", "BeforeClose", "AfterClose"}));

  ClearJournal();
  EXPECT_FALSE(port->Disconnecting());
  port->Close();
  EXPECT_TRUE(Journal().empty());
}

TEST_F(SerialPort, AnAbsentDeviceLeavesThePortClosedWithoutRaising) {
  state->openOk = false;
  port->GetProtocol()->SetMode(apmPART);
  EXPECT_TRUE(port->Connecting(false));
  EXPECT_FALSE(port->GetConnected());
  std::vector<std::string> lines;
  port->GetProtocol()->fillStringList(lines);
  EXPECT_EQ(lines, std::vector<std::string>{"OE: \tConnected"});
  EXPECT_EQ(port->SendData("0123456789"), 0);
}

TEST_F(SerialPort, AConfigurationFailureClosesAgainAndRaises) {
  state->failCall = "SetState";
  state->lastError = 87;
  try {
    port->Open();
    FAIL() << "no exception";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 7);
    EXPECT_EQ(e.WinCode(), 87);
    EXPECT_STREQ(e.what(), "SetCommState function failed (win error code: 87)");
  }
  EXPECT_FALSE(port->GetConnected());
  EXPECT_EQ(state->Calls().back(), "Close");
}

TEST_F(SerialPort, LineControlsIssueTheirFunctionsAndRaiseTheirCodes) {
  OpenQuietly();
  port->ClearBuffer(false, false);
  port->ClearBuffer(true, false);
  port->ClearBuffer(false, true);
  port->ClearBuffer(true, true);
  port->SetXonXoff(true);
  port->SetXonXoff(false);
  port->SetRTS(true);
  port->SetRTS(false);
  port->SetDTR(true);
  port->SetDTR(false);
  port->SetBreak(true);
  port->SetBreak(false);
  port->AbortAllAsync();
  port->TransmitChar('A');
  EXPECT_EQ(state->Calls(),
            (std::vector<std::string>{"Purge(0x0)", "Purge(0x8)", "Purge(0x4)", "Purge(0xC)", "Escape(2)",
                                      "Escape(1)", "Escape(3)", "Escape(4)", "Escape(5)", "Escape(6)",
                                      "Escape(8)", "Escape(9)", "Purge(0x3)", "TransmitChar(65)"}));

  const struct {
    const char* fail;
    std::function<void()> call;
    int code;
  } failures[] = {
      {"Escape", [&] { port->SetDTR(true); }, 12},
      {"Purge", [&] { port->ClearBuffer(true, true); }, 5},
      {"TransmitChar", [&] { port->TransmitChar('x'); }, 13},
      {"ClearError", [&] { port->InputCount(); }, 10},
      {"ModemStatus", [&] { port->Signals(); }, 11},
  };
  for (const auto& f : failures) {
    {
      std::lock_guard<std::mutex> hold(state->lock);
      state->failCall = f.fail;
      state->lastError = 31;
    }
    try {
      f.call();
      ADD_FAILURE() << f.fail << " raised nothing";
    } catch (const EComPort& e) {
      EXPECT_EQ(e.Code(), f.code);
      EXPECT_EQ(std::string(e.what()), std::string(EComPort::Text(f.code)) + " (win error code: 31)");
    }
  }
  std::lock_guard<std::mutex> hold(state->lock);
  state->failCall.clear();
}

TEST_F(SerialPort, LastErrorsCountsParityOnlyWhileParityIsChecked) {
  OpenQuietly();
  const std::uint32_t all = platform::kCeFrame | platform::kCeRxParity | platform::kCeOverrun |
                            platform::kCeRxOver | platform::kCeTxFull | platform::kCeBreak |
                            platform::kCeIoe | platform::kCeMode;
  state->errors = all;
  EXPECT_EQ(port->LastErrors(), 0xFF & ~ComSet(ceRxParity));
  port->GetParity().SetCheck(true);
  state->errors = all;
  EXPECT_EQ(port->LastErrors(), 0xFF);
  state->errors = platform::kCeRxParity;
  EXPECT_EQ(port->LastErrors(), ComSet(ceRxParity));
  EXPECT_EQ(port->LastErrors(), 0);  // the driver's errors were cleared
}

TEST_F(SerialPort, EventsOfOneWakeUpAreDispatchedInTheFixedOrderBytesFirst) {
  state->modem = platform::kMsDsrOn;
  OpenQuietly();
  Input("abc");
  state->errors = platform::kCeFrame;
  WakeAndSettle(0x05FF | 0x0800 | 0x1000);  // all ten, plus flags that are no events
  EXPECT_EQ(Journal(),
            (std::vector<std::string>{"RxChar 3", "RxBuf abc", "TxEmpty", "Break", "Ring", "CTS 0",
                                      "DSR 1", "RxFlag", "RLSD 0", "Error 1", "Rx80Full"}));

  ClearJournal();
  Input("x");
  state->errors = platform::kCeOverrun;
  WakeAndSettle(platform::kEvErr | platform::kEvRxChar);
  EXPECT_EQ(Journal(), (std::vector<std::string>{"RxChar 1", "RxBuf x", "Error 4"}));
}

TEST_F(SerialPort, ReceivedBytesComeOncePerWakeUpAndNothingForACountOfZero) {
  OpenQuietly();
  WakeAndSettle(platform::kEvRxChar);
  EXPECT_TRUE(Journal().empty());

  Input("hello");
  WakeAndSettle(platform::kEvRxChar);
  Input("world!");
  WakeAndSettle(platform::kEvRxChar);
  EXPECT_EQ(Journal(), (std::vector<std::string>{"RxChar 5", "RxBuf hello", "RxChar 6", "RxBuf world!"}));

  // Without a listener the bytes are still taken out of the driver.
  port.reset();
  TAPPSerialPort bare;
  const int before = state->Waits();
  bare.Open();
  ASSERT_TRUE(WaitUntil([&] { return state->Waits() > before; }));
  Input("dropped");
  WakeAndSettle(platform::kEvRxChar);
  std::lock_guard<std::mutex> hold(state->lock);
  EXPECT_TRUE(state->input.empty());
}

TEST_F(SerialPort, EachReadIsBoundedByTheReceiveBuffer) {
  OpenQuietly();
  const std::string big(TAPPSerialPort::kRxBufferSize + 1808, 'z');
  Input(big);
  std::size_t delivered = 0;
  std::vector<std::int32_t> chunks;
  port->Close();
  port->SetOnRxBuf([&](TObject*, const char*, std::int32_t n) {
    chunks.push_back(n);
    delivered += static_cast<std::size_t>(n);
  });
  port->Open();
  ASSERT_TRUE(WaitUntil([&] { return state->Waits() == 2; }));
  ClearJournal();
  WakeAndSettle(platform::kEvRxChar);
  EXPECT_EQ(Journal(), std::vector<std::string>{"RxChar " + std::to_string(big.size())});
  EXPECT_EQ(chunks, (std::vector<std::int32_t>{8192, 1808}));
  EXPECT_EQ(delivered, big.size());
  std::lock_guard<std::mutex> hold(state->lock);
  EXPECT_EQ(state->readSizes, (std::vector<std::uint32_t>{8192, 1808}));
}

TEST_F(SerialPort, AnExceptionInADispatchEndsTheThreadCleanlyAndIsLogged) {
  port->SetOnRxBuf([](TObject*, const char*, std::int32_t) { throw std::runtime_error("listener broke"); });
  port->GetProtocol()->SetMode(apmPART);
  OpenQuietly();
  Input("q");
  state->Wake(platform::kEvRxChar);
  ASSERT_TRUE(WaitUntil([&] {
    const auto calls = state->Calls();
    return calls.size() >= 2 && calls[calls.size() - 1] == "Purge(0xC)";
  }));
  EXPECT_EQ(state->Calls(), (std::vector<std::string>{"SetMask(0x0)", "Purge(0xC)"}));
  std::vector<std::string> lines;
  port->GetProtocol()->fillStringList(lines);
  EXPECT_EQ(lines.back(), "OE: \tEvent thread ended: listener broke");
  EXPECT_TRUE(WaitUntil(
      [&] { return Journal() == std::vector<std::string>{"RxChar 1", "LineLost"}; }));
  EXPECT_TRUE(port->GetConnected());
  // No further waits, and a later close still completes.
  EXPECT_EQ(state->Waits(), 1);
  port->Close();
  EXPECT_FALSE(port->GetConnected());
  EXPECT_EQ(state->Calls().back(), "Close");
}

TEST_F(SerialPort, AFailedWaitEndsTheThreadWithoutRetrying) {
  OpenQuietly();
  state->Wake(platform::kWaitFailed);
  ASSERT_TRUE(WaitUntil([&] { return state->Calls().size() == 2; }));
  EXPECT_EQ(state->Calls(), (std::vector<std::string>{"SetMask(0x0)", "Purge(0xC)"}));
  Input("late");
  state->Wake(platform::kEvRxChar);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // quiet period: nothing may happen
  EXPECT_EQ(state->Waits(), 1);
  // The owner hears once that the line is gone; a close says nothing more.
  EXPECT_TRUE(WaitUntil([&] { return Journal() == std::vector<std::string>{"LineLost"}; }));
  ClearJournal();
  port->Close();
  EXPECT_EQ(Journal(), (std::vector<std::string>{"CTS 0", "DSR 0", "RLSD 0", "BeforeClose", "AfterClose"}));
}

TEST_F(SerialPort, SendDataHandsTheWholeStringToTheDevice) {
  OpenQuietly();
  EXPECT_EQ(port->SendData(std::string("\x01" "S01" "\x00\xff" "42\x17", 10)), 10);
  std::lock_guard<std::mutex> hold(state->lock);
  EXPECT_EQ(state->written, std::string("\x01" "S01" "\x00\xff" "42\x17", 10));
}

TEST(EventMask, TranslatesBothWaysAndDropsUnknownFlags) {
  EXPECT_EQ(MaskFromComEvents(kAllComEvents), 0x05FFu);
  EXPECT_EQ(MaskFromComEvents(ComSet(evTxEmpty)), platform::kEvTxEmpty);
  EXPECT_EQ(MaskFromComEvents(ComSet(evRxFlag)), platform::kEvRxFlag);
  EXPECT_EQ(ComEventsFromMask(0xFFFFFFFFu), kAllComEvents);
  EXPECT_EQ(ComEventsFromMask(platform::kEvRing | 0x0200), ComSet(evRing));
  EXPECT_EQ(ComEventsFromMask(platform::kEvRx80Full), ComSet(evRx80Full));
}

TEST(EComPortText, CarriesCodeTextAndWinCode) {
  EXPECT_STREQ(EComPort(1).what(), "Unable to open com port");
  EXPECT_EQ(EComPort(1).WinCode(), -1);
  EXPECT_STREQ(EComPort(22, 5).what(), "A component is linked to OnRxBuf event (win error code: 5)");
  EXPECT_STREQ(EComPort::Text(14), "Cannot set SyncMethod while connected");
}

}  // namespace
}  // namespace kavtel
