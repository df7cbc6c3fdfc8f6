// kavtelctl: a command-line host of the kavtel library. It loads the library
// at run time, as any host does, and drives one treadmill.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <locale>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "demo.h"
#include "log_check.h"
#include "kavtel_api.h"
#include "platform/files.h"
#include "port_listing.h"
#include "session.h"
#include "svg_plot.h"
#include "workout_script.h"

namespace kavtel::ctl {
namespace {

constexpr char kHelp[] = R"(kavtelctl - drive a treadmill through the kavtel library

usage:
  kavtelctl demo [--port N] [--record FILE.csv]
      a short workout on a virtual treadmill (native build), or on COM N
  kavtelctl monitor --port N [--record FILE.csv]
      live panel of every value until Ctrl-C (which closes the port and so
      stops a running belt)
  kavtelctl run --port N [--record FILE.csv]
      the panel plus keys: s start, x stop, + faster, - slower, u up, d down,
      v set a speed, e set an elevation, l log on/off, q quit
  kavtelctl script --port N FILE [--record FILE.csv]
      a plain-text workout, one step per line:
        wait S | speed M/S | elevation E | acceleration I | failsafe S
        key start|stop|plus|minus|up|down [press|release|tap]
        log on|off | expect FIELD OP VALUE [within S]      (# comments)
  kavtelctl plot FILE.csv -o FILE.svg
      speed, elevation and heart rate of a record over time
  kavtelctl ports
      the system's ports: COM number, description and whether each exists
  kavtelctl check LOG
      reads a protocol log: a summary of the traffic and every protocol
      violation with its line number (exit 0 clean, 5 violations, 1 the
      file cannot be read); docs/protocol-log.md describes the log

options:
  --port N          COM port 1 to 64; on Linux COM N is the device in the
                    environment variable KAVTEL_COM<N> (else /dev/ttyS<N-1>)
  --record FILE     one CSV row of every value per second
  --library PATH    the kavtel library (default: beside kavtelctl)
  --identify-timeout S   seconds to wait for the controller (default 20)

exit codes:
  0 ok    1 usage or a bad script line    2 library, port or file cannot be
  opened    3 controller not identified in time    4 a library call failed
  (its code is printed)    5 an expect step was not met (check: the log has
  violations)    130 Ctrl-C ended a script or the demo
)";

struct Arguments {
  std::string command;
  std::map<std::string, std::string> options;
  std::vector<std::string> positional;
};

int Usage(const std::string& problem) {
  std::cerr << "kavtelctl: " << problem << "\n(kavtelctl --help shows the usage)\n";
  return kExitUsage;
}

// Splits the command line; false with the reason when an option lacks its
// value or is unknown.
bool Split(int argc, char** argv, Arguments& args, std::string& problem) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--port" || word == "--record" || word == "--library" || word == "--identify-timeout" ||
        word == "-o") {
      if (i + 1 >= argc) {
        problem = word + " needs a value";
        return false;
      }
      args.options[word] = argv[++i];
    } else if (word.size() > 1 && word[0] == '-') {
      problem = "unknown option " + word;
      return false;
    } else if (args.command.empty()) {
      args.command = word;
    } else {
      args.positional.push_back(word);
    }
  }
  return true;
}

bool ParsePort(const std::string& text, int& port) {
  if (text.empty() || text.size() > 2 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  port = std::stoi(text);
  return port >= 1 && port <= KAVTEL_MAX_PORT;
}

int Plot(const Arguments& args) {
  if (args.positional.size() != 1 || args.options.count("-o") == 0) return Usage("plot takes FILE.csv -o FILE.svg");
  std::ifstream csv(args.positional[0], std::ios::binary);
  if (!csv) {
    std::cerr << "kavtelctl: cannot read " << args.positional[0] << "\n";
    return kExitCannotOpen;
  }
  PlotData data;
  std::string error;
  if (!ReadPlotData(csv, data, error)) {
    std::cerr << "kavtelctl: " << args.positional[0] << ": " << error << "\n";
    return kExitUsage;
  }
  // The plot shows the record's heart rate: a new file is as private as the
  // record (see platform::OutputFile); one that exists keeps its mode.
  const std::unique_ptr<platform::OutputFile> svg = platform::OutputFile::Create(args.options.at("-o"));
  const std::string picture = RenderSvg(data);
  if (!svg || !svg->Write(picture.data(), picture.size())) {
    std::cerr << "kavtelctl: cannot write " << args.options.at("-o") << "\n";
    return kExitCannotOpen;
  }
  return kExitOk;
}

// Exit 0 for a clean log, 5 when it has violations, 1 when it cannot be read.
int Check(const Arguments& args) {
  if (args.positional.size() != 1 || !args.options.empty()) return Usage("check takes one LOG file");
  std::error_code error;
  std::ifstream file(args.positional[0], std::ios::binary);
  std::ostringstream text;
  const bool readable = file && !std::filesystem::is_directory(args.positional[0], error);
  if (readable) text << file.rdbuf();
  if (!readable || file.bad()) {
    std::cerr << "kavtelctl: cannot read " << args.positional[0] << "\n";
    return kExitUsage;
  }
  const LogReport report = CheckLog(text.str());
  PrintLogReport(report, args.positional[0], std::cout);
  return report.violations.empty() ? kExitOk : kExitExpectationFailed;
}

int Main(int argc, char** argv) {
  Arguments args;
  std::string problem;
  if (argc < 2) return Usage("no command");
  if (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h" || std::string(argv[1]) == "help") {
    std::cout << kHelp;
    return kExitOk;
  }
  if (!Split(argc, argv, args, problem)) return Usage(problem);

  // Every command; a new one gets its line here and its branch below.
  const std::vector<std::string> commands = {"demo", "monitor", "run", "script", "plot", "ports", "check"};
  if (std::find(commands.begin(), commands.end(), args.command) == commands.end()) {
    return Usage("unknown command '" + args.command + "'");
  }
  if (args.command == "plot") return Plot(args);
  if (args.command == "check") return Check(args);
  if (args.command == "ports") {
    if (!args.positional.empty() || !args.options.empty()) return Usage("ports takes no arguments");
    return ListPorts(std::cout, std::cerr);
  }
  if (args.options.count("-o") != 0) return Usage("-o belongs to plot");

  int port = 0;
  if (args.options.count("--port") != 0 && !ParsePort(args.options.at("--port"), port)) {
    return Usage("--port takes a COM number from 1 to " + std::to_string(KAVTEL_MAX_PORT));
  }
  if (port == 0 && args.command != "demo") return Usage(args.command + " needs --port N");
  const std::size_t positional = args.command == "script" ? 1 : 0;
  if (args.positional.size() != positional) {
    return Usage(args.command == "script" ? "script takes one FILE" : args.command + " takes no file");
  }

  SessionOptions options;
  options.port = port;
  if (args.options.count("--record") != 0) options.record_path = args.options.at("--record");
  if (args.command == "script") {
    std::ifstream file(args.positional[0], std::ios::binary);
    if (!file) {
      std::cerr << "kavtelctl: cannot read the script " << args.positional[0] << "\n";
      return kExitCannotOpen;
    }
    std::ostringstream text;
    text << file.rdbuf();
    ParsedScript script = ParseScript(text.str());
    if (!script.error.empty()) {
      std::cerr << "kavtelctl: " << args.positional[0] << ": " << script.error << "\n";
      return kExitUsage;
    }
    options.script = std::move(script.steps);
    options.interrupt_is_failure = true;
  }
  options.keys = args.command == "run";
  if (args.options.count("--identify-timeout") != 0) {
    std::istringstream text(args.options.at("--identify-timeout"));
    text.imbue(std::locale::classic());
    double seconds = 0;
    text >> seconds;
    if (text.fail() || !text.eof() || !(seconds > 0 && seconds <= 3600)) {
      return Usage("--identify-timeout takes seconds, above 0");
    }
    options.identify_seconds = seconds;
  }

  const std::string library =
      args.options.count("--library") != 0 ? args.options.at("--library") : DefaultLibraryPath();
  LoadedKavtel kavtel;
  std::string error;
  if (!kavtel.Load(library, error)) {
    std::cerr << "kavtelctl: " << error << "\n";
    return kExitCannotOpen;
  }
  // kavtelctl is a host of today's library: every COM port of the table.
  if (kavtel.Api().setAllPorts != nullptr) {
    kavtel.Api().setAllPorts(1);
  } else if (port > KAVTEL_MAX_DEVICE_INDEX) {
    std::cerr << "kavtelctl: " << library << " reads COM1 to COM" << KAVTEL_MAX_DEVICE_INDEX
              << " only (it has no kavtelsetAllPorts)\n";
    return kExitCannotOpen;
  }
  CatchInterrupts();
  if (args.command == "demo") return RunDemo(kavtel.Api(), port, options, std::cout, std::cerr);
  return RunSession(kavtel.Api(), options, std::cout, std::cerr);
}

}  // namespace
}  // namespace kavtel::ctl

int main(int argc, char** argv) { return kavtel::ctl::Main(argc, argv); }
