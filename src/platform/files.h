#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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
// Each folder it creates is its owner's alone: on POSIX mode 0700 (less
// whatever the umask takes away); on Windows it inherits the access list of
// the folder it is made in. A folder that exists already is left as it is.
bool CreateFolders(const std::string& path);

// True when every account of the machine may add or remove entries in the
// folder: on POSIX the write bit for others (S_IWOTH), whatever the sticky
// bit or the group's bits say. A folder open to a group is the choice of
// its owner and does not count. On Windows always false: a folder's access
// list is its owner's, and the files made in it inherit that list. False
// when the folder's attributes cannot be read.
bool IsWritableByOthers(const std::string& path);

// The machine-wide folder for programs' data, the fallback home of files
// that cannot go beside the executable. On Windows the value "Common
// AppData" under HKEY_LOCAL_MACHINE, key
// SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders; on
// POSIX $XDG_STATE_HOME, else ~/.local/state.
// Empty when there is none.
std::string CommonDataFolder();

// The per-user folder for a program's state: on POSIX $XDG_STATE_HOME when
// it is an absolute path, else $HOME/.local/state; on Windows
// %LOCALAPPDATA%. Empty when there is none.
std::string UserStateFolder();

// True when `path` is a folder in its own right: not a symbolic link (POSIX)
// or a reparse point (Windows, junctions included), and not a file.
bool IsPlainFolder(const std::string& path);

// A regular file directly in a folder.
struct FileEntry {
  std::string name;           // without the folder
  std::int64_t modified = 0;  // last write, in the system's units (only compared)
  std::uint64_t size = 0;
};

// The regular files directly in `folder`; symbolic links, folders and
// anything else are left out. Empty when the folder cannot be read.
std::vector<FileEntry> ListFiles(const std::string& folder);

// Removes the file `name` from `folder`: the entry itself, never what a
// symbolic link points to, and not while another OutputFile has it open.
// True when it is gone.
bool RemoveFile(const std::string& folder, const std::string& name);

// Somewhere bytes are written to.
class FileWriter {
 public:
  virtual ~FileWriter() = default;
  // Writes all bytes; false if the system took fewer (a full disk). The
  // bytes it did take stay written.
  virtual bool Write(const void* data, std::size_t size) = 0;
  // Makes the system write its buffers of the file to disk.
  virtual bool Flush() = 0;
};

// A file opened for writing, not shared with other writers. Writes go
// straight to the system. A file it creates is readable and writable by its
// owner only: on POSIX mode 0600 (less whatever the umask takes away); on
// Windows it inherits the access list of its folder.
class OutputFile : public FileWriter {
 public:
  // Created anew, or emptied if it exists; an existing file keeps its mode
  // (its access list on Windows). Null when it cannot be created.
  static std::unique_ptr<OutputFile> Create(const std::string& path);
  // Created only if nothing of that name exists in `folder` (not even a
  // symbolic link, which is never followed), and only if `folder` is a
  // plain folder (IsPlainFolder) that is not writable by others
  // (IsWritableByOthers). Null otherwise.
  static std::unique_ptr<OutputFile> CreateNew(const std::string& folder, const std::string& name);
  ~OutputFile() override;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool Write(const void* data, std::size_t size) override;
  bool Flush() override;

 private:
  explicit OutputFile(void* handle) : handle_(handle) {}
  void* handle_;
};

// What a writer of log files needs of the file system, in one place, so a
// test can stand in for the disk (a full one, or a folder that refuses
// writes to root as well). The default members are the system's.
class FileLayer {
 public:
  virtual ~FileLayer() = default;
  virtual std::string ExecutablePath() { return platform::ExecutablePath(); }
  virtual bool IsReadOnlyFolder(const std::string& path) { return platform::IsReadOnlyFolder(path); }
  virtual std::string UserStateFolder() { return platform::UserStateFolder(); }
  virtual bool CreateFolders(const std::string& path) { return platform::CreateFolders(path); }
  virtual bool IsPlainFolder(const std::string& path) { return platform::IsPlainFolder(path); }
  virtual bool FileExists(const std::string& path) { return platform::FileExists(path); }
  virtual std::unique_ptr<FileWriter> CreateNew(const std::string& folder, const std::string& name) {
    return OutputFile::CreateNew(folder, name);
  }
  virtual std::vector<FileEntry> ListFiles(const std::string& folder) { return platform::ListFiles(folder); }
  virtual bool RemoveFile(const std::string& folder, const std::string& name) {
    return platform::RemoveFile(folder, name);
  }
};

// The system's file layer.
FileLayer& SystemFiles();

}  // namespace kavtel::platform
