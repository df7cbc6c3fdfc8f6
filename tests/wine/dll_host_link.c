/* A Windows host of kavtel.dll (linked against its import library) that
 * lives through a pulled cable: it says IDENTIFIED once the controller
 * answers, LOST once the library reports the line lost (and the readers
 * report detecting), BACK once the controller is identified again behind
 * the same COM port, and CLOSED at the end. The driver pulls and plugs in
 * the cable between these lines. usage: dll_host_link.exe <com>; exit code
 * 0 when everything held. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "kavtel/kavtel.h"

#define DEADLINE_MS 120000

static int Fail(const char* what, int got) {
  printf("FAIL %s (got %d)\n", what, got);
  fflush(stdout);
  return 1;
}

static void Say(const char* text) {
  printf("%s\n", text);
  fflush(stdout);
}

/* Polls the line state until it is `wanted`. */
static int WaitLink(int com, int wanted, const char* what) {
  DWORD start = GetTickCount();
  for (;;) {
    int link = -1;
    int result = kavtelgetLinkState(com, &link);
    if (result != KAVTEL_OK) return Fail("kavtelgetLinkState", result);
    if (link == wanted) return 0;
    if (GetTickCount() - start > DEADLINE_MS) return Fail(what, link);
    Sleep(10);
  }
}

static int WaitIdentified(int com) {
  DWORD start = GetTickCount();
  for (;;) {
    int result = isvalidKavtelDevice(com);
    if (result == KAVTEL_OK) return 0;
    if (result != KAVTEL_DETECTING) return Fail("isvalidKavtelDevice", result);
    if (GetTickCount() - start > DEADLINE_MS) return Fail("identified within the deadline", result);
    Sleep(10);
  }
}

int main(int argc, char** argv) {
  int com;
  int result;
  double speed = -1;
  if (argc < 2) return 2;
  com = atoi(argv[1]);
  result = kavtelopenPort(com);
  if (result != KAVTEL_OK) return Fail("kavtelopenPort", result);
  if (WaitIdentified(com) != 0 || WaitLink(com, KAVTEL_LINK_OK, "line ok") != 0) return 1;
  Say("IDENTIFIED");

  if (WaitLink(com, KAVTEL_LINK_LOST, "line lost after the cable was pulled") != 0) return 1;
  result = kavtelgetSpeed(com, &speed);
  if (result != KAVTEL_DETECTING) return Fail("kavtelgetSpeed while the line is lost", result);
  Say("LOST");

  if (WaitLink(com, KAVTEL_LINK_OK, "line ok after the cable came back") != 0) return 1;
  if (WaitIdentified(com) != 0) return 1;
  result = kavtelgetSpeed(com, &speed);
  if (result != KAVTEL_OK) return Fail("kavtelgetSpeed after the return", result);
  Say("BACK");

  result = kavtelclosePort(com);
  if (result != KAVTEL_OK) return Fail("kavtelclosePort", result);
  Say("CLOSED");
  return 0;
}
