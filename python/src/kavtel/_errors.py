"""The library's result codes as exceptions."""
from __future__ import annotations

from typing import Dict, Type

OK = 1
NOT_OPEN = 0
NOT_AVAILABLE = -1
DETECTING = -2
ERROR = -3
BAD_INDEX = -4


class KavtelError(Exception):
    """A flat function returned a code other than KAVTEL_OK; .code is that code,
    .function the function's name."""

    code: int = ERROR

    def __init__(self, code: int, function: str = "") -> None:
        self.code = code
        self.function = function
        super().__init__("%s: %s (result %d)" % (function or "kavtel", _TEXT.get(code, "unknown result"), code))


class NotOpenError(KavtelError):
    """KAVTEL_NOT_OPEN: the port is not open, or could not be opened."""

    code = NOT_OPEN


class NotAvailableError(KavtelError):
    """KAVTEL_NOT_AVAILABLE: the controller's generation has no such value."""

    code = NOT_AVAILABLE


class DetectingError(KavtelError):
    """KAVTEL_DETECTING: the port is open, the controller not yet identified."""

    code = DETECTING


class OperationError(KavtelError):
    """KAVTEL_ERROR: the operation failed in the library or its queue is full."""

    code = ERROR


class BadIndexError(KavtelError):
    """KAVTEL_BAD_INDEX: no such port number."""

    code = BAD_INDEX


_TEXT = {
    NOT_OPEN: "the port is not open",
    NOT_AVAILABLE: "not available on this controller",
    DETECTING: "the controller is still being identified",
    ERROR: "the operation failed in the library",
    BAD_INDEX: "no such port number",
}

_BY_CODE: Dict[int, Type[KavtelError]] = {
    cls.code: cls for cls in (NotOpenError, NotAvailableError, DetectingError, OperationError, BadIndexError)
}


def check(code: int, function: str) -> None:
    """Raises the exception of code unless it is KAVTEL_OK."""
    if code != OK:
        raise _BY_CODE.get(code, KavtelError)(code, function)
