"""kavtel: control treadmills over serial ports through the kavtel library.

    import kavtel
    with kavtel.Treadmill(port=3) as t:
        t.wait_identified(timeout=20)
        t.set_speed(2.5)
        print(t.read())
"""
from ._errors import (
    BadIndexError,
    DetectingError,
    KavtelError,
    NotAvailableError,
    NotOpenError,
    OperationError,
)
from ._library import PROTOTYPES, Library, load_library
from ._treadmill import Key, Link, Reading, State, Treadmill

__version__ = "1.0.0"

__all__ = [
    "BadIndexError",
    "DetectingError",
    "Key",
    "KavtelError",
    "Library",
    "Link",
    "NotAvailableError",
    "NotOpenError",
    "OperationError",
    "PROTOTYPES",
    "Reading",
    "State",
    "Treadmill",
    "load_library",
]
