"""The EXPORTS section of a module-definition (.def) file."""
import pathlib


def exports(path):
    """Each exported name with whether it is DATA, in the file's order."""
    names, in_exports = [], False
    for line in pathlib.Path(path).read_text().splitlines():
        line = line.split(";", 1)[0].strip()
        if not line:
            continue
        if line.upper() == "EXPORTS":
            in_exports = True
        elif in_exports:
            parts = line.split()
            names.append((parts[0], "DATA" in parts[1:]))
    return names
