// A Windows host program that opens and closes COM n (a pseudo-terminal the
// driver script keeps sending bytes into) round after round. Each round must
// open, receive bytes through the event thread, send a line and close; most
// closes find the event thread's WaitCommEvent still pending, which the
// close has to end and collect before the record and its event go away.
// Even rounds use a fresh port (its device and records are destroyed at the
// end of the round), odd rounds one port that lives through all of them.
// At the end the process's handle count must not have grown since the early
// rounds. Prints "REOPEN DONE <rounds>" and exits 0 when all of that held.
// usage: serial_reopen_wine_host <com number> <rounds>

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "serial/serial_port.h"

namespace {

std::mutex lock;
std::condition_variable arrived;
int round = -1;         // the round the port belongs to
long roundBytes = 0;    // bytes that arrived in that round
long strayCalls = 0;    // deliveries after a round's close

int Fail(int code, int r, const char* what) {
  std::fprintf(stderr, "reopen host: round %d: %s\n", r, what);
  return code;
}

void Prepare(kavtel::TAPPSerialPort& port, int com) {
  port.SetPortIndex(com);
  port.GetTimeouts().SetReadInterval(-1);
  port.GetTimeouts().SetWriteTotalM(0);
  port.GetTimeouts().SetWriteTotalC(0);
  port.SetOnRxBuf([](kavtel::TObject*, const char*, std::int32_t n) {
    std::lock_guard<std::mutex> hold(lock);
    if (round < 0) {
      ++strayCalls;
      return;
    }
    roundBytes += n;
    arrived.notify_all();
  });
}

int Round(kavtel::TAPPSerialPort& port, int r) {
  {
    std::lock_guard<std::mutex> hold(lock);
    round = r;
    roundBytes = 0;
  }
  port.Connecting(false);
  if (!port.GetConnected()) return Fail(2, r, "the port did not open");
  {
    std::unique_lock<std::mutex> hold(lock);
    if (!arrived.wait_for(hold, std::chrono::seconds(60), [] { return roundBytes > 0; })) {
      hold.unlock();
      // Bytes waiting in the driver mean the event thread stopped taking
      // them; none mean nothing reached the port.
      std::int32_t waiting = -1;
      try {
        waiting = port.InputCount();
      } catch (const std::exception&) {
      }
      std::fprintf(stderr, "reopen host: round %d: %d bytes waiting in the driver\n", r,
                   static_cast<int>(waiting));
      return Fail(3, r, "no bytes arrived");
    }
  }
  if (port.SendData("ROUND\n") != 6) return Fail(4, r, "the line was not sent");
  port.Close();
  if (port.GetConnected()) return Fail(5, r, "the port did not close");
  std::lock_guard<std::mutex> hold(lock);
  round = -1;
  return 0;
}

// Wine 8 answers 0: no count to compare there.
bool HandleCount(DWORD& count) {
  return GetProcessHandleCount(GetCurrentProcess(), &count) != 0 && count > 0;
}

int Run(int com, int rounds) {
  kavtel::TAPPSerialPort kept;
  Prepare(kept, com);
  const int settled = 6;
  DWORD early = 0;
  bool counted = false;
  for (int r = 0; r < rounds; ++r) {
    int rc = 0;
    if (r % 2 == 0) {
      auto fresh = std::make_unique<kavtel::TAPPSerialPort>();
      Prepare(*fresh, com);
      rc = Round(*fresh, r);
    } else {
      rc = Round(kept, r);
    }
    if (rc != 0) return rc;
    if (r + 1 == settled) counted = HandleCount(early);
  }
  {
    std::lock_guard<std::mutex> hold(lock);
    if (strayCalls != 0) return Fail(6, rounds, "bytes delivered after a close");
  }
  DWORD late = 0;
  if (counted && HandleCount(late)) {
    std::fprintf(stderr, "reopen host: handles %lu after round %d, %lu after round %d\n",
                 static_cast<unsigned long>(early), settled, static_cast<unsigned long>(late),
                 rounds);
    // A handle lost per round would add one per round; a few may come and go
    // with the system's own threads.
    if (late > early + 8) return Fail(7, rounds, "the handle count grew");
  } else {
    std::fprintf(stderr, "reopen host: the handle count is not available\n");
  }
  std::printf("REOPEN DONE %d\n", rounds);
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Fail(1, -1, "usage: serial_reopen_wine_host <com number> <rounds>");
  try {
    return Run(std::atoi(argv[1]), std::atoi(argv[2]));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "reopen host: %s\n", e.what());
    return 8;
  }
}
