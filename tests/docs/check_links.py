"""Follows every relative link of the Markdown files of a tree (README.md
and docs/ among them) and fails on a dead one: a file or folder that does
not exist, or an #anchor that names no heading of its file.

    python3 check_links.py ROOT

Links to other sites (http:, https:, mailto:) are not followed. The build
folder and installed npm packages are left out. Prints every dead link with
its file and line, and exits 1 if there is any."""
import functools
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import tree_check  # noqa: E402

SKIPPED_FOLDERS = {"build", "node_modules", ".git"}
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")
FENCE = re.compile(r"^\s*(```|~~~)")


def markdown_files(root):
    for folder, folders, files in os.walk(root):
        folders[:] = sorted(f for f in folders if f not in SKIPPED_FOLDERS)
        for name in sorted(files):
            if name.endswith(".md"):
                yield os.path.join(folder, name)


def prose_lines(path):
    """(line number, text) of each line outside fenced code blocks."""
    fenced = False
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if FENCE.match(line):
                fenced = not fenced
                continue
            if not fenced:
                yield number, line


def anchor_of(heading):
    """The anchor a heading gets on the usual Markdown hosts: lower case,
    punctuation dropped, spaces made hyphens."""
    text = re.sub(r"[`*_]", "", heading.strip().lower())
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


@functools.lru_cache(maxsize=None)
def anchors(path):
    """The anchors of a Markdown file's headings, read once per file however
    many links point into it."""
    found = set()
    for _, line in prose_lines(path):
        match = re.match(r"#{1,6}\s+(.*)", line)
        if match:
            found.add(anchor_of(match.group(1)))
    return frozenset(found)


def dead_links(root):
    dead = []
    for path in markdown_files(root):
        for number, line in prose_lines(path):
            for target in LINK.findall(line):
                if re.match(r"[a-z]+:", target):
                    continue
                file_part, _, anchor = target.partition("#")
                linked = os.path.normpath(os.path.join(os.path.dirname(path), file_part)) if file_part else path
                where = "%s:%d: %s" % (os.path.relpath(path, root), number, target)
                if not os.path.exists(linked):
                    dead.append(where + " (no such file)")
                elif anchor and linked.endswith(".md") and anchor not in anchors(linked):
                    dead.append(where + " (no such heading)")
    return dead


if __name__ == "__main__":
    sys.exit(tree_check.main(dead_links, __doc__, "%d dead links"))
