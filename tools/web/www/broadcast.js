// The broadcast graphics, each an overlay of its own (/overlay?view=V): the
// relative box around one car, the battles on track, the events ticker, the
// pit lane, the race clock and the result at the flag. Every value comes
// from the timing state or the race events as the web view sends them; the
// graphics only pick, order and format. app.js calls drawBroadcast with each
// state and tickerEvent with each race event.
//
// What the graphics keep between states is the page's live.broadcast:
// {drawn (what the view shows now, to draw it again only when that changes),
// warned (the console warnings given, each once), tickerSeen (the race
// events the ticker has shown)}; live.warned is the class= warning's.
import { markTime, numberChip, trendCell } from "./cells.js";
import { feedSentence } from "./feed.js";
import { known, lapTime } from "./format.js";
import { classOf, followed, numberOf, pickedClass, shownName, standing } from "./league.js";

function warnOnce(live, key, text) {
  const warned = live.broadcast.warned;
  if (warned.has(key)) return;
  warned.add(key);
  console.warn("pitwall: " + text);
}

function el(tag, cls, text) {
  const node = document.createElement(tag);
  if (cls) node.className = cls;
  if (text !== undefined && text !== null) node.textContent = text;
  return node;
}

// A box with a heading; `rows` its lines.
function box(kind, head, rows) {
  const b = el("div", "bx bx-" + kind);
  if (head !== null) {
    const h = el("div", "bx-head");
    h.append(...(Array.isArray(head) ? head : [head]).map((part) => (typeof part === "string" ? document.createTextNode(part) : part)));
    b.appendChild(h);
  }
  b.append(...rows);
  return b;
}

// rows= for a view that shows at most `max` of something (0: `fallback`).
function rowsFor(fallback, max, what, options, live) {
  if (options.rows === 0) return fallback;
  if (options.rows > max) warnOnce(live, "rows", `rows=${options.rows} is more than ${max} ${what}; using ${max}`);
  return Math.min(options.rows, max);
}

// The car's name, as a bidirectionally isolated element with the whole
// name in its title when shortened.
function nameCell(car, how) {
  const name = el("bdi", "name", shownName(car, how));
  if (how !== "full") name.title = car.driver;
  return name;
}
function chipCell(car) {
  const cellBox = el("span", "num");
  const chip = numberChip(car);
  if (chip) cellBox.appendChild(chip);
  return cellBox;
}
function placeText(place) {
  return known(place) ? String(place) : "-";
}

// Brings the shown tree `old` to look like `next`, keeping the elements
// that stay (ten states a second change a few figures, and an element left
// in place costs the browser little): same tag, its attributes and
// children made alike; anything else replaced.
function morph(old, next) {
  if (old.nodeType !== next.nodeType || old.nodeName !== next.nodeName) {
    old.replaceWith(next);
    return;
  }
  if (old.nodeType === Node.TEXT_NODE) {
    if (old.nodeValue !== next.nodeValue) old.nodeValue = next.nodeValue;
    return;
  }
  if (old.nodeType !== Node.ELEMENT_NODE) return;
  for (const a of [...old.attributes]) if (!next.hasAttribute(a.name)) old.removeAttribute(a.name);
  for (const a of next.attributes) {
    // Styles through the CSSOM: the policy refuses a style attribute set as such.
    if (a.name === "style") {
      if (old.style.cssText !== next.style.cssText) old.style.cssText = next.style.cssText;
    } else if (old.getAttribute(a.name) !== a.value) {
      old.setAttribute(a.name, a.value);
    }
  }
  const kids = [...next.childNodes];
  kids.forEach((kid, i) => {
    if (i < old.childNodes.length) morph(old.childNodes[i], kid);
    else old.appendChild(kid);
  });
  while (old.childNodes.length > kids.length) old.lastChild.remove();
}

// The graphic view= names, of state `s`, into `view` (the broadcast view's element).
export function drawBroadcast(view, s, options, live) {
  const draw = { relative: relativeView, battles: battlesView, pit: pitView, clock: clockView, results: resultsView, ticker: () => null }[options.view];
  const made = draw(s, options, live);
  const memo = live.broadcast;
  if (made === null) {
    if (options.view !== "ticker" && memo.drawn !== "") {
      view.replaceChildren();
      memo.drawn = "";
    }
    view.hidden = options.view !== "ticker" || view.childElementCount === 0;
    return;
  }
  const [key, build] = made;
  if (key !== memo.drawn) {
    memo.drawn = key;
    const next = build();
    if (view.childNodes.length === 1) morph(view.firstChild, next);
    else view.replaceChildren(next);
  }
  view.hidden = false;
}

// The relative box: the followed car (follow=, else the leader, or the
// leader of class= if given) in the middle, the cars just ahead of it on
// track above, those just behind below, nearest to it next to it, each with
// the time between them on track and whether it is a lap or more up or down.
function relativeSubject(s, options, live) {
  const placed = s.cars.filter((car) => known(car.place));
  if (options.follow !== "") {
    const hit = s.cars.find((car) => followed(car, options.follow));
    if (hit) return hit;
    warnOnce(live, "follow", `follow=${options.follow} names no driver of the session; following the leader`);
  }
  const cls = pickedClass(s, options, live.warned);
  if (cls !== null) return placed.find((car) => classOf(car) === cls && car.class_place === 1) || null;
  return placed.find((car) => car.place === 1) || null;
}
function lapCue(laps) {
  if (!known(laps) || laps === 0) return null;
  const n = Math.abs(laps);
  const cue = el("span", laps > 0 ? "laps up" : "laps down", (laps > 0 ? "+" : "-") + n + "L");
  cue.title = n + (n === 1 ? " lap " : " laps ") + (laps > 0 ? "up" : "down");
  return cue;
}
function relativeView(s, options, live) {
  const me = relativeSubject(s, options, live);
  if (me === null) return null;
  const byIndex = new Map(s.cars.map((car) => [car.index, car]));
  const each = rowsFor(3, 3, "cars each way", options, live);
  const rel = me.relative && typeof me.relative === "object" ? me.relative : { ahead: [], behind: [] };
  const list = (side) => (Array.isArray(rel[side]) ? rel[side] : []).filter((r) => r && byIndex.has(r.index)).slice(0, each);
  const ahead = list("ahead").reverse(), behind = list("behind");
  const byClass = pickedClass(s, options, live.warned) !== null;
  const line = (car, r, side) => ({
    index: car.index, place: standing(car, byClass).place, name: shownName(car, options.name), number: numberOf(car), colour: car.class_colour,
    pits: car.in_pits === true, gap: r && known(r.gap_s) ? (side === "ahead" ? "-" : "+") + r.gap_s.toFixed(1) : "",
    laps: r ? r.laps : 0,
    side, last: car.last_lap_s, mark: car.last_lap_mark,
  });
  const lines = [...ahead.map((r) => line(byIndex.get(r.index), r, "ahead")), line(me, null, "self"),
                 ...behind.map((r) => line(byIndex.get(r.index), r, "behind"))];
  return [JSON.stringify(["relative", options.name, lines]), () => {
    const rows = lines.map((l) => {
      const car = byIndex.get(l.index);
      const row = el("div", "rl-row " + l.side);
      row.dataset.index = l.index;
      row.dataset.side = l.side;
      const last = el("span", "last", lapTime(l.last));
      if (known(l.last) && l.last > 0) markTime(last, l.mark, "last lap " + lapTime(l.last));
      const gap = el("span", "gap", l.gap);
      const cue = lapCue(l.laps);
      const extra = el("span", "extra");
      if (l.pits) extra.appendChild(el("span", "pits", "PIT"));
      if (cue) extra.appendChild(cue);
      row.append(el("span", "pos", placeText(l.place)), chipCell(car), nameCell(car, options.name), extra, last, gap);
      return row;
    });
    return box("relative", ["Relative \u00b7 ", el("bdi", null, shownName(me, "last"))], rows);
  }];
}

// Battles: cars one after another in place order (in their class with
// class=) each within `within` seconds of the car ahead on the same lap;
// two are a battle, three or more a train. Finished cars race no more.
function battlesIn(s, options, live) {
  const cls = pickedClass(s, options, live.warned);
  const byClass = cls !== null;
  const cars = s.cars.filter((car) => known(car.place) && (cls === null || classOf(car) === cls))
    .map((car) => ({ car, at: standing(car, byClass) }))
    .filter((x) => known(x.at.place))
    .sort((a, b) => a.at.place - b.at.place);
  const close = (x) => !x.car.finished && x.at.interval && x.at.interval.laps === 0 && known(x.at.interval.seconds) &&
                       x.at.interval.seconds <= options.within;
  const battles = [];
  let run = null;
  for (let i = 1; i < cars.length; i++) {
    const ahead = cars[i - 1], me = cars[i];
    if (close(me) && !ahead.car.finished && me.at.place === ahead.at.place + 1) {
      if (run === null) {
        run = [ahead];
        battles.push(run);
      }
      run.push(me);
    } else {
      run = null;
    }
  }
  return battles;
}
function battlesView(s, options, live) {
  const battles = battlesIn(s, options, live);
  if (battles.length === 0) return null;
  const shown = options.rows > 0 ? battles.slice(0, options.rows) : battles;
  const lines = shown.map((b) => b.map(({ car, at }, i) => ({
    index: car.index, place: at.place, name: shownName(car, options.name), number: numberOf(car), colour: car.class_colour,
    interval: i > 0 ? at.interval.text : "", trend: i > 0 && car.interval_trend ? car.interval_trend : null,
  })));
  return [JSON.stringify(["battles", options.name, options.within, lines]), () => {
    const byIndex = new Map(s.cars.map((car) => [car.index, car]));
    const boxes = lines.map((b) => {
      const first = b[0].place, last = b[b.length - 1].place;
      const head = (b.length > 2 ? "Train" : "Battle") + " for P" + first + (b.length > 2 ? " \u2013 P" + last : "");
      const rows = b.map((l, i) => {
        const car = byIndex.get(l.index);
        const row = el("div", "bt-row");
        row.dataset.index = l.index;
        const trend = trendCell(el("span", "trend"), l.trend);
        row.append(el("span", "pos", String(l.place)), chipCell(car), nameCell(car, options.name), el("span", "interval", i > 0 ? l.interval : ""), trend);
        return row;
      });
      const one = box(b.length > 2 ? "battle train" : "battle", head, rows);
      one.dataset.cars = b.map((l) => l.index).join(",");
      return one;
    });
    const all = el("div", "bx-stack");
    all.append(...boxes);
    return all;
  }];
}

// The pit lane: each car in it (not one that has taken the flag), its time
// in the lane so far, its stops, and the laps of the stint it has ended.
function pitView(s, options, live) {
  const cars = s.cars.filter((car) => car.in_pits === true && !car.finished)
    .sort((a, b) => (known(a.place) ? a.place : 1e9) - (known(b.place) ? b.place : 1e9));
  if (cars.length === 0) return null;
  const byClass = pickedClass(s, options, live.warned) !== null;
  const lines = cars.map((car) => ({
    index: car.index, place: standing(car, byClass).place, name: shownName(car, options.name), number: numberOf(car), colour: car.class_colour,
    lane: known(car.pit_lane_s) ? car.pit_lane_s.toFixed(1) : "--", stops: known(car.pit_stops) ? String(car.pit_stops) : "-",
    stint: known(car.stint_laps) ? String(car.stint_laps) : "-",
  }));
  return [JSON.stringify(["pit", options.name, lines]), () => {
    const byIndex = new Map(s.cars.map((car) => [car.index, car]));
    const head = el("div", "pt-row pt-head");
    head.append(el("span", "pos"), el("span", "num"), el("span", "name"), el("span", "lane", "Lane"),
                el("span", "stops", "Stops"), el("span", "stint", "Stint"));
    const rows = lines.map((l) => {
      const row = el("div", "pt-row");
      row.dataset.index = l.index;
      const lane = el("span", "lane", l.lane);
      lane.title = "seconds in the pit lane";
      const stint = el("span", "stint", l.stint);
      stint.title = "laps of its last stint";
      row.append(el("span", "pos", placeText(l.place)), chipCell(byIndex.get(l.index)), nameCell(byIndex.get(l.index), options.name), lane,
                 el("span", "stops", l.stops), stint);
      return row;
    });
    return box("pit", "Pit lane", [head, ...rows]);
  }];
}

// The race clock: the flag (a green block, or a chequered one), the
// leader's lap of the race's laps, the laps or the time left, and with
// local=1 the viewer's own time of day.
function hms(s) {
  if (!known(s) || s < 0) return "--";
  const t = Math.floor(s);
  return Math.floor(t / 3600) + ":" + String(Math.floor(t / 60) % 60).padStart(2, "0") + ":" + String(t % 60).padStart(2, "0");
}
function localTime() {
  const d = new Date();
  return [d.getHours(), d.getMinutes(), d.getSeconds()].map((n) => String(n).padStart(2, "0")).join(":");
}
function clockView(s, options) {
  const session = s.session;
  if (!session) return null;
  const flag = session.flag === "chequered" ? "chequered" : "green";
  const parts = { flag };
  if (known(session.lap) && known(session.max_laps)) parts.lap = session.lap + " / " + session.max_laps;
  if (known(session.laps_left)) parts.lapsLeft = String(session.laps_left);
  if (known(session.time_left_s)) parts.timeLeft = hms(session.time_left_s);
  if (options.local) parts.local = localTime();
  return [JSON.stringify(["clock", parts]), () => {
    const b = el("div", "bx bx-clock");
    const f = el("span", "flag flag-" + flag);
    f.title = flag === "chequered" ? "chequered flag" : "green flag";
    f.setAttribute("role", "img");
    f.setAttribute("aria-label", f.title);
    const word = el("span", "flag-word", flag === "chequered" ? "Finish" : "Green");
    b.append(f, word);
    const item = (cls, label, value) => {
      const it = el("span", "ck " + cls);
      it.append(el("span", "ck-label", label), el("span", "ck-value", value));
      b.appendChild(it);
    };
    if (parts.lap !== undefined) item("lap", "Lap", parts.lap);
    if (parts.lapsLeft !== undefined) item("laps-left", parts.lapsLeft === "1" ? "Lap left" : "Laps left", parts.lapsLeft);
    if (parts.timeLeft !== undefined) item("time-left", "Time left", parts.timeLeft);
    if (parts.local !== undefined) item("local", "Local", parts.local);
    return b;
  }];
}

// The result at the flag: the top rows= (10) overall, or of class= by
// class place, each with its gap, best lap and pit stops.
function resultsView(s, options, live) {
  if (!s.session || s.session.flag !== "chequered") return null;
  const cls = pickedClass(s, options, live.warned);
  const byClass = cls !== null;
  const cars = s.cars.filter((car) => cls === null || classOf(car) === cls)
    .map((car) => ({ car, at: standing(car, byClass) }))
    .filter((x) => known(x.at.place))
    .sort((a, b) => a.at.place - b.at.place)
    .slice(0, rowsFor(10, 64, "cars", options, live));
  if (cars.length === 0) return null;
  const race = s.session.kind === "race";
  const lines = cars.map(({ car, at }) => ({
    index: car.index, place: at.place, name: shownName(car, options.name), number: numberOf(car), colour: car.class_colour,
    gap: at.place === 1 ? (race && known(car.laps) ? car.laps + (car.laps === 1 ? " lap" : " laps") : "") : at.gap ? at.gap.text : "",
    best: car.best_lap_s, fastest: at.fastest, stops: known(car.pit_stops) ? String(car.pit_stops) : "-",
  }));
  return [JSON.stringify(["results", options.name, cls, s.session.track, lines]), () => {
    const byIndex = new Map(s.cars.map((car) => [car.index, car]));
    const head = el("div", "rs-row rs-head");
    head.append(el("span", "pos", "P"), el("span", "num"), el("span", "name", "Driver"), el("span", "gap", "Gap"),
                el("span", "best", "Best"), el("span", "stops", "Pits"));
    const rows = lines.map((l) => {
      const row = el("div", "rs-row");
      row.dataset.index = l.index;
      const best = el("span", "best", lapTime(l.best));
      if (l.fastest) markTime(best, "session_best", (byClass ? "the class's" : "the") + " fastest lap " + lapTime(l.best));
      row.append(el("span", "pos", String(l.place)), chipCell(byIndex.get(l.index)), nameCell(byIndex.get(l.index), options.name),
                 el("span", "gap", l.gap), best, el("span", "stops", l.stops));
      return row;
    });
    const title = [cls !== null ? cls + " result \u00b7 " : "Result \u00b7 ", el("bdi", null, s.session.track)];
    return box("results", title, [head, ...rows]);
  }];
}

// The ticker: the race's events as the stream sends them while the
// overlay is open (the history before is never replayed), one line each,
// the newest at the bottom, each fading out after hold= seconds: passes,
// pit stops, fastest laps, cars out of the race and the flag. A pass for
// the lead is a pass like another (the lead change the story also tells is
// left out, as are personal bests). rows= (5) lines at most.
const TICKER_TAGS = {
  overtake: "PASS", pit_in: "PIT", pit_out: "OUT", fastest_lap: "FAST", retired: "RET", disqualified: "DSQ",
  stopped: "STOP", finished: "FLAG", session_end: "END",
};
function tickerWanted(e, state, options, live) {
  if (!Object.hasOwn(TICKER_TAGS, e.kind)) return false;
  if (e.kind === "finished" && e.place !== 1) return false;  // the winner's flag, not every car's
  const cls = state ? pickedClass(state, options, live.warned) : null;
  if (cls !== null && e.kind !== "session_end" && e.class !== cls) return false;
  // An event of a moment the state shown is long past (a minute of the
  // session's clock) is not news.
  if (state && state.session && known(state.session.time_s) && known(e.at_s) && e.at_s < state.session.time_s - 60 - options.hold) return false;
  return true;
}
// The race event `e` onto the ticker in `view` (the broadcast view's
// element), with `state` the state shown (or null).
export function tickerEvent(view, e, state, options, live) {
  if (options.view !== "ticker" || !known(e.id)) return;
  const key = e.session_id + ":" + e.id;
  const seen = live.broadcast.tickerSeen;
  if (seen.has(key) || !tickerWanted(e, state, options, live)) return;
  seen.add(key);
  if (seen.size > 1000) seen.delete(seen.values().next().value);
  let list = view.querySelector("ol.tk-list");
  if (list === null) {
    list = el("ol", "tk-list");
    view.replaceChildren(list);
  }
  const li = el("li", "tk-line kind-" + e.kind);
  li.dataset.id = e.id;
  li.dataset.kind = e.kind;
  const tag = el("span", "tag", TICKER_TAGS[e.kind]);
  const text = el("span", "text");
  text.append(...feedSentence(e));
  li.append(tag, text, el("span", "lap", known(e.lap) && e.lap > 0 ? "L" + e.lap : ""));
  list.appendChild(li);
  view.hidden = false;
  const keep = rowsFor(5, 20, "lines", options, live);
  while (list.childElementCount > keep) list.firstElementChild.remove();
  setTimeout(() => {
    li.classList.add("fading");
    setTimeout(() => {
      li.remove();
      if (list.childElementCount === 0) view.hidden = true;
    }, 800);
  }, options.hold * 1000);
}
