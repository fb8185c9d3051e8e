// The PitwallFeed live page and its overlays. Reads the web view's API:
// api/events (server-sent events: status, track, state, change, race),
// api/state and the recorded session's events (api/sessions/latest/events).
// Every address is relative to the page's, so the same files serve at the
// server's root and under a path of a proxy in front (/race1/, /race1/overlay).
// Plain JavaScript, no build step, no network beyond this server; nothing
// inline, so the page runs under a policy that allows only this server's
// own files. Needs state_change.js loaded before it.
"use strict";

const params = new URLSearchParams(location.search);
// The overlay is the page at .../overlay, whatever path leads there.
const overlay = location.pathname.split("/").pop() === "overlay";

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

// The tower's columns by the names cols= takes: each cell's class name
// (what the style sheet and the tests know a column by) and its heading.
// "sector" is the sector the car is in now, one of the default columns.
const COLUMNS = {
  pos: { cls: "pos", head: "P" }, num: { cls: "num", head: "No" }, class: { cls: "cls", head: "Class" },
  driver: { cls: "driver", head: "Driver" }, gap: { cls: "gap", head: "Gap" }, int: { cls: "interval", head: "Int" },
  last: { cls: "last", head: "Last" }, best: { cls: "best", head: "Best" }, pace: { cls: "pace", head: "Pace" },
  trend: { cls: "trend", head: "Trend" }, s1: { cls: "s1 split", head: "S1" }, s2: { cls: "s2 split", head: "S2" },
  s3: { cls: "s3 split", head: "S3" }, sector: { cls: "sector", head: "S" }, pit: { cls: "pit", head: "Pit" },
  stops: { cls: "stops", head: "Stops" }, gained: { cls: "gained", head: "+/-" },
};
const DEFAULT_COLUMNS = ["pos", "num", "driver", "gap", "int", "last", "best", "sector", "pit", "gained"];
function columnList(name) {
  const raw = params.get(name);
  if (raw === null || raw.trim() === "") return DEFAULT_COLUMNS;
  const wanted = raw.split(",").map((c) => c.trim().toLowerCase()).filter((c) => c !== "");
  const unknown = wanted.filter((c) => !Object.hasOwn(COLUMNS, c));
  if (unknown.length > 0) console.warn(`pitwall: ${name}= has no column ${unknown.join(", ")}; it takes ${Object.keys(COLUMNS).join(", ")}`);
  const list = [...new Set(wanted.filter((c) => Object.hasOwn(COLUMNS, c)))];
  if (list.length > 0) return list;
  console.warn(`pitwall: ${name}=${raw} names no column; using ${DEFAULT_COLUMNS.join(",")}`);
  return DEFAULT_COLUMNS;
}

// font= a family from the list (any letter case), or any plain family
// name (letters, digits, spaces, hyphens), which the browser may or may not
// have: the usual faces stand behind it.
const FONTS = ["sans-serif", "serif", "monospace", "system-ui", "DejaVu Sans", "DejaVu Sans Condensed", "DejaVu Serif",
  "DejaVu Sans Mono", "Liberation Sans", "Noto Sans", "Arial", "Helvetica", "Verdana", "Tahoma", "Trebuchet MS",
  "Georgia", "Roboto", "Roboto Condensed", "Open Sans"];
const GENERIC_FONTS = ["sans-serif", "serif", "monospace", "system-ui"];
function fontFamily(name) {
  const raw = params.get(name);
  if (raw === null || raw.trim() === "") return null;
  const value = raw.trim().replace(/\s+/g, " ");
  const listed = FONTS.find((f) => f.toLowerCase() === value.toLowerCase());
  if (listed) return GENERIC_FONTS.includes(listed) ? listed : `"${listed}"`;
  if (/^[A-Za-z0-9][A-Za-z0-9 -]{0,63}$/.test(value)) return `"${value}"`;
  console.warn(`pitwall: ${name}=${raw} is not a font name (letters, digits, spaces and hyphens); using the usual font`);
  return null;
}
// accent= #rgb, #rrggbb or one of a few colour names.
const ACCENTS = ["white", "black", "silver", "grey", "gray", "red", "orange", "gold", "yellow", "lime", "green",
  "teal", "cyan", "blue", "navy", "purple", "magenta", "pink"];
function accentColour(name) {
  const raw = params.get(name);
  if (raw === null || raw.trim() === "") return null;
  const value = raw.trim().toLowerCase();
  if (/^#([0-9a-f]{3}|[0-9a-f]{6})$/.test(value) || ACCENTS.includes(value)) return value;
  console.warn(`pitwall: ${name}=${raw} is not #rgb, #rrggbb or one of ${ACCENTS.join(", ")}; using the usual accent`);
  return null;
}

// The broadcast graphics (broadcast.js draws them), each an overlay's view.
const BROADCAST_VIEWS = ["relative", "battles", "ticker", "pit", "clock", "results"];

const options = {
  view: overlay ? choice("view", ["tower", "map", "both", "events", ...BROADCAST_VIEWS], "both") : "both",
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
  columns: columnList("cols"),
  font: fontFamily("font"),
  accent: accentColour("accent"),
  // The race as it was this many seconds ago (0: live); see openStream.
  delay: number("delay", 0, 300, 0, false),
  within: number("within", 0.1, 5, 1, false),  // battles: seconds between two cars
  hold: number("hold", 2, 30, 6, false),       // ticker: seconds a line stays
  local: choice("local", ["0", "1"], "0") === "1",  // clock: the viewer's own time too
};
const broadcast = BROADCAST_VIEWS.includes(options.view);
// What the view draws: an overlay of the tower alone keeps no markers
// gliding, one of the map alone no tower, one of the events neither.
const mapShown = !overlay || options.view === "map" || options.view === "both";
const towerShown = !overlay || options.view === "tower" || options.view === "both";
const root = document.documentElement;
root.classList.add(overlay ? "overlay" : "page");
if (options.theme === "light") root.classList.add("light");
root.classList.add("view-" + options.view, "status-" + options.status);
if (options.column === "gap") root.classList.add("hide-interval");
if (options.column === "interval") root.classList.add("hide-gap");
if (options.width > 0) document.body.style.width = options.width + "px";
if (options.scale !== 1) document.body.style.zoom = String(options.scale);
root.classList.add("name-" + options.name);
if (broadcast) root.classList.add("broadcast");
if (options.font !== null) root.style.setProperty("--font", options.font + ", \"DejaVu Sans\", Arial, sans-serif");
if (options.accent !== null) root.style.setProperty("--accent", options.accent);

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
  // "gathering": a delayed stream waits until the web view holds its delay
  // of the race; the delay badge says how long.
  const kind = s.status in serverStatusText || s.status === "live" || s.status === "gathering" ? s.status : "connecting";
  showStatus(kind, serverStatusText[kind] || "", s.message || "");
  takeDelayStatus(s);
}

// delay=S: a badge says the race is shown S seconds late ("Delayed 10 s"),
// on the page in the session bar, in an overlay small in a corner (not with
// status=hide). Until the web view holds S seconds of the race (the status
// object's kept_s short of its delay_s) the stream sends nothing newer, and
// the badge counts down to the start. A web view that sends no delay_s
// cannot delay: the badge says the race is live instead.
const delayBadge = document.getElementById("delay");
let delayWait = null;       // {left_s, at}: seconds to wait as of `at`, while waiting
let delayTimer = 0;
let delayRefused = false;   // the web view does not delay
let streamState = false;    // the open stream has sent a state
if (overlay) document.body.appendChild(delayBadge);
function delaySeconds() {
  return Number.isInteger(options.delay) ? String(options.delay) : options.delay.toFixed(1).replace(/\.0$/, "");
}
function showDelay() {
  if (options.delay === 0 || options.status === "hide") return;
  delayBadge.hidden = false;
  delayBadge.classList.toggle("refused", delayRefused);
  let text = "Delayed " + delaySeconds() + " s";
  if (delayRefused) text = "Live: this web view cannot delay";
  else if (delayWait !== null && !streamState) {
    const left = Math.max(1, Math.ceil(delayWait.left_s - (performance.now() - delayWait.at) / 1000));
    text += " \u2014 starting in " + left + " s";
  }
  if (delayBadge.textContent !== text) delayBadge.textContent = text;
}
function takeDelayStatus(s) {
  if (options.delay === 0) return;
  if (!known(s.delay_s)) {
    if (!delayRefused) console.warn(`pitwall: the web view sends no delay_s; delay=${options.delay} is not applied`);
    delayRefused = true;
  } else {
    delayRefused = false;
    delayWait = known(s.kept_s) && s.kept_s < s.delay_s ? { left_s: s.delay_s - s.kept_s, at: performance.now() } : null;
  }
  clearInterval(delayTimer);
  delayTimer = delayWait !== null && !streamState ? setInterval(showDelay, 1000) : 0;
  showDelay();
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

// How a lap or sector time compares, as the state marks it: purple, green
// or yellow, and besides the colour a symbol and words in the title, so
// that it reads in greyscale and to a colour-blind viewer.
const MARKS = {
  session_best: { cls: "mark-sb", symbol: "\u25c6", words: "session best" },  // a diamond
  personal_best: { cls: "mark-pb", symbol: "\u25cf", words: "personal best" },  // a dot
  slower: { cls: "mark-slow", symbol: "", words: "slower than its best" },
};
function markTime(node, mark, what) {
  const m = typeof mark === "string" && Object.hasOwn(MARKS, mark) ? MARKS[mark] : null;
  if (m === null) return node;
  node.classList.add(m.cls);
  node.dataset.mark = mark;
  if (m.symbol !== "") {
    const cue = document.createElement("span");
    cue.className = "cue";
    cue.setAttribute("aria-hidden", "true");
    cue.textContent = m.symbol;
    node.appendChild(cue);
  }
  node.title = what + ": " + m.words;
  node.setAttribute("aria-label", node.title);
  return node;
}
// A sector's time: seconds under a minute, else as a lap time.
function sectorTime(s) {
  return known(s) && s > 0 && s < 60 ? s.toFixed(3) : lapTime(s);
}
// The car's latest time in sector k (0 to 2) into `td`: the lap in
// progress's, or dimmed, the previous lap's.
function sectorCell(td, car, k) {
  const sector = Array.isArray(car.sectors) ? car.sectors[k] : null;
  if (!sector || typeof sector !== "object" || !known(sector.time_s)) {
    td.textContent = "--";
    return td;
  }
  td.textContent = sectorTime(sector.time_s);
  if (sector.current !== true) td.classList.add("previous");
  markTime(td, sector.mark, "S" + (k + 1) + " " + sectorTime(sector.time_s) + (known(sector.lap) ? " on lap " + sector.lap : ""));
  return td;
}
// How its interval to the car ahead moves: an arrow, and in words in the title.
const TRENDS = { closing: { symbol: "\u25bc", words: "closing" }, growing: { symbol: "\u25b2", words: "growing" },
                 steady: { symbol: "\u2013", words: "steady" } };
function trendCell(td, trend) {
  const t = trend && typeof trend === "object" && Object.hasOwn(TRENDS, trend.direction) ? TRENDS[trend.direction] : null;
  if (t === null) return td;
  td.textContent = t.symbol;
  td.classList.add("trend-" + trend.direction);
  td.dataset.trend = trend.direction;
  let words = "interval " + t.words;
  if (known(trend.change_s_per_lap)) {
    words += " (" + (trend.change_s_per_lap > 0 ? "+" : "") + trend.change_s_per_lap.toFixed(2) + " s a lap";
    words += known(trend.laps) ? " over " + trend.laps + (trend.laps === 1 ? " lap)" : " laps)") : ")";
  }
  td.title = words;
  td.setAttribute("aria-label", words);
  return td;
}
// The car's number on a chip in its class's colour, or null without either.
function numberChip(car) {
  const chip = document.createElement("span");
  chip.className = "chip";
  chip.textContent = numberOf(car) !== null ? String(numberOf(car)) : "";
  const colour = classColour(car.class_colour);
  if (colour !== null) paint(chip, colour);
  else chip.classList.add("plain");
  return chip.textContent !== "" || colour !== null ? chip : null;
}
function classChip(car) {
  const name = classOf(car);
  if (name === null) return null;
  const chip = document.createElement("bdi");
  chip.className = "class-chip";
  chip.textContent = name;
  const colour = classColour(car.class_colour);
  if (colour !== null) paint(chip, colour);
  return chip;
}

// Each column's cell of a car's row.
const CELLS = {
  pos: (td, car, at) => { td.textContent = known(at.place) ? String(at.place) : "-"; },
  num: (td, car) => { const chip = numberChip(car); if (chip) td.appendChild(chip); },
  class: (td, car) => { const chip = classChip(car); if (chip) td.appendChild(chip); },
  driver: (td, car) => {
    td.textContent = shownName(car);
    if (options.name !== "full") td.title = car.driver;
  },
  gap: (td, car, at) => { td.textContent = at.place === 1 ? "leader" : at.gap ? at.gap.text : ""; },
  int: (td, car, at) => { td.textContent = at.interval ? at.interval.text : ""; },
  last: (td, car) => {
    td.textContent = lapTime(car.last_lap_s);
    if (known(car.last_lap_s) && car.last_lap_s > 0) markTime(td, car.last_lap_mark, "last lap " + lapTime(car.last_lap_s));
  },
  best: (td, car, at) => {
    td.textContent = lapTime(car.best_lap_s);
    if (at.fastest) {
      td.classList.add("fastest");
      markTime(td, "session_best", "best lap " + lapTime(car.best_lap_s));
    }
  },
  pace: (td, car) => {
    td.textContent = known(car.pace_s) ? lapTime(car.pace_s) : "--";
    if (known(car.pace_s) && known(car.pace_laps)) td.title = "mean of its last " + (car.pace_laps === 1 ? "lap" : car.pace_laps + " laps");
  },
  trend: (td, car) => trendCell(td, car.interval_trend),
  s1: (td, car) => sectorCell(td, car, 0),
  s2: (td, car) => sectorCell(td, car, 1),
  s3: (td, car) => sectorCell(td, car, 2),
  sector: (td, car) => { td.textContent = car.sector === 0 ? "3" : String(car.sector); },
  pit: (td, car) => {
    td.textContent = car.finished ? "fin" : car.in_pits ? "PIT" : known(car.pit_stops) ? String(car.pit_stops) : "-";
    if (car.in_pits && !car.finished) td.classList.add("in");
  },
  stops: (td, car) => { td.textContent = known(car.pit_stops) ? String(car.pit_stops) : "-"; },
  gained: (td, car) => {
    const gained = car.places_gained;
    td.textContent = !known(gained) ? "-" : gained > 0 ? "+" + gained : gained < 0 ? String(gained) : "";
    if (known(gained) && gained > 0) td.classList.add("up");
    if (known(gained) && gained < 0) td.classList.add("down");
  },
};

function towerHead() {
  const tr = document.createElement("tr");
  for (const key of options.columns) {
    const th = document.createElement("th");
    th.className = COLUMNS[key].cls;
    th.textContent = COLUMNS[key].head;
    th.scope = "col";
    tr.appendChild(th);
  }
  tower.tHead.replaceChildren(tr);
}

function towerRow(car, byClass) {
  const at = standing(car, byClass);
  const tr = document.createElement("tr");
  tr.dataset.index = car.index;
  if (classOf(car) !== null) tr.dataset.class = classOf(car);
  if (at.place === 1) tr.classList.add("leader");
  if (followed(car)) tr.classList.add("followed");
  for (const key of options.columns) CELLS[key](cell(tr, COLUMNS[key].cls, ""), car, at);
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

// The tower is drawn afresh in detached rows, then only the cells that
// differ from those shown are put in their place: ten states a second
// change a few gaps, and a cell left alone costs the browser nothing.
function patchRow(old, next) {
  if (old.tagName !== next.tagName || old.className !== next.className || old.dataset.index !== next.dataset.index ||
      old.dataset.class !== next.dataset.class || old.cells.length !== next.cells.length) {
    old.replaceWith(next);
    return;
  }
  const cells = [...next.cells];
  cells.forEach((cellNext, i) => {
    const cellOld = old.cells[i];
    if (cellOld.outerHTML !== cellNext.outerHTML) cellOld.replaceWith(cellNext);
  });
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
  const shownBodies = [...tower.tBodies];
  bodies.forEach((body, i) => {
    const old = shownBodies[i];
    if (!old || old.className !== body.className || old.dataset.class !== body.dataset.class) {
      if (old) old.replaceWith(body);
      else tower.appendChild(body);
      return;
    }
    const next = [...body.rows];
    next.forEach((tr, k) => {
      if (k < old.rows.length) patchRow(old.rows[k], tr);
      else old.appendChild(tr);
    });
    while (old.rows.length > next.length) old.rows[old.rows.length - 1].remove();
  });
  for (const old of shownBodies.slice(bodies.length)) old.remove();
  const note = cut ? view.cars.length + " cars" : "";
  if (pageNote.textContent !== note) pageNote.textContent = note;
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
  // What the page shows, for a test to match against the web view's states.
  root.dataset.updates = known(state.updates) ? state.updates : "";
  if (!streamState) {
    streamState = true;
    if (delayTimer !== 0) { clearInterval(delayTimer); delayTimer = 0; }
    showDelay();
    if (options.delay > 0 && feedWanted()) loadFeedHistory();
  }
  if (broadcast) {
    document.title = state.session ? state.session.track + " · PitwallFeed" : "PitwallFeed live";
    drawBroadcast(state);
    return;
  }
  // The number column once any car has a number or a class.
  root.classList.toggle("league", state.cars.some((car) => numberOf(car) !== null || classOf(car) !== null));
  if (numbered !== state.cars.some((car) => numberOf(car) !== null)) {
    numbered = !numbered;
    sizeMarkers();
  }
  showSessionLine(state.session);
  document.title = state.session ? state.session.track + " · PitwallFeed" : "PitwallFeed live";
  if (towerShown) drawTower();
  if (mapShown) {
    drawLegend();
    updateMarkers(now);
  }
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

// The newest race event the stream has sent, {session, id}, or null.
let streamed = null;
function takeRaceEvent(e) {
  if (!e || typeof e !== "object" || !known(e.session_id)) return;
  if (streamed === null || e.session_id > streamed.session || (e.session_id === streamed.session && e.id > streamed.id)) {
    streamed = { session: e.session_id, id: known(e.id) ? e.id : 0 };
  }
  if (broadcast) {
    tickerEvent(e);
    return;
  }
  // An event of an older session than the one shown (a late answer) is dropped.
  if (feedSession !== null && e.session_id < feedSession) return;
  takeEvents(e.session_id, [e]);
}

// The recorded history is live; a delayed stream is behind it. Of the
// history it keeps what the stream has reached: up to the stream's newest
// race event, or before the stream sent one, up to the session time of the
// state shown; a session recorded after that state is not shown at all
// (null: the feed stays as it is).
function delayedHistory(body) {
  if (options.delay === 0) return body.events;
  if (!state || !state.session) return null;
  if (streamed !== null) {
    if (body.session.id !== streamed.session) return body.session.id < streamed.session ? body.events : null;
    return body.events.filter((e) => known(e.id) && e.id <= streamed.id);
  }
  if (known(body.session.started_unix_s) && known(state.received_unix_s) && body.session.started_unix_s > state.received_unix_s) return null;
  const shownAt = state.session.time_s;
  return known(shownAt) ? body.events.filter((e) => known(e.at_s) && e.at_s <= shownAt) : null;
}
// The page and view=events show the feed; the broadcast ticker only what
// comes while it is open.
function feedWanted() {
  return !overlay || options.view === "events";
}

async function loadFeedHistory() {
  try {
    const answer = await fetch("api/sessions/latest/events", { cache: "no-store" });
    if (!answer.ok) return;  // no session yet, or no race history: the feed stays as it is
    const body = await answer.json();
    if (!body || body.format !== "pitwall-events" || !body.session || !Array.isArray(body.events)) return;
    if (feedSession !== null && body.session.id < feedSession) return;
    const shown = delayedHistory(body);
    if (shown !== null) takeEvents(body.session.id, shown);
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

// The stream's address: changes after a first whole state; with delay=S,
// the race as it was S seconds ago.
function delayQuery() {
  return options.delay > 0 ? "delay=" + encodeURIComponent(String(options.delay)) : "";
}
function streamUrl() {
  return "api/events?changes=1" + (options.delay > 0 ? "&" + delayQuery() : "");
}

// Changes that came while none could be applied, oldest first (at most
// CHANGES_KEPT): they wait for a whole state from api/state (asked at most
// once a second, one question at a time) or from the stream, and those
// that follow on from it are applied. A page that never had a whole state
// shows nothing of the race until one comes.
const CHANGES_KEPT = 64;
const STATE_ASK_MS = 1000;
let waitingChanges = [];
let stateAsked = false;     // a question to api/state is on its way
let stateAskedAt = -Infinity;
let stateAskTimer = 0;

function takeChange(change) {
  const next = state ? applyStateChange(state, change) : null;
  if (next !== null) {
    takeState(next);
    return;
  }
  waitingChanges.push(change);
  if (waitingChanges.length > CHANGES_KEPT) waitingChanges.splice(0, waitingChanges.length - CHANGES_KEPT);
  askForState();
}

// A whole state, from the stream or from api/state: the page takes it with
// the waiting changes that follow on from it.
function takeWholeState(whole) {
  const resumed = resumeFrom(whole, waitingChanges);
  waitingChanges = resumed.waiting;
  takeState(resumed.state);
  if (waitingChanges.length > 0) askForState();
}

function askForState() {
  if (waitingChanges.length === 0 || stateAsked || stateAskTimer !== 0) return;
  const wait = stateAskedAt + STATE_ASK_MS - performance.now();
  if (wait > 0) {
    stateAskTimer = setTimeout(() => { stateAskTimer = 0; askForState(); }, wait);
    return;
  }
  stateAsked = true;
  stateAskedAt = performance.now();
  fetchState().then((whole) => {
    stateAsked = false;
    if (waitingChanges.length === 0) return;  // the stream brought a whole state meanwhile
    // One older than the page's own would take the race back in time: the
    // changes wait for the next.
    if (whole !== null && !(state && state.received_unix_s > whole.received_unix_s)) takeWholeState(whole);
    else askForState();
  });
}

// The whole state the web view (or the proxy in front) holds now, as
// delayed as the stream; null when there is none or no answer.
async function fetchState() {
  const control = new AbortController();
  const deadline = setTimeout(() => control.abort(), DEADLINE_MS);
  try {
    const answer = await fetch("api/state" + (options.delay > 0 ? "?" + delayQuery() : ""), {
      signal: control.signal, cache: "no-store",
    });
    if (!answer.ok) return null;
    const body = await answer.json();
    const whole = body !== null && typeof body === "object" && typeof body.received_unix_s === "number" && Array.isArray(body.cars);
    return whole ? body : null;
  } catch {
    return null;  // the stream's own retries say what is wrong with the web view
  } finally {
    clearTimeout(deadline);
  }
}

function openStream() {
  clearRetry();
  const source = new EventSource(streamUrl());
  events = source;
  streamState = false;
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
  source.addEventListener("state", take(takeWholeState));
  source.addEventListener("change", take(takeChange));
  source.addEventListener("race", take(takeRaceEvent));
  source.onerror = end;
  // A delayed stream's feed waits for its first state, which says how far
  // the history may go.
  if (options.delay === 0 && feedWanted()) loadFeedHistory();
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
    const answer = await fetch(streamUrl(), {
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
  if (state && options.rows > 0 && towerShown) {
    const step = Math.max(1, options.rows - Math.min(options.fixed, options.rows));
    for (const [key, start] of pageStarts) pageStarts.set(key, start + step);
    drawTower();
  }
}, 5000);
towerHead();
showStatus("connecting", serverStatusText.connecting, "");
showDelay();
if (mapShown) requestAnimationFrame(animate);
openStream();
