#pragma once

// One host session on COM<port>: open the port, wait for the controller to
// be identified, then show the live panel, record, run a workout or take
// keys until it ends, and always close the port (which stops a running
// belt), on Ctrl-C and on failures too.

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "kavtel_api.h"
#include "workout_script.h"

namespace kavtel::ctl {

// Exit codes of kavtelctl, for scripts.
enum ExitCode : int {
  kExitOk = 0,
  kExitUsage = 1,             // bad arguments or a bad script line
  kExitCannotOpen = 2,        // the library, the port or a file could not be opened
  kExitNotIdentified = 3,     // the controller was not identified in time
  kExitOperationFailed = 4,   // a library call failed; its code is printed
  kExitExpectationFailed = 5, // a script's expect step was not met in time
  kExitInterrupted = 130,     // Ctrl-C ended a script or the demo
};

struct SessionOptions {
  int port = 0;
  std::string record_path;                       // empty: no record
  std::optional<std::vector<ScriptStep>> script; // run it, then end
  bool keys = false;                             // take keys (kavtelctl run)
  bool interrupt_is_failure = false;             // Ctrl-C gives kExitInterrupted
  double identify_seconds = 20;
};

int RunSession(const KavtelApi& api, const SessionOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kavtel::ctl
