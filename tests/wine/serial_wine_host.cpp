// A Windows host program for the serial port under Wine: it opens COM n
// (which the driver script maps to a pseudo-terminal), announces itself,
// takes every byte value from the other side through the event thread,
// sends them back and closes once the other side confirms them ("BYE").
// Exit code 0 when all of that worked.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "serial/serial_port.h"

namespace {

std::mutex lock;
std::condition_variable arrived;
std::string received;
std::thread::id rxThread;

int Fail(int code, const char* what) {
  std::fprintf(stderr, "serial host: %s\n", what);
  return code;
}

int Exchange(int com) {
  const std::size_t expected = 256;

  kavtel::TAPPSerialPort port;
  port.SetPortIndex(com);
  port.GetTimeouts().SetReadInterval(-1);
  port.GetTimeouts().SetWriteTotalM(0);
  port.GetTimeouts().SetWriteTotalC(0);
  port.SetOnRxBuf([](kavtel::TObject*, const char* bytes, std::int32_t n) {
    std::lock_guard<std::mutex> hold(lock);
    received.append(bytes, static_cast<std::size_t>(n));
    rxThread = std::this_thread::get_id();
    arrived.notify_all();
  });
  port.Connecting(false);
  if (!port.GetConnected()) return Fail(2, "the port did not open");
  if (port.SendData("READY\n") != 6) return Fail(3, "announcement not sent");

  std::string bytes;
  {
    std::unique_lock<std::mutex> hold(lock);
    if (!arrived.wait_for(hold, std::chrono::seconds(60),
                          [&] { return received.size() >= expected; })) {
      std::fprintf(stderr, "serial host: got %u bytes\n", static_cast<unsigned>(received.size()));
      return Fail(4, "the bytes did not arrive");
    }
    if (rxThread == std::this_thread::get_id()) return Fail(5, "bytes delivered on the main thread");
    bytes = received;
  }
  if (port.SendData(bytes) != static_cast<std::int32_t>(bytes.size())) {
    return Fail(6, "echo not sent");
  }
  // Closing purges the driver's queues, which on a pseudo-terminal takes
  // what the other side has not read yet: wait until it has the echo.
  {
    std::unique_lock<std::mutex> hold(lock);
    if (!arrived.wait_for(hold, std::chrono::seconds(60),
                          [&] { return received.size() >= expected + 3; })) {
      return Fail(9, "no acknowledgement of the echo");
    }
    if (received.substr(expected) != "BYE") return Fail(10, "a wrong acknowledgement");
  }
  port.Close();
  if (port.GetConnected()) return Fail(7, "the port did not close");
  std::fprintf(stderr, "serial host: done\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Fail(1, "usage: serial_wine_host <com number>");
  try {
    return Exchange(std::atoi(argv[1]));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "serial host: %s\n", e.what());
    return 8;
  }
}
