#!/usr/bin/env python3
"""`cmake --install` of the Windows build into a fresh prefix: kavtel.dll and
kavtelctl.exe in bin; the MinGW import library libkavtel.dll.a, the Visual
C++ import library kavtel.lib and kavtel.def in lib; the headers, the CMake
package and kavtel.pc.

usage: check_install.py <build dir>
"""
import os
import subprocess
import sys
import tempfile

EXPECTED = ["bin/kavtel.dll", "bin/kavtelctl.exe", "lib/libkavtel.dll.a", "lib/kavtel.lib", "lib/kavtel.def",
            "include/kavtel/kavtel.h", "include/kavtel/export.h", "include/kavtel/version.h",
            "lib/cmake/kavtel/kavtelConfig.cmake", "lib/cmake/kavtel/kavtelConfigVersion.cmake",
            "lib/pkgconfig/kavtel.pc"]


def main():
    build = sys.argv[1]
    with tempfile.TemporaryDirectory(prefix="kavtel-windows-install-") as prefix:
        run = subprocess.run(["cmake", "--install", build, "--prefix", prefix], capture_output=True, text=True,
                             timeout=300)
        if run.returncode != 0:
            print("FAIL: cmake --install: %s%s" % (run.stdout, run.stderr))
            return 1
        missing = [p for p in EXPECTED if not os.path.isfile(os.path.join(prefix, p))]
        # The two import libraries are different files: one for each compiler.
        same = not missing and open(os.path.join(prefix, "lib/libkavtel.dll.a"), "rb").read() == \
            open(os.path.join(prefix, "lib/kavtel.lib"), "rb").read()
    if missing:
        print("FAIL: not installed: %s" % missing)
        return 1
    if same:
        print("FAIL: kavtel.lib is the MinGW import library")
        return 1
    print("Windows install of %s: ok" % build)
    return 0


if __name__ == "__main__":
    sys.exit(main())
