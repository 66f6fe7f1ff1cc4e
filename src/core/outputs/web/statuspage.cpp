// The status page: one document with its style and script inline, so it
// loads nothing from anywhere else. It draws what the panel shows, from the
// updates on /ws: each carries the peaks since the previous one and how many
// packets they cover, which is what the peak hold counts.
#include "core/outputs/web/statusserver.h"

namespace zel {

QByteArray StatusServer::pageHtml() {
    static const QByteArray page = QByteArrayLiteral(R"ZELPAGE(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>zel status</title>
<style>
body{margin:0;background:#1b1d1f;color:#e6e6e6;font:14px/1.4 "Liberation Sans",Arial,sans-serif}
main{max-width:960px;margin:0 auto;padding:16px}
header{display:flex;align-items:baseline;gap:16px;flex-wrap:wrap}
h1{font-size:20px;margin:0}
#port{color:#aaa}
#link{margin-left:auto;padding:3px 12px;border-radius:4px;background:#555;font-weight:bold}
#link.connected{background:#1f7a1f}#link.lost{background:#b02020}#link.busy{background:#a07000}
.panel{background:#c8c8c8;color:#111;border-radius:6px;padding:14px 16px;margin-top:14px}
.row{display:grid;grid-template-columns:92px 1fr 64px;align-items:center;gap:10px;margin:4px 0}
.row .name{font-weight:bold;font-size:12px;letter-spacing:1px}
.row .value{font:bold 16px "Liberation Mono",monospace;text-align:right}
.bar{display:grid;grid-template-columns:repeat(56,1fr);gap:2px;height:22px;background:#222;padding:3px;border-radius:3px}
.seg{background:#1e4a1e}.seg.y{background:#4f4f1c}.seg.r{background:#4f1c1c}
.seg.on,.seg.hold{background:#00ff00}.seg.y.on,.seg.y.hold{background:#ffff00}.seg.r.on,.seg.r.hold{background:#ff0000}
.seg.hold{box-shadow:inset 0 0 0 1px #fff}
.scale{position:relative;height:16px;margin-left:102px;margin-right:74px;font-size:11px;color:#333}
.scale span{position:absolute;transform:translateX(-50%)}
.legend{text-align:center;letter-spacing:6px;font-size:12px;font-weight:bold;margin-top:2px}
.leds{display:flex;flex-wrap:wrap;gap:18px;margin-top:12px;justify-content:center}
.led{display:flex;flex-direction:column;align-items:center;font-size:11px;font-weight:bold;min-width:64px}
.led i{width:18px;height:18px;border-radius:50%;border:1px solid #555;background:#c0a0a0;margin-bottom:3px}
.led.var i{background:#d0d090}.led.info i{background:#a0b0a0}
.led.lit i{background:#ff0000}.led.var.lit i{background:#ffff00}.led.info.lit i{background:#ff8000}
table{width:100%;border-collapse:collapse;margin-top:6px;font-size:13px}
td,th{text-align:left;padding:3px 8px;border-bottom:1px solid #333}
th{color:#aaa;font-weight:normal}
h2{font-size:15px;margin:18px 0 0}
footer{margin-top:14px;color:#999;font-size:12px}
</style></head><body><main>
<header><h1>zel modulation monitor</h1><span id="port"></span><span id="link">connecting…</span></header>
<div class="panel">
<div class="row"><span class="name">POS. PEAK</span><div class="bar" id="bar-pos"></div><span class="value" id="posValue">–</span></div>
<div class="row"><span class="name">NEG. PEAK</span><div class="bar" id="bar-neg"></div><span class="value" id="negValue">–</span></div>
<div class="row"><span class="name">RF CARRIER</span><div class="bar" id="bar-car"></div><span class="value" id="carValue">–</span></div>
<div class="scale" id="scale"></div>
<div class="legend">M O D U L A T I O N</div>
<div class="leds">
<div class="led" id="led-pos125"><i></i>+125%</div>
<div class="led" id="led-neg100"><i></i>-100%</div>
<div class="led var" id="led-pos-variable"><i></i>POS. PK</div>
<div class="led var" id="led-neg-variable"><i></i>NEG. PK</div>
<div class="led" id="led-carrier-alarm"><i></i>CARRIER ALARM</div>
<div class="led" id="led-audio-loss"><i></i>AUDIO LOSS</div>
<div class="led info" id="led-no-data"><i></i>NO DATA</div>
</div></div>
<h2>Last events</h2>
<table><thead><tr><th>Time</th><th>Event</th><th>State</th><th>Detail</th></tr></thead><tbody id="events"></tbody></table>
<footer>Read-only view. <span id="packets"></span></footer>
</main>
<script>
"use strict";
const token = new URLSearchParams(location.search).get("token");
const withToken = (path) => token ? path + (path.includes("?") ? "&" : "?") + "token=" + encodeURIComponent(token) : path;
const percent = (p) => p > 0 ? Math.round(p * 2 + 20) + " %" : "≤20 %";
const names = {"link":"Link","carrier-alarm":"Carrier alarm","audio-loss":"Audio loss","no-data":"No data","link-lost":"Link lost"};
const linkText = {"off-line":"Off Line","initializing":"Initializing","dialing":"Dialing","connected":"Connected","busy":"Busy","no-dial-tone":"No Dial Tone","hanging-up":"Hanging Up","reconnecting":"Reconnecting"};
const HOLD_PACKETS = 25;

function makeBar(id) {
  const el = document.getElementById(id);
  const segs = [];
  for (let i = 1; i <= 56; ++i) {
    const s = document.createElement("div");
    s.className = "seg" + (i > 50 ? " r" : i > 40 ? " y" : "");
    el.appendChild(s); segs.push(s);
  }
  return {segs: segs, value: 0, hold: 0, count: 0, shownHold: 0};
}
const bars = {pos: makeBar("bar-pos"), neg: makeBar("bar-neg"), car: makeBar("bar-car")};
const scale = document.getElementById("scale");
for (const pc of [40, 60, 80, 100, 120]) {
  const p = (pc - 20) / 2, s = document.createElement("span");
  s.style.left = ((p - 0.5) / 56 * 100) + "%"; s.textContent = pc + "%"; scale.appendChild(s);
}

// Segment i is lit when the value is i or more; the hold marker follows the
// highest value until HOLD_PACKETS packets in a row have stayed below it.
function drawBar(b, v, n) {
  v = Math.max(0, Math.min(55, Math.floor(v)));
  b.count += n;
  if (v >= b.hold || b.count >= HOLD_PACKETS) { b.hold = v; b.count = 0; }
  for (let i = 1; i <= 56; ++i) {
    b.segs[i - 1].classList.toggle("on", v >= i);
    b.segs[i - 1].classList.toggle("hold", i === b.hold && v < i);
  }
  b.value = v;
}

function setLed(id, lit) { const el = document.getElementById("led-" + id); if (el) el.classList.toggle("lit", !!lit); }

const shown = [];
function addEvents(list) {
  for (const e of list) shown.unshift(e);
  shown.length = Math.min(shown.length, 20);
  const body = document.getElementById("events");
  body.replaceChildren(...shown.map((e) => {
    const tr = document.createElement("tr");
    for (const text of [e.time.replace("T", " ").replace(/\.\d+/, ""), names[e.event] || e.event,
                        e.event === "link" ? (linkText[e.state] || e.state) : e.state, e.detail || ""]) {
      const td = document.createElement("td"); td.textContent = text; tr.appendChild(td);
    }
    return tr;
  }));
}

window.zel = {updates: 0, last: null};
function apply(m) {
  window.zel.updates++; window.zel.last = m;
  document.getElementById("port").textContent = m.port;
  const link = document.getElementById("link");
  link.textContent = linkText[m.link] || m.link;
  link.className = m.link === "connected" ? "connected" : m.link === "reconnecting" ? "lost" : m.link === "busy" || m.link === "no-dial-tone" ? "busy" : "";
  if (m.n > 0 || window.zel.updates === 1) {
    drawBar(bars.pos, m.pos, m.n); drawBar(bars.neg, m.neg, m.n); drawBar(bars.car, m.car, m.n);
    document.getElementById("posValue").textContent = percent(bars.pos.value);
    document.getElementById("negValue").textContent = percent(bars.neg.value);
    document.getElementById("carValue").textContent = percent(bars.car.value);
  }
  for (const k in m.flash) setLed(k, m.flash[k]);
  for (const k in m.alarms) setLed(k, m.alarms[k]);
  if (m.events.length) addEvents(m.events);
  document.getElementById("packets").textContent = m.total + " packets" + (m.lastAgeMs >= 0 ? ", last " + (m.lastAgeMs / 1000).toFixed(1) + " s ago" : "");
}

function connect() {
  const ws = new WebSocket((location.protocol === "https:" ? "wss://" : "ws://") + location.host + withToken("/ws"));
  ws.onmessage = (ev) => apply(JSON.parse(ev.data));
  ws.onclose = () => { const l = document.getElementById("link"); l.textContent = "page not connected"; l.className = ""; setTimeout(connect, 2000); };
}
fetch(withToken("/api/events")).then((r) => r.ok ? r.json() : {events: []}).then((j) => addEvents(j.events.slice(-20))).catch(() => {}).finally(connect);
</script></body></html>
)ZELPAGE");
    return page;
}

} // namespace zel
