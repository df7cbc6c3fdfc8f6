#pragma once

namespace kavtel::platform {

// A counted reference to the module (DLL or shared object) this code is
// linked into, taken from inside it. While one exists, the host's unloading
// of the module (FreeLibrary, dlclose) only lowers the count: the module
// stays in memory, so threads running its code never run on unmapped
// pages. The last reference given back lets the module unload as usual.
//
// Code linked into an executable rather than a library gets no reference
// (Held() is false); nothing is needed there.
class ModuleReference {
 public:
  ModuleReference();
  ~ModuleReference();
  ModuleReference(const ModuleReference&) = delete;
  ModuleReference& operator=(const ModuleReference&) = delete;

  bool Held() const { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;
};

}  // namespace kavtel::platform
