#!/usr/bin/env python3
"""Checks that a host can link every name of kavtel.def from both import
libraries of a Windows build (runs natively, with llvm-nm): libkavtel.dll.a
for MinGW hosts and kavtel.lib for Visual C++ hosts must each define the
import symbol (__imp_<symbol>) a host's compiler references for it.

- x86-64: the symbol is the plain name (__imp_kavtelopenPort); nothing of
  kavtel.def may be there decorated.
- i686: a function's symbol is its stdcall decoration with the leading
  underscore (__imp__kavtelopenPort@4), data the name with the underscore
  (__imp__DEFRNXPGAccelerationIndices); the decorations come from the
  build's definition file of kavtel.lib, which is derived from kavtel.h.

usage: check_import_libraries.py <llvm-nm> <x86|x64> <kavtel.def or the decorated .def>
                                 <import library> ...
"""
import re
import subprocess
import sys

import def_file


def import_symbols(nm, library):
    text = subprocess.run([nm, library], check=True, capture_output=True, text=True,
                          timeout=120).stdout
    return {m.group(1) for m in re.finditer(r"\s__imp_(\S+)$", text, re.MULTILINE)}


def main():
    if len(sys.argv) < 5:
        print(__doc__)
        return 2
    nm, machine, def_path, libraries = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
    if machine not in ("x86", "x64"):
        print("machine must be x86 or x64, not %r" % machine)
        return 2
    names = def_file.exports(def_path)
    if not names:
        print("FAIL: %s lists no exports" % def_path)
        return 1
    failures = []
    for name, _ in names:
        if machine == "x64" and "@" in name:
            failures.append("%s: %s is decorated, but x86-64 decorates nothing" % (def_path, name))
        if machine == "x86" and not _ and not re.search(r"@\d+$", name):
            failures.append("%s: function %s has no stdcall decoration" % (def_path, name))
    # The symbol a compiler references for each name.
    wanted = [name if machine == "x64" else "_" + name for name, _ in names]
    for library in libraries:
        symbols = import_symbols(nm, library)
        missing = [s for s in wanted if s not in symbols]
        if missing:
            failures.append("%s lacks __imp_ of: %s" % (library, ", ".join(missing)))
        if machine == "x64":
            plain = {name for name, _ in names}
            decorated = sorted(s for s in symbols if s.split("@", 1)[0].lstrip("_") in plain and s not in plain)
            if decorated:
                failures.append("%s has decorated symbols: %s" % (library, ", ".join(decorated)))
    for failure in failures:
        print("FAIL: " + failure)
    if failures:
        return 1
    print("%s import libraries: %d names each, as a host references them: ok" % (machine, len(names)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
