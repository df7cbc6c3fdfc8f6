#include "device/poll_schedule.h"

namespace kavtel {

namespace {

using Query = TKavtelPollSchedule::Query;
constexpr Query kD{kqDistance, "D0064"};
constexpr Query kT{kqTime, "T0080"};
constexpr Query kS0{kqStatus, "S0079"};
constexpr Query kP{kqHeartRate, "P0177"};
constexpr Query kS1{kqSpeed, "S0180"};
constexpr Query kE{kqElevation, "E0166"};
constexpr Query kA{kqAcceleration, "A0061"};
constexpr Query kJ1{kqEnergy, "J0171"};
constexpr Query kJ2{kqPower, "J0272"};
constexpr Query kZ{kqError, "Z0086"};
constexpr Query kJ0{kqWeight, "J0070"};

}  // namespace

const TKavtelPollSchedule::StepQueries TKavtelPollSchedule::kScheduleA[kSteps] = {
    {{kD, kT}, 2},     {{kD, kS0}, 2}, {{kD, kP}, 2}, {{kD, kS1}, 2}, {{kD, kT}, 2},
    {{kD}, 1},         {{kD, kP}, 2},  {{kD, kS1}, 2}, {{kD, kT, kE}, 3}, {{kD, kS0}, 2},
    {{kD, kP}, 2},     {{kD, kS1}, 2}, {{kD, kT, kA}, 3}, {{kD}, 1},   {{kD, kP}, 2},
    {{kD, kS1}, 2},    {{kD, kT, kE}, 3}, {{kD, kS0}, 2}, {{kD, kP}, 2}, {{kD, kS1}, 2},
};

const TKavtelPollSchedule::StepQueries TKavtelPollSchedule::kScheduleB[kSteps] = {
    {{kD, kT, kJ1}, 3}, {{kD, kS0}, 2}, {{kD, kP}, 2}, {{kD, kS1}, 2}, {{kD, kT, kJ2}, 3},
    {{kD, kZ}, 2},      {{kD, kP}, 2},  {{kD, kS1}, 2}, {{kD, kT, kE}, 3}, {{kD, kS0}, 2},
    {{kD, kP}, 2},      {{kD, kS1}, 2}, {{kD, kT, kA}, 3}, {{kD, kJ0}, 2}, {{kD, kP}, 2},
    {{kD, kS1}, 2},     {{kD, kT, kE}, 3}, {{kD, kS0}, 2}, {{kD, kP}, 2}, {{kD, kS1}, 2},
};

TKavtelQuery TKavtelPollSchedule::QueryOfCode(std::string_view code) {
  struct Entry {
    const char* code;
    TKavtelQuery query;
  };
  static constexpr Entry kCodes[] = {
      {"S00", kqStatus},   {"V00", kqVersion}, {"A00", kqAcceleration}, {"S01", kqSpeed},
      {"D00", kqDistance}, {"E01", kqElevation}, {"P01", kqHeartRate},  {"U17", kqU17},
      {"T00", kqTime},     {"Z00", kqError},   {"J01", kqEnergy},       {"J02", kqPower},
      {"J00", kqWeight},
  };
  for (const Entry& e : kCodes) {
    if (code == e.code) return e.query;
  }
  return kqCount;
}

}  // namespace kavtel
