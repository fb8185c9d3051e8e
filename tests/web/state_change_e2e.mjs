// The change form end to end: the test host runs the plug-in with a race,
// `pitwall web` bridges it, and node reads two streams at once, one with
// changes (api/events?changes=1) and one of whole states (api/events). The
// changes, applied in node from the first whole state on, must give at
// every publication id both streams carry exactly the whole state the
// other stream sent for it. A third viewer drops one change on purpose and
// must come back through api/state to the same states. Then the page,
// served under a sub-path by a small proxy (/race1/ -> the web view's /),
// must load every file of its own from under that path and draw the race
// from the changes, as the live page, as an overlay and as the results.
//
// Usage: node state_change_e2e.mjs PITWALL_HOST PITWALL EXAMPLES_DIR SCREENSHOT_DIR
import { spawn } from "node:child_process";
import { createRequire } from "node:module";
import fs from "node:fs";
import http from "node:http";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { failures, check, sleep, waitFor, freePort, start, stop } from "./harness.mjs";

const require = createRequire(import.meta.url);
const { applyStateChange, resumeFrom } = require("../../tools/web/www/state_change.js");

const [hostBin, pitwallBin, examples, shots] = process.argv.slice(2);





async function getJson(url) {
  try {
    const r = await fetch(url, { cache: "no-store" });
    return r.ok ? await r.json() : null;
  } catch {
    return null;
  }
}

// Reads a server-sent event stream until `signal` aborts it, calling
// onEvent({ event, id, data }) for each event with data.
async function readStream(url, signal, onEvent) {
  const answer = await fetch(url, { signal, headers: { Accept: "text/event-stream" } });
  if (answer.status !== 200) throw new Error(`${url} answers ${answer.status}`);
  const decoder = new TextDecoder();
  let text = "";
  let event = "message", id = null, data = [];
  try {
    for await (const chunk of answer.body) {
      text += decoder.decode(chunk, { stream: true });
      let end;
      while ((end = text.indexOf("\n")) >= 0) {
        const line = text.slice(0, end).replace(/\r$/, "");
        text = text.slice(end + 1);
        if (line === "") {
          if (data.length > 0) onEvent({ event, id, data: data.join("\n") });
          event = "message";
          id = null;
          data = [];
          continue;
        }
        const colon = line.indexOf(":");
        const field = colon < 0 ? line : line.slice(0, colon);
        const value = colon < 0 ? "" : line.slice(colon + 1).replace(/^ /, "");
        if (field === "event") event = value;
        else if (field === "id") id = value;
        else if (field === "data") data.push(value);
      }
    }
  } catch (e) {
    if (!signal.aborted) throw e;
  }
}

// A viewer of changes as the page is one: it applies each change to the
// state it holds; one it cannot apply it keeps (up to 64) and asks
// api/state, at most once a second and one question at a time, then goes
// on with the kept changes that follow on. `states`: publication id ->
// the state held after it. `drop`: the number of the change it leaves out.
class ChangeViewer {
  constructor(base, drop = 0) {
    this.base = base;
    this.drop = drop;
    this.state = null;
    this.states = new Map();
    this.byChange = new Set();  // ids whose state came by a change
    this.kept = [];
    this.changes = 0;
    this.wholes = 0;
    this.asked = 0;
    this.asking = false;
    this.askedAt = -Infinity;
    this.timer = null;
    this.problems = [];
    this.droppedId = 0;
  }
  take({ event, id, data }) {
    if (event !== "state" && event !== "change") return;
    const value = JSON.parse(data);
    if (event === "state") {
      this.wholes++;
      this.takeWhole(value);
      if (id !== null) this.states.set(Number(id), this.state);
      return;
    }
    this.changes++;
    if (id !== null && Number(id) !== value.id) this.problems.push(`a change's event id ${id} is not its id ${value.id}`);
    if (this.changes === this.drop) {
      this.droppedId = value.id;
      return;
    }
    const next = this.state ? applyStateChange(this.state, value) : null;
    if (next === null) {
      this.kept.push(value);
      if (this.kept.length > 64) this.kept.shift();
      this.ask();
      return;
    }
    this.state = next;
    this.states.set(value.id, next);
    this.byChange.add(value.id);
  }
  takeWhole(whole) {
    const r = resumeFrom(whole, this.kept);
    // The ids of the kept changes that were applied.
    const applied = this.kept.slice(0, this.kept.length - r.waiting.length).filter((c) => c.base >= whole.received_unix_s);
    let held = whole;
    for (const c of applied) {
      held = applyStateChange(held, c);
      this.states.set(c.id, held);
      this.byChange.add(c.id);
    }
    this.kept = r.waiting;
    this.state = r.state;
    if (this.kept.length > 0) this.ask();
  }
  ask() {
    if (this.kept.length === 0 || this.asking || this.timer !== null) return;
    const wait = this.askedAt + 1000 - Date.now();
    if (wait > 0) {
      this.timer = setTimeout(() => { this.timer = null; this.ask(); }, wait);
      return;
    }
    this.asking = true;
    this.askedAt = Date.now();
    this.asked++;
    getJson(this.base + "/api/state").then((whole) => {
      this.asking = false;
      if (this.kept.length === 0) return;
      if (whole !== null && !(this.state && this.state.received_unix_s > whole.received_unix_s)) this.takeWhole(whole);
      else this.ask();
    });
  }
  close() {
    if (this.timer !== null) clearTimeout(this.timer);
  }
}

// The first difference between two values, as a path, or null.
function firstDifference(a, b, where = "") {
  if (Object.is(a, b)) return null;
  if (a === null || b === null || typeof a !== "object" || typeof b !== "object" || Array.isArray(a) !== Array.isArray(b)) {
    return `${where || "."}: ${JSON.stringify(a)} vs ${JSON.stringify(b)}`;
  }
  const keys = new Set([...Object.keys(a), ...Object.keys(b)]);
  for (const k of keys) {
    if (!Object.hasOwn(a, k) || !Object.hasOwn(b, k)) return `${where}.${k}: only in ${Object.hasOwn(a, k) ? "the applied" : "the whole"} state`;
    const d = firstDifference(a[k], b[k], `${where}.${k}`);
    if (d) return d;
  }
  return null;
}

// The states of `viewer` at the ids the whole stream has too: how many
// came by a change, and the first that differs.
function compare(viewer, wholes, fromId = 0) {
  let compared = 0, byChange = 0;
  for (const [id, applied] of viewer.states) {
    if (id <= fromId || !wholes.has(id)) continue;
    compared++;
    if (viewer.byChange.has(id)) byChange++;
    const d = firstDifference(applied, wholes.get(id));
    if (d) return { compared, byChange, bad: `id ${id}: ${d}` };
  }
  return { compared, byChange, bad: null };
}

const work = fs.mkdtempSync(path.join(os.tmpdir(), "pitwall-change."));
fs.cpSync(path.join(examples, "game"), path.join(work, "game"), { recursive: true });
const pluginPort = await freePort();
const webPort = await freePort();
fs.writeFileSync(path.join(work, "game", "PitwallFeedPlugin.ini"), `[GENERAL]\nPort=${pluginPort}\nMaxConnections=1\n`);
fs.mkdirSync(shots, { recursive: true });
const host = start(hostBin, ["--game-dir", path.join(work, "game"), "--speed", "8", "--sessions", "race", "--seed", "5"],
                   path.join(work, "host.log"));
const web = start(pitwallBin, ["web", `127.0.0.1:${pluginPort}`, "--listen", `127.0.0.1:${webPort}`, "--no-record"],
                  path.join(work, "web.log"));
const base = `http://127.0.0.1:${webPort}`;
const control = new AbortController();
let proxy = null;
let browser = null;

async function streams() {
  await waitFor("the web view holds a state", async () => {
    const s = await getJson(base + "/api/state");
    return s !== null && Array.isArray(s.cars) && s.cars.length > 0;
  }, 30000);
  const viewer = new ChangeViewer(base);
  const dropper = new ChangeViewer(base, 20);
  const wholes = new Map();
  let plainKinds = new Set();
  const reads = [
    readStream(base + "/api/events?changes=1", control.signal, (e) => viewer.take(e)),
    readStream(base + "/api/events?changes=1", control.signal, (e) => dropper.take(e)),
    readStream(base + "/api/events", control.signal, (e) => {
      plainKinds.add(e.event);
      if (e.event === "state" && e.id !== null) wholes.set(Number(e.id), JSON.parse(e.data));
    }),
  ].map((p) => p.catch((e) => check(false, "a stream reads to its end: " + e.message)));
  // Until both viewers have 80 states in common with the whole stream,
  // the dropper's after its drop, or 60 s.
  const deadline = Date.now() + 60000;
  while (Date.now() < deadline) {
    await sleep(250);
    const a = compare(viewer, wholes);
    const b = dropper.droppedId > 0 ? compare(dropper, wholes, dropper.droppedId) : { compared: 0 };
    if (a.bad || (a.compared >= 80 && b.compared >= 80)) break;
  }
  const dropped = dropper.droppedId;
  control.abort();
  await Promise.all(reads);
  viewer.close();
  dropper.close();

  check(viewer.problems.length === 0 && dropper.problems.length === 0, `each change's event id is its id (${[...viewer.problems, ...dropper.problems][0] || "all"})`);
  check(!plainKinds.has("change"), "the stream without changes=1 sends no changes");
  check(viewer.wholes >= 1 && viewer.changes >= 50, `the change stream begins with a whole state, then changes (${viewer.wholes} whole, ${viewer.changes} changes)`);
  const a = compare(viewer, wholes);
  check(a.bad === null, `every applied state equals the whole one at its id (${a.bad || a.compared + " compared"})`);
  check(a.compared >= 50 && a.byChange >= 50, `at least 50 ids compared, 50 of them by a change (${a.compared}, ${a.byChange} by a change)`);
  check(viewer.asked === 0, `a viewer that misses nothing never asks api/state (${viewer.asked})`);

  check(dropped > 0, `the dropping viewer left out its change ${dropper.drop} (id ${dropped})`);
  const b = compare(dropper, wholes, dropped);
  check(dropper.asked >= 1 && dropper.asked <= 3, `the change after the dropped one sends it to api/state, once or a few times (${dropper.asked})`);
  check(dropped > 0 && b.bad === null, `after it came back, every state equals the whole one at its id (${b.bad || b.compared + " compared"})`);
  check(b.compared >= 50 && b.byChange >= 50, `it went on by changes: ${b.compared} ids compared, ${b.byChange} by a change`);
  const next = [...dropper.states.keys()].filter((id) => id > dropped).sort((x, y) => x - y)[0];
  check(dropped > 0 && !dropper.states.has(dropped) && next > dropped + 1, `it holds no state for the ids it could not follow (the next after ${dropped}: ${next})`);
}

// A proxy that serves the web view under /race1/, as a fan-out in front
// would; every path it is asked for is noted. On a delayed stream it
// leaves out the stream's DROPPED_CHANGE-th change, once.
const DROPPED_CHANGE = 15;
function startProxy(port) {
  const asked = [];
  const events = { change: 0, state: 0, dropped: 0 };  // as the streams through it carried them
  const server = http.createServer((req, res) => {
    asked.push(req.url);
    if (!req.url.startsWith("/race1/")) {
      res.writeHead(404, { "Content-Type": "text/plain" });
      return res.end("not under /race1/\n");
    }
    const up = http.request({ host: "127.0.0.1", port, path: req.url.slice(6), method: req.method, headers: req.headers }, (answer) => {
      res.writeHead(answer.statusCode, answer.headers);
      if (!req.url.startsWith("/race1/api/events")) return answer.pipe(res);
      const dropping = /[?&]delay=/.test(req.url) && events.dropped === 0;
      let text = "", changes = 0;
      answer.on("data", (chunk) => {
        text += String(chunk);
        let end;
        while ((end = text.indexOf("\n\n")) >= 0) {
          const event = text.slice(0, end + 2);
          text = text.slice(end + 2);
          const kind = /^event: (change|state)$/m.exec(event);
          if (kind) events[kind[1]]++;
          if (kind && kind[1] === "change" && dropping && ++changes === DROPPED_CHANGE) {
            events.dropped++;
            continue;
          }
          res.write(event);
        }
      });
      answer.on("end", () => res.end(text));
    });
    up.on("error", () => { res.writeHead(502); res.end(); });
    req.pipe(up);
    res.on("close", () => up.destroy());  // the viewer went: so does its question
  });
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve({ server, asked, events, base: `http://127.0.0.1:${server.address().port}` })));
}

async function subPath() {
  const { chromium } = require("playwright-core");
  proxy = await startProxy(webPort);
  browser = await chromium.launch({ executablePath: "/usr/bin/chromium", args: ["--no-sandbox"] });
  const problems = [];
  const open = async (name, url) => {
    const page = await browser.newPage({ viewport: { width: 1400, height: 800 } });
    page.on("console", (m) => { if (m.type() === "error") problems.push(`${name}: ${m.text().slice(0, 200)}`); });
    page.on("pageerror", (e) => problems.push(`${name}: ${e.message.slice(0, 200)}`));
    page.on("response", (r) => { if (r.status() >= 400) problems.push(`${name}: ${r.url()} answers ${r.status()}`); });
    await page.goto(url);
    return page;
  };
  const live = await open("live", proxy.base + "/race1/");
  const rows = await waitFor("the page under /race1/ draws the tower", async () => (await live.locator("#tower tbody tr").count()) > 0, 20000);
  const u1 = Number(await live.evaluate(() => document.documentElement.dataset.updates));
  const changes = proxy.events.change;
  await sleep(2000);
  const u2 = Number(await live.evaluate(() => document.documentElement.dataset.updates));
  const now = await getJson(base + "/api/state");
  check(rows && u2 > u1 && proxy.events.change > changes && now !== null && Math.abs(now.updates - u2) <= 5,
        `under /race1/ the page follows the race by changes (updates ${u1}, then ${u2}, the web view's ${now && now.updates}; ` +
        `${proxy.events.change - changes} changes meanwhile)`);
  const css = await live.evaluate(() => getComputedStyle(document.getElementById("session-bar")).display);
  check(css === "flex", `its style sheet is read from under /race1/ (the bar's display: ${css})`);
  await live.screenshot({ path: path.join(shots, "sub-path-live.png") });
  const link = await live.evaluate(() => document.getElementById("results-link").href);
  check(link === proxy.base + "/race1/results", `the results link stays under /race1/ (${link})`);
  check(!proxy.asked.some((u) => u.startsWith("/race1/api/state")), "a page that misses no change never asks api/state");
  await live.close();

  // A delayed page that misses a change asks for the delayed whole state
  // and goes on from it.
  const delayed = await open("delayed", proxy.base + "/race1/?delay=2");
  await waitFor("the proxy leaves out a change of the delayed stream", () => proxy.events.dropped === 1, 20000);
  const asked = await waitFor("the delayed page asks api/state", () => proxy.asked.find((u) => u.startsWith("/race1/api/state")), 5000);
  check(asked === "/race1/api/state?delay=2", `the delayed page asks the delayed whole state (${asked})`);
  const d1 = Number(await delayed.evaluate(() => document.documentElement.dataset.updates));
  const c1 = proxy.events.change;
  await sleep(2000);
  const d2 = Number(await delayed.evaluate(() => document.documentElement.dataset.updates));
  const then = await getJson(base + "/api/state?delay=2");
  const asks = proxy.asked.filter((u) => u.startsWith("/race1/api/state")).length;
  check(d2 > d1 && proxy.events.change > c1 && then !== null && Math.abs(then.updates - d2) <= 5 && asks <= 2,
        `it goes on by changes (updates ${d1}, then ${d2}, the web view's 2 s before ${then && then.updates}; asked ${asks} times)`);
  await delayed.close();

  const ov = await open("overlay", proxy.base + "/race1/overlay?view=tower");
  const shown = await waitFor("the overlay under /race1/ draws", async () => (await ov.locator("#tower tbody tr").count()) > 0, 20000);
  const overlayClass = await ov.evaluate(() => document.documentElement.className);
  check(shown && overlayClass.split(" ").includes("overlay"), `/race1/overlay is an overlay (${overlayClass})`);
  await ov.screenshot({ path: path.join(shots, "sub-path-overlay.png") });
  await ov.close();
  const results = await open("results", proxy.base + "/race1/results");
  await waitFor("the results page under /race1/ answers", async () => (await results.locator("#results-note").textContent()) !== "Loading the results…", 10000);
  const back = await results.evaluate(() => document.getElementById("live-link").href);
  check(back === proxy.base + "/race1/", `the results page links back to /race1/ (${back})`);
  await results.close();
  // Without a race history the results page is told 503 by the API; that is all.
  const stray = proxy.asked.filter((u) => !u.startsWith("/race1/"));
  check(stray.length === 0, `nothing was asked for outside /race1/ (${stray.slice(0, 3).join(", ") || "none"})`);
  const real = problems.filter((p) => !/\/race1\/api\/sessions\b[^ ]* answers (404|503)|status of (404|503)/.test(p));
  check(real.length === 0, `no page error and no other failed request (${real.slice(0, 3).join("; ") || "none"})`);
  for (const f of ["static/app.js", "static/state_change.js", "static/style.css", "static/results.js", "api/events?changes=1", "api/sessions"]) {
    check(proxy.asked.some((u) => u.startsWith("/race1/" + f)), `the pages asked for /race1/${f}`);
  }
}

try {
  await streams();
  await subPath();
} catch (e) {
  check(false, "the test ran to its end: " + (e && e.stack ? e.stack : e));
} finally {
  control.abort();
  if (browser) await browser.close();
  if (proxy) {
    proxy.server.closeAllConnections();
    await new Promise((r) => proxy.server.close(() => r()));
  }
  await stop(web);
  await stop(host);
}
if (failures.length > 0) {
  console.log(`${failures.length} failed: ${failures.join("; ")}`);
  console.log("logs in " + work);
  process.exit(1);
}
fs.rmSync(work, { recursive: true, force: true });
console.log("all passed");
