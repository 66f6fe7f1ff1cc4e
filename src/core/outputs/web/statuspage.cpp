// The status page: one document with its style and script inline, so it
// loads nothing from anywhere else. It first draws the station as
// /api/monitors gives it, then follows the updates on /ws: each carries, per
// monitor, the peaks since the previous one and how many packets they cover,
// which is what the peak hold counts. Up to three monitors get a panel each;
// from four on, one row each, sized to be read across a room.
#include "core/outputs/web/statusserver.h"

namespace zel {

QByteArray StatusServer::pageHtml() {
    static const QByteArray page = QByteArrayLiteral(R"ZELPAGE(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>zel status</title>
<style>
html{font-size:clamp(14px,1.05vw,30px)}
body{margin:0;background:#1b1d1f;color:#e6e6e6;font:1rem/1.35 "Liberation Sans",Arial,sans-serif}
main{padding:1rem 1.4rem}
body>main>header{display:flex;align-items:baseline;gap:1rem;flex-wrap:wrap}
h1{font-size:1.5rem;margin:0}
#page{margin-left:auto;color:#aaa}
#page.lost{color:#ff6060;font-weight:bold}
.link{padding:.15em .7em;border-radius:.3em;background:#555;font-weight:bold;white-space:nowrap}
.link.connected{background:#1f7a1f}.link.lost{background:#b02020}.link.busy{background:#a07000}
#monitors{display:grid;gap:1rem;margin-top:1rem;grid-template-columns:repeat(auto-fit,minmax(min(100%,34rem),1fr))}
.mon>header{display:flex;align-items:baseline;gap:.8rem;flex-wrap:wrap}
.mon h2{font-size:1.25rem;margin:0}
.port{color:#aaa}
.mon>header .link{margin-left:auto}
.panel{background:#c8c8c8;color:#111;border-radius:.4rem;padding:1rem 1.1rem;margin-top:.5rem}
.row{display:grid;grid-template-columns:6.5rem 1fr 4.6rem;align-items:center;gap:.7rem;margin:.3rem 0}
.row .label{font-weight:bold;font-size:.85rem;letter-spacing:1px}
.row .value{font:bold 1.15rem "Liberation Mono",monospace;text-align:right}
.bar{display:grid;grid-template-columns:repeat(56,1fr);gap:2px;height:1.6rem;background:#222;padding:3px;border-radius:3px}
.seg{background:#1e4a1e}.seg.y{background:#4f4f1c}.seg.r{background:#4f1c1c}
.seg.on,.seg.hold{background:#00ff00}.seg.y.on,.seg.y.hold{background:#ffff00}.seg.r.on,.seg.r.hold{background:#ff0000}
.seg.hold{box-shadow:inset 0 0 0 1px #fff}
.scale{position:relative;height:1.1rem;margin-left:7.2rem;margin-right:5.3rem;font-size:.8rem;color:#333}
.scale span{position:absolute;transform:translateX(-50%)}
.legend{text-align:center;letter-spacing:.4em;font-size:.85rem;font-weight:bold;margin-top:2px}
.leds{display:flex;flex-wrap:wrap;gap:1.2rem;margin-top:.8rem;justify-content:center}
.led{display:flex;flex-direction:column;align-items:center;font-size:.8rem;font-weight:bold;min-width:4.5rem}
.led i{width:1.3rem;height:1.3rem;border-radius:50%;border:1px solid #555;background:#c0a0a0;margin-bottom:3px}
.led.var i{background:#d0d090}.led.info i{background:#a0b0a0}
.led.lit i{background:#ff0000}.led.var.lit i{background:#ffff00}.led.info.lit i{background:#ff8000}
body.compact{font-size:1.25rem}
body.compact #monitors{display:flex;flex-direction:column;gap:.35rem}
body.compact .mon{display:grid;grid-template-columns:minmax(10em,1.8fr) 8.5em repeat(3,minmax(9em,1.5fr)) minmax(10em,1.8fr);
  align-items:center;gap:.9rem;background:#26292c;border-left:.45rem solid #3a3d40;border-radius:.3rem;padding:.45rem .8rem}
body.compact .mon.alarm{background:#5a1414;border-left-color:#ff3030}
body.compact .mon.flash{border-left-color:#ffd000}
.who .name{font-weight:bold;font-size:1.35em;display:block;white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
.who .port{font-size:.75em}
body.compact .link{text-align:center;font-size:.9em}
.cell{display:grid;grid-template-columns:1fr 3.6em;align-items:center;gap:.4em}
.cell .value{font:bold 1em "Liberation Mono",monospace;text-align:right;white-space:nowrap}
.cbar{position:relative;height:1.5em;border-radius:.2em;
  background:linear-gradient(90deg,#1e4a1e 0 71.43%,#4f4f1c 71.43% 89.29%,#4f1c1c 89.29%)}
.cbar .fill{position:absolute;inset:0;clip-path:inset(0 calc(100% - var(--v,0%)) 0 0);
  background:linear-gradient(90deg,#00e000 0 71.43%,#ffff00 71.43% 89.29%,#ff2020 89.29%)}
.cbar::after{content:"";position:absolute;inset:0;
  background:repeating-linear-gradient(90deg,transparent 0 calc(100%/56 - 1px),#26292c calc(100%/56 - 1px) calc(100%/56))}
.mon.alarm .cbar::after{background:repeating-linear-gradient(90deg,transparent 0 calc(100%/56 - 1px),#5a1414 calc(100%/56 - 1px) calc(100%/56))}
.cbar .hold{position:absolute;top:0;bottom:0;width:calc(100%/56);background:#fff;display:none}
.cbar .label{position:absolute;left:.3em;top:50%;transform:translateY(-50%);font-size:.65em;font-weight:bold;color:#fff;
  text-shadow:0 0 3px #000;z-index:1}
.badges{display:flex;flex-wrap:wrap;gap:.3em}
.badge{padding:.1em .45em;border-radius:.25em;font-weight:bold;font-size:.85em;white-space:nowrap;background:#ff3030;color:#fff}
.badge.var{background:#ffd000;color:#111}.badge.info{background:#ff8000;color:#111}
.badge.ok{background:none;color:#7a7a7a;font-weight:normal}
table{width:100%;border-collapse:collapse;margin-top:.4rem;font-size:.95rem}
td,th{text-align:left;padding:.2em .6em;border-bottom:1px solid #333}
th{color:#aaa;font-weight:normal}
h3{font-size:1.1rem;margin:1.2rem 0 0}
footer{margin-top:1rem;color:#999;font-size:.85rem}
</style></head><body><main>
<header><h1 id="site">zel modulation monitor</h1><span id="page">connecting…</span></header>
<div id="monitors"></div>
<h3>Last events</h3>
<table><thead><tr><th>Time</th><th class="monCol">Monitor</th><th>Event</th><th>State</th><th>Detail</th></tr></thead><tbody id="events"></tbody></table>
<footer>Read-only view. <span id="packets"></span></footer>
</main>
<script>
"use strict";
const token = new URLSearchParams(location.search).get("token");
const withToken = (path) => token ? path + (path.includes("?") ? "&" : "?") + "token=" + encodeURIComponent(token) : path;
const percent = (p) => p > 0 ? Math.round(p * 2 + 20) + " %" : "≤20 %";
const linkText = {"off-line":"Off Line","initializing":"Initializing","dialing":"Dialing","connected":"Connected","busy":"Busy","no-dial-tone":"No Dial Tone","hanging-up":"Hanging Up","reconnecting":"Reconnecting"};
const FLASHERS = ["pos125", "neg100", "pos-variable", "neg-variable"];
const LEDS = [["pos125", "+125%", ""], ["neg100", "-100%", ""], ["pos-variable", "POS. PK", "var"], ["neg-variable", "NEG. PK", "var"],
              ["carrier-alarm", "CARRIER ALARM", ""], ["audio-loss", "AUDIO LOSS", ""], ["no-data", "NO DATA", "info"], ["link-lost", "LINK LOST", "info"]];
const ALARMS = ["carrier-alarm", "audio-loss", "no-data", "link-lost"];
const HOLD_PACKETS = 25, SHOWN_EVENTS = 20;
const $ = (id) => document.getElementById(id);
const el = (tag, cls, text) => { const e = document.createElement(tag); if (cls) e.className = cls; if (text) e.textContent = text; return e; };
const monitors = new Map();
let compact = false;

// Segment i (1..56) is lit when the value is i or more; the hold marker
// follows the highest value until HOLD_PACKETS packets in a row have stayed
// below it. A dark bar (no link, no data, no reading) shows nothing.
function drawBar(b, v, n, dark) {
  if (dark) { b.value = 0; b.hold = 0; b.count = 0; }
  else {
    v = Math.max(0, Math.min(55, Math.floor(v)));
    b.count += n;
    if (v >= b.hold || b.count >= HOLD_PACKETS) { b.hold = v; b.count = 0; }
    b.value = v;
  }
  if (b.segs) {
    for (let i = 1; i <= 56; ++i) {
      b.segs[i - 1].classList.toggle("on", !dark && b.value >= i);
      b.segs[i - 1].classList.toggle("hold", !dark && i === b.hold && b.value < i);
    }
  } else {
    b.el.style.setProperty("--v", (b.value / 56 * 100) + "%");
    b.holdEl.style.display = !dark && b.hold > b.value ? "block" : "none";
    b.holdEl.style.left = ((b.hold - 1) / 56 * 100) + "%";
  }
  b.valueEl.textContent = dark ? "–" : percent(b.value);
}

function segBar(parent) {
  const bar = el("div", "bar"), segs = [];
  for (let i = 1; i <= 56; ++i) { const s = el("div", "seg" + (i > 50 ? " r" : i > 40 ? " y" : "")); bar.appendChild(s); segs.push(s); }
  parent.appendChild(bar);
  return {segs: segs, value: 0, hold: 0, count: 0};
}

function makeMonitor(m) {
  const s = el("section", "mon dark"); s.dataset.id = m.id;
  const v = {el: s, bars: {}, leds: {}, name: m.name || m.id};
  if (compact) {
    const who = el("div", "who"); v.nameEl = el("span", "name"); v.portEl = el("span", "port");
    who.append(v.nameEl, v.portEl); v.linkEl = el("span", "link"); s.append(who, v.linkEl);
    for (const [k, label] of [["pos", "POS"], ["neg", "NEG"], ["car", "CAR"]]) {
      const cell = el("div", "cell " + k), c = el("div", "cbar"), hold = el("i", "hold"), value = el("span", "value", "–");
      c.append(el("div", "fill"), hold, el("span", "label", label)); cell.append(c, value); s.appendChild(cell);
      v.bars[k] = {el: c, holdEl: hold, valueEl: value, value: 0, hold: 0, count: 0};
    }
    v.badges = el("div", "badges"); s.appendChild(v.badges);
  } else {
    const h = el("header"); v.nameEl = el("h2"); v.portEl = el("span", "port"); v.linkEl = el("span", "link");
    h.append(v.nameEl, v.portEl, v.linkEl);
    const p = el("div", "panel");
    for (const [k, label] of [["pos", "POS. PEAK"], ["neg", "NEG. PEAK"], ["car", "RF CARRIER"]]) {
      const row = el("div", "row " + k); row.appendChild(el("span", "label", label));
      v.bars[k] = segBar(row); v.bars[k].valueEl = el("span", "value", "–"); row.appendChild(v.bars[k].valueEl);
      p.appendChild(row);
    }
    const scale = el("div", "scale");
    for (const pc of [40, 60, 80, 100, 120]) {
      const t = el("span", "", pc + "%"); t.style.left = (((pc - 20) / 2 - 0.5) / 56 * 100) + "%"; scale.appendChild(t);
    }
    const leds = el("div", "leds");
    for (const [k, label, cls] of LEDS) {
      const d = el("div", "led " + cls); d.dataset.k = k; d.append(el("i"), label); leds.appendChild(d); v.leds[k] = d;
    }
    p.append(scale, el("div", "legend", "M O D U L A T I O N"), leds);
    s.append(h, p);
  }
  $("monitors").appendChild(s);
  return v;
}

// An update as the stream sends it, or a monitor of /api/monitors made into one.
function fromApi(m) {
  const r = m.readings, u = {id: m.id, name: m.name, port: m.port, n: 0, total: m.packets.total, link: m.link,
    detail: m.linkDetail, noData: m.noData, dial: m.dialCaption, alarms: {}, flash: {}, events: [],
    lastAgeMs: m.packets.lastAgeMs === null ? -1 : m.packets.lastAgeMs,
    pos: r ? r.pos.position : null, neg: r ? r.neg.position : null, car: r ? r.carrier.position : null};
  for (const k in m.alarms) (FLASHERS.includes(k) ? u.flash : u.alarms)[k] = m.alarms[k];
  return u;
}

function apply(u, first) {
  let v = monitors.get(u.id);
  if (!v) monitors.set(u.id, v = makeMonitor(u));
  v.name = u.name || u.id; v.state = u;
  v.nameEl.textContent = v.name; v.portEl.textContent = u.port;
  const lost = u.link === "reconnecting" || (u.link === "connected" && u.noData);
  v.linkEl.textContent = u.link === "connected" && u.noData ? "No Data" : u.link === "dialing" && u.dial ? u.dial : linkText[u.link] || u.link;
  v.linkEl.className = "link " + (lost ? "lost" : u.link === "connected" ? "connected" : u.link === "busy" || u.link === "no-dial-tone" ? "busy" : "");
  const dark = u.link !== "connected" || u.noData || u.pos === null;
  v.el.classList.toggle("dark", dark);
  if (dark || u.n > 0 || first) { drawBar(v.bars.pos, u.pos, u.n, dark); drawBar(v.bars.neg, u.neg, u.n, dark); drawBar(v.bars.car, u.car, u.n, dark); }
  const lit = Object.assign({}, u.alarms, u.flash);
  if (compact) {
    const on = LEDS.filter(([k]) => lit[k]), sig = on.map(([k]) => k).join();
    if (v.badgeSig !== sig) { // redrawn only when it changes
      v.badgeSig = sig;
      v.badges.replaceChildren(...on.map(([, label, cls]) => el("span", "badge " + cls, label)));
      if (!on.length) v.badges.appendChild(el("span", "badge ok", "no alarm"));
    }
    v.el.classList.toggle("alarm", ALARMS.some((k) => lit[k]));
    v.el.classList.toggle("flash", FLASHERS.some((k) => lit[k]));
  } else {
    for (const k in v.leds) v.leds[k].classList.toggle("lit", !!lit[k]);
  }
  if (u.events && u.events.length) addEvents(u.events);
  if (monitors.size === 1)
    $("packets").textContent = u.total + " packets" + (u.lastAgeMs >= 0 ? ", last " + (u.lastAgeMs / 1000).toFixed(1) + " s ago" : "");
}

// Newest first. A run of reconnect attempts of one monitor is one row with a
// count; the steps of each attempt (dialing, ...) fold into it.
// What the page loaded with: the first live update may repeat some of it.
const rows = [], loaded = new Set();
const eventKey = (e) => [e.monitor, e.timeMs, e.event, e.state, e.detail].join("\n");
function addEvents(list, fromApi) {
  for (const e of list) {
    if (fromApi) loaded.add(eventKey(e));
    else if (loaded.delete(eventKey(e))) continue;
    const last = rows.find((r) => r.e.monitor === e.monitor);
    const retrying = last && last.e.event === "link" && last.e.state === "reconnecting";
    if (e.event === "link" && retrying && e.state !== "connected" && e.state !== "off-line") {
      if (e.state === "reconnecting") { last.count++; last.e = e; rows.splice(rows.indexOf(last), 1); rows.unshift(last); }
      continue;
    }
    rows.unshift({e: e, count: 1});
  }
  rows.sort((a, b) => b.e.timeMs - a.e.timeMs);
  rows.length = Math.min(rows.length, SHOWN_EVENTS);
  const many = monitors.size > 1;
  for (const c of document.querySelectorAll(".monCol")) c.style.display = many ? "" : "none";
  $("events").replaceChildren(...rows.map(({e, count}) => {
    const tr = el("tr");
    const state = e.event === "link" ? (linkText[e.state] || e.state) + (count > 1 ? " ×" + count : "") : e.state;
    const cells = [e.time.replace("T", " ").replace(/\.\d+/, "").replace(/([+-]\d\d:\d\d)$/, " $1"),
                   many ? (monitors.get(e.monitor) || {name: e.monitor}).name : null, e.title || e.event, state, e.detail || ""];
    for (const text of cells) if (text !== null) tr.appendChild(el("td", "", text));
    return tr;
  }));
}

window.zel = {updates: 0, last: null};
function connect() {
  const ws = new WebSocket((location.protocol === "https:" ? "wss://" : "ws://") + location.host + withToken("/ws"));
  ws.onopen = () => { $("page").textContent = "live"; $("page").className = ""; };
  ws.onmessage = (ev) => {
    const m = JSON.parse(ev.data);
    window.zel.updates++; window.zel.last = m;
    for (const u of m.monitors) apply(u, false);
  };
  ws.onclose = () => { $("page").textContent = "page not connected"; $("page").className = "lost"; setTimeout(connect, 2000); };
}

fetch(withToken("/api/monitors")).then((r) => r.json()).then((j) => {
  if (j.site && j.site.name) { $("site").textContent = j.site.name; document.title = j.site.name + " – zel"; }
  compact = j.monitors.length >= 4;
  document.body.classList.toggle("compact", compact);
  for (const m of j.monitors) monitors.set(m.id, makeMonitor(m));
  for (const m of j.monitors) apply(fromApi(m), true);
  return Promise.all(j.monitors.map((m) => fetch(withToken("/api/events?monitor=" + encodeURIComponent(m.id)))
    .then((r) => r.ok ? r.json() : {events: []}).then((e) => e.events.slice(-SHOWN_EVENTS)).catch(() => [])));
}).then((lists) => addEvents([].concat(...lists).sort((a, b) => a.timeMs - b.timeMs), true))
  .catch(() => {}).finally(connect);
</script></body></html>
)ZELPAGE");
    return page;
}

} // namespace zel
