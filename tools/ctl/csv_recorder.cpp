#include "csv_recorder.h"

#include <locale>
#include <sstream>

#include "state_names.h"

namespace kavtel::ctl {

namespace {

template <typename T>
void Cell(std::ostringstream& row, const Reading<T>& reading) {
  row << ',';
  if (reading.Ok()) row << reading.value;
}

}  // namespace

std::string CsvHeader() {
  return "time_s,state,speed_mps,elevation,acceleration,duration_s,distance_m,heartrate,"
         "failsafe,error,weight,energy,power,protocol,version,link\n";
}

std::string CsvRow(double seconds, const Readings& r) {
  std::ostringstream row;
  row.imbue(std::locale::classic());
  row.setf(std::ios::fixed);
  row.precision(1);
  row << seconds << ',';
  if (const auto state = ControllerState(r)) row << names::StateName(*state);
  row.precision(2);
  Cell(row, r.speed);
  Cell(row, r.elevation);
  Cell(row, r.acceleration);
  Cell(row, r.duration);
  Cell(row, r.distance);
  Cell(row, r.heartrate);
  Cell(row, r.failsafe);
  Cell(row, r.error);
  Cell(row, r.weight);
  Cell(row, r.energy);
  Cell(row, r.power);
  Cell(row, r.protocol);
  // The version text is the controller's: commas, quotes and line breaks
  // are dropped from it so the row keeps its columns.
  row << ',';
  if (r.version.Ok()) {
    for (char c : r.version.value) {
      if (c != ',' && c != '"' && c != '\n' && c != '\r') row << c;
    }
  }
  row << ',';
  if (r.link.Ok()) row << LinkName(r.link.value);
  row << '\n';
  return row.str();
}

}  // namespace kavtel::ctl
