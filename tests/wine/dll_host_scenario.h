/* The scenario both Windows host programs run against kavtel.dll: one calls
 * the functions through the import library, the other looks them up by
 * name with GetProcAddress. Plain C, written against kavtel.h only. */
#ifndef KAVTEL_DLL_HOST_SCENARIO_H
#define KAVTEL_DLL_HOST_SCENARIO_H

#include "kavtel/kavtel.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int(KAVTEL_CALL* kavtel_index_fn)(int);
typedef int(KAVTEL_CALL* kavtel_int_fn)(int, int);
typedef int(KAVTEL_CALL* kavtel_int_out_fn)(int, int*);
typedef int(KAVTEL_CALL* kavtel_double_fn)(int, double);
typedef int(KAVTEL_CALL* kavtel_double_out_fn)(int, double*);
typedef int(KAVTEL_CALL* kavtel_text_out_fn)(int, char*);
typedef int(KAVTEL_CALL* kavtel_speed_accel_fn)(int, double, int);

/* The flat functions the scenario uses. */
typedef struct KavtelApi {
  kavtel_index_fn openPort;
  kavtel_index_fn closePort;
  kavtel_int_out_fn closePortEx;
  kavtel_index_fn isvalid;
  kavtel_text_out_fn getVersion;
  kavtel_int_out_fn getStatus;
  kavtel_int_out_fn getDuration;
  kavtel_double_out_fn getSpeed;
  kavtel_double_out_fn getElevation;
  kavtel_int_out_fn getDistance;
  kavtel_double_fn setElevation;
  kavtel_speed_accel_fn setSpeedAccel;
  kavtel_int_fn keyPressUp;
  kavtel_int_fn setProtocol;
} KavtelApi;

/* Prints a line to stdout at once (the driver script reads it). */
void HostSay(const char* format, ...);

/* Waits until the device on com is identified: KAVTEL_DETECTING until then,
 * nothing else; 0 when it is, else a failure was printed. */
int HostWaitIdentified(const KavtelApi* api, int com);

/* Against the virtual treadmill on com, whose line the driver holds back
 * until the host says "DETECTING": a port that does not exist does not open;
 * com opens and stays KAVTEL_DETECTING while the treadmill is silent, then
 * gives KAVTEL_OK; the log goes on; speed, acceleration, elevation and the
 * up key reach the treadmill and its measured values come back; the port
 * closes with the belt running (kavtelclosePortEx), the treadmill confirming
 * the stop. 0 when all of that held. */
int HostRunScenario(const KavtelApi* api, int com, int missingCom);

#ifdef __cplusplus
}
#endif

#endif
