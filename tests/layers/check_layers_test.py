"""check_layers.py on a small tree of its own: an include up a layer, one
from the library into the tests and a shared double left in tests/unit/
are each named; includes down the layers, within one, of the public
headers and of a folder's own files are not."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))
import tree_check  # noqa: E402

CHECKER = os.path.join(HERE, "check_layers.py")

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

if __name__ == "__main__":
    sys.exit(tree_check.expect_report(CHECKER, FILES, EXPECTED))
