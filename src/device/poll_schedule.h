#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace kavtel {

// The outstanding-query counters, one per polled code, in this order.
enum TKavtelQuery : std::uint8_t {
  kqStatus, kqVersion, kqAcceleration, kqSpeed, kqDistance, kqElevation, kqHeartRate,
  kqU17, kqTime, kqError, kqEnergy, kqPower, kqWeight, kqSpare,
  kqCount
};

// Which information requests each step of the 20-step polling cycle asks,
// and which are outstanding. Schedule A serves every controller; schedule B
// (generation 2.3 and later) also asks error, weight, energy and power.
// A code is asked again only when its earlier query is no longer
// outstanding: answered, or its exchange ended otherwise. No thread, no
// clock: the device calls Step once per cycle tick.
class TKavtelPollSchedule {
 public:
  // One query: its counter and its frame body (the code and its checksum).
  struct Query {
    TKavtelQuery counter;
    const char* frameBody;
  };

  // The queries of the current step that are not outstanding, in order;
  // each is marked outstanding. Advances to the next step.
  template <typename Ask>
  void Step(bool extended, Ask ask) {
    const StepQueries& step = (extended ? kScheduleB : kScheduleA)[cycleStep_];
    for (int i = 0; i < step.count; ++i) {
      const Query& q = step.queries[i];
      if (counters_[q.counter] >= 1) continue;  // one query of a code at a time
      counters_[q.counter] = 1;
      ask(q);
    }
    cycleStep_ = cycleStep_ + 1 == kSteps ? 0 : cycleStep_ + 1;
  }

  std::int32_t CycleStep() const { return cycleStep_; }
  void SetCycleStep(std::int32_t step) { cycleStep_ = step; }
  std::int32_t Counter(TKavtelQuery q) const { return counters_[q]; }
  void MarkAsked(TKavtelQuery q) { counters_[q] = 1; }
  // An answer of this code was decoded (it may not have been asked for:
  // the counter may go below 0).
  void Decoded(TKavtelQuery q) { --counters_[q]; }
  // The exchange of a query ended (answered with any code, or given up):
  // it is no longer outstanding. kqCount (no query) changes nothing.
  void Ended(TKavtelQuery q) {
    if (q < kqCount && counters_[q] > 0) counters_[q] = 0;
  }
  void ResetCounters() { counters_.fill(0); }

  // The counter of a polled code ("D00" -> kqDistance), kqCount for codes
  // that are not polled.
  static TKavtelQuery QueryOfCode(std::string_view code);

  static constexpr std::int32_t kSteps = 20;

 private:
  struct StepQueries {
    Query queries[3];
    int count;
  };
  static const StepQueries kScheduleA[kSteps];
  static const StepQueries kScheduleB[kSteps];

  std::int32_t cycleStep_ = 0;
  std::array<std::int32_t, kqCount> counters_{};
};

}  // namespace kavtel
