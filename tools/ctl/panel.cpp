#include "panel.h"

#include <cstdio>
#include <locale>
#include <sstream>

#include "state_names.h"

namespace kavtel::ctl {

namespace {

template <typename T>
std::string Text(const Reading<T>& reading, const char* format, const char* unit = "") {
  if (!reading.Ok()) {
    switch (reading.code) {
      case KAVTEL_NOT_AVAILABLE: return "n/a";
      case KAVTEL_DETECTING: return "...";
      default: return "-";
    }
  }
  std::ostringstream text;
  text.imbue(std::locale::classic());
  char number[64];
  std::snprintf(number, sizeof number, format, reading.value);
  text << number << unit;
  return text.str();
}

std::string Duration(const Reading<int>& reading) {
  if (!reading.Ok()) return Text(reading, "%d");
  char text[32];
  std::snprintf(text, sizeof text, "%d:%02d:%02d", reading.value / 3600, reading.value / 60 % 60,
                reading.value % 60);
  return text;
}

std::string Row(const std::string& name1, const std::string& value1, const std::string& name2,
                const std::string& value2) {
  char row[128];
  std::snprintf(row, sizeof row, "  %-12s %-22s %-13s %s", name1.c_str(), value1.c_str(), name2.c_str(),
                value2.c_str());
  return row;
}

std::string StateText(const Readings& r) {
  const auto state = ControllerState(r);
  return state ? names::StateName(*state) : Text(r.state, "%d");
}

}  // namespace

std::vector<std::string> PanelLines(int port, const Readings& r, const std::string& footer) {
  std::vector<std::string> lines;
  std::string head = "COM" + std::to_string(port) + "  ";
  if (r.link.Ok() && r.link.value == KAVTEL_LINK_LOST) {
    head += "line lost: the port is reopened about once a second";
  } else {
    head += r.admission == KAVTEL_OK ? "controller " + (r.version.Ok() ? r.version.value : std::string("?"))
                                     : ResultText(r.admission);
  }
  lines.push_back(head);
  Reading<double> kmh = r.speed;
  kmh.value *= 3.6;
  lines.push_back(Row("state", StateText(r), "log", r.protocol.Ok() ? (r.protocol.value ? "on" : "off") : "-"));
  lines.push_back(Row("speed", Text(r.speed, "%.2f", " m/s") + (r.speed.Ok() ? " (" + Text(kmh, "%.1f", " km/h)") : ""),
                      "acceleration", Text(r.acceleration, "%d")));
  lines.push_back(Row("elevation", Text(r.elevation, "%.1f"), "duration", Duration(r.duration)));
  lines.push_back(Row("distance", Text(r.distance, "%d", " m"), "heart rate", Text(r.heartrate, "%d", " /min")));
  lines.push_back(Row("energy", Text(r.energy, "%.1f", " kcal"), "power", Text(r.power, "%.0f", " W")));
  lines.push_back(Row("weight", Text(r.weight, "%d", " kg"), "fail-safe", Text(r.failsafe, "%d", " s")));
  lines.push_back(Row("error", Text(r.error, "%d"), "", ""));
  std::istringstream footer_lines(footer);
  for (std::string line; std::getline(footer_lines, line);) lines.push_back(line);
  return lines;
}

std::string PlainLine(double seconds, const Readings& r) {
  char head[32];
  std::snprintf(head, sizeof head, "[%7.1f s] ", seconds);
  const bool lost = r.link.Ok() && r.link.value == KAVTEL_LINK_LOST;
  return head + (lost ? std::string("line lost") : StateText(r)) + " speed " + Text(r.speed, "%.2f") + " elevation " + Text(r.elevation, "%.1f") +
         " accel " + Text(r.acceleration, "%d") + " distance " + Text(r.distance, "%d") + " time " +
         Duration(r.duration) + " hr " + Text(r.heartrate, "%d") + " energy " + Text(r.energy, "%.1f") +
         " power " + Text(r.power, "%.0f") + " log " + Text(r.protocol, "%d");
}

void PanelView::Erase() {
  if (shown_.empty()) return;
  // Up to the panel's first line, then clear to the end of the screen.
  out_ << "\x1b[" << shown_.size() << "F\x1b[J";
  shown_.clear();
}

void PanelView::Message(const std::string& text) {
  if (in_place_) {
    const std::vector<std::string> panel = shown_;
    Erase();
    out_ << text << '\n';
    for (const auto& line : panel) out_ << line << '\n';
    shown_ = panel;
  } else {
    out_ << text << '\n';
  }
  out_.flush();
}

void PanelView::Show(double seconds, int port, const Readings& readings, const std::string& footer) {
  if (in_place_) {
    std::vector<std::string> lines = PanelLines(port, readings, footer);
    if (lines == shown_) return;
    Erase();
    for (const auto& line : lines) out_ << line << "\x1b[K\n";
    shown_ = std::move(lines);
  } else {
    // The time stamp aside, a line only when something changed.
    std::string line = PlainLine(0, readings);
    if (line == last_plain_) return;
    last_plain_ = std::move(line);
    out_ << PlainLine(seconds, readings) << '\n';
  }
  out_.flush();
}

void PanelView::Finish() {
  shown_.clear();
  out_.flush();
}

}  // namespace kavtel::ctl
