#!/usr/bin/env python3
"""bindings/dotnet/pack.sh makes the NuGet package from the two Windows DLLs,
and the package holds what a .NET host needs: exactly the expected entries,
a nuspec with the id Kavtel.Net and the project's version, the managed
assembly of that version, and each native DLL unchanged under the runtime of
its own machine type (a swapped pair would load in neither process).

Where the other Windows build's DLL is missing the check is reported as not
run, with the reason.

usage: check_nuget_package.py PACK_SH WIN32_DLL WIN64_DLL OUT_DIR VERSION CSHARP
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree
import zipfile

ENTRIES = [
    "Kavtel.Net.nuspec",
    "[Content_Types].xml",
    "_rels/.rels",
    "lib/net45/Kavtel.Net.dll",
    "lib/net45/Kavtel.Net.xml",
    "runtimes/win-x86/native/kavtel.dll",
    "runtimes/win-x64/native/kavtel.dll",
]
MACHINES = {"runtimes/win-x86/native/kavtel.dll": 0x014C, "runtimes/win-x64/native/kavtel.dll": 0x8664}
NUSPEC = "{http://schemas.microsoft.com/packaging/2013/05/nuspec.xsd}"


def pe_machine(data):
    """The COFF machine of a PE image."""
    assert data[:2] == b"MZ", "not a PE image"
    offset = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[offset:offset + 4] == b"PE\0\0", "not a PE image"
    return struct.unpack_from("<H", data, offset + 4)[0]


def main():
    pack, win32, win64, out, version, csharp = sys.argv[1:7]
    for dll, preset in ((win32, "win32"), (win64, "win64")):
        if not os.path.isfile(dll):
            print("not run: %s is missing; build it with `cmake --preset %s && cmake --build --preset %s "
                  "--target kavtel` (scripts/test.sh builds win32 before win64)" % (dll, preset, preset))
            return 0
    failures = []

    def check(condition, what):
        if not condition:
            failures.append(what)

    if os.path.isdir(out):
        shutil.rmtree(out)
    made = subprocess.run(["bash", pack, "--win32", win32, "--win64", win64, "--out", out],
                          check=True, stdout=subprocess.PIPE, text=True, timeout=600).stdout.strip().splitlines()[-1]
    package = os.path.join(out, "Kavtel.Net.%s.nupkg" % version)
    if os.path.abspath(made) != os.path.abspath(package):
        print("FAIL: pack.sh made %s, not %s (the project's version is %s)" % (made, package, version),
              file=sys.stderr)
        return 1

    with zipfile.ZipFile(package) as z:
        names = z.namelist()
        check(sorted(names) == sorted(ENTRIES) and len(names) == len(set(names)),
              "entries %s, expected %s" % (names, ENTRIES))
        check(z.testzip() is None, "a damaged entry")
        nuspec = ElementTree.fromstring(z.read("Kavtel.Net.nuspec"))
        metadata = nuspec.find(NUSPEC + "metadata")
        check(metadata is not None, "the nuspec has no metadata")
        if metadata is not None:
            check(metadata.findtext(NUSPEC + "id") == "Kavtel.Net", "nuspec id %r" % metadata.findtext(NUSPEC + "id"))
            check(metadata.findtext(NUSPEC + "version") == version,
                  "nuspec version %r, the project's is %s" % (metadata.findtext(NUSPEC + "version"), version))
        types = ElementTree.fromstring(z.read("[Content_Types].xml"))
        extensions = {d.get("Extension") for d in types}
        for name in names:
            extension = name.rsplit(".", 1)[-1]
            check(extension in extensions, "no content type for %s" % name)
        rels = ElementTree.fromstring(z.read("_rels/.rels"))
        check([r.get("Target") for r in rels] == ["/Kavtel.Net.nuspec"], "_rels/.rels does not name the nuspec")
        for entry, source in (("runtimes/win-x86/native/kavtel.dll", win32), ("runtimes/win-x64/native/kavtel.dll", win64)):
            data = z.read(entry)
            with open(source, "rb") as f:
                check(data == f.read(), "%s is not %s" % (entry, source))
            machine = pe_machine(data)
            check(machine == MACHINES[entry], "%s is built for machine 0x%04x" % (entry, machine))
        with tempfile.TemporaryDirectory(prefix="kavtel-nupkg-") as work:
            assembly = z.extract("lib/net45/Kavtel.Net.dll", work)
            name = subprocess.run([csharp, "-e", 'print(System.Reflection.AssemblyName.GetAssemblyName("%s"))'
                                   % assembly], check=True, stdout=subprocess.PIPE, text=True,
                                  timeout=600).stdout.strip()
        check(name.startswith("Kavtel.Net, Version=%s.0," % version),
              "the managed assembly is %r, expected Kavtel.Net of version %s" % (name, version))

    for failure in failures:
        print("FAIL: " + failure, file=sys.stderr)
    if not failures:
        print("%s: %d entries, version %s" % (package, len(ENTRIES), version))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
