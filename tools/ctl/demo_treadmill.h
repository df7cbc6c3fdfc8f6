#pragma once

// The virtual treadmill of `kavtelctl demo`, on a pseudo-terminal mapped to
// COM<n> in this process's environment. Only the native POSIX build has it
// (demo_treadmill_posix.cpp); the Windows build says so.

#include <memory>
#include <string>
#include <vector>

namespace kavtel::ctl {

class DemoTreadmill {
 public:
  DemoTreadmill();
  ~DemoTreadmill();  // stops the treadmill: close the port first
  DemoTreadmill(const DemoTreadmill&) = delete;
  DemoTreadmill& operator=(const DemoTreadmill&) = delete;

  static bool Available();
  // Starts it and maps COM<port> to it; false with the reason in `error`.
  // `where` tells the device path and the mapping.
  bool Start(int port, std::string& where, std::string& error);
  // What the treadmill saw on the wire: frames, answers, repeats, errors.
  std::vector<std::string> Summary() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kavtel::ctl
