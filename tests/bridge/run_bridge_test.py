"""kavtel-bridge end to end: the real program against a real Mosquitto
broker, started by the test on a free loopback port from a generated
configuration and ended by its pid, and kavtel-sim treadmills on
pseudo-terminals (COM n mapped through KAVTEL_COM<n>). Subscribers and
publishers are paho-mqtt clients speaking MQTT 5 (fleet_harness.py).

usage: run_bridge_test.py KAVTEL_BRIDGE KAVTEL_SIM CASE
CASE: state | stop | bad_commands | will | sigterm | broker_restart | check
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fleet_harness import GENEROUS, ROOT, Site, check, fail, is_control, wait_until  # noqa: E402

BRIDGE, SIM, CASE = sys.argv[1], sys.argv[2], sys.argv[3]


READINGS = ("state", "speed_mps", "elevation", "acceleration", "distance", "duration_s", "heart_rate_bpm", "energy",
            "power_w", "fail_safe", "error", "weight_kg", "link", "version", "seq", "ts")


def case_state(site):
    site.start_bridge()
    watcher = site.client("watcher", [ROOT + "/#"])
    state = site.wait_identified(watcher, "belt1")
    for key in READINGS:
        check(key in state, "state lacks " + key + ": " + json.dumps(state))
    # The virtual treadmill's values at rest (tools/sim/README.md).
    check(state["state"] == "stop", "state " + str(state["state"]))
    check(state["version"] == "203", "version " + str(state["version"]))
    check(state["speed_mps"] == 0 and state["distance"] == 0, "a belt at rest: " + json.dumps(state))
    check(state["fail_safe"] == 10, "fail-safe " + str(state["fail_safe"]))
    check(state["heart_rate_bpm"] is not None, "no heart rate")
    # The treadmill's own weight answer (--weight 82) reaches the state once polled.
    wait_until(lambda: [s for s in watcher.json_on(ROOT + "/belt1/state") if s["weight_kg"] == 82],
               "the treadmill's weight, 82 kg")
    # Nothing changes on a belt at rest, yet the state keeps coming.
    first = state["seq"]
    later = wait_until(lambda: [s for s in watcher.json_on(ROOT + "/belt1/state") if s["seq"] >= first + 3],
                       "three more states of a belt at rest")
    seqs = [s["seq"] for s in watcher.json_on(ROOT + "/belt1/state")]
    check(seqs == sorted(seqs) and len(set(seqs)) == len(seqs), "sequence not increasing: %s" % seqs)
    stamps = [s["ts"] for s in watcher.json_on(ROOT + "/belt1/state")]
    check(stamps == sorted(stamps), "time stamps go backwards")
    check(later[-1]["ts"] > state["ts"], "time stamp did not move")
    check(watcher.received(ROOT + "/belt1/online")[-1].payload == b"true", "online is not true")
    # A newcomer gets the retained state and online at once.
    newcomer = site.client("newcomer", [ROOT + "/belt1/state", ROOT + "/belt1/online"])
    got = wait_until(lambda: newcomer.received(ROOT + "/belt1/state"), "the retained state")
    check(got[0].retain, "the first state a newcomer gets is not the retained one")
    online = wait_until(lambda: newcomer.received(ROOT + "/belt1/online"), "the retained online")
    check(online[0].retain and online[0].payload == b"true", "online: %r" % online[0].payload)
    events = watcher.json_on(ROOT + "/belt1/events")
    check(any(e["event"] == "identified" and e["version"] == "203" for e in events), "no identified event: %s" % events)


def case_stop(site):
    site.start_bridge()
    watcher = site.client("watcher", [ROOT + "/#"])
    site.wait_identified(watcher, "belt1")
    treadmill = site.treadmills["belt1"]
    before = len(treadmill.frames())
    panel = site.client("panel")
    reply_topic = ROOT + "/belt1/result/panel"
    panel.publish(ROOT + "/belt1/cmd", json.dumps({"id": "stop-1", "cmd": "stop"}), response_topic=reply_topic,
                  correlation=b"\x01corr")
    result = wait_until(lambda: watcher.received(reply_topic), "the stop's result on the response topic")[0]
    answer = json.loads(result.payload)
    check(answer["id"] == "stop-1" and answer["ok"] is True and answer["confirmed"] is True,
          "stop result: " + json.dumps(answer))
    check(getattr(result.properties, "CorrelationData", None) == b"\x01corr", "correlation data not returned")
    # The stop key, pressed and released, reached the wire.
    wait_until(lambda: ("U10", "SP") in treadmill.frames(before) and ("U10", "SR") in treadmill.frames(before),
               "the stop key on the wire")
    events = [e["event"] for e in watcher.json_on(ROOT + "/belt1/events") if e.get("id") == "stop-1"]
    check(events == ["stop_sent", "stop_confirmed"], "stop events: %s" % events)

    # The same id again: the first result, and the stop is not sent twice.
    presses = treadmill.frames().count(("U10", "SP"))
    panel.publish(ROOT + "/belt1/cmd", json.dumps({"id": "stop-1", "cmd": "stop"}))
    again = wait_until(lambda: watcher.json_on(ROOT + "/belt1/result"), "the repeated stop's result")[0]
    check(again == answer, "a repeated id got %s, the first result was %s" % (again, answer))
    # Control frames go out before polling: once ten polls went by, nothing is queued.
    mark = len(treadmill.frames())
    wait_until(lambda: len(treadmill.frames(mark)) >= 10, "ten more frames")
    check(treadmill.frames().count(("U10", "SP")) == presses, "a repeated stop id pressed the key again")
    # A new id is a new stop.
    panel.publish(ROOT + "/belt1/cmd", json.dumps({"id": "stop-2", "cmd": "stop"}))
    wait_until(lambda: treadmill.frames().count(("U10", "SP")) == presses + 1, "the second stop on the wire")


BAD_COMMANDS = [
    # (what, station, payload, error, id in the result)
    ("not JSON", "belt1", "{\"id\": \"b1\", \"cmd\": ", "malformed_json", None),
    ("an array", "belt1", "[1, 2]", "not_an_object", None),
    ("no id", "belt1", json.dumps({"cmd": "stop"}), "missing_field", None),
    ("id a number", "belt1", json.dumps({"id": 5, "cmd": "stop"}), "wrong_type", None),
    ("oversized", "belt1", json.dumps({"id": "b2", "cmd": "stop", "pad": "x" * 2000}), "payload_too_large", None),
    ("unknown field", "belt1", json.dumps({"id": "b3", "cmd": "stop", "now": True}), "unknown_field", "b3"),
    ("unknown command", "belt1", json.dumps({"id": "b4", "cmd": "reboot"}), "unknown_command", "b4"),
    ("speed as text", "belt1", json.dumps({"id": "b5", "cmd": "speed", "value": "fast"}), "wrong_type", "b5"),
    ("speed above the station's", "belt2", json.dumps({"id": "b6", "cmd": "speed", "value": 4.0}), "out_of_range",
     "b6"),
    ("elevation below the station's", "belt2", json.dumps({"id": "b7", "cmd": "elevation", "value": -2}),
     "out_of_range", "b7"),
    ("speed, remote control off", "belt1", json.dumps({"id": "b8", "cmd": "speed", "value": 1.0}),
     "remote_control_off", "b8"),
    ("key, remote control off", "belt1", json.dumps({"id": "b9", "cmd": "key", "key": "start", "pressed": True}),
     "remote_control_off", "b9"),
    ("speed, remote on but no lease yet", "belt2", json.dumps({"id": "b10", "cmd": "speed", "value": 1.0}),
     "not_supported", "b10"),
    ("unknown station", "belt9", json.dumps({"id": "b11", "cmd": "stop"}), "unknown_station", "b11"),
    # A refused id repeated with a good command: still its first result.
    ("repeated refused id", "belt1", json.dumps({"id": "b8", "cmd": "stop"}), "remote_control_off", "b8"),
]


def case_bad_commands(site):
    site.start_bridge()
    watcher = site.client("watcher", [ROOT + "/#"])
    for station in ("belt1", "belt2"):
        site.wait_identified(watcher, station)
    marks = {name: len(t.frames()) for name, t in site.treadmills.items()}
    sender = site.client("sender")
    for what, station, payload, error, id_ in BAD_COMMANDS:
        topic = "%s/%s/result" % (ROOT, station)
        seen = len(watcher.received(topic))
        sender.publish("%s/%s/cmd" % (ROOT, station), payload)
        result = json.loads(wait_until(lambda: watcher.received(topic)[seen:], what + ": a result")[0].payload)
        check(result["ok"] is False, what + ": taken: " + json.dumps(result))
        check(result["error"] == error, "%s: error %s, expected %s (%s)" % (what, result["error"], error,
                                                                            result.get("detail")))
        check(result["id"] == id_, "%s: id %s, expected %s" % (what, result["id"], id_))
        check(result.get("detail"), what + ": no detail")
    refused = [e for e in watcher.json_on(ROOT + "/belt1/events") if e["event"] == "command_refused"]
    check(len(refused) >= 10, "command_refused events: %d" % len(refused))
    # Control frames go out before polling: after ten polls of each belt
    # nothing a refused command could have queued is still to come.
    for name, t in site.treadmills.items():
        now = len(t.frames())
        wait_until(lambda: len(t.frames(now)) >= 10, name + ": ten more frames")
        controls = [f for f in t.frames(marks[name]) if is_control(f)]
        check(not controls, "%s: refused commands reached the wire: %s" % (name, controls))
    check(site.bridge.poll() is None, "the bridge ended")


def case_will(site):
    site.start_bridge()
    watcher = site.client("watcher", [ROOT + "/+/online"])
    wait_until(lambda: [m for m in watcher.received(ROOT + "/belt1/online") if m.payload == b"true"], "online true")
    os.kill(site.bridge.pid, signal.SIGKILL)
    site.bridge.wait(timeout=GENEROUS)
    wait_until(lambda: [m for m in watcher.received(ROOT + "/belt1/online") if m.payload == b"false"],
               "online false by the will")
    late = site.client("late", [ROOT + "/belt1/online"])
    retained = wait_until(lambda: late.received(ROOT + "/belt1/online"), "the retained online")
    check(retained[-1].payload == b"false" and retained[-1].retain, "retained online: %r" % retained[-1].payload)


def case_sigterm(site):
    site.start_bridge()
    watcher = site.client("watcher", [ROOT + "/#"])
    site.wait_identified(watcher, "belt1")
    os.kill(site.bridge.pid, signal.SIGTERM)
    code = site.bridge.wait(timeout=GENEROUS)
    check(code == 0, "exit code %d after SIGTERM\n%s" % (code, site.bridge_output()))
    wait_until(lambda: [m for m in watcher.received(ROOT + "/belt1/online") if m.payload == b"false"],
               "online false")
    closed = wait_until(lambda: [e for e in watcher.json_on(ROOT + "/belt1/events") if e["event"] == "port_closed"],
                        "the port_closed event")
    check(closed[0]["stop_confirmed"] is True, "close: " + json.dumps(closed[0]))
    check(watcher.json_on(ROOT + "/belt1/state")[-1]["link"] == "closed", "last state not closed")
    report = site.treadmills["belt1"].stop()
    check(" 0 violations" in report, "the treadmill saw protocol violations: " + report)


def case_broker_restart(site):
    site.start_bridge()
    watcher = site.client("watcher", [ROOT + "/#"])
    site.wait_identified(watcher, "belt1")
    site.clients.remove(watcher)
    watcher.close()
    treadmill = site.treadmills["belt1"]
    site.broker.stop()
    # The treadmill goes on being polled while the broker is away.
    mark = len(treadmill.frames())
    wait_until(lambda: len(treadmill.frames(mark)) >= 10, "polling without the broker")
    site.broker.start()  # the same port; no persistence: nothing retained survives
    back = site.client("back", [ROOT + "/#"])
    state = wait_until(lambda: [s for s in back.json_on(ROOT + "/belt1/state") if s["link"] == "ok"],
                       "the state after the broker came back")[0]
    wait_until(lambda: [m for m in back.received(ROOT + "/belt1/online") if m.payload == b"true"], "online again")
    check(state["version"] == "203", "state after restart: " + json.dumps(state))
    check(site.bridge.poll() is None, "the bridge ended")
    os.kill(site.bridge.pid, signal.SIGTERM)
    check(site.bridge.wait(timeout=GENEROUS) == 0, "exit code after SIGTERM")
    report = treadmill.stop()
    check(" 0 violations" in report, "the treadmill saw protocol violations: " + report)


def case_check(folder):
    def write(name, text, mode=0o600):
        path = os.path.join(folder, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)
        return path

    def run(path):
        r = subprocess.run([BRIDGE, "--check", path], capture_output=True, text=True, timeout=GENEROUS)
        return r.returncode, r.stdout + r.stderr

    good = write("good.conf", "[broker]\nsite = s\n[station a]\ncom = 3\n")
    code, out = run(good)
    check(code == 0, "good configuration: %d %s" % (code, out))
    bad = write("bad.conf", "[broker]\nsite = s\nhost = 192.0.2.7\n[station a]\ncom = 8\nspeed = 3\n")
    code, out = run(bad)
    check(code == 2, "bad configuration exit %d" % code)
    for line, says in ((3, "not on this machine"), (5, "'com' must be 1 to 6"), (6, "unknown key 'speed'")):
        check("%s:%d: " % (bad, line) in out and says in out, "no fault for line %d: %s" % (line, out))
    code, out = run(write("open.conf", "[broker]\nsite = s\n[station a]\ncom = 3\n", 0o644))
    check(code == 2 and "chmod 600" in out, "a configuration others can read: %d %s" % (code, out))
    code, out = run(write("plain.conf", "[broker]\nsite = s\nhost = 192.0.2.7\nplaintext = yes\n[station a]\ncom = 3\n"))
    check(code == 0 and "WITHOUT TLS" in out, "plaintext to a remote broker is not said: %d %s" % (code, out))
    # The bridge itself refuses to run on a faulty file, with the same words.
    r = subprocess.run([BRIDGE, bad], capture_output=True, text=True, timeout=GENEROUS)
    check(r.returncode == 2 and "not on this machine" in r.stderr, "the bridge ran a faulty file: " + r.stderr)


def main():
    if CASE == "check":
        folder = tempfile.mkdtemp(prefix="kavtel-bridge-check-")
        try:
            case_check(folder)
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        print("PASS")
        return
    cases = {
        "state": (case_state, [("belt1", 3, "")], ["--weight", "82"]),
        "stop": (case_stop, [("belt1", 3, "")]),
        "bad_commands": (case_bad_commands,
                         [("belt1", 3, ""),
                          ("belt2", 4, "remote_control = on\nmax_speed = 3\nmin_elevation = 0\nmax_elevation = 10\n")]),
        "will": (case_will, [("belt1", 3, "")]),
        "sigterm": (case_sigterm, [("belt1", 3, "")]),
        "broker_restart": (case_broker_restart, [("belt1", 3, "")]),
    }
    if CASE not in cases:
        fail("unknown case " + CASE)
    run, stations = cases[CASE][:2]
    site = Site(BRIDGE, SIM, stations, cases[CASE][2] if len(cases[CASE]) > 2 else ())
    passed = False
    try:
        run(site)
        passed = True
    finally:
        site.close()
        if not passed:
            print("bridge output:\n" + site.bridge_output())
        shutil.rmtree(site.folder, ignore_errors=True)
    print("PASS")


if __name__ == "__main__":
    main()
