"""kavtelctl end to end: the real program against the real kavtel-sim on a
pseudo-terminal, mapped to COM3 through KAVTEL_COM3 in the child's
environment. Values are asserted from the recorded CSV, the plot from the
SVG it writes.

usage: run_kavtelctl_test.py KAVTELCTL KAVTEL_SIM CASE
CASE: workout | failures | demo
"""
import csv
import os
import signal
import subprocess
import sys
import tempfile
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


def ctl(args, env_extra=None, cwd=None):
    env = dict(os.environ)
    env.update(env_extra or {})
    result = subprocess.run([KAVTELCTL] + args, env=env, cwd=cwd, capture_output=True, text=True,
                            timeout=GENEROUS)
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


def failures(folder):
    # A bad line is named with its number, before anything is opened.
    script = write(folder, "bad.txt", "wait 1\n\nspeed 2,5\n")
    code, _, err = ctl(["script", "--port", "3", script])
    check(code == 1 and "line 3" in err, "bad line: %d %s" % (code, err))
    # Usage errors.
    for args in (["monitor"], ["monitor", "--port", "9"], ["frobnicate"], ["plot", "x.csv"]):
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


with tempfile.TemporaryDirectory() as folder:
    {"workout": workout, "failures": failures, "demo": demo, "ports": ports}[CASE](folder)
print("PASS")
