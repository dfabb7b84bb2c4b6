// The page, its style and script: plain HTML, CSS and JavaScript, served as they are here.
#include "watch/statusassets.h"

namespace tessaly {

const char* const kStatusPageHtml = R"HTML(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="color-scheme" content="light dark">
<title>Tessaly cameras</title>
<link rel="icon" href="/favicon.svg" type="image/svg+xml">
<link rel="stylesheet" href="/status.css">
<script src="/status.js" defer></script>
</head>
<body>
<header>
  <div class="brand"><img src="/favicon.svg" alt="" width="28" height="28"><h1>Tessaly cameras</h1></div>
  <nav id="states" aria-label="Cameras by state"></nav>
  <div class="meta"><span id="updated">connecting&hellip;</span></div>
</header>
<main>
  <p id="empty" hidden>No cameras in this view.</p>
  <section id="grid" aria-live="polite"></section>
  <nav id="pager" aria-label="Pages">
    <button id="prev" type="button">&larr; Previous</button>
    <span id="pageinfo"></span>
    <button id="next" type="button">Next &rarr;</button>
  </nav>
</main>
</body>
</html>
)HTML";

const char* const kStatusPageCss = R"CSS(:root {
  --bg: #f4f5f7; --panel: #ffffff; --text: #1c1f24; --muted: #636b76; --line: #e2e5ea;
  --shade: #dfe3e8;
  --running: #1f9d55; --failing: #d64545; --frozen: #2b7bd6; --paused: #c98a00;
  --not_started: #8a5cd1; --ended: #6b7280;
  font-family: system-ui, -apple-system, "Segoe UI", Roboto, "Noto Sans", sans-serif;
}
@media (prefers-color-scheme: dark) {
  :root {
    --bg: #111418; --panel: #1a1e24; --text: #e7eaee; --muted: #9aa3ae; --line: #2a3038;
    --shade: #232931;
    --running: #34c374; --failing: #ff6b6b; --frozen: #5aa6ff; --paused: #f0b429;
    --not_started: #b08cf0; --ended: #8d96a3;
  }
  .badge { color: #0b0d10 !important; }
}
* { box-sizing: border-box; }
[hidden] { display: none !important; }
body { margin: 0; background: var(--bg); color: var(--text); font-size: 14px; line-height: 1.4; }
header {
  position: sticky; top: 0; z-index: 2; display: flex; flex-wrap: wrap; align-items: center;
  gap: 12px 24px; padding: 12px 24px; background: var(--panel);
  border-bottom: 1px solid var(--line);
}
.brand { display: flex; align-items: center; gap: 10px; }
h1 { font-size: 18px; margin: 0; font-weight: 650; letter-spacing: .2px; }
#states { display: flex; flex-wrap: wrap; gap: 8px; flex: 1; }
.chip {
  display: inline-flex; align-items: center; gap: 6px; padding: 4px 12px; border-radius: 999px;
  border: 1px solid var(--line); background: transparent; color: var(--text); font: inherit;
  cursor: pointer;
}
.chip b { font-variant-numeric: tabular-nums; }
.chip[aria-pressed="true"] { background: var(--shade); border-color: var(--muted); }
.dot { width: 9px; height: 9px; border-radius: 50%; background: var(--muted); }
.meta { color: var(--muted); font-size: 13px; }
main { padding: 20px 24px 32px; }
#grid {
  display: grid; gap: 16px; grid-template-columns: repeat(auto-fill, minmax(260px, 1fr));
}
.tile {
  background: var(--panel); border: 1px solid var(--line); border-radius: 12px; overflow: hidden;
  border-top: 4px solid var(--c, var(--muted)); display: flex; flex-direction: column;
}
.shot { position: relative; aspect-ratio: 16 / 9; background: var(--shade); }
.shot img { width: 100%; height: 100%; object-fit: cover; display: block; }
/* A picture that is no longer news: the camera fails or has ended. */
.failing .shot img, .ended .shot img { filter: grayscale(.7); opacity: .7; }
.shot .none {
  position: absolute; inset: 0; display: grid; place-items: center; color: var(--muted);
  font-size: 13px;
}
.badge {
  position: absolute; top: 8px; left: 8px; padding: 2px 10px; border-radius: 999px;
  background: var(--c, var(--muted)); color: #fff; font-size: 12px; font-weight: 600;
  box-shadow: 0 1px 3px rgba(0,0,0,.3);
}
.body { padding: 10px 12px 12px; display: flex; flex-direction: column; gap: 4px; }
.name { font-weight: 650; font-size: 15px; white-space: nowrap; overflow: hidden; text-overflow: ellipsis; }
.when, .state { color: var(--muted); font-size: 13px; }
.why {
  color: var(--failing); font-size: 13px; overflow: hidden; display: -webkit-box;
  -webkit-line-clamp: 2; -webkit-box-orient: vertical; word-break: break-word;
}
.counts { display: flex; gap: 14px; margin-top: 4px; font-size: 12px; color: var(--muted); }
.counts b { color: var(--text); font-variant-numeric: tabular-nums; font-weight: 600; }
.counts .bad b { color: var(--failing); }
.running { --c: var(--running); } .failing { --c: var(--failing); } .frozen { --c: var(--frozen); }
.paused { --c: var(--paused); } .not_started { --c: var(--not_started); } .ended { --c: var(--ended); }
.chip .dot { background: var(--c, var(--muted)); }
#pager { display: flex; justify-content: center; align-items: center; gap: 16px; margin-top: 24px; }
#pager button {
  font: inherit; padding: 6px 14px; border-radius: 8px; border: 1px solid var(--line);
  background: var(--panel); color: var(--text); cursor: pointer;
}
#pager button:disabled { opacity: .4; cursor: default; }
#empty { color: var(--muted); text-align: center; margin: 48px 0; }
.stale #updated { color: var(--failing); }
)CSS";

const char* const kStatusPageJs = R"JS("use strict";
// One page of tiles at a time, asked for every few seconds; a tile is changed in place, its
// picture asked for only when the camera stored a new one.
const EVERY_MS = 5000, PER_PAGE = 48;
const STATES = ["running", "failing", "frozen", "paused", "not_started", "ended"];
const view = { page: 0, state: "" };
const tiles = new Map();
let timer = 0;

function fromHash() {
  const h = new URLSearchParams(location.hash.slice(1));
  view.page = Math.max(0, parseInt(h.get("page") || "1", 10) - 1 || 0);
  view.state = STATES.includes(h.get("state")) ? h.get("state") : "";
}
function toHash() {
  const h = new URLSearchParams();
  if (view.page > 0) h.set("page", String(view.page + 1));
  if (view.state) h.set("state", view.state);
  history.replaceState(null, "", h.toString() ? "#" + h : location.pathname);
}
function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}
function label(state) { return state.replace("_", " "); }
function clock(t) {
  if (!t) return "";
  const d = new Date(t * 1000), now = new Date();
  const sameDay = d.toDateString() === now.toDateString();
  return sameDay ? d.toLocaleTimeString() : d.toLocaleString();
}
function ago(now, t) {
  let s = Math.max(0, now - t);
  if (s < 60) return s + " s ago";
  if (s < 3600) return Math.floor(s / 60) + " min ago";
  if (s < 86400) return Math.floor(s / 3600) + " h ago";
  return Math.floor(s / 86400) + " d ago";
}
function stateLine(c, now) {
  switch (c.state) {
    case "paused": return "paused until " + clock(c.until);
    case "failing": return "failing since " + clock(c.state_since) + " (" + ago(now, c.state_since) + ")";
    case "frozen": return "same picture since " + clock(c.state_since);
    case "not_started": return "not started";
    case "ended": return "ended";
    default: return "running";
  }
}
function makeTile(name) {
  const t = { root: el("article", "tile") };
  t.shot = el("div", "shot");
  t.img = el("img");
  t.img.loading = "lazy";
  t.img.decoding = "async";
  t.img.alt = "Last picture of " + name;
  t.none = el("div", "none", "no picture yet");
  t.badge = el("span", "badge");
  t.shot.append(t.none, t.badge);
  const body = el("div", "body");
  t.name = el("div", "name", name);
  t.name.title = name;
  t.when = el("div", "when");
  t.state = el("div", "state");
  t.why = el("div", "why");
  t.counts = el("div", "counts");
  body.append(t.name, t.state, t.when, t.why, t.counts);
  t.root.append(t.shot, body);
  t.version = -1;
  return t;
}
function count(label, n) {
  const s = el("span", label === "failed" && n > 0 ? "bad" : "");
  s.append(el("b", "", String(n)), " " + label);
  return s;
}
function fill(t, c, now) {
  t.root.className = "tile " + c.state;
  t.root.dataset.state = c.state;
  t.badge.textContent = label(c.state);
  t.state.textContent = stateLine(c, now);
  if (c.picture && c.version !== t.version) {
    t.img.src = "/cameras/" + encodeURIComponent(c.name) + "/latest.jpg?v=" + c.version;
    if (!t.img.isConnected) t.shot.prepend(t.img);
    t.none.hidden = true;
  } else if (!c.picture && t.img.isConnected) {
    t.img.remove();
    t.none.hidden = false;
  }
  t.version = c.version;
  t.when.textContent = c.taken ? "taken " + clock(c.taken) + " · " + ago(now, c.taken) : "";
  const why = c.state === "not_started" || c.state === "failing" || c.state === "ended"
    ? (c.detail || c.last_failure) : c.last_failure;
  t.why.textContent = why ? (c.failure_at && why === c.last_failure ? clock(c.failure_at) + ": " : "") + why : "";
  t.why.hidden = !why;
  t.counts.replaceChildren(count("stored", c.stored), count("failed", c.failed),
                           count("removed", c.removed));
}
function chips(states, all) {
  const nav = document.getElementById("states");
  const items = [["", "all", all]].concat(STATES.map(s => [s, label(s), states[s] || 0]));
  nav.replaceChildren(...items.map(([key, text, n]) => {
    const b = el("button", "chip " + key);
    b.type = "button";
    b.dataset.state = key;
    b.setAttribute("aria-pressed", String(view.state === key));
    if (key) b.append(el("span", "dot"));
    b.append(text + " ", el("b", "", String(n)));
    b.onclick = () => { view.state = key; view.page = 0; toHash(); refresh(); };
    return b;
  }));
}
async function refresh() {
  clearTimeout(timer);
  try {
    const q = new URLSearchParams({ page: view.page, per: PER_PAGE });
    if (view.state) q.set("state", view.state);
    const r = await fetch("/cameras.json?" + q, { cache: "no-store" });
    if (!r.ok) throw new Error(r.status);
    const data = await r.json();
    view.page = data.page;
    chips(data.states, data.cameras_all);
    const grid = document.getElementById("grid");
    const seen = new Set();
    data.cameras.forEach((c, i) => {
      let t = tiles.get(c.name);
      if (!t) { t = makeTile(c.name); tiles.set(c.name, t); }
      seen.add(c.name);
      fill(t, c, data.now);
      if (grid.children[i] !== t.root) grid.insertBefore(t.root, grid.children[i] || null);
    });
    for (const [name, t] of tiles) if (!seen.has(name)) { t.root.remove(); tiles.delete(name); }
    document.getElementById("empty").hidden = data.cameras.length > 0;
    document.getElementById("pageinfo").textContent = "page " + (data.page + 1) + " of " + data.pages;
    document.getElementById("prev").disabled = data.page <= 0;
    document.getElementById("next").disabled = data.page + 1 >= data.pages;
    document.getElementById("pager").hidden = data.pages <= 1;
    document.getElementById("updated").textContent = "updated " + new Date().toLocaleTimeString();
    document.body.classList.remove("stale");
    document.body.dataset.ready = "1";
  } catch (e) {
    document.getElementById("updated").textContent = "cannot reach the service; retrying";
    document.body.classList.add("stale");
  }
  timer = setTimeout(refresh, EVERY_MS);
}
document.addEventListener("DOMContentLoaded", () => {
  fromHash();
  document.getElementById("prev").onclick = () => { view.page--; toHash(); refresh(); };
  document.getElementById("next").onclick = () => { view.page++; toHash(); refresh(); };
  window.addEventListener("hashchange", () => { fromHash(); refresh(); });
  refresh();
});
)JS";

const char* const kStatusIconSvg =
    R"SVG(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 32 32"><rect width="32" height="32" rx="7" fill="#2b7bd6"/><rect x="5" y="10" width="16" height="12" rx="2.5" fill="#fff"/><path d="M21 14.5l6-3.5v10l-6-3.5z" fill="#fff"/><circle cx="10" cy="16" r="2.4" fill="#2b7bd6"/></svg>
)SVG";

}  // namespace tessaly
