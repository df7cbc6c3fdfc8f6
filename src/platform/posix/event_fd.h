#pragma once

#include "platform/event.h"

namespace kavtel::platform {

// A descriptor that poll() reports readable exactly while `event` is
// signalled; made on the first call and closed with the event, -1 if the
// system refuses one. Polling it never consumes an auto-reset signal.
int EventPollFd(Event& event);

}  // namespace kavtel::platform
