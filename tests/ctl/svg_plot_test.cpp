// The plot's axes: round value ticks covering the data, round time steps,
// the min:s labels, and the running phases read from the state column.
#include "svg_plot.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kavtel::ctl {
namespace {

TEST(PlotAxes, ValueTicksAreRoundAndCoverTheRange) {
  struct Case {
    double low, high, first, last, step;
  };
  const Case cases[] = {
      {0, 2.5, 0, 2.5, 0.5},  // ends on a tick already
      {0, 3.1, 0, 4, 1},      // raw step 0.62 rounds up to 1
      {0, 0, 0, 0.2, 0.2},    // a flat line still gets an axis
      {-3, 7, -4, 8, 2},      // below zero
      {0, 142, 0, 150, 50},   // heart rates
      {0, 2.45, 0, 2.5, 0.5},
  };
  for (const Case& c : cases) {
    const AxisTicks ticks = RoundTicks(c.low, c.high, 5);
    EXPECT_NEAR(ticks.step, c.step, 1e-12) << c.low << ".." << c.high;
    EXPECT_NEAR(ticks.first, c.first, 1e-9) << c.low << ".." << c.high;
    EXPECT_NEAR(ticks.last, c.last, 1e-9) << c.low << ".." << c.high;
  }
}

TEST(PlotAxes, TimeStepsAreClockRound) {
  const std::pair<double, double> cases[] = {{8, 1}, {25, 5}, {59, 10}, {140, 15}, {600, 60}, {7200, 900}};
  for (const auto& [end, step] : cases) EXPECT_EQ(TimeStep(end, 10), step) << end;
  EXPECT_EQ(MinutesSeconds(0), "0:00");
  EXPECT_EQ(MinutesSeconds(65), "1:05");
  EXPECT_EQ(MinutesSeconds(3600), "60:00");
}

TEST(PlotData, RunningPhasesLastToTheNextRowThatIsNotRunning) {
  std::istringstream csv(
      "time_s,state,speed_mps,elevation,heartrate\n"
      "0.0,stop,0,0,\n1.0,run,1,0,\n2.0,run,2,0,\n3.0,pause,0,0,\n4.0,run,1,0,\n5.0,run,1,0,\n");
  PlotData data;
  std::string error;
  ASSERT_TRUE(ReadPlotData(csv, data, error)) << error;
  const std::vector<std::pair<double, double>> expected{{1, 3}, {4, 5}};
  EXPECT_EQ(data.running, expected);
  EXPECT_EQ(data.series[0].points.size(), 6u);
  EXPECT_TRUE(data.series[2].points.empty());  // empty heart-rate cells are skipped
}

}  // namespace
}  // namespace kavtel::ctl
