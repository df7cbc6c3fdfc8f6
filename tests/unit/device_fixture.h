#pragma once

// A device object on a fake comm device: the test sees every byte the
// device writes and hands it received chunks itself, playing the treadmill.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/device_caps.h"
#include "device/kavtel_device.h"
#include "device/wire_frame.h"
#include "support/fake_comm_device.h"
#include "support/fake_line.h"
#include "support/manual_clock.h"
#include "support/manual_cycles.h"
#include "services/connection.h"
#include "support/wait_until.h"

namespace kavtel::test {

// "V0082" for a frame, "<ACK>" for an acknowledgement, "<?>" for stray bytes.
inline std::vector<std::string> SplitWritten(const std::string& bytes) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (bytes[i] == kACK) {
      out.push_back("<ACK>");
      ++i;
    } else if (bytes[i] == kSOH) {
      const std::size_t end = bytes.find(kETB, i);
      if (end == std::string::npos) {
        out.push_back("<?>");
        break;
      }
      out.push_back(bytes.substr(i + 1, end - i - 1));
      i = end + 1;
    } else {
      out.push_back("<?>");
      ++i;
    }
  }
  return out;
}

// The frame body of a command text: the text and its checksum digits.
inline std::string Body(const std::string& text) {
  const std::string frame = BuildFrame(text);
  return frame.substr(1, frame.size() - 2);
}

// A frame body with its checksum digits cut off: "V0082" -> "V00".
inline std::string Text(const std::string& body) {
  return body.size() >= 2 ? body.substr(0, body.size() - 2) : body;
}

class DeviceFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    channel.SetConnectionType(wlconCOM);
    channel.SetPort(3);
    dev.SetControllerChannel(&channel);
    dev.SetDeviceCaps(&caps);
  }

  void TearDown() override {
    // No answer comes for what is in flight, nor for a stop at close: the
    // line is made to fail so the close does not wait out its time-outs.
    closeQuietly();
  }

  void closeQuietly() {
    if (!dev.GetIOOpen()) return;
    dev.SetInTrouble();
    {
      std::lock_guard<std::mutex> hold(comm->lock);
      comm->writeFails = true;
    }
    dev.SetIOOpen(false);
    std::lock_guard<std::mutex> hold(comm->lock);
    comm->writeFails = false;
    comm->written.clear();
  }

  // Opens the port; the cycle's first tick sends the version query.
  void open() {
    dev.SetIOOpen(true);
    ASSERT_TRUE(dev.GetOnline());
    cycles.Tick();
    const auto w = written();
    ASSERT_NE(std::find(w.begin(), w.end(), "V0082"), w.end());
  }

  // Everything written since the last call, split into frames and ACKs.
  std::vector<std::string> written() {
    std::lock_guard<std::mutex> hold(comm->lock);
    return SplitWritten(comm->written);
  }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> hold(comm->lock);
    auto out = SplitWritten(comm->written);
    comm->written.clear();
    return out;
  }

  void deliver(const std::string& bytes) {
    dev.DispatchChars(nullptr, bytes.data(), static_cast<std::int32_t>(bytes.size()));
  }
  void answer(const std::string& code, const std::string& payload = "") {
    deliver(BuildFrame(code + payload));
  }

  // Answers whatever is in flight, as a treadmill that knows every query
  // would, until nothing is left to send; returns the codes it was asked.
  std::vector<std::string> serveUntilIdle() {
    std::vector<std::string> asked;
    for (int guard = 0; guard < 100 && dev.Inspect().pending; ++guard) {
      std::string last;
      for (const auto& t : take()) {
        if (t != "<ACK>") last = Text(t);
      }
      if (last.empty()) break;
      asked.push_back(last);
      const std::string code = last.substr(0, 3);
      const auto known = replies.find(code);
      answer(code, known != replies.end() ? known->second : "");
    }
    take();
    return asked;
  }

  // Opens and identifies the controller with the given version payload,
  // answering the follow-up commands.
  void identify(const std::string& version) {
    open();
    take();
    answer("V00", version);
    serveUntilIdle();
    ASSERT_FALSE(dev.GetAwaitingIdentification());
  }

  std::map<std::string, std::string> replies = {
      {"S00", "0"},   {"D00", "100"},  {"T00", "1:00:00"}, {"P01", "80"},
      {"S01", "2.5"}, {"E01", "1.0"},  {"A00", "3"},       {"J01", "1.5"},
      {"J02", "99"},  {"Z00", "0"},    {"J00", "70"},      {"S04", "6.1"},
      {"U17", "12C4E6789"}, {"Y00", "0"}, {"F00", "10"},
  };
  std::shared_ptr<FakeCommState> comm = std::make_shared<FakeCommState>();
  TAPPSYSConnectionObj channel;
  TKavtelDeviceCaps caps;
  // The device's time, ticks and time-outs: nothing runs on its own; the
  // test ticks, fires and advances them itself.
  ManualClock clock;
  ManualCycles cycles;
  TKavtelDevice dev{256, FakeLine(comm, &clock, &cycles)};
};

}  // namespace kavtel::test
