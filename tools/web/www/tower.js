// The timing tower and the session line above it, drawn from what a state
// shows (league.js viewOf) with the options that shape them.
import { markTime, trendCell, numberChip, classChip } from "./cells.js";
import { known, lapTime, sectorTime } from "./format.js";
import { classOf, followed, shownName, standing } from "./league.js";
import { COLUMNS } from "./options.js";

// The session line as pieces of text; the track's and the driver's names
// are marked, so that each goes into an element of its own whose
// bidirectional text cannot reorder the rest of the line. The parts are
// the state's headline, joined with " · ".
function sessionParts(s) {
  if (!s) return ["Waiting for the session"];
  const h = s.headline;
  const parts = [{ name: s.track }, " · " + s.kind];
  for (const part of [h.lap, h.clock, h.outcome]) if (part !== null) parts.push(" · " + part);
  if (h.fastest !== null) parts.push(" · fastest " + h.fastest.time + " ", { name: h.fastest.driver });
  return parts;
}

// The session line of `state` into `line`.
export function showSessionLine(line, state) {
  line.replaceChildren(...sessionParts(state.session).map((part) => {
    if (typeof part === "string") return document.createTextNode(part);
    const name = document.createElement("bdi");
    name.textContent = part.name;
    return name;
  }));
}

// The rows of one section of the tower (`key`: the whole field, or a
// class when split): with rows=N the leaders stay, the rest pages through
// the section every few seconds. `pageStarts` holds each section's first
// row of its paging part.
function rowsToShow(cars, key, options, pageStarts) {
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
// Every section's paging part a page on.
export function turnPages(options, pageStarts) {
  const step = Math.max(1, options.rows - Math.min(options.fixed, options.rows));
  for (const [key, start] of pageStarts) pageStarts.set(key, start + step);
}

function cell(row, cls, text) {
  const td = document.createElement("td");
  td.className = cls;
  td.textContent = text;
  row.appendChild(td);
  return td;
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

// Each column's cell of a car's row.
const CELLS = {
  pos: (td, car, at) => { td.textContent = known(at.place) ? String(at.place) : "-"; },
  num: (td, car) => { const chip = numberChip(car); if (chip) td.appendChild(chip); },
  class: (td, car) => { const chip = classChip(car); if (chip) td.appendChild(chip); },
  driver: (td, car, at, options) => {
    td.textContent = shownName(car, options.name);
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

// The tower's heading row: the columns cols= names, in its order.
export function towerHead(tower, columns) {
  const tr = document.createElement("tr");
  for (const key of columns) {
    const th = document.createElement("th");
    th.className = COLUMNS[key].cls;
    th.textContent = COLUMNS[key].head;
    th.scope = "col";
    tr.appendChild(th);
  }
  tower.tHead.replaceChildren(tr);
}

function towerRow(car, byClass, options) {
  const at = standing(car, byClass);
  const tr = document.createElement("tr");
  tr.dataset.index = car.index;
  if (classOf(car) !== null) tr.dataset.class = classOf(car);
  if (at.place === 1) tr.classList.add("leader");
  if (followed(car, options.follow)) tr.classList.add("followed");
  for (const key of options.columns) CELLS[key](cell(tr, COLUMNS[key].cls, ""), car, at, options);
  return tr;
}

// The tower's sections: the cars shown, or with split=class one a class
// in the classes' order (then the cars in none), each under its name.
function towerSections(view, split) {
  if (split !== "class" || view.classes.length === 0) return [{ key: "", head: null, cars: view.cars }];
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

// `view` (what a state shows) into `tower`, and into `pageNote` how many
// cars there are when rows= leaves some out.
export function drawTower(tower, pageNote, view, options, pageStarts) {
  const columns = tower.querySelectorAll("thead th").length;
  const bodies = [];
  let cut = false;
  for (const section of towerSections(view, options.split)) {
    const body = document.createElement("tbody");
    if (section.head !== null) {
      body.className = "class-section";
      body.dataset.class = section.name;
      body.appendChild(sectionHead(section.head, section.cars.length, columns));
    }
    const rows = rowsToShow(section.cars, section.key, options, pageStarts);
    if (rows.length < section.cars.length) cut = true;
    for (const car of rows) body.appendChild(towerRow(car, view.byClass, options));
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
