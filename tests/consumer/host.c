/* A host project's program, built against an installed kavtel (through the
 * CMake package or pkg-config) and run against kavtel-sim on COM3
 * (KAVTEL_COM3 names its line): opens the port, waits for the controller,
 * runs the belt to 1.5 m/s, stops it with the stop key and closes the port.
 * Prints "HOST OK <version>" and exits 0 when every step held. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <kavtel/kavtel.h>

#define PORT 3
#define DEADLINE_S 60.0 /* generous: the machine is slow at times */

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void Pause(void) {
  struct timespec t = {0, 20 * 1000 * 1000};
  nanosleep(&t, NULL);
}

static int Fail(const char* what, int code) {
  printf("HOST FAIL %s (result %d)\n", what, code);
  return 1;
}

int main(void) {
  double start, speed = 0;
  int result, state = -1;
#ifdef EXPECTED_VERSION
  /* The header and the package the project found agree on the version. */
  if (strcmp(KAVTEL_VERSION_STRING, EXPECTED_VERSION) != 0) {
    printf("HOST FAIL header version %s, package version %s\n", KAVTEL_VERSION_STRING, EXPECTED_VERSION);
    return 1;
  }
#endif
  result = kavtelopenPort(PORT);
  if (result != KAVTEL_OK) return Fail("kavtelopenPort", result);
  for (start = Now(); (result = isvalidKavtelDevice(PORT)) != KAVTEL_OK; Pause()) {
    if (result != KAVTEL_DETECTING || Now() - start > DEADLINE_S) return Fail("identification", result);
  }
  result = kavtelsetSpeedAccel(PORT, 1.5, 7);
  if (result != KAVTEL_OK) return Fail("kavtelsetSpeedAccel", result);
  for (start = Now(); speed < 1.45; Pause()) {
    result = kavtelgetSpeed(PORT, &speed);
    if (result != KAVTEL_OK || Now() - start > DEADLINE_S) return Fail("speed read back", result);
  }
  if (kavtelKeyPressStop(PORT, 1) != KAVTEL_OK || kavtelKeyPressStop(PORT, 0) != KAVTEL_OK) {
    return Fail("stop key", 0);
  }
  for (start = Now(); state != KAVTEL_STATE_STOP; Pause()) {
    result = kavtelgetStatus(PORT, &state);
    if (result != KAVTEL_OK || Now() - start > DEADLINE_S) return Fail("stopped state", state);
  }
  result = kavtelclosePort(PORT);
  if (result != KAVTEL_OK) return Fail("kavtelclosePort", result);
  printf("HOST OK %s\n", KAVTEL_VERSION_STRING);
  return 0;
}
