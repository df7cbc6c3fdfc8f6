#!/usr/bin/env python3
"""kavtel as a host project takes it: installed with `cmake --install` into a
prefix of its own, then used from there against the installed kavtel-sim on
a pseudo-terminal mapped to COM3 (KAVTEL_COM3).

usage: run_consumer_test.py BUILD_DIR PREFIX VERSION CASE
CASE:
  install    installs BUILD_DIR into a fresh PREFIX; checks the layout and
             the shared object's versioned SONAME
  cmake      the project in cmake_project/ (find_package(kavtel 1)) builds and
             drives the treadmill; asking for kavtel 2 fails to configure
  pkgconfig  host.c built with the flags of `pkg-config kavtel` drives it
  tools      the installed kavtelctl (its library from ../lib) runs a workout
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
GENEROUS = 300  # seconds; a correct step ends long before


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def run(args, **kwargs):
    kwargs.setdefault("timeout", GENEROUS)
    return subprocess.run(args, capture_output=True, text=True, **kwargs)


def must(args, what, **kwargs):
    result = run(args, **kwargs)
    if result.returncode != 0:
        fail("%s: exit %d\n%s\n%s" % (what, result.returncode, result.stdout, result.stderr))
    return result.stdout


def dynamic_section(path):
    return must(["readelf", "-d", path], "readelf " + path)


class Treadmill:
    """The installed kavtel-sim, its line linked at folder/com3."""

    def __init__(self, prefix, folder):
        self.link = os.path.join(folder, "com3")
        self.process = subprocess.Popen([os.path.join(prefix, "bin", "kavtel-sim"), "--link", self.link],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if not self.process.stdout.readline().strip():
            fail("the installed kavtel-sim did not start")

    def env(self):
        return dict(os.environ, KAVTEL_COM3=self.link)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.process.send_signal(signal.SIGTERM)
        _, self.report = self.process.communicate(timeout=GENEROUS)


def drive(prefix, program, folder):
    with Treadmill(prefix, folder) as treadmill:
        result = run([program], env=treadmill.env())
    if result.returncode != 0:
        fail("%s: exit %d\n%s%s" % (program, result.returncode, result.stdout, result.stderr))
    if " 0 violations" not in treadmill.report:
        fail("the treadmill saw protocol violations: " + treadmill.report)
    return result.stdout


def case_install(build, prefix, version):
    shutil.rmtree(prefix, ignore_errors=True)
    must(["cmake", "--install", build, "--prefix", prefix], "cmake --install")
    major = version.split(".")[0]
    expected = ["include/kavtel/kavtel.h", "include/kavtel/export.h", "include/kavtel/version.h",
                "lib/libkavtel.so", "lib/libkavtel.so." + major, "lib/libkavtel.so." + version,
                "lib/kavtel.def", "bin/kavtelctl", "bin/kavtel-sim",
                "lib/cmake/kavtel/kavtelConfig.cmake", "lib/cmake/kavtel/kavtelConfigVersion.cmake",
                "lib/cmake/kavtel/kavtelTargets.cmake", "lib/pkgconfig/kavtel.pc"]
    missing = [p for p in expected if not os.path.exists(os.path.join(prefix, p))]
    if missing:
        fail("not installed: %s" % missing)
    # The development link and the SONAME link both lead to the real file.
    real = os.path.realpath(os.path.join(prefix, "lib", "libkavtel.so." + version))
    for link in ("libkavtel.so", "libkavtel.so." + major):
        if os.path.realpath(os.path.join(prefix, "lib", link)) != real:
            fail("lib/%s does not lead to libkavtel.so.%s" % (link, version))
    soname = re.search(r"\(SONAME\)\s+Library soname: \[(.*)\]", dynamic_section(real))
    if not soname or soname.group(1) != "libkavtel.so." + major:
        fail("SONAME %s, expected libkavtel.so.%s" % (soname and soname.group(1), major))
    with open(os.path.join(prefix, "include/kavtel/version.h")) as f:
        header = f.read()
    if '#define KAVTEL_VERSION_STRING "%s"' % version not in header:
        fail("version.h does not say %s:\n%s" % (version, header))


def linked_soname(program, major):
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(libkavtel[^\]]*)\]", dynamic_section(program))
    if needed != ["libkavtel.so." + major]:
        fail("%s needs %s, expected libkavtel.so.%s" % (program, needed, major))


def case_cmake(prefix, version, folder):
    source = os.path.join(HERE, "cmake_project")
    build = os.path.join(folder, "build")
    must(["cmake", "-S", source, "-B", build, "-DCMAKE_PREFIX_PATH=" + prefix], "configure")
    must(["cmake", "--build", build], "build")
    program = os.path.join(build, "host")
    linked_soname(program, version.split(".")[0])
    out = drive(prefix, program, folder)
    if "HOST OK %s" % version not in out:
        fail("host said: " + out)
    # A major version the prefix does not have is refused by the version file.
    wrong = run(["cmake", "-S", source, "-B", os.path.join(folder, "wrong"), "-DCMAKE_PREFIX_PATH=" + prefix,
                 "-DKAVTEL_WANTED=%d" % (int(version.split(".")[0]) + 1)])
    if wrong.returncode == 0 or "version" not in wrong.stderr:
        fail("find_package of the next major version did not fail:\n" + wrong.stderr)


def case_pkgconfig(prefix, version, folder):
    env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, "lib", "pkgconfig"))
    modversion = must(["pkg-config", "--modversion", "kavtel"], "pkg-config --modversion", env=env).strip()
    if modversion != version:
        fail("pkg-config says version %s, expected %s" % (modversion, version))
    flags = must(["pkg-config", "--cflags", "--libs", "kavtel"], "pkg-config", env=env).split()
    libdir = must(["pkg-config", "--variable=libdir", "kavtel"], "pkg-config libdir", env=env).strip()
    if os.path.realpath(libdir) != os.path.realpath(os.path.join(prefix, "lib")):
        fail("pkg-config libdir %s is not the prefix's lib" % libdir)
    program = os.path.join(folder, "host")
    must(["cc", "-std=c11", "-o", program, os.path.join(HERE, "host.c")] + flags + ["-Wl,-rpath," + libdir],
         "cc with pkg-config's flags")
    linked_soname(program, version.split(".")[0])
    out = drive(prefix, program, folder)
    if "HOST OK %s" % version not in out:
        fail("host said: " + out)


WORKOUT = """speed 1.0
expect speed >= 0.95 within 60
key stop
expect state = stop within 60
"""


def case_tools(prefix, folder):
    script = os.path.join(folder, "workout.txt")
    with open(script, "w") as f:
        f.write(WORKOUT)
    kavtelctl = os.path.join(prefix, "bin", "kavtelctl")
    with Treadmill(prefix, folder) as treadmill:
        result = run([kavtelctl, "script", "--port", "3", script], env=treadmill.env())
    if result.returncode != 0:
        fail("installed kavtelctl: exit %d\n%s%s" % (result.returncode, result.stdout, result.stderr))
    if " 0 violations" not in treadmill.report:
        fail("the treadmill saw protocol violations: " + treadmill.report)


def main():
    if len(sys.argv) != 5:
        print(__doc__)
        return 2
    build, prefix, version, case = sys.argv[1:]
    if case == "install":
        case_install(build, prefix, version)
    else:
        with tempfile.TemporaryDirectory(prefix="kavtel-consumer-") as folder:
            if case == "cmake":
                case_cmake(prefix, version, folder)
            elif case == "pkgconfig":
                case_pkgconfig(prefix, version, folder)
            elif case == "tools":
                case_tools(prefix, folder)
            else:
                fail("unknown case " + case)
    print("PASS " + case)
    return 0


if __name__ == "__main__":
    sys.exit(main())
