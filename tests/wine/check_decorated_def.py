#!/usr/bin/env python3
"""src/api/decorated_def.cmake, which writes the definition file of kavtel.lib
(the import library for Visual C++ hosts), on small definition files and
headers: each function gets the byte count of its stdcall arguments from its
prototype, data stays as it is, and a name without a prototype or an argument
of unknown size stops the build.

usage: check_decorated_def.py <cmake> <decorated_def.cmake>
"""
import os
import subprocess
import sys
import tempfile

HEADER = """
KAVTEL_API int KAVTEL_CALL kavtelopenPort(int index);
KAVTEL_API int KAVTEL_CALL kavtelgetVersion(int index, char* version);
KAVTEL_API int KAVTEL_CALL kavtelsetSpeedAccel(int index, double speed, int accel);
KAVTEL_API int KAVTEL_CALL kavtelclosePortEx(int index,
                                            int* stopConfirmed);
KAVTEL_API int KAVTEL_CALL buildDeviceArray(void);
KAVTEL_API int KAVTEL_CALL takesConstText(int index, const char* text, const double* values);
"""

# (kavtel.def's EXPORTS lines, header, expected EXPORTS lines or None for a failed build, the
# failure message's key words)
CASES = [
    ("every kind of argument",
     ["kavtelopenPort", "kavtelgetVersion", "kavtelsetSpeedAccel", "kavtelclosePortEx",
      "buildDeviceArray", "takesConstText", "DEFRNXPGAccelerationIndices DATA"],
     HEADER,
     ["kavtelopenPort@4", "kavtelgetVersion@8", "kavtelsetSpeedAccel@16", "kavtelclosePortEx@8",
      "buildDeviceArray@0", "takesConstText@12", "DEFRNXPGAccelerationIndices DATA"], None),
    ("a name the header does not declare", ["kavtelopenPort", "kavtelnotDeclared"], HEADER, None,
     "kavtelnotDeclared"),
    ("an argument of unknown size", ["takesStruct"],
     "KAVTEL_API int KAVTEL_CALL takesStruct(int index, struct Pair pair);\n", None, "struct Pair"),
]


def main():
    cmake, script = sys.argv[1:3]
    failures = []
    with tempfile.TemporaryDirectory(prefix="kavtel-decorated-") as folder:
        for name, exports, header, expected, message in CASES:
            def_path = os.path.join(folder, "kavtel.def")
            header_path = os.path.join(folder, "kavtel.h")
            out_path = os.path.join(folder, "out.def")
            if os.path.exists(out_path):
                os.remove(out_path)
            with open(def_path, "w") as f:
                f.write("; exports\nLIBRARY kavtel.dll\nEXPORTS\n" + "".join("  %s ; note\n" % e for e in exports))
            with open(header_path, "w") as f:
                f.write(header)
            run = subprocess.run([cmake, "-DDEF=" + def_path, "-DHEADER=" + header_path, "-DOUTPUT=" + out_path,
                                  "-P", script], capture_output=True, text=True, timeout=120)
            if expected is None:
                if run.returncode == 0 or message not in run.stderr:
                    failures.append("%s: expected a failure naming %r, got exit %d: %s"
                                    % (name, message, run.returncode, run.stderr))
                continue
            if run.returncode != 0:
                failures.append("%s: exit %d: %s" % (name, run.returncode, run.stderr))
                continue
            with open(out_path) as f:
                lines = [l.strip() for l in f if l.strip() and not l.startswith(";")]
            if lines != ["LIBRARY kavtel.dll", "EXPORTS"] + expected:
                failures.append("%s: wrote %s" % (name, lines))
    for failure in failures:
        print("FAIL: " + failure)
    if failures:
        return 1
    print("decorated definition file: %d cases ok" % len(CASES))
    return 0


if __name__ == "__main__":
    sys.exit(main())
