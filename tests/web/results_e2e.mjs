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
import { startFixtureServer, POLICY } from "./fixture_server.mjs";

const require = createRequire(import.meta.url);
const { chromium } = require("playwright-core");

const shots = process.argv[2] || "web-screenshots";
fs.mkdirSync(shots, { recursive: true });
// Named apart from web_e2e.mjs's pictures of the real web view in the same folder.
const shot = (name) => path.join(shots, "fixture-" + name);
const failures = [];
function check(ok, what) {
  if (!ok) failures.push(what);
  console.log((ok ? "ok   " : "FAIL ") + what);
}

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

async function waitFor(what, fn, ms = 10000) {
  const deadline = Date.now() + ms;
  for (;;) {
    const value = await fn();
    if (value) return value;
    if (Date.now() > deadline) {
      check(false, what + " (timed out)");
      return value;
    }
    await new Promise((r) => setTimeout(r, 50));
  }
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
        cells: [...tr.querySelectorAll("td")].map((td) => td.textContent),
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
      colours: Object.fromEntries([...Array(64).keys()].map((i) => [i, carColour(i)])),
      scrollWidth: document.documentElement.scrollWidth,
    };
  });
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
  check(r.rows[0].cells[1] === fixture.results.rows[0].driver, `session ${id}: the winner's name is whole, as text`);
  const byCar = new Map(fixture.results.rows.map((x) => [String(x.car), x]));
  const gainedOk = r.rows.every((row) => {
    const g = byCar.get(row.car).places_gained;
    return row.cells[7] === (g > 0 ? "▲" + g : g < 0 ? "▼" + -g : "=");
  });
  check(gainedOk, `session ${id}: places gained read ▲n, ▼n or =`);
  const lapped = fixture.results.rows.filter((x) => x.gap && x.gap.laps > 0);
  check(lapped.every((x) => r.rows.find((row) => row.car === String(x.car)).cells[3] === x.gap.text),
        `session ${id}: lapped cars read their laps behind (${lapped.length})`);
  check(r.pits === Math.max(1, fixture.results.pit_stops.length), `session ${id}: the pit table has a row a stop`);
  check(r.fastest.includes(fixture.results.fastest_lap.driver), `session ${id}: the fastest lap names its driver`);
  check(r.line.includes("Pitwall Ring") && r.line.includes(fixture.session.laps + " laps"), `session ${id}: the session line (${r.line})`);
  // One line a car in each chart, each in the car's map colour.
  check(r.lapLines.length === n && new Set(r.lapLines).size === n, `session ${id}: the lap chart has one line per car (${r.lapLines.length})`);
  check(r.gapLines.length === n && new Set(r.gapLines).size === n, `session ${id}: the gap chart has one line per car (${r.gapLines.length})`);
  check(Object.entries(r.strokes).every(([car, stroke]) => stroke === r.colours[car]), `session ${id}: each line has its car's map colour`);
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
  check(r20.rows.some((row) => row.cells[1] === "سارة الحسيني") && r20.rows.some((row) => row.cells[1] === "Zoë <img src=x> Quinn"),
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
