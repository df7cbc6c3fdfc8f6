#pragma once

// The words the tools print and publish for the library's controller and
// line states: kavtelctl's panel and record, kavtel-bridge's state.

#include "kavtel/kavtel.h"

namespace kavtel::names {

// The controller state's name: "stop", "run", "pause", "stopping",
// "detecting", "off"; "unknown" for any other value.
inline const char* StateName(int state) {
  switch (state) {
    case KAVTEL_STATE_STOP: return "stop";
    case KAVTEL_STATE_RUN: return "run";
    case KAVTEL_STATE_PAUSE: return "pause";
    case KAVTEL_STATE_STOPPING: return "stopping";
    case KAVTEL_STATE_DETECTING: return "detecting";
    case KAVTEL_STATE_OFF: return "off";
    default: return "unknown";
  }
}

// The line state's name: "lost", "identifying", "ok"; `otherwise` for any
// other value (a tool says what a port without a line state is to it).
inline const char* LinkName(int link, const char* otherwise) {
  switch (link) {
    case KAVTEL_LINK_LOST: return "lost";
    case KAVTEL_LINK_IDENTIFYING: return "identifying";
    case KAVTEL_LINK_OK: return "ok";
    default: return otherwise;
  }
}

}  // namespace kavtel::names
