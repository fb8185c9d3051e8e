// The PitwallFeed live page and its overlays. Reads the web view's API:
// /api/track once a track is known, then /api/events (server-sent events).
// Plain JavaScript, no build step, no network beyond this server.
"use strict";

const params = new URLSearchParams(location.search);
const overlay = location.pathname.startsWith("/overlay");
const options = {
  view: params.get("view") || "both",           // tower, map or both
  theme: params.get("theme") || "dark",         // dark or light
  rows: Math.max(0, parseInt(params.get("rows") || "0", 10) || 0),  // 0: every car
  fixed: Math.max(0, parseInt(params.get("fixed") || "3", 10) || 0),  // rows that never page
  column: params.get("gap") === "interval" ? "interval" : params.get("gap") === "gap" ? "gap" : "",
  follow: (params.get("follow") || "").toLowerCase(),
  width: parseInt(params.get("width") || "0", 10) || 0,
  scale: parseFloat(params.get("scale") || "1") || 1,
};
const root = document.documentElement;
if (overlay) root.classList.add("overlay");
if (options.theme === "light") root.classList.add("light");
root.classList.add("view-" + (overlay ? options.view : "both"));
if (options.column === "gap") root.classList.add("hide-interval");
if (options.column === "interval") root.classList.add("hide-gap");
if (options.width > 0) document.body.style.width = options.width + "px";
if (options.scale !== 1) document.body.style.zoom = String(options.scale);

const SVG = "http://www.w3.org/2000/svg";
const map = document.getElementById("map");
const stripsLayer = document.getElementById("strips");
const carsLayer = document.getElementById("cars");
const towerBody = document.querySelector("#tower tbody");
const statusBox = document.getElementById("status");
const sessionLine = document.getElementById("session-line");
const pageNote = document.getElementById("page-note");

let mapScale = 1;        // map units per metre are 1; markers are sized by this
const markers = new Map();  // car index -> {group, from, to, start, duration}
let lastStateAt = 0;
let state = null;
let pageStart = 0;       // first row of the paging part of the tower

function lapTime(s) {
  if (s === null || s === undefined || !(s > 0)) return "--";
  const ms = Math.round(s * 1000);
  const m = Math.floor(ms / 60000), rest = ms % 60000;
  return m + ":" + String(Math.floor(rest / 1000)).padStart(2, "0") + "." + String(rest % 1000).padStart(3, "0");
}
function clock(s) {
  if (s === null || s === undefined || !(s >= 0)) return "--";
  const t = Math.floor(s), h = Math.floor(t / 3600), m = Math.floor(t / 60) % 60, sec = t % 60;
  return (h > 0 ? h + ":" + String(m).padStart(2, "0") : String(m)) + ":" + String(sec).padStart(2, "0");
}
function colour(index) {
  // Hues a golden angle apart, as in the SVG picture.
  return "hsl(" + ((index * 137.508) % 360).toFixed(1) + ", 75%, " + (index % 2 === 0 ? 42 : 55) + "%)";
}

function showStatus(s) {
  statusBox.className = "status " + s.status;
  const text = {
    connecting: "Connecting to the timing feed… ",
    live: "",
    unreachable: "The timing feed is unreachable; retrying. ",
    full: "The timing feed is full; retrying. ",
  }[s.status] || "";
  statusBox.textContent = text + (s.status === "live" ? "" : (s.message || ""));
}

function drawTrack(track) {
  stripsLayer.replaceChildren();
  let minX = Infinity, maxX = -Infinity, minZ = Infinity, maxZ = -Infinity;
  for (const strip of track.strips) {
    const pts = strip.points;
    if (pts.length === 0) continue;
    // The points alternate between the band's two edges: out along one,
    // back along the other.
    let d = "";
    for (let i = 0; i < pts.length; i += 2) d += (i === 0 ? "M" : "L") + pts[i][0] + " " + -pts[i][1] + " ";
    for (let i = pts.length - 1; i >= 0; i--) if (i % 2 === 1) d += "L" + pts[i][0] + " " + -pts[i][1] + " ";
    const path = document.createElementNS(SVG, "path");
    path.setAttribute("d", d + "Z");
    path.setAttribute("class", "strip kind" + strip.kind);
    stripsLayer.appendChild(path);
    for (const [x, z] of pts) {
      minX = Math.min(minX, x); maxX = Math.max(maxX, x);
      minZ = Math.min(minZ, -z); maxZ = Math.max(maxZ, -z);
    }
  }
  if (minX === Infinity) return;
  const pad = Math.max(maxX - minX, maxZ - minZ) * 0.04 + 10;
  map.setAttribute("viewBox", [minX - pad, minZ - pad, maxX - minX + 2 * pad, maxZ - minZ + 2 * pad].join(" "));
  mapScale = Math.max(maxX - minX, maxZ - minZ) / 100;  // a marker is 1/100 of the map
}

function followed(car) {
  return options.follow !== "" && car.driver.toLowerCase().includes(options.follow);
}

function updateMarkers(now) {
  const seen = new Set();
  const duration = Math.min(500, Math.max(50, now - lastStateAt));
  for (const car of state.cars) {
    if (car.x_m === null || car.z_m === null) continue;
    seen.add(car.index);
    let m = markers.get(car.index);
    const to = [car.x_m, -car.z_m];
    if (!m) {
      const group = document.createElementNS(SVG, "g");
      group.setAttribute("class", "car");
      group.dataset.index = car.index;
      const ring = document.createElementNS(SVG, "circle");
      ring.setAttribute("class", "ring");
      const dot = document.createElementNS(SVG, "circle");
      dot.setAttribute("class", "dot");
      dot.setAttribute("fill", colour(car.index));
      const label = document.createElementNS(SVG, "text");
      group.append(ring, dot, label);
      carsLayer.appendChild(group);
      m = { group, from: to, to, start: now, duration };
      markers.set(car.index, m);
    } else {
      m.from = position(m, now);
      m.to = to;
      m.start = now;
      m.duration = duration;
    }
    const r = mapScale;
    m.group.children[0].setAttribute("r", (r * 1.55).toFixed(2));
    m.group.children[1].setAttribute("r", r.toFixed(2));
    m.group.children[2].setAttribute("font-size", (r * 1.1).toFixed(2));
    m.group.children[2].textContent = car.place === null ? "" : String(car.place);
    m.group.classList.toggle("leader", car.place === 1);
    m.group.classList.toggle("followed", followed(car));
    m.group.dataset.place = car.place === null ? "" : car.place;
  }
  for (const [index, m] of markers) {
    if (!seen.has(index)) { m.group.remove(); markers.delete(index); }
  }
  // The leader on top: later children are drawn over earlier ones.
  const order = [...markers.values()].sort((a, b) => (b.group.dataset.place || 999) - (a.group.dataset.place || 999));
  for (const m of order) carsLayer.appendChild(m.group);
}

function position(m, now) {
  const f = Math.min(1, Math.max(0, (now - m.start) / m.duration));
  return [m.from[0] + (m.to[0] - m.from[0]) * f, m.from[1] + (m.to[1] - m.from[1]) * f];
}

function animate(now) {
  for (const m of markers.values()) {
    const [x, y] = position(m, now);
    m.group.setAttribute("transform", "translate(" + x.toFixed(2) + " " + y.toFixed(2) + ")");
  }
  requestAnimationFrame(animate);
}

function sessionText(s) {
  if (!s) return "Waiting for the session";
  let line = s.track + " · " + s.kind;
  if (s.finished && s.kind === "race") {
    line += state.cars.every((c) => c.finished || c.place === null) ? " · final classification" : " · chequered flag";
  } else {
    if (s.max_laps !== null && s.laps_left !== null) line += " · lap " + Math.min(s.max_laps, s.max_laps - s.laps_left + 1) + "/" + s.max_laps;
    line += s.time_left_s !== null ? " · " + clock(s.time_left_s) + " left" : " · time " + clock(s.time_s);
    if (s.finished) line += " · finished";
  }
  if (s.fastest_lap) line += " · fastest " + lapTime(s.fastest_lap.time_s) + " " + s.fastest_lap.driver;
  return line;
}

function rowsToShow(cars) {
  if (options.rows === 0 || cars.length <= options.rows) return cars;
  // The leaders stay; the rest pages through the field every few seconds.
  const fixed = Math.min(options.fixed, options.rows);
  const paged = options.rows - fixed;
  const rest = cars.slice(fixed);
  if (paged === 0) return cars.slice(0, fixed);
  if (pageStart >= rest.length) pageStart = 0;
  return cars.slice(0, fixed).concat(rest.slice(pageStart, pageStart + paged));
}

function cell(row, cls, text) {
  const td = document.createElement("td");
  td.className = cls;
  td.textContent = text;
  row.appendChild(td);
  return td;
}

function drawTower() {
  const rows = [];
  for (const car of rowsToShow(state.cars)) {
    const tr = document.createElement("tr");
    tr.dataset.index = car.index;
    if (car.place === 1) tr.classList.add("leader");
    if (followed(car)) tr.classList.add("followed");
    cell(tr, "pos", car.place === null ? "-" : String(car.place));
    cell(tr, "driver", car.driver);
    cell(tr, "gap", car.place === 1 ? "leader" : car.gap_to_leader ? car.gap_to_leader.text : "");
    cell(tr, "interval", car.interval ? car.interval.text : "");
    cell(tr, "last", lapTime(car.last_lap_s));
    const best = cell(tr, "best", lapTime(car.best_lap_s));
    if (car.holds_fastest_lap) best.classList.add("fastest");
    cell(tr, "sector", car.sector === 0 ? "3" : String(car.sector));
    const pit = cell(tr, "pit", car.finished ? "fin" : car.in_pits ? "PIT" : String(car.pit_stops));
    if (car.in_pits && !car.finished) pit.classList.add("in");
    const g = cell(tr, "gained", car.places_gained > 0 ? "+" + car.places_gained : car.places_gained < 0 ? String(car.places_gained) : "");
    if (car.places_gained > 0) g.classList.add("up");
    if (car.places_gained < 0) g.classList.add("down");
    rows.push(tr);
  }
  towerBody.replaceChildren(...rows);
  pageNote.textContent = options.rows > 0 && state.cars.length > options.rows ? state.cars.length + " cars" : "";
}

function takeState(next) {
  state = next;
  const now = performance.now();
  sessionLine.textContent = sessionText(state.session);
  document.title = state.session ? state.session.track + " · PitwallFeed" : "PitwallFeed live";
  drawTower();
  updateMarkers(now);
  lastStateAt = now;
}

function connect() {
  const events = new EventSource("/api/events");
  events.addEventListener("status", (e) => showStatus(JSON.parse(e.data)));
  events.addEventListener("track", (e) => drawTrack(JSON.parse(e.data)));
  events.addEventListener("state", (e) => takeState(JSON.parse(e.data)));
  events.onerror = () => {
    // The browser reconnects by itself (and resumes from the last event id);
    // meanwhile the page says so.
    showStatus({ status: "unreachable", message: "the web view itself does not answer" });
  };
}

setInterval(() => {
  if (state && options.rows > 0) {
    pageStart += Math.max(1, options.rows - Math.min(options.fixed, options.rows));
    drawTower();
  }
}, 5000);
requestAnimationFrame(animate);
connect();
