"""kavtelctl end to end: the real program against the real kavtel-sim on a
pseudo-terminal, mapped to COM3 through KAVTEL_COM3 in the child's
environment. Values are asserted from the recorded CSV, the plot from the
SVG it writes.

usage: run_kavtelctl_test.py KAVTELCTL KAVTEL_SIM CASE
CASE: workout | failures | demo | ports | linkloss | check | files
"""
import csv
import math
import os
import re
import signal
import struct
import subprocess
import queue
import sys
import tempfile
import threading
import time
import zlib
import xml.etree.ElementTree as ET

KAVTELCTL, SIM, CASE = sys.argv[1], sys.argv[2], sys.argv[3]
GENEROUS = 120  # seconds; a correct run ends long before


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def check(condition, message):
    if not condition:
        fail(message)


class Treadmill:
    """kavtel-sim on a new pseudo-terminal, linked at folder/com3."""

    def __init__(self, folder, options=()):
        self.link = os.path.join(folder, "com3")
        self.process = subprocess.Popen([SIM, "--link", self.link] + list(options), stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        # The first line is the device path, printed once the link is made.
        check(self.process.stdout.readline().strip() != "", "kavtel-sim did not start")

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        _, report = self.process.communicate(timeout=GENEROUS)
        return report


def ctl(args, env_extra=None, cwd=None, umask=None):
    env = dict(os.environ)
    env.update(env_extra or {})
    # The umask is set in the child alone: the test's own stays as it was.
    preexec = None if umask is None else (lambda: os.umask(umask))
    result = subprocess.run([KAVTELCTL] + args, env=env, cwd=cwd, capture_output=True, text=True,
                            timeout=GENEROUS, preexec_fn=preexec)
    return result.returncode, result.stdout, result.stderr


def write(folder, name, text):
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        f.write(text)
    return path


WORKOUT = """# a workout for the test
acceleration 7          # the steepest ramp
log on
speed 2.5
expect speed >= 2.45 within 30
elevation 3
expect elevation = 3 within 30
wait 1.5                # a row a second: at least one at the top
expect state = run
key stop
expect state = stop within 30
log off
"""


def workout(folder):
    treadmill = Treadmill(folder)
    try:
        script = write(folder, "workout.txt", WORKOUT)
        record = os.path.join(folder, "out.csv")
        code, out, err = ctl(["script", "--port", "3", script, "--record", record],
                             {"KAVTEL_COM3": treadmill.link})
    finally:
        report = treadmill.stop()
    check(code == 0, "script exit code %d\n%s\n%s" % (code, out, err))
    check("COM3 closed" in out, "no close reported:\n" + out)
    check(" 0 violations" in report, "the treadmill saw protocol violations: " + report)

    with open(record, newline="") as f:
        rows = list(csv.DictReader(f))
    check(len(rows) >= 3, "too few rows: %d" % len(rows))
    times = [float(r["time_s"]) for r in rows]
    check(times == sorted(times), "time goes backwards")
    # A row a second, the final row at the end aside.
    check(all(b - a > 0.5 for a, b in zip(times, times[1:-1])), "rows closer than a second: %s" % times)
    states = [r["state"] for r in rows]
    check("run" in states, "never ran: %s" % states)
    check(states[-1] == "stop", "did not end stopped: %s" % states)
    check(states[0] == "stop", "did not start stopped: %s" % states)
    check(max(float(r["speed_mps"]) for r in rows) >= 2.45, "speed never reached 2.5")
    check(any(abs(float(r["elevation"]) - 3.0) < 0.01 and r["state"] == "run" for r in rows),
          "no running row at elevation 3")
    check(int(rows[-1]["distance_m"]) > 0, "no distance covered")
    check(rows[-1]["protocol"] == "0" and "1" in [r["protocol"] for r in rows], "log not on, then off")
    check(all(r["version"] == "203" for r in rows), "version column")

    svg_path = os.path.join(folder, "out.svg")
    code, out, err = ctl(["plot", record, "-o", svg_path])
    check(code == 0, "plot exit code %d: %s" % (code, err))
    root = ET.parse(svg_path).getroot()  # well-formed, or it raises
    ns = "{http://www.w3.org/2000/svg}"
    check(root.tag == ns + "svg", "root is " + root.tag)
    groups = {g.get("id"): g for g in root.iter(ns + "g") if g.get("class") == "series"}
    check(sorted(groups) == ["elevation", "heartrate", "speed_mps"], "series: %s" % sorted(groups))
    titles = {"speed_mps": "Speed (m/s)", "elevation": "Elevation", "heartrate": "Heart rate (/min)"}
    for column, group in groups.items():
        texts = [t.text for t in group.iter(ns + "text")]
        check(titles[column] in texts, "%s lacks its title: %s" % (column, texts))
        lines = list(group.iter(ns + "polyline"))
        check(len(lines) == 1, column + ": one line")
        points = lines[0].get("points").split()
        check(len(points) == len(rows), "%s: %d points for %d rows" % (column, len(points), len(rows)))
        xs = [float(p.split(",")[0]) for p in points]
        check(xs == sorted(xs), column + ": points not in time order")
    # The speed line climbs: its highest point (smallest y) is not the first.
    speed_ys = [float(p.split(",")[1]) for p in groups["speed_mps"].find(ns + "polyline").get("points").split()]
    check(min(speed_ys) < speed_ys[0], "the speed line does not rise")
    check_plot_axes(svg_path, root, groups, rows, folder)


def is_round_step(step):
    """1, 2 or 5 times a power of ten."""
    exponent = math.floor(math.log10(step) + 1e-9)
    return any(abs(step - m * 10 ** exponent) < 1e-9 * 10 ** exponent for m in (1, 2, 5, 10))


def evenly_spaced(values):
    return all(abs((b - a) - (values[1] - values[0])) < 0.15 for a, b in zip(values, values[1:]))


def png_pixels(path):
    """Width, height and rows of (r, g, b[, a]) of an 8-bit RGB or RGBA PNG,
    as rsvg-convert writes them."""
    data = open(path, "rb").read()
    check(data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG")
    at, idat, header = 8, b"", None
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    width, height, depth, colour, _, _, interlace = header
    check(depth == 8 and colour in (2, 6) and interlace == 0, "PNG format %s" % (header,))
    bpp = 3 if colour == 2 else 4
    raw, stride, rows, previous = zlib.decompress(idat), width * bpp, [], bytearray(width * bpp)
    for r in range(height):
        kind, line = raw[r * (stride + 1)], bytearray(raw[r * (stride + 1) + 1:(r + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - bpp] if i >= bpp else 0
            up, up_left = previous[i], previous[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - up_left
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - up_left)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else up_left)) & 0xFF
        rows.append([tuple(line[i:i + bpp]) for i in range(0, stride, bpp)])
        previous = line
    return width, height, rows


def check_plot_axes(svg_path, root, groups, rows, folder):
    """Round ticks with grid lines, one time axis in min:s for every panel,
    the title clear of the first panel's label, the running phases shaded;
    and the SVG renders, the shading visible in the picture."""
    ns = "{http://www.w3.org/2000/svg}"
    times = [float(r["time_s"]) for r in rows]
    grid_x = None
    for column, group in groups.items():
        labels = [(float(t.text), float(t.get("y"))) for t in group.iter(ns + "text") if t.get("class") == "tick-y"]
        lines = sorted(float(l.get("y1")) for l in group.iter(ns + "line") if l.get("class") == "grid-y")
        check(len(labels) >= 3, "%s: %d value ticks" % (column, len(labels)))
        values = [v for v, _ in labels]
        step = values[1] - values[0]
        check(step > 0 and is_round_step(step) and all(abs((b - a) - step) < 1e-6 for a, b in zip(values, values[1:])),
              "%s: ticks not round and even: %s" % (column, values))
        data = [float(r[column]) for r in rows if r[column] != ""]
        check(not data or (values[0] <= min(data) and max(data) <= values[-1]),
              "%s: ticks %s do not cover %s" % (column, values, data))
        # A grid line at every tick, the label beside it; higher values higher up.
        check(sorted(y - 4 for _, y in labels) == lines, "%s: grid lines %s, labels %s" % (column, lines, labels))
        check([y for _, y in labels] == sorted((y for _, y in labels), reverse=True), column + ": axis upside down")
        xs = [float(l.get("x1")) for l in group.iter(ns + "line") if l.get("class") == "grid-x"]
        check(grid_x is None or xs == grid_x, "%s: its time grid differs from the first panel's" % column)
        grid_x = xs
    # The time axis: min:s labels at the grid lines, a round step, past the last row.
    ticks = [t for t in root.iter(ns + "text") if t.get("class") == "tick-x"]
    check(all(re.fullmatch(r"\d+:[0-5]\d", t.text) for t in ticks), "time labels: %s" % [t.text for t in ticks])
    seconds = [int(t.text.split(":")[0]) * 60 + int(t.text.split(":")[1]) for t in ticks]
    check(seconds[0] == 0 and seconds[-1] >= max(times) and evenly_spaced(seconds)
          and seconds[1] - seconds[0] in (1, 2, 5, 10, 15, 30, 60, 120, 300, 600),
          "time ticks %s for rows up to %.1f s" % (seconds, max(times)))
    check([float(t.get("x")) for t in ticks] == grid_x, "time labels off the grid lines")
    # Points sit where the time axis says: x interpolated from the ticks.
    scale = (grid_x[-1] - grid_x[0]) / seconds[-1]
    points = groups["speed_mps"].find(ns + "polyline").get("points").split()
    for t, point in zip(times, points):
        check(abs(grid_x[0] + t * scale - float(point.split(",")[0])) < 0.2, "point at %.1f s is off the axis" % t)
    # The title (16 px) ends above the first panel's label (12 px) begins.
    title = next(t for t in root.iter(ns + "text") if t.get("class") == "title")
    first = min(groups.values(), key=lambda g: float(next(g.iter(ns + "rect")).get("y")))
    label = next(t for t in first.iter(ns + "text") if t.get("class") == "label")
    check(float(title.get("y")) + 4 < float(label.get("y")) - 12, "the title overlaps the first label")
    # Shaded phases: every running row inside one, every row before the belt started outside.
    phases = [(float(r.get("x")), float(r.get("x")) + float(r.get("width")))
              for r in groups["speed_mps"].iter(ns + "rect") if r.get("class") == "running"]
    check(phases, "no running phase shaded")
    x_of = lambda t: grid_x[0] + t * scale
    for r in rows:
        inside = any(a - 0.2 <= x_of(float(r["time_s"])) <= b + 0.2 for a, b in phases)
        if r["state"] == "run":
            check(inside, "running row at %s s not shaded" % r["time_s"])
    first_run = next(float(r["time_s"]) for r in rows if r["state"] == "run")
    check(all(x_of(t) < phases[0][0] for t in times if t < first_run), "shading before the belt started")

    # Rendered: the picture has the SVG's size, the shading shows in it.
    png = os.path.join(folder, "out.png")
    rendered = subprocess.run(["rsvg-convert", "-o", png, svg_path], capture_output=True, text=True, timeout=GENEROUS)
    check(rendered.returncode == 0, "rsvg-convert: " + rendered.stderr)
    width, height, pixels = png_pixels(png)
    check((width, height) == (round(float(root.get("width"))), round(float(root.get("height")))),
          "rendered %dx%d" % (width, height))
    frame = next(groups["speed_mps"].iter(ns + "rect"))
    top, bottom = int(float(frame.get("y"))) + 2, int(float(frame.get("y")) + float(frame.get("height"))) - 2

    def column_between(a, b):
        """The pixels of a column inside the panel between x a and b, clear of the time grid."""
        x = next(int(a + (b - a) * f) for f in (0.5, 0.37, 0.63, 0.25, 0.75)
                 if all(abs(int(a + (b - a) * f) - g) > 3 for g in grid_x))
        return [pixels[y][x] for y in range(top, bottom)]

    # Grid lines and the speed line cross a column: most of its pixels are the background.
    band = column_between(*max(phases, key=lambda p: p[1] - p[0]))
    shaded = sum(1 for p in band if p[:3] == (0xDC, 0xEF, 0xDC))
    check(shaded > len(band) // 2, "the running phase is not shaded in the picture (%d of %d)" % (shaded, len(band)))
    before = column_between(grid_x[0], phases[0][0])
    check(sum(1 for p in before if p[:3] == (255, 255, 255)) > len(before) // 2, "shaded before the belt started")


def failures(folder):
    # A bad line is named with its number, before anything is opened.
    script = write(folder, "bad.txt", "wait 1\n\nspeed 2,5\n")
    code, _, err = ctl(["script", "--port", "3", script])
    check(code == 1 and "line 3" in err, "bad line: %d %s" % (code, err))
    # Usage errors.
    for args in (["monitor"], ["monitor", "--port", "65"], ["frobnicate"], ["plot", "x.csv"]):
        code, _, err = ctl(args)
        check(code == 1, "%s gave %d: %s" % (args, code, err))
    # A port that cannot be opened.
    code, _, err = ctl(["monitor", "--port", "3"], {"KAVTEL_COM3": os.path.join(folder, "missing")})
    check(code == 2 and "COM3 cannot be opened" in err, "missing port: %d %s" % (code, err))
    # A library that cannot be loaded.
    code, _, err = ctl(["monitor", "--port", "3", "--library", os.path.join(folder, "none.so")])
    check(code == 2 and "cannot load" in err, "missing library: %d %s" % (code, err))
    # Not a record.
    code, _, err = ctl(["plot", write(folder, "x.csv", "a,b\n1,2\n"), "-o", os.path.join(folder, "x.svg")])
    check(code == 1 and "time_s" in err, "bad record: %d %s" % (code, err))

    treadmill = Treadmill(folder)
    try:
        env = {"KAVTEL_COM3": treadmill.link}
        # COM ports above 6 are read and driven like the others.
        script = write(folder, "seventh.txt", "speed 1\nexpect speed >= 0.95 within 30\nkey stop\n")
        code, out, err = ctl(["script", "--port", "7", script], {"KAVTEL_COM7": treadmill.link})
        check(code == 0 and "COM7 closed" in out, "COM7: %d %s %s" % (code, out, err))
        # An expectation that cannot hold fails when its time is up.
        script = write(folder, "never.txt", "expect speed > 100 within 1\n")
        code, _, err = ctl(["script", "--port", "3", script], env)
        check(code == 5 and "line 1" in err and "not met" in err, "expect: %d %s" % (code, err))
        # A record file that cannot be written.
        script = write(folder, "ok.txt", "wait 0\n")
        code, _, err = ctl(["script", "--port", "3", script, "--record", os.path.join(folder, "no", "x.csv")], env)
        check(code == 2 and "record file" in err, "record: %d %s" % (code, err))
        # The cable pulled mid-workout: the library loses the controller and
        # the next command is refused with its code.
        script = write(folder, "unplugged.txt", "expect state = detecting within 60\nspeed 1\n")
        child = subprocess.Popen([KAVTELCTL, "script", "--port", "3", script], env=dict(os.environ, **env),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        for line in child.stdout:
            if line.startswith("line 1:"):
                break
        treadmill.process.send_signal(signal.SIGUSR1)
        out, err = child.communicate(timeout=GENEROUS)
        check(child.returncode == 4 and "line 2" in err and "(code -2)" in err,
              "unplugged: %d %s %s" % (child.returncode, out, err))
    finally:
        treadmill.stop()

    # A treadmill that never answers is not identified.
    silent = Treadmill(folder, ["--silent"])
    try:
        code, _, err = ctl(["monitor", "--port", "3", "--identify-timeout", "2"], {"KAVTEL_COM3": silent.link})
        check(code == 3 and "no controller identified" in err, "silent: %d %s" % (code, err))
    finally:
        silent.stop()


def demo(folder):
    code, out, err = ctl(["demo", "--record", os.path.join(folder, "demo.csv")], cwd=folder)
    check(code == 0, "demo exit code %d\n%s\n%s" % (code, out, err))
    for text in ("mapped to COM6", "frames from the library:", "frames refused with NAK:",
                 "protocol violations:           0", "protocol log: ", "demo finished"):
        check(text in out, "demo output lacks '%s':\n%s" % (text, out))
    log = out.split("protocol log: ")[1].split(" (")[0]
    check(os.path.isfile(log) and os.path.getsize(log) > 0, "no protocol log at " + log)
    with open(os.path.join(folder, "demo.csv"), newline="") as f:
        rows = list(csv.DictReader(f))
    check(max(float(r["speed_mps"]) for r in rows) >= 2.45, "the demo never reached 2.5 m/s")
    check(rows[-1]["state"] == "stop", "the demo did not end stopped")


def mode_of(path):
    return os.stat(path).st_mode & 0o7777


def files(folder):
    """The record and its plot hold the user's heart rate and weight: a file
    kavtelctl creates is its owner's alone whatever the umask; one it is told
    to overwrite keeps the mode its owner gave it. Modes come from stat():
    the test may run as root."""
    script = write(folder, "short.txt", "wait 0\n")
    treadmill = Treadmill(folder)
    try:
        env = {"KAVTEL_COM3": treadmill.link}
        for umask in (0o022, 0o000):
            for existing in (None, 0o644):
                what = "umask %03o, %s" % (umask, "new file" if existing is None else "existing %04o" % existing)
                record = os.path.join(folder, "record-%03o-%s.csv" % (umask, existing))
                svg = os.path.join(folder, "plot-%03o-%s.svg" % (umask, existing))
                if existing is not None:
                    for path in (record, svg):
                        write(folder, os.path.basename(path), "old contents " * 100)
                        os.chmod(path, existing)
                code, out, err = ctl(["script", "--port", "3", script, "--record", record], env, umask=umask)
                check(code == 0, "%s: script exit code %d\n%s\n%s" % (what, code, out, err))
                code, out, err = ctl(["plot", record, "-o", svg], umask=umask)
                check(code == 0, "%s: plot exit code %d: %s" % (what, code, err))
                expected = 0o600 if existing is None else existing
                found = (mode_of(record), mode_of(svg))
                print("%-24s record %04o  plot %04o" % (what, found[0], found[1]))
                check(found == (expected, expected), "%s: modes %04o %04o, expected %04o" %
                      (what, found[0], found[1], expected))
                # Overwritten, not appended to.
                with open(record, newline="") as f:
                    text = f.read()
                check(text.startswith("time_s,") and "old contents" not in text, "%s: record %r" % (what, text))
                ET.parse(svg)  # a whole picture, nothing of the old contents before or after it
    finally:
        treadmill.stop()


def ports(folder):
    treadmill = Treadmill(folder)
    try:
        env = {"KAVTEL_COM5": treadmill.link, "KAVTEL_COM4": os.path.join(folder, "unplugged")}
        code, out, err = ctl(["ports"], env)
        check(code == 0, "ports exit code %d: %s" % (code, err))
        rows = {line.split()[0]: line.split() for line in out.splitlines() if line.startswith("COM")}
        check(rows.get("COM5:", [])[1:4] == ["COM", "5", "yes"], "the mapped port is not listed:\n" + out)
        check(treadmill.link in rows.get("COM5:", []), "COM5 lacks its device path:\n" + out)
        check(rows.get("COM4:", [])[1:3] == ["-", "no"], "the missing port is not marked absent:\n" + out)
        code, _, err = ctl(["ports", "extra"])
        check(code == 1, "ports with an argument gave %d" % code)
    finally:
        treadmill.stop()


class Lines:
    """The lines a child writes, read on a thread of their own, so that a
    wait for one of them is bounded."""

    def __init__(self, stream):
        self.queue = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            self.queue.put(line)

    def wait_for(self, predicate, what):
        end = time.monotonic() + GENEROUS
        while time.monotonic() < end:
            try:
                line = self.queue.get(timeout=0.5)
            except queue.Empty:
                continue
            self.seen.append(line)
            if predicate(line):
                return line
        fail("no line %s in:\n%s" % (what, "".join(self.seen[-40:])))


def linkloss(folder):
    """The cable pulled and plugged in again under a running monitor: it
    shows the lost line, then the values again, without a restart."""
    treadmill = Treadmill(folder)
    record = os.path.join(folder, "link.csv")
    child = subprocess.Popen([KAVTELCTL, "monitor", "--port", "3", "--record", record],
                             env=dict(os.environ, KAVTEL_COM3=treadmill.link),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        lines = Lines(child.stdout)
        values = re.compile(r"^\[ *[0-9.]+ s\] stop speed 0\.00 ")
        lines.wait_for(values.match, "with the values of an identified controller")
        treadmill.process.send_signal(signal.SIGUSR1)  # pulled
        lines.wait_for(lambda line: "] line lost " in line, "saying the line is lost")
        treadmill.process.send_signal(signal.SIGUSR1)  # plugged in again
        lines.wait_for(values.match, "with the values again")
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=GENEROUS)
    finally:
        if child.poll() is None:
            child.kill()
        report = treadmill.stop()
    check(child.returncode == 0, "monitor exit code %d: %s" % (child.returncode, err))
    check(" 0 violations" in report, "the treadmill saw protocol violations: " + report)
    with open(record, newline="") as f:
        rows = list(csv.DictReader(f))
    links = [r["link"] for r in rows]
    check(links[0] == "ok" and links[-1] == "ok", "the line column does not begin and end ok: %s" % links)



LOGGED = """log on
speed 2.0
expect speed >= 1.95 within 30
key stop
expect state = stop within 30
log off
"""

# Lines of a log whose answer on line 7 is not acknowledged before the frame
# of line 8, and whose repeat on line 9 has no NAK or damaged answer before it.
VIOLATING = (
    "0\tOE: \tConnected\r\n"
    "2\tTD: \t<C><SOH>V0082<ETB>\r\n"
    "4\tRD: \tV0020331<ETB>\r\n"
    "4\tTD: \t<A><ACK>\r\n"
    "\r\n"
    "9\tTD: \t<I><SOH>S0180<ETB>\r\n"
    "11\tRD: \tS010.0070<ETB>\r\n"
    "12\tTD: \t<I><SOH>D0064<ETB>\r\n"
    "13\tOE: \t<repeat>| <SOH>D0064<ETB>\r\n"
)


def check_logs(folder):
    """A log the library wrote against a treadmill that NAKs and damages
    answers is clean; a made-up one shows its violations by line."""
    log_folder = os.path.join(os.path.dirname(KAVTELCTL), "Protocol")
    before = set(os.listdir(log_folder)) if os.path.isdir(log_folder) else set()
    treadmill = Treadmill(folder, ["--nak-every", "6", "--corrupt-every", "7"])
    try:
        script = write(folder, "logged.txt", LOGGED)
        code, out, err = ctl(["script", "--port", "2", script], {"KAVTEL_COM2": treadmill.link})
    finally:
        treadmill.stop()
    check(code == 0, "script exit code %d\n%s\n%s" % (code, out, err))
    new = sorted(n for n in set(os.listdir(log_folder)) - before if n.startswith("ProtocolCOM2-"))
    check(len(new) == 1, "expected one new log of COM2, found %s" % new)
    log = os.path.join(log_folder, new[0])
    code, out, err = ctl(["check", log])
    check(code == 0, "check of the library's own log gave %d:\n%s%s" % (code, out, err))
    counts = dict(re.findall(r"(NAKs|damaged answers|frames sent|stops sent) (\d+)", out))
    check(int(counts.get("NAKs", 0)) > 0 and int(counts.get("damaged answers", 0)) > 0,
          "the faults do not show in the summary:\n" + out)
    check(int(counts.get("stops sent", 0)) >= 1, "no stop counted:\n" + out)
    check("violations 0" in out, out)

    bad = write(folder, "bad.TXT", VIOLATING)
    code, out, err = ctl(["check", bad])
    check(code == 5, "check of a violating log gave %d:\n%s" % (code, out))
    found = re.findall(r"^line (\d+): ", out, re.M)
    check(found == ["8", "9"], "violations reported on lines %s:\n%s" % (found, out))

    for unreadable in (os.path.join(folder, "missing.TXT"), folder):
        code, out, err = ctl(["check", unreadable])
        check(code == 1, "check of %s gave %d" % (unreadable, code))
        check("cannot read" in err, err)


with tempfile.TemporaryDirectory() as folder:
    {"workout": workout, "failures": failures, "demo": demo, "ports": ports,
     "linkloss": linkloss, "check": check_logs, "files": files}[CASE](folder)
print("PASS")
