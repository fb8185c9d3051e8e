// The broadcast overlays (relative, battles, ticker, pit, clock, results),
// the tower's columns and sector marks, and the delayed stream, in headless
// Chromium (Debian's, driven by playwright-core).
//
// First against fixture_server.mjs with the hand-made states of
// fixtures/broadcast_fixture.mjs, whose exact values each overlay must show:
// a lap-down car in the relative box, a train of three, a battle at exactly
// the threshold, marks of all three kinds, the pit lane, the flag; bad
// parameters and their fallbacks; the delay badge, its countdown and the
// delayed feed's history.
//
// Then against a real race: the test host runs the plug-in, `pitwall web`
// bridges it, and each overlay is read back against /api/state fetched at
// that moment: the relative order by lap distance across the line, every
// battle within the threshold and none missing, a purple sector where the
// state marks the session's best (which its best_sectors agree with), the
// pit lane timer running, the clock's laps left, the result at the flag,
// and with a web view that delays, the page at time T showing the state
// the web view had at T - 10 s.
//
// Every overlay's background must be transparent, every page must come
// with the content security policy, and a console error or a policy
// violation on any page is a failure.
//
// Usage: node overlays_e2e.mjs PITWALL_HOST PITWALL EXAMPLES_DIR SCREENSHOT_DIR
//        node overlays_e2e.mjs --fixtures SCREENSHOT_DIR   (the fixture part alone)
import { spawn } from "node:child_process";
import { createRequire } from "node:module";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { startFixtureServer, POLICY, STATES } from "./fixture_server.mjs";
import { broadcastState } from "./fixtures/broadcast_fixture.mjs";
import { failures, check, sleep, waitFor, freePort, start, stop } from "./harness.mjs";

const require = createRequire(import.meta.url);
const { chromium } = require("playwright-core");

const fixturesOnly = process.argv[2] === "--fixtures";
const [hostBin, pitwallBin, examples, shots] = fixturesOnly ? [null, null, null, process.argv[3] || "web-screenshots"]
                                                             : process.argv.slice(2);
fs.mkdirSync(shots, { recursive: true });

let browser;
const problems = [];
// A page that reports its console errors and policy violations, and keeps
// its console warnings in page.warnings.
// `init`, if given, runs in the page before its own scripts.
async function openPage(name, url, viewport = { width: 900, height: 700 }, init = null) {
  const page = await browser.newPage({ viewport });
  if (init) await page.addInitScript(init);
  page.warnings = [];
  page.on("console", (m) => {
    if (m.type() === "warning") page.warnings.push(m.text());
    const feedless = /\/api\/sessions\/latest\/events$/.test(m.location().url || "") && /status of (404|503)/.test(m.text());
    if (m.type() === "error" && !feedless) problems.push(`${name}: ${m.text().slice(0, 200)}`);
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

// What a broadcast overlay shows, row by row: each row's car index and the
// text of each of its cells by the cell's first class name.
function readRows(page, rowSelector) {
  return page.evaluate((sel) => [...document.querySelectorAll(sel)].map((row) => ({
    index: row.dataset.index === undefined ? null : Number(row.dataset.index),
    side: row.dataset.side || null,
    cells: Object.fromEntries([...row.children].map((c) => [c.classList[0], c.textContent])),
    marks: Object.fromEntries([...row.querySelectorAll("[data-mark]")].map((c) => [c.classList[0], c.dataset.mark])),
    titles: Object.fromEntries([...row.querySelectorAll("[title]")].map((c) => [c.classList[0], c.title])),
    classes: Object.fromEntries([...row.querySelectorAll("span")].map((c) => [c.classList[0], c.className])),
  })), rowSelector);
}
const shownBroadcast = (page) => page.evaluate(() => {
  const v = document.getElementById("broadcast-view");
  return !v.hidden && v.getBoundingClientRect().height > 0 && v.textContent.trim() !== "";
});

// A screenshot's pixel (x, y) as [r, g, b, a], decoded by the browser in
// a page of its own.
async function pixel(png, x, y) {
  const page = await browser.newPage();
  const rgba = await page.evaluate(async ({ data, x, y }) => {
    const bytes = Uint8Array.from(atob(data), (c) => c.charCodeAt(0));
    const bitmap = await createImageBitmap(new Blob([bytes], { type: "image/png" }));
    const canvas = new OffscreenCanvas(bitmap.width, bitmap.height);
    const g = canvas.getContext("2d");
    g.drawImage(bitmap, 0, 0);
    return [...g.getImageData(x, y, 1, 1).data];
  }, { data: png.toString("base64"), x, y });
  await page.close();
  return rgba;
}
// The overlay's page is transparent: html and body have no background,
// a screenshot without the browser's own white is clear where nothing is
// drawn (the bottom right corner) and not where the overlay draws (inside
// its first box `inside`, required unless `live`: a live overlay's box may
// come and go, and is looked at only where it stood still for the picture).
async function transparent(page, name, inside, { live = false } = {}) {
  const backgrounds = await page.evaluate(() => [getComputedStyle(document.documentElement).backgroundColor,
                                                 getComputedStyle(document.body).backgroundColor]);
  const vp = page.viewportSize();
  const rect = (sel) => page.evaluate((q) => {
    const n = q && document.querySelector(q);
    if (!n) return null;
    const r = n.getBoundingClientRect();
    return [r.x, r.y, r.width, r.height].map(Math.round).join(",");
  }, sel);
  const before = await rect(inside);
  const png = await page.screenshot({ omitBackground: true, path: path.join(shots, `overlay-${name}.png`) });
  const after = await rect(inside);
  const corner = await pixel(png, vp.width - 2, vp.height - 2);
  let drawn = true;
  if (inside && (!live || (before !== null && before === after))) {
    const [x, y, , h] = (before || "0,0,0,0").split(",").map(Number);
    drawn = before !== null && (await pixel(png, x + 2, Math.round(y + h / 2)))[3] > 100;
  }
  check(backgrounds.every((b) => b === "rgba(0, 0, 0, 0)") && corner[3] === 0 && drawn,
        `${name}: the background is transparent (html ${backgrounds[0]}, body ${backgrounds[1]}, corner alpha ${corner[3]}), the box solid`);
}

// The fixture states by name; the server sends the one server.state.timing names.
STATES.green = JSON.stringify(broadcastState());
STATES.timed = JSON.stringify(broadcastState({ timed: true }));
STATES.flag = JSON.stringify(broadcastState({ chequered: true }));
const GREEN = broadcastState();
const FLAG = broadcastState({ chequered: true });

async function relativeCases(base) {
  // follow=ada: Ada Brennan (P3) in the middle; ahead of her, farthest on
  // top, Clara Weiss (a lap down, in the pits), the leader, Mei; behind her
  // Mateo, Tomas, Hana.
  const want = [
    [8, "ahead", "-2.5"], [5, "ahead", "-1.2"], [4, "ahead", "-0.8"], [0, "self", ""],
    [11, "behind", "+0.3"], [3, "behind", "+1.0"], [12, "behind", "+1.5"],
  ];
  let p = await openPage("relative", `${base}/overlay?view=relative&follow=ada`);
  await waitFor("the relative box draws", () => shownBroadcast(p));
  let rows = await readRows(p, ".rl-row");
  check(JSON.stringify(rows.map((r) => [r.index, r.side, r.cells.gap])) === JSON.stringify(want),
        `relative follow=ada: the cars ahead above, Ada in the middle, the cars behind below, with their gaps (${rows.map((r) => r.index + r.cells.gap).join(" ")})`);
  const clara = rows.find((r) => r.index === 8);
  check(clara && clara.cells.extra === "PIT-1L" && clara.titles.laps === "1 lap down" && /\bdown\b/.test(clara.classes.laps) &&
        rows.filter((r) => r.index !== 8).every((r) => r.cells.extra === ""),
        `relative: the car a lap down reads -1L ("1 lap down") and PIT; the others on the same lap carry no cue`);
  check(rows.map((r) => r.cells.pos).join() === "20,1,2,3,4,5,6" && rows.find((r) => r.index === 0).cells.num === "7",
        "relative: each row carries the car's place and number");
  check(rows.find((r) => r.index === 4).marks.last === "personal_best" && rows.find((r) => r.index === 0).marks.last === "slower",
        "relative: last laps carry their marks (Mei's personal best, Ada's slower)");
  await transparent(p, "relative", ".bx");
  await p.close();

  // Without follow: the leader, with the lapped cars ahead across the line.
  p = await openPage("relative leader", `${base}/overlay?view=relative`);
  await waitFor("the leader's relative draws", () => shownBroadcast(p));
  rows = await readRows(p, ".rl-row");
  check(rows.map((r) => r.index).join() === "10,19,8,5,4,0,11" && rows.slice(0, 3).every((r) => r.cells.extra.endsWith("-1L")),
        `relative without follow: the leader in the middle, three lapped cars ahead (${rows.map((r) => r.index + ":" + r.cells.extra).join(" ")})`);
  await p.close();

  // follow=clara (a lap down): the leaders behind her read +1L, tinted apart.
  p = await openPage("relative clara", `${base}/overlay?view=relative&follow=CLARA&rows=2`);
  await waitFor("Clara's relative draws", () => shownBroadcast(p));
  rows = await readRows(p, ".rl-row");
  check(rows.map((r) => `${r.index}${r.cells.gap}${r.cells.extra}`).join() === "10-82.3,19-69.9,8PIT,5+1.2+1L,4+1.7+1L",
        `relative follow=CLARA rows=2: two each way, the leaders behind her +1L (${rows.map((r) => r.index + r.cells.gap + r.cells.extra).join(" ")})`);
  check(rows.slice(3).every((r) => /\bup\b/.test(r.classes.laps) && r.titles.laps === "1 lap up"), "relative: a lap up is its own tint and says so");
  await p.close();

  // rows= above three is three; a follow= that names nobody is the leader.
  p = await openPage("relative bad", `${base}/overlay?view=relative&follow=nobody&rows=9`);
  await waitFor("the fallback relative draws", () => shownBroadcast(p));
  rows = await readRows(p, ".rl-row");
  check(rows.length === 7 && rows[3].index === 5 && p.warnings.some((w) => /follow=nobody/.test(w)) && p.warnings.some((w) => /rows=9/.test(w)),
        "relative follow=nobody rows=9: the leader, three each way, both said on the console");
  await p.close();
}

async function battleCases(base) {
  const read = async (query) => {
    const p = await openPage("battles " + query, `${base}/overlay?view=battles&${query}`);
    await p.waitForFunction(() => document.documentElement.dataset.updates !== undefined);
    await sleep(150);
    const boxes = await p.evaluate(() => [...document.querySelectorAll(".bx-battle")].map((b) => ({
      cars: b.dataset.cars, head: b.querySelector(".bx-head").textContent,
      intervals: [...b.querySelectorAll(".bt-row .interval")].map((n) => n.textContent),
      trends: [...b.querySelectorAll(".bt-row .trend")].map((n) => (n.dataset.trend || "") + (n.textContent ? ":" + n.textContent : "")),
      titles: [...b.querySelectorAll(".bt-row .trend")].map((n) => n.title),
    })));
    return { p, boxes };
  };
  let { p, boxes } = await read("");
  check(JSON.stringify(boxes.map((b) => [b.cars, b.head])) ===
        JSON.stringify([["4,0", "Battle for P2"], ["11,3,12", "Train for P4 \u2013 P6"], ["2,7", "Battle for P7"]]),
        `battles within 1.0: P2-P3, the train P4-P6 and P7-P8 at exactly 1.000, not P9 half a second behind a lap down (${boxes.map((b) => b.cars).join(" | ")})`);
  check(JSON.stringify(boxes.map((b) => b.intervals)) === JSON.stringify([["", "+0.400"], ["", "+0.300", "+0.950"], ["", "+1.000"]]),
        "battles: each car behind reads its interval");
  check(JSON.stringify(boxes.map((b) => b.trends)) === JSON.stringify([["", "closing:\u25bc"], ["", "steady:\u2013", ""], ["", ""]]) &&
        boxes[0].titles[1] === "interval closing (-0.25 s a lap over 3 laps)",
        `battles: the trend of each gap, closing \u25bc, steady \u2013, none where the state has none (${JSON.stringify(boxes.map((b) => b.trends))})`);
  await transparent(p, "battles", ".bx");
  await p.close();
  ({ p, boxes } = await read("within=0.35"));
  check(boxes.map((b) => b.cars).join("|") === "11,3", "battles within=0.35: only P4-P5");
  await p.close();
  ({ p, boxes } = await read("within=2.2"));
  check(boxes.map((b) => b.cars).join("|") === "5,4,0,11,3,12,2,7|14,15|17,18|1,16,6" && boxes[0].head === "Train for P1 \u2013 P8",
        `battles within=2.2: the train P1-P8, then P10-P11, P12-P13, P14-P16 (${boxes.map((b) => b.cars).join(" | ")})`);
  await p.close();
  ({ p, boxes } = await read("class=gt4"));
  check(boxes.length === 1 && boxes[0].cars === "14,15" && boxes[0].head === "Battle for P2" && boxes[0].intervals[1] === "+0.550",
        "battles class=gt4: GT4's places 2 and 3 by their class interval");
  await p.close();
  ({ p, boxes } = await read("within=9"));
  check(boxes.map((b) => b.cars).join("|") === "5,4,0,11,3,12,2,7|9,14,15,17,18|1,16,6,13,10" &&
        p.warnings.some((w) => /within=9 is outside 0.1 to 5; using 5/.test(w)),
        `battles within=9 is 5, said on the console (${boxes.map((b) => b.cars).join(" | ")})`);
  await p.close();
  ({ p, boxes } = await read("within=0.1"));
  check(boxes.length === 0 && !(await shownBroadcast(p)), "battles within=0.1: no battle, nothing shown");
  await transparent(p, "battles-none", null);
  await p.close();
}

async function pitCases(server) {
  const { base } = server;
  const p = await openPage("pit", `${base}/overlay?view=pit`);
  await waitFor("the pit lane draws", () => shownBroadcast(p));
  let rows = await readRows(p, ".pt-row:not(.pt-head)");
  check(JSON.stringify(rows.map((r) => [r.index, r.cells.pos, r.cells.lane, r.cells.stops, r.cells.stint])) ===
        JSON.stringify([[16, "15", "3.1", "2", "-"], [8, "20", "12.3", "1", "1"]]),
        `pit: the two cars in the lane in place order, lane time, stops, last stint (${JSON.stringify(rows.map((r) => r.cells))})`);
  await transparent(p, "pit", ".bx");
  // The lane time runs with the states.
  const next = broadcastState();
  next.cars.find((c) => c.index === 8).pit_lane_s = 13.54;
  server.pushState(next);
  const ran = await waitFor("the lane time moves on", async () => (await readRows(p, ".pt-row:not(.pt-head)")).some((r) => r.index === 8 && r.cells.lane === "13.5"));
  check(ran, "pit: the next state's lane time (13.5) replaces the last");
  // Nobody in: nothing shown.
  const empty = broadcastState();
  for (const c of empty.cars) { c.in_pits = false; c.pit_lane_s = null; }
  server.pushState(empty);
  check(await waitFor("the pit lane empties", async () => !(await shownBroadcast(p))), "pit: with nobody in the lane nothing is shown");
  await p.close();
}

async function clockCases(server) {
  const { base } = server;
  const read = (p) => p.evaluate(() => ({
    values: Object.fromEntries([...document.querySelectorAll(".ck")].map((n) => [n.classList[1], n.querySelector(".ck-value").textContent])),
    flag: document.querySelector(".flag") ? document.querySelector(".flag").className : null,
    flagTitle: document.querySelector(".flag") ? document.querySelector(".flag").title : null,
    pattern: document.querySelector(".flag") ? getComputedStyle(document.querySelector(".flag")).backgroundImage : null,
  }));
  let p = await openPage("clock", `${base}/overlay?view=clock&local=1`);
  await waitFor("the clock draws", () => shownBroadcast(p));
  let c = await read(p);
  check(c.values.lap === "2 / 5" && c.values["laps-left"] === "4" && c.values["time-left"] === undefined &&
        /^\d\d:\d\d:\d\d$/.test(c.values.local || "") && c.flag === "flag flag-green" && c.flagTitle === "green flag",
        `clock: lap 2 / 5, 4 laps left, the green flag, local=1's time of day (${JSON.stringify(c)})`);
  await transparent(p, "clock", ".bx");
  await p.close();
  server.state.timing = "timed";
  p = await openPage("clock timed", `${base}/overlay?view=clock`);
  await waitFor("the timed clock draws", () => shownBroadcast(p));
  c = await read(p);
  check(c.values["time-left"] === "1:02:05" && c.values.local === undefined, `clock: 3725.9 s left reads 1:02:05, no local time without local=1`);
  await p.close();
  server.state.timing = "flag";
  p = await openPage("clock flag", `${base}/overlay?view=clock`);
  await waitFor("the clock at the flag draws", () => shownBroadcast(p));
  c = await read(p);
  check(c.flag === "flag flag-chequered" && c.flagTitle === "chequered flag" && /conic-gradient/.test(c.pattern) &&
        c.values.lap === "5 / 5" && c.values["laps-left"] === "0",
        `clock at the flag: a chequered pattern titled "chequered flag", lap 5 / 5, 0 left`);
  await p.close();
  server.state.timing = "green";
}

async function resultsCases(server) {
  const { base } = server;
  let p = await openPage("results before", `${base}/overlay?view=results`);
  await p.waitForFunction(() => document.documentElement.dataset.updates !== undefined);
  await sleep(150);
  check(!(await shownBroadcast(p)), "results: before the flag nothing is shown");
  await p.close();
  server.state.timing = "flag";
  p = await openPage("results", `${base}/overlay?view=results`);
  await waitFor("the result draws", () => shownBroadcast(p));
  let rows = await readRows(p, ".rs-row:not(.rs-head)");
  const top = [...FLAG.cars].sort((a, b) => a.place - b.place).slice(0, 10);
  check(JSON.stringify(rows.map((r) => [r.index, r.cells.pos, r.cells.gap])) ===
        JSON.stringify(top.map((c) => [c.index, String(c.place), c.place === 1 ? "5 laps" : c.gap_to_leader.text])),
        `results at the flag: the top ten in place order, the winner's laps and each gap (${rows.map((r) => r.index).join(",")})`);
  check(rows[0].cells.best === "2:13.469" && rows[0].cells.stops === "0" && rows[0].cells.num === "5", "results: best lap, pit stops, number");
  await transparent(p, "results", ".bx");
  await p.close();
  p = await openPage("results gt4", `${base}/overlay?view=results&class=GT4&rows=5`);
  await waitFor("the GT4 result draws", () => shownBroadcast(p));
  rows = await readRows(p, ".rs-row:not(.rs-head)");
  const gt4 = FLAG.cars.filter((c) => c.class === "GT4").sort((a, b) => a.class_place - b.class_place).slice(0, 5);
  check(JSON.stringify(rows.map((r) => [r.index, r.cells.pos, r.cells.gap])) ===
        JSON.stringify(gt4.map((c) => [c.index, String(c.class_place), c.class_place === 1 ? (c.laps + " laps") : c.class_gap.text])),
        `results class=GT4 rows=5: GT4's first five by class place with class gaps (${rows.map((r) => r.index + ":" + r.cells.gap).join(" ")})`);
  check((await p.locator(".bx-head").textContent()) === "GT4 result \u00b7 Pitwall Ring", "results class=GT4: headed with the class");
  await p.close();
  server.state.timing = "green";
}

async function tickerCases(server) {
  const { base } = server;
  const session = server.state.sessions[0].session.id;
  const p = await openPage("ticker", `${base}/overlay?view=ticker&hold=2`, { width: 900, height: 400 });
  await p.waitForFunction(() => document.documentElement.dataset.updates !== undefined);
  await sleep(500);
  check((await p.locator(".tk-line").count()) === 0, "ticker: the history before it opened is not replayed");
  const e = (id, kind, text, extra = {}) => ({ id, session_id: session, kind, at_s: 248, lap: 2, car: 0, driver: "Ada Brennan",
    other_car: 4, other_driver: "Mei Ishikawa", place: null, seconds: null, class: "GT3", text, ...extra });
  const sent = [
    e(9001, "overtake", "Ada Brennan passes Mei Ishikawa for P2 on lap 2.", { place: 2 }),
    e(9002, "lead_change", "Ada Brennan takes the lead from Mei Ishikawa on lap 2.", { place: 1 }),
    e(9003, "personal_best", "Ada Brennan improves to 2:13.100 on lap 2.", { seconds: 133.1 }),
    e(9004, "pit_in", "Ada Brennan enters the pit lane on lap 2."),
    e(9005, "finished", "Mei Ishikawa takes the chequered flag in P3.", { place: 3 }),
    e(9006, "finished", "Ada Brennan takes the chequered flag in P1.", { place: 1 }),
    e(9007, "retired", "Kofi Mensah retires on lap 2.", { car: 7, driver: "Kofi Mensah", other_car: null, other_driver: null }),
    e(9008, "fastest_lap", "Ada Brennan sets the fastest lap: 2:13.100 on lap 2.", { seconds: 133.1 }),
    e(9001, "overtake", "Ada Brennan passes Mei Ishikawa for P2 on lap 2.", { place: 2 }),  // the same again
    e(9009, "overtake", "A late pass long before the state shown.", { at_s: 100 }),
    e(9010, "session_end", "The race is over.", { car: null, driver: null, other_car: null, other_driver: null, class: null, lap: 5 }),
  ];
  for (const x of sent) server.push(x);
  await waitFor("the ticker shows its lines", async () => (await p.locator(".tk-line").count()) === 5);
  const lines = await p.locator(".tk-line").evaluateAll((lis) => lis.map((li) => [Number(li.dataset.id), li.querySelector(".tag").textContent,
                                                                                 li.querySelector(".text").textContent]));
  check(JSON.stringify(lines.map((l) => l[0])) === JSON.stringify([9004, 9006, 9007, 9008, 9010]) &&
        JSON.stringify(lines.map((l) => l[1])) === JSON.stringify(["PIT", "FLAG", "RET", "FAST", "END"]),
        `ticker: passes, pits, the winner's flag, retirements, fastest laps and the end, newest at the bottom, five at most (${lines.map((l) => l[0] + l[1]).join(" ")})`);
  check(lines[1][2] === "Ada Brennan takes the chequered flag in P1." && lines[3][2] === "Ada Brennan sets the fastest lap: 2:13.100",
        "ticker: each line is the event's sentence, its lap shown apart");
  await transparent(p, "ticker", ".tk-line");
  const gone = await waitFor("the lines fade out", async () => (await p.locator(".tk-line").count()) === 0, 6000);
  check(gone, "ticker hold=2: the lines are gone a few seconds later, and the overlay is clear again");
  await p.close();
  // class=GT4: that class's events, and the end of the race.
  const q = await openPage("ticker rows", `${base}/overlay?view=ticker&rows=8&class=GT4`, { width: 900, height: 400 });
  await q.waitForFunction(() => document.documentElement.dataset.updates !== undefined);
  server.push(e(9101, "overtake", "Amara Diallo passes Jonas Keller for P10 on lap 2.", { class: "GT4", place: 10 }));
  server.push(e(9102, "overtake", "Ada Brennan passes Mei Ishikawa for P2 on lap 2.", { class: "GT3", place: 2 }));
  server.push(e(9103, "session_end", "The race is over.", { class: null }));
  await waitFor("the GT4 ticker shows its lines", async () => (await q.locator(".tk-line").count()) === 2);
  const ids = await q.locator(".tk-line").evaluateAll((lis) => lis.map((li) => li.dataset.id));
  check(ids.join() === "9101,9103", "ticker class=GT4: that class's events and the end only");
  await q.close();
}

async function towerCases(server) {
  const { base } = server;
  const readTower = (p) => p.evaluate(() => ({
    heads: [...document.querySelectorAll("#tower thead th")].map((th) => th.textContent),
    rows: Object.fromEntries([...document.querySelectorAll("#tower tbody tr")].map((tr) => [tr.dataset.index,
      Object.fromEntries([...tr.children].map((td) => [td.classList[0], { text: td.textContent, mark: td.dataset.mark || null,
        title: td.title, label: td.getAttribute("aria-label"), previous: td.classList.contains("previous"), colour: getComputedStyle(td).color }]))])),
  }));
  let p = await openPage("tower cols", `${base}/overlay?view=tower&cols=pos,driver,s1,s2,s3,last,pace,trend,bogus,s1`);
  await waitFor("the tower draws", async () => (await p.locator("#tower tbody tr").count()) === 20);
  let t = await readTower(p);
  check(t.heads.join() === "P,Driver,S1,S2,S3,Last,Pace,Trend" && p.warnings.some((w) => /cols= has no column bogus/.test(w)),
        `cols=: the columns asked for in order, once each, an unknown one said on the console (${t.heads.join(",")})`);
  const lead = t.rows["5"], mei = t.rows["4"], quist = t.rows["13"], ada = t.rows["0"];
  check(lead.s1.mark === "session_best" && lead.s1.text === "44.201\u25c6" && /session best/.test(lead.s1.label) &&
        lead.s2.mark === "personal_best" && lead.s2.text === "44.388\u25cf" && /personal best/.test(lead.s2.label) &&
        lead.s3.mark === "slower" && lead.s3.text === "45.094" && lead.s3.previous && !lead.s1.previous,
        "sectors: purple with a diamond, green with a dot, yellow plain, each named in its label; the last lap's sector dimmed");
  check(lead.s1.colour !== lead.s2.colour && lead.s2.colour !== lead.s3.colour && lead.s1.colour !== lead.s3.colour,
        `sectors: three marks, three colours (${lead.s1.colour}, ${lead.s2.colour}, ${lead.s3.colour})`);
  // Where the state marks a sector purple, it is the session's best in it.
  const purple = GREEN.cars.flatMap((c) => c.sectors.map((x, k) => [c, x, k])).filter(([, x]) => x && x.mark === "session_best");
  const shownPurple = Object.entries(t.rows).flatMap(([i, r]) => ["s1", "s2", "s3"].filter((k) => r[k].mark === "session_best").map((k) => i + k));
  check(shownPurple.sort().join() === purple.map(([c, , k]) => c.index + "s" + (k + 1)).sort().join() &&
        purple.every(([c, x, k]) => GREEN.session.best_sectors[k].index === c.index && GREEN.session.best_sectors[k].time_s === x.time_s),
        `sectors: purple exactly where the state marks the session's best (${shownPurple.join(", ")})`);
  check(ada.s1.text === "45.310" && ada.s1.mark === "slower" && t.rows["12"].s1.text === "--" && t.rows["12"].s1.mark === null,
        "sectors: a car without a time reads --");
  check(mei.last.mark === "personal_best" && quist.last.mark === "session_best" && quist.last.text === "2:13.255\u25c6" && ada.last.mark === "slower",
        "last laps: the car's best green, the session's best purple with its diamond, others yellow");
  check(lead.pace.text === "2:13.912" && lead.pace.title === "mean of its last 3 laps" && ada.pace.title === "mean of its last lap" &&
        mei.pace.text === "--", "pace: the mean with the laps it is of in its title, -- without one");
  check(ada.trend.text === "\u25bc" && ada.trend.title === "interval closing (-0.25 s a lap over 3 laps)" && mei.trend.text === "\u25b2" &&
        /growing/.test(mei.trend.title) && t.rows["3"].trend.text === "\u2013" && t.rows["12"].trend.text === "",
        "trend: closing \u25bc, growing \u25b2, steady \u2013, each in words in its title; none without a trend");
  await p.screenshot({ path: path.join(shots, "fixture-tower-sectors.png"), omitBackground: true });
  await p.close();

  p = await openPage("tower default", `${base}/?cols=,bogus,`);
  await waitFor("the default tower draws", async () => (await p.locator("#tower tbody tr").count()) === 20);
  t = await readTower(p);
  check(t.heads.join() === "P,No,Driver,Gap,Int,Last,Best,S,Pit,+/-" && p.warnings.some((w) => /names no column/.test(w)),
        `cols= naming no column: the usual columns, said on the console (${t.heads.join(",")})`);
  check(t.rows["13"].best.mark === "session_best" && t.rows["8"].pit.text === "PIT", "the usual tower: the fastest lap purple, PIT in the lane");
  await p.close();
  p = await openPage("tower gap", `${base}/overlay?view=tower&cols=pos,driver,gap,int,stops,class,gained&gap=interval`);
  await waitFor("the gap= tower draws", async () => (await p.locator("#tower tbody tr").count()) === 20);
  const shown = await p.evaluate(() => [...document.querySelectorAll("#tower thead th")].filter((th) => getComputedStyle(th).display !== "none")
    .map((th) => th.textContent));
  t = await readTower(p);
  check(shown.join() === "P,Driver,Int,Stops,Class,+/-" && t.rows["16"].stops.text === "2" && t.rows["19"].cls.text === "" && t.rows["16"].cls.text === "GT4",
        `cols= with gap=interval: the interval without the gap, stops, the class (${shown.join(",")})`);
  await p.close();
}

async function parameterCases(base) {
  const cases = [
    ["font=Roboto%20Condensed&accent=%23f80", (v) => v.font.startsWith('"Roboto Condensed", ') && v.accent === "#f80" && v.warnings === 0, "a listed font and #rgb"],
    ["font=monospace&accent=Purple", (v) => v.font.startsWith("monospace, ") && v.accent === "purple" && v.warnings === 0, "a generic family unquoted, a colour name"],
    ["font=My%20Font-2&accent=%23a0b1c2", (v) => v.font.startsWith('"My Font-2", ') && v.accent === "#a0b1c2", "any plain family name, #rrggbb"],
    ["font=x%22%3Bcolor:red&accent=url(x)", (v) => v.font === "" && v.accent === "" && v.warnings === 2, "a font with quotes and a colour that is none fall back"],
    ["font=&accent=%23ff", (v) => v.font === "" && v.accent === "" && v.warnings === 1, "an empty font is the usual one; #ff is no colour"],
    ["delay=500", (v) => v.stream === "/api/events?changes=1&delay=300" && v.warnings === 1 && v.badge === "Delayed 300 s", "delay=500 is 300"],
    ["delay=abc", (v) => v.stream === "/api/events?changes=1" && v.warnings === 1 && v.badge === null, "delay=abc is none"],
    ["delay=2.5", (v) => v.stream === "/api/events?changes=1&delay=2.5" && v.badge === "Delayed 2.5 s", "delay=2.5 keeps its decimals"],
    ["delay=-3", (v) => v.stream === "/api/events?changes=1" && v.warnings === 1 && v.badge === null, "delay=-3 is 0"],
    ["hold=1&within=0", (v) => v.warnings === 2, "hold=1 and within=0 are clamped, said on the console"],
  ];
  for (const [query, holds, what] of cases) {
    const before = server.state.streamUrls.length;
    const p = await openPage("params " + query, `${base}/overlay?view=clock&${query}`);
    await waitFor(`?${query} opens its stream`, () => server.state.streamUrls.length > before);
    await waitFor(`?${query} draws`, () => shownBroadcast(p));
    const v = await p.evaluate(() => ({
      font: document.documentElement.style.getPropertyValue("--font"),
      accent: document.documentElement.style.getPropertyValue("--accent"),
      badge: document.getElementById("delay").hidden ? null : document.getElementById("delay").textContent,
    }));
    v.warnings = p.warnings.filter((w) => /^pitwall:/.test(w)).length;
    v.stream = server.state.streamUrls[server.state.streamUrls.length - 1];
    check(holds(v), `?${query}: ${what} (${JSON.stringify(v)})`);
    await p.close();
  }
  // The accent shows: the box's edge takes it.
  const p = await openPage("accent", `${base}/overlay?view=clock&accent=%23ff8800`);
  await waitFor("the accented clock draws", () => shownBroadcast(p));
  check((await p.evaluate(() => getComputedStyle(document.querySelector(".bx")).borderLeftColor)) === "rgb(255, 136, 0)", "accent=#ff8800 edges the box");
  await p.close();
}

let server;
async function delayCases() {
  const { base } = server;
  // The web view holds 4 of the 10 s asked for: the badge counts down and nothing is drawn.
  server.state.kept = 4;
  const before = server.state.streamUrls.length;
  const page = await openPage("delay page", `${base}/?delay=10`, { width: 1400, height: 800 });
  await waitFor("the delayed page opens its stream", () => server.state.streamUrls.length > before);
  check(server.state.streamUrls[before] === "/api/events?changes=1&delay=10", `delay=10 opens /api/events?changes=1&delay=10 (${server.state.streamUrls[before]})`);
  const badge = () => page.evaluate(() => {
    const b = document.getElementById("delay");
    return { hidden: b.hidden, text: b.textContent, inBar: b.parentElement.id === "session-bar" };
  });
  let b = await waitFor("the badge counts down", async () => {
    const x = await badge();
    return /^Delayed 10 s \u2014 starting in [1-6] s$/.test(x.text) ? x : null;
  });
  check(b && !b.hidden && b.inBar, `the page's session bar says "${b && b.text}"`);
  const first = b ? Number(/in (\d) s/.exec(b.text)[1]) : 0;
  await sleep(2100);
  b = await badge();
  const later = /in (\d) s/.exec(b.text);
  check(later && Number(later[1]) <= first - 2, `the countdown runs (${first} s, then "${b.text}")`);
  check((await page.locator("#tower tbody tr").count()) === 0, "while waiting, no state is drawn");
  server.pushState(broadcastState());
  await waitFor("the delayed state comes", async () => (await page.locator("#tower tbody tr").count()) === 20);
  b = await badge();
  check(b.text === "Delayed 10 s", `once the race comes the badge says "${b.text}"`);
  await page.screenshot({ path: path.join(shots, "fixture-delayed-page.png") });
  await page.close();
  server.state.kept = 300;

  // The feed with a delay: the history up to the state's session time
  // (248 s), then what the stream brings; reopened, up to the stream's
  // newest race event.
  const history = server.state.sessions[0];
  const byTime = history.events.events.filter((e) => e.at_s <= GREEN.session.time_s);
  const feed = await openPage("delay feed", `${base}/?delay=10`, { width: 1400, height: 800 });
  await waitFor("the delayed feed fills", async () => (await feed.locator("#feed li").count()) > 0);
  await sleep(300);
  let ids = await feed.locator("#feed li").evaluateAll((lis) => lis.map((li) => Number(li.dataset.id)));
  check(ids.length === byTime.length && Math.max(...ids) === Math.max(...byTime.map((e) => e.id)),
        `delay=10: the feed holds the ${byTime.length} recorded events up to the delayed state's time, not the ${history.events.events.length - byTime.length} after (${ids.length})`);
  const streamedEvent = history.events.events[44];
  server.push({ ...streamedEvent, session_id: history.session.id });
  await waitFor("the streamed event comes", async () => (await feed.locator(`#feed li[data-id="${streamedEvent.id}"]`).count()) === 1);
  const opened = server.state.streamUrls.length;
  server.dropStreams();
  const upTo = history.events.events.filter((e) => e.id <= streamedEvent.id);
  await waitFor("the stream reopens and the feed fills again", async () => server.state.streamUrls.length > opened &&
    (await feed.locator("#feed li").count()) >= upTo.length, 15000);
  await sleep(500);
  ids = await feed.locator("#feed li").evaluateAll((lis) => lis.map((li) => Number(li.dataset.id)));
  check(ids.length === upTo.length && Math.max(...ids) === streamedEvent.id,
        `reopened, the delayed feed reads the history up to the stream's newest event (${ids.length} of ${upTo.length}), nothing newer`);
  await feed.close();

  // An overlay: the badge small in the top right corner; status=hide hides it.
  const ov = await openPage("delay overlay", `${base}/overlay?view=clock&delay=10`);
  await waitFor("the delayed overlay draws", () => shownBroadcast(ov));
  const r = await ov.evaluate(() => {
    const x = document.getElementById("delay").getBoundingClientRect();
    return { top: x.top, right: innerWidth - x.right, height: x.height, text: document.getElementById("delay").textContent };
  });
  check(r.text === "Delayed 10 s" && r.top <= 8 && r.right <= 8 && r.height <= 20, `an overlay's badge sits small in the corner (${JSON.stringify(r)})`);
  await ov.close();
  const hid = await openPage("delay hidden", `${base}/overlay?view=clock&delay=10&status=hide`);
  await waitFor("the hidden-badge overlay draws", () => shownBroadcast(hid));
  check(!(await hid.locator("#delay").isVisible()), "status=hide hides the delay badge");
  await hid.close();
  const live = await openPage("no delay", `${base}/?delay=0`);
  await waitFor("the live page draws", async () => (await live.locator("#tower tbody tr").count()) === 20);
  check(!(await live.locator("#delay").isVisible()) && server.state.streamUrls[server.state.streamUrls.length - 1] === "/api/events?changes=1",
        "delay=0: no badge, the stream without a delay");
  await live.close();
  // A web view that cannot delay says nothing of delay_s: the badge says the race is live.
  server.state.noDelay = true;
  const old = await openPage("no delay support", `${base}/overlay?view=clock&delay=10`);
  await waitFor("the overlay draws on an old web view", () => shownBroadcast(old));
  check((await old.locator("#delay").textContent()) === "Live: this web view cannot delay" && old.warnings.some((w) => /no delay_s/.test(w)),
        "a web view without a delay: the badge says the race is live, and the console why");
  await old.close();
  server.state.noDelay = false;
}

async function fixtureCases() {
  server = await startFixtureServer({ timing: "green" });
  try {
    await relativeCases(server.base);
    await battleCases(server.base);
    await pitCases(server);
    await clockCases(server);
    await resultsCases(server);
    await tickerCases(server);
    await towerCases(server);
    await parameterCases(server.base);
    await delayCases();
  } finally {
    await server.close();
  }
}

// ---- A real race ----

async function getJson(url) {
  try {
    const r = await fetch(url);
    return r.ok ? await r.json() : null;
  } catch { return null; }
}

// Every state the web view serves, by its update count, with when the
// test first saw it (wall clock, ms): polled every 100 ms.
function recordStates(base) {
  const states = new Map();
  let latest = null;
  let running = true;
  const loop = (async () => {
    while (running) {
      const s = await getJson(base + "/api/state");
      if (s && Number.isInteger(s.updates)) {
        if (!states.has(s.updates)) states.set(s.updates, { state: s, at: Date.now() });
        latest = s;
      }
      await sleep(100);
    }
  })();
  return { states, latest: () => latest, stop: () => { running = false; return loop; } };
}

// The page's DOM read by `read` (which returns {updates, ...}) together
// with the state the page showed, as the recorder has it.
async function matched(page, recorder, read, arg) {
  for (let i = 0; i < 60; i++) {
    const v = await page.evaluate(read, arg);
    const rec = v && v.updates !== "" && recorder.states.get(Number(v.updates));
    if (rec) return [v, rec.state, rec.at];
    await sleep(50);
  }
  return [null, null, null];
}

// Each running car's offset round the lap from `me`: ahead up to half a
// lap, nearest first, and behind beyond that, nearest first: three each.
function onTrack(s, me) {
  const length = s.session.lap_length_m;
  const wrap = (d) => ((d % length) + length) % length;
  if (me.finished) return { ahead: [], behind: [] };  // a car that is not running has no relative
  const others = s.cars.filter((c) => c.index !== me.index && !c.finished)
    .map((c) => ({ c, off: wrap(c.lap_distance_m - me.lap_distance_m) }));
  const byOff = (a, b) => a.off - b.off || a.c.index - b.c.index;
  const ahead = others.filter((x) => x.off <= length / 2).sort(byOff).slice(0, 3).map((x) => x.c.index);
  const behind = others.filter((x) => x.off > length / 2).sort((a, b) => -byOff(a, b)).slice(0, 3).map((x) => x.c.index);
  return { ahead, behind };
}

const readRelative = () => ({
  updates: document.documentElement.dataset.updates,
  rows: [...document.querySelectorAll(".rl-row")].map((r) => ({ index: Number(r.dataset.index), side: r.dataset.side,
    gap: r.querySelector(".gap").textContent, laps: r.querySelector(".laps") ? r.querySelector(".laps").textContent : "" })),
});
const readBattles = () => ({
  updates: document.documentElement.dataset.updates,
  battles: [...document.querySelectorAll(".bx-battle")].map((b) => ({ cars: b.dataset.cars.split(",").map(Number),
    intervals: [...b.querySelectorAll(".bt-row .interval")].map((n) => n.textContent),
    trends: [...b.querySelectorAll(".bt-row .trend")].map((n) => n.dataset.trend || "") })),
});
const readSectors = () => ({
  updates: document.documentElement.dataset.updates,
  rows: [...document.querySelectorAll("#tower tbody tr")].map((tr) => ({ index: Number(tr.dataset.index),
    marks: ["s1", "s2", "s3"].map((k) => tr.querySelector("td." + k).dataset.mark || null),
    times: ["s1", "s2", "s3"].map((k) => tr.querySelector("td." + k).textContent.replace(/[\u25c6\u25cf]/g, "")),
    last: tr.querySelector("td.last").dataset.mark || null })),
});
const readPit = () => ({
  updates: document.documentElement.dataset.updates,
  rows: [...document.querySelectorAll(".pt-row:not(.pt-head)")].map((r) => ({ index: Number(r.dataset.index),
    lane: r.querySelector(".lane").textContent, stops: r.querySelector(".stops").textContent, stint: r.querySelector(".stint").textContent })),
});
const readClock = () => ({
  updates: document.documentElement.dataset.updates,
  lap: document.querySelector(".ck.lap .ck-value") ? document.querySelector(".ck.lap .ck-value").textContent : null,
  left: document.querySelector(".ck.laps-left .ck-value") ? document.querySelector(".ck.laps-left .ck-value").textContent : null,
  flag: document.querySelector(".flag") ? document.querySelector(".flag").className : null,
});
const readResults = () => ({
  updates: document.documentElement.dataset.updates,
  rows: [...document.querySelectorAll(".rs-row:not(.rs-head)")].map((r) => ({ index: Number(r.dataset.index),
    pos: r.querySelector(".pos").textContent, gap: r.querySelector(".gap").textContent, stops: r.querySelector(".stops").textContent })),
});
const readDelayed = () => ({
  updates: document.documentElement.dataset.updates,
  badge: document.getElementById("delay").textContent,
  feed: [...document.querySelectorAll("#feed li")].map((li) => Number(li.dataset.id)),
});

const signed = (side, gap) => (side === "ahead" ? "-" : "+") + gap.toFixed(1);
function battlesOf(s, within, cls) {
  const byClass = cls !== null;
  const cars = s.cars.filter((c) => (byClass ? c.class === cls && c.class_place !== null : c.place !== null))
    .sort((a, b) => (byClass ? a.class_place - b.class_place : a.place - b.place));
  const interval = (c) => (byClass ? c.class_interval : c.interval);
  const close = (c) => !c.finished && interval(c) && interval(c).laps === 0 && interval(c).seconds <= within;
  const out = [];
  for (let i = 1; i < cars.length; i++) {
    if (!close(cars[i]) || cars[i - 1].finished) continue;
    const last = out[out.length - 1];
    if (last && last[last.length - 1] === cars[i - 1].index) last.push(cars[i].index);
    else out.push([cars[i - 1].index, cars[i].index]);
  }
  return out;
}

async function liveCases() {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), "pitwall-overlays."));
  fs.cpSync(path.join(examples, "game"), path.join(work, "game"), { recursive: true });
  const pluginPort = await freePort(), webPort = await freePort();
  fs.writeFileSync(path.join(work, "game", "PitwallFeedPlugin.ini"), `[GENERAL]\nPort=${pluginPort}\n`);
  const base = `http://127.0.0.1:${webPort}`;
  // A three-lap race of two classes at eight times real speed: a lap in
  // about 17 s. Car 2 stands 40 s (5 s here) in its box on lap 1, car 14
  // 30 s on lap 2.
  const host = start(hostBin, ["--game-dir", path.join(work, "game"), "--speed", "8", "--sessions", "race", "--seed", "4",
                               "--race-laps", "3", "--classes", "12:8", "--pit", "2@1:40,14@2:30", "--overrun", "80", "--hold", "20"],
                     path.join(work, "host.log"));
  const web = start(pitwallBin, ["web", `127.0.0.1:${pluginPort}`, "--listen", `127.0.0.1:${webPort}`, "--db", path.join(work, "pitwall.db"),
                                 "--league", path.join(examples, "league.csv")], path.join(work, "web.log"));
  let recorder = null;
  try {
    await waitFor("the web view answers", async () => (await getJson(base + "/api/status")) !== null, 20000);
    recorder = recordStates(base);
    const badDelay = await fetch(base + "/api/events?delay=nonsense").then(async (r) => [r.status, await r.text()]).catch(() => [0, ""]);
    const delays = badDelay[0] === 400 && /bad_delay/.test(badDelay[1]);
    console.log(delays ? "the web view delays its stream: the delayed page is checked against the states of 10 s before"
                       : "this pitwall web has no ?delay= (no 400 bad_delay): the delayed page is left out");
    const delayed = delays ? await openPage("live delayed", `${base}/?delay=10`, { width: 1400, height: 800 }) : null;
    if (delayed) {
      // When each state came to the page (its update count changed).
      await delayed.evaluate(() => {
        window.__arrivals = [];
        new MutationObserver(() => window.__arrivals.push([Number(document.documentElement.dataset.updates), Date.now()]))
          .observe(document.documentElement, { attributes: true, attributeFilter: ["data-updates"] });
      });
      const early = await waitFor("the delayed page counts down", async () =>
        /^Delayed 10 s \u2014 starting in \d+ s$/.test(await delayed.locator("#delay").textContent()), 8000);
      check(early, "a page opened as the web view starts, with delay=10, counts down to the delayed race");
    }
    await waitFor("the race is under way", () => {
      const s = recorder.latest();
      return s && s.session && s.cars.length === 20 && s.cars.every((c) => c.place !== null) && s.session.lap >= 1;
    }, 30000);
    const first = recorder.latest();
    const raceSession = await waitFor("the race is recorded", async () => {
      const body = await getJson(base + "/api/sessions/latest/events");
      return body && body.session && body.session.kind === "race" ? body.session.id : null;
    });
    const mid = [...first.cars].sort((a, b) => a.place - b.place)[9];  // tenth on the grid
    // The race's recorded events (the host starts another race after it).
    const history = async () => ((await getJson(`${base}/api/sessions/${raceSession}/events`)) || { events: [] }).events;
    const newest = async () => Math.max(0, ...(await history()).map((e) => e.id));
    // The ticker opens mid-race: what was recorded before it opened
    // (up to event h0) it never shows; what comes after its stream opened
    // (after h1) it shows.
    await waitFor("the race has a story to tell", async () => (await history()).length >= 10, 30000);
    const h0 = await newest();
    const tickerAll = await openPage("live ticker", `${base}/overlay?view=ticker&rows=20&hold=30`, { width: 900, height: 700 });
    await tickerAll.waitForFunction(() => document.documentElement.dataset.updates !== undefined);
    const h1 = await newest();
    await tickerAll.evaluate(() => {
      window.__lines = [];
      // Each line as it is added (its list comes first, empty).
      new MutationObserver((changes) => {
        for (const c of changes) for (const n of c.addedNodes) if (n.classList && n.classList.contains("tk-line")) window.__lines.push(Number(n.dataset.id));
      }).observe(document.getElementById("broadcast-view"), { childList: true, subtree: true });
    });
    const pages = {
      relative: await openPage("live relative", `${base}/overlay?view=relative&follow=${encodeURIComponent(mid.driver)}`),
      battles: await openPage("live battles", `${base}/overlay?view=battles`),
      sectors: await openPage("live sectors", `${base}/overlay?view=tower&cols=pos,driver,s1,s2,s3,last`, { width: 900, height: 900 }),
      pit: await openPage("live pit", `${base}/overlay?view=pit`),
      clock: await openPage("live clock", `${base}/overlay?view=clock`),
      results: await openPage("live results", `${base}/overlay?view=results`),
      gt4: await openPage("live results gt4", `${base}/overlay?view=results&class=GT4`),
    };
    const bad = { relative: [], battles: [], sectors: [], clock: [], delayed: [], feed: [] };
    const counts = { relative: 0, battles: 0, battlesSeen: 0, sectors: 0, purple: 0, clock: 0, delayed: 0 };
    const offsets = [];
    let laneLooks = null;
    let redelayed = null;  // a viewer that comes mid-race with another delay
    // The pit lane timer: a car in the lane, looked at twice. A stop lasts
    // a few seconds here, so the lane is watched on its own, as soon as a
    // car comes into it, while the loop below looks at the other views.
    let watchingLane = true;
    const laneWatch = (async () => {
      while (watchingLane && laneLooks === null) {
        const latest = recorder.latest();
        if (!(latest && latest.cars.some((c) => c.in_pits && !c.finished && c.pit_lane_s !== null && c.pit_lane_s < 30))) {
          await sleep(100);
          continue;
        }
        const [v1, s1] = await matched(pages.pit, recorder, readPit);
        await sleep(600);
        const [v2, s2] = await matched(pages.pit, recorder, readPit);
        // Looked at again if every car it timed has left the lane since.
        if (v1 && v2 && v1.rows.some((r) => r.lane !== "--" && v2.rows.some((x) => x.index === r.index))) laneLooks = { v1, s1, v2, s2 };
      }
    })();
    for (const deadline = Date.now() + 120000; Date.now() < deadline;) {
      const latest = recorder.latest();
      if (latest && latest.session && latest.session.flag === "chequered") break;
      // A viewer with delay=5 mid-race is sent the race as of 5 s before at
      // once, not the race from its start.
      if (delays && redelayed === null && latest && latest.session.lap >= 2) {
        // When the page opened its stream, and when each state came.
        const page = await openPage("live delay 5", `${base}/overlay?view=clock&delay=5`, undefined, () => {
          const Source = window.EventSource;
          window.EventSource = class extends Source {
            constructor(...args) {
              super(...args);
              if (window.__streamOpened === undefined) window.__streamOpened = Date.now();
            }
          };
          window.__arrivals = [];
          new MutationObserver((changes) => {
            if (changes.some((c) => c.target === document.documentElement)) {
              window.__arrivals.push([Number(document.documentElement.dataset.updates), Date.now()]);
            }
          }).observe(document, { attributes: true, subtree: true, attributeFilter: ["data-updates"] });
        });
        // The recorder polls, so on a busy machine it can miss a few states
        // in a row: the page is watched until it shows one the test saw.
        await waitFor("the delay=5 overlay shows a state the test saw", async () =>
          (await page.evaluate(() => window.__arrivals)).some(([u]) => recorder.states.has(u)), 15000);
        const [opened, arrivals] = await page.evaluate(() => [window.__streamOpened, window.__arrivals]);
        const known = arrivals.find(([u]) => recorder.states.has(u));
        redelayed = known && opened !== undefined
          ? { opened, shownFirst: arrivals[0][1], shown: known[1], received: recorder.states.get(known[0]).state.received_unix_s }
          : null;
        await page.close();
      }
      // The relative box against the cars' lap distances.
      {
        const [v, s] = await matched(pages.relative, recorder, readRelative);
        if (v && s) {
          counts.relative++;
          const me = s.cars.find((c) => c.index === mid.index);
          const want = onTrack(s, me);
          const order = [...want.ahead].reverse().concat([me.index], want.behind);
          const rel = me.relative;
          const gaps = [...rel.ahead].reverse().map((r) => signed("ahead", r.gap_s)).concat([""], rel.behind.map((r) => signed("behind", r.gap_s)));
          const laps = [...rel.ahead].reverse().map((r) => r.laps).concat([0], rel.behind.map((r) => r.laps))
            .map((n) => (n === 0 ? "" : (n > 0 ? "+" : "-") + Math.abs(n) + "L"));
          if (v.rows.map((r) => r.index).join() !== order.join() || v.rows.map((r) => r.gap).join() !== gaps.join() ||
              v.rows.map((r) => r.laps).join() !== laps.join()) {
            bad.relative.push(`update ${s.updates}: shown ${v.rows.map((r) => r.index + r.gap + r.laps).join(" ")}, on track ${order.join(",")}`);
          }
        }
      }
      // Every battle within 1 s, none missing.
      {
        const [v, s] = await matched(pages.battles, recorder, readBattles);
        if (v && s) {
          counts.battles++;
          counts.battlesSeen += v.battles.length;
          const want = battlesOf(s, 1.0, null);
          const byIndex = new Map(s.cars.map((c) => [c.index, c]));
          const intervalsOk = v.battles.every((b) => b.cars.slice(1).every((i, k) => byIndex.get(i).interval.text === b.intervals[k + 1] &&
                                                                                    byIndex.get(i).interval.seconds <= 1.0) &&
                                                     b.cars.slice(1).every((i, k) => (byIndex.get(i).interval_trend ? byIndex.get(i).interval_trend.direction : "") === b.trends[k + 1]));
          if (JSON.stringify(v.battles.map((b) => b.cars)) !== JSON.stringify(want) || !intervalsOk) {
            bad.battles.push(`update ${s.updates}: shown ${JSON.stringify(v.battles.map((b) => b.cars))}, within 1 s ${JSON.stringify(want)}`);
          }
        }
      }
      // The sector marks as the state gives them, purple where it is the session's best.
      {
        const [v, s] = await matched(pages.sectors, recorder, readSectors);
        if (v && s) {
          counts.sectors++;
          const byIndex = new Map(s.cars.map((c) => [c.index, c]));
          for (const row of v.rows) {
            const car = byIndex.get(row.index);
            const marks = car.sectors.map((x) => (x ? x.mark : null));
            const times = car.sectors.map((x) => (x ? (x.time_s < 60 ? x.time_s.toFixed(3) : null) : "--"));
            if (row.marks.join() !== marks.join() || row.times.some((t, k) => times[k] !== null && t !== times[k]) ||
                row.last !== (car.last_lap_s ? car.last_lap_mark : null)) {
              bad.sectors.push(`update ${s.updates} car ${row.index}: shown ${row.marks.join()} ${row.times.join()} last ${row.last}, state ${marks.join()} last ${car.last_lap_mark}`);
            }
            car.sectors.forEach((x, k) => {
              if (!x || x.mark !== "session_best") return;
              counts.purple++;
              const best = s.session.best_sectors[k];
              if (!best || best.time_s !== x.time_s || best.index !== car.index) {
                bad.sectors.push(`update ${s.updates} car ${car.index} S${k + 1}: purple ${x.time_s}, the session's best ${JSON.stringify(best)}`);
              }
            });
          }
        }
      }
      // The clock's lap and laps left.
      {
        const [v, s] = await matched(pages.clock, recorder, readClock);
        if (v && s) {
          counts.clock++;
          if (v.left !== String(s.session.laps_left) || v.lap !== `${s.session.lap} / ${s.session.max_laps}` || v.flag !== "flag flag-" + s.session.flag) {
            bad.clock.push(`update ${s.updates}: shown lap ${v.lap}, ${v.left} left, ${v.flag}; state lap ${s.session.lap}/${s.session.max_laps}, ${s.session.laps_left} left`);
          }
        }
      }
      // The delayed page: the state of 10 s before, the feed no further.
      if (delayed) {
        const [v, s] = await matched(delayed, recorder, readDelayed);
        if (v && s && v.badge === "Delayed 10 s") {
          counts.delayed++;
          const events = await history();
          const atOf = new Map(events.map((e) => [e.id, e.at_s]));
          const late = v.feed.filter((id) => atOf.has(id) && atOf.get(id) > s.session.time_s + 1e-6);
          if (late.length > 0) bad.feed.push(`update ${s.updates} at ${s.session.time_s} s: events of later ${late.join(",")}`);
        }
      }
      await sleep(700);
    }
    watchingLane = false;
    await laneWatch;
    check(counts.relative >= 10 && bad.relative.length === 0,
          `relative follow=${mid.driver}: the cars by lap distance across the line, the state's gaps and laps (${counts.relative} looks) ${bad.relative.slice(0, 3).join("; ")}`);
    check(counts.battles >= 10 && counts.battlesSeen > 0 && bad.battles.length === 0,
          `battles: every pair within 1 s, none missing, intervals and trends as the state's (${counts.battles} looks, ${counts.battlesSeen} battles) ${bad.battles.slice(0, 3).join("; ")}`);
    check(counts.sectors >= 10 && counts.purple > 0 && bad.sectors.length === 0,
          `sectors: the state's marks on every car, purple the session's best in its sector (${counts.sectors} looks, ${counts.purple} purple) ${bad.sectors.slice(0, 3).join("; ")}`);
    check(counts.clock >= 10 && bad.clock.length === 0, `clock: the state's lap and laps left (${counts.clock} looks) ${bad.clock.slice(0, 3).join("; ")}`);
    if (laneLooks && laneLooks.v1 && laneLooks.v2) {
      const { v1, s1, v2, s2 } = laneLooks;
      const want = (s) => s.cars.filter((c) => c.in_pits && !c.finished).sort((a, b) => a.place - b.place)
        .map((c) => [c.index, c.pit_lane_s === null ? "--" : c.pit_lane_s.toFixed(1)]);
      const same = (v, s) => JSON.stringify(v.rows.map((r) => [r.index, r.lane])) === JSON.stringify(want(s));
      const car = v1.rows.find((r) => r.lane !== "--" && v2.rows.some((x) => x.index === r.index));
      const again = car && v2.rows.find((r) => r.index === car.index);
      check(same(v1, s1) && same(v2, s2), `pit: the cars in the lane and their lane times as the state's (${JSON.stringify(v1.rows)})`);
      check(car && again && Number(again.lane) > Number(car.lane), `pit: the lane timer runs (${car && car.lane} s, a moment later ${again && again.lane} s)`);
      await transparent(pages.pit, "live-pit", ".bx", { live: true });
    } else {
      check(false, "pit: a car was seen in the pit lane");
    }
    if (delayed) {
      // Each state came to the page 10 s after the web view had it (its
      // received_unix_s). The stream holds each state until its time, so
      // none may come early; a page on a busy machine draws some late. A
      // stream not delayed, delayed by another time or sent from the start
      // is off by seconds in the middle of them.
      for (const [updates, at] of await delayed.evaluate(() => window.__arrivals)) {
        const rec = recorder.states.get(updates);
        if (rec) offsets.push(at / 1000 - rec.state.received_unix_s - 10);
      }
      offsets.sort((a, b) => a - b);
      const median = offsets[offsets.length >> 1];
      const within = offsets.filter((o) => Math.abs(o) <= 0.5).length / Math.max(1, offsets.length);
      const earliest = offsets.length ? offsets[0] : 0;
      const latest = offsets.length ? offsets[offsets.length - 1] : 0;
      check(offsets.length >= 50 && Math.abs(median) <= 0.25 && within >= 0.8 && earliest >= -0.25,
            `delay=10: each state came to the page 10 s after the web view had it, none early (${offsets.length} states: median ` +
            `${median.toFixed(3)} s off, ${(within * 100).toFixed(1)} % within 0.5 s, ` +
            `from ${earliest.toFixed(3)} to ${latest.toFixed(3)} s off)`);
      if (redelayed) {
        // The first state it drew is the race of 5 s before: early would be
        // the wrong past, late is a loaded page drawing what it was sent.
        // And it was sent at once: counted back to when the stream opened,
        // it had been received before then. A stream that waited 5 s from
        // opening could only send states received after it opened.
        const { opened, shownFirst, shown, received } = redelayed;
        const off = shown / 1000 - received;
        const before = opened / 1000 - (received - (shown - shownFirst) / 1000);
        check(off >= 4.5 && off <= 7 && before > 0,
              `delay=5 mid-race: the first state is the race of 5 s before (${off.toFixed(2)} s), sent at once ` +
              `(received ${before.toFixed(2)} s before the stream opened; drawn ${shownFirst - opened} ms after)`);
      } else {
        check(false, "delay=5 mid-race: the overlay showed states the test saw");
      }
      check(bad.feed.length === 0, `delay=10: the feed tells no event later than the delayed state ${bad.feed.slice(0, 3).join("; ")}`);
    }

    // The flag: the result is the state's top ten, overall and in GT4.
    const flagged = await waitFor("the leader takes the flag", () => recorder.latest() && recorder.latest().session.flag === "chequered", 60000);
    if (flagged) {
      await sleep(500);
      const [v, s] = await matched(pages.results, recorder, readResults);
      const top = s ? [...s.cars].filter((c) => c.place !== null).sort((a, b) => a.place - b.place).slice(0, 10) : [];
      check(v && s.session.flag === "chequered" &&
            JSON.stringify(v.rows.map((r) => [r.index, r.pos, r.gap, r.stops])) ===
            JSON.stringify(top.map((c) => [c.index, String(c.place), c.place === 1 ? c.laps + " laps" : c.gap_to_leader.text, String(c.pit_stops)])),
            `results at the flag: the state's top ten, places, gaps and stops (${v && v.rows.map((r) => r.index).join(",")})`);
      const [g, gs] = await matched(pages.gt4, recorder, readResults);
      const gt4 = gs ? gs.cars.filter((c) => c.class === "GT4" && c.class_place !== null).sort((a, b) => a.class_place - b.class_place) : [];
      check(g && g.rows.length === Math.min(10, gt4.length) && g.rows.every((r, k) => r.index === gt4[k].index && r.pos === String(gt4[k].class_place) &&
                                                                            r.gap === (k === 0 ? gt4[k].laps + " laps" : gt4[k].class_gap.text)),
            `results class=GT4 at the flag: GT4 by class place with class gaps (${g && g.rows.map((r) => r.index).join(",")})`);
      // The results stand only while the host holds the classification
      // (a few seconds here): both are shot first.
      await transparent(pages.results, "live-results", ".bx", { live: true });
      await transparent(pages.gt4, "live-gt4", ".bx", { live: true });
    }
    for (const [name, page] of Object.entries(pages)) {
      if (!["pit", "results", "gt4"].includes(name)) await transparent(page, "live-" + name, name === "sectors" ? "#tower-view" : ".bx", { live: true });
    }
    // The ticker: the race's passes, pit stops, fastest laps and the
    // winner's flag once each, in order, as they came after it opened.
    await sleep(1500);
    const events = await history();
    const wanted = new Set(["overtake", "pit_in", "pit_out", "fastest_lap", "retired", "disqualified", "stopped", "session_end"]);
    const upTo = Math.max(0, ...events.map((e) => e.id));
    const told = events.filter((e) => wanted.has(e.kind) || (e.kind === "finished" && e.place === 1)).map((e) => e.id);
    const lines = (await tickerAll.evaluate(() => window.__lines)).filter((id) => id <= upTo);
    const after = told.filter((id) => id > h1);
    check(after.length > 0 && JSON.stringify(lines.filter((id) => id > h1)) === JSON.stringify(after) &&
          lines.every((id) => id > h0 && told.includes(id)),
          `ticker: each pass, pit stop, fastest lap and the winner's flag once, in order, after it opened (${lines.length} lines; ` +
          `${after.length} such events after event ${h1}; none of the ${told.filter((id) => id <= h0).length} before event ${h0})`);
  } finally {
    // The pages go first: a stream cut by the web view's end is an error on their consoles.
    for (const page of browser.contexts().flatMap((c) => c.pages())) await page.close();
    if (recorder) await recorder.stop();
    await stop(host);
    await stop(web);
    fs.rmSync(work, { recursive: true, force: true });
  }
}

try {
  browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  await fixtureCases();
  if (!fixturesOnly) await liveCases();
  check(problems.length === 0, "every page was served under the content security policy, broke none of it and logged no error" +
        problems.map((p) => "\n       " + p).join(""));
} catch (e) {
  check(false, "the test ran: " + (e && e.stack ? e.stack : e));
} finally {
  if (browser) await browser.close();
}
if (failures.length > 0) {
  console.log(failures.length + " failure(s)");
  process.exit(1);
}
console.log("the overlays passed");
