#include <dlfcn.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>

#include "host_system.h"
#include "kavtel/version.h"

namespace kavtel::ctl {

DynamicLibrary::~DynamicLibrary() { Unload(); }

bool DynamicLibrary::Load(const std::string& path, std::string& error) {
  Unload();
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* reason = dlerror();
    error = reason != nullptr ? reason : "dlopen failed";
    return false;
  }
  return true;
}

void* DynamicLibrary::Symbol(const char* name) const {
  return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

void DynamicLibrary::Unload() {
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
}

const char* LibraryFileName() { return "libkavtel.so"; }

#define KAVTEL_CTL_TEXT(x) #x
#define KAVTEL_CTL_NUMBER_TEXT(x) KAVTEL_CTL_TEXT(x)
const char* InstalledLibraryFileName() {
  return "libkavtel.so." KAVTEL_CTL_NUMBER_TEXT(KAVTEL_VERSION_MAJOR);
}

std::string ExecutableDirectory() {
  std::error_code error;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : exe.parent_path().string();
}

bool PrepareTerminalOutput() { return isatty(STDOUT_FILENO) == 1; }

namespace {
std::atomic<bool> interrupted{false};
extern "C" void OnInterrupt(int) { interrupted.store(true); }
}  // namespace

void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() { return interrupted.load(); }

struct KeyReader::Saved {
  termios mode;
};

KeyReader::KeyReader() {
  if (isatty(STDIN_FILENO) != 1) return;
  termios mode{};
  if (tcgetattr(STDIN_FILENO, &mode) != 0) return;
  saved_ = new Saved{mode};
  mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
  active_ = tcsetattr(STDIN_FILENO, TCSANOW, &mode) == 0;
}

KeyReader::~KeyReader() {
  if (saved_ != nullptr) tcsetattr(STDIN_FILENO, TCSANOW, &saved_->mode);
  delete saved_;
}

int KeyReader::Next(int timeout_ms) {
  if (!active_) return -1;
  pollfd input{STDIN_FILENO, POLLIN, 0};
  if (poll(&input, 1, timeout_ms) != 1 || (input.revents & POLLIN) == 0) return -1;
  unsigned char key = 0;
  return read(STDIN_FILENO, &key, 1) == 1 ? key : -1;
}

}  // namespace kavtel::ctl
