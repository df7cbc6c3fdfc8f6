#include <dlfcn.h>

#include "platform/module_reference.h"

namespace kavtel::platform {

namespace {
// Any address inside this module will do; dladdr maps it to the module.
void Anchor() {}
}  // namespace

ModuleReference::ModuleReference() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&Anchor), &info) == 0 || info.dli_fname == nullptr) return;
  // RTLD_NOLOAD: only a module that is already loaded is found, and its
  // reference count goes up by one.
  handle_ = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
}

ModuleReference::~ModuleReference() {
  if (handle_ != nullptr) dlclose(handle_);
}

}  // namespace kavtel::platform
