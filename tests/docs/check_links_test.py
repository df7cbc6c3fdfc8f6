"""check_links.py on a small tree of its own: every kind of dead link is
named with its file and line, and the live ones (files, folders, headings
of this and other files, links inside code blocks, other sites) are not."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))
import tree_check  # noqa: E402

CHECKER = os.path.join(HERE, "check_links.py")

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
EXPECTED = [
    "README.md:4: docs/missing.md (no such file)",
    "README.md:8: docs/guide.md#no-such-part (no such heading)",
    "docs/guide.md:3: ../nothing/ (no such file)",
]

if __name__ == "__main__":
    sys.exit(tree_check.expect_report(CHECKER, FILES, EXPECTED))
