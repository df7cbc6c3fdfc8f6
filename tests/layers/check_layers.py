"""Checks that includes only look down the library's layers:

    platform < services < serial < device < api

A file of src/<layer>/ includes headers of its own layer or of a lower one,
and the public headers (kavtel/...); nothing of src/ includes the tools or
the tests. Test doubles that several suites share live in tests/support/:
nothing outside tests/unit/ includes a header of tests/unit/.

    python3 check_layers.py ROOT

Prints every include that runs the wrong way with its file and line, and
exits 1 if there is any."""
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import tree_check  # noqa: E402

LAYERS = ["platform", "services", "serial", "device", "api"]
SOURCE_ENDINGS = (".h", ".hpp", ".c", ".cc", ".cpp")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def sources(folder):
    for where, folders, files in os.walk(folder):
        folders.sort()
        for name in sorted(files):
            if name.endswith(SOURCE_ENDINGS):
                yield os.path.join(where, name)


def includes(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            match = INCLUDE.match(line)
            if match:
                yield number, match.group(1)


def wrong_way(root):
    found = []
    src = os.path.join(root, "src")
    for path in sources(src):
        layer = os.path.relpath(path, src).split(os.sep)[0]
        if layer not in LAYERS:
            continue
        for number, target in includes(path):
            first = target.split("/")[0]
            where = "%s:%d: %s" % (os.path.relpath(path, root), number, target)
            if first in LAYERS and LAYERS.index(first) > LAYERS.index(layer):
                found.append("%s (%s is above %s)" % (where, first, layer))
            elif first in ("tools", "tests", "support", "unit"):
                found.append("%s (the library includes no tool or test)" % where)
    for folder in ("tests", "bench", "tools"):
        for path in sources(os.path.join(root, folder)):
            relative = os.path.relpath(path, root)
            if relative.startswith(os.path.join("tests", "unit") + os.sep):
                continue
            for number, target in includes(path):
                if target.startswith("unit/"):
                    found.append("%s:%d: %s (shared test doubles belong in tests/support/)"
                                 % (relative, number, target))
    return found


if __name__ == "__main__":
    sys.exit(tree_check.main(wrong_way, __doc__, "%d includes run the wrong way"))
