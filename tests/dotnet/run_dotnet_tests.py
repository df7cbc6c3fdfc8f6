#!/usr/bin/env python3
"""The .NET binding as a host deploys it: Kavtel.Net.dll compiled with Mono's
mcs (bindings/dotnet/build.sh) into OUT_DIR, the built library beside it as
libkavtel.so.1 (the name Kavtel.Net.dll.config maps "kavtel" to), then the
NUnit tests of bindings/dotnet/tests compiled and run by nunit-console against
kavtel-sim. The tests start their own kavtel-sim for each case, linked at the
device paths KAVTEL_COM3, KAVTEL_COM7 and KAVTEL_COM64 name here.

usage: run_dotnet_tests.py MCS NUNIT_CONSOLE NUNIT_FRAMEWORK SOURCE_DIR LIBRARY KAVTEL_SIM OUT_DIR VERSION
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

GENEROUS = 1200


def main():
    mcs, nunit_console, nunit_framework, source, library, sim, out, version = sys.argv[1:9]
    source, library, sim, out = (os.path.abspath(path) for path in (source, library, sim, out))
    binding = os.path.join(source, "bindings", "dotnet")
    if os.path.isdir(out):
        shutil.rmtree(out)  # nothing of an earlier run is tested by accident
    env = dict(os.environ, MCS=mcs)
    subprocess.run(["bash", os.path.join(binding, "build.sh"), out, version], check=True, env=env, timeout=GENEROUS)
    shutil.copy(library, os.path.join(out, "libkavtel.so.1"))
    tests = os.path.join(out, "Kavtel.Net.Tests.dll")
    subprocess.run([mcs, "-nologo", "-target:library", "-warnaserror+", "-out:" + tests,
                    "-r:" + os.path.join(out, "Kavtel.Net.dll"), "-r:" + nunit_framework]
                   + sorted(glob.glob(os.path.join(binding, "tests", "*.cs"))), check=True, timeout=GENEROUS)
    shutil.copy(nunit_framework, out)

    with tempfile.TemporaryDirectory(prefix="kavtel-dotnet-") as work:
        env = dict(os.environ, KAVTEL_SIM=sim,
                   KAVTEL_HEADER=os.path.join(source, "include", "kavtel", "kavtel.h"),
                   KAVTEL_DEF=os.path.join(source, "src", "api", "kavtel.def"),
                   KAVTEL_COM4=os.path.join(work, "no-such-device"))
        for port in (3, 7, 64):
            env["KAVTEL_COM%d" % port] = os.path.join(work, "com%d" % port)
        env.pop("LD_LIBRARY_PATH", None)  # the library is found beside the assembly
        result_file = os.path.join(out, "TestResult.xml")
        # -noshadow: a shadow copy would leave Kavtel.Net.dll.config and the
        # library behind.
        rc = subprocess.run([nunit_console, "-nologo", "-labels", "-noshadow", "-result=" + result_file, tests],
                            env=env, cwd=work, timeout=GENEROUS).returncode
    if rc != 0:
        return 1
    results = ElementTree.parse(result_file).getroot()
    ran = int(results.get("total", "0"))
    if ran == 0 or int(results.get("not-run", "0")) != 0:
        print("nunit-console ran %d tests, %s not run" % (ran, results.get("not-run")), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
