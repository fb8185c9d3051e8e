// The web view end to end: the test host runs the plug-in with a race on
// the sample track, `pitwall web` bridges it, and headless Chromium (Debian's,
// driven by playwright-core) checks the page and its overlays: the race,
// the gliding markers, the address's parameters and their fallbacks, a
// phone's screen, a bridge that joins mid-race and has too many viewers,
// then an outage of the plug-in and the recovery without a reload. When
// `pitwall web` keeps a race history (--db), also the live page's event
// feed, and a short race recorded to its end on the results page: its
// classification, a line per car in the lap chart and the gap chart, in
// the colours of the cars' markers on the map. When `pitwall web` takes a
// league file (--league) and the test host a two-class field (--classes),
// a race of two classes with the example league: the tower split by class,
// each with its own leader, the markers in the class colours with the
// numbers, and (with a race history) the results page by class.
// Every page must come with the content security policy, and any console
// error or policy violation on any page is a failure.
//
// Usage: node web_e2e.mjs PITWALL_HOST PITWALL EXAMPLES_DIR SCREENSHOT_DIR
import { spawn, spawnSync } from "node:child_process";
import { createRequire } from "node:module";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { readLive, rgb } from "./live_dom.mjs";
import { failures, check, waitFor, freePort, start, stop } from "./harness.mjs";

const require = createRequire(import.meta.url);
const { chromium } = require("playwright-core");

const POLICY = "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; " +
               "connect-src 'self'; base-uri 'none'; form-action 'none'";

const [hostBin, pitwallBin, examples, shots] = process.argv.slice(2);





async function answers(url) {
  try { return (await fetch(url)).ok; } catch { return false; }
}

const work = fs.mkdtempSync(path.join(os.tmpdir(), "pitwall-web."));
fs.cpSync(path.join(examples, "game"), path.join(work, "game"), { recursive: true });
const pluginPort = await freePort();
const webPort = await freePort();
// Two clients: the main bridge and the one that joins mid-race.
fs.writeFileSync(path.join(work, "game", "PitwallFeedPlugin.ini"),
                 `[GENERAL]\nPort=${pluginPort}\nMaxConnections=2\n`);
fs.mkdirSync(shots, { recursive: true });

// The host's default pace, five scoring updates a second as simulators
// send them, while the bridge polls ten times a second: every second state
// repeats the one before, which the page's markers must glide through.
const hostArgs = ["--game-dir", path.join(work, "game"), "--speed", "10", "--sessions", "race", "--seed", "3"];
let host = start(hostBin, hostArgs, path.join(work, "host.log"));
// A web view with a race history records into a file of the test's own.
const help = spawnSync(pitwallBin, ["web", "--help"], { encoding: "utf8" });
const history = /--db\b/.test((help.stdout || "") + (help.stderr || ""));
const db = (name) => (history ? ["--db", path.join(work, name)] : []);
console.log(history ? "the web view keeps a race history: the feed and the results page are checked"
                    : "this pitwall web has no race history (no --db): the feed and the results page are left out");
const leagueFile = path.join(examples, "league.csv");
const hostHelp = spawnSync(hostBin, ["--help"], { encoding: "utf8" });
const leagues = /--league\b/.test((help.stdout || "") + (help.stderr || "")) &&
                /--classes\b/.test((hostHelp.stdout || "") + (hostHelp.stderr || "")) && fs.existsSync(leagueFile);
console.log(leagues ? "the web view takes a league file: a race of two classes is checked"
                    : "no --league in pitwall web, no --classes in the host or no examples/league.csv: the classes are left out");
const web = start(pitwallBin, ["web", `127.0.0.1:${pluginPort}`, "--listen", `127.0.0.1:${webPort}`, ...db("pitwall.db")],
                  path.join(work, "web.log"));
let oneViewerWeb = null;
let leagueWeb = null;
const base = `http://127.0.0.1:${webPort}`;

// Console errors and policy violations of every page, by the page's name.
const problems = [];
let browser;

// A page (its own browser context) that reports its console errors and
// policy violations. `allowed`: console errors this page expects (a stream
// turned down with 503). Each page's answer must carry the policy.
async function openPage(name, url, viewport, { allowed = [] } = {}) {
  const page = await browser.newPage({ viewport });
  page.on("console", (m) => {
    // The live page asks for the latest session's events; before the first
    // session (404), or without a race history (404, 503), the browser logs
    // the answer, and the feed stays empty.
    const feedless = /\/api\/sessions\/latest\/events$/.test(m.location().url || "") && /status of (404|503)/.test(m.text());
    if (m.type() === "error" && !feedless && !allowed.some((re) => re.test(m.text()))) problems.push(`${name}: ${m.text().slice(0, 200)}`);
  });
  page.on("pageerror", (e) => problems.push(`${name}: ${e.message.slice(0, 200)}`));
  await page.addInitScript(() => {
    document.addEventListener("securitypolicyviolation", (e) =>
      console.error(`policy violation: ${e.violatedDirective} ${e.blockedURI} line ${e.lineNumber}`));
  });
  const answer = await page.goto(url);
  const headers = answer ? answer.headers() : {};
  if (headers["content-security-policy"] !== POLICY || headers["x-content-type-options"] !== "nosniff") {
    problems.push(`${name}: served without the policy (${headers["content-security-policy"]})`);
  }
  return page;
}

// A short race run to its end, then its results page: the classification,
// one line per car in both charts, each in the colour of the car's marker.
async function recordedRace() {
  const before = await (await fetch(base + "/api/sessions")).json();
  const known = new Set(before.sessions.map((s) => s.id));
  await stop(host);
  host = start(hostBin, ["--game-dir", path.join(work, "game"), "--speed", "20", "--sessions", "race", "--seed", "5",
                         "--race-laps", "2"], path.join(work, "host3.log"));
  const live = await browser.newPage({ viewport: { width: 1400, height: 800 } });
  await live.goto(base + "/");
  const session = await waitFor("the short race is recorded to its end", async () => {
    try {
      const list = await (await fetch(base + "/api/sessions")).json();
      return list.sessions.find((s) => !known.has(s.id) && s.kind === "race" && s.ended) || null;
    } catch { return null; }
  }, 120000);
  if (!session) return;
  const markers = await live.evaluate(() => Object.fromEntries([...document.querySelectorAll("#cars g.car")].map((g) =>
    [g.dataset.index, g.querySelector("circle.dot").getAttribute("fill")])));
  await live.close();
  for (const [name, viewport] of [["results.png", { width: 1280, height: 900 }], ["results-phone.png", { width: 390, height: 844 }]]) {
    const results = await openPage(name, `${base}/results?session=${session.id}`, viewport);
    await waitFor(`${name}: the charts are drawn`, async () => (await shown(results, "svg.gap-chart polyline")) > 0);
    const drawn = await results.evaluate(() => ({
      rows: document.querySelectorAll("#results-table tbody tr").length,
      lap: [...document.querySelectorAll("svg.lap-chart polyline.car-line")].map((p) => [p.closest("[data-car]").dataset.car, p.getAttribute("stroke")]),
      gap: document.querySelectorAll("svg.gap-chart polyline.car-line").length,
      provisional: !document.getElementById("provisional").hidden,
      width: document.documentElement.scrollWidth,
    }));
    check(drawn.rows === session.cars && session.cars === 20, `${name}: the classification has a row per car (${drawn.rows} of ${session.cars})`);
    check(drawn.lap.length === session.cars && drawn.gap === session.cars,
          `${name}: the lap chart and the gap chart have a line per car (${drawn.lap.length}, ${drawn.gap})`);
    check(!drawn.provisional, `${name}: a finished race is not provisional`);
    check(drawn.width <= viewport.width, `${name}: the page is no wider than the window (${drawn.width} px)`);
    const same = drawn.lap.filter(([car, stroke]) => markers[car] === stroke).length;
    check(Object.keys(markers).length === 20 && same === drawn.lap.length,
          `${name}: each car's lines have its marker's colour on the map (${same} of ${drawn.lap.length})`);
    await results.screenshot({ path: path.join(shots, name), fullPage: true });
    await results.close();
  }
}

// The driver rows of a league file: {name -> {number, cls}}, and its
// classes in order; RFC 4180 quoting, '#' lines and blank lines skipped.
function readLeague(text) {
  const rows = [];
  let row = [], field = "", quoted = false;
  for (let i = 0; i < text.length; i++) {
    const ch = text[i];
    if (quoted) {
      if (ch === '"' && text[i + 1] === '"') { field += '"'; i++; } else if (ch === '"') quoted = false; else field += ch;
    } else if (ch === '"') quoted = true;
    else if (ch === ",") { row.push(field); field = ""; }
    else if (ch === "\n" || ch === "\r") {
      if (ch === "\r" && text[i + 1] === "\n") i++;
      row.push(field); rows.push(row); row = []; field = "";
    } else field += ch;
  }
  if (field !== "" || row.length > 0) { row.push(field); rows.push(row); }
  const kept = rows.filter((r) => !(r.length === 1 && r[0].trim() === "") && !r[0].startsWith("#"));
  const head = kept[0].map((h) => h.trim().toLowerCase());
  const col = (r, name) => (head.indexOf(name) >= 0 ? (r[head.indexOf(name)] || "").trim() : "");
  const classes = [], drivers = new Map();
  for (const r of kept.slice(1)) {
    if (col(r, "kind").toLowerCase() === "class") classes.push({ name: col(r, "name"), colour: col(r, "colour").toLowerCase() });
    else drivers.set(col(r, "name").toLowerCase(), { number: col(r, "number") === "" ? null : Number(col(r, "number")), cls: col(r, "class") || null });
  }
  return { classes, drivers };
}

// A race of two classes (the test host's --classes 12:8) with the example
// league: the live page split by class, its markers, an overlay, a phone,
// and with a race history the results page by class.
async function leagueRace() {
  const league = readLeague(fs.readFileSync(leagueFile, "utf8"));
  await stop(host);
  host = start(hostBin, ["--game-dir", path.join(work, "game"), "--speed", "20", "--sessions", "race", "--seed", "7",
                         "--race-laps", "4", "--classes", "12:8"], path.join(work, "host-league.log"));
  const port = await freePort();
  const leagueBase = `http://127.0.0.1:${port}`;
  leagueWeb = start(pitwallBin, ["web", `127.0.0.1:${pluginPort}`, "--listen", `127.0.0.1:${port}`, "--league", leagueFile,
                                 ...db("league.db")], path.join(work, "league-web.log"));
  const state = async () => {
    try { return await (await fetch(leagueBase + "/api/state")).json(); } catch { return null; }
  };
  // Under way: the leader on its second lap, every car placed.
  const first = await waitFor("the two-class race is under way", async () => {
    const st = await state();
    return st && Array.isArray(st.cars) && st.cars.length === 20 && st.cars.every((c) => c.place !== null) &&
           st.cars.some((c) => c.place === 1 && c.laps >= 1) ? st : null;
  }, 60000);
  if (!first) return;
  const sameLeague = first.cars.every((c) => {
    const d = league.drivers.get(c.driver.toLowerCase());
    return d && c.number === d.number && c.class === d.cls;
  });
  check(sameLeague && first.session.classes.map((c) => c.name + c.colour).join() === league.classes.map((c) => c.name + c.colour).join(),
        "the web view's state carries the example league's numbers, classes and colours");
  const classOf = new Map(first.cars.map((c) => [String(c.index), c]));

  const page = await openPage("league split", leagueBase + "/?split=class", { width: 1280, height: 800 });
  await waitFor("the split tower fills", async () => (await shown(page, "#tower tbody tr.class-head")) === 2 &&
                                                     (await shown(page, "#cars g.car")) === 20);
  await page.waitForTimeout(1500);  // the markers glide into place
  const live = await readLive(page);
  check(live.sections.map((x) => x.head).join() === league.classes.map((c) => c.name).join(),
        `the tower is split into the league's classes in order (${live.sections.map((x) => x.head).join(", ")})`);
  for (const [i, c] of league.classes.entries()) {
    const sec = live.sections[i];
    if (!sec) continue;
    const mine = first.cars.filter((car) => car.class === c.name).length;
    check(sec.headColour === rgb(c.colour) && sec.rows.length === mine &&
          sec.rows.every((r) => classOf.get(r.index).class === c.name && r.chip === rgb(c.colour) &&
                                r.num === String(classOf.get(r.index).number)),
          `the ${c.name} section has its ${mine} cars, each with its number on the class's colour`);
    check(sec.rows.every((r, k) => r.pos === String(k + 1)) && sec.rows[0].gap === "leader" &&
          sec.rows.slice(1).every((r) => /^\+/.test(r.gap)),
          `the ${c.name} section counts from its own leader: P1 with no gap, then places 2 to ${mine} with gaps`);
  }
  const markersOk = Object.entries(live.markers).every(([i, m]) => m.fill === classOf.get(i).class_colour &&
                                                                   m.label === String(classOf.get(i).number));
  check(Object.keys(live.markers).length === 20 && markersOk, "each marker is filled in its class's colour and carries the car's number");
  check(live.legend !== null && live.legend.map((g) => g.head).join() === league.classes.map((c) => c.name).join(),
        "the map's legend is grouped by the league's classes");
  check(live.width <= 1280, `the split page is no wider than the window (${live.width} px)`);
  await page.screenshot({ path: path.join(shots, "league-split.png") });
  await page.close();
  const phone = await openPage("league phone", leagueBase + "/?split=class", { width: 390, height: 844 });
  await waitFor("the phone's split tower fills", async () => (await shown(phone, "#tower tbody tr.class-head")) === 2);
  const onPhone = await readLive(phone);
  check(onPhone.width <= 390 && onPhone.clipped === 0, `split by class on a phone fits its screen, every name whole (${onPhone.width} px)`);
  await phone.screenshot({ path: path.join(shots, "league-phone.png"), fullPage: true });
  await phone.close();
  const overlay = await openPage("league overlay", leagueBase + "/overlay?view=both&split=class&rows=6&name=short", { width: 1000, height: 700 });
  await waitFor("the split overlay draws", async () => (await shown(overlay, "#tower tbody tr.class-head")) === 2);
  const ov = await readLive(overlay);
  check(ov.sections.every((x) => x.rows.length === 6 && x.rows.every((r) => r.driver.length <= 3)),
        "the overlay with rows=6 and name=short shows six rows a class, by short name");
  await overlay.screenshot({ path: path.join(shots, "league-overlay.png"), omitBackground: true });
  await overlay.close();
  if (!history) return;

  // The race to its end, then its results page by class.
  const session = await waitFor("the two-class race is recorded to its end", async () => {
    try {
      const list = await (await fetch(leagueBase + "/api/sessions")).json();
      return list.sessions.find((x) => x.kind === "race" && x.ended) || null;
    } catch { return null; }
  }, 120000);
  if (!session) return;
  const results = await (await fetch(`${leagueBase}/api/sessions/${session.id}/results`)).json();
  check(Array.isArray(results.classes) && results.classes.map((c) => c.name).join() === league.classes.map((c) => c.name).join(),
        "the recorded results carry the league's classes");
  const res = await openPage("league results", `${leagueBase}/results?session=${session.id}`, { width: 1280, height: 900 });
  await waitFor("the results by class draw", async () => (await shown(res, ".class-box")) === league.classes.length);
  const boxes = await res.evaluate(() => [...document.querySelectorAll(".class-box")].map((b) => ({
    cls: b.dataset.class, first: b.querySelector("tbody tr").dataset.car, pos: b.querySelector("tbody td.pos").textContent,
    rows: b.querySelectorAll("tbody tr").length })));
  check(Array.isArray(results.classes) && boxes.length === results.classes.length &&
        boxes.every((b, i) => b.cls === results.classes[i].name && results.classes[i].winner &&
                              b.first === String(results.classes[i].winner.car) && b.pos === "1" && b.rows === results.classes[i].cars),
        `the results page shows each class with its own winner first (${boxes.map((b) => b.cls + ": car " + b.first).join(", ")})`);
  await res.screenshot({ path: path.join(shots, "league-results.png"), fullPage: true });
  await res.close();
}

const statusText = (page) => page.locator("#status").textContent();
const shown = (page, selector) => page.locator(selector).count();

try {
  browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  await waitFor("the web view answers", () => answers(base + "/api/status"));
  const page = await openPage("page", base + "/", { width: 1400, height: 800 });
  await page.evaluate(() => { window.__sameLoad = true; });

  // The race on the page.
  const cars = await waitFor("20 car markers on the map", async () => (await shown(page, "#cars g.car")) === 20);
  check(cars, "the map shows 20 car markers");
  check((await shown(page, "#strips path.strip")) === 2, "the map shows both outline strips");
  const drivers = await page.locator("#tower tbody tr td.driver").allTextContents();
  const places = await page.locator("#tower tbody tr td.pos").allTextContents();
  check(drivers.length === 20 && drivers.every((d) => d.length > 0 && !/^car \d+$/.test(d)),
        "the tower lists 20 drivers by name");
  check(places.join(",") === Array.from({ length: 20 }, (_, i) => String(i + 1)).join(","),
        "the tower is in place order");
  const counts = await page.locator("#tower tbody td.pit").allTextContents();
  check(counts.every((c) => /^(\d+|PIT|fin)$/.test(c)), "a bridge that saw the start counts pit stops");

  // The markers glide: sampled every animation frame, the leader's marker
  // (on track, early in the race) moves on most frames, although states
  // come ten times a second and half of them repeat the positions; a marker
  // that jumped from state to state would move on one frame in five or
  // fewer. A slow build (the sanitizers) may drop a few frames in a row,
  // so the count is of frames that moved, not of the longest still run.
  const where = () => page.evaluate(() =>
    [...document.querySelectorAll("#cars g.car")].map((g) => g.getAttribute("transform")).join("|"));
  const first = await where();
  await page.screenshot({ path: path.join(shots, "page-1.png") });
  const frames = await page.evaluate(() => new Promise((resolve) => {
    const leader = document.querySelector('#cars g.car[data-place="1"]');
    const seen = [];
    const t0 = performance.now();
    const sample = (t) => {
      seen.push(leader.getAttribute("transform"));
      if (t - t0 < 3000) requestAnimationFrame(sample);
      else resolve(seen);
    };
    requestAnimationFrame(sample);
  }));
  let moved = 0;
  for (let i = 1; i < frames.length; i++) if (frames[i] !== frames[i - 1]) moved++;
  const share = moved / Math.max(1, frames.length - 1);
  check(frames.length >= 60, `the marker was sampled on every frame (${frames.length} frames in 3 s)`);
  check(share >= 0.6, `the leader's marker glides: it moved on ${Math.round(share * 100)} % of the frames (at least 60 %)`);
  await page.screenshot({ path: path.join(shots, "page.png") });
  check(first !== (await where()), "the markers move between two screenshots");

  // The overlays: transparent, no chrome, the feed's state hidden while live.
  for (const view of ["tower", "map", "both"]) {
    const overlay = await openPage(`overlay ${view}`, `${base}/overlay?view=${view}&theme=dark&rows=10`,
                                   { width: 900, height: 700 });
    await waitFor(`overlay ${view} draws`, async () =>
      (await shown(overlay, view === "map" ? "#cars g.car" : "#tower tbody tr")) > 0);
    const backgrounds = await overlay.evaluate(() => [
      getComputedStyle(document.documentElement).backgroundColor,
      getComputedStyle(document.body).backgroundColor]);
    check(backgrounds.every((b) => b === "rgba(0, 0, 0, 0)"), `overlay ${view} has a transparent background`);
    check(!(await overlay.locator("#session-bar").isVisible()), `overlay ${view} has no page chrome`);
    check(!(await overlay.locator("#status").isVisible()), `overlay ${view} shows no status while live`);
    if (view === "tower") check((await shown(overlay, "#tower tbody tr")) === 10, "rows=10 shows ten rows");
    await overlay.screenshot({ path: path.join(shots, `overlay-${view}.png`), omitBackground: true });
    await overlay.close();
  }

  // Bad parameters fall back to their defaults (numbers into their range),
  // and the overlay shows the race all the same.
  const fallbacks = [
    ["view=tower%20map", "a view with a space is both views", async (p) =>
      (await p.locator("#tower-view").isVisible()) && (await p.locator("#map-view").isVisible()) &&
      (await shown(p, "#cars g.car")) === 20],
    ["view=tower&scale=1e308", "scale=1e308 is 4", async (p) =>
      (await p.evaluate(() => getComputedStyle(document.body).zoom)) === "4"],
    ["view=tower&scale=nonsense", "scale=nonsense is 1", async (p) =>
      (await p.evaluate(() => getComputedStyle(document.body).zoom)) === "1"],
    ["view=tower&rows=-1", "rows=-1 is every car", async (p) =>
      (await shown(p, "#tower tbody tr")) === 20 && (await p.locator("#page-note").textContent()) === ""],
    ["view=tower&rows=1e9&fixed=-3", "rows=1e9 is 64, every car of 20", async (p) =>
      (await shown(p, "#tower tbody tr")) === 20],
    ["view=tower&width=-5", "width=-5 is the window's width", async (p) =>
      p.evaluate(() => document.body.getBoundingClientRect().width === document.documentElement.clientWidth)],
    ["view=tower&width=50", "width=50 is 200 px", async (p) =>
      (await p.evaluate(() => document.body.getBoundingClientRect().width)) === 200],
    ["view=tower&theme=neon&gap=sideways&status=loud", "an unknown theme, gap and status are dark, both, small",
      async (p) => p.evaluate(() => {
        const root = document.documentElement;
        const visible = (sel) => getComputedStyle(document.querySelector(sel)).display !== "none";
        return !root.classList.contains("light") && root.classList.contains("status-small") &&
               visible("#tower td.gap") && visible("#tower td.interval");
      })],
  ];
  for (const [query, what, holds] of fallbacks) {
    const overlay = await openPage(`overlay ?${query}`, `${base}/overlay?${query}`, { width: 900, height: 700 });
    const drawn = await waitFor(`overlay ?${query} draws`, async () =>
      (await shown(overlay, "#tower tbody tr")) > 0 && /live/.test(await overlay.locator("#status").getAttribute("class")));
    check(drawn && (await holds(overlay)), `overlay ?${query}: ${what}`);
    await overlay.close();
  }

  // A phone: the page is no wider than the screen, map and tower stacked,
  // and every driver's name whole.
  const phone = await openPage("phone", base + "/", { width: 390, height: 844 });
  await waitFor("the phone's tower fills", async () => (await shown(phone, "#tower tbody tr")) === 20);
  const fit = await phone.evaluate(() => {
    const names = [...document.querySelectorAll("#tower td.driver")].map((td) => {
      const r = td.getBoundingClientRect();
      return { name: td.textContent, whole: td.scrollWidth <= td.clientWidth && r.left >= 0 && r.right <= innerWidth };
    });
    return {
      width: document.documentElement.scrollWidth,
      clipped: names.filter((n) => !n.whole).map((n) => n.name),
      names: names.length,
      stacked: document.getElementById("map").getBoundingClientRect().bottom <=
               document.getElementById("tower").getBoundingClientRect().top,
    };
  });
  check(fit.width <= 390, `on a phone the page is no wider than the screen (${fit.width} px)`);
  check(fit.names === 20 && fit.clipped.length === 0,
        `on a phone every driver's name is whole (clipped: ${fit.clipped.join(", ") || "none"})`);
  check(fit.stacked, "on a phone the map is above the tower");
  await phone.screenshot({ path: path.join(shots, "phone.png"), fullPage: true });
  await phone.close();

  // A second bridge, for one viewer only, joins mid-race: it cannot know the
  // pit stops and places gained (null), and the tower shows dashes. A second
  // viewer is told there are too many, retries, and goes live once the
  // first leaves.
  await waitFor("the leader completes a lap", async () => {
    try {
      const s = await (await fetch(base + "/api/state")).json();
      return s.cars.some((c) => c.place === 1 && c.laps >= 1);
    } catch { return false; }
  }, 40000);
  if (history) {
    // The race's events in the page's feed, the newest on top, as the
    // recorded history has them.
    const latest = await waitFor("the race history has events", async () => {
      try {
        const r = await fetch(base + "/api/sessions/latest/events");
        const body = r.ok ? await r.json() : null;
        return body && body.events.length > 0 ? body : null;
      } catch { return null; }
    });
    const newest = latest ? Math.max(...latest.events.map((e) => e.id)) : -1;
    const fed = await waitFor("the feed shows the newest event", async () => {
      const ids = await page.locator("#feed li").evaluateAll((lis) => lis.map((li) => Number(li.dataset.id)));
      return ids.length > 0 && ids[0] >= newest && ids.every((id, i) => i === 0 || id < ids[i - 1]);
    });
    check(fed, "the live page's feed shows the race's events, newest on top");
    check(await page.locator("#feed-view").isVisible(), "the feed is beside the tower");
    await page.screenshot({ path: path.join(shots, "page-feed.png") });
  }

  const onePort = await freePort();
  const oneBase = `http://127.0.0.1:${onePort}`;
  oneViewerWeb = start(pitwallBin, ["web", `127.0.0.1:${pluginPort}`, "--listen", `127.0.0.1:${onePort}`,
                                    "--max-viewers", "1", ...db("one-viewer.db")], path.join(work, "one-viewer-web.log"));
  await waitFor("the late bridge answers", () => answers(oneBase + "/api/status"));
  const viewer = await openPage("first viewer", oneBase + "/", { width: 1400, height: 800 });
  await waitFor("the first viewer's tower fills", async () =>
    (await shown(viewer, "#status.live")) === 1 && (await shown(viewer, "#tower tbody tr")) === 20);
  const unknown = await viewer.evaluate(() => [...document.querySelectorAll("#tower tbody tr")].map((tr) =>
    [tr.querySelector(".pit").textContent, tr.querySelector(".gained").textContent]));
  check(unknown.every(([pit, gained]) => /^(-|PIT|fin)$/.test(pit) && gained === "-") &&
        unknown.some(([pit]) => pit === "-"), "joined mid-race, unknown pit stops and places gained read as a dash");
  await viewer.screenshot({ path: path.join(shots, "late-join.png") });

  const turnedDown = [/status of 503/, /EventSource/];
  const second = await openPage("second viewer", oneBase + "/", { width: 1400, height: 800 }, { allowed: turnedDown });
  const told = await waitFor("the second viewer is told", async () =>
    /^Too many viewers; retrying in \d+ s\.$/.test(await statusText(second)), 10000);
  check(told, "a viewer over the limit reads \"Too many viewers; retrying in N s.\"");
  await second.screenshot({ path: path.join(shots, "too-many-viewers.png") });
  await viewer.close();
  const live = await waitFor("the second viewer goes live", async () =>
    (await shown(second, "#status.live")) === 1 && (await shown(second, "#tower tbody tr")) === 20, 20000);
  check(live, "once the first viewer leaves, the second goes live without a reload");
  await second.close();
  await stop(oneViewerWeb);

  // The plug-in goes away and comes back: the page says so, the overlays
  // show a dot (status=small, the default) or nothing (status=hide) and
  // never the plug-in's address; all recover.
  const small = await openPage("overlay small", `${base}/overlay?view=tower&status=small`, { width: 600, height: 500 });
  const hidden = await openPage("overlay hide", `${base}/overlay?view=tower&status=hide`, { width: 600, height: 500 });
  for (const o of [small, hidden]) await waitFor("an overlay draws", async () => (await shown(o, "#tower tbody tr")) > 0);
  await stop(host);
  await waitFor("the page shows the outage", () => page.locator("#status.unreachable").isVisible());
  check(await page.locator("#status.unreachable").isVisible(), "the page shows that the feed is unreachable");
  check(/unreachable/.test(await statusText(page)), "the page's banner says why");
  await page.screenshot({ path: path.join(shots, "outage.png") });
  await waitFor("the overlays see the outage", async () =>
    (await shown(small, "#status.unreachable")) === 1 && (await shown(hidden, "#status.unreachable")) === 1);
  const address = `127.0.0.1:${pluginPort}`;
  const dot = await small.evaluate(() => {
    const s = document.getElementById("status");
    const r = s.getBoundingClientRect();
    return { text: s.textContent, title: s.title, w: r.width, h: r.height, shown: getComputedStyle(s).display !== "none" };
  });
  check(dot.shown && dot.w > 0 && dot.w <= 16 && dot.h <= 16 && dot.text === "" && /unreachable/.test(dot.title),
        `status=small shows a dot with the words only in its tooltip (${dot.w}x${dot.h}, "${dot.text}")`);
  check(!(await hidden.locator("#status").isVisible()), "status=hide shows nothing");
  for (const [name, o] of [["status=small", small], ["status=hide", hidden]]) {
    const text = await o.evaluate(() => document.body.innerText);
    check(!text.includes(address) && !/unreachable|retrying/i.test(text), `${name} shows no address and no words`);
  }
  await small.screenshot({ path: path.join(shots, "overlay-outage-small.png"), omitBackground: true });
  host = start(hostBin, hostArgs, path.join(work, "host2.log"));
  await waitFor("the page recovers", async () => (await shown(page, "#status.live")) === 1, 30000);
  const before = await where();
  await page.waitForTimeout(800);
  check((await where()) !== before, "after the outage the markers move again");
  check(await page.evaluate(() => window.__sameLoad === true), "it recovered without a reload");
  await waitFor("the overlays recover", async () =>
    (await shown(small, "#status.live")) === 1 && (await shown(hidden, "#status.live")) === 1);
  check(!(await small.locator("#status").isVisible()), "status=small hides its dot once live again");

  if (history) await recordedRace();
  if (leagues) await leagueRace();

  check(problems.length === 0, "every page was served under the content security policy, broke none of it and logged no error" +
        problems.map((p) => "\n       " + p).join(""));
} catch (e) {
  check(false, "the test ran: " + (e && e.stack ? e.stack : e));
} finally {
  if (browser) await browser.close();
  await stop(host);
  await stop(oneViewerWeb);
  await stop(leagueWeb);
  await stop(web);
  fs.rmSync(work, { recursive: true, force: true });
}
if (failures.length > 0) {
  console.log(failures.length + " failure(s)");
  process.exit(1);
}
console.log("the web view passed");
