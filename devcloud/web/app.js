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
  const opts = { method, headers: {} };
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
    const p = tr.insertCell();
    p.className = "props";
    p.textContent = JSON.stringify(d.properties);
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
