/* A Windows host built as Visual C++ builds one (clang for the
 * i686-pc-windows-msvc or x86_64-pc-windows-msvc target, lld-link) and
 * linked against kavtel.lib, the import library for Visual C++ hosts of that
 * machine. It needs no C runtime: its own entry point, and imports from
 * kernel32 and kavtel only.
 *
 * Every flat function of kavtel.h is referenced, so each name the compiler
 * derives from its prototype (decorated on x86, _kavtelopenPort@4; plain on
 * x86-64) must be in kavtel.lib, or the link fails; the run under Wine then
 * shows they import the DLL's plain names. Against the virtual treadmill (the driver holds its
 * line back until "DETECTING"): a missing port does not open; COM<com>
 * opens, identifies, logs; speed, acceleration, elevation and the up key
 * reach the treadmill and come back measured; the port closes with the belt
 * running. usage: msvc_host.exe <com> <missing com>; exit code 0 when all held. */
#include "kavtel/kavtel.h"

typedef unsigned long DWORD;
__declspec(dllimport) void* __stdcall GetStdHandle(DWORD which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, DWORD size, DWORD* written,
                                              void* overlapped);
__declspec(dllimport) void __stdcall Sleep(DWORD ms);
__declspec(dllimport) DWORD __stdcall GetTickCount(void);
__declspec(dllimport) void __stdcall ExitProcess(unsigned code);
__declspec(dllimport) char* __stdcall GetCommandLineA(void);

/* The table kavtel.def exports as DATA, through its import. */
__declspec(dllimport) extern const int DEFRNXPGAccelerationIndices[8];

/* The compiler references this symbol when floating point is used; the C
 * runtime would define it. */
int _fltused = 0;

#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define DEADLINE_MS 30000u

/* One output line, built piece by piece. */
static char line[256];
static int used;

static void Text(const char* text) {
  while (*text != '\0' && used < (int)sizeof line - 2) line[used++] = *text++;
}

static void Number(int value) {
  char digits[12];
  int n = 0;
  if (value < 0) {
    Text("-");
    value = -value;
  }
  do {
    digits[n++] = (char)('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0 && used < (int)sizeof line - 2) line[used++] = digits[--n];
}

static void Hundredths(double value) {
  int scaled = (int)(value * 100.0 + (value < 0 ? -0.5 : 0.5));
  Number(scaled / 100);
  Text(".");
  if (scaled % 100 < 10) Text("0");
  Number(scaled % 100);
}

static void Say(void) {
  DWORD written;
  line[used++] = '\n';
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, (DWORD)used, &written, 0);
  used = 0;
}

static int Fail(const char* what, int got) {
  Text("FAIL ");
  Text(what);
  Text(" (got ");
  Number(got);
  Text(")");
  Say();
  return 1;
}

/* The numbers after the program's name on the command line. */
static int Arguments(int* values, int count) {
  const char* p = GetCommandLineA();
  int found = 0;
  if (*p == '"') {
    for (++p; *p != '\0' && *p != '"'; ++p) {}
    if (*p == '"') ++p;
  } else {
    while (*p != '\0' && *p != ' ') ++p;
  }
  while (found < count) {
    while (*p == ' ') ++p;
    if (*p < '0' || *p > '9') break;
    values[found] = 0;
    while (*p >= '0' && *p <= '9') values[found] = values[found] * 10 + (*p++ - '0');
    ++found;
  }
  return found;
}

typedef int(KAVTEL_CALL* DoubleReader)(int, double*);

static int WaitAbove(DoubleReader read, int com, double above, const char* what) {
  DWORD start = GetTickCount();
  double value = -1;
  for (;;) {
    int result = read(com, &value);
    if (result != KAVTEL_OK) return Fail(what, result);
    if (value > above) return 0;
    if (GetTickCount() - start > DEADLINE_MS) return Fail(what, (int)(value * 100));
    Sleep(20);
  }
}

/* Every flat function: a name missing from kavtel.lib (on x86, also one
 * decorated with another argument size) fails the link. */
static void* volatile every_function[] = {
    (void*)kavtelopenPort,       (void*)kavtelclosePort,      (void*)kavtelclosePortEx,
    (void*)isvalidKavtelDevice,
    (void*)kavtelgetVersion,     (void*)kavtelgetStatus,      (void*)kavtelgetDuration,
    (void*)kavtelgetSpeed,       (void*)kavtelgetAcceleration, (void*)kavtelgetElevation,
    (void*)kavtelgetHeartrate,   (void*)kavtelgetDistance,    (void*)kavtelgetError,
    (void*)kavtelgetFailSafe,    (void*)kavtelgetWeight,      (void*)kavtelgetEnergy,
    (void*)kavtelgetPower,       (void*)kavtelgetProtocol,    (void*)kavtelsetFailSafe,
    (void*)kavtelsetSpeed,       (void*)kavtelsetAcceleration, (void*)kavtelsetElevation,
    (void*)kavtelsetSpeedAccel,  (void*)kavtelKeyPressStart,  (void*)kavtelKeyPressStop,
    (void*)kavtelKeyPressPlus,   (void*)kavtelKeyPressMinus,  (void*)kavtelKeyPressUp,
    (void*)kavtelKeyPressDown,   (void*)kavtelsetProtocol,    (void*)mfc_initkavtelDLL,
    (void*)mfc_releasekavtelDLL, (void*)buildDeviceArray,     (void*)destroyDeviceArray,
};

static int Run(int com, int missing) {
  char version[KAVTEL_VERSION_BUFFER_SIZE];
  int result, state = -1, distance = 0, i, stopConfirmed = -1;
  double speed = -1;
  DWORD start;

  for (i = 0; i < (int)(sizeof every_function / sizeof every_function[0]); ++i) {
    if (every_function[i] == 0) return Fail("an imported function's address", i);
  }
  if (DEFRNXPGAccelerationIndices[1] != 131 || DEFRNXPGAccelerationIndices[7] != 3) {
    return Fail("the imported table DEFRNXPGAccelerationIndices", DEFRNXPGAccelerationIndices[1]);
  }

  result = kavtelopenPort(missing);
  if (result != KAVTEL_NOT_OPEN) return Fail("kavtelopenPort of a missing port", result);
  result = kavtelopenPort(com);
  if (result != KAVTEL_OK) return Fail("kavtelopenPort", result);
  result = isvalidKavtelDevice(com);
  if (result != KAVTEL_DETECTING) return Fail("isvalidKavtelDevice before the treadmill answers", result);
  Text("DETECTING");
  Say();
  for (start = GetTickCount(); (result = isvalidKavtelDevice(com)) != KAVTEL_OK; Sleep(10)) {
    if (result != KAVTEL_DETECTING || GetTickCount() - start > DEADLINE_MS) return Fail("identification", result);
  }
  Text("IDENTIFIED");
  Say();

  result = kavtelgetVersion(com, version);
  if (result != KAVTEL_OK) return Fail("kavtelgetVersion", result);
  Text("version ");
  Text(version);
  Say();
  result = kavtelsetProtocol(com, 1);
  if (result != KAVTEL_OK) return Fail("kavtelsetProtocol", result);

  result = kavtelsetSpeedAccel(com, 2.5, 7);
  if (result != KAVTEL_OK) return Fail("kavtelsetSpeedAccel", result);
  if (WaitAbove(kavtelgetSpeed, com, 2.4, "measured speed") != 0) return 1;
  /* The state is polled apart from the speed: it may come back a moment later. */
  for (start = GetTickCount(); state != KAVTEL_STATE_RUN; Sleep(20)) {
    result = kavtelgetStatus(com, &state);
    if (result != KAVTEL_OK || GetTickCount() - start > DEADLINE_MS) return Fail("kavtelgetStatus running", state);
  }

  result = kavtelsetElevation(com, 2.0);
  if (result != KAVTEL_OK) return Fail("kavtelsetElevation", result);
  if (WaitAbove(kavtelgetElevation, com, 1.9, "measured elevation") != 0) return 1;
  if (kavtelKeyPressUp(com, 1) != KAVTEL_OK || kavtelKeyPressUp(com, 0) != KAVTEL_OK) {
    return Fail("kavtelKeyPressUp", 0);
  }
  if (WaitAbove(kavtelgetElevation, com, 2.4, "elevation after the up key") != 0) return 1;

  for (start = GetTickCount(); distance <= 0; Sleep(20)) {
    result = kavtelgetDistance(com, &distance);
    if (result != KAVTEL_OK || GetTickCount() - start > DEADLINE_MS) return Fail("kavtelgetDistance", result);
  }
  kavtelgetSpeed(com, &speed);
  Text("speed ");
  Hundredths(speed);
  Text(" distance ");
  Number(distance);
  Say();

  Text("CLOSING");
  Say();
  /* The belt runs: the treadmill answers the stop group, the stop is confirmed. */
  result = kavtelclosePortEx(com, &stopConfirmed);
  if (result != KAVTEL_OK) return Fail("kavtelclosePortEx", result);
  if (stopConfirmed != 1) return Fail("kavtelclosePortEx confirming the stop", stopConfirmed);
  Text("STOP CONFIRMED");
  Say();
  result = kavtelgetSpeed(com, &speed);
  if (result != KAVTEL_NOT_OPEN) return Fail("kavtelgetSpeed after close", result);
  Text("CLOSED");
  Say();
  return 0;
}

void HostEntry(void) {
  int args[2];
  if (Arguments(args, 2) != 2) {
    Text("usage: msvc_host.exe <com> <missing com>");
    Say();
    ExitProcess(2);
  }
  ExitProcess(Run(args[0], args[1]) == 0 ? 0u : 1u);
}
