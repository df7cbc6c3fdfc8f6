"""The fleet panel in a real browser: headless Chromium driven by Selenium
loads the page from Mosquitto's websockets listener (http_dir), against
kavtel-bridge and kavtel-sim treadmills, all started here on free loopback
ports and ended by their pids. Debian's /usr/bin/python3 with
python3-selenium and python3-paho-mqtt; chromium and chromium-driver.

usage: run_panel_test.py KAVTEL_BRIDGE KAVTEL_SIM PANEL_FOLDER EXAMPLES_FOLDER OUT_FOLDER CASE
CASE: live | stop | bridge_lost | disconnected | two_sites | layout | credentials
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bridge"))
from fleet_harness import GENEROUS, Broker, Client, Site, check, fail, free_port, new_folder, wait_until  # noqa: E402

try:
    from selenium import webdriver
    from selenium.common.exceptions import TimeoutException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("FAIL: selenium is missing (Debian: python3-selenium; scripts/setup.sh installs it)")
    sys.exit(1)

BRIDGE, SIM, PANEL, EXAMPLES, OUT, CASE = sys.argv[1:7]
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"

# Every tile as the page shows it, by station (its topic prefix).
TILES_JS = """
const out = {};
for (const t of document.querySelectorAll('.tile')) {
  const text = (s) => t.querySelector(s).textContent;
  out[t.dataset.station] = {
    kind: t.dataset.kind, badge: text('.badge'), kmh: text('.kmh'), mps: text('.mps'), hr: text('.hr'),
    elevation: text('.elevation'), distance: text('.distance'), time: text('.time'),
    link: text('.link'), age: text('.age'), result: text('.result'), result_kind: t.querySelector('.result').dataset.kind,
    values: [...t.querySelectorAll('.value')].map((v) => v.textContent).join(' ')
  };
}
return out;
"""


def serve_panel(folder):
    """A copy of the staged panel the broker (the mosquitto user) can read."""
    target = os.path.join(folder, "panel")
    shutil.copytree(PANEL, target)
    os.chmod(target, 0o755)
    for name in os.listdir(target):
        os.chmod(os.path.join(target, name), 0o644)
    return target


def websockets_listener(ws_port, http_dir):
    return "listener %d 127.0.0.1\nprotocol websockets\nhttp_dir %s\n" % (ws_port, http_dir)


class Browser:
    def __init__(self, folder, width=1920, height=1080):
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                    "--disable-component-update", "--disable-sync", "--no-first-run", "--disable-dev-shm-usage",
                    "--user-data-dir=" + os.path.join(folder, "chromium-profile"),
                    "--window-size=%d,%d" % (width, height)):
            options.add_argument(arg)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        self.driver = webdriver.Chrome(service=Service(CHROMEDRIVER, log_path=os.path.join(folder, "chromedriver.log")),
                                       options=options)
        self.resize(width, height)

    def resize(self, width, height):
        """The page's viewport exactly this size (a screen, a tablet)."""
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                    {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})
        size = self.driver.execute_script("return [innerWidth, innerHeight]")
        check(size == [width, height], "viewport %s, not %dx%d" % (size, width, height))

    def open_panel(self, ws_port, root="kavtel/+"):
        self.driver.get("http://127.0.0.1:%d/" % ws_port)
        self.log_in(ws_port, root)

    def log_in(self, ws_port, root="kavtel/+", username="", password="", connects=True):
        d = self.driver
        self.wait(lambda d: d.find_element(By.ID, "login").is_displayed(), "the broker form")
        # The form offers the broker that served the page.
        url = d.find_element(By.ID, "url").get_attribute("value")
        check(url == "ws://127.0.0.1:%d" % ws_port, "the form offers " + url)
        for field, value in (("root", root), ("username", username), ("password", password)):
            element = d.find_element(By.ID, field)
            element.clear()
            element.send_keys(value)
        d.find_element(By.ID, "connect").click()
        if connects:
            self.wait(lambda d: d.find_element(By.ID, "connection").get_attribute("data-kind") == "up",
                      "the page connected")
        check(not d.find_element(By.ID, "login").is_displayed(), "the broker form stays open after connecting")

    def wait(self, condition, what, timeout=GENEROUS):
        try:
            return WebDriverWait(self.driver, timeout, poll_frequency=0.1).until(condition)
        except TimeoutException:
            fail("timed out waiting for %s; the bar: '%s', '%s'; the tiles: %s" % (
                what, self.content("connection"), self.content("summary"), json.dumps(self.tiles(), indent=1)))

    def content(self, element_id):
        return self.driver.execute_script("return document.getElementById(arguments[0]).textContent", element_id)

    def tiles(self):
        return self.driver.execute_script(TILES_JS)

    def wait_tiles(self, predicate, what, timeout=GENEROUS):
        return self.wait(lambda d: (lambda t: t if predicate(t) else None)(self.tiles()), what, timeout)

    def click(self, selector):
        self.driver.find_element(By.CSS_SELECTOR, selector).click()

    def text(self, element_id):
        return self.driver.find_element(By.ID, element_id).text

    def close(self):
        try:
            for entry in self.driver.get_log("browser"):
                if entry.get("level") in ("SEVERE", "WARNING"):
                    print("browser: " + entry.get("message", ""))
        finally:
            self.driver.quit()


def live(tile, badge=None):
    return tile["kind"] == "live" and (badge is None or tile["badge"] == badge)


def shows_numbers(tile):
    return re.search(r"\d", tile["values"]) is not None


class Bench:
    """One site: broker with a websockets listener serving the panel, the
    bridge, treadmills, and the browser."""

    def __init__(self, stations, width=1920, height=1080):
        self.folder = new_folder("kavtel-panel-")
        http_dir = serve_panel(self.folder)
        self.ws_port = free_port()
        broker = Broker(self.folder, configure=lambda port: "listener %d 127.0.0.1\nallow_anonymous true\n" % port
                        + websockets_listener(self.ws_port, http_dir), other_ports=[self.ws_port])
        self.site = Site(BRIDGE, SIM, stations, broker=broker, folder=self.folder)
        self.browser = None
        self.browser = Browser(self.folder, width, height)

    def close(self):
        if self.browser:
            self.browser.close()
        self.site.close()


def key(station, site="gym"):
    return "kavtel/%s/%s" % (site, station)


def case_live(bench):
    site, browser = bench.site, bench.browser
    site.start_bridge()
    browser.open_panel(bench.ws_port)
    names = list(site.treadmills)
    # Every station gets a tile from the retained topics, at rest.
    browser.wait_tiles(lambda t: sorted(t) == sorted(key(n) for n in names) and
                       all(live(t[key(n)], "STOPPED") and t[key(n)]["kmh"] == "0.0" for n in names),
                       "a live tile per station, at rest")
    # Someone starts belt1 on its console: the bridge reads it from the wire,
    # the tile follows; the others stay as they were.
    site.treadmills["belt1"].press_start()
    tiles = browser.wait_tiles(lambda t: live(t[key("belt1")], "RUNNING") and t[key("belt1")]["mps"] == "2.50",
                               "belt1 running at 2.50 m/s on its tile")
    check(tiles[key("belt1")]["kmh"] == "9.0", "km/h beside m/s: " + json.dumps(tiles[key("belt1")]))
    check(all(tiles[key(n)]["badge"] == "STOPPED" and tiles[key(n)]["kmh"] == "0.0" for n in names[1:]),
          "other tiles changed: " + json.dumps(tiles))
    for name in names[1:]:
        site.treadmills[name].press_start()
    speeds = {"belt1": ("2.50", "9.0"), "belt2": ("3.00", "10.8"), "belt3": ("1.80", "6.5")}
    tiles = browser.wait_tiles(lambda t: all(live(t[key(n)], "RUNNING") and t[key(n)]["mps"] == speeds[n][0] and
                                             t[key(n)]["time"] >= "0:00:20" for n in names),
                               "every belt running at its speed for 20 s")
    for name in names:
        tile = tiles[key(name)]
        check(tile["kmh"] == speeds[name][1], name + ": km/h " + tile["kmh"])
        check(tile["link"] == "ok" and re.fullmatch(r"\d+", tile["hr"]) and int(tile["hr"]) > 70,
              name + ": heart rate and line: " + json.dumps(tile))
        check(re.fullmatch(r"\d+ m", tile["distance"]) and int(tile["distance"].split()[0]) > 0,
              name + ": distance " + tile["distance"])
        check(re.fullmatch(r"value \d\.\d s old", tile["age"]), name + ": age " + tile["age"])
    browser.wait(lambda d: "3 treadmills · 3 running" in browser.content("summary"), "the summary")
    os.makedirs(OUT, exist_ok=True)
    shot = os.path.join(OUT, "panel-running.png")
    check(browser.driver.save_screenshot(shot), "no screenshot")
    with open(shot, "rb") as f:
        check(f.read(8) == b"\x89PNG\r\n\x1a\n", "the screenshot is not a PNG")
    print("screenshot: " + shot)


def case_stop(bench):
    site, browser = bench.site, bench.browser
    site.start_bridge()
    browser.open_panel(bench.ws_port)
    for t in site.treadmills.values():
        t.press_start()
    browser.wait_tiles(lambda t: len(t) == 2 and all(live(v, "RUNNING") for v in t.values()), "both belts running")
    one, two = site.treadmills["belt1"], site.treadmills["belt2"]
    marks = (len(one.frames()), len(two.frames()))
    browser.click('.tile[data-station="%s"] .stop' % key("belt1"))
    tiles = browser.wait_tiles(lambda t: t[key("belt1")]["result_kind"] == "confirmed", "belt1's stop confirmed")
    check(tiles[key("belt1")]["result"].startswith("Confirmed"), "result: " + tiles[key("belt1")]["result"])
    check(("U10", "SP") in one.frames(marks[0]), "belt1's stop key is not on its wire")
    browser.wait_tiles(lambda t: t[key("belt1")]["badge"] == "STOPPED", "belt1 shown stopped")
    tiles = browser.tiles()
    check(tiles[key("belt2")]["badge"] == "RUNNING" and tiles[key("belt2")]["result_kind"] == "",
          "belt2 touched: " + json.dumps(tiles[key("belt2")]))
    check(("U10", "SP") not in two.settled_frames(marks[1]), "a stop reached belt2's wire")
    # STOP ALL: every belt, the one already standing too.
    marks = (len(one.frames()), len(two.frames()))
    browser.click("#stop-all")
    browser.wait(lambda d: d.find_element(By.ID, "stop-all-result").get_attribute("data-kind") == "confirmed",
                 "STOP ALL confirmed")
    check(browser.text("stop-all-result") == "All 2 confirmed", "STOP ALL says " + browser.text("stop-all-result"))
    check(("U10", "SP") in one.frames(marks[0]) and ("U10", "SP") in two.frames(marks[1]),
          "STOP ALL did not reach both wires")
    browser.wait_tiles(lambda t: all(v["badge"] == "STOPPED" and v["result_kind"] == "confirmed" for v in t.values()),
                       "both tiles stopped and confirmed")


def case_bridge_lost(bench):
    site, browser = bench.site, bench.browser
    site.start_bridge()
    browser.open_panel(bench.ws_port)
    site.treadmills["belt1"].press_start()
    both_live = lambda t: len(t) == 2 and all(live(v) and shows_numbers(v) for v in t.values())  # noqa: E731
    browser.wait_tiles(lambda t: both_live(t) and t[key("belt1")]["badge"] == "RUNNING", "both tiles live")
    # A bridge that hangs keeps its connection (online stays true) but sends
    # nothing: after 3 s its tiles say stale and show no numbers.
    os.kill(site.bridge.pid, signal.SIGSTOP)
    try:
        browser.wait_tiles(lambda t: all(v["kind"] == "stale" and v["badge"] == "STALE" and not shows_numbers(v)
                                         for v in t.values()), "stale tiles without numbers")
        # A page opened now finds the old states retained on the broker: they
        # count from when they were read, so they are stale from the start.
        browser.driver.refresh()
        first = browser.wait_tiles(lambda t: len(t) == 2, "the tiles after a reload")
        # (Offline is right too, should the broker give up on the hung bridge
        # by now: 1.5 times its 10 s keep-alive.)
        check(all(v["kind"] in ("stale", "offline") and not shows_numbers(v) for v in first.values()),
              "old retained states shown live: %s" % json.dumps(first))
    finally:
        os.kill(site.bridge.pid, signal.SIGCONT)
    browser.wait_tiles(both_live, "live again after the bridge went on")
    # Killed: the broker publishes the bridge's will, online false.
    site.kill_bridge()
    browser.wait_tiles(lambda t: all(v["kind"] == "offline" and v["badge"] == "OFFLINE" and not shows_numbers(v)
                                     for v in t.values()), "offline tiles without numbers")
    browser.wait(lambda d: "2 treadmills · 0 running · 2 not live" in browser.content("summary"),
                 "the summary counting them")
    site.start_bridge()
    browser.wait_tiles(both_live, "live again with the bridge back")


def case_disconnected(bench):
    site, browser = bench.site, bench.browser
    site.start_bridge()
    browser.open_panel(bench.ws_port)
    browser.wait_tiles(lambda t: len(t) == 2 and all(live(v) for v in t.values()), "both tiles live")
    site.broker.stop()
    browser.wait(lambda d: d.find_element(By.ID, "connection").get_attribute("data-kind") == "down",
                 "the page saying it is disconnected")
    check("DISCONNECTED" in browser.text("connection"), "connection: " + browser.text("connection"))
    browser.wait_tiles(lambda t: all(v["kind"] == "offline" and v["badge"] == "NO CONNECTION" and
                                     not shows_numbers(v) for v in t.values()), "tiles without numbers")
    # A stop that cannot reach the broker says so at once, not after a time-out.
    result = browser.driver.execute_script(
        "const t = document.querySelector('.tile[data-station=\"%s\"]'); t.querySelector('.stop').click();"
        "document.getElementById('stop-all').click();"
        "const r = t.querySelector('.result'); const a = document.getElementById('stop-all-result');"
        "return [r.dataset.kind, r.textContent, a.dataset.kind, a.textContent];" % key("belt1"))
    check(result[0] == "not-sent" and result[1].startswith("NOT SENT"), "tile stop while disconnected: %s" % result)
    check(result[2] == "not-sent" and result[3].startswith("NOT SENT"), "STOP ALL while disconnected: %s" % result)
    # The broker back on its ports: the page reconnects by itself.
    site.broker.start()
    browser.wait(lambda d: d.find_element(By.ID, "connection").get_attribute("data-kind") == "up", "reconnected")
    browser.wait_tiles(lambda t: len(t) == 2 and all(live(v) and shows_numbers(v) for v in t.values()),
                       "live tiles after reconnecting")
    browser.click('.tile[data-station="%s"] .stop' % key("belt2"))
    browser.wait_tiles(lambda t: t[key("belt2")]["result_kind"] == "confirmed", "a stop after reconnecting")


def fake_state(seq, running, speed):
    return json.dumps({"seq": seq, "ts": int(time.time() * 1000), "link": "ok", "version": "203",
                       "state": "run" if running else "stop", "speed_mps": speed if running else 0.0,
                       "elevation": 2.5 if running else 0.0, "acceleration": 4, "distance": 1234 + seq if running else 0,
                       "duration_s": 3599 + seq if running else 0, "heart_rate_bpm": 128 if running else 72,
                       "energy": 10.0, "power_w": 120.0, "fail_safe": 10, "error": 0, "weight_kg": 80})


def focused(driver):
    return driver.execute_script(
        "const e = document.activeElement; const s = getComputedStyle(e);"
        "return [e.id || (e.closest('.tile') ? e.closest('.tile').dataset.station : e.tagName), e.tagName,"
        " s.outlineStyle, s.outlineWidth];")


def case_layout(folder, ws_port, broker):
    """Twenty stations of four sites, as the bridges would publish them (a
    publisher of this test keeps their states fresh): one screen at
    1920x1080, a tablet in portrait, and the keyboard."""
    names = [("site-%d" % s, "belt%d" % b) for s in range(1, 5) for b in range(1, 6)]
    publisher = Client(broker.port, "fake-bridges", ["kavtel/+/+/cmd"])
    stop = threading.Event()

    def publish():
        seq = 0
        while not stop.is_set():
            seq += 1
            for i, (site, name) in enumerate(names):
                root = "kavtel/%s/%s" % (site, name)
                publisher.client.publish(root + "/state", fake_state(seq, i % 3 != 0, 1.5 + i * 0.1), retain=True)
                if seq == 1:
                    publisher.client.publish(root + "/online", "true", qos=1, retain=True)
            stop.wait(0.5)

    thread = threading.Thread(target=publish, daemon=True)
    thread.start()
    browser = Browser(folder, 1920, 1080)
    try:
        browser.open_panel(ws_port)
        keys = sorted(key(n, s) for s, n in names)
        browser.wait_tiles(lambda t: sorted(t) == keys and all(live(v) for v in t.values()), "twenty live tiles")
        d = browser.driver
        geometry = "return [document.documentElement.scrollWidth, document.documentElement.scrollHeight," \
                   " [...document.querySelectorAll('.tile')].map((t) => t.getBoundingClientRect())" \
                   ".map((r) => [r.left, r.top, r.right, r.bottom])]"
        os.makedirs(OUT, exist_ok=True)
        check(d.save_screenshot(os.path.join(OUT, "panel-20-stations.png")), "no screenshot")
        width, height, boxes = d.execute_script(geometry)
        check(width <= 1920, "wider than the screen: %d" % width)
        check(all(b[2] <= 1920 and b[3] <= 1080 for b in boxes), "not every tile is on the screen: %s" % boxes)
        check(len({round(b[0]) for b in boxes}) == 5, "not five columns: %s" % boxes)

        # The keyboard: STOP ALL first, then the broker button, then every
        # tile's STOP in the order of the tiles, each with a visible focus.
        # A reload in the same tab connects by itself: the broker is asked once.
        d.refresh()
        browser.wait_tiles(lambda t: sorted(t) == keys and all(live(v) for v in t.values()), "the tiles after a reload")
        check(not d.find_element(By.ID, "login").is_displayed(), "the broker form asked again after a reload")
        seen = []
        for _ in range(4):
            ActionChains(d).send_keys(Keys.TAB).perform()
            seen.append(focused(d))
        check([s[0] for s in seen] == ["stop-all", "change-broker", keys[0], keys[1]] and
              all(s[1] == "BUTTON" and s[2] == "solid" and s[3] == "4px" for s in seen),
              "the focus order and style: %s" % seen)
        ActionChains(d).send_keys(Keys.ENTER).perform()
        wait_until(lambda: [m for m in publisher.received(keys[1] + "/cmd") if json.loads(m.payload)["cmd"] == "stop"],
                   "the stop sent with the keyboard")
        check(not publisher.received(keys[0] + "/cmd"), "a stop went to the wrong station")

        # A tablet in portrait: two columns, nothing wider than the screen.
        browser.resize(768, 1024)
        check(d.save_screenshot(os.path.join(OUT, "panel-tablet.png")), "no screenshot")
        width, height, boxes = d.execute_script(geometry)
        check(width <= 768, "wider than the tablet: %d" % width)
        check(len({round(b[0]) for b in boxes}) == 2 and all(b[2] <= 768 for b in boxes),
              "not two columns on the tablet: %s" % boxes[:4])
    finally:
        stop.set()
        thread.join()
        publisher.close()
        browser.close()


def case_credentials():
    """A broker that wants a user and password, from the bridge and from the
    panel: a wrong password is said in the bar, the right one gets the tiles."""
    folder = new_folder("kavtel-panel-")
    http_dir = serve_panel(folder)
    ws_port = free_port()
    passwords = os.path.join(folder, "passwd")
    subprocess.run(["mosquitto_passwd", "-c", "-b", passwords, "bridge", "bridge-secret"], check=True)
    subprocess.run(["mosquitto_passwd", "-b", passwords, "supervisor", "panel-secret"], check=True)
    os.chmod(passwords, 0o644)
    credentials = os.path.join(folder, "bridge.credentials")
    with open(credentials, "w") as f:
        f.write("username = bridge\npassword = bridge-secret\n")
    os.chmod(credentials, 0o600)
    broker = Broker(folder, configure=lambda port: "listener %d 127.0.0.1\nallow_anonymous false\npassword_file %s\n"
                    % (port, passwords) + websockets_listener(ws_port, http_dir), other_ports=[ws_port])
    site = Site(BRIDGE, SIM, [("belt1", 3, "")], broker=broker, folder=folder,
                broker_extra="credentials = %s\n" % credentials)
    browser = None
    try:
        site.start_bridge()
        browser = Browser(folder)
        d = browser.driver
        d.get("http://127.0.0.1:%d/" % ws_port)
        browser.log_in(ws_port, username="supervisor", password="wrong", connects=False)
        refused = lambda d: re.search("Not authorized|Bad username or password",  # noqa: E731
                                      d.find_element(By.ID, "connection").text)
        browser.wait(refused, "the refusal in the bar")
        check(browser.tiles() == {}, "tiles without a login: %s" % browser.tiles())
        browser.click("#change-broker")
        check(d.find_element(By.ID, "username").get_attribute("value") == "supervisor" and
              d.find_element(By.ID, "password").get_attribute("value") == "",
              "the form should keep the user and never show the password again")
        browser.log_in(ws_port, username="supervisor", password="panel-secret")
        browser.wait_tiles(lambda t: list(t) == [key("belt1")] and live(t[key("belt1")]), "the tile after logging in")
        check(d.execute_script("return localStorage.length") == 0, "the page wrote to localStorage")
        stored = d.execute_script("return sessionStorage.getItem('kavtel-panel')")
        check(json.loads(stored)["username"] == "supervisor", "the tab's session keeps the login: %s" % stored)
    except SystemExit:
        print("bridge output:\n" + site.bridge_output())
        raise
    finally:
        if browser:
            browser.close()
        site.close()
        shutil.rmtree(folder, ignore_errors=True)


def example(name, replacements):
    with open(os.path.join(EXAMPLES, name)) as f:
        text = f.read()
    for old, new in replacements:
        check(old in text, "%s has no '%s'" % (name, old))
        text = text.replace(old, new)
    return text


def case_two_sites():
    """The example layout: two site brokers bridge their stations to a central
    broker, whose panel sees both sites and stops a site's treadmill."""
    central_folder = new_folder("kavtel-central-")
    http_dir = serve_panel(central_folder)
    ws_port = free_port()
    central = Broker(central_folder, configure=lambda port: example(
        "central.conf", [("listener 1883\n", "listener %d 127.0.0.1\n" % port),
                         ("listener 9001\n", "listener %d 127.0.0.1\n" % ws_port),
                         ("http_dir /usr/share/kavtel/panel\n", "http_dir %s\n" % http_dir)]),
        other_ports=[ws_port], name="central")
    sites, browser = [], None
    try:
        for letter in ("a", "b"):
            folder = new_folder("kavtel-site-%s-" % letter)
            broker = Broker(folder, configure=lambda port, letter=letter: example(
                "site-%s.conf" % letter, [("listener 1883\n", "listener %d 127.0.0.1\n" % port),
                                          ("central.example.net:1883\n", "127.0.0.1:%d\n" % central.port)]),
                name="site-" + letter)
            site = Site(BRIDGE, SIM, [("belt1", 3, "")], site="site-" + letter, broker=broker, folder=folder)
            sites.append(site)
            site.start_bridge()
        browser = Browser(central_folder)
        browser.open_panel(ws_port)
        a, b = key("belt1", "site-a"), key("belt1", "site-b")
        browser.wait_tiles(lambda t: sorted(t) == [a, b] and all(live(v, "STOPPED") for v in t.values()),
                           "a live tile of each site on the central panel")
        sites[1].treadmills["belt1"].press_start()
        browser.wait_tiles(lambda t: live(t[b], "RUNNING") and t[b]["kmh"] != "0.0", "site-b's belt running")
        marks = [len(s.treadmills["belt1"].frames()) for s in sites]
        browser.click('.tile[data-station="%s"] .stop' % b)
        browser.wait_tiles(lambda t: t[b]["result_kind"] == "confirmed", "site-b's stop confirmed on the central panel")
        check(("U10", "SP") in sites[1].treadmills["belt1"].frames(marks[1]), "the stop is not on site-b's wire")
        check(("U10", "SP") not in sites[0].treadmills["belt1"].settled_frames(marks[0]),
              "a stop reached site-a's wire")
        browser.wait_tiles(lambda t: t[b]["badge"] == "STOPPED", "site-b's belt shown stopped")
    except SystemExit:
        for s in sites:
            print("bridge %s:\n%s" % (s.site, s.bridge_output()))
        for name, folder in [("central", central_folder)] + [("site-" + s.site[-1], s.folder) for s in sites]:
            with open(os.path.join(folder, name + ".log")) as f:
                print("%s broker:\n%s" % (name, f.read()))
        raise
    finally:
        if browser:
            browser.close()
        for s in sites:
            s.close()
            shutil.rmtree(s.folder, ignore_errors=True)
        central.stop()
        shutil.rmtree(central_folder, ignore_errors=True)


def main():
    if CASE == "layout":
        folder = new_folder("kavtel-panel-")
        ws_port = free_port()
        http_dir = serve_panel(folder)
        broker = Broker(folder, configure=lambda port: "listener %d 127.0.0.1\nallow_anonymous true\n" % port
                        + websockets_listener(ws_port, http_dir), other_ports=[ws_port])
        try:
            case_layout(folder, ws_port, broker)
        finally:
            broker.stop()
            shutil.rmtree(folder, ignore_errors=True)
        print("PASS")
        return
    if CASE in ("two_sites", "credentials"):
        {"two_sites": case_two_sites, "credentials": case_credentials}[CASE]()
        print("PASS")
        return
    cases = {
        "live": (case_live, [("belt1", 3, "", ["--start-speed", "2.5"]), ("belt2", 4, "", ["--start-speed", "3.0"]),
                             ("belt3", 5, "", ["--start-speed", "1.8"])]),
        "stop": (case_stop, [("belt1", 3, "", ["--start-speed", "2.0"]), ("belt2", 4, "", ["--start-speed", "2.0"])]),
        "bridge_lost": (case_bridge_lost, [("belt1", 3, "", ["--start-speed", "2.0"]), ("belt2", 4, "")]),
        "disconnected": (case_disconnected, [("belt1", 3, ""), ("belt2", 4, "")]),
    }
    if CASE not in cases:
        fail("unknown case " + CASE)
    run, stations = cases[CASE]
    bench = Bench(stations)
    passed = False
    try:
        run(bench)
        passed = True
    finally:
        bench.close()
        if not passed:
            print("bridge output:\n" + bench.site.bridge_output())
        shutil.rmtree(bench.folder, ignore_errors=True)
    print("PASS")


if __name__ == "__main__":
    main()
