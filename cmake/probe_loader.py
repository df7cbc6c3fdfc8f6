"""Runs a Wine loader with --version and exits 0 if it ran. Otherwise it
prints why in one line, such as "Exec format error" from a kernel that
refuses the loader's kind of program, and exits 1."""
import subprocess
import sys

try:
    run = subprocess.run([sys.argv[1], "--version"], capture_output=True, timeout=120)
except OSError as error:
    print(error.strerror)
    sys.exit(1)
except subprocess.TimeoutExpired:
    print("no answer within 120 s")
    sys.exit(1)
if run.returncode != 0:
    print("exit status %d" % run.returncode)
    sys.exit(1)
