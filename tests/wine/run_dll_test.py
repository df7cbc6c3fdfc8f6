#!/usr/bin/env python3
"""Runs a Windows host program of kavtel.dll under Wine against the virtual
treadmill, which runs natively.

The host and kavtel.dll are copied into a fresh folder (the host's log goes
to a "Protocol" folder beside it). COM<n> of the Wine prefix ($WINEPREFIX,
required) is a pseudo-terminal whose other side this script relays to the
native kavtel-sim. The relay stays shut until the host reports "DETECTING",
so the host sees the device unidentified for as long as it likes; what the
host sent until then is dropped. Then the script checks:
- the host's exit code is 0 (it checks its own results: codes, values);
- the treadmill saw speed, acceleration, elevation and the up key, and the
  stop group when the host closed the port with the belt running;
- the treadmill counted no protocol violation;
- the host's log file exists under Protocol and holds sent frames.
Every step is bounded by a time-out.

kavtel-sim comes from the native build (the win32 build cannot build it):
scripts/test.sh builds the debug preset before win32, and the win32
configuration passes its kavtel-sim (cache variable KAVTEL_NATIVE_SIM).

usage: run_dll_test.py <host.exe> <kavtel.dll> <ioctl_shim.c> <kavtel-sim> [expect-line ...]
"""
import contextlib
import glob
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import tty

import wine_com

COM = 3
MISSING_COM = 49
HOST_TIMEOUT = 300


class Relay(threading.Thread):
    """Copies bytes between the host's pseudo-terminal and the treadmill's
    line once opened; before that, nothing the host sends is read."""

    def __init__(self, host_fd, sim_fd):
        super().__init__(daemon=True)
        self.host_fd, self.sim_fd = host_fd, sim_fd
        self.opened = threading.Event()
        self.stopping = threading.Event()

    def drain_host(self):
        while select.select([self.host_fd], [], [], 0)[0]:
            if not os.read(self.host_fd, 4096):
                break

    def run(self):
        self.opened.wait()
        self.drain_host()
        while not self.stopping.is_set():
            ready, _, _ = select.select([self.host_fd, self.sim_fd], [], [], 0.2)
            for fd in ready:
                try:
                    data = os.read(fd, 4096)
                except OSError:
                    return
                os.write(self.sim_fd if fd == self.host_fd else self.host_fd, data)


def host_frames(trace):
    """Code and payload of every frame the host sent, in order."""
    return re.findall(r"host > sim\s+<SOH>(.*?)\d\d<ETB>", trace)


def contains_run(items, run):
    return any(items[i:i + len(run)] == run for i in range(len(items) - len(run) + 1))


def main():
    if len(sys.argv) < 5:
        print(__doc__)
        return 2
    host, dll, shim_source, sim_program = sys.argv[1:5]
    expected_lines = sys.argv[5:]
    prefix = wine_com.prefix()
    if not prefix:
        return 2
    if not os.access(sim_program, os.X_OK):
        print("kavtel-sim not found at %s: build the native debug preset first "
              "(scripts/test.sh does), or configure win32 with -DKAVTEL_NATIVE_SIM=<path>"
              % sim_program)
        return 1

    failures = []
    with tempfile.TemporaryDirectory(prefix="kavtel-wine-dll-") as work:
        shim = wine_com.build_shim(shim_source, work)
        host_copy = os.path.join(work, os.path.basename(host))
        shutil.copy(host, host_copy)
        shutil.copy(dll, os.path.join(work, "kavtel.dll"))

        sim = subprocess.Popen([sim_program, "--trace", "--version-text", "224"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        sim_path = sim.stdout.readline().strip()
        trace_lines = []
        trace_reader = threading.Thread(target=lambda: trace_lines.extend(sim.stdout), daemon=True)
        trace_reader.start()
        sim_fd = os.open(sim_path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(sim_fd)

        links = contextlib.ExitStack()
        master, _ = links.enter_context(wine_com.mapped_pty(prefix, [COM]))
        links.enter_context(wine_com.unmapped(prefix, MISSING_COM))
        relay = Relay(master, sim_fd)
        relay.start()

        proc = subprocess.Popen(wine_com.command(host_copy, [COM, MISSING_COM]), cwd=work,
                                env=wine_com.env(shim), stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, errors="replace")
        host_lines = []

        def read_host():
            for line in proc.stdout:
                host_lines.append(line.rstrip("\n"))
                if line.startswith("DETECTING"):
                    relay.opened.set()

        host_reader = threading.Thread(target=read_host, daemon=True)
        host_reader.start()
        try:
            rc = proc.wait(timeout=HOST_TIMEOUT)
            if rc != 0:
                failures.append("host exited with %d" % rc)
        except subprocess.TimeoutExpired:
            failures.append("the host did not finish within %d s (hang?)" % HOST_TIMEOUT)
            proc.kill()
            proc.wait()
        host_reader.join(timeout=10)
        relay.opened.set()
        relay.stopping.set()
        relay.join(timeout=10)

        # The trace reader alone reads the simulator's stdout: it ends with the
        # simulator, and only then is its summary on stderr read.
        sim.send_signal(signal.SIGTERM)
        try:
            sim.wait(timeout=30)
        except subprocess.TimeoutExpired:
            sim.kill()
            sim.wait()
        trace_reader.join(timeout=10)
        summary = sim.stderr.read()
        links.close()
        os.close(sim_fd)

        for line in expected_lines:
            if line not in host_lines:
                failures.append("the host never said %r" % line)
        frames = host_frames("".join(trace_lines))
        for wanted in ("A007", "S022.50", "E032.0", "U10UP", "U10UR"):
            if wanted not in frames:
                failures.append("the treadmill never got %s" % wanted)
        if not contains_run(frames, ["A003", "S020.00", "U10SP", "U10SR"]):
            failures.append("no stop group (A003 S020.00 U10SP U10SR) at close")
        violations = re.search(r"(\d+) violations", summary or "")
        if not violations or violations.group(1) != "0":
            failures.append("treadmill summary: %s" % (summary or "").strip())
        logs = glob.glob(os.path.join(work, "Protocol", "**", "*"), recursive=True)
        logs = [p for p in logs if os.path.isfile(p)]
        if not logs:
            failures.append("no log file under Protocol beside the host")
        elif not any("TD: " in open(p, errors="replace").read() for p in logs):
            failures.append("the log files hold no sent frame: %s" % logs)

        if failures or os.environ.get("KAVTEL_VERBOSE"):
            print("host said:\n  " + "\n  ".join(host_lines))
            print("treadmill: %s" % (summary or "").strip())
            print("frames from the host: %s" % " ".join(frames[-40:]))
    for failure in failures:
        print("FAIL: " + failure)
    if failures:
        return 1
    print("%s under Wine against kavtel-sim: ok" % os.path.basename(host))
    return 0


if __name__ == "__main__":
    sys.exit(main())
