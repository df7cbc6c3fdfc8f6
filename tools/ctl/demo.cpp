#include "demo.h"

#include <chrono>
#include <filesystem>
#include <optional>

#include "demo_treadmill.h"
#include "host_system.h"
#include "session.h"
#include "workout_script.h"

namespace kavtel::ctl {

const char* const kDemoWorkout = R"(# kavtelctl demo: about half a minute on the treadmill
log on
acceleration 5
key start                        # the belt starts at its lowest speed
expect state = run within 10
speed 1.5
expect speed >= 1.45 within 15
wait 3
speed 2.5                        # 9 km/h
expect speed >= 2.45 within 15
elevation 2
expect elevation >= 2 within 15
key plus                         # +0.1 km/h a press
key plus
key up                           # +0.5 elevation
wait 4
speed 1.2
elevation 0
expect elevation <= 0 within 15
key stop
expect state = stop within 10
log off
)";

namespace {

// The log file the library wrote beside kavtelctl during the demo.
std::optional<std::filesystem::path> NewestLog(std::filesystem::file_time_type since) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path folder = fs::path(ExecutableDirectory()) / "Protocol";
  std::optional<fs::path> newest;
  fs::file_time_type newest_time{};
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("Protocol", 0) != 0 || entry.path().extension() != ".TXT") continue;
    const auto time = entry.last_write_time(error);
    if (error || time < since) continue;
    if (!newest || time > newest_time) {
      newest = entry.path();
      newest_time = time;
    }
  }
  return newest;
}

}  // namespace

int RunDemo(const KavtelApi& api, int port, SessionOptions options, std::ostream& out, std::ostream& err) {
  DemoTreadmill treadmill;
  if (port == 0) {
    port = KAVTEL_MAX_DEVICE_INDEX;
    std::string where, error;
    if (!treadmill.Start(port, where, error)) {
      err << "kavtelctl demo: " << error << "\n";
      return DemoTreadmill::Available() ? kExitCannotOpen : kExitUsage;
    }
    out << "kavtelctl demo: " << where << "\n";
  } else {
    out << "kavtelctl demo on COM" << port << "\n";
  }

  ParsedScript workout = ParseScript(kDemoWorkout);
  options.port = port;
  options.script = std::move(workout.steps);
  options.interrupt_is_failure = true;
  // A little slack, so that a log file written in the same clock tick counts.
  const auto started = std::filesystem::file_time_type::clock::now() - std::chrono::seconds(2);
  const int result = RunSession(api, options, out, err);

  out << "\nsummary\n";
  for (const auto& line : treadmill.Summary()) out << "  " << line << "\n";
  if (const auto log = NewestLog(started)) {
    std::error_code error;
    out << "  protocol log: " << log->string() << " (" << std::filesystem::file_size(*log, error)
        << " bytes)\n";
  } else {
    out << "  protocol log: none found in " << (std::filesystem::path(ExecutableDirectory()) / "Protocol").string()
        << " (when that folder is read-only the library writes under the common data folder)\n";
  }
  if (!options.record_path.empty()) out << "  record: " << options.record_path << "\n";
  out << (result == kExitOk ? "demo finished\n" : "demo failed\n");
  return result;
}

}  // namespace kavtel::ctl
