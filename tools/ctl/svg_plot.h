#pragma once

// `kavtelctl plot`: speed, elevation and heart rate of a --record file over
// time, as an SVG of three stacked charts sharing one time axis (min:s),
// with round ticks and grid lines, and the phases where the belt ran shaded.

#include <istream>
#include <string>
#include <utility>
#include <vector>

namespace kavtel::ctl {

struct PlotSeries {
  std::string column;  // the CSV column it comes from
  std::string title;   // "Speed (m/s)"
  std::string colour;
  std::vector<std::pair<double, double>> points;  // (time s, value); empty cells skipped
};

struct PlotData {
  std::vector<PlotSeries> series;
  // (from s, to s): a row in state "run" shades the time up to the next row.
  std::vector<std::pair<double, double>> running;
};

// Reads the series and the running phases (from the state column, when the
// record has one) from a record file; false with the reason in `error` when
// the header lacks a column or a cell is not a number.
bool ReadPlotData(std::istream& csv, PlotData& data, std::string& error);

std::string RenderSvg(const PlotData& data);

// Round axis steps: `low`..`high` covered by ticks `step` apart, the step
// 1, 2 or 5 times a power of ten, about `target` of them.
struct AxisTicks {
  double first = 0;
  double last = 1;
  double step = 1;
};
AxisTicks RoundTicks(double low, double high, int target);

// A time step in seconds that a clock reader finds round (1, 2, 5, 10, 15,
// 30 s, 1, 2, 5, 10, 15, 30 min, 1 h, ...) giving at most `most` steps to `end`.
double TimeStep(double end, int most);

// "m:ss" of a time in whole seconds.
std::string MinutesSeconds(double seconds);

}  // namespace kavtel::ctl
