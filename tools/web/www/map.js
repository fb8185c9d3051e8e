// The track map: the track's strips, a marker for each car gliding from
// state to state, and the legend of the league's classes. What the map
// keeps between states (its box, the markers' size, each marker's glide,
// the pace of the feed) is the page's, handed in as `live`.
import { known } from "./format.js";
import { classColour, classOf, followed, markerColour, numberOf, paint, shownName, standing } from "./league.js";

const SVG = "http://www.w3.org/2000/svg";

// The track into `strips` and the map's viewBox; live.trackBox becomes its
// box [x, y, width, height] in metres.
export function drawTrack(map, strips, live, track) {
  strips.replaceChildren();
  let minX = Infinity, maxX = -Infinity, minZ = Infinity, maxZ = -Infinity;
  for (const strip of track.strips) {
    const pts = strip.points;
    if (pts.length === 0) continue;
    // The band's outline, in drawing order as /api/track gives it.
    const d = strip.band.map(([x, z], i) => (i === 0 ? "M" : "L") + x + " " + -z).join(" ") + " ";
    const path = document.createElementNS(SVG, "path");
    path.setAttribute("d", d + "Z");
    path.setAttribute("class", "strip kind" + strip.kind);
    strips.appendChild(path);
    for (const [x, z] of pts) {
      minX = Math.min(minX, x); maxX = Math.max(maxX, x);
      minZ = Math.min(minZ, -z); maxZ = Math.max(maxZ, -z);
    }
  }
  if (minX === Infinity) return;
  const pad = Math.max(maxX - minX, maxZ - minZ) * 0.04 + 10;
  live.trackBox = [minX - pad, minZ - pad, maxX - minX + 2 * pad, maxZ - minZ + 2 * pad];
  map.setAttribute("viewBox", live.trackBox.join(" "));
  sizeMarkers(map, live);
}

// A marker is 1/100 of the track's extent, and never smaller than a few
// pixels on screen, so a small map (a phone, an overlay) still shows them;
// one that carries a car number (up to three digits) a little larger.
const MARKER_MIN_PX = 6;
const NUMBERED_MIN_PX = 8;
export function sizeMarkers(map, live) {
  const box0 = live.trackBox;
  if (box0 === null) return;
  const extent = Math.max(box0[2], box0[3]);
  const box = map.getBoundingClientRect();
  // The viewBox fits the element ("meet"): the tighter side sets the units per pixel.
  const unitsPerPx = box.width > 0 && box.height > 0 ? Math.max(box0[2] / box.width, box0[3] / box.height) : 0;
  live.markerRadius = live.numbered ? Math.max(extent / 80, NUMBERED_MIN_PX * unitsPerPx)
                                    : Math.max(extent / 100, MARKER_MIN_PX * unitsPerPx);
  for (const m of live.markers.values()) sizeMarker(m, live.markerRadius);
}
function sizeMarker(m, r) {
  m.group.children[0].setAttribute("r", (r * 1.55).toFixed(2));
  m.group.children[1].setAttribute("r", r.toFixed(2));
  // A three-digit car number in smaller type, to stay inside the dot.
  m.group.children[2].setAttribute("font-size", (r * (m.group.children[2].textContent.length > 2 ? 0.8 : 1.1)).toFixed(2));
}

// The markers glide. The web view sends states at its own pace (ten a
// second) while the simulator moves the cars at another (five a second is
// common), so a state often repeats the previous positions: those say
// nothing about motion. A car that moved glides from where its marker is
// now to the new place over twice the smoothed time between moving states,
// so it is still under way when the next move comes, even a late one, and
// it never goes back: it trails the feed by about one update.
const GLIDE_SPAN = 2;
// The markers in `cars` brought to `view` (what a state shows) at `now`.
export function updateMarkers(cars, live, view, follow, now) {
  const paused = now - live.lastStateAt > 2000;  // after a pause the markers are placed, not glided
  let anyMoved = false;
  const seen = new Set();
  const markers = live.markers;
  for (const car of view.cars) {
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
      cars.appendChild(group);
      m = { group, from: to, to, start: now, duration: 1 };
      markers.set(car.index, m);
      sizeMarker(m, live.markerRadius);
    } else if (to[0] !== m.to[0] || to[1] !== m.to[1]) {
      anyMoved = true;
      m.from = paused ? to : position(m, now);
      m.to = to;
      m.start = now;
      m.duration = live.pace * GLIDE_SPAN;
    }
    // In the class's colour (a car in no class keeps its own), with the
    // car's number, or without one its place.
    const place = standing(car, view.byClass).place;
    const label = numberOf(car) !== null ? String(numberOf(car)) : known(place) ? String(place) : "";
    m.group.children[1].setAttribute("fill", markerColour(car));
    if (m.group.children[2].textContent !== label) {
      m.group.children[2].textContent = label;
      sizeMarker(m, live.markerRadius);
    }
    m.group.classList.toggle("leader", place === 1);
    m.group.classList.toggle("followed", followed(car, follow));
    m.group.dataset.place = car.place === null ? "" : car.place;
    m.group.dataset.class = classOf(car) || "";
  }
  if (anyMoved) {
    if (!paused && live.lastMoveAt > -Infinity) {
      // One long gap (cars parked, a stalled feed) moves the estimate only
      // a little; a feed that really slows down is followed in a few states.
      const gap = Math.min(now - live.lastMoveAt, 3 * live.pace);
      live.pace = Math.min(2000, Math.max(30, live.pace + (gap - live.pace) * 0.2));
    }
    live.lastMoveAt = now;
  }
  for (const [index, m] of markers) {
    if (!seen.has(index)) { m.group.remove(); markers.delete(index); }
  }
  // The leader on top: later children are drawn over earlier ones.
  const order = [...markers.values()].sort((a, b) => (b.group.dataset.place || 999) - (a.group.dataset.place || 999));
  for (const m of order) cars.appendChild(m.group);
}

function position(m, now) {
  const f = Math.min(1, Math.max(0, (now - m.start) / m.duration));
  return [m.from[0] + (m.to[0] - m.from[0]) * f, m.from[1] + (m.to[1] - m.from[1]) * f];
}

// Each marker where its glide has it at `now`.
export function placeMarkers(markers, now) {
  for (const m of markers.values()) {
    const [x, y] = position(m, now);
    m.group.setAttribute("transform", "translate(" + x.toFixed(2) + " " + y.toFixed(2) + ")");
  }
}

// The map's legend, when the session has classes: the cars shown, class by
// class in the classes' order, each by number in its marker's colour, and
// by last name (the short one with name=short), a key kept small. Drawn
// into `legend` only when what it shows differs from `live.legendDrawn`.
export function drawLegend(legend, root, view, nameHow, live) {
  const legendName = (car) => shownName(car, nameHow === "full" ? "last" : nameHow);
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
  if (key === live.legendDrawn) return;
  live.legendDrawn = key;
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
      if (classColour(car.class_colour) !== null) paint(dot, colour);
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
