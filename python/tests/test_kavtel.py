"""The kavtel package against the real library and the real kavtel-sim."""
from __future__ import annotations

import ctypes
import dataclasses
import importlib.metadata
import itertools
import os
import re
import shutil
import signal
import threading
import subprocess
import sys
import time

import pytest

import kavtel
from conftest import DEADLINE, PORT, wait_for

_CTYPES = {
    "int": ctypes.c_int,
    "double": ctypes.c_double,
    "int*": ctypes.POINTER(ctypes.c_int),
    "double*": ctypes.POINTER(ctypes.c_double),
    "char*": ctypes.c_char_p,
}


def header_prototypes():
    """name -> argument ctypes of every flat function kavtel.h declares."""
    with open(os.environ["KAVTEL_HEADER"]) as f:
        text = re.sub(r"\s+", " ", f.read())
    prototypes = {}
    for name, arguments in re.findall(r"KAVTEL_API int KAVTEL_CALL (\w+) ?\(([^)]*)\)", text):
        types = []
        for argument in arguments.split(","):
            if argument.strip() in ("void", ""):
                continue
            c_type = re.match(r"\s*(.*?)\s*\w+\s*$", argument).group(1).replace(" ", "")
            types.append(_CTYPES[c_type])
        prototypes[name] = tuple(types)
    return prototypes


def def_functions():
    with open(os.environ["KAVTEL_DEF"]) as f:
        lines = [line.split(";")[0].strip() for line in f]
    exports = lines[lines.index("EXPORTS") + 1:]
    return {line for line in exports if line and not line.endswith(" DATA")}


def test_package_is_the_installed_one_with_the_library_version():
    assert "site-packages" in kavtel.__file__, kavtel.__file__
    assert kavtel.__version__ == os.environ["KAVTEL_VERSION"]
    assert importlib.metadata.version("kavtel") == os.environ["KAVTEL_VERSION"]


def test_every_flat_function_is_bound_with_the_header_prototype():
    declared = header_prototypes()
    assert def_functions() <= set(declared), "kavtel.def names a function kavtel.h does not declare"
    for name in def_functions():
        assert name in kavtel.PROTOTYPES, "the package does not bind %s" % name
    for name, argtypes in kavtel.PROTOTYPES.items():
        if name in declared:
            assert argtypes == declared[name], name
    library = kavtel.load_library()
    for name in declared:
        assert library.has(name), name
        assert getattr(library, name).argtypes == list(declared[name])


def test_library_is_found_by_variable_then_beside_the_package(monkeypatch, tmp_path):
    built = os.environ["KAVTEL_LIBRARY"]
    monkeypatch.setenv("KAVTEL_LIBRARY", str(tmp_path / "missing.so"))
    with pytest.raises(OSError, match="missing.so"):
        kavtel.Library()
    monkeypatch.delenv("KAVTEL_LIBRARY")
    beside = os.path.join(os.path.dirname(kavtel.__file__), "libkavtel.so.1")
    shutil.copy(built, beside)
    try:
        assert kavtel.Library().path == beside
    finally:
        os.remove(beside)


@pytest.mark.parametrize("version, later_values", [("224", True), ("123", False)])
def test_session(start_sim, version, later_values):
    """Open, identify, set and read back, a key, then leaving the block closes
    the port and stops the running belt."""
    start_sim("--version-text", version, "--fail-safe", "0")
    with kavtel.Treadmill(port=PORT) as t:
        assert t.wait_identified(timeout=DEADLINE) == version
        t.set_acceleration(7)
        t.set_speed(2.0)
        # Each value is polled on its own: wait until all three have come back.
        reading = wait_for(lambda: (lambda r: r if r.speed >= 1.95 and r.state is kavtel.State.RUN
                                    and r.acceleration == 7 else None)(t.read()), "running at 2.0 m/s, ramp 7")
        assert isinstance(reading, kavtel.Reading)
        assert reading.speed <= 2.05
        t.press("up")
        t.release(kavtel.Key.UP)
        wait_for(lambda: t.read().elevation >= 0.45, "elevation from the up key")
        wait_for(lambda: t.read().distance > 0, "distance")
        reading = t.read()
        for field in ("error", "weight", "energy", "power"):
            assert (getattr(reading, field) is not None) == later_values, field
        with pytest.raises(dataclasses.FrozenInstanceError):
            reading.speed = 0.0  # type: ignore[misc]
    # The library tells whether the stop was confirmed when it can.
    assert t.stop_confirmed is (True if t.lib.has("kavtelclosePortEx") else None)
    with pytest.raises(kavtel.NotOpenError):
        t.read()
    # The belt stopped at close (the fail-safe is off: nothing else stops it).
    with kavtel.Treadmill(port=PORT) as again:
        again.wait_identified(timeout=DEADLINE)
        assert again.read().state is kavtel.State.STOP


@pytest.mark.parametrize("port", [7, 64])
def test_ports_above_six_are_read_and_driven(start_sim, monkeypatch, port):
    """USB adapters get high COM numbers: the package reads and drives them
    like COM3 (the raw library admits them once told to)."""
    sim = start_sim()
    monkeypatch.setenv("KAVTEL_COM%d" % port, sim.link)
    with kavtel.Treadmill(port=port) as t:
        t.wait_identified(timeout=DEADLINE)
        t.set_speed(1.0)
        wait_for(lambda: t.read().speed >= 0.95, "1 m/s on COM%d" % port)
    assert t.stop_confirmed is True
    assert "S02" in sim.host_frames()


@pytest.mark.parametrize("action, error, code", [
    (lambda: kavtel.Treadmill(port=65), kavtel.BadIndexError, -4),  # open admits COM1..COM64
    (lambda: kavtel.Treadmill(port=5, open=False).read(), kavtel.BadIndexError, -4),  # never opened
    (lambda: kavtel.Treadmill(port=5, open=False).close(), kavtel.NotOpenError, 0),
])
def test_result_codes_raise(action, error, code):
    with pytest.raises(error) as raised:
        action()
    assert isinstance(raised.value, kavtel.KavtelError)
    assert raised.value.code == code


def test_port_that_cannot_open(monkeypatch, tmp_path):
    monkeypatch.setenv("KAVTEL_COM%d" % PORT, str(tmp_path / "no-such-device"))
    with pytest.raises(kavtel.NotOpenError) as raised:
        kavtel.Treadmill(port=PORT)
    assert raised.value.code == 0 and raised.value.function == "kavtelopenPort"


def test_silent_treadmill_stays_detecting(start_sim):
    start_sim("--silent")
    with kavtel.Treadmill(port=PORT) as t:
        with pytest.raises(kavtel.DetectingError) as raised:
            t.read()
        assert raised.value.code == -2
        assert t.link == kavtel.Link.IDENTIFYING  # a line, but no controller yet
        with pytest.raises(TimeoutError):
            t.wait_identified(timeout=0.5)
        with pytest.raises(ValueError):
            t.press("sideways")


def test_readings_come_at_the_interval(start_sim):
    start_sim()
    with kavtel.Treadmill(port=PORT) as t:
        t.wait_identified(timeout=DEADLINE)
        start = time.monotonic()
        stamps = []
        for reading in itertools.islice(t.readings(interval=0.3), 4):
            stamps.append(time.monotonic() - start)
            assert reading.state is kavtel.State.STOP
        assert len(stamps) == 4
        # Reading k comes no earlier than k intervals after the first.
        assert all(stamp >= 0.3 * k for k, stamp in enumerate(stamps)), stamps


def test_monitor_prints_readings_until_interrupted(start_sim):
    start_sim()
    monitor = subprocess.Popen([sys.executable, "-m", "kavtel", "monitor", "--port", str(PORT)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    lines = []
    reader = threading.Thread(target=lambda: lines.extend(monitor.stdout), daemon=True)
    reader.start()
    try:
        wait_for(lambda: sum("speed " in line for line in lines) >= 3 or monitor.poll() is not None,
                 "three readings from the monitor")
        monitor.send_signal(signal.SIGINT)
        monitor.wait(timeout=DEADLINE)
        reader.join(timeout=DEADLINE)
        err = monitor.stderr.read()
    finally:
        if monitor.poll() is None:
            monitor.kill()
    readings = [line for line in lines if "speed " in line]
    assert len(readings) >= 3, "".join(lines) + err
    assert lines[0].startswith("COM3: controller 203"), lines[0]
    assert re.search(r"stop\s+speed 0\.00 m/s", readings[0]), readings[0]
    # Once a second: reading k comes no earlier than k seconds after the first.
    elapsed = [float(line.split()[0]) for line in readings]
    assert all(stamp >= k * 1.0 - 0.05 for k, stamp in enumerate(elapsed)), elapsed
    assert monitor.returncode == 0, err
