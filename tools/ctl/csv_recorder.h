#pragma once

// The --record file: a header, then one row of every value per second.
// Columns: time_s, then each reader (the state by name, "detecting" while
// the controller is being identified); a cell is empty when
// its reader did not return KAVTEL_OK. Numbers use "." as the decimal point.

#include <string>

#include "readings.h"

namespace kavtel::ctl {

std::string CsvHeader();
std::string CsvRow(double seconds, const Readings& readings);

}  // namespace kavtel::ctl
