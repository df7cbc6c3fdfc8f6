#!/usr/bin/env python3
"""A pulled cable under Wine: kavtel.dll in a Windows host against the native
kavtel-sim, whose --link makes COM<n> of the Wine prefix ($WINEPREFIX,
required) a symbolic link to its pseudo-terminal. Once the host says
IDENTIFIED the cable is pulled (kavtel-sim's SIGUSR1: the line closes and
the link goes); once the host says LOST it is plugged in again (a new
pseudo-terminal, the link re-pointed at it), and the host must find the
treadmill again (BACK) and close (CLOSED). The treadmill must count no
protocol violation. Every step is bounded by a time-out.

usage: run_link_test.py <host.exe> <kavtel.dll> <ioctl_shim.c> <kavtel-sim>
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import queue
import time

import wine_com

COM = 3
STEP_TIMEOUT = 120


def lines_of(stream):
    """A queue that receives the stream's lines, read on a thread."""
    lines = queue.Queue()

    def read():
        for line in stream:
            lines.put(line.decode("utf-8", "replace").strip())
        lines.put(None)

    threading.Thread(target=read, daemon=True).start()
    return lines


def wait_for(lines, word, seen):
    end = time.monotonic() + STEP_TIMEOUT
    while time.monotonic() < end:
        try:
            line = lines.get(timeout=0.5)
        except queue.Empty:
            continue
        if line is None:
            return False
        seen.append(line)
        if line == word:
            return True
        if line.startswith("FAIL"):
            return False
    return False


def main():
    if len(sys.argv) != 5:
        print(__doc__)
        return 2
    host, dll, shim_source, sim = sys.argv[1:5]
    wine_prefix = wine_com.prefix()
    if not wine_prefix:
        return 2
    with tempfile.TemporaryDirectory(prefix="kavtel-wine-link-") as work, \
            wine_com.unmapped(wine_prefix, COM):
        shim = wine_com.build_shim(shim_source, work)
        for path in (host, dll):
            shutil.copy(path, work)
        link = os.path.join(wine_prefix, "dosdevices", "com%d" % COM)
        treadmill = subprocess.Popen([sim, "--link", link, "--fail-safe", "0"], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        treadmill.stdout.readline()  # the device path: the link is made
        proc = wine_com.start(os.path.join(work, os.path.basename(host)), [COM], preload=shim)
        seen = []
        ok = False
        try:
            lines = lines_of(proc.stdout)
            steps = [("IDENTIFIED", True), ("LOST", True), ("BACK", False), ("CLOSED", False)]
            for word, then_signal in steps:
                if not wait_for(lines, word, seen):
                    print("no %s from the host; it said:\n%s" % (word, "\n".join(seen)))
                    return 1
                if then_signal:
                    treadmill.send_signal(signal.SIGUSR1)  # pulled, then plugged in again
            rc = proc.wait(timeout=STEP_TIMEOUT)
            if rc != 0:
                print("host exit code %d; it said:\n%s" % (rc, "\n".join(seen)))
                return 1
            ok = True
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            treadmill.send_signal(signal.SIGTERM)
            _, report = treadmill.communicate(timeout=STEP_TIMEOUT)
        report = report.decode("utf-8", "replace")
        if " 0 violations" not in report:
            print("the treadmill saw protocol violations: " + report)
            return 1
    print("PASS" if ok else "FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
