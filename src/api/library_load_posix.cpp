// libkavtel.so builds the device table when it is loaded and frees it when
// it is unloaded. An open port holds a reference to the library, so a
// dlclose while ports are open does not unload it; at process exit the
// slots of open ports are left alone (their threads may still run).
#include "kavtel/kavtel.h"

namespace {

__attribute__((constructor)) void LoadLibraryHook() { mfc_initkavtelDLL(); }

__attribute__((destructor)) void UnloadLibraryHook() { mfc_releasekavtelDLL(); }

}  // namespace
