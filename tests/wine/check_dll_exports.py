#!/usr/bin/env python3
"""Checks kavtel.dll's export and import tables (runs natively on the build host).

- The DLL is of the machine its build is for (objdump's file format,
  pei-i386 or pei-x86-64): a host of the other one cannot load it.
- The plain (unmangled) exports are exactly the names kavtel.def lists: every
  flat function under its plain name, none decorated (no "@n", no leading
  underscore), and the table DEFRNXPGAccelerationIndices.
- Every class the sources mark KAVTEL_API has its members exported.
- The DLL imports from system DLLs only, no MinGW runtime DLL.

usage: check_dll_exports.py <objdump> <kavtel.dll> <kavtel.def> <source dir> <file format>
"""
import pathlib
import re
import subprocess
import sys

import def_file

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll", "winspool.drv",
               "ntdll.dll", "ws2_32.dll", "shell32.dll", "ole32.dll", "api-ms-win-crt"}


def dll_tables(objdump, dll):
    text = subprocess.run([objdump, "-p", dll], check=True, capture_output=True, text=True).stdout
    exports = []
    table = text.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) == 2:
        for line in table[1].splitlines()[1:]:
            m = re.match(r"\s*\[\s*\d+\]\s+(\S+)", line)
            if not m:
                break
            exports.append(m.group(1))
    imports = [m.group(1).lower() for m in re.finditer(r"DLL Name:\s*(\S+)", text)]
    file_format = re.search(r"file format (\S+)", text)
    return exports, imports, file_format.group(1) if file_format else None


def main():
    if len(sys.argv) != 6:
        print(__doc__)
        return 2
    objdump, dll, def_path, source_dir, wanted_format = sys.argv[1:]
    exports, imports, file_format = dll_tables(objdump, dll)
    failures = []
    if file_format != wanted_format:
        failures.append("file format %s, expected %s" % (file_format, wanted_format))

    expected = [name for name, _ in def_file.exports(def_path)]
    plain = [name for name in exports if not name.startswith("_Z")]
    missing = sorted(set(expected) - set(plain))
    extra = sorted(set(plain) - set(expected))
    if missing:
        failures.append("not exported: " + ", ".join(missing))
    if extra:
        failures.append("exported but not in kavtel.def: " + ", ".join(extra))
    decorated = [name for name in plain if "@" in name or name.startswith("_")]
    if decorated:
        failures.append("decorated exports: " + ", ".join(decorated))

    classes = set()
    for header in pathlib.Path(source_dir).rglob("*.h"):
        classes.update(re.findall(r"class KAVTEL_API (\w+)", header.read_text()))
    if not classes:
        failures.append("no exported classes found under " + source_dir)
    for name in sorted(classes):
        # A member of the class itself (its vtable, or a function nested in it),
        # not merely a signature that mentions it.
        own = tuple(prefix % (len(name), name) for prefix in ("_ZN6kavtel%d%s", "_ZNK6kavtel%d%s",
                                                             "_ZTVN6kavtel%d%s"))
        if not any(symbol.startswith(own) for symbol in exports):
            failures.append("class %s: no member exported" % name)

    foreign = [name for name in imports
               if name not in SYSTEM_DLLS and not name.startswith("api-ms-win-")]
    if foreign:
        failures.append("depends on non-system DLLs: " + ", ".join(foreign))

    for failure in failures:
        print(failure)
    if failures:
        return 1
    print("kavtel.dll (%s): %d flat exports, %d classes, imports %s: ok"
          % (file_format, len(expected), len(classes), ", ".join(imports)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
