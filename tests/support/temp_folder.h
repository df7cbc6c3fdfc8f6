#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace kavtel::test {

// A folder of the test's own, "/tmp/kavtel-<name>-XXXXXX", removed with
// everything in it when the object goes. Path() is empty when the system
// refused to make one.
class TempFolder {
 public:
  explicit TempFolder(const std::string& name) {
    std::string pattern = "/tmp/kavtel-" + name + "-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace kavtel::test
