// kavtel-sim: a virtual treadmill on a pseudo-terminal (or a serial device).
// Prints the device path on the first line of stdout and serves until SIGINT
// or SIGTERM. SIGUSR1 pulls the cable, or plugs it in again; SIGUSR2 presses
// the start key on the treadmill's own console.

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>

#include "frame_codec.h"
#include "simulator.h"

namespace {

using kavtel::sim::Clock;

constexpr const char* kUsage =
    "usage: kavtel-sim [options]\n"
    "\n"
    "A virtual treadmill controller. Prints the device path a host opens on the\n"
    "first line of stdout, serves until SIGINT or SIGTERM and exits 0. SIGUSR1\n"
    "pulls the cable (closes the line) or plugs it in again (a new device path,\n"
    "printed on stderr; --link follows it). SIGUSR2 presses the start key on the\n"
    "treadmill's own console, as someone on the belt would.\n"
    "\n"
    "Line:\n"
    "  --device PATH         serve this serial device instead of a new pseudo-terminal\n"
    "  --link PATH           make PATH a symbolic link to the device (removed at exit)\n"
    "  --trace               print every frame of both directions on stdout\n"
    "  --replay LOG          play the controller of a recorded protocol log: each frame\n"
    "                        the host sends is answered as the log's frame at that point\n"
    "                        was (answer, damaged answer, NAK or silence, recorded delay);\n"
    "                        the treadmill options and faults then do not apply\n"
    "Treadmill:\n"
    "  --version-text TEXT   version answer (default 203; 123 is generation 1)\n"
    "  --units TEXT          units answer, 9 characters (default 003550000)\n"
    "  --device-type N       device type answer (default 0, treadmill)\n"
    "  --weight KG           weight answer and model weight (default 75)\n"
    "  --max-speed M/S       maximum speed (default 6.11)\n"
    "  --start-speed M/S     speed the start key runs up to (default 0.5)\n"
    "  --fail-safe S         fail-safe seconds at power-on (default 10; 0 none)\n"
    "  --time-scale F        run the model F times as fast (default 1)\n"
    "Faults (N counts frames or answers; 0 is never):\n"
    "  --silent              answer nothing (same as --drop-every 1)\n"
    "  --drop-every N        ignore every Nth frame\n"
    "  --nak-every N         refuse every Nth frame with NAK\n"
    "  --only TEXT           drop, NAK and hang-up faults count only frames beginning\n"
    "                        with TEXT (--only A003 --silent: ignore only A003)\n"
    "  --corrupt-every N     send every Nth answer with a wrong checksum\n"
    "  --garbage             send junk bytes before every answer (same as --garbage-every 1)\n"
    "  --garbage-every N     send junk bytes before every Nth answer\n"
    "  --split N             write every answer in N pieces\n"
    "  --split-gap-ms MS     pause between pieces (default 30)\n"
    "  --delay-ms MS         delay every answer\n"
    "  --line-rate           pace bytes at 9600 baud, 10 bits a byte\n"
    "  --hang-up-after N     pull the cable when the Nth frame arrives\n"
    "  --help                this text\n";

std::mutex out_mutex;
const Clock::time_point started = Clock::now();

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "kavtel-sim: %s\n%s", message.c_str(), kUsage);
  std::exit(2);
}

unsigned long Count(const char* text, const char* flag) {
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-') {
    Fail(std::string("bad number for ") + flag + ": " + text);
  }
  return value;
}

long Integer(const char* text, const char* flag) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0') Fail(std::string("bad number for ") + flag + ": " + text);
  return value;
}

double Real(const char* text, const char* flag) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(value > 0)) Fail(std::string("bad value for ") + flag + ": " + text);
  return value;
}

void Trace(const kavtel::sim::Record& record) {
  const double at = std::chrono::duration<double>(record.time - started).count();
  const char* arrow = record.direction == kavtel::sim::Record::Direction::from_host ? "host > sim " : "sim  > host";
  std::lock_guard<std::mutex> lock(out_mutex);
  std::printf("[%10.3f] %s  %s\n", at, arrow, kavtel::sim::Render(record.bytes).c_str());
  std::fflush(stdout);
}

kavtel::sim::Options Parse(int argc, char** argv) {
  kavtel::sim::Options options;
  kavtel::sim::Faults& faults = options.faults;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) Fail("missing value for " + flag);
      return argv[++i];
    };
    if (flag == "--help" || flag == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (flag == "--device") options.device_path = value();
    else if (flag == "--link") options.link_path = value();
    else if (flag == "--trace") options.on_record = Trace;
    else if (flag == "--replay") {
      const char* path = value();
      std::ifstream log(path, std::ios::binary);
      if (!log) Fail(std::string("cannot read the log ") + path);
      const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
      options.replay = kavtel::sim::ReadReplay(text);
      if (options.replay->empty()) Fail(std::string("no frame sent in the log ") + path);
    }
    else if (flag == "--version-text") options.controller.version_text = value();
    else if (flag == "--units") options.controller.units_text = value();
    else if (flag == "--device-type") options.controller.device_type = static_cast<int>(Integer(value(), "--device-type"));
    else if (flag == "--weight") options.model.weight = static_cast<int>(Count(value(), "--weight"));
    else if (flag == "--max-speed") options.model.max_speed = Real(value(), "--max-speed");
    else if (flag == "--start-speed") options.model.start_speed = Real(value(), "--start-speed");
    else if (flag == "--fail-safe") options.model.fail_safe = static_cast<int>(Integer(value(), "--fail-safe"));
    else if (flag == "--time-scale") options.time_scale = Real(value(), "--time-scale");
    else if (flag == "--silent") faults.drop_every = 1;
    else if (flag == "--drop-every") faults.drop_every = static_cast<unsigned>(Count(value(), "--drop-every"));
    else if (flag == "--only") faults.only = value();
    else if (flag == "--nak-every") faults.nak_every = static_cast<unsigned>(Count(value(), "--nak-every"));
    else if (flag == "--corrupt-every") faults.corrupt_every = static_cast<unsigned>(Count(value(), "--corrupt-every"));
    else if (flag == "--garbage") faults.garbage_every = 1;
    else if (flag == "--garbage-every") faults.garbage_every = static_cast<unsigned>(Count(value(), "--garbage-every"));
    else if (flag == "--split") faults.split = static_cast<unsigned>(Count(value(), "--split"));
    else if (flag == "--split-gap-ms") faults.split_gap = std::chrono::milliseconds(Count(value(), "--split-gap-ms"));
    else if (flag == "--delay-ms") faults.delay = std::chrono::milliseconds(Count(value(), "--delay-ms"));
    else if (flag == "--line-rate") faults.line_rate = true;
    else if (flag == "--hang-up-after") faults.hang_up_after = static_cast<unsigned>(Count(value(), "--hang-up-after"));
    else Fail("unknown option " + flag);
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const kavtel::sim::Options options = Parse(argc, argv);

  // The signals are taken by sigwait below; block them before the worker
  // thread starts so that it inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  sigaddset(&signals, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  kavtel::sim::Simulator simulator(options);
  try {
    simulator.Start();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kavtel-sim: %s\n", e.what());
    return 1;
  }
  {
    std::lock_guard<std::mutex> lock(out_mutex);
    std::printf("%s\n", simulator.GetDevicePath().c_str());
    std::fflush(stdout);
  }
  if (!options.link_path.empty()) std::fprintf(stderr, "kavtel-sim: %s -> %s\n", options.link_path.c_str(), simulator.GetDevicePath().c_str());

  for (;;) {
    int signal = 0;
    if (sigwait(&signals, &signal) != 0) continue;
    if (signal == SIGUSR2) {
      simulator.PressConsoleKey(kavtel::sim::Key::start);
      std::fprintf(stderr, "kavtel-sim: start pressed on the console\n");
      continue;
    }
    if (signal != SIGUSR1) break;
    try {
      if (simulator.IsConnected()) {
        simulator.HangUp();
        std::fprintf(stderr, "kavtel-sim: cable pulled\n");
      } else {
        simulator.Replug();
        std::fprintf(stderr, "kavtel-sim: plugged in again: %s\n", simulator.GetDevicePath().c_str());
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "kavtel-sim: %s\n", e.what());
    }
  }

  simulator.Stop();
  const kavtel::sim::Counters c = simulator.GetCounters();
  std::fprintf(stderr,
               "kavtel-sim: %llu frames, %llu answers, %llu violations (bad checksums %llu, missing ACKs %llu, "
               "ACKed corrupt answers %llu, overlapping frames %llu, unexpected ACK/NAK %llu, stray bytes %llu, "
               "unknown commands %llu, bad payloads %llu)\n",
               static_cast<unsigned long long>(c.frames_received), static_cast<unsigned long long>(c.answers_sent),
               static_cast<unsigned long long>(c.Violations()), static_cast<unsigned long long>(c.bad_checksums),
               static_cast<unsigned long long>(c.missing_acks), static_cast<unsigned long long>(c.acked_corrupt),
               static_cast<unsigned long long>(c.overlapping_frames),
               static_cast<unsigned long long>(c.unexpected_replies), static_cast<unsigned long long>(c.stray_bytes),
               static_cast<unsigned long long>(c.unknown_commands), static_cast<unsigned long long>(c.bad_payloads));
  if (options.replay) {
    std::fprintf(stderr,
                 "kavtel-sim: replay: %llu of %zu recorded frames answered, %llu differed from the record%s, "
                 "%llu beyond its end\n",
                 static_cast<unsigned long long>(c.replayed), options.replay->size(),
                 static_cast<unsigned long long>(c.replay_differed),
                 c.replay_differed == 0
                     ? ""
                     : (" (first at log line " + std::to_string(c.replay_first_difference_line) + ")").c_str(),
                 static_cast<unsigned long long>(c.replay_beyond));
  }
  return 0;
}
