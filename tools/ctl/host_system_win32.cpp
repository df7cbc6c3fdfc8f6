#include <windows.h>
#include <conio.h>

#include <atomic>
#include <cstdio>
#include <io.h>

#include "host_system.h"

namespace kavtel::ctl {

DynamicLibrary::~DynamicLibrary() { Unload(); }

bool DynamicLibrary::Load(const std::string& path, std::string& error) {
  Unload();
  handle_ = LoadLibraryA(path.c_str());
  if (handle_ == nullptr) {
    error = "LoadLibrary failed with Windows error " + std::to_string(GetLastError());
    return false;
  }
  return true;
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (handle_ == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void DynamicLibrary::Unload() {
  if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

const char* LibraryFileName() { return "kavtel.dll"; }
const char* InstalledLibraryFileName() { return "kavtel.dll"; }

std::string ExecutableDirectory() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  std::string folder(path, length);
  const auto slash = folder.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : folder.substr(0, slash);
}

bool PrepareTerminalOutput() {
  if (_isatty(_fileno(stdout)) == 0) return false;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(out, &mode)) return false;
  // Consoles before Windows 10 know no escape sequences: plain lines then.
  return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

namespace {
std::atomic<bool> interrupted{false};
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  interrupted.store(true);
  return TRUE;
}
}  // namespace

void CatchInterrupts() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

bool Interrupted() { return interrupted.load(); }

struct KeyReader::Saved {};

KeyReader::KeyReader() { active_ = _isatty(_fileno(stdin)) != 0; }

KeyReader::~KeyReader() = default;

int KeyReader::Next(int timeout_ms) {
  if (!active_) return -1;
  const DWORD end = GetTickCount() + static_cast<DWORD>(timeout_ms);
  do {
    if (_kbhit() != 0) return _getch();
    Sleep(10);
  } while (static_cast<int>(end - GetTickCount()) > 0);
  return -1;
}

}  // namespace kavtel::ctl
