"""The Pythonic layer: a treadmill on a COM port, its readings and keys."""
from __future__ import annotations

import ctypes
import enum
import time
from dataclasses import dataclass
from typing import Callable, Iterator, Optional, Union

from . import _errors
from ._errors import KavtelError, check
from ._library import VERSION_BUFFER_SIZE, Library, load_library


class State(enum.IntEnum):
    """The controller state (KAVTEL_STATE_*)."""

    STOP = 0
    RUN = 1
    PAUSE = 2
    STOPPING = 3
    DETECTING = 4
    OFF = 5


class Link(enum.IntEnum):
    """The line to the controller (KAVTEL_LINK_*)."""

    LOST = 0  # the port is gone; the library reopens it about once a second
    IDENTIFYING = 1
    OK = 2


class Key(enum.Enum):
    """The treadmill's keys, by the flat function that presses each."""

    START = "kavtelKeyPressStart"
    STOP = "kavtelKeyPressStop"
    PLUS = "kavtelKeyPressPlus"
    MINUS = "kavtelKeyPressMinus"
    UP = "kavtelKeyPressUp"
    DOWN = "kavtelKeyPressDown"


@dataclass(frozen=True)
class Reading:
    """Every value of the treadmill at one moment. A value the controller's
    generation does not have is None."""

    state: Optional[State]
    speed: Optional[float]  # m/s
    elevation: Optional[float]
    acceleration: Optional[int]  # ramp index
    distance: Optional[int]  # metres
    duration: Optional[int]  # seconds
    heart_rate: Optional[int]  # per minute
    fail_safe: Optional[int]  # seconds
    error: Optional[int]
    weight: Optional[int]  # kg
    energy: Optional[float]  # kcal
    power: Optional[float]  # W


# Readers, setters and keys of a library admit COM1 to COM6 until a host
# opts in to the whole table (KAVTEL_MAX_DEVICE_INDEX).
MAX_DEVICE_INDEX = 6


class Treadmill:
    """The treadmill on COM<port>. Opening it (at construction, unless
    open=False) starts identifying the controller; closing it stops a
    running belt first. As a context manager it closes on leaving.

        with kavtel.Treadmill(port=3) as t:
            t.wait_identified(timeout=20)
            t.set_speed(2.5)
    """

    def __init__(self, port: int, library: Optional[Library] = None, open: bool = True) -> None:
        self.port = port
        self.lib = library if library is not None else load_library()
        self.stop_confirmed: Optional[bool] = None
        if open:
            self.open()

    # Opening and closing.

    def open(self) -> None:
        """Opens COM<port> (closing it first if open); NotOpenError when it
        cannot be opened. Every COM port of the library's table (1 to 64) is
        read and driven: the library is told so (kavtelsetAllPorts) before a
        port above 6 opens; BadIndexError if the library cannot."""
        if self.port > MAX_DEVICE_INDEX:
            if not self.lib.has("kavtelsetAllPorts"):
                raise _errors.BadIndexError(_errors.BAD_INDEX, "COM%d (this library reads COM1 to COM%d only)"
                                            % (self.port, MAX_DEVICE_INDEX))
            check(self.lib.kavtelsetAllPorts(1), "kavtelsetAllPorts")
        check(self.lib.kavtelopenPort(self.port), "kavtelopenPort")

    def close(self) -> Optional[bool]:
        """Closes the port, stopping a running belt first. Returns whether
        the stop was confirmed (True also when no stop was needed), or None
        when the library cannot tell (one without kavtelclosePortEx)."""
        if self.lib.has("kavtelclosePortEx"):
            confirmed = ctypes.c_int(0)
            check(self.lib.kavtelclosePortEx(self.port, ctypes.byref(confirmed)), "kavtelclosePortEx")
            self.stop_confirmed = confirmed.value == 1
        else:
            check(self.lib.kavtelclosePort(self.port), "kavtelclosePort")
            self.stop_confirmed = None
        return self.stop_confirmed

    def __enter__(self) -> "Treadmill":
        return self

    def __exit__(self, *exc: object) -> None:
        try:
            self.close()
        except _errors.NotOpenError:
            pass  # closed already

    # Identification.

    @property
    def identified(self) -> bool:
        """True once the controller is identified; False while detecting."""
        code = self.lib.isvalidKavtelDevice(self.port)
        if code == _errors.DETECTING:
            return False
        check(code, "isvalidKavtelDevice")
        return True

    def wait_identified(self, timeout: float = 20.0, poll: float = 0.05) -> str:
        """Waits until the controller is identified; returns its version text.
        TimeoutError when it is still being identified after timeout seconds."""
        deadline = time.monotonic() + timeout
        while not self.identified:
            if time.monotonic() >= deadline:
                raise TimeoutError("COM%d: no controller identified within %g s" % (self.port, timeout))
            time.sleep(poll)
        return self.version

    @property
    def link(self) -> Link:
        """The line's state: also answers while the controller is detected,
        so a pulled cable can be told from an identification."""
        out = ctypes.c_int()
        check(self.lib.kavtelgetLinkState(self.port, ctypes.byref(out)), "kavtelgetLinkState")
        return Link(out.value)

    @property
    def version(self) -> str:
        """The controller's version text."""
        buffer = ctypes.create_string_buffer(VERSION_BUFFER_SIZE)
        check(self.lib.kavtelgetVersion(self.port, buffer), "kavtelgetVersion")
        return buffer.value.decode("ascii", "replace")

    # Values.

    def _value(self, name: str, kind: type) -> Optional[Union[int, float]]:
        out = kind()
        code = getattr(self.lib, name)(self.port, ctypes.byref(out))
        if code == _errors.NOT_AVAILABLE:
            return None
        check(code, name)
        return out.value  # type: ignore[attr-defined, no-any-return]

    def _int(self, name: str) -> Optional[int]:
        value = self._value(name, ctypes.c_int)
        return None if value is None else int(value)

    def _float(self, name: str) -> Optional[float]:
        value = self._value(name, ctypes.c_double)
        return None if value is None else float(value)

    def read(self) -> Reading:
        """Every value at once. DetectingError while the controller is being
        identified, NotOpenError when the port is closed."""
        state = self._int("kavtelgetStatus")
        return Reading(
            state=None if state is None else State(state),
            speed=self._float("kavtelgetSpeed"),
            elevation=self._float("kavtelgetElevation"),
            acceleration=self._int("kavtelgetAcceleration"),
            distance=self._int("kavtelgetDistance"),
            duration=self._int("kavtelgetDuration"),
            heart_rate=self._int("kavtelgetHeartrate"),
            fail_safe=self._int("kavtelgetFailSafe"),
            error=self._int("kavtelgetError"),
            weight=self._int("kavtelgetWeight"),
            energy=self._float("kavtelgetEnergy"),
            power=self._float("kavtelgetPower"),
        )

    def readings(self, interval: float = 1.0) -> Iterator[Reading]:
        """A reading every interval seconds, the first at once, for as long as
        the caller iterates."""
        due = time.monotonic()
        while True:
            yield self.read()
            due += interval
            time.sleep(max(0.0, due - time.monotonic()))

    # Commands: queued for the treadmill, they return at once.

    def set_speed(self, speed: float) -> None:
        """Belt speed in m/s; above zero runs the belt."""
        check(self.lib.kavtelsetSpeed(self.port, float(speed)), "kavtelsetSpeed")

    def set_elevation(self, elevation: float) -> None:
        check(self.lib.kavtelsetElevation(self.port, float(elevation)), "kavtelsetElevation")

    def set_acceleration(self, index: int) -> None:
        """The ramp index, 1 (gentlest) to 7 (steepest)."""
        check(self.lib.kavtelsetAcceleration(self.port, int(index)), "kavtelsetAcceleration")

    def set_fail_safe(self, seconds: int) -> None:
        check(self.lib.kavtelsetFailSafe(self.port, int(seconds)), "kavtelsetFailSafe")

    def set_log(self, on: bool) -> None:
        """The traffic log (a "Protocol" folder beside the host executable,
        docs/protocol-log.md). Switching it on raises OperationError, with the
        log left off, when no log file can be written."""
        check(self.lib.kavtelsetProtocol(self.port, 1 if on else 0), "kavtelsetProtocol")

    def press(self, key: Union[Key, str]) -> None:
        """Presses a key: a Key, or its name ("start", "stop", "plus",
        "minus", "up", "down")."""
        self._key(key, 1)

    def release(self, key: Union[Key, str]) -> None:
        self._key(key, 0)

    def _key(self, key: Union[Key, str], pressed: int) -> None:
        if isinstance(key, str):
            try:
                key = Key[key.upper()]
            except KeyError:
                raise ValueError("no key %r (start, stop, plus, minus, up, down)" % key) from None
        function: Callable[[int, int], int] = getattr(self.lib, key.value)
        check(function(self.port, pressed), key.value)


__all__ = ["Key", "Reading", "State", "Treadmill", "KavtelError"]
