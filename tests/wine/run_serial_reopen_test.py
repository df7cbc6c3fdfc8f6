#!/usr/bin/env python3
"""Runs the Windows reopen host under Wine against a pseudo-terminal that
never stops talking.

COM<n> of the Wine prefix ($WINEPREFIX, required) is pointed at the slave of
a fresh pseudo-terminal. While the host opens and closes the port round after
round, this script keeps writing short bursts into the master (dropping what
the full terminal will not take between rounds) and reads whatever the host
sends. The host checks every round itself; here its exit code, its last line
and its finishing in time are checked. The ioctl shim is preloaded so
that Wine's serial driver can wait for events on a pseudo-terminal.

usage: run_serial_reopen_test.py <host.exe> <ioctl_shim.c> [rounds] [com number]
"""
import os
import select
import subprocess
import sys
import tempfile
import threading

import wine_com

HOST_TIMEOUT = 480


class Talker(threading.Thread):
    """Writes a burst into the master every few milliseconds and drains it."""

    def __init__(self, master):
        super().__init__(daemon=True)
        self.master = master
        self.stopping = threading.Event()
        self.sent = 0

    def run(self):
        burst = b"0123456789abcdef"
        while not self.stopping.is_set():
            # The pause between bursts is the host's chance to be waiting on
            # an event when it closes; reading the host's lines fills it.
            ready, _, _ = select.select([self.master], [], [], 0.003)
            if ready:
                try:
                    os.read(self.master, 4096)
                except OSError:
                    return
            try:
                self.sent += os.write(self.master, burst)
            except BlockingIOError:
                pass
            except OSError:
                return


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    host, shim_source = sys.argv[1], sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 100
    com = int(sys.argv[4]) if len(sys.argv) > 4 else 34
    wine_prefix = wine_com.prefix()
    if not wine_prefix:
        return 2

    with tempfile.TemporaryDirectory(prefix="kavtel-wine-reopen-") as work, \
            wine_com.mapped_pty(wine_prefix, [com]) as (master, _):
        os.set_blocking(master, False)
        shim = wine_com.build_shim(shim_source, work)
        talker = Talker(master)
        talker.start()
        proc = wine_com.start(host, [com, rounds], preload=shim)
        try:
            out, _ = proc.communicate(timeout=HOST_TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, _ = proc.communicate()
            print(out.decode(errors="replace"))
            print("the host did not finish within %d s (hang?)" % HOST_TIMEOUT)
            return 1
        finally:
            talker.stopping.set()
            talker.join(timeout=10)
        text = out.decode(errors="replace")
        if proc.returncode != 0 or ("REOPEN DONE %d" % rounds) not in text:
            print(text)
            print("host exited with %d" % proc.returncode)
            return 1
        if os.environ.get("KAVTEL_VERBOSE"):
            print(text)
        else:
            print("".join(line + "\n" for line in text.splitlines() if "handle" in line), end="")
        print("%d open/receive/close rounds under Wine, %d bytes offered: ok"
              % (rounds, talker.sent))
        return 0


if __name__ == "__main__":
    sys.exit(main())
