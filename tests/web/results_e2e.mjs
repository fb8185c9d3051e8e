// The results page and the live page's event feed in headless Chromium
// (Debian's, driven by playwright-core), against fixture_server.mjs: the
// pages of tools/web/www with recorded sessions made up by
// fixtures/race_fixture.mjs, a 20-car race, a 60-car race with lapped cars
// and a race in progress. Checks the classification, the pit stops, both
// charts (one line per car, each at the car's places, labels apart, the
// map's colours), the highlight, the print layout on A4, the empty states,
// and the live feed (history, stream, at most 50, names as text), each page
// under the content security policy without a console error.
//
// Usage: node results_e2e.mjs SCREENSHOT_DIR
import { createRequire } from "node:module";
import fs from "node:fs";
import path from "node:path";
import { startFixtureServer, POLICY, STATES } from "./fixture_server.mjs";
import { readLive, rgb } from "./live_dom.mjs";
import { failures, check, waitFor } from "./harness.mjs";

const require = createRequire(import.meta.url);
const { chromium } = require("playwright-core");

const shots = process.argv[2] || "web-screenshots";
fs.mkdirSync(shots, { recursive: true });
// Named apart from web_e2e.mjs's pictures of the real web view in the same folder.
const shot = (name) => path.join(shots, "fixture-" + name);

const server = await startFixtureServer();
const { base } = server;
const byId = new Map(server.state.sessions.map((s) => [s.session.id, s]));
const problems = [];
let browser;

async function openPage(name, url, viewport, { allowed = [] } = {}) {
  const page = await browser.newPage({ viewport });
  page.on("console", (m) => {
    if (m.type() === "error" && !allowed.some((re) => re.test(m.text()))) problems.push(`${name}: ${m.text().slice(0, 200)}`);
  });
  page.on("pageerror", (e) => problems.push(`${name}: ${e.message.slice(0, 200)}`));
  await page.addInitScript(() => {
    document.addEventListener("securitypolicyviolation", (e) =>
      console.error(`policy violation: ${e.violatedDirective} ${e.blockedURI} line ${e.lineNumber}`));
  });
  const answer = await page.goto(url);
  if (!answer || answer.headers()["content-security-policy"] !== POLICY) problems.push(`${name}: served without the policy`);
  return page;
}


// What the page drew, read back from its DOM.
function readResults(page) {
  return page.evaluate(() => {
    const cars = (sel) => [...document.querySelectorAll(sel)].map((n) => n.closest("[data-car]").dataset.car);
    const labelBoxes = (sel) => [...document.querySelectorAll(sel)].map((t) => {
      const b = t.getBBox();
      return { car: t.dataset.car, top: b.y, bottom: b.y + b.height, left: b.x, right: b.x + b.width, text: t.textContent };
    });
    const svgBox = (sel) => {
      const s = document.querySelector(sel);
      return s ? s.viewBox.baseVal.width : 0;
    };
    return {
      rows: [...document.querySelectorAll("#results-table tbody tr")].map((tr) => ({
        car: tr.dataset.car,
        // Each cell's text by its column (the cell's first class name).
        cells: Object.fromEntries([...tr.querySelectorAll("td")].map((td) => [td.classList[0], td.textContent])),
        name: tr.querySelector("td.driver bdi").textContent,
      })),
      pits: document.querySelectorAll("#pit-table tbody tr").length,
      lapLines: cars("svg.lap-chart polyline.car-line"),
      gapLines: cars("svg.gap-chart polyline.car-line"),
      lapPoints: Object.fromEntries([...document.querySelectorAll("svg.lap-chart polyline.car-line")].map((p) =>
        [p.closest("[data-car]").dataset.car, [...p.points].map((pt) => [pt.x, pt.y])])),
      strokes: Object.fromEntries([...document.querySelectorAll("svg.lap-chart polyline.car-line")].map((p) =>
        [p.closest("[data-car]").dataset.car, p.getAttribute("stroke")])),
      lapLabels: labelBoxes("svg.lap-chart text.end-label"),
      gapLabels: labelBoxes("svg.gap-chart text.end-label"),
      lapWidth: svgBox("svg.lap-chart"),
      provisional: !document.getElementById("provisional").hidden,
      note: document.getElementById("results-note").hidden ? "" : document.getElementById("results-note").textContent,
      line: document.getElementById("session-line").textContent,
      fastest: document.getElementById("fastest-lap").textContent,
      scrollWidth: document.documentElement.scrollWidth,
    };
  });
}

// The league's classes on the live page, its overlays and the results
// page, against the two-class fixtures: the fixture's cars and classes are
// what each view must show, the views' own sums are not repeated here.
async function checkClasses() {
  const timing = JSON.parse(STATES.classes);
  const classes = timing.session.classes;
  const byIndex = new Map(timing.cars.map((c) => [String(c.index), c]));
  const classCars = (name) => timing.cars.filter((c) => c.class === name);
  const loose = timing.cars.filter((c) => c.class === null);
  const lastWord = (name) => name.trim().split(/\s+/).pop();
  // The fixture is what the checks need: a class whose leader is not the
  // overall leader, a car in no class, a short name that is not the last
  // name's first letters.
  check(classes.length === 2 && classCars(classes[1].name)[0].place > 1 && loose.length === 1 &&
        timing.cars.some((c) => c.short_name && c.short_name !== lastWord(c.driver).slice(0, 3).toUpperCase()),
        "the two-class state has a class led from behind the overall leader, a car in no class and a short name of its own");
  server.state.timing = "classes";

  // split=class: each class under its name in its colour, in the classes'
  // order, with its own leader; the car in no class last, in its overall place.
  const warned = [];
  const split = await openPage("split=class", `${base}/?split=class`, { width: 1280, height: 800 });
  await waitFor("the split tower fills", async () => (await split.locator("#tower tbody tr.class-head").count()) === 3);
  let live = await readLive(split);
  check(live.sections.map((x) => x.head).join("|") === [...classes.map((c) => c.name), "No class"].join("|"),
        `split=class heads a section per class in order, then the cars in no class (${live.sections.map((x) => x.head).join(", ")})`);
  for (const [i, c] of classes.entries()) {
    const want = classCars(c.name);
    const got = live.sections[i];
    check(got.headColour === rgb(c.colour), `the ${c.name} heading is in the class's colour (${got.headColour})`);
    check(got.rows.map((r) => r.index).join() === want.map((car) => String(car.index)).join(),
          `the ${c.name} section has the class's cars in place order`);
    check(got.rows[0].pos === "1" && got.rows[0].gap === "leader" && got.rows[0].interval === "" &&
          got.rows[0].index === String(c.leader),
          `the ${c.name} section begins with the class's own leader, P1 with no gap (car ${got.rows[0].index})`);
    const wrong = got.rows.filter((r) => {
      const car = byIndex.get(r.index);
      return r.pos !== String(car.class_place) || r.gap !== (car.class_gap ? car.class_gap.text : "leader") ||
             r.interval !== (car.class_interval ? car.class_interval.text : "") || r.num !== String(car.number) ||
             r.chip !== rgb(c.colour) || r.fastest !== car.holds_class_fastest_lap;
    });
    check(wrong.length === 0, `the ${c.name} rows read the class place, gap, interval, number on a chip of the class's colour ` +
          `and the class's fastest lap (wrong: ${wrong.map((r) => r.index).join(", ") || "none"})`);
  }
  const rest = live.sections[2].rows;
  check(rest.length === 1 && rest[0].index === String(loose[0].index) && rest[0].pos === String(loose[0].place) &&
        rest[0].gap === loose[0].gap_to_leader.text && rest[0].num === "" && rest[0].chip === null,
        "a car in no class reads its overall place and gap, without a number chip");
  // The markers: the class's colour and the number; a car in no class its
  // own colour and its place; each class's leader ringed.
  const markerWrong = timing.cars.filter((car) => {
    const m = live.markers[String(car.index)];
    const fill = car.class_colour || car.colour;
    const label = car.number !== null ? String(car.number) : String(car.place);
    return !m || m.fill !== fill || m.label !== label || m.ring !== (car.class_place === 1);
  });
  check(Object.keys(live.markers).length === timing.cars.length && markerWrong.length === 0,
        `each marker is filled in its class's colour (no class: the car's own) and carries the car's number ` +
        `(wrong: ${markerWrong.map((c) => c.index).join(", ") || "none"})`);
  // The legend: a group a class in order, each car by number.
  const legendWant = [...classes.map((c) => ({ head: c.name, cars: classCars(c.name) })), { head: "No class", cars: loose }]
    .map((g) => ({ head: g.head, cars: [...g.cars].sort((a, b) => (a.number ?? 1e9) - (b.number ?? 1e9)) }));
  check(live.legend !== null && live.legend.map((g) => g.head).join("|") === legendWant.map((g) => g.head).join("|") &&
        live.legend.every((g, i) => g.cars.map((x) => x.index + ":" + x.num + ":" + x.name).join() ===
          legendWant[i].cars.map((c) => c.index + ":" + (c.number ?? "") + ":" + lastWord(c.driver)).join()),
        `the map's legend lists each class's cars by number under the class's name, in the classes' order`);
  check(live.width <= 1280, `split=class at 1280 px is no wider than the window (${live.width} px)`);
  await split.screenshot({ path: shot("classes-split.png") });
  server.push({ id: 5999001, session_id: server.state.sessions[0].session.id, kind: "class_lead_change", class: classes[1].name,
                at_s: 250, lap: 2, car: 16, driver: "Priya Nair", other_car: 12, other_driver: "Hana Novak", place: 1, seconds: null,
                text: `Priya Nair leads ${classes[1].name} on lap 2.` });
  await waitFor("the class lead change comes on top of the feed", async () => (await split.locator("#feed li").first().getAttribute("data-id")) === "5999001");
  const tag = await split.locator("#feed li").first().evaluate((li) => ({
    text: li.querySelector(".tag").textContent, bg: getComputedStyle(li.querySelector(".tag")).backgroundColor,
    line: li.querySelector(".text").textContent }));
  check(tag.text === "LEAD" && tag.bg === rgb(classes[1].colour) && tag.line === `Priya Nair leads ${classes[1].name}`,
        `a class lead change reads LEAD on the class's colour (${JSON.stringify(tag)})`);
  await split.close();

  // class=GT4 (any case): that class's cars only, on the tower and the map,
  // in their places within the class.
  const gt4 = classes[1];
  for (const query of [`class=${gt4.name}`, `class=${gt4.name.toLowerCase()}`]) {
    const p = await openPage(query, `${base}/?${query}`, { width: 1280, height: 800 });
    await waitFor(`${query} draws`, async () => (await p.locator("#cars g.car").count()) > 0);
    live = await readLive(p);
    const want = classCars(gt4.name).map((c) => String(c.index));
    check(live.sections.length === 1 && live.sections[0].rows.map((r) => r.index).join() === want.join() &&
          live.sections[0].rows.every((r) => r.pos === String(byIndex.get(r.index).class_place)),
          `${query}: the tower shows the ${gt4.name} cars only, at their class places`);
    check(Object.keys(live.markers).sort().join() === [...want].sort().join(), `${query}: the map shows the ${gt4.name} cars only`);
    check(live.legend !== null && live.legend.length === 1 && live.legend[0].head === gt4.name, `${query}: the legend has ${gt4.name} alone`);
    await p.close();
  }

  // name=: the short name (else the last name's first three letters), the
  // last word, the whole name.
  const names = {
    short: (c) => c.short_name || [...lastWord(c.driver)].slice(0, 3).join("").toUpperCase(),
    last: (c) => lastWord(c.driver),
    full: (c) => c.driver,
  };
  for (const [how, nameOf] of Object.entries(names)) {
    const p = await openPage(`name=${how}`, `${base}/?name=${how}`, { width: 1280, height: 800 });
    await waitFor(`name=${how} draws`, async () => (await p.locator("#tower tbody tr").count()) === timing.cars.length);
    live = await readLive(p);
    const wrong = live.sections[0].rows.filter((r) => r.driver !== nameOf(byIndex.get(r.index)));
    check(wrong.length === 0, `name=${how}: every row reads the ${how} name (wrong: ${wrong.map((r) => r.driver).join(", ") || "none"})`);
    await p.close();
  }

  // Bad values fall back as the other parameters do, said on the console.
  for (const [query, what, holds, warning] of [
    ["class=GT5", "an unknown class shows every car", (l) => l.sections[0].rows.length === timing.cars.length, /class=GT5 is not one of GT3, GT4/],
    ["split=sideways", "an unknown split is none", (l) => l.sections.length === 1 && l.sections[0].head === null, /split=sideways/],
    ["name=nick", "an unknown name is the whole name", (l) => l.sections[0].rows.every((r) => r.driver === byIndex.get(r.index).driver), /name=nick/],
  ]) {
    const p = await browser.newPage({ viewport: { width: 1000, height: 700 } });
    p.on("console", (m) => { if (m.type() === "warning") warned.push(m.text()); });
    p.on("pageerror", (e) => problems.push(`${query}: ${e.message.slice(0, 200)}`));
    await p.goto(`${base}/overlay?view=both&${query}`);
    await waitFor(`${query} draws`, async () => (await p.locator("#tower tbody tr").count()) > 0);
    await p.waitForTimeout(200);
    check(holds(await readLive(p)) && warned.some((w) => warning.test(w)), `overlay ?${query}: ${what}, and says so on the console`);
    await p.close();
  }

  // An overlay with split=class and rows=5: five rows a class, the first two
  // the class's leaders.
  const ov = await openPage("overlay split", `${base}/overlay?view=both&split=class&rows=5&fixed=2`, { width: 1000, height: 700 });
  await waitFor("the split overlay draws", async () => (await ov.locator("#tower tbody tr.class-head").count()) === 3);
  live = await readLive(ov);
  check(live.sections.slice(0, 2).every((x) => x.rows.length === 5 && x.rows[0].pos === "1" && x.rows[1].pos === "2"),
        `rows=5 with split=class shows five rows a class, its leaders first (${live.sections.map((x) => x.rows.length).join(", ")})`);
  check((await ov.evaluate(() => getComputedStyle(document.documentElement).backgroundColor)) === "rgba(0, 0, 0, 0)",
        "the split overlay keeps its transparent background");
  await ov.screenshot({ path: shot("classes-overlay.png"), omitBackground: true });
  await ov.close();

  // A phone: no wider than its screen, every name whole.
  const phone = await openPage("split phone", `${base}/?split=class`, { width: 390, height: 844 });
  await waitFor("the phone's split tower fills", async () => (await phone.locator("#tower tbody tr.class-head").count()) === 3);
  live = await readLive(phone);
  check(live.width <= 390 && live.clipped === 0, `split=class on a phone fits its screen, every name whole (${live.width} px, ${live.clipped} cut)`);
  await phone.screenshot({ path: shot("classes-phone.png"), fullPage: true });
  await phone.close();

  // Without a league: no number column, no legend, no sections even with split=class.
  server.state.timing = "plain";
  const plain = await openPage("no league", `${base}/?split=class`, { width: 1280, height: 800 });
  await waitFor("the page without a league draws", async () => (await plain.locator("#cars g.car").count()) > 0);
  live = await readLive(plain);
  check(!live.numShown && live.legend === null && live.sections.length === 1 && live.sections[0].head === null &&
        Object.entries(live.markers).every(([i, m]) => m.fill === JSON.parse(STATES.plain).cars.find((c) => String(c.index) === i).colour),
        "without a league the tower has no number column, the map no legend and its own colours, and split=class changes nothing");
  await plain.close();

  // The results page of the two-class race: the class and place in it on
  // every row, the number before the name, and a classification a class.
  const race = server.state.sessions.find((x) => x.results.classes.length > 0);
  const rc = race.results;
  const res = await openPage("results by class", `${base}/results?session=${race.session.id}`, { width: 1280, height: 900 });
  await waitFor("the class results draw", async () => (await res.locator(".class-box").count()) === rc.classes.length);
  const drawn = await res.evaluate(() => ({
    rows: [...document.querySelectorAll("#results-table tbody tr")].map((tr) => ({
      car: tr.dataset.car,
      chip: tr.querySelector("td.cls .class-chip")?.textContent ?? null,
      chipBg: tr.querySelector("td.cls .class-chip") ? getComputedStyle(tr.querySelector("td.cls .class-chip")).backgroundColor : null,
      classPos: tr.querySelector("td.cls .class-pos")?.textContent ?? null,
      number: tr.querySelector("td.driver .car-number")?.textContent ?? null,
      clsShown: getComputedStyle(tr.querySelector("td.cls")).display !== "none",
    })),
    boxes: [...document.querySelectorAll(".class-box")].map((b) => ({
      cls: b.dataset.class,
      head: b.querySelector("h3").textContent,
      rows: [...b.querySelectorAll("tbody tr")].map((tr) => ({
        car: tr.dataset.car, pos: tr.querySelector("td.pos").textContent, time: tr.querySelector("td.time").textContent,
        name: tr.querySelector("td.driver bdi").textContent, number: tr.querySelector("td.driver .car-number")?.textContent ?? null,
        fastest: tr.querySelector("td.best").classList.contains("fastest"),
      })),
      fastest: b.querySelector(".class-fastest").textContent,
    })),
    width: document.documentElement.scrollWidth,
  }));
  const rowOf = new Map(rc.rows.map((r) => [String(r.car), r]));
  const colourOf = new Map(rc.classes.map((c) => [c.name, c.colour]));
  const rowWrong = drawn.rows.filter((d) => {
    const r = rowOf.get(d.car);
    if (r.class === null) return d.chip !== null || d.number !== null;
    return d.chip !== r.class || d.chipBg !== rgb(colourOf.get(r.class)) || d.classPos !== String(r.class_position) ||
           d.number !== String(r.number) || !d.clsShown;
  });
  check(rowWrong.length === 0 && drawn.rows.length === rc.rows.length,
        `each row shows its class on a chip of the class's colour, its place in the class and its number (wrong: ${rowWrong.map((d) => d.car).join(", ") || "none"})`);
  check(drawn.boxes.map((b) => b.cls).join() === rc.classes.map((c) => c.name).join(), "a classification a class, in the classes' order");
  for (const [i, c] of rc.classes.entries()) {
    const box = drawn.boxes[i];
    const mine = rc.rows.filter((r) => r.class === c.name);
    const winner = mine[0];
    check(box.rows.map((r) => r.car).join() === mine.map((r) => String(r.car)).join() &&
          box.rows.every((r, k) => r.pos === String(k + 1) && r.number === String(rowOf.get(r.car).number) && r.name === rowOf.get(r.car).driver),
          `${c.name}: the class's cars in their class places, each with its number`);
    check(winner.car === c.winner.car && box.head.includes(c.winner.driver) && /^\d+:\d\d:\d\d\.\d{3}$|^\d+:\d\d\.\d{3}$/.test(box.rows[0].time) &&
          box.rows.slice(1).every((r) => r.time === (rowOf.get(r.car).class_gap ? rowOf.get(r.car).class_gap.text : "-")),
          `${c.name}: its winner first with the race time, the others their gap to it (${box.rows.slice(0, 3).map((r) => r.time).join(", ")})`);
    check(box.fastest.includes(c.fastest_lap.driver) && box.fastest.includes("on lap " + c.fastest_lap.lap) &&
          box.rows.filter((r) => r.fastest).map((r) => r.car).join() === String(c.fastest_lap.car),
          `${c.name}: its own fastest lap (${box.fastest})`);
  }
  check(rc.rows.some((r) => r.class_gap && r.class_gap.laps > 0 && r.gap && r.gap.laps > 0),
        "the two-class race has cars lapped within their class");
  check(drawn.width <= 1280, `the results by class fit the window (${drawn.width} px)`);
  await res.screenshot({ path: shot("results-classes.png"), fullPage: true });
  await res.setViewportSize({ width: 390, height: 844 });
  await res.waitForTimeout(300);
  const narrow = await res.evaluate(() => ({
    width: document.documentElement.scrollWidth,
    tables: [...document.querySelectorAll("#results-table, .class-table")].map((t) => t.getBoundingClientRect().right),
  }));
  check(narrow.width <= 390 && narrow.tables.every((r) => r <= 390),
        `on a phone the results by class fit the screen (${narrow.width}, ${narrow.tables.map(Math.round).join(", ")})`);
  await res.screenshot({ path: shot("results-classes-phone.png"), fullPage: true });
  await res.close();

  // A race without classes looks as before: no class column, no sections, no numbers.
  const before = await openPage("results without classes", `${base}/results?session=3`, { width: 1280, height: 900 });
  await waitFor("the results without classes draw", async () => (await before.locator("#results-table tbody tr").count()) > 0);
  const none = await before.evaluate(() => ({
    cls: getComputedStyle(document.querySelector("#results-table th.cls")).display,
    boxes: document.getElementById("class-results").hidden,
    numbers: document.querySelectorAll(".car-number").length,
  }));
  check(none.cls === "none" && none.boxes && none.numbers === 0, "a race without classes has no class column, no class sections and no numbers");
  await before.close();
}

// Pairs of label boxes of one chart that overlap by more than a pixel.
function overlapping(labels) {
  const bad = [];
  for (let i = 0; i < labels.length; i++) {
    for (let j = i + 1; j < labels.length; j++) {
      const a = labels[i], b = labels[j];
      if (Math.min(a.bottom, b.bottom) - Math.max(a.top, b.top) > 1 && Math.min(a.right, b.right) - Math.max(a.left, b.left) > 1) {
        bad.push(a.text + " / " + b.text);
      }
    }
  }
  return bad;
}

async function checkSession(id, viewport, picture) {
  const fixture = byId.get(id);
  const n = fixture.session.cars;
  const page = await openPage(`results ${id}`, `${base}/results?session=${id}`, viewport);
  await waitFor(`results ${id} draws`, async () => (await page.locator("svg.gap-chart polyline").count()) > 0);
  const r = await readResults(page);
  check(r.rows.length === n, `session ${id}: the classification has ${n} rows (${r.rows.length})`);
  check(r.rows.map((x) => x.car).join() === fixture.results.rows.map((x) => String(x.car)).join(),
        `session ${id}: the rows are in the order of the classification`);
  check(r.rows[0].name === fixture.results.rows[0].driver, `session ${id}: the winner's name is whole, as text`);
  const byCar = new Map(fixture.results.rows.map((x) => [String(x.car), x]));
  const gainedOk = r.rows.every((row) => {
    const g = byCar.get(row.car).places_gained;
    return row.cells.gained === (g > 0 ? "▲" + g : g < 0 ? "▼" + -g : "=");
  });
  check(gainedOk, `session ${id}: places gained read ▲n, ▼n or =`);
  const lapped = fixture.results.rows.filter((x) => x.gap && x.gap.laps > 0);
  check(lapped.every((x) => r.rows.find((row) => row.car === String(x.car)).cells.time === x.gap.text),
        `session ${id}: lapped cars read their laps behind (${lapped.length})`);
  check(r.pits === Math.max(1, fixture.results.pit_stops.length), `session ${id}: the pit table has a row a stop`);
  check(r.fastest.includes(fixture.results.fastest_lap.driver), `session ${id}: the fastest lap names its driver`);
  check(r.line.includes("Pitwall Ring") && r.line.includes(fixture.session.laps + " laps"), `session ${id}: the session line (${r.line})`);
  // One line a car in each chart, each in the car's map colour.
  check(r.lapLines.length === n && new Set(r.lapLines).size === n, `session ${id}: the lap chart has one line per car (${r.lapLines.length})`);
  check(r.gapLines.length === n && new Set(r.gapLines).size === n, `session ${id}: the gap chart has one line per car (${r.gapLines.length})`);
  check(Object.entries(r.strokes).every(([car, stroke]) => stroke === fixture.results.rows.find((x) => String(x.car) === car).colour),
        `session ${id}: each line has its car's map colour`);
  // The lap chart's line runs through the car's places: the lower the
  // place, the lower on the chart, the same height for the same place.
  const heightOf = new Map();
  let placesOk = true;
  for (const l of fixture.laps.laps) {
    const pts = r.lapPoints[String(l.car)];
    const row = byCar.get(String(l.car));
    const offset = row.places_gained === null ? 0 : 1;  // lap 0, the grid, comes first
    const pt = pts[l.lap - 1 + offset];
    if (!pt) { placesOk = false; continue; }
    if (heightOf.has(l.place) && Math.abs(heightOf.get(l.place) - pt[1]) > 0.5) placesOk = false;
    heightOf.set(l.place, pt[1]);
  }
  const heights = [...heightOf.entries()].sort((a, b) => a[0] - b[0]).map((e) => e[1]);
  check(placesOk && heights.every((h, i) => i === 0 || h > heights[i - 1]),
        `session ${id}: the lap chart's lines go through each car's place on every lap`);
  const grid = fixture.results.rows.map((x) => x.position + x.places_gained);
  check(fixture.results.rows.every((x) => r.lapPoints[String(x.car)][0][1] === heightOf.get(x.position + x.places_gained)) &&
        new Set(grid).size === n, `session ${id}: the lap chart begins at the grid`);
  check(r.lapLabels.length === n && r.gapLabels.length === n, `session ${id}: both charts label every car`);
  const lapBad = overlapping(r.lapLabels), gapBad = overlapping(r.gapLabels);
  check(lapBad.length === 0, `session ${id}: the lap chart's labels do not overlap (${lapBad.slice(0, 3).join("; ")})`);
  check(gapBad.length === 0, `session ${id}: the gap chart's labels do not overlap (${gapBad.slice(0, 3).join("; ")})`);
  check(r.lapLabels.every((l) => l.right <= r.lapWidth + 1), `session ${id}: the lap chart's labels are inside the chart`);
  check(r.scrollWidth <= viewport.width, `session ${id}: the page is no wider than the window (${r.scrollWidth} px)`);
  await page.screenshot({ path: shot(picture), fullPage: true });
  return page;
}

try {
  browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync"],
  });

  // The 20-car race at a desktop's size, with the highlight.
  const p20 = await checkSession(3, { width: 1280, height: 900 }, "results-20.png");
  const r20 = await readResults(p20);
  check(!r20.provisional && r20.note === "", "a finished race is not marked provisional");
  check(r20.rows.some((row) => row.cells.driver === "سارة الحسيني") && r20.rows.some((row) => row.cells.driver === "Zoë <img src=x> Quinn"),
        "names written right to left and with markup are shown as their text");
  check((await p20.locator("#results-table img").count()) === 0, "a name's markup makes no element");
  const car = r20.rows[4].car;
  await p20.locator(`svg.lap-chart text.end-label[data-car="${car}"]`).hover();
  const hl = await p20.evaluate((c) => ({
    on: document.documentElement.classList.contains("highlighting"),
    lines: [...document.querySelectorAll("svg.chart g.car-lines.hl")].map((g) => g.dataset.car),
    row: document.querySelector(`#results-table tr[data-car="${c}"]`).classList.contains("hl"),
    faded: getComputedStyle(document.querySelector(`svg.lap-chart g.car-lines:not([data-car="${c}"])`)).opacity,
  }), car);
  check(hl.on && hl.lines.length === 2 && hl.lines.every((c) => c === car) && hl.row && Number(hl.faded) < 0.5,
        `pointing at a label highlights that car's lines and row, and fades the rest (${JSON.stringify(hl)})`);
  await p20.screenshot({ path: shot("results-20-highlight.png"), fullPage: true });
  await p20.mouse.move(2, 2);
  await waitFor("the highlight ends when the pointer leaves", () =>
    p20.evaluate(() => !document.documentElement.classList.contains("highlighting")), 3000);

  // Printed on A4: light, no hit areas, the charts as wide as the page.
  await p20.setViewportSize({ width: 718, height: 1000 });
  await p20.emulateMedia({ media: "print" });
  await p20.evaluate(() => dispatchEvent(new Event("beforeprint")));
  const printed = await p20.evaluate(() => ({
    width: document.documentElement.scrollWidth,
    hits: [...document.querySelectorAll("svg.chart .hit")].filter((h) => getComputedStyle(h).display !== "none").length,
    charts: [...document.querySelectorAll("svg.chart")].map((s) => s.getBoundingClientRect().width),
    background: getComputedStyle(document.body).backgroundColor,
    link: getComputedStyle(document.getElementById("live-link")).display,
  }));
  check(printed.width <= 718 && printed.charts.every((w) => w > 600 && w <= 718),
        `printed, the page and its charts fit an A4 page's width (${printed.width}, ${printed.charts.join(", ")})`);
  check(printed.hits === 0 && printed.link === "none", "printed, the charts' hit areas and the link are left out");
  check(printed.background === "rgb(255, 255, 255)", "printed, the page is white");
  await p20.screenshot({ path: shot("results-20-print.png"), fullPage: true });
  const pdf = await p20.pdf({ format: "A4", printBackground: true });
  fs.writeFileSync(shot("results-20.pdf"), pdf);
  const pages = (pdf.toString("latin1").match(/\/Type\s*\/Page[^s]/g) || []).length;
  check(pages >= 2 && pages <= 4, `the 20-car results print on 2 to 4 A4 pages (${pages})`);
  await p20.close();

  // 60 cars: thin lines, every label apart, at a desktop's size and a phone's.
  const wide60 = await checkSession(4, { width: 1280, height: 900 }, "results-60.png");
  await wide60.locator("svg.lap-chart").screenshot({ path: shot("results-60-lap-chart.png") });
  await wide60.locator("svg.gap-chart").screenshot({ path: shot("results-60-gap-chart.png") });
  await wide60.close();
  const phone = await checkSession(4, { width: 390, height: 844 }, "results-60-phone.png");
  const onPhone = await phone.evaluate(() => ({
    cut: [...document.querySelectorAll("#results-table td.driver")].filter((td) => td.scrollWidth > td.clientWidth).length,
    table: document.getElementById("results-table").getBoundingClientRect().right,
    charts: [...document.querySelectorAll("svg.chart")].map((s) => s.getBoundingClientRect().right),
  }));
  check(onPhone.cut === 0, `on a phone no driver's name is cut (${onPhone.cut})`);
  check(onPhone.table <= 390 && onPhone.charts.every((r) => r <= 390),
        `on a phone the classification and both charts fit the screen's width (${onPhone.table}, ${onPhone.charts.join(", ")})`);
  await phone.close();
  (await checkSession(3, { width: 390, height: 844 }, "results-phone.png")).close();

  // A race in progress, the default (latest) session: provisional.
  const running = await openPage("results latest", `${base}/results`, { width: 1280, height: 900 });
  await waitFor("the latest session draws", async () => (await running.locator("#results-table tbody tr").count()) > 0);
  const rr = await readResults(running);
  check(rr.provisional && /provisional/.test(rr.note) && /in progress/.test(rr.line),
        `the latest session, still running, is marked provisional (${rr.note})`);
  check(rr.rows.length === 20 && rr.lapLines.length === 20, "the race in progress shows its 20 cars so far");
  await running.screenshot({ path: shot("results-provisional.png"), fullPage: true });
  const listed = await running.locator("#session-list li a").count();
  check(listed === server.state.sessions.length, `the page lists the recorded sessions (${listed})`);
  await running.close();

  await checkClasses();

  // The empty states: a sentence, no table and no chart.
  const turnedDown = [/status of 404/, /status of 503/];
  const empty = async (name, url, re) => {
    const p = await openPage(name, url, { width: 1000, height: 700 }, { allowed: turnedDown });
    const said = await waitFor(`${name} says so`, async () => re.test(await p.locator("#results-note").textContent()));
    const drawn = await p.evaluate(() => ["classification", "lap-chart-box", "gap-chart-box"].filter((id) => !document.getElementById(id).hidden));
    check(said && drawn.length === 0, `${name}: a plain sentence and nothing else (${await p.locator("#results-note").textContent()})`);
    return p;
  };
  (await empty("unknown session", `${base}/results?session=99`, /^There is no session 99\.$/)).close();
  const bad = await openPage("bad session parameter", `${base}/results?session=../1`, { width: 1000, height: 700 });
  const warned = new Promise((resolve) => bad.on("console", (m) => { if (m.type() === "warning" && /session=/.test(m.text())) resolve(true); }));
  await bad.reload();
  const fellBack = await waitFor("a bad session parameter falls back", async () =>
    (await bad.locator("#results-table tbody tr").count()) === 20 && (await bad.locator("#provisional").isVisible()));
  check(fellBack && (await Promise.race([warned, new Promise((r) => setTimeout(() => r(false), 3000))])),
        "session=../1 shows the latest session and says so on the console");
  await bad.close();
  server.state.history = "none";
  const none = await empty("no session recorded", `${base}/results`, /^No session has been recorded yet\.$/);
  await none.screenshot({ path: shot("results-none.png") });
  await none.close();
  server.state.history = "unavailable";
  (await empty("no race history", `${base}/results`, /^The race history is not available: .+\.$/)).close();

  // The live page without a race history: no feed, the layout as before.
  const noFeed = await openPage("page without history", `${base}/`, { width: 1400, height: 800 }, { allowed: turnedDown });
  await waitFor("the page goes live", async () => (await noFeed.locator("#status.live").count()) === 1);
  await noFeed.waitForTimeout(300);
  check(!(await noFeed.locator("#feed-view").isVisible()) && !(await noFeed.evaluate(() => document.documentElement.classList.contains("has-feed"))),
        "without a race history the feed is hidden");
  await noFeed.close();

  // The live page's feed: the history of the latest session, newest on
  // top, then the stream's race events; at most 50 lines.
  server.state.history = "recorded";
  const latest = server.state.sessions[0];
  const history = latest.events.events;
  const page = await openPage("live page", `${base}/`, { width: 1400, height: 800 });
  await waitFor("the feed shows the history", async () => (await page.locator("#feed li").count()) > 0);
  const lines = await page.locator("#feed li").evaluateAll((lis) => lis.map((li) => ({
    id: Number(li.dataset.id), lap: li.querySelector(".lap").textContent, tag: li.querySelector(".tag").textContent,
    text: li.querySelector(".text").textContent, names: [...li.querySelectorAll(".text bdi")].map((b) => b.textContent),
  })));
  const newest = [...history].sort((a, b) => b.id - a.id).slice(0, 50);
  check(lines.length === Math.min(50, history.length) && lines.map((l) => l.id).join() === newest.map((e) => e.id).join(),
        `the feed shows the latest ${lines.length} events, newest on top`);
  const pass = history.filter((e) => e.kind === "overtake").pop();
  const passLine = lines.find((l) => l.id === pass.id);
  check(passLine && passLine.lap === "L" + pass.lap && passLine.tag === "PASS" &&
        passLine.text === pass.text.replace(` on lap ${pass.lap}.`, "") &&
        passLine.names.join("|") === [pass.driver, pass.other_driver].join("|"),
        `an overtake reads "L${pass.lap}", PASS and its sentence, each name isolated (${passLine && passLine.text})`);
  const feedBox = await page.evaluate(() => {
    const f = document.getElementById("feed-view").getBoundingClientRect();
    const t = document.getElementById("tower-view").getBoundingClientRect();
    const m = document.getElementById("map-view").getBoundingClientRect();
    return { beside: f.left >= t.right - 1 && m.right <= t.left + 1, width: document.documentElement.scrollWidth };
  });
  check(feedBox.beside && feedBox.width <= 1400, "on a wide screen the feed is beside the tower, right of the map");
  const hostile = { id: 999001, session_id: latest.session.id, kind: "overtake", at_s: 300, lap: 4, car: 9,
                    driver: "Zoë <img src=x> Quinn", other_car: 5, other_driver: "سارة الحسيني", place: 2, seconds: null,
                    text: "Zoë <img src=x> Quinn passes سارة الحسيني for P2 on lap 4." };
  server.push(hostile);
  await waitFor("a streamed event comes on top", async () => (await page.locator("#feed li").first().getAttribute("data-id")) === "999001");
  const top = await page.locator("#feed li").first().evaluate((li) => ({
    text: li.querySelector(".text").textContent, imgs: li.querySelectorAll("img").length, names: li.querySelectorAll("bdi").length,
  }));
  check(top.text === "Zoë <img src=x> Quinn passes سارة الحسيني for P2" && top.imgs === 0 && top.names === 2,
        `a streamed event's names are text, each isolated (${top.text})`);
  server.push(hostile);  // the same event again is one line
  for (let i = 0; i < 60; i++) {
    server.push({ ...hostile, id: 999100 + i, kind: i % 2 ? "pit_in" : "personal_best", lap: 5, text: `Car ${i} does something on lap 5.` });
  }
  await waitFor("the feed takes 60 more", async () => (await page.locator("#feed li").first().getAttribute("data-id")) === "999159");
  check((await page.locator("#feed li").count()) === 50, "the feed keeps at most 50 lines");
  check((await page.locator('#feed li[data-id="999001"]').count()) === 0, "the oldest lines leave the feed");
  server.push({ ...hostile, id: 5, session_id: latest.session.id + 1, kind: "start", lap: 0, text: "The race starts." });
  await waitFor("a new session's event starts the feed again", async () => (await page.locator("#feed li").count()) === 1);
  check((await page.locator("#feed li .lap").first().textContent()) === "", "the start has no lap");
  server.push({ ...hostile, id: 4, session_id: latest.session.id, text: "An old session's late event." });
  await page.waitForTimeout(300);
  check((await page.locator("#feed li").count()) === 1, "an older session's event does not come back into the feed");
  await page.close();

  // Screens of the live page with its feed: wide, middling, a phone, and
  // the overlays (only view=events shows the feed).
  const shotsOf = [["page-feed.png", { width: 1400, height: 800 }], ["page-feed-1100.png", { width: 1100, height: 800 }],
                   ["phone-feed.png", { width: 390, height: 844 }]];
  for (const [name, viewport] of shotsOf) {
    const p = await openPage(name, `${base}/`, viewport);
    await waitFor(`${name}: the feed fills`, async () => (await p.locator("#feed li").count()) > 0);
    const fit = await p.evaluate(() => ({
      width: document.documentElement.scrollWidth,
      below: document.getElementById("feed-view").getBoundingClientRect().top >= document.getElementById("tower-view").getBoundingClientRect().bottom - 1,
    }));
    check(fit.width <= viewport.width, `${name}: the page is no wider than the window (${fit.width} px)`);
    if (viewport.width < 1280) check(fit.below, `${name}: the feed is below the tower`);
    await p.screenshot({ path: shot(name), fullPage: viewport.width < 760 });
    await p.close();
  }
  for (const view of ["tower", "both", "events"]) {
    const o = await openPage(`overlay ${view}`, `${base}/overlay?view=${view}&rows=8`, { width: 500, height: 400 });
    await o.waitForFunction(() => document.querySelector("#status.live") !== null);
    if (view === "events") await waitFor("the events overlay fills", async () => (await o.locator("#feed li").count()) > 0);
    else await o.waitForTimeout(500);
    const seen = await o.locator("#feed-view").isVisible();
    check(seen === (view === "events"), `overlay view=${view} ${view === "events" ? "shows" : "does not show"} the feed`);
    if (view === "events") {
      check((await o.locator("#feed li").count()) === 8, "the events overlay keeps rows=8 lines");
      check(!(await o.locator("#tower-view").isVisible()) && !(await o.locator("#map-view").isVisible()),
            "the events overlay shows nothing else");
      await o.screenshot({ path: shot("overlay-events.png"), omitBackground: true });
    }
    await o.close();
  }

  check(problems.length === 0, "every page was served under the content security policy, broke none of it and logged no error" +
        problems.map((p) => "\n       " + p).join(""));
} catch (e) {
  check(false, "the test ran: " + (e && e.stack ? e.stack : e));
} finally {
  if (browser) await browser.close();
  await server.close();
}
if (failures.length > 0) {
  console.log(failures.length + " failure(s)");
  process.exit(1);
}
console.log("the results page and the feed passed");
