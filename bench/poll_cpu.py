#!/usr/bin/env python3
"""What polling a treadmill costs the host: CPU time and peak memory of
kavtelctl running a workout script against kavtel-sim for a while.

usage: bench/poll_cpu.py [--seconds S] [--build DIR]

The treadmill runs at 2.5 m/s for the whole time, so every value changes
and the full polling schedule runs (one frame every 250 ms, plus the
answers' acknowledgements). Prints the host's user and system CPU seconds,
its share of one core, and its peak resident memory. Build first, for
example with `cmake --preset release && cmake --build --preset release`
(the default build directory is build/release).
"""
import argparse
import os
import subprocess
import sys
import tempfile


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=30)
    parser.add_argument("--build", default="build/release")
    args = parser.parse_args()

    sim_path = os.path.join(args.build, "tools/sim/kavtel-sim")
    ctl_path = os.path.join(args.build, "tools/ctl/kavtelctl")
    for path in (sim_path, ctl_path):
        if not os.access(path, os.X_OK):
            sys.exit(f"{path} is missing: build {args.build} first")

    sim = subprocess.Popen([sim_path, "--fail-safe", "0"], stdout=subprocess.PIPE, text=True)
    try:
        device = sim.stdout.readline().strip()
        if not device:
            sys.exit("kavtel-sim printed no device path")
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as script:
            script.write("key start tap\nspeed 2.5\nexpect speed >= 2.4 within 60\n")
            script.write(f"wait {args.seconds}\nkey stop tap\n")
        env = dict(os.environ, KAVTEL_COM1=device)
        with open(os.devnull, "w") as quiet:
            host = subprocess.Popen([ctl_path, "script", "--port", "1", script.name],
                                    stdout=quiet, env=env)
            _, status, usage = os.wait4(host.pid, 0)
        os.unlink(script.name)
        if os.waitstatus_to_exitcode(status) != 0:
            sys.exit(f"kavtelctl failed with status {os.waitstatus_to_exitcode(status)}")
    finally:
        sim.terminate()
        sim.wait()

    cpu = usage.ru_utime + usage.ru_stime
    print(f"polled for about {args.seconds} s (plus the ramp to speed)")
    print(f"host CPU: user {usage.ru_utime:.3f} s, system {usage.ru_stime:.3f} s, "
          f"{100.0 * cpu / args.seconds:.2f} % of one core")
    print(f"host peak resident memory: {usage.ru_maxrss / 1024:.1f} MiB")


if __name__ == "__main__":
    main()
