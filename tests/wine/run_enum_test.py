#!/usr/bin/env python3
"""Runs the Windows port-enumeration test program under Wine.

In the Wine prefix ($WINEPREFIX, required) COM3 and COM12 are pointed at
the slave of a fresh pseudo-terminal and COM4 is taken away for the length
of the run; the program then enumerates the ports through the spooler and
checks what it finds (see enum_wine_host.cpp). A fresh prefix's spooler
lists COM1: to COM4:, so COM3 and COM4 are both on its list and COM12 is
not. Exit code 0 when the program's tests pass.

usage: run_enum_test.py <host.exe>
"""
import subprocess
import sys

import wine_com

MAPPED, ABOVE_NINE, ABSENT = 3, 12, 4


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    wine_prefix = wine_com.prefix()
    if not wine_prefix:
        return 2
    with wine_com.mapped_pty(wine_prefix, [MAPPED, ABOVE_NINE]), \
            wine_com.unmapped(wine_prefix, ABSENT):
        proc = wine_com.start(sys.argv[1], [MAPPED, ABOVE_NINE, ABSENT])
        try:
            out, _ = proc.communicate(timeout=300)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, _ = proc.communicate()
            print(out.decode(errors="replace"))
            print("the enumeration program did not finish")
            return 1
    print(out.decode(errors="replace"))
    return 0 if proc.returncode == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
