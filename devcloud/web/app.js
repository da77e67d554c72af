// devcloud console: plain script, no build step. State lives on the server;
// the page asks /api and listens to /api/events (Server-Sent Events).
"use strict";

const $ = (id) => document.getElementById(id);
let devices = [];
let events = [];
let live = null;     // {stream, player}
const MAX_EVENTS = 500;

function selected() {
  const v = $("device").value;
  if (!v) return null;
  const [pk, dn] = v.split("/");
  return { pk, dn };
}

function devPath(d) {
  return "/api/devices/" + encodeURIComponent(d.pk) + "/" + encodeURIComponent(d.dn);
}

async function api(method, path, body) {
  const opts = { method, headers: { "X-Devcloud-Console": "1" } };
  if (body !== undefined) {
    opts.body = typeof body === "string" ? body : JSON.stringify(body);
    opts.headers["Content-Type"] = "application/json";
  }
  const r = await fetch(path, opts);
  let j = null;
  try { j = await r.json(); } catch (e) { j = { error: "HTTP " + r.status }; }
  if (!r.ok) throw new Error(j && j.error ? j.error : "HTTP " + r.status);
  return j;
}

function show(el, text, ok) {
  el.textContent = text;
  el.className = "result " + (ok ? "ok" : "error");
}

function fmtTime(t) {
  if (!t) return "never";
  const d = new Date(t * 1000);
  return d.toLocaleTimeString() + "." + String(d.getMilliseconds()).padStart(3, "0");
}

// ---- devices ------------------------------------------------------------------

async function loadDevices() {
  try {
    const j = await api("GET", "/api/devices");
    devices = j.devices;
    renderDevices();
  } catch (e) {
    $("status").textContent = "console: " + e.message;
  }
}

function renderDevices() {
  const sel = $("device");
  const keep = sel.value;
  const body = $("devices").tBodies[0];
  body.textContent = "";
  const names = [];
  for (const d of devices) {
    const name = d.pk + "/" + d.dn;
    names.push(name);
    const tr = body.insertRow();
    tr.dataset.device = name;
    tr.insertCell().textContent = name;
    const st = tr.insertCell();
    st.textContent = d.online ? "online" : "offline";
    st.className = "state " + (d.online ? "online" : "offline");
    tr.insertCell().textContent = fmtTime(d.last_seen);
    tr.insertCell().textContent = d.version || d.sdk_version || "";
    const pr = body.insertRow();
    const p = pr.insertCell();
    p.colSpan = 4;
    p.className = "props";
    p.textContent = Object.keys(d.properties).sort().map((k) => k + "=" + JSON.stringify(d.properties[k])).join("  ") || "{}";
  }
  const have = Array.from(sel.options).map((o) => o.value);
  if (have.join() !== names.join()) {
    sel.textContent = "";
    for (const n of names) sel.add(new Option(n, n));
    if (names.includes(keep)) sel.value = keep;
  }
}

$("set-form").addEventListener("submit", async (ev) => {
  ev.preventDefault();
  const d = selected();
  if (!d) return show($("set-result"), "no device", false);
  let params;
  try { params = JSON.parse($("set-json").value); } catch (e) {
    return show($("set-result"), "not JSON: " + e.message, false);
  }
  show($("set-result"), "waiting for the camera...", true);
  try {
    const reply = await api("POST", devPath(d) + "/set", params);
    const ok = reply.code === 200;
    show($("set-result"), (ok ? "reply " : "refused ") + JSON.stringify(reply), ok);
    loadDevices();
  } catch (e) {
    show($("set-result"), e.message, false);
  }
});

// ---- live ---------------------------------------------------------------------

$("watch-btn").addEventListener("click", async () => {
  const d = selected();
  if (!d) return show($("live-result"), "no device", false);
  $("watch-btn").disabled = true;
  show($("live-result"), "asking the camera to stream...", true);
  try {
    const j = await api("POST", devPath(d) + "/live", {});
    const video = $("live-video");
    const player = mpegts.createPlayer({ type: "flv", isLive: true, url: j.flv },
                                       { enableStashBuffer: false, liveBufferLatencyChasing: true });
    player.attachMediaElement(video);
    player.on(mpegts.Events.ERROR, (type, detail) => show($("live-result"), "player: " + type + " " + detail, false));
    player.load();
    video.play().catch(() => {});
    live = { stream: j.stream, player };
    $("stop-btn").disabled = false;
    show($("live-result"), "watching " + j.stream, true);
  } catch (e) {
    $("watch-btn").disabled = false;
    show($("live-result"), e.message, false);
  }
});

$("stop-btn").addEventListener("click", async () => {
  if (!live) return;
  const l = live;
  live = null;
  $("stop-btn").disabled = true;
  try { l.player.destroy(); } catch (e) { /* already gone */ }
  try {
    const j = await api("POST", "/api/live/stop/" + encodeURIComponent(l.stream));
    show($("live-result"), "stopped " + l.stream + (j.record ? " (recorded " + j.record + ")" : ""), true);
  } catch (e) {
    show($("live-result"), e.message, false);
  }
  $("watch-btn").disabled = false;
});

// ---- pictures and stored objects ------------------------------------------------

$("snapshot-btn").addEventListener("click", async () => {
  const d = selected();
  if (!d) return show($("snapshot-result"), "no device", false);
  $("snapshot-btn").disabled = true;
  show($("snapshot-result"), "waiting for the picture...", true);
  try {
    const info = await api("POST", devPath(d) + "/snapshot");
    $("snapshot-img").src = "/object/" + info.key;
    $("snapshot-img").dataset.key = info.key;
    show($("snapshot-result"), info.key + " " + info.size + " bytes md5 " + info.md5, true);
    loadObjects();
  } catch (e) {
    show($("snapshot-result"), e.message, false);
  }
  $("snapshot-btn").disabled = false;
});

async function loadObjects() {
  const d = selected();
  if (!d) return;
  let j;
  try { j = await api("GET", devPath(d) + "/objects"); } catch (e) { return; }
  const gallery = $("gallery");
  const recs = $("recordings");
  gallery.textContent = "";
  recs.textContent = "";
  for (const o of j.objects) {
    if (o.key.endsWith(".jpg")) {
      const img = document.createElement("img");
      img.src = "/object/" + o.key;
      img.title = o.key + (o.key.includes("/alarm/") ? " (alarm)" : "");
      img.addEventListener("click", () => { $("snapshot-img").src = img.src; });
      gallery.appendChild(img);
    } else if (o.key.endsWith(".flv")) {
      const li = document.createElement("li");
      li.textContent = o.key + " (" + o.size + " bytes)";
      li.dataset.key = o.key;
      li.addEventListener("click", () => {
        const v = $("record-video");
        v.src = "/object/" + o.key + "?format=mp4";
        v.play().catch(() => {});
      });
      recs.appendChild(li);
    }
  }
}
$("objects-btn").addEventListener("click", loadObjects);
$("device").addEventListener("change", () => { loadObjects(); renderEvents(); });

// ---- playback -----------------------------------------------------------------

let vod = null;   // {token, player}
$("vod-day").valueAsDate = new Date();

function vodButtons(on) {
  for (const id of ["vod-pause", "vod-resume", "vod-seek", "vod-stop"]) $(id).disabled = !on;
}

$("records-btn").addEventListener("click", async () => {
  const d = selected();
  if (!d) return show($("vod-result"), "no device", false);
  const day = $("vod-day").valueAsDate || new Date();
  const begin = Math.floor(Date.UTC(day.getUTCFullYear(), day.getUTCMonth(), day.getUTCDate()) / 1000);
  show($("vod-result"), "asking the camera...", true);
  try {
    const j = await api("GET", devPath(d) + "/records?begin=" + begin + "&end=" + (begin + 86400));
    const ul = $("records");
    ul.textContent = "";
    for (const r of j.records) {
      const li = document.createElement("li");
      li.textContent = r.name + " " + (r.BeginTime || "") + ".." + (r.EndTime || "") + " " + (r.FileSize || "");
      li.dataset.name = r.name;
      li.addEventListener("click", () => playRecord(d, r.name));
      ul.appendChild(li);
    }
    show($("vod-result"), j.records.length + " records", true);
  } catch (e) {
    show($("vod-result"), e.message, false);
  }
});

function endVod() {
  if (vod) { try { vod.player.destroy(); } catch (e) { /* gone */ } }
  vod = null;
  vodButtons(false);
}

async function playRecord(d, name) {
  endVod();
  show($("vod-result"), "asking the camera to play " + name + "...", true);
  try {
    const j = await api("POST", devPath(d) + "/vod", { file: name, speed: Number($("vod-speed").value) });
    const video = $("vod-video");
    const player = mpegts.createPlayer({ type: "flv", isLive: true, url: j.flv }, { enableStashBuffer: false });
    player.attachMediaElement(video);
    player.on(mpegts.Events.ERROR, (type, detail) => show($("vod-result"), "player: " + type + " " + detail, false));
    player.load();
    video.play().catch(() => {});
    vod = { token: j.token, player };
    vodButtons(true);
    show($("vod-result"), "playing " + name, true);
  } catch (e) {
    show($("vod-result"), e.message, false);
  }
}

async function vodControl(action, body) {
  if (!vod) return;
  try {
    await api("POST", "/api/vod/" + vod.token + "/" + action, body || {});
    show($("vod-result"), action + " sent", true);
    if (action === "stop") endVod();
  } catch (e) {
    show($("vod-result"), action + ": " + e.message, false);
  }
}
$("vod-pause").addEventListener("click", () => vodControl("pause"));
$("vod-resume").addEventListener("click", () => vodControl("unpause"));
$("vod-seek").addEventListener("click", () => vodControl("seek", { position: Number($("vod-pos").value) }));
$("vod-stop").addEventListener("click", () => vodControl("stop"));

// ---- talk ---------------------------------------------------------------------

$("talk-btn").addEventListener("click", async () => {
  const d = selected();
  const f = $("talk-file").files[0];
  if (!d || !f) return show($("talk-result"), "pick a device and a WAV file", false);
  $("talk-btn").disabled = true;
  show($("talk-result"), "talking...", true);
  try {
    const r = await fetch(devPath(d) + "/talk", { method: "POST", body: f, headers: { "X-Devcloud-Console": "1" } });
    const j = await r.json();
    if (!r.ok) throw new Error(j.error || "HTTP " + r.status);
    $("talk-audio").src = j.uplink;
    show($("talk-result"), "sent " + j.sent_seconds + " s; the camera's audio is below" +
         (j.problems ? " (relay: " + JSON.stringify(j.problems) + ")" : ""), !j.problems);
  } catch (e) {
    show($("talk-result"), e.message, false);
  }
  $("talk-btn").disabled = false;
});

// ---- firmware -----------------------------------------------------------------

$("fw-btn").addEventListener("click", async () => {
  const d = selected();
  const f = $("fw-file").files[0];
  if (!d || !f) return show($("fw-result"), "pick a device and a file", false);
  $("fw-progress").value = 0;
  $("fw-step").textContent = "";
  try {
    const r = await fetch(devPath(d) + "/firmware?version=" + encodeURIComponent($("fw-version").value),
                          { method: "POST", body: f, headers: { "X-Devcloud-Console": "1" } });
    const j = await r.json();
    if (!r.ok) throw new Error(j.error || "HTTP " + r.status);
    show($("fw-result"), "announced " + j.version + " (" + j.size + " bytes)", true);
  } catch (e) {
    show($("fw-result"), e.message, false);
  }
});

const FW_FAIL = { "-1": "upgrade failed", "-2": "download failed", "-3": "verification failed", "-4": "write failed" };
function onFirmwareProgress(e) {
  const d = selected();
  if (!d || e.pk !== d.pk || e.dn !== d.dn) return;
  const p = (e.payload && e.payload.params) || {};
  const step = Number(p.step);
  if (isNaN(step)) return;
  if (step >= 0) {
    $("fw-progress").value = step;
    $("fw-step").textContent = step + "%" + (p.desc ? " " + p.desc : "");
    $("fw-step").className = "";
  } else {
    $("fw-step").textContent = (FW_FAIL[String(step)] || "failed " + step) + (p.desc ? ": " + p.desc : "");
    $("fw-step").className = "error";
  }
}

// ---- events -------------------------------------------------------------------

function describe(e) {
  const who = e.pk ? e.pk + "/" + e.dn : (e.device || "");
  let what;
  if (e.source === "mqtt") {
    what = e.direction + " " + e.kind + (e.name ? " " + e.name : "") + " " +
      JSON.stringify(e.payload !== undefined ? e.payload : e.text);
    if (e.problems && e.problems.length) what += " !! " + e.problems.join("; ");
  } else if (e.source === "relay" || e.source === "store") {
    const rest = Object.assign({}, e);
    for (const k of ["seq", "time", "source", "event", "relay_event"]) delete rest[k];
    what = e.source + " " + e.event + " " + JSON.stringify(rest);
  } else {
    what = e.source + " " + (e.kind || "") + " " + (e.text || e.error || "");
  }
  return fmtTime(e.time) + " " + who + " " + what;
}

function isError(e) {
  return !!(e.error || (e.problems && e.problems.length) || e.event === "refused" ||
            e.event === "check_failed" || (e.payload && typeof e.payload.code === "number" && e.payload.code !== 200));
}

function matchesFilter(e) {
  if (!$("events-mine").checked) return true;
  const d = selected();
  if (!d) return true;
  if (e.pk) return e.pk === d.pk && e.dn === d.dn;
  if (e.device) return e.device === d.pk + "/" + d.dn;
  return false;
}

function eventItem(e) {
  const li = document.createElement("li");
  li.textContent = describe(e);
  li.dataset.source = e.source || "";
  if (isError(e)) li.className = "err";
  return li;
}

function renderEvents() {
  const ol = $("events");
  ol.textContent = "";
  for (let i = events.length - 1; i >= 0; i--) if (matchesFilter(events[i])) ol.appendChild(eventItem(events[i]));
}
$("events-mine").addEventListener("change", renderEvents);

function onEvent(e) {
  events.push(e);
  if (events.length > MAX_EVENTS) events.shift();
  if (matchesFilter(e)) {
    const ol = $("events");
    ol.insertBefore(eventItem(e), ol.firstChild);
    while (ol.children.length > MAX_EVENTS) ol.removeChild(ol.lastChild);
  }
  if (e.source === "mqtt" && e.kind === "ota.progress") onFirmwareProgress(e);
  // A relay that ends or refuses the stream being watched says so by the video.
  if (e.source === "relay" && live && (e.stream === live.stream || e.name === live.stream) &&
      ["closed", "refused", "check_failed", "on_publish_done"].includes(e.event)) {
    show($("live-result"), "relay: " + e.event + " " + (e.reason || e.error || ""), false);
  }
  if (e.source === "relay" && vod && e.event === "refused") {
    show($("vod-result"), "relay refused: " + (e.reason || ""), false);
  }
  if (e.pk && (e.source === "broker" || (e.source === "mqtt" && e.direction === "up"))) scheduleDevices();
}

let devTimer = null;
function scheduleDevices() {
  if (devTimer) return;
  devTimer = setTimeout(() => { devTimer = null; loadDevices(); }, 200);
}

const source = new EventSource("/api/events");
source.onmessage = (m) => { try { onEvent(JSON.parse(m.data)); } catch (e) { /* not ours */ } };
source.onerror = () => { $("status").textContent = "event stream lost; reconnecting"; };
source.onopen = () => { $("status").textContent = "connected"; };

loadDevices().then(loadObjects);
