#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "platform/comm_device.h"
#include "serial/serial_port.h"
#include "support/pseudo_terminal.h"
#include "support/process_stats.h"
#include "support/wait_until.h"

// The serial port on a real pseudo-terminal: the test holds the master side,
// the port opens the slave as COM n through KAVTEL_COM<n>.

namespace kavtel {
namespace {

using test::kGenerous;
using test::PseudoTerminal;
using test::CpuSeconds;
using test::OpenDescriptors;
using test::Threads;
using test::WaitUntil;

std::string AllByteValues() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  return bytes;
}

// Runs `what` on another thread; true when it finished within the generous deadline.
bool FinishesPromptly(std::function<void()> what) {
  auto done = std::async(std::launch::async, std::move(what));
  return done.wait_for(kGenerous) == std::future_status::ready;
}

class SerialOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.Ok());
    ::setenv(("KAVTEL_COM" + std::to_string(kPort)).c_str(), pty.Slave().c_str(), 1);
    port.SetPortIndex(kPort);
    port.SetOnRxBuf([this](TObject*, const char* bytes, std::int32_t n) {
      std::lock_guard<std::mutex> hold(lock);
      received.append(bytes, static_cast<std::size_t>(n));
      rxThread = std::this_thread::get_id();
    });
    // The settings the device object uses.
    port.GetTimeouts().SetReadInterval(-1);
    port.GetTimeouts().SetWriteTotalM(0);
    port.GetTimeouts().SetWriteTotalC(0);
  }
  std::string Received() {
    std::lock_guard<std::mutex> hold(lock);
    return received;
  }

  static constexpr int kPort = 41;
  PseudoTerminal pty;
  TAPPSerialPort port;
  std::mutex lock;
  std::string received;
  std::thread::id rxThread;
};

TEST_F(SerialOnPty, CarriesEveryByteValueBothWaysAndDeliversOnTheEventThread) {
  port.Connecting(false);
  ASSERT_TRUE(port.GetConnected());
  const std::string all = AllByteValues();

  pty.Write(all);
  ASSERT_TRUE(WaitUntil([&] { return Received().size() >= all.size(); }));
  EXPECT_EQ(Received(), all);
  {
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_NE(rxThread, std::this_thread::get_id());
  }

  EXPECT_EQ(port.SendData(all), 256);
  EXPECT_EQ(pty.Read(all.size()), all);
  EXPECT_EQ(port.SendData("0123456789"), 10);
  EXPECT_EQ(pty.Read(10), "0123456789");

  // A pseudo-terminal has no modem lines and no error counters.
  EXPECT_EQ(port.Signals(), 0);
  EXPECT_EQ(port.LastErrors(), 0);
  EXPECT_NO_THROW(port.SetDTR(true));
  EXPECT_NO_THROW(port.SetRTS(false));
  EXPECT_NO_THROW(port.SetXonXoff(true));
  EXPECT_NO_THROW(port.ClearBuffer(true, true));
}

TEST_F(SerialOnPty, BytesSentJustBeforeCloseStillReachTheOtherSide) {
  port.Open();
  ASSERT_TRUE(port.GetConnected());
  EXPECT_EQ(port.SendData("last words"), 10);
  port.Close();  // purges the queues: what was written is no longer the port's
  EXPECT_EQ(pty.Read(10), "last words");
}

TEST_F(SerialOnPty, AMissingOrBusyDeviceLeavesThePortClosedWithoutRaising) {
  port.Open();
  ASSERT_TRUE(port.GetConnected());
  TAPPSerialPort second;
  second.SetPortIndex(kPort);
  EXPECT_NO_THROW(second.Open());
  EXPECT_FALSE(second.GetConnected());

  ::setenv("KAVTEL_COM42", "/nonexistent/kavtel-tty", 1);
  TAPPSerialPort missing;
  missing.SetPortIndex(42);
  EXPECT_TRUE(missing.Connecting(false));
  EXPECT_FALSE(missing.GetConnected());
  EXPECT_EQ(missing.SendData("0123456789"), 0);
}

TEST_F(SerialOnPty, ARateTheTerminalCannotRunFailsTheControlBlockAndTheSetterRaises) {
  port.Open();
  ASSERT_TRUE(port.GetConnected());
  try {
    port.SetBaudRate(br14400);
    FAIL() << "no exception";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 7);
  }
  EXPECT_TRUE(port.GetConnected());
  EXPECT_EQ(port.GetBaudRate(), br14400);
  port.SetBaudRate(br115200);
  pty.Write("ok");
  EXPECT_TRUE(WaitUntil([&] { return Received() == "ok"; }));
}

TEST_F(SerialOnPty, CloseWhileTheThreadIsBlockedReturnsPromptly) {
  port.Open();
  ASSERT_TRUE(port.GetConnected());
  pty.Write("x");
  ASSERT_TRUE(WaitUntil([&] { return Received() == "x"; }));  // the thread waits again
  EXPECT_TRUE(FinishesPromptly([&] { port.Close(); }));
  EXPECT_FALSE(port.GetConnected());
}

// A read may ask for more than is waiting (another thread may purge between
// the count and the read): with the "return at once" time-outs it returns
// what is there; a read that waits fails on a line that hung up.
TEST(CommDeviceOnPty, AReadAskingForMoreThanIsWaitingReturnsWhatIsThere) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.Ok());
  ::setenv("KAVTEL_COM43", pty.Slave().c_str(), 1);
  const auto device = platform::CreateCommDevice();
  ASSERT_TRUE(device->Open(43));
  platform::Dcb raw{};  // 9600 8N1, binary: the raw line the port sets up
  raw.DCBlength = sizeof raw;
  raw.BaudRate = 9600;
  raw.Flags = platform::kDcbBinary;
  raw.ByteSize = 8;
  ASSERT_TRUE(device->SetState(raw));
  ASSERT_TRUE(device->SetTimeouts({platform::kMaxDword, 0, 0, 0, 0}));
  char bytes[16];
  std::uint32_t got = 99;
  EXPECT_EQ(device->Read(bytes, sizeof bytes, got), platform::CommIo::Done);
  EXPECT_EQ(got, 0u);

  pty.Write("abc");
  ASSERT_TRUE(WaitUntil([&] {
    std::uint32_t errors = 0;
    platform::ComStat status{};
    return device->ClearError(errors, status) && status.cbInQue == 3;
  }));
  EXPECT_EQ(device->Read(bytes, sizeof bytes, got), platform::CommIo::Done);
  EXPECT_EQ(std::string(bytes, got), "abc");

  // A read that waits for its bytes notices a hung-up line instead of
  // taking it for a quiet one (the time-out is far beyond the test's life).
  pty.CloseMaster();
  ASSERT_TRUE(device->SetTimeouts({0, 0, 3600000, 0, 0}));
  EXPECT_EQ(device->Read(bytes, sizeof bytes, got), platform::CommIo::CompletionFailed);
  device->Close();
}

TEST(CommDeviceOnPty, AnAbortEndsTheReadInProgressButNoReadThatStartsAfterIt) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.Ok());
  ::setenv("KAVTEL_COM44", pty.Slave().c_str(), 1);
  const auto device = platform::CreateCommDevice();
  ASSERT_TRUE(device->Open(44));
  platform::Dcb raw{};
  raw.DCBlength = sizeof raw;
  raw.BaudRate = 9600;
  raw.Flags = platform::kDcbBinary;
  raw.ByteSize = 8;
  ASSERT_TRUE(device->SetState(raw));
  // Reads wait up to an hour for their bytes: only an abort ends one early.
  ASSERT_TRUE(device->SetTimeouts({0, 0, 3600000, 0, 0}));

  std::atomic<bool> ended{false};
  platform::CommIo result = platform::CommIo::Done;
  std::thread reader([&] {
    char bytes[4];
    std::uint32_t got = 0;
    result = device->Read(bytes, sizeof bytes, got);
    ended = true;
  });
  // An abort that comes before the read starts does not concern it: abort
  // until the read has ended.
  const bool aborted = WaitUntil([&] {
    (void)device->Purge(platform::kPurgeRxAbort);
    return ended.load();
  });
  if (!aborted) pty.Write("wxyz");  // let the reader end, the test has failed
  reader.join();
  ASSERT_TRUE(aborted);
  EXPECT_EQ(result, platform::CommIo::CompletionFailed);

  // The aborts left over from above and one more came before this read. It
  // asks for a byte more than is there, so it must wait (up to its total
  // time-out) after the three: an abort from before it would end that wait.
  (void)device->Purge(platform::kPurgeRxAbort);
  ASSERT_TRUE(device->SetTimeouts({0, 0, 200, 0, 0}));
  pty.Write("xyz");
  char bytes[4];
  std::uint32_t got = 0;
  EXPECT_EQ(device->Read(bytes, sizeof bytes, got), platform::CommIo::Done);
  EXPECT_EQ(std::string(bytes, got), "xyz");
  device->Close();
}

TEST_F(SerialOnPty, AHangUpEndsTheEventThreadWithoutSpinning) {
  port.Open();
  ASSERT_TRUE(port.GetConnected());
  pty.Write("x");
  ASSERT_TRUE(WaitUntil([&] { return Received() == "x"; }));
  const std::size_t threadsOpen = Threads();  // the event thread among them

  pty.CloseMaster();
  EXPECT_TRUE(WaitUntil([&] { return Threads() == threadsOpen - 1; })) << "the event thread still runs";
  const double cpu = CpuSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // quiet period: nothing may run
  EXPECT_LT(CpuSeconds() - cpu, 0.15);

  EXPECT_EQ(port.SendData("0123456789"), 0);
  EXPECT_TRUE(port.GetConnected());
  EXPECT_TRUE(FinishesPromptly([&] { port.Close(); }));
  EXPECT_FALSE(port.GetConnected());
}

TEST_F(SerialOnPty, OpeningAndClosingLeavesNoDescriptorOrThreadBehind) {
  // The first round creates what lives for the process (the log's lock and
  // the like), so counting starts after it.
  port.Open();
  port.Close();
  const std::size_t fds = OpenDescriptors();
  const std::size_t threads = Threads();
  for (int i = 0; i < 200; ++i) {
    port.Open();
    ASSERT_TRUE(port.GetConnected()) << "round " << i;
    if (i % 50 == 0) {
      pty.Write("r");
      ASSERT_TRUE(WaitUntil([&] { return !Received().empty(); }));
      std::lock_guard<std::mutex> hold(lock);
      received.clear();
    }
    port.Close();
  }
  EXPECT_EQ(OpenDescriptors(), fds);
  // A joined thread's task may stay listed for a moment after the join
  // returns (the kernel wakes the joiner before it reaps the task).
  EXPECT_TRUE(WaitUntil([&] { return Threads() == threads; })) << Threads() << " threads, " << threads << " before";
}

}  // namespace
}  // namespace kavtel
