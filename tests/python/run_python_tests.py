#!/usr/bin/env python3
"""The Python package as a lab installs it: a fresh virtual environment made
with --system-site-packages from Debian's python3 (pytest, setuptools and
wheel come from Debian packages), `pip install --no-build-isolation` of a copy
of python/ without the network, then its pytest suite (python/tests) against
the built library and kavtel-sim.

usage: run_python_tests.py PYTHON SOURCE_DIR LIBRARY KAVTEL_SIM VERSION
"""
import os
import shutil
import subprocess
import sys
import tempfile

GENEROUS = 600


def main():
    python, source, library, sim, version = sys.argv[1:6]
    with tempfile.TemporaryDirectory(prefix="kavtel-python-") as work:
        venv = os.path.join(work, "venv")
        subprocess.run([python, "-m", "venv", "--system-site-packages", venv], check=True, timeout=GENEROUS)
        # A copy: building in place would leave build/ and *.egg-info in the tree.
        package = shutil.copytree(os.path.join(source, "python"), os.path.join(work, "python"),
                                  ignore=shutil.ignore_patterns("__pycache__", "tests"))
        env = dict(os.environ, PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1",
                   PYTHONDONTWRITEBYTECODE="1")
        env.pop("PYTHONPATH", None)
        venv_python = os.path.join(venv, "bin", "python")
        subprocess.run([venv_python, "-m", "pip", "install", "--quiet", "--no-build-isolation", package],
                       check=True, env=env, timeout=GENEROUS)
        env.update(KAVTEL_LIBRARY=library, KAVTEL_SIM=sim, KAVTEL_VERSION=version,
                   KAVTEL_HEADER=os.path.join(source, "include", "kavtel", "kavtel.h"),
                   KAVTEL_DEF=os.path.join(source, "src", "api", "kavtel.def"))
        # Run from the work folder, so that `import kavtel` finds the installed package.
        result = subprocess.run([venv_python, "-m", "pytest", "-p", "no:cacheprovider", "-v",
                                 os.path.join(source, "python", "tests")], env=env, cwd=work, timeout=GENEROUS)
    return result.returncode


if __name__ == "__main__":
    sys.exit(main())
