"""check_layers.py on a small tree of its own: an include up a layer, one
from the library into the tests and a shared double left in tests/unit/
are each named; includes down the layers, within one, of the public
headers and of a folder's own files are not."""
import os
import subprocess
import sys
import tempfile

CHECKER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check_layers.py")

FILES = {
    "src/services/a.cpp": '#include "services/b.h"\n#include "platform/p.h"\n#include "kavtel/kavtel.h"\n'
                          '#include "local.h"\n#include "device/d.h"\n',
    "src/device/d.cpp": '#include "serial/s.h"\n#include "support/quiet.h"\n',
    "src/api/x.cpp": '#include "device/d.h"\n',
    "tests/unit/u.cpp": '#include "unit/double.h"\n',
    "bench/b.cpp": '#include "support/quiet.h"\n#include "unit/double.h"\n',
}
EXPECTED = [
    "src/services/a.cpp:5: device/d.h (device is above services)",
    "src/device/d.cpp:2: support/quiet.h (the library includes no tool or test)",
    "bench/b.cpp:2: unit/double.h (shared test doubles belong in tests/support/)",
]


def main():
    with tempfile.TemporaryDirectory(prefix="kavtel-layers-") as root:
        for name, text in FILES.items():
            os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
            with open(os.path.join(root, name), "w") as f:
                f.write(text)
        run = subprocess.run([sys.executable, CHECKER, root], capture_output=True, text=True, timeout=60)
    reported = [line.replace(os.sep, "/") for line in run.stdout.splitlines()[:-1]]
    if run.returncode != 1 or sorted(reported) != sorted(EXPECTED):
        print("expected exit 1 and\n  %s\ngot exit %d and\n  %s" % (
            "\n  ".join(EXPECTED), run.returncode, "\n  ".join(reported)))
        return 1
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
