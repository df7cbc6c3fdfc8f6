// The DLL's entry point: the device table is built when a process loads
// the library and freed when it unloads it.
//
// Process detach runs under the loader lock, where waiting for a thread to
// end deadlocks, and at process exit (reserved is not null) the process's
// other threads are gone already: so the detach frees only the slots of
// closed ports, which own no thread, and leaves open ones alone. An open
// port holds a reference to the module, so a FreeLibrary while ports are
// open does not get here; only the process exit does.
#include <windows.h>

#include "kavtel/kavtel.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH: mfc_initkavtelDLL(); break;
    case DLL_PROCESS_DETACH: mfc_releasekavtelDLL(); break;
    default: break;
  }
  return TRUE;
}
