#!/usr/bin/env python3
"""The release bundles of one version, as a user downloads them, unpacked
and held to their layout:

  kavtel-<version>-win32.zip, kavtel-<version>-win64.zip
      exactly the paths of windows_layout() under one folder named like the zip; the
      DLL, kavtelctl.exe and both import libraries of the zip's machine;
      the two import libraries different files
  kavtel-<version>-linux-<processor>.tar.gz
      exactly the paths of linux_layout() under one folder; the shared object of
      that processor with the SONAME libkavtel.so.<major>, reached through
      both links; the programs executable; then the host projects of
      tests/consumer (CMake package, pkg-config, the bundled kavtelctl)
      built against the unpacked folder and run against its kavtel-sim
  kavtel_<version>-1_<dpkg architecture>.deb
      its control fields (name, version, architecture, maintainer, the
      dependencies dpkg-shlibdeps found, the shlibs entry), every file
      owned by root, and the same files, links and bytes under /usr as the
      tar.gz has under its folder

In every bundle version.h gives the version, and the headers, kavtel.def,
the README, the license and docs/ are the checkout's own.

usage: check_bundles.py BUNDLE_DIR VERSION
"""
import glob
import os
import re
import stat
import struct
import subprocess
import sys
import tarfile
import tempfile
import zipfile

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CONSUMER = os.path.join(SOURCE, "tests", "consumer", "run_consumer_test.py")

PE_MACHINES = {"win32": 0x14C, "win64": 0x8664}          # IMAGE_FILE_MACHINE_I386, _AMD64
ELF_MACHINES = {"x86_64": 62, "aarch64": 183, "i686": 3}  # EM_X86_64, EM_AARCH64, EM_386

# What each file of a bundle is checked for:
#   "pe"      a PE image of the zip's machine
#   "implib"  an import library whose every object is of the zip's machine
#   "elf-so"  the shared object: the tar.gz's processor, SONAME libkavtel.so.<major>
#   "exe"     an executable ELF file of the tar.gz's processor
#   "version" version.h, which gives the bundle's version
#   "source:PATH"  the same bytes as PATH in the checkout
#   "link:TARGET"  a symbolic link to TARGET
#   None      present, nothing more
HEADERS = [("include/kavtel/kavtel.h", "source:include/kavtel/kavtel.h"),
           ("include/kavtel/export.h", "source:include/kavtel/export.h"),
           ("include/kavtel/version.h", "version")]
PACKAGE = [("lib/kavtel.def", "source:src/api/kavtel.def"),
           ("lib/cmake/kavtel/kavtelConfig.cmake", None),
           ("lib/cmake/kavtel/kavtelConfigVersion.cmake", None),
           ("lib/cmake/kavtel/kavtelTargets.cmake", None),
           ("lib/cmake/kavtel/kavtelTargets-release.cmake", None),
           ("lib/pkgconfig/kavtel.pc", None)]


def documents(folder):
    """The README, the license and every document of docs/ (the payload
    schema of the bridge's topics among them), in folder."""
    docs = sorted(os.path.relpath(p, SOURCE) for pattern in ("*.md", "*.json")
                  for p in glob.glob(os.path.join(SOURCE, "docs", pattern)))
    return [(os.path.normpath(os.path.join(folder, p)), "source:" + p) for p in ["README.md", "LICENSE"] + docs]


def windows_layout():
    return [("bin/kavtel.dll", "pe"), ("bin/kavtelctl.exe", "pe"),
            ("lib/libkavtel.dll.a", "implib"), ("lib/kavtel.lib", "implib")] + HEADERS + PACKAGE + documents(".")


def linux_layout(version):
    major = version.split(".")[0]
    return [("lib/libkavtel.so." + version, "elf-so"),
            ("lib/libkavtel.so." + major, "link:libkavtel.so." + version),
            ("lib/libkavtel.so", "link:libkavtel.so." + major),
            ("bin/kavtelctl", "exe"), ("bin/kavtel-sim", "exe"), ("bin/kavtel-bridge", "exe"),
            ("share/kavtel/bridge/kavtel-bridge.service", "source:tools/bridge/deploy/kavtel-bridge.service"),
            ("share/kavtel/bridge/mosquitto-site.conf", "source:tools/bridge/deploy/mosquitto-site.conf"),
            ("share/kavtel/bridge/mosquitto-site.acl", "source:tools/bridge/deploy/mosquitto-site.acl"),
            ("share/kavtel/panel/index.html", "source:tools/bridge/panel/index.html"),
            ("share/kavtel/panel/panel.css", "source:tools/bridge/panel/panel.css"),
            ("share/kavtel/panel/panel.js", "source:tools/bridge/panel/panel.js"),
            ("share/kavtel/panel/mqtt.min.js", "source:tools/bridge/panel/node_modules/mqtt/dist/mqtt.min.js"),
            ("share/doc/kavtel/copyright", "source:LICENSE")] + HEADERS + PACKAGE + documents("share/doc/kavtel")


class Bundle:
    """One bundle's findings: a failure is noted, and the checks go on."""

    def __init__(self, name):
        self.name = name
        self.faults = []

    def fault(self, message):
        self.faults.append(message)

    def report(self):
        for message in self.faults:
            print("FAIL %s: %s" % (self.name, message))
        if not self.faults:
            print("ok   %s" % self.name)
        return not self.faults


def read_source(path):
    with open(os.path.join(SOURCE, path), "rb") as f:
        return f.read()


def pe_machine(data):
    if data[:2] != b"MZ":
        return None
    offset = struct.unpack_from("<I", data, 0x3C)[0]
    if data[offset:offset + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", data, offset + 4)[0]


def import_library_machines(data):
    """The machine of every object in an ar archive of COFF objects: short
    import objects (the Visual C++ kind) and full ones (MinGW's dlltool)."""
    if data[:8] != b"!<arch>\n":
        return None
    machines, at = set(), 8
    while at + 60 <= len(data):
        name = data[at:at + 16].decode("ascii", "replace").strip()
        size = int(data[at + 48:at + 58].decode("ascii").strip())
        body = data[at + 60:at + 60 + size]
        at += 60 + size + (size & 1)
        if name in ("/", "//") or name.startswith("/<"):
            continue  # the archive's symbol and name tables
        sig1, sig2 = struct.unpack_from("<HH", body, 0)
        machines.add(struct.unpack_from("<H", body, 6)[0] if (sig1, sig2) == (0, 0xFFFF) else sig1)
    return machines


def check_file(bundle, path, kind, data, version, machine):
    """kind from the layout tables; data the file's bytes."""
    if kind is None:
        return
    if kind.startswith("source:"):
        if data != read_source(kind[len("source:"):]):
            bundle.fault("%s is not the checkout's %s" % (path, kind[len("source:"):]))
    elif kind == "version":
        if ('#define KAVTEL_VERSION_STRING "%s"' % version).encode() not in data:
            bundle.fault("%s does not give version %s" % (path, version))
    elif kind == "pe":
        found = pe_machine(data)
        if found != machine:
            bundle.fault("%s: PE machine %s, expected %#x" % (path, found and hex(found), machine))
    elif kind == "implib":
        found = import_library_machines(data)
        if found != {machine}:
            bundle.fault("%s: objects of machines %s, expected only %#x"
                         % (path, found and sorted(hex(m) for m in found), machine))
    elif kind in ("elf-so", "exe"):
        if data[:4] != b"\x7fELF":
            bundle.fault("%s is not an ELF file" % path)
        elif struct.unpack_from("<H", data, 18)[0] != machine:
            bundle.fault("%s: ELF machine %d, expected %d" % (path, struct.unpack_from("<H", data, 18)[0], machine))
    else:
        raise ValueError("no check of kind " + kind)


def compare_layout(bundle, found, layout):
    expected = {path for path, _ in layout}
    missing = sorted(expected - found)
    extra = sorted(found - expected)
    if missing:
        bundle.fault("missing %s" % missing)
    if extra:
        bundle.fault("not expected %s" % extra)


def check_zip(path, system, version):
    bundle = Bundle(os.path.basename(path))
    top = "kavtel-%s-%s/" % (version, system)
    machine = PE_MACHINES[system]
    layout = windows_layout()
    with zipfile.ZipFile(path) as archive:
        names = [n for n in archive.namelist() if not n.endswith("/")]
        outside = [n for n in names if not n.startswith(top)]
        if outside:
            bundle.fault("entries outside %s: %s" % (top, outside))
        found = {n[len(top):] for n in names if n.startswith(top)}
        compare_layout(bundle, found, layout)
        for member, kind in layout:
            if member in found:
                check_file(bundle, member, kind, archive.read(top + member), version, machine)
        if {"lib/libkavtel.dll.a", "lib/kavtel.lib"} <= found and \
                archive.read(top + "lib/libkavtel.dll.a") == archive.read(top + "lib/kavtel.lib"):
            bundle.fault("kavtel.lib is the MinGW import library")
    return bundle.report()


def tree_paths(root):
    """Every file and link under root, relative to it."""
    paths = set()
    for folder, _, files in os.walk(root):
        for name in files:
            paths.add(os.path.relpath(os.path.join(folder, name), root))
    return paths


def soname(path):
    out = subprocess.run(["readelf", "-d", path], capture_output=True, text=True, check=True).stdout
    match = re.search(r"\(SONAME\)\s+Library soname: \[(.*)\]", out)
    return match and match.group(1)


def check_unpacked_linux(bundle, root, version, machine):
    layout = linux_layout(version)
    compare_layout(bundle, tree_paths(root), layout)
    for member, kind in layout:
        full = os.path.join(root, member)
        if not os.path.lexists(full):
            continue
        if kind and kind.startswith("link:"):
            if not os.path.islink(full) or os.readlink(full) != kind[len("link:"):]:
                bundle.fault("%s is not a link to %s" % (member, kind[len("link:"):]))
        else:
            if kind == "exe" and (os.path.islink(full) or not os.stat(full).st_mode & stat.S_IXUSR):
                bundle.fault("%s is not an executable file" % member)
            with open(full, "rb") as f:
                check_file(bundle, member, kind, f.read(), version, machine)
    library = os.path.join(root, "lib", "libkavtel.so." + version)
    if os.path.isfile(library):
        found = soname(library)
        if found != "libkavtel.so." + version.split(".")[0]:
            bundle.fault("SONAME %s, expected libkavtel.so.%s" % (found, version.split(".")[0]))


def check_tar(path, processor, version, unpack_to):
    bundle = Bundle(os.path.basename(path))
    top = "kavtel-%s-linux-%s" % (version, processor)
    with tarfile.open(path) as archive:
        outside = [m.name for m in archive.getmembers() if m.name.split("/")[0] != top]
    if outside:
        bundle.fault("entries outside %s/: %s" % (top, outside))
    else:
        subprocess.run(["tar", "-xzf", path, "-C", unpack_to], check=True)
        check_unpacked_linux(bundle, os.path.join(unpack_to, top), version, ELF_MACHINES[processor])
    return bundle, os.path.join(unpack_to, top)


def same_tree(bundle, deb_root, tar_root):
    """The package's files under /usr are the tar.gz's, link for link and byte for byte."""
    deb_paths, tar_paths = tree_paths(deb_root), tree_paths(tar_root)
    if deb_paths != tar_paths:
        bundle.fault("files differ from the tar.gz's: only in the package %s, only in the tar.gz %s"
                     % (sorted(deb_paths - tar_paths), sorted(tar_paths - deb_paths)))
    for member in sorted(deb_paths & tar_paths):
        a, b = os.path.join(deb_root, member), os.path.join(tar_root, member)
        if os.path.islink(a) or os.path.islink(b):
            same = os.path.islink(a) and os.path.islink(b) and os.readlink(a) == os.readlink(b)
        else:
            with open(a, "rb") as fa, open(b, "rb") as fb:
                same = fa.read() == fb.read() and stat.S_IMODE(os.stat(a).st_mode) == stat.S_IMODE(os.stat(b).st_mode)
        if not same:
            bundle.fault("%s differs from the tar.gz's" % member)


def check_deb(path, version, tar_root, unpack_to):
    bundle = Bundle(os.path.basename(path))
    arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True,
                          check=True).stdout.strip()
    fields = {}
    for field in ("Package", "Version", "Architecture", "Maintainer", "Depends", "Section"):
        fields[field] = subprocess.run(["dpkg-deb", "-f", path, field], capture_output=True, text=True,
                                       check=True).stdout.strip()
    expected = {"Package": "kavtel", "Version": version + "-1", "Architecture": arch}
    for field, value in expected.items():
        if fields[field] != value:
            bundle.fault("%s is %r, expected %r" % (field, fields[field], value))
    if not fields["Maintainer"]:
        bundle.fault("no Maintainer")
    # dpkg-shlibdeps found what the library and the programs link.
    depends = {d.split()[0] for d in fields["Depends"].split(",") if d.strip()}
    if not {"libc6", "libstdc++6"} <= depends:
        bundle.fault("Depends %r lacks libc6 or libstdc++6" % fields["Depends"])
    with tempfile.TemporaryDirectory(prefix="kavtel-deb-control-") as control:
        subprocess.run(["dpkg-deb", "-e", path, control], check=True)
        shlibs = open(os.path.join(control, "shlibs")).read().split() if \
            os.path.exists(os.path.join(control, "shlibs")) else []
    major = version.split(".")[0]
    if shlibs[:3] != ["libkavtel", major, "kavtel"]:
        bundle.fault("shlibs says %r, expected libkavtel %s kavtel ..." % (" ".join(shlibs), major))
    contents = subprocess.run(["dpkg-deb", "--contents", path], capture_output=True, text=True,
                              check=True).stdout.splitlines()
    entries = [(line.split()[1], line.split()[5]) for line in contents]
    not_root = [name for owner, name in entries if owner != "root/root"]
    if not_root:
        bundle.fault("not owned by root: %s" % not_root)
    outside = [name for _, name in entries if name != "./" and not (name + "/").startswith("./usr/")]
    if outside:
        bundle.fault("outside /usr: %s" % outside)
    subprocess.run(["dpkg-deb", "-x", path, unpack_to], check=True)
    same_tree(bundle, os.path.join(unpack_to, "usr"), tar_root)
    return bundle.report()


def consumer(bundle, prefix, version):
    """tests/consumer's host projects against the unpacked bundle."""
    for case in ("cmake", "pkgconfig", "tools"):
        run = subprocess.run([sys.executable, CONSUMER, "-", prefix, version, case], capture_output=True,
                             text=True, timeout=1800)
        if run.returncode != 0 or "PASS " + case not in run.stdout:
            bundle.fault("consumer %s: exit %d\n%s%s" % (case, run.returncode, run.stdout, run.stderr))
        else:
            print("     %s: consumer %s passed" % (bundle.name, case))


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    folder, version = sys.argv[1:]
    processor = os.uname().machine
    arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True,
                          check=True).stdout.strip()
    bundles = {"win32": "kavtel-%s-win32.zip" % version, "win64": "kavtel-%s-win64.zip" % version,
               "tar": "kavtel-%s-linux-%s.tar.gz" % (version, processor),
               "deb": "kavtel_%s-1_%s.deb" % (version, arch)}
    present = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
    if sorted(bundles.values()) != present:
        print("FAIL %s holds %s, expected %s" % (folder, present, sorted(bundles.values())))
        return 1
    results = []
    for system in ("win32", "win64"):
        results.append(check_zip(os.path.join(folder, bundles[system]), system, version))
    with tempfile.TemporaryDirectory(prefix="kavtel-bundles-") as scratch:
        os.makedirs(os.path.join(scratch, "tar"))
        os.makedirs(os.path.join(scratch, "deb"))
        tar, tar_root = check_tar(os.path.join(folder, bundles["tar"]), processor, version,
                                  os.path.join(scratch, "tar"))
        if not tar.faults:
            consumer(tar, tar_root, version)
        results.append(tar.report())
        results.append(check_deb(os.path.join(folder, bundles["deb"]), version, tar_root,
                                 os.path.join(scratch, "deb")))
    print("bundles: %d of %d as expected" % (results.count(True), len(results)))
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
