#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "platform/thread.h"

namespace kavtel::platform {

struct Thread::Impl {
  std::mutex startLock;  // Resume and WaitFor against each other
  std::thread worker;
  std::atomic<pid_t> tid{0};
  std::mutex fatalLock;
  std::string fatal;
};

}  // namespace kavtel::platform
