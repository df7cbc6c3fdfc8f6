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

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool CreateFolders(const std::string& path) {
  if (path.empty()) return false;
  for (std::size_t pos = path.find('/', 1); pos != std::string::npos;
       pos = path.find('/', pos + 1)) {
    (void)::mkdir(path.substr(0, pos).c_str(), 0777);
  }
  if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return false;
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

std::unique_ptr<OutputFile> OutputFile::Create(const std::string& path) {
  // Emptied only once it is ours: a file another writer holds stays intact.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ftruncate(fd, 0) != 0) {  // no sharing with other writers
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
