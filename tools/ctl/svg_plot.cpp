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

bool ReadPlotSeries(std::istream& csv, std::vector<PlotSeries>& series, std::string& error) {
  series = {{"speed_mps", "Speed (m/s)", "#1f77b4", {}},
            {"elevation", "Elevation", "#2ca02c", {}},
            {"heartrate", "Heart rate (/min)", "#d62728", {}}};
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
  std::vector<std::size_t> columns;
  for (const auto& s : series) {
    columns.push_back(column(s.column));
    if (columns.back() == header.size()) {
      error = "no " + s.column + " column: not a kavtelctl record";
      return false;
    }
  }
  int number = 1;
  while (std::getline(csv, line)) {
    ++number;
    if (line.empty() || line == "\r") continue;
    const std::vector<std::string> cells = Cells(line);
    double t = 0;
    if (cells.size() != header.size() || !ParseNumber(cells[time], t)) {
      error = "line " + std::to_string(number) + " is not a record row";
      return false;
    }
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

std::string RenderSvg(const std::vector<PlotSeries>& series) {
  constexpr double kWidth = 900, kLeft = 70, kRight = 20, kTop = 40, kChart = 170, kGap = 50;
  const double height = kTop + static_cast<double>(series.size()) * (kChart + kGap);
  double t_end = 1;
  for (const auto& s : series) {
    for (const auto& p : s.points) t_end = std::max(t_end, p.first);
  }
  const double plot_width = kWidth - kLeft - kRight;

  std::ostringstream svg;
  svg.imbue(std::locale::classic());
  svg.setf(std::ios::fixed);
  svg.precision(1);
  svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << kWidth << ' ' << height << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      << "<title>kavtel workout</title>\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      << "<text x=\"" << kLeft << "\" y=\"24\" font-size=\"16\">Workout over " << t_end << " s</text>\n";
  double top = kTop;
  for (const auto& s : series) {
    double low = 0, high = 0;
    for (const auto& p : s.points) {
      low = std::min(low, p.second);
      high = std::max(high, p.second);
    }
    if (high - low < 1e-9) high = low + 1;
    const double bottom = top + kChart;
    auto x = [&](double t) { return kLeft + t / t_end * plot_width; };
    auto y = [&](double v) { return bottom - (v - low) / (high - low) * kChart; };

    svg << "<g class=\"series\" id=\"" << Escape(s.column) << "\">\n"
        << "<text x=\"" << kLeft << "\" y=\"" << top - 6 << "\" font-weight=\"bold\">" << Escape(s.title)
        << "</text>\n"
        << "<rect x=\"" << kLeft << "\" y=\"" << top << "\" width=\"" << plot_width << "\" height=\"" << kChart
        << "\" fill=\"none\" stroke=\"#999\"/>\n";
    svg.precision(2);
    svg << "<text x=\"" << kLeft - 6 << "\" y=\"" << top + 4 << "\" text-anchor=\"end\">" << high << "</text>\n"
        << "<text x=\"" << kLeft - 6 << "\" y=\"" << bottom + 4 << "\" text-anchor=\"end\">" << low
        << "</text>\n";
    svg.precision(1);
    svg << "<text x=\"" << kLeft << "\" y=\"" << bottom + 16 << "\">0 s</text>\n"
        << "<text x=\"" << kLeft + plot_width << "\" y=\"" << bottom + 16 << "\" text-anchor=\"end\">" << t_end
        << " s</text>\n"
        << "<polyline fill=\"none\" stroke=\"" << s.colour << "\" stroke-width=\"2\" points=\"";
    const char* separator = "";
    for (const auto& p : s.points) {
      svg << separator << x(p.first) << ',' << y(p.second);
      separator = " ";
    }
    svg << "\"/>\n</g>\n";
    top += kChart + kGap;
  }
  svg << "</svg>\n";
  return svg.str();
}

}  // namespace kavtel::ctl
