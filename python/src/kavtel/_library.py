"""Finding and loading the kavtel library, every flat function with its
prototype."""
from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
from typing import Dict, List, Optional, Tuple, Type

_int_p = ctypes.POINTER(ctypes.c_int)
_double_p = ctypes.POINTER(ctypes.c_double)

# Every flat function of kavtel.h: its argument types (all return int).
PROTOTYPES: Dict[str, Tuple[type, ...]] = {
    "kavtelopenPort": (ctypes.c_int,),
    "kavtelclosePort": (ctypes.c_int,),
    "kavtelclosePortEx": (ctypes.c_int, _int_p),
    "isvalidKavtelDevice": (ctypes.c_int,),
    "kavtelsetAllPorts": (ctypes.c_int,),
    "kavtelgetLinkState": (ctypes.c_int, _int_p),
    "kavtelgetVersion": (ctypes.c_int, ctypes.c_char_p),
    "kavtelgetStatus": (ctypes.c_int, _int_p),
    "kavtelgetDuration": (ctypes.c_int, _int_p),
    "kavtelgetSpeed": (ctypes.c_int, _double_p),
    "kavtelgetAcceleration": (ctypes.c_int, _int_p),
    "kavtelgetElevation": (ctypes.c_int, _double_p),
    "kavtelgetHeartrate": (ctypes.c_int, _int_p),
    "kavtelgetDistance": (ctypes.c_int, _int_p),
    "kavtelgetError": (ctypes.c_int, _int_p),
    "kavtelgetFailSafe": (ctypes.c_int, _int_p),
    "kavtelgetWeight": (ctypes.c_int, _int_p),
    "kavtelgetEnergy": (ctypes.c_int, _double_p),
    "kavtelgetPower": (ctypes.c_int, _double_p),
    "kavtelgetProtocol": (ctypes.c_int, _int_p),
    "kavtelsetFailSafe": (ctypes.c_int, ctypes.c_int),
    "kavtelsetSpeed": (ctypes.c_int, ctypes.c_double),
    "kavtelsetAcceleration": (ctypes.c_int, ctypes.c_int),
    "kavtelsetElevation": (ctypes.c_int, ctypes.c_double),
    "kavtelsetSpeedAccel": (ctypes.c_int, ctypes.c_double, ctypes.c_int),
    "kavtelKeyPressStart": (ctypes.c_int, ctypes.c_int),
    "kavtelKeyPressStop": (ctypes.c_int, ctypes.c_int),
    "kavtelKeyPressPlus": (ctypes.c_int, ctypes.c_int),
    "kavtelKeyPressMinus": (ctypes.c_int, ctypes.c_int),
    "kavtelKeyPressUp": (ctypes.c_int, ctypes.c_int),
    "kavtelKeyPressDown": (ctypes.c_int, ctypes.c_int),
    "kavtelsetProtocol": (ctypes.c_int, ctypes.c_int),
    "mfc_initkavtelDLL": (),
    "mfc_releasekavtelDLL": (),
    "buildDeviceArray": (),
    "destroyDeviceArray": (),
}

# Functions a library of an earlier 1.x may lack: bound when present.
OPTIONAL = frozenset({"kavtelclosePortEx", "kavtelgetLinkState", "kavtelsetAllPorts"})

# Room kavtelgetVersion needs (KAVTEL_VERSION_BUFFER_SIZE).
VERSION_BUFFER_SIZE = 32


def _file_names() -> List[str]:
    if sys.platform == "win32":
        return ["kavtel.dll"]
    if sys.platform == "darwin":
        return ["libkavtel.dylib"]
    return ["libkavtel.so.1", "libkavtel.so"]


def candidates() -> List[str]:
    """Where the library is looked for, in order: $KAVTEL_LIBRARY; beside
    this package; the system's search."""
    found: List[str] = []
    here = os.path.dirname(os.path.abspath(__file__))
    found += [os.path.join(here, name) for name in _file_names() if os.path.exists(os.path.join(here, name))]
    system = ctypes.util.find_library("kavtel")
    found += _file_names() + ([system] if system else [])
    return found


class Library:
    """The loaded library: each flat function is an attribute with its
    prototype set (lib.kavtelopenPort(3)), returning the raw result code."""

    def __init__(self, path: Optional[str] = None) -> None:
        if path is None:
            path = os.environ.get("KAVTEL_LIBRARY") or None
        loader: Type[ctypes.CDLL] = getattr(ctypes, "WinDLL", ctypes.CDLL)  # stdcall on Windows
        if path is not None:
            self._dll = loader(path)  # an explicit path must load: OSError otherwise
            self.path = path
        else:
            errors = []
            for candidate in candidates():
                try:
                    self._dll = loader(candidate)
                    self.path = candidate
                    break
                except OSError as error:
                    errors.append("%s: %s" % (candidate, error))
            else:
                raise OSError("the kavtel library was not found (set KAVTEL_LIBRARY): " + "; ".join(errors))
        self.functions: Dict[str, ctypes._CFuncPtr] = {}  # type: ignore[name-defined]
        for name, argtypes in PROTOTYPES.items():
            try:
                function = getattr(self._dll, name)
            except AttributeError:
                if name in OPTIONAL:
                    continue
                raise OSError("%s exports no %s" % (self.path, name)) from None
            function.argtypes = list(argtypes)
            function.restype = ctypes.c_int
            self.functions[name] = function
            setattr(self, name, function)

    def has(self, name: str) -> bool:
        """Whether the library exports the function name."""
        return name in self.functions

    def __getattr__(self, name: str) -> ctypes._CFuncPtr:  # type: ignore[name-defined]
        # Reached only for names not bound in __init__: an optional function
        # this library lacks, or no flat function at all.
        raise AttributeError("%s has no flat function %s" % (self.__dict__.get("path", "the library"), name))


_default: Optional[Library] = None


def load_library(path: Optional[str] = None) -> Library:
    """The library at path; without one, the library of this process (loaded
    once from $KAVTEL_LIBRARY, beside the package or the system's search)."""
    global _default
    if path is not None:
        return Library(path)
    if _default is None:
        _default = Library()
    return _default
