#include "svg_plot.h"

#include <algorithm>
#include <cmath>
#include <locale>
#include <sstream>

namespace kavtel::ctl {

namespace {

std::vector<std::string> Cells(const std::string& line) {
  std::vector<std::string> cells;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = line.find(',', start);
    cells.push_back(line.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (!cells.empty() && !cells.back().empty() && cells.back().back() == '\r') cells.back().pop_back();
  return cells;
}

bool ParseNumber(const std::string& text, double& value) {
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  in >> value;
  return !in.fail() && in.eof() && std::isfinite(value);
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

bool ReadPlotData(std::istream& csv, PlotData& data, std::string& error) {
  data.series = {{"speed_mps", "Speed (m/s)", "#1f77b4", {}},
                 {"elevation", "Elevation", "#2ca02c", {}},
                 {"heartrate", "Heart rate (/min)", "#d62728", {}}};
  data.running.clear();
  std::vector<PlotSeries>& series = data.series;
  std::string line;
  if (!std::getline(csv, line)) {
    error = "the file is empty";
    return false;
  }
  const std::vector<std::string> header = Cells(line);
  auto column = [&](const std::string& name) {
    return static_cast<std::size_t>(std::find(header.begin(), header.end(), name) - header.begin());
  };
  const std::size_t time = column("time_s");
  if (time == header.size()) {
    error = "no time_s column: not a kavtelctl record";
    return false;
  }
  const std::size_t state = column("state");  // header.size() when absent
  std::vector<std::size_t> columns;
  for (const auto& s : series) {
    columns.push_back(column(s.column));
    if (columns.back() == header.size()) {
      error = "no " + s.column + " column: not a kavtelctl record";
      return false;
    }
  }
  int number = 1;
  bool was_running = false;
  while (std::getline(csv, line)) {
    ++number;
    if (line.empty() || line == "\r") continue;
    const std::vector<std::string> cells = Cells(line);
    double t = 0;
    if (cells.size() != header.size() || !ParseNumber(cells[time], t)) {
      error = "line " + std::to_string(number) + " is not a record row";
      return false;
    }
    // A running phase lasts from its first "run" row to the next row that
    // is not "run" (or to the last row).
    if (was_running) data.running.back().second = t;
    const bool running = state != header.size() && cells[state] == "run";
    if (running && !was_running) data.running.emplace_back(t, t);
    was_running = running;
    for (std::size_t i = 0; i < series.size(); ++i) {
      const std::string& cell = cells[columns[i]];
      if (cell.empty()) continue;
      double value = 0;
      if (!ParseNumber(cell, value)) {
        error = "line " + std::to_string(number) + ": '" + cell + "' is not a number";
        return false;
      }
      series[i].points.emplace_back(t, value);
    }
  }
  return true;
}

AxisTicks RoundTicks(double low, double high, int target) {
  AxisTicks ticks;
  const double range = high - low > 1e-9 ? high - low : 1.0;
  const double raw = range / std::max(1, target);
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  const double normal = raw / magnitude;
  ticks.step = (normal <= 1 ? 1 : normal <= 2 ? 2 : normal <= 5 ? 5 : 10) * magnitude;
  // Within a hair of a tick counts as on it (values read from text).
  ticks.first = std::floor(low / ticks.step + 1e-9) * ticks.step;
  ticks.last = std::ceil(high / ticks.step - 1e-9) * ticks.step;
  if (ticks.last - ticks.first < ticks.step / 2) ticks.last = ticks.first + ticks.step;
  return ticks;
}

double TimeStep(double end, int most) {
  static const double kSteps[] = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 18000, 36000};
  for (double step : kSteps) {
    if (end / step <= most) return step;
  }
  return std::ceil(end / most / 36000) * 36000;
}

std::string MinutesSeconds(double seconds) {
  const long whole = std::lround(seconds);
  const long s = whole % 60;
  return std::to_string(whole / 60) + ":" + (s < 10 ? "0" : "") + std::to_string(s);
}

namespace {

// A tick label: as many decimals as the step needs.
std::string TickLabel(double value, double step) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out.setf(std::ios::fixed);
  out.precision(std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9))));
  out << (std::fabs(value) < step * 1e-6 ? 0.0 : value);
  return out.str();
}

}  // namespace

std::string RenderSvg(const PlotData& data) {
  const std::vector<PlotSeries>& series = data.series;
  // The title sits above the first panel's label, the time labels below the
  // last panel.
  constexpr double kWidth = 900, kLeft = 80, kRight = 24, kTitle = 28, kTop = 68, kChart = 170, kGap = 44,
                   kBottom = 56;
  const double count = static_cast<double>(series.size());
  const double height = kTop + count * kChart + std::max(0.0, count - 1) * kGap + kBottom;
  double t_last = 0;
  for (const auto& s : series) {
    for (const auto& p : s.points) t_last = std::max(t_last, p.first);
  }
  const double t_step = TimeStep(std::max(t_last, 1.0), 10);
  const double t_end = std::max(t_step, std::ceil(t_last / t_step - 1e-9) * t_step);
  const double plot_width = kWidth - kLeft - kRight;
  auto x = [&](double t) { return kLeft + t / t_end * plot_width; };

  std::ostringstream svg;
  svg.imbue(std::locale::classic());
  svg.setf(std::ios::fixed);
  svg.precision(1);
  svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << kWidth << ' ' << height << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      << "<title>kavtel workout</title>\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      << "<text class=\"title\" x=\"" << kLeft << "\" y=\"" << kTitle << "\" font-size=\"16\">Workout over "
      << MinutesSeconds(t_last) << " (min:s)</text>\n"
      << "<rect x=\"" << kWidth - kRight - 92 << "\" y=\"" << kTitle - 11 << "\" width=\"12\" height=\"12\""
      << " fill=\"#dcefdc\" stroke=\"#9c9\"/>\n"
      << "<text x=\"" << kWidth - kRight << "\" y=\"" << kTitle << "\" text-anchor=\"end\">belt running</text>\n";
  double top = kTop;
  for (const auto& s : series) {
    double low = 0, high = 0;
    for (const auto& p : s.points) {
      low = std::min(low, p.second);
      high = std::max(high, p.second);
    }
    const AxisTicks ticks = RoundTicks(low, high, 5);
    const double bottom = top + kChart;
    auto y = [&](double v) { return bottom - (v - ticks.first) / (ticks.last - ticks.first) * kChart; };

    svg << "<g class=\"series\" id=\"" << Escape(s.column) << "\">\n"
        << "<text class=\"label\" x=\"" << kLeft << "\" y=\"" << top - 8 << "\" font-weight=\"bold\">"
        << Escape(s.title) << "</text>\n";
    for (const auto& phase : data.running) {
      svg << "<rect class=\"running\" x=\"" << x(phase.first) << "\" y=\"" << top << "\" width=\""
          << x(phase.second) - x(phase.first) << "\" height=\"" << kChart << "\" fill=\"#dcefdc\"/>\n";
    }
    const int value_ticks = static_cast<int>(std::lround((ticks.last - ticks.first) / ticks.step));
    for (int i = 0; i <= value_ticks; ++i) {
      const double value = ticks.first + i * ticks.step;
      svg << "<line class=\"grid-y\" x1=\"" << kLeft << "\" x2=\"" << kLeft + plot_width << "\" y1=\"" << y(value)
          << "\" y2=\"" << y(value) << "\" stroke=\"#ddd\"/>\n"
          << "<line x1=\"" << kLeft - 5 << "\" x2=\"" << kLeft << "\" y1=\"" << y(value) << "\" y2=\"" << y(value)
          << "\" stroke=\"#666\"/>\n"
          << "<text class=\"tick-y\" x=\"" << kLeft - 8 << "\" y=\"" << y(value) + 4 << "\" text-anchor=\"end\">"
          << TickLabel(value, ticks.step) << "</text>\n";
    }
    const int time_ticks = static_cast<int>(std::lround(t_end / t_step));
    for (int i = 0; i <= time_ticks; ++i) {
      svg << "<line class=\"grid-x\" x1=\"" << x(i * t_step) << "\" x2=\"" << x(i * t_step) << "\" y1=\"" << top
          << "\" y2=\"" << bottom + 5 << "\" stroke=\"#ddd\"/>\n";
    }
    svg << "<rect x=\"" << kLeft << "\" y=\"" << top << "\" width=\"" << plot_width << "\" height=\"" << kChart
        << "\" fill=\"none\" stroke=\"#999\"/>\n"
        << "<polyline fill=\"none\" stroke=\"" << s.colour << "\" stroke-width=\"2\" points=\"";
    const char* separator = "";
    for (const auto& p : s.points) {
      svg << separator << x(p.first) << ',' << y(p.second);
      separator = " ";
    }
    svg << "\"/>\n</g>\n";
    top = bottom + kGap;
  }
  // The shared time axis under the last panel.
  const double axis = top - kGap;
  svg << "<g class=\"time-axis\">\n";
  const int time_ticks = static_cast<int>(std::lround(t_end / t_step));
  for (int i = 0; i <= time_ticks; ++i) {
    svg << "<text class=\"tick-x\" x=\"" << x(i * t_step) << "\" y=\"" << axis + 20
        << "\" text-anchor=\"middle\">" << MinutesSeconds(i * t_step) << "</text>\n";
  }
  svg << "<text x=\"" << kLeft + plot_width / 2 << "\" y=\"" << axis + 42
      << "\" text-anchor=\"middle\">Time (min:s)</text>\n</g>\n</svg>\n";
  return svg.str();
}

}  // namespace kavtel::ctl
