// What a pulled cable costs a host: the time from the hang-up until
// kavtelgetLinkState says KAVTEL_LINK_LOST, and from the cable's return
// until the controller is identified again, over real pseudo-terminals
// against the virtual treadmill, with the library's own cycle and answer
// time-out. The cable stays out for 1 to 2 s, spread evenly over the
// rounds: long enough for the library to have tried the port in vain, and
// the return meets its once-a-second reopen attempts at every phase. Prints the median, the fastest and the slowest of
// N rounds (default 20; the first argument changes it). Nothing is asserted.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "kavtel/kavtel.h"
#include "simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCom = 4;

template <typename Done>
double MillisecondsUntil(Done done) {
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::seconds(60);
  while (!done()) {
    if (Clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void Print(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  std::printf("%-34s median %7.1f ms   min %7.1f ms   max %7.1f ms   (%zu rounds)\n", what,
              ms[ms.size() / 2], ms.front(), ms.back(), ms.size());
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  char folder[] = "/tmp/kavtel-link-bench.XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  const std::string link = std::string(folder) + "/ttyTREADMILL";
  kavtel::sim::Options options;
  options.link_path = link;
  kavtel::sim::Simulator sim(options);
  sim.Start();
  setenv(("KAVTEL_COM" + std::to_string(kCom)).c_str(), link.c_str(), 1);

  if (kavtelopenPort(kCom) != KAVTEL_OK) {
    std::fprintf(stderr, "COM%d does not open\n", kCom);
    return 1;
  }
  auto identified = [] { return isvalidKavtelDevice(kCom) == KAVTEL_OK; };
  auto lost = [] {
    int state = -1;
    return kavtelgetLinkState(kCom, &state) == KAVTEL_OK && state == KAVTEL_LINK_LOST;
  };
  if (MillisecondsUntil(identified) < 0) return 1;

  std::vector<double> toLost;
  std::vector<double> toIdentified;
  for (int i = 0; i < rounds; ++i) {
    sim.HangUp();
    const double a = MillisecondsUntil(lost);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000 + 1000 * i / rounds));  // out
    sim.Replug();
    const double b = MillisecondsUntil(identified);
    if (a < 0 || b < 0) {
      std::fprintf(stderr, "round %d: no %s within 60 s\n", i + 1, a < 0 ? "loss" : "identification");
      return 1;
    }
    toLost.push_back(a);
    toIdentified.push_back(b);
  }
  kavtelclosePort(kCom);
  sim.Stop();
  rmdir(folder);
  Print("hang-up to KAVTEL_LINK_LOST", toLost);
  Print("replug to identified", toIdentified);
  return 0;
}
