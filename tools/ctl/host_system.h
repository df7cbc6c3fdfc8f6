#pragma once

// What kavtelctl needs from the operating system, behind one header: loading
// the library by name, where the executable lives, the terminal (is it one,
// raw keys, escape sequences) and Ctrl-C. CMake picks
// host_system_posix.cpp or host_system_win32.cpp.

#include <string>

namespace kavtel::ctl {

// A shared library loaded at run time (dlopen / LoadLibraryA).
class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary();  // unloads
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Loads `path`; false with the system's reason in `error`.
  bool Load(const std::string& path, std::string& error);
  // The address of an exported symbol, or null.
  void* Symbol(const char* name) const;
  void Unload();

 private:
  void* handle_ = nullptr;
};

// The library's file name on this system: libkavtel.so or kavtel.dll.
const char* LibraryFileName();
// Its file name in an installed lib folder: libkavtel.so.<major> (the
// SONAME; the bare libkavtel.so comes with development files only), or
// kavtel.dll.
const char* InstalledLibraryFileName();
// The folder of the running executable ("" when unknown).
std::string ExecutableDirectory();

// Whether standard output is a terminal. Also readies it for the escape
// sequences the panel uses (a Windows console needs to be told).
bool PrepareTerminalOutput();

// Ctrl-C (and SIGTERM on POSIX) sets a flag instead of ending the process,
// so that an open port is always closed. Interrupted() reads the flag.
void CatchInterrupts();
bool Interrupted();

// Single keystrokes from a terminal without echo, for as long as it lives.
class KeyReader {
 public:
  KeyReader();   // raw mode when standard input is a terminal
  ~KeyReader();  // restores it
  KeyReader(const KeyReader&) = delete;
  KeyReader& operator=(const KeyReader&) = delete;

  bool Active() const { return active_; }
  // The next key, waiting at most `timeout_ms`; -1 when none came.
  int Next(int timeout_ms);

 private:
  bool active_ = false;
  struct Saved;
  Saved* saved_ = nullptr;
};

}  // namespace kavtel::ctl
