#pragma once

// `kavtelctl plot`: speed, elevation and heart rate of a --record file over
// time, as an SVG of three stacked charts sharing the time axis.

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

// Reads the series from a record file; false with the reason in `error`
// when the header lacks a column or a cell is not a number.
bool ReadPlotSeries(std::istream& csv, std::vector<PlotSeries>& series, std::string& error);

std::string RenderSvg(const std::vector<PlotSeries>& series);

}  // namespace kavtel::ctl
