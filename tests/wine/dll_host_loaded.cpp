// A Windows host that loads kavtel.dll with LoadLibrary and finds every
// function by its plain name with GetProcAddress, as most hosts do. After
// the scenario it unloads the library with a port open: FreeLibrary must
// return, the library must stay in memory while the port is open, and go
// once the port is closed and the library freed (its detach frees the
// table under the loader lock without waiting for any thread).
// It does not load the library once more after that: under Wine 8 a load
// after a full unload, once a port was used, crashes in Wine's own loader
// (README, Wine).
// usage: dll_host_loaded.exe <com> <missing com>; exit code 0 when all held.
#include <windows.h>

#include <cstdlib>

#include "dll_host_scenario.h"

namespace {

template <typename Fn>
bool Find(HMODULE library, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library, name)));
  if (fn == nullptr) HostSay("FAIL GetProcAddress %s", name);
  return fn != nullptr;
}

bool Bind(HMODULE library, KavtelApi& api) {
  return Find(library, "kavtelopenPort", api.openPort) &&
         Find(library, "kavtelclosePort", api.closePort) &&
         Find(library, "kavtelclosePortEx", api.closePortEx) &&
         Find(library, "isvalidKavtelDevice", api.isvalid) &&
         Find(library, "kavtelgetVersion", api.getVersion) &&
         Find(library, "kavtelgetStatus", api.getStatus) &&
         Find(library, "kavtelgetDuration", api.getDuration) &&
         Find(library, "kavtelgetSpeed", api.getSpeed) &&
         Find(library, "kavtelgetElevation", api.getElevation) &&
         Find(library, "kavtelgetDistance", api.getDistance) &&
         Find(library, "kavtelsetElevation", api.setElevation) &&
         Find(library, "kavtelsetSpeedAccel", api.setSpeedAccel) &&
         Find(library, "kavtelKeyPressUp", api.keyPressUp) &&
         Find(library, "kavtelsetProtocol", api.setProtocol);
}

HMODULE Load(KavtelApi& api) {
  HMODULE library = LoadLibraryA("kavtel.dll");
  if (library == nullptr) {
    HostSay("FAIL LoadLibrary kavtel.dll: error %lu", GetLastError());
    return nullptr;
  }
  if (!Bind(library, api)) return nullptr;
  return library;
}

bool InMemory() { return GetModuleHandleA("kavtel.dll") != nullptr; }

int Fail(const char* what) {
  HostSay("FAIL %s", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const int com = std::atoi(argv[1]);
  KavtelApi api{};

  HMODULE library = Load(api);
  if (library == nullptr) return 1;
  if (HostRunScenario(&api, com, std::atoi(argv[2])) != 0) return 1;

  // Unload with the port open: the open port keeps the library loaded.
  if (api.openPort(com) != KAVTEL_OK) return Fail("reopen");
  if (HostWaitIdentified(&api, com) != 0) return 1;
  HostSay("UNLOADING WITH PORT OPEN");
  FreeLibrary(library);
  if (!InMemory()) return Fail("the library went away with a port open");
  HostSay("UNLOADED, STILL IN MEMORY");

  // Loading it again finds the port open; once closed, the library goes.
  library = Load(api);
  if (library == nullptr) return 1;
  if (api.isvalid(com) != KAVTEL_OK) return Fail("the port did not stay open");
  if (api.closePort(com) != KAVTEL_OK) return Fail("close after reload");
  FreeLibrary(library);
  if (InMemory()) return Fail("the library stayed after its ports were closed");
  HostSay("UNLOADED");
  return 0;
}
