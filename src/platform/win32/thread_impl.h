#pragma once

#include <windows.h>

#include <mutex>
#include <string>

#include "platform/thread.h"

namespace kavtel::platform {

struct Thread::Impl {
  std::mutex startLock;  // Resume and WaitFor against each other
  HANDLE handle = nullptr;
  DWORD id = 0;
  std::mutex fatalLock;
  std::string fatal;
};

}  // namespace kavtel::platform
