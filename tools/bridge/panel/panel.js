// The fleet panel: every station that kavtel-bridge publishes under the
// chosen root, found from the retained state and online topics, with a stop
// per station and for all of them. MQTT over WebSockets (mqtt.min.js, the
// browser bundle of the mqtt package, loaded before this file).
"use strict";

(() => {
  const STALE_MS = 3000;             // a value older than this is not shown as live
  const CHART_SPAN_MS = 5 * 60 * 1000;
  const CHART_STEP_MS = 1000;        // at most one chart point a second
  const STOP_ANSWER_MS = 15000;      // the bridge answers a stop within 10 s
  const TICK_MS = 250;
  const SETTINGS_KEY = "kavtel-panel";

  const STATE_TEXT = { run: "RUNNING", stop: "STOPPED", pause: "PAUSED", stopping: "STOPPING", detecting: "DETECTING" };
  const LINK_TEXT = { ok: "ok", identifying: "identifying", lost: "LINE LOST", closed: "PORT CLOSED" };

  const $ = (id) => document.getElementById(id);
  const stations = new Map();        // topic prefix <root…>/<station> -> station
  const pendingStops = new Map();    // command id -> { station, timer, done }
  const panelId = "panel-" + randomHex(8);
  let stopCounter = 0;
  let client = null;
  let settings = null;
  let lastError = "";                // why the broker last refused or dropped us

  function randomHex(length) {
    const bytes = new Uint8Array(length / 2);
    crypto.getRandomValues(bytes);
    return Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
  }

  // ---- settings: asked once, kept in this tab's sessionStorage only ----

  function loadSettings() {
    try {
      const s = JSON.parse(sessionStorage.getItem(SETTINGS_KEY));
      if (s && typeof s.url === "string" && typeof s.root === "string") return s;
    } catch (e) { /* nothing usable stored */ }
    return null;
  }

  function defaultUrl() {
    // Mosquitto serves this page and MQTT over WebSockets on the same listener.
    if (location.host) return (location.protocol === "https:" ? "wss://" : "ws://") + location.host;
    return "ws://127.0.0.1:9001";
  }

  function validRoot(root) {
    return root !== "" && !root.includes("#") && !root.startsWith("/") && !root.endsWith("/") &&
      root.split("/").every((level) => level === "+" || (level !== "" && !level.includes("+")));
  }

  function showLogin(message) {
    const s = settings || loadSettings() || {};
    $("url").value = s.url || defaultUrl();
    $("root").value = s.root || "kavtel/+";
    $("username").value = s.username || "";
    $("password").value = "";
    $("login-error").textContent = message || "";
    $("login").hidden = false;
    $("url").focus();
  }

  function onLogin(event) {
    event.preventDefault();
    const s = {
      url: $("url").value.trim(),
      root: $("root").value.trim(),
      username: $("username").value.trim(),
      password: $("password").value,
    };
    if (!/^wss?:\/\/[^\s]+$/.test(s.url)) {
      $("login-error").textContent = "The address starts with ws:// or wss://";
      return;
    }
    if (!validRoot(s.root)) {
      $("login-error").textContent = "Topics: levels separated by /, + for any site, no #";
      return;
    }
    sessionStorage.setItem(SETTINGS_KEY, JSON.stringify(s));
    $("login").hidden = true;
    connect(s);
  }

  // ---- the connection ----

  function setConnection(kind, text) {
    const el = $("connection");
    el.dataset.kind = kind;
    el.textContent = text;
  }

  function connect(s) {
    if (client) client.end(true);
    for (const st of stations.values()) st.tile.remove();
    stations.clear();
    settings = s;
    const options = {
      clientId: "kavtel-" + panelId,
      clean: true,
      keepalive: 10,
      connectTimeout: 5000,
      reconnectPeriod: 1000,
      protocolVersion: 4,
    };
    if (s.username) options.username = s.username;
    if (s.password) options.password = s.password;
    setConnection("down", "Connecting to " + s.url + " …");
    const c = mqtt.connect(s.url, options);
    client = c;
    c.on("connect", () => {
      if (c !== client) return;
      lastError = "";
      setConnection("up", "Connected to " + s.url);
      const topics = ["state", "online", "result"].map((kind) => s.root + "/+/" + kind);
      c.subscribe(topics, { qos: 1 }, (err, granted) => {
        if (err || (granted || []).some((g) => g.qos === 128)) {
          setConnection("down", "The broker refused the subscription to " + s.root + " (its ACL?)");
        }
      });
    });
    c.on("close", () => {
      if (c !== client) return;
      setConnection("down", "DISCONNECTED from " + s.url + (lastError ? " (" + lastError + ")" : "") +
        " — reconnecting…");
    });
    c.on("error", (err) => {
      if (c !== client) return;
      lastError = err.message;
      setConnection("down", "DISCONNECTED: " + err.message + " — reconnecting…");
    });
    c.on("message", (topic, payload, packet) => {
      if (c === client) onMessage(topic, payload.toString(), packet.retain);
    });
  }

  function connected() {
    return client !== null && client.connected;
  }

  // ---- messages ----

  function onMessage(topic, text, retained) {
    const levels = topic.split("/");
    const depth = settings.root.split("/").length;
    if (levels.length !== depth + 2) return;
    const prefix = levels.slice(0, depth + 1).join("/");
    const kind = levels[depth + 1];
    if (kind === "result") {
      onResult(text);
      return;
    }
    if (text === "") return;  // a cleared retained topic
    const st = stations.get(prefix) || addStation(prefix, levels[depth - 1], levels[depth]);
    if (kind === "online") {
      st.online = text === "true";
    } else if (kind === "state") {
      let state;
      try { state = JSON.parse(text); } catch (e) { return; }
      if (state === null || typeof state !== "object") return;
      const now = Date.now();
      st.state = state;
      // A retained state may be old: it counts from when it was read (never
      // from the future, whatever the bridge's clock says).
      st.receivedAt = retained ? Math.min(now, Number(state.ts) || 0) : now;
      if (!retained) addChartPoint(st, now, state);
    }
    renderStation(st, Date.now());
  }

  function addStation(prefix, site, name) {
    const tile = $("tile-template").content.firstElementChild.cloneNode(true);
    tile.dataset.station = prefix;
    tile.querySelector(".name").textContent = name;
    tile.querySelector(".site").textContent = site;
    const st = { prefix, site, name, tile, online: null, state: null, receivedAt: 0, points: [], stop: null, chartDrawn: 0 };
    tile.querySelector(".stop").addEventListener("click", () => sendStop(st, null));
    tile.querySelector(".stop").setAttribute("aria-label", "Stop " + name + " (" + site + ")");
    stations.set(prefix, st);
    // Keep the tiles in order of site and name.
    const key = (s) => s.site + "\u0000" + s.name;
    const collator = new Intl.Collator(undefined, { numeric: true });
    const after = [...stations.values()].filter((s) => s !== st && collator.compare(key(s), key(st)) > 0)
      .sort((a, b) => collator.compare(key(a), key(b)))[0];
    $("tiles").insertBefore(tile, after ? after.tile : null);
    $("empty").hidden = true;
    return st;
  }

  // ---- stop ----

  function setResult(el, kind, text) {
    el.dataset.kind = kind;
    el.textContent = text;
  }

  function sendStop(st, done) {
    const el = st.tile.querySelector(".result");
    const finish = (kind, text) => {
      setResult(el, kind, text);
      if (done) done(kind);
    };
    if (!connected()) {
      finish("not-sent", "NOT SENT: no connection to the broker");
      return;
    }
    const id = panelId + "-" + (++stopCounter);
    setResult(el, "sending", "Sending stop…");
    const pending = { st, finish, acked: false };
    pending.timer = setTimeout(() => {
      pendingStops.delete(id);
      finish("no-answer", pending.acked ? "NO ANSWER from the bridge" : "NOT SENT: the broker did not take it");
    }, STOP_ANSWER_MS);
    pendingStops.set(id, pending);
    client.publish(st.prefix + "/cmd", JSON.stringify({ id, cmd: "stop" }), { qos: 1 }, (err) => {
      if (!pendingStops.has(id)) return;
      if (err) {
        clearTimeout(pending.timer);
        pendingStops.delete(id);
        finish("not-sent", "NOT SENT: " + err.message);
        return;
      }
      pending.acked = true;
      setResult(el, "sent", "Sent, waiting for the treadmill…");
    });
  }

  function onResult(text) {
    let r;
    try { r = JSON.parse(text); } catch (e) { return; }
    if (!r || typeof r.id !== "string") return;
    const pending = pendingStops.get(r.id);
    if (!pending) return;  // another panel's command
    clearTimeout(pending.timer);
    pendingStops.delete(r.id);
    if (r.ok === false) {
      pending.finish("refused", "REFUSED: " + (r.detail || r.error || "no reason given"));
    } else if (r.confirmed === true) {
      pending.finish("confirmed", r.already_stopped ? "Confirmed (it was standing)" : "Confirmed: belt stopped");
    } else {
      pending.finish("not-confirmed", "NOT CONFIRMED" + (r.detail ? ": " + r.detail : ""));
    }
  }

  function stopAll() {
    const el = $("stop-all-result");
    const all = [...stations.values()];
    if (!connected()) {
      setResult(el, "not-sent", "NOT SENT: no connection to the broker");
      for (const st of all) sendStop(st, null);
      return;
    }
    if (all.length === 0) {
      setResult(el, "not-sent", "No treadmill known");
      return;
    }
    const counts = {};
    let open = all.length;
    setResult(el, "sending", "Stopping " + all.length + "…");
    const done = (kind) => {
      counts[kind] = (counts[kind] || 0) + 1;
      if (--open > 0) return;
      if (counts.confirmed === all.length) {
        setResult(el, "confirmed", "All " + all.length + " confirmed");
        return;
      }
      const words = { confirmed: "confirmed", "not-confirmed": "NOT confirmed", refused: "refused",
        "not-sent": "NOT sent", "no-answer": "no answer" };
      const parts = Object.keys(words).filter((k) => counts[k]).map((k) => counts[k] + " " + words[k]);
      setResult(el, "not-confirmed", parts.join(", "));
    };
    for (const st of all) sendStop(st, done);
  }

  // ---- drawing ----

  function statusOf(st, now) {
    if (!connected()) return { kind: "offline", text: "NO CONNECTION" };
    if (st.online === false) return { kind: "offline", text: "OFFLINE" };
    if (!st.state || now - st.receivedAt > STALE_MS) return { kind: "stale", text: "STALE" };
    if (st.state.link !== "ok") return { kind: "fault", text: LINK_TEXT[st.state.link] || String(st.state.link) };
    return { kind: "live", text: STATE_TEXT[st.state.state] || String(st.state.state) };
  }

  const num = (v) => typeof v === "number" && isFinite(v);

  function clock(seconds) {
    const s = Math.floor(seconds);
    const h = Math.floor(s / 3600);
    const m = Math.floor((s % 3600) / 60);
    return h + ":" + String(m).padStart(2, "0") + ":" + String(s % 60).padStart(2, "0");
  }

  function ageText(st, now) {
    if (!st.state) return "no value yet";
    const age = Math.max(0, now - st.receivedAt) / 1000;
    if (age < 60) return "value " + age.toFixed(age < 10 ? 1 : 0) + " s old";
    if (age < 3600) return "value " + Math.floor(age / 60) + " min old";
    return "value over an hour old";
  }

  function put(tile, selector, text) {
    const el = tile.querySelector(selector);
    if (el.textContent !== text) el.textContent = text;
  }

  function renderStation(st, now) {
    const tile = st.tile;
    const status = statusOf(st, now);
    tile.dataset.kind = status.kind;
    put(tile, ".badge", status.text);
    // Numbers only while they are live: an offline or stale tile shows none.
    const s = status.kind === "live" || status.kind === "fault" ? st.state : {};
    put(tile, ".kmh", num(s.speed_mps) ? (s.speed_mps * 3.6).toFixed(1) : "–");
    put(tile, ".mps", num(s.speed_mps) ? s.speed_mps.toFixed(2) : "–");
    put(tile, ".hr", num(s.heart_rate_bpm) ? String(Math.round(s.heart_rate_bpm)) : "–");
    put(tile, ".elevation", num(s.elevation) ? s.elevation.toFixed(1) : "–");
    put(tile, ".distance", num(s.distance) ? (s.distance >= 10000 ? (s.distance / 1000).toFixed(2) + " km" : s.distance + " m") : "–");
    put(tile, ".time", num(s.duration_s) ? clock(s.duration_s) : "–");
    put(tile, ".link", st.state && status.kind !== "offline" ? LINK_TEXT[st.state.link] || String(st.state.link) : "–");
    put(tile, ".age", ageText(st, now));
    if (now - st.chartDrawn >= CHART_STEP_MS) {
      st.chartDrawn = now;
      drawChart(st, now);
    }
  }

  function addChartPoint(st, now, state) {
    const point = { t: now, kmh: num(state.speed_mps) ? state.speed_mps * 3.6 : null,
      hr: num(state.heart_rate_bpm) ? state.heart_rate_bpm : null };
    const last = st.points[st.points.length - 1];
    if (last && now - last.t < CHART_STEP_MS) {
      last.kmh = point.kmh;
      last.hr = point.hr;
    } else {
      st.points.push(point);
    }
    while (st.points.length && st.points[0].t < now - CHART_SPAN_MS) st.points.shift();
  }

  function drawChart(st, now) {
    const canvas = st.tile.querySelector(".chart");
    const ratio = window.devicePixelRatio || 1;
    const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
    const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
    if (canvas.width !== width || canvas.height !== height) {
      canvas.width = width;
      canvas.height = height;
    }
    const g = canvas.getContext("2d");
    g.clearRect(0, 0, width, height);
    g.strokeStyle = "#8a8a8a";
    g.lineWidth = ratio;
    g.strokeRect(0.5 * ratio, 0.5 * ratio, width - ratio, height - ratio);
    const points = st.points;
    if (points.length === 0) return;
    const maxKmh = Math.max(10, ...points.map((p) => p.kmh || 0));
    const maxHr = Math.max(160, ...points.map((p) => p.hr || 0));
    const minHr = 40;
    const x = (t) => width - ((now - t) / CHART_SPAN_MS) * width;
    const line = (value, scale, colour, dash) => {
      g.strokeStyle = colour;
      g.lineWidth = 2.5 * ratio;
      g.setLineDash(dash.map((d) => d * ratio));
      g.beginPath();
      let previous = null;
      for (const p of points) {
        const v = value(p);
        if (v === null) { previous = null; continue; }
        const y = height - 2 * ratio - scale(v) * (height - 4 * ratio);
        // A gap in the values (the bridge was away) is a gap in the line.
        if (previous === null || p.t - previous.t > STALE_MS) g.moveTo(x(p.t), y);
        else g.lineTo(x(p.t), y);
        previous = p;
      }
      g.stroke();
      g.setLineDash([]);
    };
    line((p) => p.hr, (v) => Math.min(1, Math.max(0, (v - minHr) / (maxHr - minHr))), "#b00020", [6, 4]);
    line((p) => p.kmh, (v) => Math.min(1, v / maxKmh), "#003f9e", []);
  }

  function renderAll() {
    const now = Date.now();
    let running = 0;
    let notLive = 0;
    for (const st of stations.values()) {
      renderStation(st, now);
      const kind = st.tile.dataset.kind;
      if (kind !== "live") notLive++;
      else if (st.state.state === "run") running++;
    }
    const n = stations.size;
    $("empty").hidden = n > 0 || !settings;
    put(document.body, "#summary", n === 0 ? "" :
      n + (n === 1 ? " treadmill" : " treadmills") + " · " + running + " running" +
      (notLive ? " · " + notLive + " not live" : ""));
  }

  // ---- start ----

  document.addEventListener("DOMContentLoaded", () => {
    $("login").addEventListener("submit", onLogin);
    $("stop-all").addEventListener("click", stopAll);
    $("change-broker").addEventListener("click", () => showLogin(""));
    setInterval(renderAll, TICK_MS);
    if (typeof mqtt === "undefined") {
      setConnection("down", "mqtt.min.js is missing next to this page");
      return;
    }
    const s = loadSettings();
    if (s) connect(s);
    else showLogin("");
  });
})();
