"""check_links.py on a small tree of its own: every kind of dead link is
named with its file and line, and the live ones (files, folders, headings
of this and other files, links inside code blocks, other sites) are not."""
import os
import subprocess
import sys
import tempfile

CHECKER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check_links.py")

FILES = {
    "README.md": (
        "# Top\n"
        "[guide](docs/guide.md) [its part](docs/guide.md#a-part-kavtelctlexe) [here](#top)\n"
        "[folder](docs) [site](https://example.org/x.md) [mail](mailto:a@b)\n"
        "[gone](docs/missing.md)\n"
        "```\n[in code](nowhere.md)\n```\n"
        "[no part](docs/guide.md#no-such-part)\n"),
    "docs/guide.md": "# Guide\n## A part: `kavtelctl.exe`\n[back](../README.md) [up](../nothing/)\n",
    "build/ignored.md": "[dead but built](nowhere.md)\n",
}
EXPECTED_DEAD = [
    "README.md:4: docs/missing.md (no such file)",
    "README.md:8: docs/guide.md#no-such-part (no such heading)",
    os.path.join("docs", "guide.md") + ":3: ../nothing/ (no such file)",
]


def main():
    with tempfile.TemporaryDirectory(prefix="kavtel-links-") as root:
        for name, text in FILES.items():
            os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
            with open(os.path.join(root, name), "w") as f:
                f.write(text)
        run = subprocess.run([sys.executable, CHECKER, root], capture_output=True, text=True, timeout=60)
    reported = run.stdout.splitlines()[:-1]
    if run.returncode != 1 or sorted(reported) != sorted(EXPECTED_DEAD):
        print("expected exit 1 and\n  %s\ngot exit %d and\n  %s" % (
            "\n  ".join(EXPECTED_DEAD), run.returncode, "\n  ".join(reported)))
        return 1
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
