#pragma once

// One look at every value the library holds for a device: each reader's
// result code and, when that is KAVTEL_OK, its value.

#include <string>

#include "kavtel_api.h"

namespace kavtel::ctl {

template <typename T>
struct Reading {
  int code = KAVTEL_NOT_OPEN;
  T value{};
  bool Ok() const { return code == KAVTEL_OK; }
};

struct Readings {
  int admission = KAVTEL_NOT_OPEN;  // isvalidKavtelDevice
  Reading<std::string> version;
  Reading<int> state;
  Reading<int> duration;  // s
  Reading<double> speed;  // m/s
  Reading<int> acceleration;
  Reading<double> elevation;
  Reading<int> heartrate;
  Reading<int> distance;  // m
  Reading<int> failsafe;
  Reading<int> error;
  Reading<int> weight;
  Reading<double> energy;
  Reading<double> power;
  Reading<int> protocol;
};

Readings ReadAll(const KavtelApi& api, int port);

}  // namespace kavtel::ctl
