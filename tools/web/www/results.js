// The results page: a recorded session's classification, fastest lap and
// pit stops, with the league's classes a classification of each class
// (its winner, its gaps, its fastest lap), then a lap chart (each car's place lap by lap) and a gap chart
// (seconds behind the leader at each crossing of the line), both SVG built
// here with DOM calls in the cars' map colours (each row's colour).
// Reads api/sessions/ID/results and /laps (ID from ?session=, default
// latest) and api/sessions, relative to the page's own address (the root,
// or a proxy's path such as /race1/). Plain JavaScript, nothing inline, no network
// beyond this server; every text from the network goes in by textContent.
// A module; what the page holds that changes is in `page` below.
import { known } from "./format.js";
import { classColour, classOf, numberOf, paint } from "./league.js";

const SVG = "http://www.w3.org/2000/svg";
const params = new URLSearchParams(location.search);
const root = document.documentElement;
root.classList.add("page", "results-page");
if ((params.get("theme") || "").trim().toLowerCase() === "light") root.classList.add("light");

// ?session=ID (a whole number) or latest; anything else is the latest.
function sessionParam() {
  const raw = (params.get("session") || "").trim().toLowerCase();
  if (raw === "" || raw === "latest") return "latest";
  if (/^\d{1,15}$/.test(raw)) return String(Number(raw));
  console.warn(`pitwall: session=${raw} is neither a number nor latest; using latest`);
  return "latest";
}
const wanted = sessionParam();

const $ = (id) => document.getElementById(id);
const note = $("results-note");
const sessionLine = $("session-line");

function lapTime(s) {
  if (!known(s) || !(s > 0)) return "-";
  const ms = Math.round(s * 1000);
  const h = Math.floor(ms / 3600000), m = Math.floor(ms / 60000) % 60, rest = ms % 60000;
  const tail = String(Math.floor(rest / 1000)).padStart(2, "0") + "." + String(rest % 1000).padStart(3, "0");
  return h > 0 ? h + ":" + String(m).padStart(2, "0") + ":" + tail : m + ":" + tail;
}
function clock(s) {
  if (!known(s) || s < 0) return "-";
  const t = Math.floor(s), h = Math.floor(t / 3600), m = Math.floor(t / 60) % 60, sec = t % 60;
  return (h > 0 ? h + ":" + String(m).padStart(2, "0") : String(m)) + ":" + String(sec).padStart(2, "0");
}
function seconds(s) {
  return known(s) ? s.toFixed(1) + " s" : "-";
}
function plural(n, word) {
  return n + " " + word + (n === 1 ? "" : "s");
}
function localTime(unixS) {
  if (!known(unixS)) return "";
  return new Date(unixS * 1000).toLocaleString([], {
    year: "numeric", month: "short", day: "numeric", hour: "2-digit", minute: "2-digit",
  });
}
function bdi(text) {
  const b = document.createElement("bdi");
  b.textContent = text;
  return b;
}
// A name in an SVG text: between Unicode's isolates (first strong isolate,
// pop directional isolate), as SVG has no <bdi>; long names are cut.
function isolated(name, max) {
  let s = String(name);
  if ([...s].length > max) s = [...s].slice(0, max - 1).join("") + "…";
  return "\u2068" + s + "\u2069";
}
function el(tag, attrs, parent) {
  const node = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, typeof v === "number" ? +v.toFixed(2) : v);
  if (parent) parent.appendChild(node);
  return node;
}
function svgText(parent, x, y, text, cls, extra = {}) {
  const t = el("text", { x, y, class: cls, ...extra }, parent);
  t.textContent = text;
  return t;
}

const kindNames = { race: "Race", practice: "Practice", qualifying: "Qualifying", warmup: "Warm-up" };
const statusNames = { finished: "Finished", running: "Running", retired: "Retired", disqualified: "Disqualified" };

function showNote(text) {
  note.textContent = text;
  note.hidden = text === "";
}

function showSessionLine(s) {
  const parts = [bdi(s.track || "Unknown track"),
    document.createTextNode(" · " + (kindNames[s.kind] || String(s.kind || "session")))];
  const when = localTime(s.started_unix_s);
  if (when) parts.push(document.createTextNode(" · " + when));
  if (known(s.laps)) parts.push(document.createTextNode(" · " + plural(s.laps, "lap")));
  if (known(s.cars)) parts.push(document.createTextNode(" · " + plural(s.cars, "car")));
  if (!s.ended) parts.push(document.createTextNode(" · in progress"));
  sessionLine.replaceChildren(...parts);
  document.title = (s.track || "Results") + " · " + (kindNames[s.kind] || "session") + " results · PitwallFeed";
}

function cell(tr, cls, content) {
  const td = document.createElement("td");
  td.className = cls;
  if (typeof content === "string") td.textContent = content;
  else td.append(...content);
  tr.appendChild(td);
  return td;
}

// Each car's colour as the results give it (its row's), by index: the map's.
let colours = new Map();
function carColour(car) {
  return colours.get(car) || "#808080";
}

function swatch(car) {
  const s = document.createElement("span");
  s.className = "swatch";
  s.style.backgroundColor = carColour(car);  // CSSOM, which the policy allows
  return s;
}

// The session's classes in the results' order (the league file's), each
// {name, colour (null unless "#rrggbb"), winner, fastest_lap}; a class a
// row names that the session does not list comes after them, plain.
function classesOf(data) {
  const given = Array.isArray(data.classes) ? data.classes : [];
  const list = given.filter((c) => c && typeof c.name === "string" && c.name !== "")
    .map((c) => ({ name: c.name, colour: classColour(c.colour), winner: c.winner || null, fastest_lap: c.fastest_lap || null }));
  for (const r of data.rows) {
    const name = classOf(r);
    if (name !== null && !list.some((x) => x.name === name)) list.push({ name, colour: null, winner: null, fastest_lap: null });
  }
  return list;
}
// The class's name on a chip in its colour.
function classChip(c) {
  const chip = document.createElement("span");
  chip.className = "class-chip";
  chip.textContent = c.name;
  if (c.colour !== null) {
    paint(chip, c.colour);
  } else {
    chip.classList.add("plain");
  }
  return chip;
}
// The car's number, when the league gives one, before its name.
function named(r) {
  const parts = [swatch(r.car)];
  if (numberOf(r) !== null) {
    const n = document.createElement("span");
    n.className = "car-number";
    n.textContent = String(numberOf(r));
    parts.push(n);
  }
  parts.push(bdi(r.driver));
  return parts;
}
// The time of a classification's first row, the gap of the others.
function timeOrGap(r, first, gap, ended) {
  if (first && known(r.total_s)) return lapTime(r.total_s);
  if (first && !ended) return "leader";
  return gap && typeof gap.text === "string" ? gap.text : "-";
}

function drawClassification(data) {
  const s = data.session;
  const fastest = data.fastest_lap;
  const classes = classesOf(data);
  const rows = [];
  for (const r of data.rows) {
    const tr = document.createElement("tr");
    tr.dataset.car = r.car;
    tr.classList.add("status-" + (Object.hasOwn(statusNames, r.status) ? r.status : "other"));
    cell(tr, "pos", known(r.position) ? String(r.position) : "-");
    const c = classes.find((x) => x.name === classOf(r));
    const place = document.createElement("span");
    place.className = "class-pos";
    place.textContent = c && known(r.class_position) ? String(r.class_position) : "";
    const cls = cell(tr, "cls", c ? [classChip(c), place] : "");
    if (c) tr.dataset.class = c.name;
    if (c && r.class_position === 1) cls.classList.add("first");
    cell(tr, "driver", named(r));
    cell(tr, "laps", known(r.laps) ? String(r.laps) : "-");
    cell(tr, "time", timeOrGap(r, r.position === 1, r.gap, s.ended));
    const bestLap = document.createElement("span");
    bestLap.className = "lapno";
    bestLap.textContent = known(r.best_lap_s) && known(r.best_lap) ? " (L" + r.best_lap + ")" : "";
    const best = cell(tr, "best", [document.createTextNode(lapTime(r.best_lap_s)), bestLap]);
    if (fastest && fastest.car === r.car) best.classList.add("fastest");
    cell(tr, "led", known(r.laps_led) ? String(r.laps_led) : "-");
    cell(tr, "pits", known(r.pit_stops) ? String(r.pit_stops) : "-");
    const g = r.places_gained;
    const gained = cell(tr, "gained", !known(g) ? "-" : g > 0 ? "▲" + g : g < 0 ? "▼" + -g : "=");
    if (known(g) && g > 0) gained.classList.add("up");
    if (known(g) && g < 0) gained.classList.add("down");
    cell(tr, "status", statusNames[r.status] || String(r.status || "-"));
    rows.push(tr);
  }
  document.querySelector("#results-table tbody").replaceChildren(...rows);
  $("classification").classList.toggle("has-classes", classes.length > 0);
  $("provisional").hidden = !!s.ended;
  $("classification").classList.toggle("is-provisional", !s.ended);
  const fl = $("fastest-lap");
  if (fastest && known(fastest.lap_s)) {
    fl.replaceChildren(document.createTextNode("Fastest lap: "), swatch(fastest.car), bdi(fastest.driver),
                       document.createTextNode(" " + lapTime(fastest.lap_s) + (known(fastest.lap) ? " on lap " + fastest.lap : "")));
  } else {
    fl.textContent = "No timed lap yet.";
  }
  $("classification").hidden = false;
}

// A classification of each class, in the classes' order: its cars in
// their order within it, the gaps to its own winner, its fastest lap.
function drawClasses(data) {
  const s = data.session;
  const classes = classesOf(data);
  const boxes = classes.map((c) => {
    // The rows are in overall order, so each class's are in its own.
    const mine = data.rows.filter((r) => classOf(r) === c.name);
    const box = document.createElement("div");
    box.className = "class-box";
    box.dataset.class = c.name;
    const head = document.createElement("h3");
    const count = document.createElement("span");
    count.className = "class-count";
    count.textContent = plural(mine.length, "car");
    head.append(classChip(c), count);
    if (c.winner && typeof c.winner.driver === "string") {
      const w = document.createElement("span");
      w.className = "class-winner";
      w.append(document.createTextNode(s.ended ? "winner " : "leading "), bdi(c.winner.driver));
      head.append(w);
    }
    const table = document.createElement("table");
    table.className = "class-table";
    const thead = document.createElement("thead");
    const hr = document.createElement("tr");
    for (const [cls, text] of [["pos", "P"], ["driver", "Driver"], ["laps", "Laps"], ["time", "Time / gap"],
                               ["best", "Best lap"], ["overall", "Overall"], ["status", "Status"]]) {
      const th = document.createElement("th");
      th.className = cls;
      th.textContent = text;
      hr.appendChild(th);
    }
    thead.appendChild(hr);
    const body = document.createElement("tbody");
    const fl = c.fastest_lap;
    for (const r of mine) {
      const tr = document.createElement("tr");
      tr.dataset.car = r.car;
      tr.classList.add("status-" + (Object.hasOwn(statusNames, r.status) ? r.status : "other"));
      const pos = cell(tr, "pos", known(r.class_position) ? String(r.class_position) : "-");
      if (r.class_position === 1) pos.classList.add("first");
      cell(tr, "driver", named(r));
      cell(tr, "laps", known(r.laps) ? String(r.laps) : "-");
      cell(tr, "time", timeOrGap(r, r.class_position === 1, r.class_gap, s.ended));
      const best = cell(tr, "best", lapTime(r.best_lap_s));
      if (fl && fl.car === r.car) best.classList.add("fastest");
      cell(tr, "overall", known(r.position) ? "P" + r.position : "-");
      cell(tr, "status", statusNames[r.status] || String(r.status || "-"));
      body.appendChild(tr);
    }
    table.append(thead, body);
    const scroll = document.createElement("div");
    scroll.className = "table-scroll";
    scroll.appendChild(table);
    const line = document.createElement("p");
    line.className = "class-fastest";
    if (fl && known(fl.lap_s)) {
      line.append(document.createTextNode("Fastest lap: "), swatch(fl.car), bdi(fl.driver),
                  document.createTextNode(" " + lapTime(fl.lap_s) + (known(fl.lap) ? " on lap " + fl.lap : "")));
    } else {
      line.textContent = "No timed lap yet.";
    }
    box.append(head, scroll, line);
    return box;
  });
  $("class-boxes").replaceChildren(...boxes);
  $("class-results").hidden = boxes.length === 0;
}

function drawPits(data) {
  const stops = Array.isArray(data.pit_stops) ? [...data.pit_stops] : [];
  stops.sort((a, b) => (a.entry_s ?? Infinity) - (b.entry_s ?? Infinity) || a.car - b.car);
  const rows = stops.map((p) => {
    const tr = document.createElement("tr");
    tr.dataset.car = p.car;
    cell(tr, "driver", [swatch(p.car), bdi(p.driver)]);
    cell(tr, "number", known(p.number) ? String(p.number) : "-");
    cell(tr, "lap", known(p.lap) ? String(p.lap) : "-");
    cell(tr, "entry", clock(p.entry_s));
    cell(tr, "lane", known(p.lane_s) ? seconds(p.lane_s) : known(p.exit_s) ? "-" : "in the lane");
    cell(tr, "stint", known(p.stint_laps) ? String(p.stint_laps) : "-");
    return tr;
  });
  document.querySelector("#pit-table tbody").replaceChildren(...rows);
  const box = $("pit-summary");
  box.hidden = false;
  if (rows.length === 0) {
    const tr = document.createElement("tr");
    cell(tr, "none", "No pit stops.").colSpan = 6;
    document.querySelector("#pit-table tbody").appendChild(tr);
  }
}

// The cars of the session in classification order, then any car with laps
// but no row; each with its laps in order.
function carsOf(results, laps) {
  const byCar = new Map();
  for (const r of results.rows) {
    byCar.set(r.car, { car: r.car, driver: r.driver, position: r.position, row: r, laps: [] });
  }
  for (const l of laps.laps) {
    if (!known(l.car) || !known(l.lap)) continue;
    let c = byCar.get(l.car);
    if (!c) {
      c = { car: l.car, driver: l.driver, position: null, row: null, laps: [] };
      byCar.set(l.car, c);
    }
    c.laps.push(l);
  }
  const cars = [...byCar.values()];
  for (const c of cars) c.laps.sort((a, b) => a.lap - b.lap);
  let next = Math.max(0, ...cars.map((c) => (known(c.position) ? c.position : 0)));
  for (const c of cars) if (!known(c.position)) c.position = ++next;
  cars.sort((a, b) => a.position - b.position);
  return cars;
}

// The longest cut of the names (22 characters down to 6) whose widest end
// label of `svg`, made by text(name cut), fits in `room`; and that width.
function fitLabels(svg, cars, text, room) {
  const probe = el("text", { class: "end-label", x: 0, y: 0 }, svg);
  let fit = { max: 6, width: 0 };
  for (const max of [22, 18, 15, 12, 10, 8, 6]) {
    let most = 0;
    for (const c of cars) {
      probe.textContent = text(c, max);
      most = Math.max(most, probe.getComputedTextLength());
    }
    fit = { max, width: most };
    if (most <= room) break;
  }
  probe.remove();
  return fit;
}

function chartWidth(svg, printing) {
  if (printing) return 720;
  const box = svg.closest(".chart-box");
  return Math.max(340, Math.min(1600, Math.floor(box.clientWidth)));
}

// Lap numbers along the top and bottom, every lap or every few.
function lapAxis(g, n, x, top, bottom) {
  const room = n > 0 ? (x(n) - x(0)) / n : 1;  // pixels a lap
  const every = [1, 2, 5, 10, 20, 50, 100].find((e) => e * room >= 24) || 200;
  for (let k = 0; k <= n; k++) {
    if (k % every !== 0 && k !== n) continue;
    el("line", { x1: x(k), x2: x(k), y1: top, y2: bottom, class: "grid" }, g);
    svgText(g, x(k), top - 6, String(k), "axis lap-label");
    svgText(g, x(k), bottom + 14, String(k), "axis lap-label");
  }
}

function carGroup(parent, c) {
  const g = el("g", { class: "car-lines", "data-car": String(c.car) }, parent);
  return g;
}

// The hit area: a wide transparent path along the line, so a thin line is
// easy to point at; printed pages leave it out.
function hitPath(g, points) {
  if (points.length === 0) return;
  el("path", { d: "M" + points.map((p) => p[0].toFixed(1) + " " + p[1].toFixed(1)).join(" L"), class: "hit" }, g);
}

function drawLapChart(svg, cars, laps, width) {
  const n = Math.max(1, laps);
  const places = Math.max(cars.length, ...cars.flatMap((c) => c.laps.map((l) => (known(l.place) ? l.place : 0))));
  const rowH = places <= 24 ? 24 : Math.max(12, Math.min(20, Math.floor(780 / places)));
  const font = Math.min(12, rowH - 2);
  svg.replaceChildren();
  svg.style.setProperty("--font", font + "px");
  svg.classList.toggle("crowded", places > 30);
  const labelOf = (c, max) => c.position + " " + isolated(c.driver, max);
  const fit = fitLabels(svg, cars, labelOf, width * 0.4 - 24);
  const labelText = (c) => labelOf(c, fit.max);
  const left = 34, top = 26, bottom = 26;
  const right = 24 + fit.width;
  const height = top + rowH * (places - 1) + bottom + rowH;
  const plotW = width - left - right;
  const x = (k) => left + (plotW * k) / n;
  const y = (p) => top + rowH / 2 + rowH * (p - 1);
  svg.setAttribute("viewBox", `0 0 ${width} ${height}`);
  svg.setAttribute("width", width);
  svg.setAttribute("height", Math.round(height));
  const axes = el("g", { class: "axes" }, svg);
  lapAxis(axes, n, x, top - 4, top + rowH * places - rowH / 2 + 4);
  for (let p = 1; p <= places; p++) svgText(axes, left - 8, y(p), String(p), "axis place-label");
  const lines = el("g", { class: "lines" }, svg);
  const labels = el("g", { class: "labels" }, svg);
  const width1 = places <= 24 ? 2 : 1.25;
  for (const c of cars) {
    const pts = [];
    const r = c.row;
    if (r && known(r.places_gained) && known(r.position)) pts.push([x(0), y(r.position + r.places_gained)]);
    for (const l of c.laps) if (known(l.place) && l.lap >= 1 && l.lap <= n) pts.push([x(l.lap), y(l.place)]);
    const g = carGroup(lines, c);
    hitPath(g, pts);
    el("polyline", {
      points: pts.map((p) => p[0].toFixed(1) + "," + p[1].toFixed(1)).join(" "),
      class: "car-line", stroke: carColour(c.car), "stroke-width": width1,
    }, g);
    for (const l of c.laps) {
      if (l.in_lap && known(l.place) && l.lap >= 1) {
        el("circle", { cx: x(l.lap), cy: y(l.place), r: places <= 24 ? 3.5 : 2.5, class: "pit-mark", fill: carColour(c.car) }, g);
      }
    }
    const out = r && (r.status === "retired" || r.status === "disqualified");
    const end = pts[pts.length - 1];
    if (end && out) el("path", { d: `M${end[0] - 3} ${end[1] - 3} L${end[0] + 3} ${end[1] + 3} M${end[0] - 3} ${end[1] + 3} L${end[0] + 3} ${end[1] - 3}`, class: "out-mark", stroke: carColour(c.car) }, g);
    // The label at the car's place in the classification, joined to where
    // its line ends when that is elsewhere (a car that stopped early).
    const ly = y(c.position);
    const lx = x(n) + 8;
    if (end && (Math.abs(end[1] - ly) > 0.5 || end[0] < x(n) - 0.5)) {
      el("polyline", { points: `${end[0]},${end[1]} ${x(n) + 3},${ly}`, class: "connector", stroke: carColour(c.car) }, g);
    }
    el("circle", { cx: lx + 3, cy: ly, r: Math.min(4, rowH / 3), class: "key", fill: carColour(c.car), "data-car": String(c.car) }, labels);
    svgText(labels, lx + 10, ly, labelText(c), "end-label", { "data-car": String(c.car) });
  }
}

function niceStep(max) {
  for (const step of [0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 1800, 3600]) if (max / step <= 8) return step;
  return Math.ceil(max / 8 / 3600) * 3600;
}

// The labels' heights, pushed apart to at least `gap` and kept in [lo, hi].
function spread(items, gap, lo, hi) {
  items.sort((a, b) => a.want - b.want);
  let at = lo - gap;
  for (const it of items) { it.y = Math.max(it.want, at + gap); at = it.y; }
  at = hi + gap;
  for (let i = items.length - 1; i >= 0; i--) { items[i].y = Math.min(items[i].y, at - gap); at = items[i].y; }
}

function drawGapChart(svg, cars, laps, width) {
  const n = Math.max(1, laps);
  // Each car's gap at every crossing: seconds, or laps behind.
  const series = cars.map((c) => ({
    c,
    points: c.laps.filter((l) => l.lap >= 1 && l.lap <= n).map((l) => {
      if (l.gap && known(l.gap.laps) && l.gap.laps > 0) return { lap: l.lap, lapsDown: l.gap.laps };
      if (l.gap && known(l.gap.seconds)) return { lap: l.lap, s: Math.max(0, l.gap.seconds) };
      if (l.place === 1) return { lap: l.lap, s: 0 };
      return null;
    }).filter((p) => p !== null),
  }));
  const values = series.flatMap((s) => s.points.filter((p) => known(p.s)).map((p) => p.s)).sort((a, b) => a - b);
  let most = values.length ? values[values.length - 1] : 1;
  const p90 = values.length ? values[Math.floor((values.length - 1) * 0.9)] : 0;
  if (p90 > 0 && most > 3 * p90) most = p90 * 1.5;  // one car far behind does not flatten the rest
  const step = niceStep(Math.max(most, 1));
  const cap = Math.max(step, Math.ceil(most / step) * step);
  const anyLapped = series.some((s) => s.points.some((p) => known(p.lapsDown)));
  const spacing = cars.length <= 24 ? 16 : 12;
  const font = cars.length <= 24 ? 12 : 10.5;
  svg.replaceChildren();
  svg.style.setProperty("--font", font + "px");
  svg.classList.toggle("crowded", cars.length > 30);
  const left = 52, top = 26;
  const fit = fitLabels(svg, cars, (c, max) => isolated(c.driver, max), width * 0.4 - 32);
  const right = 32 + fit.width;
  const plotH = Math.max(300, cars.length * spacing);
  const band = anyLapped ? 34 : 0;
  const height = top + plotH + band + 30;
  const plotW = width - left - right;
  const x = (k) => left + (plotW * k) / n;
  const y = (s) => top + (plotH * Math.min(s, cap)) / cap;
  const yLapped = (down) => top + plotH + 12 + Math.min(down - 1, 2) * 8;
  svg.setAttribute("viewBox", `0 0 ${width} ${height}`);
  svg.setAttribute("width", width);
  svg.setAttribute("height", Math.round(height));
  const axes = el("g", { class: "axes" }, svg);
  lapAxis(axes, n, x, top - 4, top + plotH + band + 4);
  for (let v = 0; v <= cap + 1e-9; v += step) {
    el("line", { x1: left, x2: x(n), y1: y(v), y2: y(v), class: "grid" }, axes);
    svgText(axes, left - 8, y(v), (v === 0 ? "0" : "+" + (step < 1 ? v.toFixed(1) : String(v))) + (v === cap ? " s" : ""), "axis place-label");
  }
  if (anyLapped) {
    el("rect", { x: left, y: top + plotH + 4, width: plotW, height: band - 4, class: "lapped-band" }, axes);
    svgText(axes, left - 8, top + plotH + band / 2 + 2, "lapped", "axis place-label");
  }
  const lines = el("g", { class: "lines" }, svg);
  const labels = el("g", { class: "labels" }, svg);
  const width1 = cars.length <= 24 ? 2 : 1.25;
  const ends = [];
  for (const { c, points } of series) {
    const pts = points.map((p) => [x(p.lap), known(p.lapsDown) ? yLapped(p.lapsDown) : y(p.s)]);
    const g = carGroup(lines, c);
    hitPath(g, pts);
    el("polyline", {
      points: pts.map((p) => p[0].toFixed(1) + "," + p[1].toFixed(1)).join(" "),
      class: "car-line", stroke: carColour(c.car), "stroke-width": width1,
    }, g);
    points.forEach((p, i) => {
      if (known(p.s) && p.s > cap) {  // beyond the scale: a small arrow at its edge
        const [px, py] = pts[i];
        el("path", { d: `M${px - 4} ${py - 6} L${px + 4} ${py - 6} L${px} ${py} Z`, class: "clip-mark", fill: carColour(c.car) }, g);
      }
    });
    if (pts.length === 1) el("circle", { cx: pts[0][0], cy: pts[0][1], r: 2.5, class: "dot", fill: carColour(c.car) }, g);
    if (pts.length === 0) continue;
    const end = pts[pts.length - 1];
    const out = c.row && (c.row.status === "retired" || c.row.status === "disqualified");
    if (out && points[points.length - 1].lap < n) {
      // A car out of the race: a cross and its name where its line stops.
      el("path", { d: `M${end[0] - 3} ${end[1] - 3} L${end[0] + 3} ${end[1] + 3} M${end[0] - 3} ${end[1] + 3} L${end[0] + 3} ${end[1] - 3}`, class: "out-mark", stroke: carColour(c.car) }, g);
      svgText(labels, end[0] + 6, end[1] + font, isolated(c.driver, fit.max), "end-label out-label", { "data-car": String(c.car) });
      continue;
    }
    ends.push({ c, g, end, want: end[1] });
  }
  spread(ends, spacing, top, top + plotH + band);
  for (const e of ends) {
    const lx = x(n) + 10;
    el("polyline", { points: `${e.end[0]},${e.end[1]} ${x(n) + 2},${e.end[1]} ${lx - 2},${e.y}`, class: "connector", stroke: carColour(e.c.car) }, e.g);
    el("circle", { cx: lx + 3, cy: e.y, r: 3.5, class: "key", fill: carColour(e.c.car), "data-car": String(e.c.car) }, labels);
    svgText(labels, lx + 10, e.y, isolated(e.c.driver, fit.max), "end-label", { "data-car": String(e.c.car) });
  }
}

// What the page holds that changes: the car a tap keeps highlighted
// (pinned), the results and laps as drawn (shown: {results, laps}), the
// timers of the next reading and of a resize, the width drawn for.
const page = { pinned: null, shown: null, refreshTimer: 0, lastWidth: innerWidth, resizeTimer: 0 };

// One car highlighted in the tables and both charts, by pointing at its
// line, its label or its row; a tap (click) keeps it until the next one.
function highlight(car) {
  const on = car !== null && car !== undefined;
  root.classList.toggle("highlighting", on);
  for (const node of document.querySelectorAll("[data-car]")) node.classList.toggle("hl", on && node.dataset.car === String(car));
  if (on) for (const g of document.querySelectorAll(`svg.chart g.car-lines[data-car="${car}"]`)) g.parentNode.appendChild(g);
}
function carAt(target) {
  const node = target instanceof Element ? target.closest("[data-car]") : null;
  return node ? node.dataset.car : null;
}
document.addEventListener("pointerover", (e) => {
  if (page.pinned === null) highlight(carAt(e.target));
});
document.addEventListener("pointerout", (e) => {
  if (page.pinned === null && carAt(e.relatedTarget) === null) highlight(null);
});
document.addEventListener("click", (e) => {
  const car = carAt(e.target);
  if (car === null && e.target instanceof Element && e.target.closest("a")) return;
  page.pinned = car === null || car === page.pinned ? null : car;
  highlight(page.pinned ?? (car === null ? null : car));
});

function drawCharts(printing) {
  const shown = page.shown;
  if (!shown || !shown.laps) return;
  const cars = carsOf(shown.results, shown.laps);
  const laps = Math.max(shown.results.session.laps || 0, ...shown.laps.laps.map((l) => (known(l.lap) ? l.lap : 0)));
  for (const id of ["lap-chart-box", "gap-chart-box"]) $(id).hidden = cars.length === 0 || laps === 0;
  if (cars.length === 0 || laps === 0) return;
  const lapSvg = document.querySelector("svg.lap-chart");
  drawLapChart(lapSvg, cars, laps, chartWidth(lapSvg, printing));
  const gapSvg = document.querySelector("svg.gap-chart");
  drawGapChart(gapSvg, cars, laps, chartWidth(gapSvg, printing));
  if (page.pinned !== null) highlight(page.pinned);
}

async function getJson(path) {
  const answer = await fetch(path, { cache: "no-store" });
  let body = null;
  try { body = await answer.json(); } catch { /* a body that is no JSON reads as none */ }
  return { status: answer.status, body };
}

function wrongAnswer(what, r) {
  if (r.status === 404 && wanted === "latest") return "No session has been recorded yet.";
  if (r.status === 404) return `There is no session ${wanted}.`;
  const reason = r.body && typeof r.body.error === "string" ? ": " + r.body.error : "";
  if (r.status === 503) return "The race history is not available" + reason + ".";
  return `The web view answers ${r.status} for the ${what}${reason}.`;
}

async function load() {
  clearTimeout(page.refreshTimer);
  const base = "api/sessions/" + wanted;
  let results, laps;
  try {
    [results, laps] = await Promise.all([getJson(base + "/results"), getJson(base + "/laps")]);
  } catch {
    showNote("The web view does not answer; retrying.");
    page.refreshTimer = setTimeout(load, 10000);
    return;
  }
  if (results.status !== 200 || !results.body || results.body.format !== "pitwall-results") {
    showNote(results.status === 200 ? "The results could not be read." : wrongAnswer("results", results));
    for (const id of ["classification", "class-results", "pit-summary", "lap-chart-box", "gap-chart-box"]) $(id).hidden = true;
    return;
  }
  const data = results.body;
  if (!Array.isArray(data.rows)) data.rows = [];
  colours = new Map(data.rows.map((r) => [r.car, r.colour]));
  showSessionLine(data.session);
  const provisional = !data.session.ended;
  showNote(data.rows.length === 0 ? (provisional ? "No car has been classified yet; the session is in progress."
                                                 : "No car was classified in this session.")
         : provisional ? "The session is in progress: this classification is provisional." : "");
  drawClassification(data);
  drawClasses(data);
  drawPits(data);
  const lapsOk = laps.status === 200 && laps.body && laps.body.format === "pitwall-laps" && Array.isArray(laps.body.laps);
  page.shown = { results: data, laps: lapsOk ? laps.body : null };
  if (lapsOk) drawCharts(false);
  else for (const id of ["lap-chart-box", "gap-chart-box"]) $(id).hidden = true;
  // A session in progress is read again now and then.
  if (provisional) page.refreshTimer = setTimeout(load, 15000);
  loadSessions(data.session.id);
}

async function loadSessions(current) {
  let r;
  try { r = await getJson("api/sessions"); } catch { return; }
  if (r.status !== 200 || !r.body || !Array.isArray(r.body.sessions) || r.body.sessions.length < 2) return;
  const items = r.body.sessions.slice(0, 30).map((s) => {
    const li = document.createElement("li");
    const a = document.createElement("a");
    a.href = "results?session=" + encodeURIComponent(s.id);
    a.append(bdi(s.track || "?"), document.createTextNode(" · " + (kindNames[s.kind] || s.kind) + " · " + localTime(s.started_unix_s)));
    if (s.winner) a.append(document.createTextNode(" · "), bdi(s.winner));
    if (!s.ended) a.append(document.createTextNode(" · in progress"));
    if (s.id === current) { li.className = "current"; a.setAttribute("aria-current", "page"); }
    li.appendChild(a);
    return li;
  });
  $("session-list").replaceChildren(...items);
  $("other-sessions").hidden = false;
}

// Drawn again for a new width; for printing at the width of an A4 page.
addEventListener("resize", () => {
  clearTimeout(page.resizeTimer);
  page.resizeTimer = setTimeout(() => {
    if (Math.abs(innerWidth - page.lastWidth) < 8) return;
    page.lastWidth = innerWidth;
    drawCharts(false);
  }, 150);
});
addEventListener("beforeprint", () => drawCharts(true));
addEventListener("afterprint", () => drawCharts(false));

load();
