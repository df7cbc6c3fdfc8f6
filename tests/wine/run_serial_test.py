#!/usr/bin/env python3
"""Runs the Windows serial host program under Wine against a pseudo-terminal.

COM<n> of the Wine prefix ($WINEPREFIX, required) is pointed at the slave of
a fresh pseudo-terminal; this script plays the other side on the master:
it waits for the host's announcement, sends every byte value, expects them
back and confirms them with "BYE", after which the host closes its port.
The ioctl shim (built here from its source) is preloaded so that
Wine's serial driver can wait for events on a pseudo-terminal. Every step
is bounded by a time-out.

usage: run_serial_test.py <host.exe> <ioctl_shim.c> [com number]
"""
import os
import subprocess
import sys
import tempfile
import time

import wine_com


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    host, shim_source = sys.argv[1], sys.argv[2]
    com = int(sys.argv[3]) if len(sys.argv) > 3 else 33
    wine_prefix = wine_com.prefix()
    if not wine_prefix:
        return 2

    with tempfile.TemporaryDirectory(prefix="kavtel-wine-serial-") as work, \
            wine_com.mapped_pty(wine_prefix, [com]) as (master, _):
        shim = wine_com.build_shim(shim_source, work)
        proc = wine_com.start(host, [com], preload=shim)
        ok = False
        try:
            hello = wine_com.read_until(master, lambda d: b"READY\n" in d, 120)
            if b"READY\n" not in hello:
                print("no announcement from the host; got %r" % hello)
                return 1
            payload = bytes(range(256))
            os.write(master, payload)
            echo = wine_com.read_until(master, lambda d: len(d) >= len(payload), 60)
            if echo != payload:
                print("echo differs: %d bytes, %r" % (len(echo), echo[:64]))
                return 1
            os.write(master, b"BYE")
            rc = proc.wait(timeout=60)
            if rc != 0:
                print("host exited with %d" % rc)
                return 1
            ok = True
        except subprocess.TimeoutExpired:
            print("the host did not finish")
            return 1
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            out = proc.stdout.read().decode(errors="replace") if proc.stdout else ""
            if out and (not ok or os.environ.get("KAVTEL_VERBOSE")):
                print(out)
        print("serial exchange under Wine: ok")
        return 0


if __name__ == "__main__":
    sys.exit(main())
