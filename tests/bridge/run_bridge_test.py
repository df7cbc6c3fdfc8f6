"""kavtel-bridge end to end: the real program against a real Mosquitto
broker, started by the test on a free loopback port from a generated
configuration and ended by its pid, and kavtel-sim treadmills on
pseudo-terminals (COM n mapped through KAVTEL_COM<n>). Subscribers and
publishers are paho-mqtt clients speaking MQTT 5 (fleet_harness.py).

usage: run_bridge_test.py KAVTEL_BRIDGE KAVTEL_SIM CASE
CASE: schema | unit | state | stop | bad_commands | lease | secure | will | sigterm | broker_restart | check
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fleet_harness import DEPLOY, GENEROUS, ROOT, Site, check, fail, is_control, wait_until  # noqa: E402

try:
    import jsonschema
except ImportError:
    print("FAIL: jsonschema is missing (Debian: python3-jsonschema; scripts/setup.sh installs it)")
    sys.exit(1)

BRIDGE, SIM, CASE = sys.argv[1], sys.argv[2], sys.argv[3]
SCHEMA_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "docs",
                           "fleet.schema.json")

def schema_validators():
    with open(SCHEMA_FILE) as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    validators = {}
    for kind in ("state", "event", "result", "command"):
        sub = dict(schema)
        sub.pop("oneOf")
        sub["$ref"] = "#/$defs/" + kind
        validators[kind] = jsonschema.Draft202012Validator(sub)
    return validators

VALIDATORS = schema_validators()

def schema_errors(kind, doc):
    return ["/".join(str(p) for p in e.absolute_path) + ": " + e.message for e in VALIDATORS[kind].iter_errors(doc)]

def check_published(client):
    """Every state, event and result the client received is valid against
    docs/fleet.schema.json; returns how many of each it checked."""
    counts = {"state": 0, "event": 0, "result": 0}
    for m in client.received():
        level = m.topic[len(ROOT) + 1:].split("/")
        kind = {"state": "state", "events": "event", "result": "result"}.get(level[1] if len(level) > 1 else "")
        if kind is None:
            continue
        doc = json.loads(m.payload)
        errors = schema_errors(kind, doc)
        check(not errors, "%s on %s is not valid against the schema: %s\n%s" % (kind, m.topic, errors,
                                                                                  json.dumps(doc)))
        counts[kind] += 1
    return counts

READINGS = ("state", "speed_mps", "elevation", "acceleration", "distance", "duration_s", "heart_rate_bpm", "energy",
            "power_w", "fail_safe", "error", "weight_kg", "link", "version", "seq", "ts")

def case_state(site):
    # Subscribed before the bridge starts: the identified event is not
    # retained, and a slow start of the watcher (a sanitizer build) would
    # miss it.
    watcher = site.client("watcher", [ROOT + "/#"])
    site.start_bridge()
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
    counts = check_published(watcher)
    check(counts["state"] >= 4 and counts["event"] >= 1, "states and events validated: %s" % counts)

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
    check(treadmill.settled_frames(0).count(("U10", "SP")) == presses, "a repeated stop id pressed the key again")
    # A new id is a new stop.
    panel.publish(ROOT + "/belt1/cmd", json.dumps({"id": "stop-2", "cmd": "stop"}))
    wait_until(lambda: treadmill.frames().count(("U10", "SP")) == presses + 1, "the second stop on the wire")
    counts = check_published(watcher)
    check(counts["result"] >= 2 and counts["event"] >= 2, "results and events validated: %s" % counts)

BAD_COMMANDS = [
    # (what, station or station/cmd/<client>, payload, error, id in the result)
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
    ("speed on the shared topic", "belt2", json.dumps({"id": "b10", "cmd": "speed", "value": 1.0}), "no_client",
     "b10"),
    ("speed, nobody holds the lease", "belt2/cmd/visitor", json.dumps({"id": "b12", "cmd": "speed", "value": 1.0}),
     "not_lease_holder", "b12"),
    ("lease, remote control off", "belt1/cmd/visitor", json.dumps({"id": "b13", "cmd": "lease"}),
     "remote_control_off", "b13"),
    ("release without the lease", "belt2/cmd/visitor", json.dumps({"id": "b14", "cmd": "release"}),
     "not_lease_holder", "b14"),
    ("past its validity", "belt1",
     json.dumps({"id": "b15", "cmd": "stop", "ts": int(time.time() * 1000) - 10000, "ttl_ms": 1000}), "expired",
     "b15"),
    ("validity without its time stamp", "belt1", json.dumps({"id": "b16", "cmd": "stop", "ttl_ms": 1000}),
     "missing_field", "b16"),
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
    for what, target, payload, error, id_ in BAD_COMMANDS:
        topic = "%s/%s/result" % (ROOT, target.split("/")[0])
        seen = len(watcher.received(topic))
        sender.publish("%s/%s" % (ROOT, target if "/" in target else target + "/cmd"), payload)
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
        controls = [f for f in t.settled_frames(marks[name]) if is_control(f)]
        check(not controls, "%s: refused commands reached the wire: %s" % (name, controls))
    check(site.bridge.poll() is None, "the bridge ended")
    counts = check_published(watcher)
    check(counts["result"] >= len(BAD_COMMANDS), "refusals validated: %s" % counts)

def case_lease(site):
    site.start_bridge()
    watcher = site.client("watcher", [ROOT + "/#"])
    for station in ("belt1", "belt2"):
        site.wait_identified(watcher, station)
    belt1, belt2 = site.treadmills["belt1"], site.treadmills["belt2"]
    console, intruder, panel = site.client("console"), site.client("intruder"), site.client("panel")
    counter = [0]

    def command(sender, station, body, client=None):
        """Publishes body (an id added) on the station's cmd or cmd/<client>; returns its result."""
        counter[0] += 1
        body = dict(body, id="%s-%d" % (client or "shared", counter[0]))
        check(not schema_errors("command", body), "the test's command is not valid: %s" % body)
        sender.publish("%s/%s/cmd%s" % (ROOT, station, "/" + client if client else ""), json.dumps(body))
        results = lambda: [r for r in watcher.json_on("%s/%s/result" % (ROOT, station)) if r["id"] == body["id"]]
        return wait_until(results, "the result of %s" % body)[0]

    def no_control_frames(treadmill, mark, what):
        controls = [f for f in treadmill.settled_frames(mark) if is_control(f)]
        check(not controls, "%s reached the wire: %s" % (what, controls))

    def state_of(station):
        return watcher.json_on("%s/%s/state" % (ROOT, station))[-1]

    def belt2_events(event):
        return [e for e in watcher.json_on(ROOT + "/belt2/events") if e["event"] == event]

    # Remote control off: no lease, no speed, nothing on the wire.
    mark1 = len(belt1.frames())
    for body in ({"cmd": "lease"}, {"cmd": "speed", "value": 1.0}):
        result = command(console, "belt1", body, "console")
        check(result["ok"] is False and result["error"] == "remote_control_off", "belt1: " + json.dumps(result))
    no_control_frames(belt1, mark1, "commands to a station with remote control off")

    # Remote control on: the console takes the lease and keeps it with a heartbeat.
    result = command(console, "belt2", {"cmd": "lease"}, "console")
    check(result["ok"] is True and result["holder"] == "console", "lease: " + json.dumps(result))
    heartbeat_off = threading.Event()

    def heartbeat():
        n = 0
        while not heartbeat_off.is_set():
            n += 1
            console.publish(ROOT + "/belt2/cmd/console", json.dumps({"id": "hb-%d" % n, "cmd": "lease"}))
            heartbeat_off.wait(1.0)  # the heartbeat's period, well inside the lease's 5 s

    beating = threading.Thread(target=heartbeat, daemon=True)
    beating.start()
    check(belt2_events("lease_taken")[0]["client"] == "console", "no lease_taken event")

    # Anyone else is refused, and nothing of theirs reaches the wire.
    mark2 = len(belt2.frames())
    for sender, client, body, error in ((intruder, "intruder", {"cmd": "lease"}, "lease_held"),
                                        (intruder, "intruder", {"cmd": "speed", "value": 1.0}, "not_lease_holder"),
                                        (intruder, "intruder", {"cmd": "key", "key": "start", "pressed": True},
                                         "not_lease_holder"),
                                        (intruder, None, {"cmd": "speed", "value": 1.0}, "no_client"),
                                        (console, "console", {"cmd": "speed", "value": 3.5}, "out_of_range")):
        result = command(sender, "belt2", body, client)
        check(result["ok"] is False and result["error"] == error, "%s %s: %s" % (client, body, json.dumps(result)))
    no_control_frames(belt2, mark2, "refused commands")

    def run_belt():
        mark = len(belt2.frames())
        result = command(console, "belt2", {"cmd": "speed", "value": 1.0}, "console")
        check(result["ok"] is True, "the holder's speed: " + json.dumps(result))
        wait_until(lambda: [f for f in belt2.frames(mark) if f[0] == "S02"], "the speed on the wire")
        wait_until(lambda: state_of("belt2")["state"] == "run" and state_of("belt2")["speed_mps"] > 0,
                   "the belt running")

    # Each of the holder's commands reaches the wire as its own frame.
    for body, frame in (({"cmd": "elevation", "value": 2.5}, ("E03", "2.5")),
                        ({"cmd": "acceleration", "value": 3}, ("A00", "3")),
                        ({"cmd": "key", "key": "up", "pressed": True}, ("U10", "UP")),
                        ({"cmd": "key", "key": "up", "pressed": False}, ("U10", "UR")),
                        ({"cmd": "key", "key": "minus", "pressed": True}, ("U10", "-P")),
                        ({"cmd": "key", "key": "minus", "pressed": False}, ("U10", "-R"))):
        mark = len(belt2.frames())
        result = command(console, "belt2", body, "console")
        check(result["ok"] is True, "the holder's %s: %s" % (body, json.dumps(result)))
        wait_until(lambda: frame in belt2.frames(mark), "%s on the wire for %s" % (frame, body))

    # The holder drives the belt; a stop from any client stops it, confirmed.
    run_belt()
    mark = len(belt2.frames())
    result = command(panel, "belt2", {"cmd": "stop"})
    check(result["ok"] is True and result["confirmed"] is True and result["already_stopped"] is False,
          "stop of a running belt: " + json.dumps(result))
    check(("U10", "SP") in belt2.frames(mark), "the stop key is not on the wire")
    check(state_of("belt2")["state"] == "stop", "after the stop: " + json.dumps(state_of("belt2")))

    # The heartbeat stops: the lease lapses and the bridge stops the running belt.
    run_belt()
    mark = len(belt2.frames())
    heartbeat_off.set()
    beating.join(GENEROUS)
    lapsed = wait_until(lambda: belt2_events("lease_lapsed"), "the lease lapsing")
    check(lapsed[0]["client"] == "console", "lease_lapsed: " + json.dumps(lapsed[0]))
    wait_until(lambda: ("U10", "SP") in belt2.frames(mark), "the lapse's stop on the wire")
    confirmed = wait_until(lambda: [e for e in belt2_events("stop_confirmed") if e.get("cause") == "lease_lapsed"],
                           "the lapse's stop confirmed")
    check(confirmed[0]["id"] is None, "the bridge's own stop carries no id: " + json.dumps(confirmed[0]))
    check(state_of("belt2")["state"] == "stop", "after the lapse: " + json.dumps(state_of("belt2")))
    result = command(console, "belt2", {"cmd": "speed", "value": 1.0}, "console")
    check(result["error"] == "not_lease_holder", "speed after the lapse: " + json.dumps(result))
    # Free again after the lapse; a release gives it up at once.
    check(command(intruder, "belt2", {"cmd": "lease"}, "intruder")["ok"] is True, "the lease after the lapse")
    check(command(intruder, "belt2", {"cmd": "release"}, "intruder")["ok"] is True, "the release")
    check([e for e in belt2_events("lease_released") if e["client"] == "intruder"], "no lease_released event")
    result = command(intruder, "belt2", {"cmd": "speed", "value": 1.0}, "intruder")
    check(result["error"] == "not_lease_holder", "speed after the release: " + json.dumps(result))
    counts = check_published(watcher)
    check(counts["result"] >= 10 and counts["event"] >= 8, "results and events validated: %s" % counts)

def case_secure(site):
    """The deployment example: TLS, a password for everyone, the ACL."""
    site.start_bridge()
    watcher = site.client("panel", [ROOT + "/#"])  # the panel reads the whole site
    state = site.wait_identified(watcher, "belt1")  # the bridge is in, over TLS with its password
    check(state["version"] == "203", "state: " + json.dumps(state))
    console = site.client("console")
    treadmill = site.treadmills["belt1"]

    def results(id_):
        return [r for r in watcher.json_on(ROOT + "/belt1/result") if r["id"] == id_]

    def send(sender, topic_tail, body):
        sender.publish("%s/belt1/%s" % (ROOT, topic_tail), json.dumps(body))

    send(console, "cmd/console", {"id": "c-lease", "cmd": "lease"})
    check(wait_until(lambda: results("c-lease"), "the console's lease")[0]["ok"] is True, "the console's lease")
    # The panel, on topics the ACL does not give it: its lease and even the
    # console's own client topic. The broker drops them.
    mark = len(treadmill.frames())
    send(watcher, "cmd/panel", {"id": "p-lease", "cmd": "lease"})
    send(watcher, "cmd/console", {"id": "p-speed", "cmd": "speed", "value": 1.0})
    # On the shared topic, where it may publish, only its stop is taken.
    send(watcher, "cmd", {"id": "p-speed-2", "cmd": "speed", "value": 1.0})
    send(watcher, "cmd", {"id": "p-stop", "cmd": "stop"})
    check(wait_until(lambda: results("p-speed-2"), "the panel's speed refused")[0]["error"] == "no_client",
          "the panel's speed on cmd: %s" % results("p-speed-2"))
    stop = wait_until(lambda: results("p-stop"), "the panel's stop")[0]
    check(stop["ok"] is True and stop["confirmed"] is True, "the panel's stop: " + json.dumps(stop))
    check(not results("p-lease") and not results("p-speed"), "the broker let the panel's commands through")
    check(not [f for f in treadmill.settled_frames(mark) if f[0] in ("S02", "E03") or f[0] == "A00" and f[1]],
          "the panel's speed reached the wire")
    # The console's speed takes the same way and reaches the wire: the
    # panel's were dropped for who sent them, not for where they went.
    send(console, "cmd/console", {"id": "c-lease-2", "cmd": "lease"})
    send(console, "cmd/console", {"id": "c-speed", "cmd": "speed", "value": 0.5})
    check(wait_until(lambda: results("c-speed"), "the console's speed")[0]["ok"] is True, "the console's speed")
    wait_until(lambda: [f for f in treadmill.frames(mark) if f[0] == "S02"], "the console's speed on the wire")
    # No password, a wrong password: refused by the broker (not authorized).
    for name, user, password in (("anonymous", "", None), ("guesser", "panel", "wrong")):
        c = site.client(name, user=user, password=password, refused=True)
        check(c.reason in (5, 134, 135), "%s: connect reason %s" % (name, c.reason))
    check_published(watcher)

def case_unit(folder):
    """The systemd unit passes systemd-analyze verify (with the built bridge
    in its ExecStart lines)."""
    with open(os.path.join(DEPLOY, "kavtel-bridge.service")) as f:
        unit = f.read()
    check("/usr/local/bin/kavtel-bridge" in unit, "the unit's ExecStart")
    path = os.path.join(folder, "kavtel-bridge.service")
    with open(path, "w") as f:
        f.write(unit.replace("/usr/local/bin/kavtel-bridge", os.path.abspath(BRIDGE)))
    r = subprocess.run(["systemd-analyze", "verify", path], capture_output=True, text=True, timeout=GENEROUS)
    check(r.returncode == 0 and not r.stderr.strip(), "systemd-analyze verify: %d %s" % (r.returncode, r.stderr))

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
    check_published(watcher)
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
    bad = write("bad.conf", "[broker]\nsite = s\nhost = 192.0.2.7\n[station a]\ncom = 80\nspeed = 3\n")
    code, out = run(bad)
    check(code == 2, "bad configuration exit %d" % code)
    for line, says in ((3, "not on this machine"), (5, "'com' must be 1 to 64"), (6, "unknown key 'speed'")):
        check("%s:%d: " % (bad, line) in out and says in out, "no fault for line %d: %s" % (line, out))
    code, out = run(write("open.conf", "[broker]\nsite = s\n[station a]\ncom = 3\n", 0o644))
    check(code == 2 and "chmod 600" in out, "a configuration others can read: %d %s" % (code, out))
    code, out = run(write("plain.conf", "[broker]\nsite = s\nhost = 192.0.2.7\nplaintext = yes\n[station a]\ncom = 3\n"))
    check(code == 0 and "WITHOUT TLS" in out, "plaintext to a remote broker is not said: %d %s" % (code, out))
    # The bridge itself refuses to run on a faulty file, with the same words.
    r = subprocess.run([BRIDGE, bad], capture_output=True, text=True, timeout=GENEROUS)
    check(r.returncode == 2 and "not on this machine" in r.stderr, "the bridge ran a faulty file: " + r.stderr)

# The schema refuses what is wrong in shape; a bridge refusal that depends on
# the station, the clock or the lease it cannot see.
SHAPE_FAULTS = ("not_an_object", "missing_field", "wrong_type", "bad_id", "unknown_field", "unknown_command")

GOOD_STATE = {"seq": 118, "ts": 1796958240429, "link": "ok", "version": "203", "state": "run", "speed_mps": 2.5,
              "elevation": 3.0, "acceleration": 7, "distance": 412, "duration_s": 161, "heart_rate_bpm": 98,
              "energy": 14.2, "power_w": 131.0, "fail_safe": 10, "error": 0, "weight_kg": 82}

SCHEMA_CASES = [
    # (what, kind, document, valid)
    ("a state", "state", GOOD_STATE, True),
    ("a state while identifying", "state", dict(GOOD_STATE, link="identifying", version=None, state="detecting",
                                                 speed_mps=None, weight_kg=None), True),
    ("a state without seq", "state", {k: v for k, v in GOOD_STATE.items() if k != "seq"}, False),
    ("a speed as text", "state", dict(GOOD_STATE, speed_mps="2.5"), False),
    ("an unknown link", "state", dict(GOOD_STATE, link="maybe"), False),
    ("a state with a stray field", "state", dict(GOOD_STATE, extra=1), False),
    ("stop confirmed", "result", {"id": "a", "cmd": "stop", "ok": True, "confirmed": True, "already_stopped": False},
     True),
    ("stop without confirmed", "result", {"id": "a", "cmd": "stop", "ok": True, "already_stopped": False}, False),
    ("a refusal", "result", {"id": None, "ok": False, "error": "malformed_json", "detail": "not JSON"}, True),
    ("a refusal with an unknown code", "result", {"id": "a", "ok": False, "error": "oops", "detail": "x"}, False),
    ("a lease", "result", {"id": "a", "cmd": "lease", "ok": True, "holder": "console", "term_s": 5}, True),
    ("a lapse's stop", "event", {"event": "stop_sent", "station": "b", "ts": 1, "id": None,
                                 "cause": "lease_lapsed"}, True),
    ("an unknown event", "event", {"event": "exploded", "station": "b", "ts": 1}, False),
    ("a refusal event without detail", "event", {"event": "command_refused", "station": "b", "ts": 1, "id": None,
                                                 "error": "bad_id"}, False),
    ("a key command", "command", {"id": "k", "cmd": "key", "key": "up", "pressed": False}, True),
    ("a command with its validity", "command", {"id": "k", "cmd": "stop", "ts": 5, "ttl_ms": 100}, True),
    ("a validity without ts", "command", {"id": "k", "cmd": "stop", "ttl_ms": 100}, False),
]

def case_schema():
    for what, kind, doc, valid in SCHEMA_CASES:
        errors = schema_errors(kind, doc)
        check(bool(errors) != valid, "%s: %s" % (what, errors or "accepted"))
    # Every bad command of the table that is wrong in shape is refused by the schema too.
    shaped = [(what, payload) for what, _, payload, error, _ in BAD_COMMANDS if error in SHAPE_FAULTS]
    check(len(shaped) >= 5, "bad commands of shape: %d" % len(shaped))
    for what, payload in shaped:
        check(schema_errors("command", json.loads(payload)), what + ": the schema takes it")

def main():
    if CASE == "schema":
        case_schema()
        print("PASS")
        return
    if CASE in ("check", "unit"):
        folder = tempfile.mkdtemp(prefix="kavtel-bridge-check-")
        try:
            (case_check if CASE == "check" else case_unit)(folder)
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        print("PASS")
        return
    cases = {
        # COM 7: a port above the first hosts' six is read like any other.
        "state": (case_state, [("belt1", 7, "")], ["--weight", "82"]),
        "stop": (case_stop, [("belt1", 3, "")]),
        "bad_commands": (case_bad_commands,
                         [("belt1", 3, ""),
                          ("belt2", 4, "remote_control = on\nmax_speed = 3\nmin_elevation = 0\nmax_elevation = 10\n")]),
        "lease": (case_lease,
                  [("belt1", 3, ""),
                   ("belt2", 4, "remote_control = on\nmax_speed = 3\nmin_elevation = 0\nmax_elevation = 10\n")]),
        "will": (case_will, [("belt1", 3, "")]),
        "secure": (case_secure, [("belt1", 3, "remote_control = on\nmax_speed = 3\nmin_elevation = 0\n"
                                             "max_elevation = 10\n")], (), True),
        "sigterm": (case_sigterm, [("belt1", 3, "")]),
        "broker_restart": (case_broker_restart, [("belt1", 3, "")]),
    }
    if CASE not in cases:
        fail("unknown case " + CASE)
    run, stations = cases[CASE][:2]
    site = Site(BRIDGE, SIM, stations, cases[CASE][2] if len(cases[CASE]) > 2 else (),
                secure=cases[CASE][3] if len(cases[CASE]) > 3 else False)
    passed = False
    try:
        run(site)
        passed = True
    finally:
        site.close()
        output = site.bridge_output()
        shutil.rmtree(site.folder, ignore_errors=True)
        if not passed:
            print("bridge output:\n" + output)
    # Under the sanitizer presets the bridge reports what it found on its output.
    check("Sanitizer" not in output, "the bridge's output has a sanitizer report:\n" + output)
    print("PASS")

if __name__ == "__main__":
    main()
