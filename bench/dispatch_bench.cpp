// What the receive path costs per answer: frame assembly, checksum,
// acknowledgement, decoding and the send step that follows, on a connected
// device whose port is a fake comm device (no line, so no line time).
//
// At 9600 baud a ten-byte answer takes about 10 ms on the wire; the figures
// here show how small a share of that the library's own work is.

#include <benchmark/benchmark.h>

#include <string>

#include "device/wire_frame.h"
#include "support/quiet_device.h"

namespace {

using namespace kavtel;

// An open device, identified as a generation 2 controller.
class OpenDevice : public test::QuietDevice {
 public:
  OpenDevice() { Feed(BuildFrame("V00224")); }
};

// One speed answer (a new speed each time, so the power estimate runs too),
// delivered in chunks of state.range(0) bytes (0: all at once).
void BM_SpeedAnswer(benchmark::State& state) {
  OpenDevice open;
  const std::string frames[2] = {BuildFrame("S012.5"), BuildFrame("S012.6")};
  const auto chunk = static_cast<std::size_t>(state.range(0));
  std::size_t n = 0;
  for (auto _ : state) {
    open.Feed(frames[n & 1], chunk);
    if ((++n & 1023) == 0) open.DropWritten();
  }
  // Figures for answers that were not decoded would measure nothing.
  const float speed = open.device().GetSpeed();
  if (speed != 2.5f && speed != 2.6f) state.SkipWithError("the speed answers were not decoded");
  state.SetItemsProcessed(static_cast<std::int64_t>(n));
  state.SetBytesProcessed(static_cast<std::int64_t>(n * frames[0].size()));
}
BENCHMARK(BM_SpeedAnswer)->Arg(0)->Arg(1)->ArgName("chunk");

// A pass of the running values as they come back in one read.
void BM_RunningValuesBurst(benchmark::State& state) {
  OpenDevice open;
  std::string burst;
  for (const char* text : {"S001", "S012.5", "E013.5", "D001234", "T001:02:03", "P01120", "A004",
                           "J011.5", "J0299.5", "Z000"}) {
    burst += BuildFrame(text);
  }
  std::size_t n = 0;
  for (auto _ : state) {
    open.Feed(burst);
    if ((++n & 255) == 0) open.DropWritten();
  }
  if (open.device().GetDistance() != 1234) state.SkipWithError("the answers were not decoded");
  state.SetItemsProcessed(static_cast<std::int64_t>(n * 10));
  state.SetBytesProcessed(static_cast<std::int64_t>(n * burst.size()));
}
BENCHMARK(BM_RunningValuesBurst);

// Framing a command with its checksum, as every set operation does.
void BM_BuildFrame(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(BuildFrame("S022.5"));
}
BENCHMARK(BM_BuildFrame);

}  // namespace

BENCHMARK_MAIN();
