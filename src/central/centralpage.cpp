// The group's page: one document with its style and script inline, so it
// loads nothing from anywhere else. It asks /api/sites every two seconds and
// draws every site as a card, worst first, in a grid whose type is sized so
// that the whole group fits the window (50 sites on a 1920x1080 wall screen).
#include "central/centralservice.h"

namespace zel {

QByteArray CentralService::pageHtml() {
    static const QByteArray page = QByteArrayLiteral(R"ZELPAGE(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>zel central</title>
<style>
html{font-size:16px}
body{margin:0;background:#1b1d1f;color:#e6e6e6;font:1rem/1.3 "Liberation Sans",Arial,sans-serif}
main{padding:.6rem .9rem}
body>main>header{display:flex;align-items:baseline;gap:1rem;flex-wrap:wrap}
h1{font-size:1.5rem;margin:0}
#counts{display:flex;gap:.5rem}
#counts span{padding:.1em .6em;border-radius:.3em;font-weight:bold;background:#1f7a1f;color:#fff}
#counts .stale{background:#8a8aa0;color:#111}#counts .link-down{background:#ff8000;color:#111}#counts .alarm{background:#ff3030}
#page{margin-left:auto;color:#aaa}
#page.lost{color:#ff6060;font-weight:bold}
#banner{display:none;margin-top:.5rem;padding:.4em .8em;border-radius:.3em;background:#b02020;color:#fff;font-weight:bold}
#banner.on{display:block}
#sites{display:grid;gap:.5rem;margin-top:.6rem;grid-template-columns:repeat(auto-fill,minmax(15.5rem,1fr))}
.site{background:#26292c;border-left:.4rem solid #1f7a1f;border-radius:.3rem;padding:.35rem .55rem;min-width:0}
.site>header{display:flex;align-items:baseline;gap:.5rem}
.site .name{font-weight:bold;font-size:1.1rem;flex:1;min-width:0;white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
.st{font-size:.75rem;font-weight:bold;padding:.05em .45em;border-radius:.25em;white-space:nowrap;background:#1f7a1f;color:#fff}
.seen{color:#999;font-size:.75rem;white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
.site.stale{background:#2a2a33;border-left-color:#8a8aa0;color:#a8a8b8}.site.stale .st{background:#8a8aa0;color:#111}
.site.link-down{border-left-color:#ff8000}.site.link-down .st{background:#ff8000;color:#111}
.site.alarm{background:#5a1414;border-left-color:#ff3030}.site.alarm .st{background:#ff3030}
.mon{margin-top:.25rem;border-top:1px solid #3a3d40;padding-top:.2rem}
.mon .top{display:flex;align-items:baseline;gap:.4rem}
.mon .mn{flex:1;min-width:0;white-space:nowrap;overflow:hidden;text-overflow:ellipsis;font-size:.9rem}
.lk{font-size:.75rem;font-weight:bold;padding:0 .4em;border-radius:.25em;background:#555;white-space:nowrap}
.lk.connected{background:#1f7a1f}.lk.lost{background:#b02020}
.rd{font:bold .85rem "Liberation Mono",monospace;white-space:nowrap}
.rd b{color:#999;font-weight:normal}
.badges{display:inline-flex;flex-wrap:wrap;gap:.25em;margin-left:.3em;vertical-align:middle}
.badge{padding:0 .35em;border-radius:.25em;font-weight:bold;font-size:.7rem;white-space:nowrap;background:#ff3030;color:#fff;font-family:"Liberation Sans",Arial,sans-serif}
.badge.var{background:#ffd000;color:#111}.badge.info{background:#ff8000;color:#111}
.site.stale .rd,.site.stale .lk,.site.stale .badge{opacity:.6}
footer{margin-top:.6rem;color:#999;font-size:.8rem}
</style></head><body><main>
<header><h1>zel central</h1><span id="counts"></span><span id="page">connecting…</span></header>
<div id="banner"></div>
<div id="sites"></div>
<footer>Read-only view of every site. Sites whose heartbeat is older than <span id="limit">30</span> s are stale. <span id="asof"></span></footer>
</main>
<script>
"use strict";
const token = new URLSearchParams(location.search).get("token");
const withToken = (path) => token ? path + (path.includes("?") ? "&" : "?") + "token=" + encodeURIComponent(token) : path;
const linkText = {"off-line":"Off Line","initializing":"Initializing","dialing":"Dialing","connected":"Connected","busy":"Busy","no-dial-tone":"No Dial Tone","hanging-up":"Hanging Up","reconnecting":"Reconnecting"};
const ALARMS = {"carrier-alarm":["CARRIER ALARM",""],"audio-loss":["AUDIO LOSS",""],"no-data":["NO DATA","info"],"link-lost":["LINK LOST","info"],
  "pos125":["+125%",""],"neg100":["-100%",""],"pos-variable":["POS. PK","var"],"neg-variable":["NEG. PK","var"]};
const STATES = {"stale":"STALE","link-down":"LINK DOWN","alarm":"ALARM","ok":"OK"};
const $ = (id) => document.getElementById(id);
const el = (tag, cls, text) => { const e = document.createElement(tag); if (cls) e.className = cls; if (text !== undefined) e.textContent = text; return e; };
const shortTime = (t) => t ? t.replace("T", " ").replace(/\.\d+/, "").replace(/([+-]\d\d:\d\d)$/, " $1") : "never";
const pct = (v) => v === null || v === undefined ? "–" : Math.round(v) + "";

function monitorView(m) {
  const d = el("div", "mon"), top = el("div", "top");
  top.append(el("span", "mn", m.name || m.id));
  const lost = m.link === "reconnecting" || m.link === null;
  top.append(el("span", "lk" + (m.link === "connected" ? " connected" : lost ? " lost" : ""), m.link === null ? "no report" : linkText[m.link] || m.link));
  const rd = el("div", "rd"), r = m.readings;
  for (const [label, v] of [["P", r && r.pos], ["N", r && r.neg], ["C", r && r.carrier]]) { rd.append(el("b", "", label + " "), pct(v) + " "); }
  if (m.alarms.length) {
    const b = el("span", "badges");
    for (const a of m.alarms) { const [label, cls] = ALARMS[a] || [a, ""]; b.append(el("span", "badge " + cls, label)); }
    rd.append(b);
  }
  d.append(top, rd);
  return d;
}

function siteView(s) {
  const c = el("section", "site " + s.state); c.dataset.id = s.id;
  const h = el("header"); h.append(el("span", "name", s.name || s.id), el("span", "st", STATES[s.state] || s.state));
  c.append(h, el("div", "seen", (s.stale ? "silent since " : "heard ") + shortTime(s.lastSeen) + " · " + s.id));
  for (const m of s.monitors) c.append(monitorView(m));
  return c;
}

// The largest type at which the whole group fits the window.
function fit() {
  const root = document.documentElement;
  let lo = 9, hi = 22;
  while (hi - lo > 0.25) {
    const mid = (lo + hi) / 2;
    root.style.fontSize = mid + "px";
    if (root.scrollHeight <= innerHeight && root.scrollWidth <= innerWidth) lo = mid; else hi = mid;
  }
  root.style.fontSize = lo + "px";
}

window.zel = {updates: 0, last: null};
let shape = "";
function draw(j) {
  window.zel.updates++; window.zel.last = j;
  const counts = {stale: 0, "link-down": 0, alarm: 0, ok: 0};
  for (const s of j.sites) counts[s.state]++;
  $("counts").replaceChildren(...Object.keys(counts).filter((k) => counts[k]).map((k) => {
    return el("span", "cnt " + k, counts[k] + " " + STATES[k].toLowerCase()); }));
  $("banner").textContent = j.banner || "";
  $("banner").classList.toggle("on", !!j.banner);
  $("limit").textContent = j.staleAfterS;
  $("asof").textContent = j.asOf ? "As of " + shortTime(j.asOf) + " (the database's clock)." : "";
  $("sites").replaceChildren(...j.sites.map(siteView));
  // Refit only when the cards' number or contents' shape changes.
  const now = j.sites.map((s) => s.monitors.length + (s.monitors.some((m) => m.alarms.length) ? "a" : "")).join() + !!j.banner;
  if (now !== shape) { shape = now; fit(); }
}

function poll() {
  fetch(withToken("/api/sites"), {cache: "no-store"}).then((r) => { if (!r.ok) throw new Error(r.status); return r.json(); })
    .then((j) => { $("page").textContent = "live"; $("page").className = ""; draw(j); })
    .catch(() => { $("page").textContent = "page not connected"; $("page").className = "lost"; })
    .finally(() => setTimeout(poll, 2000));
}
addEventListener("resize", () => { shape = ""; fit(); });
poll();
</script></body></html>
)ZELPAGE");
    return page;
}

} // namespace zel
