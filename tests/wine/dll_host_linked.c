/* A Windows host in C linked against kavtel.dll's import library. After the
 * scenario it opens the port again and ends with it open: the process must
 * end normally (the library's detach at process exit leaves the open slot
 * alone). usage: dll_host_linked.exe <com> <missing com>; exit code 0 when
 * the scenario held. */
#include <stdlib.h>

#include "dll_host_scenario.h"

int main(int argc, char** argv) {
  KavtelApi api;
  int com;
  if (argc < 3) return 2;
  api.openPort = kavtelopenPort;
  api.closePort = kavtelclosePort;
  api.closePortEx = kavtelclosePortEx;
  api.isvalid = isvalidKavtelDevice;
  api.getVersion = kavtelgetVersion;
  api.getStatus = kavtelgetStatus;
  api.getDuration = kavtelgetDuration;
  api.getSpeed = kavtelgetSpeed;
  api.getElevation = kavtelgetElevation;
  api.getDistance = kavtelgetDistance;
  api.setElevation = kavtelsetElevation;
  api.setSpeedAccel = kavtelsetSpeedAccel;
  api.keyPressUp = kavtelKeyPressUp;
  api.setProtocol = kavtelsetProtocol;
  com = atoi(argv[1]);
  if (HostRunScenario(&api, com, atoi(argv[2])) != 0) return 1;
  if (api.openPort(com) != KAVTEL_OK) return 1;
  if (HostWaitIdentified(&api, com) != 0) return 1;
  HostSay("EXITING WITH PORT OPEN");
  return 0;
}
