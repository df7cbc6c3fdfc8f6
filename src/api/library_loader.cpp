// What loading and unloading the library does: build and free the device
// table. The operating system's load hooks call these.
#include "kavtel/kavtel.h"

extern "C" KAVTEL_API int KAVTEL_CALL mfc_initkavtelDLL(void) { return buildDeviceArray(); }

extern "C" KAVTEL_API int KAVTEL_CALL mfc_releasekavtelDLL(void) { return destroyDeviceArray(); }
