#pragma once

// One look at every value the library holds for a device: each reader's
// result code and, when that is KAVTEL_OK, its value.

#include <optional>
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
  Reading<int> link;                 // KAVTEL_LINK_*
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

// The controller state as the host sees it: the status reader's state, or
// KAVTEL_STATE_DETECTING while it reports KAVTEL_DETECTING (a controller
// being identified, or lost and identified again).
std::optional<int> ControllerState(const Readings& readings);

}  // namespace kavtel::ctl
