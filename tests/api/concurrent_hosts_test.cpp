// Two host threads calling setters and readers of the same device and of
// different devices while the treadmills answer (run under ThreadSanitizer
// in CI). Every call must give a code the documentation allows, the
// treadmills must see a well-behaved host, and the last speed asked for must
// arrive.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kavtel/kavtel.h"
#include "sim_port.h"
#include "support/wait_until.h"

namespace kavtel::test {
namespace {

using namespace std::chrono_literals;

// Setters and keys: queued (1), or refused by a queue full of this very
// hammering (-3).
bool SetterCodeAllowed(int code) { return code == KAVTEL_OK || code == KAVTEL_ERROR; }

void Hammer(const std::vector<int>& devices, int rounds, std::atomic<int>& badCodes) {
  for (int round = 0; round < rounds; ++round) {
    for (int index : devices) {
      double value = 0;
      int number = 0;
      char version[KAVTEL_VERSION_BUFFER_SIZE];
      const int reads[] = {
          kavtelgetSpeed(index, &value),     kavtelgetElevation(index, &value),
          kavtelgetStatus(index, &number),   kavtelgetDistance(index, &number),
          kavtelgetHeartrate(index, &number), kavtelgetVersion(index, version),
          kavtelgetPower(index, &value),     kavtelgetWeight(index, &number),
          kavtelgetProtocol(index, &number),
      };
      for (int code : reads) {
        if (code != KAVTEL_OK) ++badCodes;
      }
      const int writes[] = {
          kavtelsetSpeed(index, 1.0 + (round % 10) / 10.0),
          kavtelsetElevation(index, (round % 5) * 1.0),
          kavtelKeyPressUp(index, round % 2),
          kavtelsetProtocol(index, 0),
      };
      for (int code : writes) {
        if (!SetterCodeAllowed(code)) ++badCodes;
      }
    }
    std::this_thread::sleep_for(2ms);
  }
}

TEST(ConcurrentHosts, TwoThreadsOnTheSameAndOnDifferentDevices) {
  SimPort first(3, SimPort::WithVersion("224"));
  SimPort second(4, SimPort::WithVersion("224"));
  ASSERT_EQ(kavtelopenPort(3), KAVTEL_OK);
  ASSERT_EQ(kavtelopenPort(4), KAVTEL_OK);
  ASSERT_TRUE(WaitUntil(
      [] { return isvalidKavtelDevice(3) == KAVTEL_OK && isvalidKavtelDevice(4) == KAVTEL_OK; }));

  std::atomic<int> badCodes{0};
  // Both threads on device 3; one of them on device 4 as well.
  std::thread a([&] { Hammer({3, 4}, 300, badCodes); });
  std::thread b([&] { Hammer({3}, 300, badCodes); });
  a.join();
  b.join();
  EXPECT_EQ(badCodes.load(), 0);

  // The line is still in order: a new speed gets through on both.
  for (auto* port : {&first, &second}) {
    sim::Simulator& sim = port->sim();
    EXPECT_TRUE(WaitUntil([&] { return kavtelsetSpeed(port == &first ? 3 : 4, 3.3) == KAVTEL_OK; }));
    EXPECT_TRUE(sim.WaitFor([&] { return sim.LastPayload("S02") == std::string("3.30"); }));
  }
  EXPECT_EQ(kavtelclosePort(3), KAVTEL_OK);
  EXPECT_EQ(kavtelclosePort(4), KAVTEL_OK);
  EXPECT_EQ(first.sim().GetCounters().Violations(), 0u);
  EXPECT_EQ(second.sim().GetCounters().Violations(), 0u);
}

}  // namespace
}  // namespace kavtel::test
