// The PitwallFeed live page and its overlays. Reads the web view's API:
// /api/events (server-sent events: status, track, state, race) and the
// recorded session's events (/api/sessions/latest/events). Plain JavaScript,
// no build step, no network beyond this server; nothing inline, so the page
// runs under a policy that allows only this server's own files.
"use strict";

const params = new URLSearchParams(location.search);
const overlay = location.pathname.startsWith("/overlay");

// What the address may set. Every parameter has its values or its range;
// a value outside falls back to the default (numbers are clamped into the
// range), and the page says so on the console, never by stopping.
function choice(name, values, fallback) {
  const raw = params.get(name);
  if (raw === null || raw.trim() === "") return fallback;
  const value = raw.trim().toLowerCase();
  if (values.includes(value)) return value;
  console.warn(`pitwall: ${name}=${raw} is not one of ${values.join(", ")}; using ${fallback}`);
  return fallback;
}
function number(name, min, max, fallback, whole) {
  const raw = params.get(name);
  if (raw === null || raw.trim() === "") return fallback;
  let value = Number(raw.trim());
  if (Number.isNaN(value)) {
    console.warn(`pitwall: ${name}=${raw} is no number; using ${fallback}`);
    return fallback;
  }
  if (whole) value = Math.round(value);
  const clamped = Math.min(max, Math.max(min, value));
  if (clamped !== value) console.warn(`pitwall: ${name}=${raw} is outside ${min} to ${max}; using ${clamped}`);
  return clamped;
}
function pixels(name, min, max) {
  // 0 (the window's own width), or min to max; below 0 is 0.
  const value = number(name, 0, max, 0, true);
  return value > 0 && value < min ? min : value;
}

const options = {
  view: overlay ? choice("view", ["tower", "map", "both", "events"], "both") : "both",
  theme: choice("theme", ["dark", "light"], "dark"),
  rows: number("rows", 0, 64, 0, true),    // 0: every car
  fixed: number("fixed", 0, 64, 3, true),  // rows at the top that never page
  column: choice("gap", ["gap", "interval", "both"], "both"),
  follow: (params.get("follow") || "").trim().toLowerCase().slice(0, 64),
  width: pixels("width", 200, 3840),       // 0: the window's width
  scale: number("scale", 0.25, 4, 1, false),
  status: overlay ? choice("status", ["small", "hide"], "small") : "banner",
  // The league's classes: class=NAME shows that class's cars only (a name
  // the session has no class of shows every car, said on the console once
  // the session's classes are known); split=class shows the tower class by
  // class. Either way a car of a class reads its place and gaps within it.
  only: (params.get("class") || "").trim().slice(0, 64),
  split: choice("split", ["none", "class"], "none"),
  name: choice("name", ["full", "last", "short"], "full"),
};
const root = document.documentElement;
root.classList.add(overlay ? "overlay" : "page");
if (options.theme === "light") root.classList.add("light");
root.classList.add("view-" + options.view, "status-" + options.status);
if (options.column === "gap") root.classList.add("hide-interval");
if (options.column === "interval") root.classList.add("hide-gap");
if (options.width > 0) document.body.style.width = options.width + "px";
if (options.scale !== 1) document.body.style.zoom = String(options.scale);
root.classList.add("name-" + options.name);

const SVG = "http://www.w3.org/2000/svg";
const map = document.getElementById("map");
const stripsLayer = document.getElementById("strips");
const carsLayer = document.getElementById("cars");
const tower = document.getElementById("tower");
const legend = document.getElementById("legend");
const statusBox = document.getElementById("status");
const sessionLine = document.getElementById("session-line");
const pageNote = document.getElementById("page-note");
const feedView = document.getElementById("feed-view");
const feedList = document.getElementById("feed");

let trackBox = null;     // the map's viewBox [x, y, width, height], in metres
let markerRadius = 1;    // in metres (map units)
const markers = new Map();  // car index -> {group, from, to, start, duration}
let state = null;
let lastStateAt = -Infinity;  // when the latest state came
let lastMoveAt = -Infinity;   // when the latest state in which a car moved came
let pace = 200;          // ms between states that move cars, smoothed
const pageStarts = new Map();  // tower section -> first row of its paging part
let shownView = null;    // what the latest state shows: see viewOf

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

// The league's part of a car, as the state gives it: its class (null when
// in none), the class's colour (null unless "#rrggbb"), its number.
const HEX_COLOUR = /^#[0-9a-f]{6}$/i;
function classOf(car) {
  return typeof car.class === "string" && car.class !== "" ? car.class : null;
}
function classColour(value) {
  return typeof value === "string" && HEX_COLOUR.test(value) ? value.toLowerCase() : null;
}
function numberOf(car) {
  return Number.isInteger(car.number) && car.number >= 0 ? car.number : null;
}
// The marker's colour: the class's, or for a car in no class its own.
function markerColour(car) {
  return classColour(car.class_colour) || carColour(car.index);
}
// Black or white, whichever reads better on `hex`.
function inkOn(hex) {
  const c = [1, 3, 5].map((i) => parseInt(hex.slice(i, i + 2), 16) / 255)
    .map((v) => (v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4));
  return 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2] > 0.179 ? "#000" : "#fff";
}
function paint(node, hex) {
  node.style.backgroundColor = hex;  // CSSOM, which the policy allows
  node.style.color = inkOn(hex);
}

// The driver's name as name= asks: the whole name, its last word, or the
// league's short name (else the last word's first three letters, upper case).
function shownName(car, how = options.name) {
  const full = typeof car.driver === "string" ? car.driver : "";
  if (how === "full") return full;
  const words = full.trim().split(/\s+/).filter((w) => w !== "");
  const last = words.length > 0 ? words[words.length - 1] : full;
  if (how === "last") return last;
  if (typeof car.short_name === "string" && car.short_name.trim() !== "") return car.short_name.trim();
  return [...last].slice(0, 3).join("").toUpperCase();
}

// The session's classes in their order, each {name, colour}; a class a car
// names that the session does not list comes after them.
function classesOf(s) {
  const list = [];
  const seen = new Set();
  const given = s.session && Array.isArray(s.session.classes) ? s.session.classes : [];
  const ordered = given.filter((c) => c && typeof c.name === "string" && c.name !== "")
    .map((c, i) => ({ c, i })).sort((a, b) => (known(a.c.order) ? a.c.order : 0) - (known(b.c.order) ? b.c.order : 0) || a.i - b.i);
  for (const { c } of ordered) {
    if (seen.has(c.name)) continue;
    seen.add(c.name);
    list.push({ name: c.name, colour: classColour(c.colour) });
  }
  for (const car of s.cars) {
    const name = classOf(car);
    if (name === null || seen.has(name)) continue;
    seen.add(name);
    list.push({ name, colour: classColour(car.class_colour) });
  }
  return list;
}

// The class class= names (ignoring letter case), or null for every car.
let onlyWarned = null;  // the classes the warning was given for
function onlyClass(list, s) {
  if (options.only === "") return null;
  const want = options.only.toLowerCase();
  const hit = list.find((c) => c.name.toLowerCase() === want);
  if (hit) return hit.name;
  const names = list.map((c) => c.name).join(", ");
  if (s.session && onlyWarned !== names) {
    onlyWarned = names;
    console.warn(`pitwall: class=${options.only} is not one of ${names || "the session's classes (it has none)"}; using every class`);
  }
  return null;
}

// What a state shows: the classes, the class class= picked (or null), the
// cars shown (in place order), and whether a car of a class reads its
// place and gaps within its class.
function viewOf(s) {
  const classes = classesOf(s);
  const only = onlyClass(classes, s);
  const cars = only === null ? s.cars : s.cars.filter((car) => classOf(car) === only);
  const byClass = only !== null || (options.split === "class" && classes.length > 0);
  return { classes, only, cars, byClass };
}
// A car's place, gaps and fastest lap: within its class, or in the field.
function standing(car, byClass) {
  if (byClass && classOf(car) !== null) {
    return { place: car.class_place, gap: car.class_gap, interval: car.class_interval,
             fastest: car.holds_class_fastest_lap === true };
  }
  return { place: car.place, gap: car.gap_to_leader, interval: car.interval, fastest: car.holds_fastest_lap === true };
}

// The page's banner, or in an overlay a dot (status=small) or nothing
// (status=hide): a stream never shows the plug-in's address. `kind` is one
// of the server's states (connecting, live, unreachable, full) or the
// page's own (too_many_viewers, busy: the web view turned the stream down).
function showStatus(kind, text, detail) {
  statusBox.className = "status " + kind;
  const whole = kind === "live" ? "" : text + (detail ? " " + detail : "");
  if (options.status === "banner") {
    statusBox.textContent = whole;
    statusBox.removeAttribute("title");
  } else {
    statusBox.textContent = "";
    if (whole !== "" && options.status === "small") statusBox.title = whole;
    else statusBox.removeAttribute("title");
  }
}
const serverStatusText = {
  connecting: "Connecting to the timing feed…",
  unreachable: "The timing feed is unreachable; retrying.",
  full: "The timing feed is full; retrying.",
};
function showServerStatus(s) {
  const kind = s.status in serverStatusText || s.status === "live" ? s.status : "connecting";
  showStatus(kind, serverStatusText[kind] || "", s.message || "");
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
  trackBox = [minX - pad, minZ - pad, maxX - minX + 2 * pad, maxZ - minZ + 2 * pad];
  map.setAttribute("viewBox", trackBox.join(" "));
  sizeMarkers();
}

// A marker is 1/100 of the track's extent, and never smaller than a few
// pixels on screen, so a small map (a phone, an overlay) still shows them;
// one that carries a car number (up to three digits) a little larger.
const MARKER_MIN_PX = 6;
const NUMBERED_MIN_PX = 8;
let numbered = false;  // the markers carry the league's car numbers
function sizeMarkers() {
  if (trackBox === null) return;
  const extent = Math.max(trackBox[2], trackBox[3]);
  const box = map.getBoundingClientRect();
  // The viewBox fits the element ("meet"): the tighter side sets the units per pixel.
  const unitsPerPx = box.width > 0 && box.height > 0 ? Math.max(trackBox[2] / box.width, trackBox[3] / box.height) : 0;
  markerRadius = numbered ? Math.max(extent / 80, NUMBERED_MIN_PX * unitsPerPx) : Math.max(extent / 100, MARKER_MIN_PX * unitsPerPx);
  for (const m of markers.values()) sizeMarker(m);
}
function sizeMarker(m) {
  const r = markerRadius;
  m.group.children[0].setAttribute("r", (r * 1.55).toFixed(2));
  m.group.children[1].setAttribute("r", r.toFixed(2));
  // A three-digit car number in smaller type, to stay inside the dot.
  m.group.children[2].setAttribute("font-size", (r * (m.group.children[2].textContent.length > 2 ? 0.8 : 1.1)).toFixed(2));
}
new ResizeObserver(sizeMarkers).observe(map);

function followed(car) {
  return options.follow !== "" && car.driver.toLowerCase().includes(options.follow);
}

// The markers glide. The web view sends states at its own pace (ten a
// second) while the simulator moves the cars at another (five a second is
// common), so a state often repeats the previous positions: those say
// nothing about motion. A car that moved glides from where its marker is
// now to the new place over twice the smoothed time between moving states,
// so it is still under way when the next move comes, even a late one, and
// it never goes back: it trails the feed by about one update.
const GLIDE_SPAN = 2;
function updateMarkers(now) {
  const paused = now - lastStateAt > 2000;  // after a pause the markers are placed, not glided
  let anyMoved = false;
  const seen = new Set();
  const { cars, byClass } = shownView;
  for (const car of cars) {
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
      const label = document.createElementNS(SVG, "text");
      group.append(ring, dot, label);
      carsLayer.appendChild(group);
      m = { group, from: to, to, start: now, duration: 1 };
      markers.set(car.index, m);
      sizeMarker(m);
    } else if (to[0] !== m.to[0] || to[1] !== m.to[1]) {
      anyMoved = true;
      m.from = paused ? to : position(m, now);
      m.to = to;
      m.start = now;
      m.duration = pace * GLIDE_SPAN;
    }
    // In the class's colour (a car in no class keeps its own), with the
    // car's number, or without one its place.
    const place = standing(car, byClass).place;
    const label = numberOf(car) !== null ? String(numberOf(car)) : known(place) ? String(place) : "";
    m.group.children[1].setAttribute("fill", markerColour(car));
    if (m.group.children[2].textContent !== label) {
      m.group.children[2].textContent = label;
      sizeMarker(m);
    }
    m.group.classList.toggle("leader", place === 1);
    m.group.classList.toggle("followed", followed(car));
    m.group.dataset.place = car.place === null ? "" : car.place;
    m.group.dataset.class = classOf(car) || "";
  }
  if (anyMoved) {
    if (!paused && lastMoveAt > -Infinity) {
      // One long gap (cars parked, a stalled feed) moves the estimate only
      // a little; a feed that really slows down is followed in a few states.
      const gap = Math.min(now - lastMoveAt, 3 * pace);
      pace = Math.min(2000, Math.max(30, pace + (gap - pace) * 0.2));
    }
    lastMoveAt = now;
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

// The session line as pieces of text; the track's and the driver's names
// are marked, so that each goes into an element of its own whose
// bidirectional text cannot reorder the rest of the line.
function sessionParts(s) {
  if (!s) return ["Waiting for the session"];
  const parts = [{ name: s.track }, " · " + s.kind];
  if (s.finished && s.kind === "race") {
    parts.push(state.cars.every((c) => c.finished || c.place === null) ? " · final classification" : " · chequered flag");
  } else {
    if (s.max_laps !== null && s.laps_left !== null) parts.push(" · lap " + Math.min(s.max_laps, s.max_laps - s.laps_left + 1) + "/" + s.max_laps);
    parts.push(s.time_left_s !== null ? " · " + clock(s.time_left_s) + " left" : " · time " + clock(s.time_s));
    if (s.finished) parts.push(" · finished");
  }
  if (s.fastest_lap) parts.push(" · fastest " + lapTime(s.fastest_lap.time_s) + " ", { name: s.fastest_lap.driver });
  return parts;
}

function showSessionLine(s) {
  sessionLine.replaceChildren(...sessionParts(s).map((part) => {
    if (typeof part === "string") return document.createTextNode(part);
    const name = document.createElement("bdi");
    name.textContent = part.name;
    return name;
  }));
}

// The rows of one section of the tower (`key`: the whole field, or a
// class when split): with rows=N the leaders stay, the rest pages through
// the section every few seconds.
function rowsToShow(cars, key) {
  if (options.rows === 0 || cars.length <= options.rows) return cars;
  const fixed = Math.min(options.fixed, options.rows);
  const paged = options.rows - fixed;
  const rest = cars.slice(fixed);
  if (paged === 0) return cars.slice(0, fixed);
  let start = pageStarts.get(key) || 0;
  if (start >= rest.length) start = 0;
  pageStarts.set(key, start);
  return cars.slice(0, fixed).concat(rest.slice(start, start + paged));
}

function cell(row, cls, text) {
  const td = document.createElement("td");
  td.className = cls;
  td.textContent = text;
  row.appendChild(td);
  return td;
}

// A count the page may not know (the web view joined mid-session): a dash.
function known(n) {
  return typeof n === "number" && Number.isFinite(n);
}

function towerRow(car, byClass) {
  const at = standing(car, byClass);
  const tr = document.createElement("tr");
  tr.dataset.index = car.index;
  if (classOf(car) !== null) tr.dataset.class = classOf(car);
  if (at.place === 1) tr.classList.add("leader");
  if (followed(car)) tr.classList.add("followed");
  cell(tr, "pos", known(at.place) ? String(at.place) : "-");
  // The number on a chip in the class's colour.
  const num = cell(tr, "num", "");
  const chip = document.createElement("span");
  chip.className = "chip";
  chip.textContent = numberOf(car) !== null ? String(numberOf(car)) : "";
  const colour = classColour(car.class_colour);
  if (colour !== null) paint(chip, colour);
  else chip.classList.add("plain");
  if (chip.textContent !== "" || colour !== null) num.appendChild(chip);
  const driver = cell(tr, "driver", shownName(car));
  if (options.name !== "full") driver.title = car.driver;
  cell(tr, "gap", at.place === 1 ? "leader" : at.gap ? at.gap.text : "");
  cell(tr, "interval", at.interval ? at.interval.text : "");
  cell(tr, "last", lapTime(car.last_lap_s));
  const best = cell(tr, "best", lapTime(car.best_lap_s));
  if (at.fastest) best.classList.add("fastest");
  cell(tr, "sector", car.sector === 0 ? "3" : String(car.sector));
  const pit = cell(tr, "pit", car.finished ? "fin" : car.in_pits ? "PIT" : known(car.pit_stops) ? String(car.pit_stops) : "-");
  if (car.in_pits && !car.finished) pit.classList.add("in");
  const gained = car.places_gained;
  const g = cell(tr, "gained", !known(gained) ? "-" : gained > 0 ? "+" + gained : gained < 0 ? String(gained) : "");
  if (known(gained) && gained > 0) g.classList.add("up");
  if (known(gained) && gained < 0) g.classList.add("down");
  return tr;
}

// The tower's sections: the cars shown, or with split=class one a class
// in the classes' order (then the cars in none), each under its name.
function towerSections(view) {
  if (options.split !== "class" || view.classes.length === 0) return [{ key: "", head: null, cars: view.cars }];
  const sections = [];
  for (const c of view.classes) {
    const cars = view.cars.filter((car) => classOf(car) === c.name);
    if (cars.length > 0) sections.push({ key: "class " + c.name, name: c.name, head: c, cars });
  }
  const loose = view.cars.filter((car) => classOf(car) === null);
  if (loose.length > 0) sections.push({ key: "none", name: "", head: { name: "No class", colour: null }, cars: loose });
  return sections;
}

function sectionHead(head, count, columns) {
  const tr = document.createElement("tr");
  tr.className = "class-head";
  const th = document.createElement("th");
  th.colSpan = columns;
  th.scope = "colgroup";
  const mark = document.createElement("span");
  mark.className = "mark";
  const name = document.createElement("bdi");
  name.className = "class-name";
  name.textContent = head.name;
  if (head.colour !== null) {
    mark.style.backgroundColor = head.colour;
    name.style.color = head.colour;
  } else {
    mark.classList.add("plain");
  }
  const cars = document.createElement("span");
  cars.className = "cars";
  cars.textContent = count === 1 ? "1 car" : count + " cars";
  th.append(mark, name, cars);
  tr.appendChild(th);
  return tr;
}

function drawTower() {
  const view = shownView;
  const columns = tower.querySelectorAll("thead th").length;
  const bodies = [];
  let cut = false;
  for (const section of towerSections(view)) {
    const body = document.createElement("tbody");
    if (section.head !== null) {
      body.className = "class-section";
      body.dataset.class = section.name;
      body.appendChild(sectionHead(section.head, section.cars.length, columns));
    }
    const rows = rowsToShow(section.cars, section.key);
    if (rows.length < section.cars.length) cut = true;
    for (const car of rows) body.appendChild(towerRow(car, view.byClass));
    bodies.push(body);
  }
  for (const old of tower.querySelectorAll("tbody")) old.remove();
  tower.append(...bodies);
  pageNote.textContent = cut ? view.cars.length + " cars" : "";
}

// The map's legend, when the session has classes: the cars shown, class by
// class in the classes' order, each by number in its marker's colour, and
// by last name (the short one with name=short), a key kept small.
function legendName(car) {
  return shownName(car, options.name === "full" ? "last" : options.name);
}
let legendDrawn = "";  // what the legend shows, to draw it again only when that changes
function drawLegend() {
  const view = shownView;
  const groups = [];
  if (view.classes.length > 0) {
    for (const c of view.classes) {
      if (view.only !== null && c.name !== view.only) continue;
      groups.push({ name: c.name, head: c, cars: view.cars.filter((car) => classOf(car) === c.name) });
    }
    const loose = view.cars.filter((car) => classOf(car) === null);
    if (loose.length > 0) groups.push({ name: "", head: { name: "No class", colour: null }, cars: loose });
  }
  const byNumber = (a, b) => (numberOf(a) ?? Infinity) - (numberOf(b) ?? Infinity) || a.index - b.index;
  for (const g of groups) g.cars = [...g.cars].sort(byNumber);
  // A class's name and colour, and each car's number, name and colour.
  const key = JSON.stringify(groups.map((g) => [g.head.name, g.head.colour,
    g.cars.map((car) => [car.index, numberOf(car), legendName(car), markerColour(car)])]));
  if (key === legendDrawn) return;
  legendDrawn = key;
  legend.replaceChildren(...groups.map((g) => {
    const box = document.createElement("div");
    box.className = "legend-class";
    box.dataset.class = g.name;
    const head = document.createElement("div");
    head.className = "legend-head";
    const mark = document.createElement("span");
    mark.className = "mark";
    if (g.head.colour !== null) mark.style.backgroundColor = g.head.colour;
    else mark.classList.add("plain");
    const name = document.createElement("bdi");
    name.textContent = g.head.name;
    head.append(mark, name);
    const list = document.createElement("ul");
    for (const car of g.cars) {
      const li = document.createElement("li");
      li.dataset.index = car.index;
      const dot = document.createElement("span");
      dot.className = "dot";
      const colour = markerColour(car);
      if (colour.startsWith("#")) paint(dot, colour);
      else dot.style.backgroundColor = colour;  // a car's own colour takes white, as on its marker
      dot.textContent = numberOf(car) !== null ? String(numberOf(car)) : "";
      const who = document.createElement("bdi");
      who.textContent = legendName(car);
      li.title = car.driver;
      li.append(dot, who);
      list.appendChild(li);
    }
    box.append(head, list);
    return box;
  }));
  legend.hidden = groups.length === 0;
  root.classList.toggle("has-legend", groups.length > 0);
}

function takeState(next) {
  state = next;
  const now = performance.now();
  shownView = viewOf(state);
  // The number column once any car has a number or a class.
  root.classList.toggle("league", state.cars.some((car) => numberOf(car) !== null || classOf(car) !== null));
  if (numbered !== state.cars.some((car) => numberOf(car) !== null)) {
    numbered = !numbered;
    sizeMarkers();
  }
  showSessionLine(state.session);
  document.title = state.session ? state.session.track + " · PitwallFeed" : "PitwallFeed live";
  drawTower();
  drawLegend();
  updateMarkers(now);
  lastStateAt = now;
}

// The race's events, newest on top: the recorded history of the latest
// session when the page opens (or its stream opens again), then each `race`
// event of the stream. Without a race history (404, 503, an old web view)
// the feed stays empty and hidden. An overlay shows it only as view=events,
// where rows=N keeps N lines.
const FEED_KEEP = 50;
const feedEvents = new Map();  // event id -> event, of feedSession
let feedSession = null;        // the id of the session the feed shows
const feedTags = {
  start: "START", lead_change: "LEAD", class_lead_change: "LEAD", overtake: "PASS", pit_in: "PIT", pit_out: "OUT",
  fastest_lap: "FAST", personal_best: "PB", stopped: "STOP", retired: "RET",
  disqualified: "DSQ", finished: "FLAG", session_end: "END",
};

// The sentence with the drivers' names each in an element of its own, so a
// name's bidirectional text reorders nothing but the name; the lap, shown
// before it, is dropped from its end.
function feedSentence(e) {
  let text = typeof e.text === "string" ? e.text : "";
  if (known(e.lap)) {
    const tail = " on lap " + e.lap + ".";
    if (text.endsWith(tail)) text = text.slice(0, -tail.length).replace(/[\s,;:]+$/, "");
  }
  const names = [e.driver, e.other_driver].filter((n) => typeof n === "string" && n !== "");
  const parts = [];
  while (text !== "") {
    let at = -1, name = "";
    for (const n of names) {
      const i = text.indexOf(n);
      if (i >= 0 && (at < 0 || i < at || (i === at && n.length > name.length))) { at = i; name = n; }
    }
    if (at < 0) { parts.push(document.createTextNode(text)); break; }
    if (at > 0) parts.push(document.createTextNode(text.slice(0, at)));
    const bdi = document.createElement("bdi");
    bdi.textContent = name;
    parts.push(bdi);
    text = text.slice(at + name.length);
  }
  return parts;
}

function feedLine(e) {
  const li = document.createElement("li");
  const kind = Object.hasOwn(feedTags, e.kind) ? e.kind : "other";
  li.className = "event kind-" + kind;
  li.dataset.id = e.id;
  const lap = document.createElement("span");
  lap.className = "lap";
  lap.textContent = known(e.lap) && e.lap > 0 ? "L" + e.lap : "";
  const tag = document.createElement("span");
  tag.className = "tag";
  tag.textContent = feedTags[kind] || String(e.kind || "").slice(0, 6).toUpperCase();
  // A class's lead on a tag in the class's colour, its name in the tooltip.
  if (kind === "class_lead_change" && typeof e.class === "string") {
    const c = shownView && shownView.classes.find((x) => x.name === e.class);
    if (c && c.colour !== null) paint(tag, c.colour);
    tag.title = e.class;
  }
  const text = document.createElement("span");
  text.className = "text";
  text.append(...feedSentence(e));
  li.append(lap, tag, text);
  return li;
}

function drawFeed() {
  const keep = overlay && options.rows > 0 ? Math.min(options.rows, FEED_KEEP) : FEED_KEEP;
  const newest = [...feedEvents.values()].sort((a, b) => b.id - a.id);
  for (const e of newest.slice(FEED_KEEP)) feedEvents.delete(e.id);
  feedList.replaceChildren(...newest.slice(0, keep).map(feedLine));
  const any = feedEvents.size > 0;
  feedView.hidden = !any;
  root.classList.toggle("has-feed", any);
}

function takeEvents(sessionId, list) {
  if (feedSession !== sessionId) {
    feedSession = sessionId;
    feedEvents.clear();
  }
  for (const e of list) {
    if (e && typeof e === "object" && known(e.id)) feedEvents.set(e.id, e);
  }
  drawFeed();
}

function takeRaceEvent(e) {
  if (!e || typeof e !== "object" || !known(e.session_id)) return;
  // An event of an older session than the one shown (a late answer) is dropped.
  if (feedSession !== null && e.session_id < feedSession) return;
  takeEvents(e.session_id, [e]);
}

async function loadFeedHistory() {
  try {
    const answer = await fetch("/api/sessions/latest/events", { cache: "no-store" });
    if (!answer.ok) return;  // no session yet, or no race history: the feed stays as it is
    const body = await answer.json();
    if (!body || body.format !== "pitwall-events" || !body.session || !Array.isArray(body.events)) return;
    if (feedSession !== null && body.session.id < feedSession) return;
    takeEvents(body.session.id, body.events);
  } catch {
    // The stream's own retries say what is wrong with the web view.
  }
}

// The event stream. When it ends, or is turned down (the browser closes an
// EventSource that gets anything but a stream, and says nothing about the
// answer), the page asks the server itself: a 503 says when to come back
// (too many viewers), a stream means it can be opened again, no answer
// means the web view is down and is asked again later and later. A broken
// stream is asked about at once; only tries that keep failing wait.
let events = null;       // the open EventSource, or null
let retryTimer = 0;
let countdownTimer = 0;
let backoff = 0;         // ms before the next try after a failure; 0 once a stream delivers
let streamFailed = false;  // the last stream ended before it delivered anything, and no answer said why
const DEADLINE_MS = 10000;  // for an answer to begin
const SHORT_STREAM_MS = 5000;

function clearRetry() {
  clearTimeout(retryTimer);
  clearInterval(countdownTimer);
  retryTimer = countdownTimer = 0;
}

// Says "<text>; retrying in N s." until `ms` has passed, then calls `then`.
function retryIn(ms, kind, text, then) {
  clearRetry();
  const at = performance.now() + ms;
  const say = () => {
    const left = Math.max(1, Math.ceil((at - performance.now()) / 1000));
    showStatus(kind, text + "; retrying in " + left + " s.", "");
  };
  say();
  countdownTimer = setInterval(say, 1000);
  retryTimer = setTimeout(() => { clearRetry(); then(); }, ms);
}

function nextBackoff() {
  backoff = Math.min(15000, Math.max(1000, backoff * 2));
  return backoff;
}

function openStream() {
  clearRetry();
  const source = new EventSource("/api/events");
  events = source;
  let delivered = false;
  const began = performance.now();
  const end = () => {
    if (events !== source) return;
    clearTimeout(deadline);
    source.close();
    events = null;
    // One that ends soon after it began counts as failed too, so a server
    // that keeps closing streams is not asked in a loop.
    if (!delivered || performance.now() - began < SHORT_STREAM_MS) streamFailed = true;
    probe();
  };
  const deadline = setTimeout(end, DEADLINE_MS);  // accepted, but nothing came
  const take = (handler) => (e) => {
    if (!delivered) {
      delivered = true;
      clearTimeout(deadline);
      backoff = 0;
      streamFailed = false;
    }
    handler(JSON.parse(e.data));
  };
  source.addEventListener("status", take(showServerStatus));
  source.addEventListener("track", take(drawTrack));
  source.addEventListener("state", take(takeState));
  source.addEventListener("race", take(takeRaceEvent));
  source.onerror = end;
  loadFeedHistory();
}

function retryAfter(value) {
  // Seconds, or an HTTP date; 5 s when absent or odd.
  let s = /^\s*\d+\s*$/.test(value || "") ? Number(value) : (Date.parse(value || "") - Date.now()) / 1000;
  if (!Number.isFinite(s)) s = 5;
  return Math.min(300, Math.max(1, Math.ceil(s))) * 1000;
}

async function probe() {
  clearRetry();
  const control = new AbortController();
  const deadline = setTimeout(() => control.abort(), DEADLINE_MS);
  try {
    const answer = await fetch("/api/events", {
      signal: control.signal, cache: "no-store", headers: { Accept: "text/event-stream" },
    });
    if (answer.status === 200 && (answer.headers.get("Content-Type") || "").startsWith("text/event-stream")) {
      control.abort();  // only a question: the EventSource takes its place
      if (streamFailed) retryIn(nextBackoff(), "unreachable", "The timing stream broke off", openStream);
      else openStream();
      return;
    }
    streamFailed = false;  // the answer says why
    if (answer.status === 503) {
      let body = null;
      try { body = await answer.json(); } catch { /* the reason is only a nicety */ }
      const crowded = body !== null && typeof body === "object" && body.status === "too_many_viewers";
      retryIn(retryAfter(answer.headers.get("Retry-After")), crowded ? "too_many_viewers" : "busy",
              crowded ? "Too many viewers" : "The web view is busy", probe);
      return;
    }
    control.abort();
    retryIn(nextBackoff(), "unreachable", "The web view answers " + answer.status, probe);
  } catch {
    streamFailed = false;
    retryIn(nextBackoff(), "unreachable", "The web view does not answer", probe);
  } finally {
    clearTimeout(deadline);
  }
}

setInterval(() => {
  if (state && options.rows > 0) {
    const step = Math.max(1, options.rows - Math.min(options.fixed, options.rows));
    for (const [key, start] of pageStarts) pageStarts.set(key, start + step);
    drawTower();
  }
}, 5000);
showStatus("connecting", serverStatusText.connecting, "");
requestAnimationFrame(animate);
openStream();
