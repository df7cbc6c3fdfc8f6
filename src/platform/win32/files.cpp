#include <windows.h>

#include <cstring>

#include "platform/files.h"

namespace kavtel::platform {

char PathSeparator() { return '\\'; }

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '\\') return folder + name;
  return folder + '\\' + name;
}

std::string ExecutablePath() {
  char path[MAX_PATH + 1] = {};
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  return std::string(path, n);
}

bool IsReadOnlyFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CreateFolders(const std::string& path) {
  if (path.empty()) return false;
  // Every prefix that ends before a separator, then the folder itself; a
  // drive ("C:") or an existing folder simply refuses to be made again.
  for (std::size_t pos = path.find_first_of("\\/", 1); pos != std::string::npos;
       pos = path.find_first_of("\\/", pos + 1)) {
    CreateDirectoryA(path.substr(0, pos).c_str(), nullptr);
  }
  CreateDirectoryA(path.c_str(), nullptr);
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The folder's access list is its owner's to choose, and the log's files
// inherit it: nothing is refused here.
bool IsWritableByOthers(const std::string&) { return false; }

std::string CommonDataFolder() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", 0,
                    KEY_READ, &key) != ERROR_SUCCESS) {
    return {};
  }
  char value[MAX_PATH + 1] = {};
  DWORD size = MAX_PATH;
  DWORD type = 0;
  std::string result;
  if (RegQueryValueExA(key, "Common AppData", nullptr, &type, reinterpret_cast<BYTE*>(value),
                       &size) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ)) {
    result.assign(value, strnlen(value, size));
  }
  RegCloseKey(key);
  return result;
}

std::string UserStateFolder() {
  char value[MAX_PATH + 1] = {};
  const DWORD n = GetEnvironmentVariableA("LOCALAPPDATA", value, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  return std::string(value, n);
}

bool IsPlainFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

namespace {

bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("\\/:") == std::string::npos;
}

}  // namespace

std::vector<FileEntry> ListFiles(const std::string& folder) {
  std::vector<FileEntry> files;
  WIN32_FIND_DATAA found{};
  HANDLE search = FindFirstFileA(JoinPath(folder, "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return files;
  do {
    const DWORD skip = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    if ((found.dwFileAttributes & skip) != 0) continue;
    FileEntry file;
    file.name = found.cFileName;
    file.modified = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(found.ftLastWriteTime.dwHighDateTime) << 32) |
        found.ftLastWriteTime.dwLowDateTime);
    file.size = (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    files.push_back(std::move(file));
  } while (FindNextFileA(search, &found) != FALSE);
  FindClose(search);
  return files;
}

bool RemoveFile(const std::string& folder, const std::string& name) {
  if (!IsPlainName(name) || !IsPlainFolder(folder)) return false;
  const std::string path = JoinPath(folder, name);
  return DeleteFileA(path.c_str()) != FALSE || GetLastError() == ERROR_FILE_NOT_FOUND;
}

std::unique_ptr<OutputFile> OutputFile::CreateNew(const std::string& folder, const std::string& name) {
  // A folder that is a junction or a link could lead anywhere.
  if (!IsPlainName(name) || !IsPlainFolder(folder)) return nullptr;
  const std::string path = JoinPath(folder, name);
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return std::unique_ptr<OutputFile>(new OutputFile(file));
}

std::unique_ptr<OutputFile> OutputFile::Create(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return std::unique_ptr<OutputFile>(new OutputFile(file));
}

OutputFile::~OutputFile() { CloseHandle(handle_); }

bool OutputFile::Write(const void* data, std::size_t size) {
  DWORD written = 0;
  return WriteFile(handle_, data, static_cast<DWORD>(size), &written, nullptr) != FALSE &&
         written == size;
}

bool OutputFile::Flush() { return FlushFileBuffers(handle_) != FALSE; }

}  // namespace kavtel::platform
