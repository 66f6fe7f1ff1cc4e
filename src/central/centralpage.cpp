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
main{padding:.6rem .9rem;height:100vh;box-sizing:border-box;display:flex;flex-direction:column}
body>main>header{display:flex;align-items:baseline;gap:1rem;flex-wrap:wrap}
h1{font-size:1.5rem;margin:0}
#counts{display:flex;gap:.5rem}
#counts span{padding:.1em .6em;border-radius:.3em;font-weight:bold;background:#1f7a1f;color:#fff}
#counts .stale{background:#8a8aa0;color:#111}#counts .link-down{background:#ff8000;color:#111}#counts .alarm{background:#ff3030}
#page{margin-left:auto;color:#aaa}
#page.lost{color:#ff6060;font-weight:bold}
#banner{display:none;margin-top:.5rem;padding:.4em .8em;border-radius:.3em;background:#b02020;color:#fff;font-weight:bold}
#banner.on{display:block}
#sites{flex:1;min-height:0;display:grid;gap:.5rem;margin-top:.6rem;grid-template-columns:repeat(auto-fill,minmax(15rem,1fr))}
.site{background:#26292c;border-left:.4rem solid #1f7a1f;border-radius:.3rem;padding:.3rem .5rem;min-width:0}
.site>header{display:flex;align-items:baseline;gap:.5rem}
.site .name{font-weight:bold;font-size:1.1rem;flex:1;min-width:0;white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
.st{font-size:.7rem;font-weight:bold;padding:.05em .45em;border-radius:.25em;white-space:nowrap;background:#1f7a1f;color:#fff}
.seen{color:#999;font-size:.75rem;white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
.site.stale{background:#2a2a33;border-left-color:#8a8aa0;color:#a8a8b8}.site.stale .st{background:#8a8aa0;color:#111}
.site.link-down{border-left-color:#ff8000}.site.link-down .st{background:#ff8000;color:#111}
.site.alarm{background:#5a1414;border-left-color:#ff3030}.site.alarm .st{background:#ff3030}
.mon{display:flex;align-items:baseline;gap:.4rem;margin-top:.15rem;font-size:.9rem}
.mon i{flex:none;width:.6rem;height:.6rem;border-radius:50%;background:#777;align-self:center}
.mon i.up{background:#00d000}.mon i.down{background:#ff3030}
.mon .mn{flex:1;min-width:0;white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
.rd{font-weight:bold;font-variant-numeric:tabular-nums;white-space:nowrap}
.rd b{color:#999;font-weight:normal}
.lk{font-size:.75rem;font-weight:bold;padding:0 .4em;border-radius:.25em;background:#555;white-space:nowrap}
.lk.lost{background:#b02020}
.badges{display:flex;flex-wrap:wrap;gap:.25em;margin:.1rem 0 0 1rem}
.badge{padding:0 .35em;border-radius:.25em;font-weight:bold;font-size:.7rem;white-space:nowrap;background:#ff3030;color:#fff}
.badge.var{background:#ffd000;color:#111}.badge.info{background:#ff8000;color:#111}
.site.stale .rd,.site.stale .lk,.site.stale .badge,.site.stale .mon i{opacity:.6}
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
// The time of day, with the date when it is not the day of `asOf`.
const seenTime = (t, asOf) => !t ? "never" : t.slice(0, 10) === (asOf || "").slice(0, 10) ? t.slice(11, 19) : t.slice(0, 16).replace("T", " ");
const pct = (v) => v === null || v === undefined ? "–" : Math.round(v) + "";

// One line a monitor: its link as a dot, its name, and the readings while
// connected or the link's state when not; the alarms that are on below it.
function monitorView(m, parent) {
  const d = el("div", "mon"), up = m.link === "connected", r = m.readings;
  d.append(el("i", up ? "up" : m.link === "reconnecting" || m.link === null ? "down" : ""), el("span", "mn", m.name || m.id));
  if (up) {
    const rd = el("span", "rd");
    for (const [label, v] of [["P", r && r.pos], ["N", r && r.neg], ["C", r && r.carrier]]) rd.append(el("b", "", " " + label), " " + pct(v));
    d.append(rd);
  } else {
    d.append(el("span", "lk" + (m.link === "reconnecting" || m.link === null ? " lost" : ""), m.link === null ? "no report" : linkText[m.link] || m.link));
  }
  parent.append(d);
  if (m.alarms.length) {
    const b = el("div", "badges");
    for (const a of m.alarms) { const [label, cls] = ALARMS[a] || [a, ""]; b.append(el("span", "badge " + cls, label)); }
    parent.append(b);
  }
}

function siteView(s, asOf) {
  const c = el("section", "site " + s.state); c.dataset.id = s.id;
  const h = el("header"); h.append(el("span", "name", s.name || s.id));
  if (s.state !== "ok") h.append(el("span", "st", STATES[s.state] || s.state));
  c.title = (s.name || s.id) + " (" + s.id + ")\n" + s.monitors.map((m) => m.name || m.id).join("\n");
  c.append(h, el("div", "seen", (s.stale ? "silent since " : "heard ") + seenTime(s.lastSeen, asOf) + " · " + s.id));
  for (const m of s.monitors) monitorView(m, c);
  return c;
}

// The largest type at which the whole group fits the window with no name
// cut short, over a few column counts; below MIN_FONT a long name may be cut
// (its card's tooltip has it whole) rather than the type shrink further.
const MIN_FONT = 12;
function fit() {
  const root = document.documentElement, grid = $("sites");
  grid.style.gridAutoRows = "auto"; // measured at their own height; the rows share what is left afterwards
  const fits = (font) => {
    root.style.fontSize = font + "px";
    if (root.scrollHeight > innerHeight || grid.scrollHeight > grid.clientHeight) return false;
    return font <= MIN_FONT || [...grid.querySelectorAll(".name, .mn")].every((e) => e.scrollWidth <= e.clientWidth);
  };
  let best = {font: 0, columns: 1};
  for (let columns = 3; columns <= 12; ++columns) {
    grid.style.gridTemplateColumns = "repeat(" + columns + ", minmax(0, 1fr))";
    let lo = 8, hi = 28;
    if (!fits(lo)) continue;
    while (hi - lo > 0.25) { const mid = (lo + hi) / 2; if (fits(mid)) lo = mid; else hi = mid; }
    if (lo > best.font) best = {font: lo, columns: columns};
  }
  grid.style.gridTemplateColumns = "repeat(" + best.columns + ", minmax(0, 1fr))";
  root.style.fontSize = (best.font || 8) + "px";
  grid.style.gridAutoRows = "1fr";
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
  $("sites").replaceChildren(...j.sites.map((s) => siteView(s, j.asOf)));
  // Refit only when what sizes the cards changes: their number, names, alarm lines, link states.
  const now = JSON.stringify([j.sites.map((s) => [s.name, s.monitors.map((m) => [m.name, m.alarms.length, m.link === "connected"])]), !!j.banner]);
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
