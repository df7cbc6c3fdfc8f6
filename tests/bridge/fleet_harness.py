"""What the tests against a real broker share: Mosquitto started from a
generated configuration on free loopback ports and ended by its pid,
kavtel-sim treadmills on pseudo-terminals (COM n mapped through
KAVTEL_COM<n>), kavtel-bridge, and paho-mqtt clients speaking MQTT 5.
Debian's /usr/bin/python3 with python3-paho-mqtt.
"""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

try:
    import paho.mqtt.client as mqtt
    from paho.mqtt.packettypes import PacketTypes
    from paho.mqtt.properties import Properties
except ImportError:
    print("FAIL: paho-mqtt is missing (Debian: python3-paho-mqtt; scripts/setup.sh installs it)")
    sys.exit(1)

GENEROUS = 60  # seconds; a correct run is far quicker
MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
SITE = "gym"
ROOT = "kavtel/" + SITE


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def check(condition, message):
    if not condition:
        fail(message)


def wait_until(predicate, what, timeout=GENEROUS):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    fail("timed out waiting for " + what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def plain_listener(port):
    return "listener %d 127.0.0.1\nallow_anonymous true\n" % port


class Broker:
    """Mosquitto on 127.0.0.1 from a generated configuration. Run as root it
    drops to the mosquitto user, so its folder and files are readable by all.

    configure(port) gives the configuration's listeners and the rest for the
    MQTT port chosen; other_ports are listeners of that text that must answer
    too before the broker counts as started (a websockets listener)."""

    def __init__(self, folder, port=None, configure=plain_listener, other_ports=(), name="mosquitto"):
        self.folder = folder
        self.port = port
        self.configure = configure
        self.other_ports = list(other_ports)
        self.name = name
        self.process = None
        self.start()

    def log_path(self):
        return os.path.join(self.folder, self.name + ".log")

    def start(self):
        for _ in range(5):
            port = self.port or free_port()
            conf = os.path.join(self.folder, self.name + ".conf")
            with open(conf, "w") as f:
                f.write("persistence false\nlog_dest stderr\n" + self.configure(port))
            os.chmod(conf, 0o644)
            log = open(self.log_path(), "a")
            self.process = subprocess.Popen([MOSQUITTO, "-c", conf], stdout=log, stderr=log)
            log.close()
            deadline = time.monotonic() + GENEROUS
            waiting = [port] + self.other_ports
            while waiting and time.monotonic() < deadline and self.process.poll() is None:
                try:
                    socket.create_connection(("127.0.0.1", waiting[0]), timeout=1).close()
                    waiting.pop(0)
                except OSError:
                    time.sleep(0.05)
            if not waiting:
                self.port = port
                return
            self.stop()
            if self.port or self.other_ports:  # fixed ports that would not come up: give up
                break
        fail("mosquitto did not start:\n" + open(self.log_path()).read())

    def stop(self):
        if self.process and self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(timeout=GENEROUS)
            except subprocess.TimeoutExpired:
                os.kill(self.process.pid, signal.SIGKILL)
                self.process.wait()


DEPLOY = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "tools", "bridge", "deploy")
EXAMPLE_SITE = "rehab-1"


class SecureBroker:
    """The deployment example's broker: mosquitto-site.conf with its paths
    pointed at a certificate authority, a broker certificate (openssl) and
    a password file (mosquitto_passwd) made here, and mosquitto-site.acl
    for this test's site. Mosquitto reads them as the mosquitto user."""

    USERS = ("bridge-" + SITE, "panel", "console")

    def __init__(self, folder):
        self.folder = folder
        self.ca = self._path("ca.pem")

        def openssl(*args):
            r = subprocess.run(["openssl"] + list(args), capture_output=True, text=True, timeout=GENEROUS)
            check(r.returncode == 0, "openssl %s: %s" % (args[0], r.stderr))

        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=kavtel test CA",
                "-keyout", self._path("ca.key"), "-out", self.ca)
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost", "-keyout", self._path("broker.key"),
                "-out", self._path("broker.csr"))
        with open(self._path("san.ext"), "w") as f:
            f.write("subjectAltName = IP:127.0.0.1, DNS:localhost\n")
        openssl("x509", "-req", "-in", self._path("broker.csr"), "-CA", self.ca, "-CAkey", self._path("ca.key"),
                "-CAcreateserial", "-days", "2", "-extfile", self._path("san.ext"), "-out", self._path("broker.pem"))
        self.passwords = {user: "pw-%s-%d" % (user, os.getpid()) for user in self.USERS}
        for i, user in enumerate(self.USERS):
            r = subprocess.run(["mosquitto_passwd"] + (["-c"] if i == 0 else []) +
                               ["-b", self._path("kavtel.passwd"), user, self.passwords[user]],
                               capture_output=True, text=True, timeout=GENEROUS)
            check(r.returncode == 0, "mosquitto_passwd: " + r.stdout + r.stderr)
        with open(os.path.join(DEPLOY, "mosquitto-site.acl")) as f:
            acl = f.read()
        check(EXAMPLE_SITE in acl, "the example ACL names no site " + EXAMPLE_SITE)
        with open(self._path("kavtel.acl"), "w") as f:
            f.write(acl.replace(EXAMPLE_SITE, SITE))
        for name in ("ca.pem", "broker.pem", "broker.key", "kavtel.passwd", "kavtel.acl"):
            os.chmod(self._path(name), 0o644)  # the mosquitto user reads them (a test's throwaway secrets)
        with open(self._path("credentials"), "w") as f:
            f.write("username = %s\npassword = %s\n" % (self.USERS[0], self.passwords[self.USERS[0]]))
        os.chmod(self._path("credentials"), 0o600)

    def _path(self, name):
        return os.path.join(self.folder, name)

    def config(self, port):
        """The example configuration for Broker(configure=...)."""
        with open(os.path.join(DEPLOY, "mosquitto-site.conf")) as f:
            text = f.read()
        replacements = {"listener 8883": "listener %d 127.0.0.1" % port,
                        "/etc/mosquitto/kavtel.passwd": self._path("kavtel.passwd"),
                        "/etc/mosquitto/kavtel.acl": self._path("kavtel.acl"),
                        "/etc/mosquitto/certs/ca.pem": self.ca,
                        "/etc/mosquitto/certs/broker.pem": self._path("broker.pem"),
                        "/etc/mosquitto/certs/broker.key": self._path("broker.key"),
                        "log_dest syslog": "log_dest stderr"}
        for old, new in replacements.items():
            check(old in text, "the example configuration lacks '%s'" % old)
            text = text.replace(old, new)
        return text

    def bridge_settings(self):
        return "ca_file = %s\ncredentials = %s\n" % (self.ca, self._path("credentials"))


class Treadmill:
    """kavtel-sim with --trace on a new pseudo-terminal, linked at folder/com<n>."""

    FRAME = re.compile(r"host > sim\s+<SOH>(\w\d\d)(.*?)\d\d<ETB>")

    def __init__(self, sim, folder, com, options=()):
        self.link = os.path.join(folder, "com%d" % com)
        self.process = subprocess.Popen([sim, "--link", self.link, "--trace"] + list(options), stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        check(self.process.stdout.readline().strip() != "", "kavtel-sim did not start")
        self.sent = []  # the host's frames as (code, payload), in order
        self.lock = threading.Lock()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            m = self.FRAME.search(line)
            if m:
                with self.lock:
                    self.sent.append((m.group(1), m.group(2)))

    def frames(self, start=0):
        """The host's frames as (code, payload), from the start-th on."""
        with self.lock:
            return self.sent[start:]

    def settled_frames(self, start, polls=10):
        """The frames from the start-th on, once `polls` more have come after
        this call. Control frames go out before polling, so nothing that was
        queued for the wire when this was called is still to come."""
        now = len(self.frames())
        wait_until(lambda: len(self.frames(now)) >= polls, "%d more frames" % polls)
        return self.frames(start)

    def press_start(self):
        """Someone on the belt presses start on the treadmill's own console."""
        os.kill(self.process.pid, signal.SIGUSR2)

    def stop(self):
        if getattr(self, "report", None) is None:
            if self.process.poll() is None:
                os.kill(self.process.pid, signal.SIGTERM)
            self.process.wait(timeout=GENEROUS)
            self.report = self.process.stderr.read()
        return self.report


def is_control(frame):
    """A frame that acts on the treadmill rather than asking a value."""
    code, payload = frame
    return code in ("S02", "E03", "U00", "U10") or (code == "A00" and payload != "")


class Client:
    """A paho MQTT 5 client that keeps every message it receives."""

    def __init__(self, port, name, topics=(), username=None, password=None, ca=None, refused=False):
        """refused: the broker is expected to refuse the connection."""
        self.messages = []
        self.lock = threading.Lock()
        self.client = mqtt.Client(client_id=name, protocol=mqtt.MQTTv5)
        self.client.on_message = self._on_message
        self.connected = threading.Event()
        self.reason = None

        def on_connect(client, userdata, flags, rc, properties=None):
            self.reason = getattr(rc, "value", rc)
            self.connected.set()

        self.client.on_connect = on_connect
        if username is not None:
            self.client.username_pw_set(username, password)
        if ca:
            self.client.tls_set(ca_certs=ca)
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        check(self.connected.wait(GENEROUS), "test client got no answer to its connect")
        if refused:
            return
        check(self.reason == 0, "%s: connect refused (reason %s)" % (name, self.reason))
        for topic in topics:
            result, mid = self.client.subscribe(topic, qos=1)
            check(result == mqtt.MQTT_ERR_SUCCESS, "subscribe " + topic)

    def _on_message(self, client, userdata, message):
        with self.lock:
            self.messages.append(message)

    def received(self, topic=None):
        with self.lock:
            return [m for m in self.messages if topic is None or m.topic == topic]

    def json_on(self, topic):
        return [json.loads(m.payload) for m in self.received(topic)]

    def publish(self, topic, payload, response_topic=None, correlation=None, retain=False):
        properties = None
        if response_topic or correlation:
            properties = Properties(PacketTypes.PUBLISH)
            if response_topic:
                properties.ResponseTopic = response_topic
            if correlation:
                properties.CorrelationData = correlation
        info = self.client.publish(topic, payload, qos=1, retain=retain, properties=properties)
        info.wait_for_publish(GENEROUS)

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()


def new_folder(prefix="kavtel-bridge-"):
    """A folder the broker, dropped to the mosquitto user, can read."""
    folder = tempfile.mkdtemp(prefix=prefix)
    os.chmod(folder, 0o755)
    return folder


class Site:
    """Treadmills and the bridge of one site, with a broker of their own
    unless one is given (then folder is the broker's)."""

    def __init__(self, bridge, sim, stations, sim_options=(), site=SITE, broker=None, folder=None, broker_extra="",
                 secure=False):
        """stations: list of (name, com, extra config lines[, kavtel-sim options]);
        broker_extra: more lines of the bridge's [broker] section; secure: the
        broker of the deployment example (TLS, passwords, the ACL)."""
        self.program = bridge
        self.site = site
        self.root = "kavtel/" + site
        self.folder = folder or new_folder()
        self.secure = SecureBroker(self.folder) if secure else None
        if secure:
            broker = Broker(self.folder, configure=self.secure.config)
            broker_extra += self.secure.bridge_settings()
        self.broker = broker or Broker(self.folder)
        self.treadmills = {}
        self.bridge = None
        self.clients = []
        config = "[broker]\nhost = 127.0.0.1\nport = %d\nsite = %s\n%s" % (self.broker.port, site, broker_extra)
        for station in stations:
            name, com, extra = station[:3]
            options = list(sim_options) + list(station[3] if len(station) > 3 else ())
            self.treadmills[name] = Treadmill(sim, self.folder, com, options)
            config += "\n[station %s]\ncom = %d\n%s" % (name, com, extra)
        self.config = os.path.join(self.folder, "bridge-%s.conf" % site)
        with open(self.config, "w") as f:
            f.write(config)
        os.chmod(self.config, 0o600)
        self.env = dict(os.environ)
        for station in stations:
            self.env["KAVTEL_COM%d" % station[1]] = self.treadmills[station[0]].link
        self.log_path = os.path.join(self.folder, "bridge-%s.log" % site)
        self.bridge_log = open(self.log_path, "w")

    def start_bridge(self):
        self.bridge = subprocess.Popen([self.program, self.config], env=self.env, stdout=self.bridge_log,
                                       stderr=subprocess.STDOUT)

    def kill_bridge(self):
        os.kill(self.bridge.pid, signal.SIGKILL)
        self.bridge.wait(timeout=GENEROUS)

    def client(self, name, topics=(), user=None, password=None, refused=False):
        """On the secure broker a client is the broker user of its name (its
        password unless one is given, none for user "")."""
        if self.secure and user is None:
            user = name
        if self.secure and password is None and user:
            password = self.secure.passwords.get(user)
        c = Client(self.broker.port, name, topics, username=user or None, password=password,
                   ca=self.secure.ca if self.secure else None, refused=refused)
        self.clients.append(c)
        return c


    def wait_identified(self, watcher, station):
        topic = "%s/%s/state" % (self.root, station)
        return wait_until(lambda: [s for s in watcher.json_on(topic) if s["link"] == "ok" and s["version"]],
                          station + " identified in state")[-1]

    def close(self):
        for c in self.clients:
            c.close()
        if self.bridge and self.bridge.poll() is None:
            os.kill(self.bridge.pid, signal.SIGTERM)
            try:
                self.bridge.wait(timeout=GENEROUS)
            except subprocess.TimeoutExpired:
                os.kill(self.bridge.pid, signal.SIGKILL)
                self.bridge.wait()
        reports = {name: t.stop() for name, t in self.treadmills.items()}
        self.broker.stop()
        self.bridge_log.close()
        return reports

    def bridge_output(self):
        with open(self.log_path) as f:
            return f.read()
