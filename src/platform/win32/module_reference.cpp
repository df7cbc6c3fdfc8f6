#include <windows.h>

#include "platform/module_reference.h"

namespace kavtel::platform {

namespace {
// Any address inside this module will do.
void Anchor() {}
}  // namespace

ModuleReference::ModuleReference() {
  HMODULE module = nullptr;
  // Without GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT the module's
  // reference count goes up by one, as LoadLibrary would do.
  if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCSTR>(&Anchor), &module) == 0) {
    return;
  }
  // An executable is never unloaded; keep no reference to it.
  if (module == GetModuleHandleA(nullptr)) return;
  handle_ = module;
}

ModuleReference::~ModuleReference() {
  if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
}

}  // namespace kavtel::platform
