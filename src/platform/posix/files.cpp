#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "platform/files.h"

namespace kavtel::platform {

char PathSeparator() { return '/'; }

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + '/' + name;
}

std::string ExecutablePath() {
  std::string path(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= path.size()) return {};
  path.resize(static_cast<std::size_t>(n));
  return path;
}

bool IsReadOnlyFolder(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return true;
  return (st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0;
}

// A symbolic link counts as existing even when what it points to does not.
bool FileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Folders made here hold the traffic logs, whose lines carry a user's heart
// rate and weight: only their owner may enter them.
constexpr mode_t kPrivateFolderMode = 0700;
// The same for the files.
constexpr mode_t kPrivateFileMode = 0600;

bool CreateFolders(const std::string& path) {
  if (path.empty()) return false;
  for (std::size_t pos = path.find('/', 1); pos != std::string::npos;
       pos = path.find('/', pos + 1)) {
    (void)::mkdir(path.substr(0, pos).c_str(), kPrivateFolderMode);
  }
  if (::mkdir(path.c_str(), kPrivateFolderMode) != 0 && errno != EEXIST) return false;
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string CommonDataFolder() {
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
    return state;
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return JoinPath(JoinPath(home, ".local"), "state");
  }
  return {};
}

std::string UserStateFolder() {
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
    return state;
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
    return JoinPath(JoinPath(home, ".local"), "state");
  }
  return {};
}

// The sticky bit (as on /tmp) would keep others from removing the log's
// files, but not from reading a folder's names, filling it or, for root,
// from having their own files pruned as the log's: such a folder is
// refused as well.
namespace {
bool OthersMayWrite(const struct stat& st) { return (st.st_mode & S_IWOTH) != 0; }
}  // namespace

bool IsWritableByOthers(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && OthersMayWrite(st);
}

bool IsPlainFolder(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

// The folder opened for *at() calls, refused when it is a symbolic link;
// -1 when it cannot be opened.
int OpenFolder(const std::string& folder) {
  return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

std::vector<FileEntry> ListFiles(const std::string& folder) {
  std::vector<FileEntry> files;
  const int dir = OpenFolder(folder);
  if (dir < 0) return files;
  DIR* listing = ::fdopendir(dir);
  if (listing == nullptr) {
    ::close(dir);
    return files;
  }
  while (const dirent* entry = ::readdir(listing)) {
    struct stat st {};
    if (::fstatat(dir, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    FileEntry file;
    file.name = entry->d_name;
    file.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    file.size = static_cast<std::uint64_t>(st.st_size);
    files.push_back(std::move(file));
  }
  ::closedir(listing);  // closes `dir` too
  return files;
}

bool RemoveFile(const std::string& folder, const std::string& name) {
  if (!IsPlainName(name)) return false;
  const int dir = OpenFolder(folder);
  if (dir < 0) return false;
  // A file another writer holds (OutputFile keeps a lock on it) stays, as
  // Windows keeps a file that is open without sharing.
  const int fd = ::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    ::close(dir);
    return false;
  }
  const bool gone = ::unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT;
  if (fd >= 0) ::close(fd);
  ::close(dir);
  return gone;
}

std::unique_ptr<OutputFile> OutputFile::CreateNew(const std::string& folder, const std::string& name) {
  if (!IsPlainName(name)) return nullptr;
  // The folder is held open (never through a link) while the file is made
  // in it, so a folder swapped for a link in between changes nothing.
  // The folder's mode is read from the folder held open, so one opened to
  // others in between is refused too.
  const int dir = OpenFolder(folder);
  if (dir < 0) return nullptr;
  struct stat st {};
  if (::fstat(dir, &st) != 0 || OthersMayWrite(st)) {
    ::close(dir);
    return nullptr;
  }
  const int fd = ::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          kPrivateFileMode);
  ::close(dir);
  if (fd < 0) return nullptr;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {  // no sharing with other writers
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<OutputFile>(
      new OutputFile(reinterpret_cast<void*>(static_cast<std::intptr_t>(fd))));
}

std::unique_ptr<OutputFile> OutputFile::Create(const std::string& path) {
  // Emptied only once it is ours: a file another writer holds stays intact.
  // An existing file keeps its mode; the mode applies to a new one only.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, kPrivateFileMode);
  if (fd < 0) return nullptr;
  // A terminal or a pipe named as the file (/dev/stdout) is written as it
  // is: there is nothing to lock or to empty.
  struct stat st {};
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (regular && (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ftruncate(fd, 0) != 0)) {  // no sharing with other writers
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<OutputFile>(
      new OutputFile(reinterpret_cast<void*>(static_cast<std::intptr_t>(fd))));
}

OutputFile::~OutputFile() { ::close(static_cast<int>(reinterpret_cast<std::intptr_t>(handle_))); }

bool OutputFile::Write(const void* data, std::size_t size) {
  const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(handle_));
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool OutputFile::Flush() {
  return ::fsync(static_cast<int>(reinterpret_cast<std::intptr_t>(handle_))) == 0;
}

}  // namespace kavtel::platform
