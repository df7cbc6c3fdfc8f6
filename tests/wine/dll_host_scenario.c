#include "dll_host_scenario.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

/* Generous: Wine and the machines are slow at times. */
#define DEADLINE_MS 30000u

void HostSay(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  printf("\n");
  fflush(stdout);
}

static int Fail(const char* what, int got) {
  HostSay("FAIL %s (got %d)", what, got);
  return 1;
}

int HostWaitIdentified(const KavtelApi* api, int com) {
  DWORD start = GetTickCount();
  for (;;) {
    int result = api->isvalid(com);
    if (result == KAVTEL_OK) return 0;
    if (result != KAVTEL_DETECTING) return Fail("isvalidKavtelDevice while identifying", result);
    if (GetTickCount() - start > DEADLINE_MS) return Fail("identification within the deadline", result);
    Sleep(10);
  }
}

/* Polls a double reader until the value exceeds `above`. */
static int WaitAbove(kavtel_double_out_fn read, int com, double above, const char* what) {
  DWORD start = GetTickCount();
  double value = -1;
  for (;;) {
    int result = read(com, &value);
    if (result != KAVTEL_OK) return Fail(what, result);
    if (value > above) return 0;
    if (GetTickCount() - start > DEADLINE_MS) {
      HostSay("FAIL %s: %.2f, not above %.2f", what, value, above);
      return 1;
    }
    Sleep(20);
  }
}

int HostRunScenario(const KavtelApi* api, int com, int missingCom) {
  char version[KAVTEL_VERSION_BUFFER_SIZE];
  int state = -1;
  int distance = 0;
  int stopConfirmed;
  double speed = -1;
  int result;
  DWORD start;

  result = api->openPort(missingCom);
  if (result != KAVTEL_NOT_OPEN) return Fail("kavtelopenPort of a missing port", result);

  result = api->openPort(com);
  if (result != KAVTEL_OK) return Fail("kavtelopenPort", result);
  /* The driver holds the treadmill's line back: the device cannot identify. */
  start = GetTickCount();
  while (GetTickCount() - start < 1500u) {
    result = api->isvalid(com);
    if (result != KAVTEL_DETECTING) return Fail("isvalidKavtelDevice before the treadmill answers", result);
    result = api->getSpeed(com, &speed);
    if (result != KAVTEL_DETECTING || speed != -1) {
      return Fail("kavtelgetSpeed before the treadmill answers", result);
    }
    Sleep(10);
  }
  HostSay("DETECTING");
  if (HostWaitIdentified(api, com) != 0) return 1;
  HostSay("IDENTIFIED");

  result = api->getVersion(com, version);
  if (result != KAVTEL_OK) return Fail("kavtelgetVersion", result);
  HostSay("version %s", version);
  result = api->setProtocol(com, 1);
  if (result != KAVTEL_OK) return Fail("kavtelsetProtocol", result);

  result = api->setSpeedAccel(com, 2.5, 7);
  if (result != KAVTEL_OK) return Fail("kavtelsetSpeedAccel", result);
  if (WaitAbove(api->getSpeed, com, 2.4, "measured speed") != 0) return 1;
  result = api->getStatus(com, &state);
  if (result != KAVTEL_OK || state != KAVTEL_STATE_RUN) return Fail("kavtelgetStatus running", state);

  result = api->setElevation(com, 2.0);
  if (result != KAVTEL_OK) return Fail("kavtelsetElevation", result);
  if (WaitAbove(api->getElevation, com, 1.9, "measured elevation") != 0) return 1;
  if (api->keyPressUp(com, 1) != KAVTEL_OK || api->keyPressUp(com, 0) != KAVTEL_OK) {
    return Fail("kavtelKeyPressUp", 0);
  }
  if (WaitAbove(api->getElevation, com, 2.4, "elevation after the up key") != 0) return 1;

  start = GetTickCount();
  for (;;) {
    result = api->getDistance(com, &distance);
    if (result != KAVTEL_OK) return Fail("kavtelgetDistance", result);
    if (distance > 0) break;
    if (GetTickCount() - start > DEADLINE_MS) return Fail("distance", distance);
    Sleep(20);
  }
  api->getSpeed(com, &speed);
  HostSay("speed %.2f distance %d", speed, distance);

  /* The belt runs: the close sends the stop group, which the treadmill
   * answers, so the stop is confirmed. */
  HostSay("CLOSING");
  stopConfirmed = -1;
  result = api->closePortEx(com, &stopConfirmed);
  if (result != KAVTEL_OK) return Fail("kavtelclosePortEx", result);
  if (stopConfirmed != 1) return Fail("kavtelclosePortEx confirming the stop", stopConfirmed);
  HostSay("STOP CONFIRMED");
  result = api->getSpeed(com, &speed);
  if (result != KAVTEL_NOT_OPEN) return Fail("kavtelgetSpeed after close", result);
  HostSay("CLOSED");
  return 0;
}
