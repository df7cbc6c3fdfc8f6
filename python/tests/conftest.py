"""The package as installed, against the real kavtel-sim on a pseudo-terminal
that the library opens as COM3 (KAVTEL_COM3).

The test command runs these in a fresh virtual environment with the package
installed and sets KAVTEL_LIBRARY (the built library), KAVTEL_SIM,
KAVTEL_HEADER, KAVTEL_DEF and KAVTEL_VERSION (the project's version)."""
from __future__ import annotations

import os
import signal
import subprocess
import threading
import time
from typing import Callable, Iterator, List, Optional

import pytest

PORT = 3
DEADLINE = 60.0  # seconds; generous, the machine is slow at times


def wait_for(condition: Callable[[], object], what: str, timeout: float = DEADLINE) -> object:
    """Polls condition until it returns something true; fails after timeout."""
    end = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            pytest.fail("no %s within %g s" % (what, timeout))
        time.sleep(0.05)


class Sim:
    """kavtel-sim with its line linked at folder/com3."""

    def __init__(self, folder: str, options: List[str]) -> None:
        self.link = os.path.join(folder, "com3")
        self.process = subprocess.Popen([os.environ["KAVTEL_SIM"], "--link", self.link, "--trace"] + options,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        assert self.process.stdout is not None
        assert self.process.stdout.readline().strip(), "kavtel-sim did not start"
        self.trace: List[str] = []
        self._reader = threading.Thread(target=lambda: self.trace.extend(self.process.stdout or []), daemon=True)
        self._reader.start()
        self.summary: Optional[str] = None

    def host_frames(self) -> str:
        return "".join(line for line in self.trace if "host > sim" in line)

    def stop(self) -> str:
        if self.summary is None:
            self.process.send_signal(signal.SIGTERM)
            _, self.summary = self.process.communicate(timeout=DEADLINE)
            self._reader.join(timeout=DEADLINE)
        return self.summary


@pytest.fixture
def start_sim(tmp_path, monkeypatch) -> Iterator[Callable[..., Sim]]:
    """Starts kavtel-sim with the options given and maps COM3 to it."""
    started: List[Sim] = []

    def start(*options: str) -> Sim:
        sim = Sim(str(tmp_path), list(options))
        started.append(sim)
        monkeypatch.setenv("KAVTEL_COM%d" % PORT, sim.link)
        return sim

    yield start
    # A test that failed half-way leaves no port open for the next one.
    import kavtel
    kavtel.load_library().kavtelclosePort(PORT)
    for sim in started:
        summary = sim.stop()
        assert " 0 violations" in summary, "the treadmill saw protocol violations: " + summary
