#!/usr/bin/python3
"""What kavtel-bridge costs next to a host that drives the library directly.

usage: bench/bridge_bench.py BRIDGE SIM LIBKAVTEL [--stations N] [--seconds S]
                             [--publish-interval S] [--direct-read-ms MS]

Builds nothing: give it an optimised kavtel-bridge, kavtel-sim and
libkavtel.so (`cmake --preset release && cmake --build --preset release
--target kavtel-bridge kavtel-sim kavtel`). It starts Mosquitto on a free
loopback port, N kavtel-sim treadmills on COM 1..N for one bridge (one
subscriber on the broker, a child process of this script), and N more for a
direct host: another child that opens the same ports through libkavtel.so
(ctypes) and reads their status and speed every few milliseconds. Both
children stamp their receipts on the system's monotonic clock, each in a
process of its own.

The run has two halves. In the first, every treadmill's start key is pressed
from outside (SIGUSR2) again and again, each station on its own random
pause; the figure is the time from the press to the subscriber receiving a
state that shows the belt moving, and to the direct host reading it. The
bridge's stations are then stopped with a `stop` on their `cmd` topic: the
figure is the time from the publish to the stop key (U10 SP) arriving at the
treadmill, from kavtel-sim --trace (its clock is aligned with this one by
the least read delay of its lines). The direct host stops its own belts. In
the second half every belt runs, nobody reads the direct host's readers,
and the CPU of both processes (/proc/<pid>/stat) over that window gives the
bridge's CPU per station-hour next to the library's own per device-hour.
The bridge's resident memory is sampled every second of the whole run.
"""
import argparse
import ctypes
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests", "bridge"))
import fleet_harness  # noqa: E402
from fleet_harness import GENEROUS, ROOT, Client, Site, new_folder  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGE_SIZE")
KAVTEL_OK = 1
STATE_STOP, STATE_RUN = 0, 1
LINK_OK = 2


# ---------------------------------------------------------------- direct host
def direct_host(lib_path, stations, read_ms):
    """The child: opens COM 1..N (KAVTEL_COM<n> set by the parent), prints
    "ready" once all are identified, then "run I T" the first time it reads
    a moving belt on station I (T: time.monotonic(), the system's monotonic
    clock, the parent's too) and presses stop, "stop I T" once the belt
    stands again. SIGUSR1 ends the reading: from then on the process only
    waits, and its CPU is the library's."""
    lib = ctypes.CDLL(lib_path)
    lib.kavtelgetSpeed.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_double)]
    quiet = threading.Event()
    signal.signal(signal.SIGUSR1, lambda *_: quiet.set())
    lib.kavtelsetAllPorts(1)
    for i in range(1, stations + 1):
        if lib.kavtelopenPort(i) != KAVTEL_OK:
            print("error COM%d did not open" % i, flush=True)
            return 1
    state, speed, link = ctypes.c_int(), ctypes.c_double(), ctypes.c_int()
    deadline = time.monotonic() + GENEROUS
    while time.monotonic() < deadline:
        if all(lib.kavtelgetLinkState(i, ctypes.byref(link)) == KAVTEL_OK and link.value == LINK_OK
               for i in range(1, stations + 1)):
            break
        time.sleep(0.05)
    else:
        print("error not identified", flush=True)
        return 1
    print("ready", flush=True)
    moving = [False] * (stations + 1)
    period = read_ms / 1000.0
    while not quiet.is_set():
        for i in range(1, stations + 1):
            if lib.kavtelgetStatus(i, ctypes.byref(state)) != KAVTEL_OK:
                continue
            if lib.kavtelgetSpeed(i, ctypes.byref(speed)) != KAVTEL_OK:
                continue
            now = time.monotonic()
            runs = state.value == STATE_RUN or speed.value > 0
            if runs and not moving[i]:
                moving[i] = True
                print("run %d %.6f" % (i, now), flush=True)
                lib.kavtelKeyPressStop(i, 1)
                lib.kavtelKeyPressStop(i, 0)
            elif moving[i] and state.value == STATE_STOP and speed.value == 0:
                moving[i] = False
                print("stop %d %.6f" % (i, now), flush=True)
        time.sleep(period)
    print("quiet", flush=True)
    while True:
        time.sleep(3600)


# ---------------------------------------------------------------- measuring
class TracedTreadmill(fleet_harness.Treadmill):
    """The harness's treadmill, reading its trace as it comes instead of
    keeping it: the clock offset (least read time minus the line's own
    time), the stop keys the host sent, and how long each exchange took."""

    STAMP = re.compile(r"^\[\s*([0-9.]+)\]\s+(host > sim|sim  > host)\s+(.*)$")
    ANSWER = re.compile(r"^<SOH>(S00|S01)([0-9.]*)\d\d<ETB>")

    def _read(self):
        self.offset = None
        self.stop_keys = []       # kavtel-sim's times of U10 SP frames
        self.exchanges = []       # host frame to the host's ACK of its answer, s
        self.moving_answers = []  # kavtel-sim's times of answers showing the belt moving (last few)
        frame_at = None
        cond = threading.Condition(self.lock)
        self.changed = cond
        for line in self.process.stdout:
            read_at = time.monotonic()
            m = self.STAMP.match(line)
            if not m:
                continue
            at, direction, body = float(m.group(1)), m.group(2), m.group(3)
            with cond:
                if self.offset is None or read_at - at < self.offset:
                    self.offset = read_at - at
                if direction == "host > sim":
                    if body.startswith("<SOH>"):
                        frame_at = at
                        if body.startswith("<SOH>U10SP"):
                            self.stop_keys.append(at)
                            cond.notify_all()
                    elif body.startswith("<ACK>") and frame_at is not None:
                        if len(self.exchanges) < 100000:
                            self.exchanges.append(at - frame_at)
                        frame_at = None
                else:
                    a = self.ANSWER.match(body)
                    if a and ((a.group(1) == "S00" and a.group(2) == "1") or
                              (a.group(1) == "S01" and float(a.group(2) or 0) > 0)):
                        self.moving_answers.append(at)
                        del self.moving_answers[:-8]

    def stop_keys_seen(self):
        with self.lock:
            return len(self.stop_keys)

    def moving_answer_after(self, moment):
        """The monotonic time of the first answer after moment (less the
        trace's millisecond rounding) that told the host the belt moves."""
        with self.lock:
            for at in self.moving_answers:
                if at + self.offset >= moment - 0.001:
                    return at + self.offset
        return None

    def stop_key_after(self, seen, timeout):
        """The monotonic time of the first stop key that reached the
        treadmill after the first seen ones, or None. (Counted rather than
        compared: the key arrives within the trace's millisecond rounding.)"""
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                if len(self.stop_keys) > seen:
                    return self.stop_keys[seen] + self.offset
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.changed.wait(min(left, 0.05))


def subscriber(port, stations):
    """The child that subscribes to every station's state, so that its
    receipt times are taken in a process of its own, as the direct host's
    reads are, not next to this script's hundreds of threads. It prints
    "run NAME T" when a station's state first shows the belt moving and
    "stand NAME T" when it first shows it stopped on a working line (T:
    time.monotonic() when paho handed the message over)."""
    moving, standing = {}, {}
    ready = threading.Event()

    def on_connect(client, userdata, flags, rc, properties=None):
        client.subscribe(ROOT + "/+/state", qos=0)

    def on_subscribe(*_):
        ready.set()

    def on_message(client, userdata, message):
        now = time.monotonic()
        name = message.topic[len(ROOT) + 1:].split("/")[0]
        doc = json.loads(message.payload)
        runs = doc.get("state") == "run" or (doc.get("speed_mps") or 0) > 0
        stands = not runs and doc.get("state") == "stop" and doc.get("link") == "ok"
        if runs and not moving.get(name):
            print("run %s %.6f" % (name, now), flush=True)
        if stands and not standing.get(name):
            print("stand %s %.6f" % (name, now), flush=True)
        moving[name], standing[name] = runs, stands

    client = fleet_harness.mqtt.Client(client_id="bench-watcher", protocol=fleet_harness.mqtt.MQTTv5)
    client.on_connect, client.on_subscribe, client.on_message = on_connect, on_subscribe, on_message
    client.connect("127.0.0.1", port)
    client.loop_start()
    if not ready.wait(GENEROUS):
        print("error no subscription", flush=True)
        return 1
    print("ready", flush=True)
    while True:
        time.sleep(3600)


class Watcher:
    """The subscriber child's findings, per station: the times of the last
    few states showing the belt moving and of the last showing it stopped."""

    def __init__(self, script, port, stations):
        self.cond = threading.Condition()
        self.moving_at = {}
        self.standing_at = {}
        self.process = subprocess.Popen([sys.executable, script, "-", "-", "-", "--subscriber", str(port),
                                         "--stations", str(stations)], stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline().strip()
        if line != "ready":
            sys.exit("subscriber: " + (line or "ended"))
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for text in self.process.stdout:
            parts = text.split()
            if len(parts) != 3:
                continue
            with self.cond:
                if parts[0] == "run":
                    self.moving_at.setdefault(parts[1], []).append(float(parts[2]))
                    del self.moving_at[parts[1]][:-4]
                else:
                    self.standing_at[parts[1]] = float(parts[2])
                self.cond.notify_all()

    def close(self):
        self.process.kill()
        self.process.wait()

    def first_moving_after(self, station, moment, timeout):
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for at in self.moving_at.get(station, []):
                    if at >= moment:
                        return at
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(min(left, 0.05))

    def standing_after(self, station, moment, timeout):
        deadline = time.monotonic() + timeout
        with self.cond:
            while self.standing_at.get(station, 0) < moment:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.cond.wait(min(left, 0.05))
        return True


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime


def rss_mib(pid):
    with open("/proc/%d/statm" % pid) as f:
        return int(f.read().split()[1]) * PAGE / 2**20


def percentile(values, p):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bridge")
    parser.add_argument("sim")
    parser.add_argument("lib")
    parser.add_argument("--stations", type=int, default=64, help="treadmills per set, 1 to 64 (default 64)")
    parser.add_argument("--seconds", type=float, default=600, help="length of the measured run (default 600)")
    parser.add_argument("--publish-interval", type=float, default=1.0,
                        help="the bridge's publish_interval, 0.1 to 1.0 (default 1.0, the bridge's own)")
    parser.add_argument("--direct-read-ms", type=float, default=10, help="the direct host's read period (default 10)")
    parser.add_argument("--direct-host", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--subscriber", type=int, metavar="PORT", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.direct_host:
        return direct_host(args.lib, args.stations, args.direct_read_ms)
    if args.subscriber:
        return subscriber(args.subscriber, args.stations)
    if not 1 <= args.stations <= 64:
        sys.exit("--stations: 1 to 64")
    for path in (args.bridge, args.sim, args.lib):
        if not os.path.exists(path):
            sys.exit(path + " is missing: build it first")
    n = args.stations

    fleet_harness.Treadmill = TracedTreadmill  # the Site's treadmills read their trace as above
    stations = [("s%d" % i, i, "") for i in range(1, n + 1)]
    site = Site(os.path.abspath(args.bridge), os.path.abspath(args.sim), stations,
                broker_extra="publish_interval = %g\n" % args.publish_interval)
    direct_folder = new_folder("kavtel-direct-")
    direct = {}
    host = None
    watcher = None
    try:
        env = dict(os.environ)
        for i in range(1, n + 1):
            direct[i] = TracedTreadmill(os.path.abspath(args.sim), direct_folder, i)
            env["KAVTEL_COM%d" % i] = direct[i].link
        started = time.monotonic()
        site.start_bridge()
        bridge_pid = site.bridge.pid
        rss = []
        done = threading.Event()

        def sample_rss():
            while not done.is_set() and site.bridge.poll() is None:
                rss.append((time.monotonic(), rss_mib(bridge_pid)))
                done.wait(1.0)

        threading.Thread(target=sample_rss, daemon=True).start()
        watcher = Watcher(os.path.abspath(__file__), site.broker.port, n)
        commander = Client(site.broker.port, "bench-commander")
        site.clients.append(commander)
        host = subprocess.Popen([sys.executable, os.path.abspath(__file__), args.bridge, args.sim,
                                 os.path.abspath(args.lib), "--direct-host", "--stations", str(n),
                                 "--direct-read-ms", str(args.direct_read_ms)],
                                stdout=subprocess.PIPE, text=True, env=env)
        line = host.stdout.readline().strip()
        if line != "ready":
            sys.exit("direct host: " + (line or "ended"))
        direct_events = {"run": {}, "stop": {}}
        direct_cond = threading.Condition()

        def read_host():
            for text in host.stdout:
                parts = text.split()
                if len(parts) == 3:
                    with direct_cond:
                        direct_events[parts[0]].setdefault(int(parts[1]), []).append(float(parts[2]))
                        direct_cond.notify_all()

        threading.Thread(target=read_host, daemon=True).start()
        deadline = time.monotonic() + GENEROUS
        while time.monotonic() < deadline:
            with watcher.cond:
                if len(watcher.standing_at) == n:
                    break
            time.sleep(0.1)
        else:
            sys.exit("not every station's state says stop on a working line")
        identified = time.monotonic()
        print("%d + %d treadmills identified %.1f s after the bridge started" % (n, n, identified - started),
              flush=True)

        # First half: presses of the start key, stops.
        half = args.seconds / 2
        cycle_end = identified + half
        bridge_lat, direct_lat, stop_lat, missed = [], [], [], []
        bridge_after_wire, direct_after_wire = [], []

        def bridge_station(i):
            name = "s%d" % i
            treadmill = site.treadmills[name]
            rng = random.Random(i)
            while True:
                time.sleep(rng.uniform(0.3, 1.3))
                if time.monotonic() > cycle_end - 5:
                    return
                pressed = time.monotonic()
                treadmill.press_start()
                seen = watcher.first_moving_after(name, pressed, 10)
                if seen is None:
                    missed.append(name + " start")
                    continue
                bridge_lat.append(seen - pressed)
                wire = treadmill.moving_answer_after(pressed)
                if wire is not None:
                    bridge_after_wire.append(seen - wire)
                time.sleep(rng.uniform(0.2, 0.6))
                seen_keys = treadmill.stop_keys_seen()
                published = time.monotonic()
                commander.client.publish("%s/%s/cmd" % (ROOT, name),
                                       json.dumps({"id": "bench-%d-%f" % (i, published), "cmd": "stop"}), qos=1)
                wire = treadmill.stop_key_after(seen_keys, 10)
                if wire is None:
                    missed.append(name + " stop")
                else:
                    stop_lat.append(wire - published)
                if not watcher.standing_after(name, published, 15):
                    missed.append(name + " standing")

        def direct_station(i):
            rng = random.Random(1000 + i)
            while True:
                time.sleep(rng.uniform(0.3, 1.3))
                if time.monotonic() > cycle_end - 5:
                    return
                pressed = time.monotonic()
                direct[i].press_start()
                end = time.monotonic() + 15
                with direct_cond:
                    while not any(t >= pressed for t in direct_events["stop"].get(i, [])) \
                            and time.monotonic() < end:
                        direct_cond.wait(0.05)
                    runs = [t for t in direct_events["run"].get(i, []) if t >= pressed]
                if runs:
                    direct_lat.append(runs[0] - pressed)
                    wire = direct[i].moving_answer_after(pressed)
                    if wire is not None:
                        direct_after_wire.append(runs[0] - wire)
                else:
                    missed.append("direct %d start" % i)

        workers = [threading.Thread(target=bridge_station, args=(i,)) for i in range(1, n + 1)]
        workers += [threading.Thread(target=direct_station, args=(i,)) for i in range(1, n + 1)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        host.send_signal(signal.SIGUSR1)  # the direct host stops reading

        # Second half: every belt runs; CPU over the steady window.
        for t in list(site.treadmills.values()) + list(direct.values()):
            t.press_start()
        time.sleep(min(10.0, half / 4))
        window_start = time.monotonic()
        bridge_cpu0, host_cpu0 = cpu_seconds(bridge_pid), cpu_seconds(host.pid)
        time.sleep(max(0.0, identified + args.seconds - window_start))
        window = time.monotonic() - window_start
        bridge_cpu, host_cpu = cpu_seconds(bridge_pid) - bridge_cpu0, cpu_seconds(host.pid) - host_cpu0
        ended = time.monotonic()
        done.set()
        load = os.getloadavg()
        exchanges = [x for t in site.treadmills.values() for x in t.exchanges]
    finally:
        if watcher is not None:
            watcher.close()
        if host is not None and host.poll() is None:
            host.kill()
            host.wait()
        site.close()
        for t in direct.values():
            t.stop()
        shutil.rmtree(site.folder, ignore_errors=True)
        shutil.rmtree(direct_folder, ignore_errors=True)

    steady = [r for r in rss if r[0] >= identified]
    middle = min(steady, key=lambda r: abs(r[0] - (identified + ended) / 2))
    bridge_per = bridge_cpu / (n * window) * 3600
    host_per = host_cpu / (n * window) * 3600
    ms = lambda v: "%.1f" % (1000 * v)  # noqa: E731

    print()
    print("kavtel-bridge, %d stations, publish_interval %g s; direct host reads every %g ms; "
          "run %.0f s, load average %.2f %.2f %.2f" % (n, args.publish_interval, args.direct_read_ms,
                                                     ended - identified, *load))
    print("| figure | p50 | p99 | samples |")
    print("|---|---|---|---|")
    print("| start key to the subscriber's state, ms | %s | %s | %d |" % (ms(percentile(bridge_lat, 50)),
                                                                        ms(percentile(bridge_lat, 99)), len(bridge_lat)))
    print("| start key to the direct host's read, ms | %s | %s | %d |" % (ms(percentile(direct_lat, 50)),
                                                                         ms(percentile(direct_lat, 99)), len(direct_lat)))
    print("| added by the bridge (difference), ms | %s | %s | |" % (
        ms(percentile(bridge_lat, 50) - percentile(direct_lat, 50)),
        ms(percentile(bridge_lat, 99) - percentile(direct_lat, 99))))
    print("| moving belt's answer on the wire to the subscriber, ms | %s | %s | %d |" % (
        ms(percentile(bridge_after_wire, 50)), ms(percentile(bridge_after_wire, 99)), len(bridge_after_wire)))
    print("| moving belt's answer on the wire to the direct host, ms | %s | %s | %d |" % (
        ms(percentile(direct_after_wire, 50)), ms(percentile(direct_after_wire, 99)), len(direct_after_wire)))
    print("| added by the bridge after the wire (difference), ms | %s | %s | |" % (
        ms(percentile(bridge_after_wire, 50) - percentile(direct_after_wire, 50)),
        ms(percentile(bridge_after_wire, 99) - percentile(direct_after_wire, 99))))
    print("| stop published to U10 SP at the treadmill, ms | %s | %s | %d |" % (ms(percentile(stop_lat, 50)),
                                                                               ms(percentile(stop_lat, 99)), len(stop_lat)))
    print("| an exchange on the wire (frame to ACK), ms | %s | %s | %d |" % (ms(percentile(exchanges, 50)),
                                                                            ms(percentile(exchanges, 99)), len(exchanges)))
    print()
    print("CPU over %.0f s with every belt running: bridge %.2f s, %.3f s per station-hour; "
          "direct host (library only) %.2f s, %.3f s per device-hour; ratio %.2f"
          % (window, bridge_cpu, bridge_per, host_cpu, host_per, bridge_per / host_per if host_per else float("inf")))
    print("bridge RSS MiB: start %.1f, middle %.1f, end %.1f, max %.1f (%d samples, 1 s apart)"
          % (steady[0][1], middle[1], steady[-1][1], max(r[1] for r in rss), len(rss)))
    if missed:
        print("missed (no figure within the time-out): %d, first %s" % (len(missed), missed[:5]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
