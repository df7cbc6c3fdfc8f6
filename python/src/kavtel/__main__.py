"""python -m kavtel monitor --port N: a line of every value once a second
until Ctrl-C, which closes the port (stopping a running belt)."""
from __future__ import annotations

import argparse
import sys
import time
from typing import List, Optional

from ._errors import KavtelError
from ._library import load_library
from ._treadmill import Reading, Treadmill


def _value(value: object, unit: str = "", digits: int = 2) -> str:
    if value is None:
        return "-"
    if isinstance(value, float):
        return "%.*f%s" % (digits, value, unit)
    return "%s%s" % (value, unit)


def format_reading(elapsed: float, r: Reading) -> str:
    return "  ".join([
        "%7.1f s" % elapsed,
        "%-8s" % (r.state.name.lower() if r.state is not None else "-"),
        "speed " + _value(r.speed, " m/s"),
        "elevation " + _value(r.elevation, "", 1),
        "accel " + _value(r.acceleration),
        "distance " + _value(r.distance, " m"),
        "time " + _value(r.duration, " s"),
        "heart " + _value(r.heart_rate),
        "energy " + _value(r.energy, " kcal", 1),
        "power " + _value(r.power, " W", 0),
    ])


def monitor(args: argparse.Namespace) -> int:
    library = load_library(args.library)
    with Treadmill(args.port, library) as treadmill:
        try:
            version = treadmill.wait_identified(timeout=args.identify_timeout)
        except TimeoutError as error:
            print(error, file=sys.stderr)
            return 3
        print("COM%d: controller %s" % (args.port, version), flush=True)
        start = time.monotonic()
        for count, reading in enumerate(treadmill.readings(args.interval), 1):
            print(format_reading(time.monotonic() - start, reading), flush=True)
            if args.count and count >= args.count:
                break
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kavtel", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    watch = commands.add_parser("monitor", help="print every value once a second until Ctrl-C")
    watch.add_argument("--port", type=int, required=True, help="COM port number")
    watch.add_argument("--interval", type=float, default=1.0, help="seconds between readings (default 1)")
    watch.add_argument("--count", type=int, default=0, help="stop after this many readings (default: never)")
    watch.add_argument("--identify-timeout", type=float, default=20.0, help="seconds (default 20)")
    watch.add_argument("--library", help="the kavtel library (default: $KAVTEL_LIBRARY, beside the package, "
                                         "the system's search)")
    args = parser.parse_args(argv)
    try:
        return monitor(args)
    except KeyboardInterrupt:
        return 0  # the treadmill was closed on the way out
    except (OSError, KavtelError) as error:  # a library that cannot load, a port that cannot open
        print("kavtel: %s" % error, file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
