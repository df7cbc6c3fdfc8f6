"""What the tree checkers (links, layers) and their tests share: the
checker's command line and report, and a checker run on a small tree of
the test's own, its report held to the lines expected."""
import os
import subprocess
import sys
import tempfile


def main(find, usage, summary):
    """The checker's command line, `checker ROOT`: prints each line that
    find(ROOT) returns and then summary (its "%d" the number of them);
    exits 1 if there is any, 2 on a wrong command line."""
    if len(sys.argv) != 2:
        print(usage)
        return 2
    found = find(sys.argv[1])
    for line in found:
        print(line)
    print(summary % len(found))
    return 1 if found else 0


def expect_report(checker, files, expected):
    """Writes files ({path: text}) into a new folder, runs `checker FOLDER`
    and returns 0 when it exits 1 naming exactly the expected lines (paths
    with "/"), else 1 after printing both; prints PASS on success."""
    with tempfile.TemporaryDirectory(prefix="kavtel-tree-") as root:
        for name, text in files.items():
            path = os.path.join(root, *name.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(text)
        run = subprocess.run([sys.executable, checker, root], capture_output=True, text=True, timeout=60)
    reported = [line.replace(os.sep, "/") for line in run.stdout.splitlines()[:-1]]
    if run.returncode != 1 or sorted(reported) != sorted(expected):
        print("expected exit 1 and\n  %s\ngot exit %d and\n  %s" % (
            "\n  ".join(expected), run.returncode, "\n  ".join(reported)))
        return 1
    print("PASS")
    return 0
