#pragma once

// `kavtelctl demo`: a short workout on the virtual treadmill (or on COM<port>
// when one is given), with the live panel and a summary of the traffic.

#include <ostream>
#include <string>

#include "kavtel_api.h"
#include "session.h"

namespace kavtel::ctl {

// The demo's workout, in the script language.
extern const char* const kDemoWorkout;

// `port` 0: start the virtual treadmill and map it to COM6. The workout,
// whatever `options` holds, is the demo's own.
int RunDemo(const KavtelApi& api, int port, SessionOptions options, std::ostream& out, std::ostream& err);

}  // namespace kavtel::ctl
