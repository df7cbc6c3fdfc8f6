#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace kavtel::platform {

// The folder separator of the system's paths: "\" on Windows, "/" on POSIX.
char PathSeparator();

// `folder` and `name` joined by one separator (none added when `folder`
// already ends with one).
std::string JoinPath(const std::string& folder, const std::string& name);

// The full path of the process's own executable (not of this library);
// empty if the system cannot tell.
std::string ExecutablePath();

// True when the folder's attributes cannot be read or mark it read-only.
// On Windows that is the read-only attribute; on POSIX a folder that grants
// no write permission to anyone, or that the process may not write to.
bool IsReadOnlyFolder(const std::string& path);

bool FileExists(const std::string& path);

// Creates the folder and any missing parents; true when it exists afterwards.
bool CreateFolders(const std::string& path);

// The machine-wide folder for programs' data, the fallback home of files
// that cannot go beside the executable. On Windows the value "Common
// AppData" under HKEY_LOCAL_MACHINE, key
// SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders; on
// POSIX $XDG_STATE_HOME, else ~/.local/state.
// Empty when there is none.
std::string CommonDataFolder();

// A file opened for writing: created anew (emptied if it exists), not
// shared with other writers. Writes go straight to the system.
class OutputFile {
 public:
  // Null when the file cannot be created.
  static std::unique_ptr<OutputFile> Create(const std::string& path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Writes all bytes; false if the system took fewer.
  bool Write(const void* data, std::size_t size);
  // Makes the system write its buffers of the file to disk.
  bool Flush();

 private:
  explicit OutputFile(void* handle) : handle_(handle) {}
  void* handle_;
};

}  // namespace kavtel::platform
