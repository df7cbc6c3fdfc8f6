/* kavtel.h - the flat API of the kavtel library.
 *
 * A host loads kavtel.dll (libkavtel.so on Linux) and drives exercise
 * devices, each addressed by the number of the COM port it hangs on (index 3
 * is COM3). Every function returns a KAVTEL_RESULT code; readers write their
 * out-parameter only when they return KAVTEL_OK.
 *
 * Usable from C and C++. On Windows every function is __stdcall and exported
 * under its plain name (kavtelopenPort, not _kavtelopenPort@4), so a host may
 * link the import library or look the functions up with GetProcAddress.
 * kavtel.def lists the exports.
 *
 * Ports: on Windows index n opens \\.\COMn. On Linux it opens the device
 * named by the environment variable KAVTEL_COM<n> (for example
 * KAVTEL_COM3=/dev/ttyUSB0), read when the port opens, or else /dev/ttyS<n-1>.
 *
 * Threads: any host thread may call any function at any time; calls for
 * different devices are independent. Readers take no lock and return the
 * value the device object holds at that moment. Setters and keys only queue
 * a command and return; they wait only while another thread opens or closes
 * the same port. kavtelclosePort waits for the stop commands (see there).
 *
 * Loading and unloading: the library builds its table of device slots when
 * it loads and frees it when it unloads. Close every port (kavtelclosePort)
 * before FreeLibrary/dlclose. A port left open keeps the library in memory
 * (the unload then only drops the host's reference) and keeps talking to its
 * treadmill until the process ends; the library never waits for a thread
 * while it unloads.
 */
#ifndef KAVTEL_KAVTEL_H
#define KAVTEL_KAVTEL_H

#include "kavtel/export.h"
#include "kavtel/version.h" /* KAVTEL_VERSION_MAJOR/MINOR/PATCH, KAVTEL_VERSION_STRING */

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
#define KAVTEL_OK 1               /* success; a reader wrote its out-parameter */
#define KAVTEL_NOT_OPEN 0         /* the port is not open (or failed to open, or nothing to close) */
#define KAVTEL_NOT_AVAILABLE (-1) /* the value does not exist on this controller generation */
#define KAVTEL_DETECTING (-2)     /* the port is open, the controller is still being identified */
#define KAVTEL_ERROR (-3)         /* the operation failed inside the library, a command was
                                     refused by a full queue, or an out-pointer was null */
#define KAVTEL_BAD_INDEX (-4)     /* no such device: index outside the admitted range, or the
                                     slot was not opened under it */

/* Controller states, as kavtelgetStatus reports them. */
#define KAVTEL_STATE_STOP 0
#define KAVTEL_STATE_RUN 1
#define KAVTEL_STATE_PAUSE 2
#define KAVTEL_STATE_STOPPING 3
#define KAVTEL_STATE_DETECTING 4
#define KAVTEL_STATE_OFF 5

/* Indices: kavtelopenPort and kavtelclosePort take 1 to KAVTEL_MAX_PORT;
 * readers, setters and keys admit 1 to KAVTEL_MAX_DEVICE_INDEX only, until
 * the host calls kavtelsetAllPorts(1). A port above 6 that was opened
 * without it is polled, but every reader, setter and key on its index
 * returns KAVTEL_BAD_INDEX: the first hosts of this library relied on that
 * range, so it stays the default. */
#define KAVTEL_MAX_PORT 64
#define KAVTEL_MAX_DEVICE_INDEX 6

/* kavtelsetAllPorts(1): from now on readers, setters, keys and
 * isvalidKavtelDevice admit every index of the table, 1 to KAVTEL_MAX_PORT
 * (USB serial adapters often get COM7 and above). kavtelsetAllPorts(0) goes
 * back to 1 to KAVTEL_MAX_DEVICE_INDEX. The setting is the process's, for
 * every host module in it, and lasts until changed; it opens and closes no
 * port. Returns KAVTEL_OK. May be called from any thread at any time; a call
 * already under way on another thread admits by the setting it found. */
KAVTEL_API int KAVTEL_CALL kavtelsetAllPorts(int on);

/* Room kavtelgetVersion needs: at most 31 characters and a terminating zero. */
#define KAVTEL_VERSION_BUFFER_SIZE 32

/* Opening and closing.
 * kavtelopenPort closes the port first if it is open, then opens COM<index>
 * and starts identifying the controller: KAVTEL_OK when the port opened (the
 * device reports KAVTEL_DETECTING until identified), KAVTEL_NOT_OPEN when it
 * could not be opened, KAVTEL_BAD_INDEX for an index outside 1..64.
 *
 * kavtelclosePort: KAVTEL_OK when it closed the port, KAVTEL_NOT_OPEN when
 * the port was not open, KAVTEL_BAD_INDEX for an index outside 1..64.
 * Before the line closes the belt is stopped, whatever state the library
 * remembers: once the controller has been identified since the open, its
 * stop group goes out (generation 1: the stop key; the others: acceleration
 * 3, speed 0, the stop key pressed and released) unless a status answer said
 * "stop" after the last command that could move the belt. Stop commands
 * still waiting are part of it. Each frame is repeated as usual (up to 5
 * times); one that gets no answer is skipped and the rest still go out.
 * Bound: the close waits at most (1 + 6 x 4) answer time-outs, 25 s with the
 * default 1 s time-out (a quarter more when the system's timers run late,
 * so that the last stop frame still goes out), and only when the controller
 * stays silent; it ends
 * at once when the line is gone (see kavtelgetLinkState). Commands still queued at
 * close are dropped, never sent at a later open.
 *
 * kavtelclosePortEx closes exactly as kavtelclosePort does and returns the
 * same codes. On KAVTEL_OK it writes to *stopConfirmed (unless it is null)
 * 1 when no stop was needed or the controller answered the stop group's
 * speed and stop-key frames, else 0: the belt may still be moving. */
KAVTEL_API int KAVTEL_CALL kavtelopenPort(int index);
KAVTEL_API int KAVTEL_CALL kavtelclosePort(int index);
KAVTEL_API int KAVTEL_CALL kavtelclosePortEx(int index, int* stopConfirmed);

/* The admission check every reader, setter and key makes first: KAVTEL_OK
 * when the device is open and identified, else the code the function
 * returns (KAVTEL_BAD_INDEX, KAVTEL_NOT_OPEN or KAVTEL_DETECTING). */
KAVTEL_API int KAVTEL_CALL isvalidKavtelDevice(int index);

/* The state of the line: KAVTEL_LINK_LOST when the port is gone (a pulled
 * cable, a removed adapter; readers then return KAVTEL_DETECTING and the
 * library reopens COM<index> about once a second, identifying the controller
 * afresh when it opens), KAVTEL_LINK_IDENTIFYING while the line is open and
 * the controller not yet identified, KAVTEL_LINK_OK once it is. Admitted like
 * the readers, except that it also answers while the device is detecting.
 * kavtelclosePort during a loss returns at once (kavtelclosePortEx: the stop
 * is not confirmed). */
#define KAVTEL_LINK_LOST 0
#define KAVTEL_LINK_IDENTIFYING 1
#define KAVTEL_LINK_OK 2
KAVTEL_API int KAVTEL_CALL kavtelgetLinkState(int index, int* state);

/* Readers. A null out-pointer gives KAVTEL_ERROR. Values are those the
 * controller last reported, in its units where no unit is given. */
/* version: a buffer of at least KAVTEL_VERSION_BUFFER_SIZE bytes; receives the
 * controller's version text (at most 31 characters), zero-terminated. */
KAVTEL_API int KAVTEL_CALL kavtelgetVersion(int index, char* version);
/* state: one of KAVTEL_STATE_STOP, _RUN, _PAUSE or _STOPPING (an identified
 * controller); while it is being identified the function returns
 * KAVTEL_DETECTING instead, and KAVTEL_NOT_OPEN once the port is closed. */
KAVTEL_API int KAVTEL_CALL kavtelgetStatus(int index, int* state);
KAVTEL_API int KAVTEL_CALL kavtelgetDuration(int index, int* seconds);   /* seconds of training */
KAVTEL_API int KAVTEL_CALL kavtelgetSpeed(int index, double* speed);     /* belt speed, m/s */
KAVTEL_API int KAVTEL_CALL kavtelgetAcceleration(int index, int* accel); /* ramp index 1..7 */
/* elevation in the controller's display unit (percent, or degrees) */
KAVTEL_API int KAVTEL_CALL kavtelgetElevation(int index, double* elevation);
KAVTEL_API int KAVTEL_CALL kavtelgetHeartrate(int index, int* heartrate); /* beats per minute, 0..65535 */
/* distance as the controller counts it (in its display unit, metres by default) */
KAVTEL_API int KAVTEL_CALL kavtelgetDistance(int index, int* distance);
/* the fail-safe value: the controller's own unit, passed through */
KAVTEL_API int KAVTEL_CALL kavtelgetFailSafe(int index, int* failsafe);
/* The next four return KAVTEL_NOT_AVAILABLE on generation 1 controllers and
 * on generation 2 controllers before minor version 3. */
KAVTEL_API int KAVTEL_CALL kavtelgetError(int index, int* error);   /* the controller's error number */
KAVTEL_API int KAVTEL_CALL kavtelgetWeight(int index, int* weight); /* the user's weight, kg */
/* energy in the controller's unit, 0 to 4294967.295 (held at the ends) */
KAVTEL_API int KAVTEL_CALL kavtelgetEnergy(int index, double* energy);
/* power in watts, 0 to 65535 (held at the ends) */
KAVTEL_API int KAVTEL_CALL kavtelgetPower(int index, double* power);
/* on: 1 while the traffic log is being written to a file, else 0 (also
 * after the log switched itself off because a write failed, a full disk). */
KAVTEL_API int KAVTEL_CALL kavtelgetProtocol(int index, int* on);

/* Setters: they queue a command for the treadmill and return at once.
 * KAVTEL_ERROR, with nothing queued, when a command could not be queued
 * (the queue is full) or the value is one the controller cannot take:
 *   speed: m/s, 0 to 99.99, and not above the maximum speed the controller
 *          reported (if it reported one); not a number, negative or larger
 *          values are refused. A speed of 0 stops the belt and, like every
 *          stop, is never lost: it goes out ahead of other commands.
 *   elevation: the controller's elevation unit, -99.9 to 99.9.
 *   acceleration: ramp index (the controller takes 1 to 7); the low 8 bits
 *          are sent.
 *   fail-safe: an integer in the controller's own unit, passed through. */
KAVTEL_API int KAVTEL_CALL kavtelsetFailSafe(int index, int value);
KAVTEL_API int KAVTEL_CALL kavtelsetSpeed(int index, double speed);
KAVTEL_API int KAVTEL_CALL kavtelsetAcceleration(int index, int accel);
KAVTEL_API int KAVTEL_CALL kavtelsetElevation(int index, double elevation);
/* The acceleration first, then the speed. */
KAVTEL_API int KAVTEL_CALL kavtelsetSpeedAccel(int index, double speed, int accel);

/* Keys: pressed > 0 presses the key, anything else releases it. The command
 * goes out at once; KAVTEL_ERROR when it could not be queued. The stop key
 * is never refused and never lost: it goes out ahead of every other command
 * (commands queued before it are dropped), and if the line fails it goes
 * out again as soon as the controller is identified anew. */
KAVTEL_API int KAVTEL_CALL kavtelKeyPressStart(int index, int pressed);
KAVTEL_API int KAVTEL_CALL kavtelKeyPressStop(int index, int pressed);
KAVTEL_API int KAVTEL_CALL kavtelKeyPressPlus(int index, int pressed);
KAVTEL_API int KAVTEL_CALL kavtelKeyPressMinus(int index, int pressed);
KAVTEL_API int KAVTEL_CALL kavtelKeyPressUp(int index, int pressed);
KAVTEL_API int KAVTEL_CALL kavtelKeyPressDown(int index, int pressed);

/* The traffic log: on > 0 starts a log file in a "Protocol" folder beside
 * the host executable (when that folder is read-only: the per-user state
 * folder, $XDG_STATE_HOME or ~/.local/state, %LOCALAPPDATA% on Windows,
 * joined with the host's name); anything else switches it off.
 * KAVTEL_ERROR, with the log off, when no log file can be written. A file
 * grows to 16 MiB and then continues in a new one; the 8 newest files of a
 * port are kept. The lines carry the user's heart rate and weight: on
 * POSIX the files are created 0600 and the folders the log creates 0700,
 * and an existing folder every account may write to (o+w) is refused with
 * KAVTEL_ERROR; on Windows they inherit the folder's access list.
 * docs/protocol-log.md describes the file. */
KAVTEL_API int KAVTEL_CALL kavtelsetProtocol(int index, int on);

/* The device table. Loading the library builds it and unloading frees it;
 * a host has no need to call these. Building fills every empty slot and
 * returns KAVTEL_OK. Freeing frees every slot whose port is closed and
 * returns KAVTEL_OK, or KAVTEL_NOT_OPEN when slots of open ports stayed
 * (freeing those would wait for their threads). Neither may run while
 * another thread calls the functions above. */
KAVTEL_API int KAVTEL_CALL mfc_initkavtelDLL(void);
KAVTEL_API int KAVTEL_CALL mfc_releasekavtelDLL(void);
KAVTEL_API int KAVTEL_CALL buildDeviceArray(void);
KAVTEL_API int KAVTEL_CALL destroyDeviceArray(void);

#ifdef __cplusplus
}
#endif

#endif /* KAVTEL_KAVTEL_H */
