// The page fanned out through nginx and its pub/sub module, in headless
// Chromium (Debian's, driven by playwright-core).
//
// The test host runs the plug-in, `pitwall web --publish` bridges it and
// publishes every update to nginx started by scripts/fanout.sh from
// docs/nginx-fanout.conf, and the page and an overlay are opened through
// nginx under /race1/. The bridge's own stream (its /api/events, read here
// in node) is the reference: the tower through nginx must list the 20
// drivers in the order of the state the bridge had at that update (or one
// next to it), and follow the race as it goes on.
//
//   single   the configuration alone, with messages published here: event
//            names, a newcomer's first events, the newest state at once,
//            channel info, the token, what is proxied to the bridge; then
//            the live page and the tower overlay through nginx.
//   redis    two nginx nodes sharing one Redis: the bridge publishes to
//            the first, the page on the second shows the race; Redis is
//            stopped and started again and the page gets the race back.
//   outage   nginx is stopped during the race: the bridge's own state goes
//            on, its log says publishing failed; nginx is started again on
//            the same port, the log says it publishes again and the page
//            through nginx shows the race again.
//
// Usage: node fanout_e2e.mjs single|redis|outage PITWALL_HOST PITWALL EXAMPLES_DIR SCREENSHOT_DIR
import { spawn, spawnSync } from "node:child_process";
import { createRequire } from "node:module";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { failures, check, sleep, waitFor, freePort, freePorts, start, stop } from "./harness.mjs";

const require = createRequire(import.meta.url);
const { chromium } = require("playwright-core");

const [mode, hostBin, pitwallBin, examples, shots] = process.argv.slice(2);
if (!["single", "redis", "outage"].includes(mode) || !shots) {
  console.log("usage: node fanout_e2e.mjs single|redis|outage PITWALL_HOST PITWALL EXAMPLES_DIR SCREENSHOT_DIR");
  process.exit(2);
}
const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
const fanoutScript = path.join(root, "scripts", "fanout.sh");
fs.mkdirSync(shots, { recursive: true });


function listening(port) {
  return new Promise((resolve) => {
    const socket = net.connect(port, "127.0.0.1");
    socket.once("connect", () => { socket.destroy(); resolve(true); });
    socket.once("error", () => resolve(false));
  });
}
async function getJson(url) {
  try {
    const r = await fetch(url, { signal: AbortSignal.timeout(5000) });
    return r.ok ? await r.json() : null;
  } catch { return null; }
}

// scripts/fanout.sh with `args`: resolves once it says "ready" with what it
// printed (dir, redis, each node's pid, publish and view URL), or with
// {failed} and its messages when it ends first.
function startFanout(args, log) {
  const child = spawn(fanoutScript, args, { stdio: ["ignore", "pipe", "pipe"] });
  const out = fs.createWriteStream(log);
  let text = "";
  const info = { child, nodes: [], redis: null, dir: null };
  return new Promise((resolve) => {
    const line = (l) => {
      let m;
      if ((m = /^dir: (.+)$/.exec(l))) info.dir = m[1];
      else if ((m = /^redis: 127\.0\.0\.1:(\d+) pid (\d+)$/.exec(l))) info.redis = { port: Number(m[1]), pid: Number(m[2]) };
      else if ((m = /^nginx: (\d+) pid (\d+)$/.exec(l))) info.nodes.push({ pid: Number(m[2]) });
      else if ((m = /^publish: (\S+)$/.exec(l))) info.nodes[info.nodes.length - 1].publish = m[1];
      else if ((m = /^view: (\S+)$/.exec(l))) info.nodes[info.nodes.length - 1].view = m[1];
      else if (l === "ready") resolve(info);
    };
    let pending = "";
    child.stdout.on("data", (d) => {
      out.write(d);
      pending += d;
      const lines = pending.split("\n");
      pending = lines.pop();
      lines.forEach(line);
    });
    child.stderr.on("data", (d) => { out.write(d); text += d; });
    child.once("exit", (code) => resolve({ ...info, failed: `fanout.sh ended (${code}): ${text.trim()}` }));
  });
}

// A server-sent event stream read in node: every event as {event, data, id},
// in order, into `events`; `close()` ends it.
function readStream(url, headers = {}) {
  const control = new AbortController();
  const events = [];
  const stream = { events, status: null, closed: false, close: () => control.abort() };
  stream.done = (async () => {
    try {
      const answer = await fetch(url, { headers: { Accept: "text/event-stream", ...headers }, signal: control.signal });
      stream.status = answer.status;
      const reader = answer.body.getReader();
      const decoder = new TextDecoder();
      let buffer = "";
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        buffer += decoder.decode(value, { stream: true });
        let end;
        while ((end = buffer.indexOf("\n\n")) >= 0) {
          const block = buffer.slice(0, end);
          buffer = buffer.slice(end + 2);
          const e = { event: "message", data: [], id: null };
          for (const l of block.split("\n")) {
            if (l.startsWith("event: ")) e.event = l.slice(7);
            else if (l.startsWith("data: ")) e.data.push(l.slice(6));
            else if (l.startsWith("id: ")) e.id = l.slice(4);
          }
          if (e.data.length > 0) events.push({ ...e, data: e.data.join("\n") });
        }
      }
    } catch { /* aborted or cut off */ }
    stream.closed = true;
  })();
  return stream;
}

// Every whole state the bridge streams, by its update count.
function recordBridge(base) {
  const states = new Map();
  const stream = readStream(base + "/api/events");
  let seen = 0;
  const timer = setInterval(() => {
    for (; seen < stream.events.length; seen++) {
      const e = stream.events[seen];
      if (e.event !== "state") continue;
      try {
        const s = JSON.parse(e.data);
        if (Number.isInteger(s.updates)) states.set(s.updates, s);
      } catch { /* not checked here */ }
    }
  }, 50);
  return { states, stop: () => { clearInterval(timer); stream.close(); return stream.done; } };
}

let browser;
const problems = [];
const POLICY = "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; " +
               "base-uri 'none'; form-action 'none'";
// A page that reports its console errors; `allowed`: errors it may log
// (a stream cut while nginx is down).
async function openPage(name, url, { viewport = { width: 1400, height: 800 }, allowed = [] } = {}) {
  const page = await browser.newPage({ viewport });
  page.on("console", (m) => {
    const feedless = /\/api\/sessions\/latest\/events$/.test(m.location().url || "") && /status of (404|503)/.test(m.text());
    if (m.type() === "error" && !feedless && !allowed.some((re) => re.test(m.text()))) problems.push(`${name}: ${m.text().slice(0, 200)}`);
  });
  page.on("pageerror", (e) => problems.push(`${name}: ${e.message.slice(0, 200)}`));
  const answer = await page.goto(url);
  check(answer && answer.status() === 200 && answer.headers()["content-security-policy"] === POLICY,
        `${name}: ${url} is served (200) with the page's content security policy`);
  return page;
}

// The tower as the page shows it: the update count of the state drawn and
// each row's car index and driver name.
const readTower = () => ({
  updates: document.documentElement.dataset.updates,
  rows: [...document.querySelectorAll("#tower tbody tr")].filter((tr) => tr.dataset.index !== undefined)
    .map((tr) => ({ index: Number(tr.dataset.index), driver: (tr.querySelector("td.driver") || {}).textContent })),
});
// Whether the tower shows the state the bridge had at the page's update
// count, or at one next to it: the same 20 cars in the same order, by name.
function towerMatches(tower, states) {
  if (!tower || tower.rows.length !== 20 || tower.updates === undefined || tower.updates === "") return null;
  const u = Number(tower.updates);
  for (const k of [u, u - 1, u + 1]) {
    const s = states.get(k);
    if (!s) continue;
    const order = s.cars.map((c) => c.index).join(",");
    const names = s.cars.map((c) => c.driver).join(",");
    if (tower.rows.map((r) => r.index).join(",") === order && tower.rows.map((r) => r.driver).join(",") === names) {
      return { updates: u, state: s };
    }
  }
  return null;
}
// The page shows the race through nginx: a tower that matches the bridge,
// and a few seconds later a newer state that matches too, with the session
// clock and the cars' lap distances moved on.
async function showsRace(page, bridge, name, { within = 20000, follow = 3000 } = {}) {
  let first = null;
  await waitFor(`${name}: the tower shows the bridge's race`, async () => {
    first = towerMatches(await page.evaluate(readTower), bridge.states);
    return first;
  }, within);
  if (!first) {
    const t = await page.evaluate(readTower);
    check(false, `${name}: the tower lists the 20 drivers in the bridge's order (page at update ${t.updates}, ${t.rows.length} rows)`);
    return false;
  }
  check(true, `${name}: the tower lists the 20 drivers in the order of the bridge's state ${first.updates}`);
  await sleep(follow);
  let later = null;
  await waitFor(`${name}: the tower follows the race`, async () => {
    later = towerMatches(await page.evaluate(readTower), bridge.states);
    return later && later.updates >= first.updates + 10 ? later : null;
  }, 10000);
  const moved = later && later.state.session && first.state.session &&
                later.state.session.time_s !== first.state.session.time_s &&
                later.state.cars.some((c) => {
                  const before = first.state.cars.find((b) => b.index === c.index);
                  return before && before.lap_distance_m !== c.lap_distance_m;
                });
  check(Boolean(later) && moved,
        `${name}: a few seconds on, the page shows a newer state (update ${later ? later.updates : "?"} after ${first.updates}) ` +
        "with the session clock and the cars moved on, in the bridge's order again");
  return Boolean(later && moved);
}

// ---- The configuration alone ----

async function post(url, event, body, token) {
  const headers = { "Content-Type": "application/json", "X-EventSource-Event": event };
  if (token) headers.Authorization = "Bearer " + token;
  const r = await fetch(url, { method: "POST", headers, body: JSON.stringify(body) });
  await r.text();
  return r.status;
}
// fanout.sh's own failures: a port in use, bad use. Each must end at once
// with its exit status and say what is wrong.
async function scriptCases(work) {
  const run = (args) => new Promise((resolve) => {
    const child = spawn(fanoutScript, args, { stdio: ["ignore", "pipe", "pipe"] });
    let text = "";
    child.stdout.on("data", (d) => { text += d; });
    child.stderr.on("data", (d) => { text += d; });
    const timer = setTimeout(() => child.kill("SIGTERM"), 15000);  // our own child, by its process id
    child.once("exit", (code) => { clearTimeout(timer); resolve([code, text.trim()]); });
  });
  const taken = net.createServer();
  const port = await new Promise((resolve) => taken.listen(0, "127.0.0.1", () => resolve(taken.address().port)));
  const before = fs.readdirSync(os.tmpdir()).filter((n) => n.startsWith("pitwall-fanout.")).length;
  const [code, text] = await run(["--port", String(port)]);
  taken.close();
  check(code === 1 && text === `fanout.sh: port ${port} on 127.0.0.1 is taken: give another with --port`,
        `fanout.sh on a port in use ends with 1 and says so (${code}: ${text})`);
  const cases = [[["--nodes", "2"], /needs --redis/], [["--prefix", "race1"], /--prefix must be/], [["--port", "70000"], /--port must be/],
                 [["--bridge", "nowhere"], /--bridge must be HOST:PORT/], [["--token", "a b"], /--token may hold/], [["--bogus"], /unknown option --bogus/]];
  for (const [args, said] of cases) {
    const [c, t] = await run(args);
    check(c === 2 && said.test(t), `fanout.sh ${args.join(" ")}: bad use, exit status 2 and ${said} (${c}: ${t})`);
  }
  const after = fs.readdirSync(os.tmpdir()).filter((n) => n.startsWith("pitwall-fanout.")).length;
  check(after <= before, "a fanout.sh that fails leaves no folder behind");
}

async function configCases(work, bridgeBase, bridgeListen) {
  await scriptCases(work);
  const port = await freePort();
  const token = "t0ken-" + process.pid;
  const fan = await startFanout(["--prefix", "/probe/", "--port", String(port), "--bridge", bridgeListen, "--token", token],
                                path.join(work, "fanout-probe.log"));
  check(!fan.failed && fan.nodes.length === 1 && fan.nodes[0].publish === `http://127.0.0.1:${port}/probe/pub` &&
        fan.nodes[0].view === `http://127.0.0.1:${port}/probe/`,
        "fanout.sh prints the publish and view URLs of its node under the prefix" + (fan.failed ? ": " + fan.failed : ""));
  if (fan.failed) return;
  const pub = fan.nodes[0].publish, view = fan.nodes[0].view;
  try {
    const info = (channel, withToken = true) => fetch(`${pub}/${channel}`, { headers: withToken ? { Authorization: "Bearer " + token } : {} })
      .then(async (r) => { await r.text(); return r.status; });
    check(await info("track") === 404, "before anything is published, the publisher's GET of a channel answers 404");
    check(await post(`${pub}/status`, "status", { status: "x" }) === 403 && await info("track", false) === 403 &&
          await post(`${pub}/status`, "status", { status: "x" }, "wrong") === 403,
          "without the token, or with another, publishing and channel info are refused (403)");
    const status = { status: "connected", message: "", id: 1, delay_s: 0, kept_s: 0 };
    const track = { strips: [[[0, 0], [10, 0]]] };
    const states = [{ received_unix_s: 100.25, updates: 1 }, { received_unix_s: 100.5, updates: 2 }];
    const codes = [await post(`${pub}/status`, "status", { status: "connecting", message: "", id: 0 }, token),
                   await post(`${pub}/status`, "status", status, token),
                   await post(`${pub}/track`, "track", track, token)];
    // nchan orders a newcomer's buffered messages by when they were
    // published, to the second: the status and track come first when they
    // are older than the changes, as they are on a running race.
    await sleep(1100);
    codes.push(await post(`${pub}/state`, "state", states[0], token),
               await post(`${pub}/change`, "state", states[0], token),
               await post(`${pub}/change`, "change", { id: 2, base: 100.25, set: { received_unix_s: 100.5, updates: 2 }, cars: {} }, token),
               await post(`${pub}/state`, "state", states[1], token),
               await post(`${pub}/race`, "race", { id: 7, session_id: 1, kind: "start" }, token));
    check(codes.every((c) => c === 201 || c === 202), `publishing with the token is taken (${codes.join(" ")})`);
    check(await info("track") === 200, "once published, the channel's info answers 200");

    // A newcomer: the newest status (the buffer holds one) and the track
    // first, then the buffered changes and the race event.
    const newcomer = readStream(view + "api/events");
    await waitFor("the newcomer's stream brings what is buffered", async () => newcomer.events.length >= 5, 5000);
    await sleep(300);
    const ev = newcomer.events;
    // (Within the same second nchan keeps each channel's order, not the
    // order between channels.)
    const firstTwo = ev.slice(0, 2).sort((a, b) => a.event.localeCompare(b.event));
    check(newcomer.status === 200 && ev.length === 5 && firstTwo.length === 2 && firstTwo[0].event === "status" &&
          firstTwo[0].data === JSON.stringify(status) && firstTwo[1].event === "track" && firstTwo[1].data === JSON.stringify(track),
          `a newcomer first gets the newest status and the track (${ev.map((e) => e.event).join(", ")})`);
    const rest = ev.slice(2);
    const changes = ev.filter((e) => e.event === "state" || e.event === "change");
    check(changes.length === 2 && changes[0].event === "state" && JSON.parse(changes[0].data).updates === 1 &&
          changes[1].event === "change" && JSON.parse(changes[1].data).id === 2 &&
          rest.some((e) => e.event === "race" && JSON.parse(e.data).id === 7),
          "then the buffered changes, in order and with their own event names (a whole state as \"state\"), and the race event");
    // A change published now reaches the open stream as it is.
    const live = { id: 3, base: 100.5, set: { received_unix_s: 100.75, updates: 3 }, cars: { "4": { lap_distance_m: 12.5 } } };
    await post(`${pub}/change`, "change", live, token);
    await waitFor("the live change arrives", async () => newcomer.events.length >= 6, 5000);
    check(newcomer.events.length === 6 && newcomer.events[5].event === "change" && newcomer.events[5].data === JSON.stringify(live),
          "a change published while a viewer listens reaches it at once, byte for byte, as event: change");
    newcomer.close();
    await newcomer.done;
    // The change buffer holds the last 32: a newcomer after 40 more gets
    // those, and a viewer that comes back with the id of the last event it
    // had (Last-Event-ID, as EventSource does) only what came after it.
    for (let id = 10; id < 50; id++) await post(`${pub}/change`, "change", { id, base: id - 1, set: {}, cars: {} }, token);
    const late = readStream(view + "api/events");
    await waitFor("the late newcomer's stream", async () => late.events.length >= 34, 5000);
    await sleep(300);
    late.close();
    await late.done;
    const lateIds = late.events.filter((e) => e.event === "change").map((e) => JSON.parse(e.data).id);
    check(lateIds.length === 32 && lateIds[0] === 18 && lateIds[31] === 49 && lateIds.every((id, i) => i === 0 || id === lateIds[i - 1] + 1),
          `a newcomer gets the last 32 changes in order (${lateIds.length}: ${lateIds[0]} to ${lateIds[lateIds.length - 1]})`);
    const mark = late.events.find((e) => e.event === "change" && JSON.parse(e.data).id === 45);
    const back = readStream(view + "api/events", { "Last-Event-ID": mark ? mark.id : "" });
    await waitFor("the returning viewer's stream", async () => back.events.length >= 4, 5000);
    await sleep(300);
    back.close();
    await back.done;
    check(back.events.map((e) => e.event === "change" ? JSON.parse(e.data).id : e.event).join(",") === "46,47,48,49",
          `a viewer that comes back gets only the changes it missed (${back.events.map((e) => e.event === "change" ? JSON.parse(e.data).id : e.event).join(",")})`);

    // The newest whole state, status and track at once: nothing more is
    // published, so one that waited for the next would not answer.
    const t0 = Date.now();
    const got = await Promise.all(["state", "status", "track"].map((c) => fetch(view + "api/" + c, { signal: AbortSignal.timeout(10000) })
      .then(async (r) => [r.status, r.headers.get("content-type"), await r.text()]).catch(() => [0, "", ""])));
    const took = Date.now() - t0;
    check(got[0][0] === 200 && got[0][2] === JSON.stringify(states[1]) && got[1][2] === JSON.stringify(status) &&
          got[2][2] === JSON.stringify(track) && got.every((g) => /^application\/json/.test(g[1])),
          `api/state, api/status and api/track answer the newest of each at once as JSON (${took} ms)`);

    // What nginx does not hold comes from the bridge.
    const direct = await fetch(bridgeBase + "/api/events?delay=nonsense").then(async (r) => [r.status, await r.text()]);
    const proxied = await fetch(view + "api/events?delay=nonsense").then(async (r) => [r.status, await r.text()]);
    check(direct[0] === 400 && proxied[0] === 400 && proxied[1] === direct[1],
          "a ?delay= stream goes to the bridge (its own 400 for a bad delay, word for word)");
    const delayed = await fetch(view + "api/status?delay=0.5").then(async (r) => [r.status, await r.text()]).catch(() => [0, ""]);
    check(delayed[0] === 200 && /"delay_s":0\.5/.test(delayed[1]), "api/status?delay=0.5 through nginx is the bridge's delayed status");
    const sessionsDirect = await fetch(bridgeBase + "/api/sessions").then(async (r) => [r.status, await r.text()]);
    const sessions = await fetch(view + "api/sessions").then(async (r) => [r.status, await r.text()]);
    check(sessions[0] === sessionsDirect[0] && sessions[1] === sessionsDirect[1], `api/sessions through nginx is the bridge's answer (${sessions[0]})`);
    const pages = await Promise.all(["", "overlay", "results", "static/app.js", "static/nothing.js"].map((p) =>
      fetch(view + p).then(async (r) => [r.status, r.headers.get("content-type"), await r.text()])));
    const www = path.join(root, "tools", "web", "www");
    check(pages[0][0] === 200 && /^text\/html/.test(pages[0][1]) && pages[0][2] === fs.readFileSync(path.join(www, "index.html"), "utf8") &&
          pages[1][2] === pages[0][2] && pages[2][2] === fs.readFileSync(path.join(www, "results.html"), "utf8") &&
          pages[3][0] === 200 && /^text\/javascript/.test(pages[3][1]) && pages[4][0] === 404,
          "the prefix serves index.html, overlay the same, results results.html, static/ the page's files (404 for others)");
  } finally {
    await stop(fan.child);
  }
  check(!(await listening(port)) && !fs.existsSync(fan.dir), "stopped with SIGTERM, fanout.sh stops nginx and removes its folder");
}

// ---- A real race ----

async function race(work, fanArgs) {
  fs.cpSync(path.join(examples, "game"), path.join(work, "game"), { recursive: true });
  const pluginPort = await freePort(), webPort = await freePort();
  const nodes = fanArgs.includes("--nodes") ? Number(fanArgs[fanArgs.indexOf("--nodes") + 1]) : 1;
  const nginxPort = await freePorts(nodes);
  fs.writeFileSync(path.join(work, "game", "PitwallFeedPlugin.ini"), `[GENERAL]\nPort=${pluginPort}\n`);
  const bridgeBase = `http://127.0.0.1:${webPort}`;
  const publishUrl = `http://127.0.0.1:${nginxPort}/race1/pub`;
  const host = start(hostBin, ["--game-dir", path.join(work, "game"), "--speed", "10", "--sessions", "race", "--seed", "5"],
                     path.join(work, "host.log"));
  const webLog = path.join(work, "web.log");
  const web = start(pitwallBin, ["web", `127.0.0.1:${pluginPort}`, "--listen", `127.0.0.1:${webPort}`,
                                 "--db", path.join(work, "pitwall.db"), ...(publishes ? ["--publish", publishUrl] : [])], webLog);
  const fanArgsAll = [...fanArgs, "--prefix", "/race1/", "--port", String(nginxPort), "--bridge", `127.0.0.1:${webPort}`];
  return { host, web, webLog, bridgeBase, publishUrl, nginxPort, fanArgsAll, log: () => fs.readFileSync(webLog, "utf8") };
}

async function singleCases(work) {
  const r = await race(work, []);
  let fan = null, bridge = null;
  try {
    await waitFor("the web view answers", async () => (await getJson(r.bridgeBase + "/api/status")) !== null, 20000);
    await configCases(work, r.bridgeBase, `127.0.0.1:${new URL(r.bridgeBase).port}`);
    if (!publishes) return;
    bridge = recordBridge(r.bridgeBase);
    fan = await startFanout(r.fanArgsAll, path.join(work, "fanout.log"));
    check(!fan.failed && fan.nodes[0].publish === r.publishUrl, "fanout.sh is up, with the publish URL the bridge was given" + (fan.failed ? ": " + fan.failed : ""));
    if (fan.failed) return;
    // What nginx streams: a change per publication, in order (a publication
    // missing only where a whole state took its place), with the status and
    // the track at hand.
    const through = readStream(fan.nodes[0].view + "api/events");
    const began = Date.now();
    await waitFor("nginx streams 15 changes", () => through.events.filter((e) => e.event === "change").length >= 15, 20000);
    const seconds = ((Date.now() - began) / 1000).toFixed(1);
    through.close();
    await through.done;
    const ids = through.events.filter((e) => e.event === "change").map((e) => JSON.parse(e.data).id);
    const wholes = through.events.filter((e) => e.event === "state").length;
    check(ids.length >= 15 && ids.every((id, i) => i === 0 || id > ids[i - 1]) && ids[ids.length - 1] - ids[0] + 1 - ids.length <= wholes &&
          through.events.some((e) => e.event === "status") && through.events.some((e) => e.event === "track"),
          `nginx streams the bridge's changes one publication after another (${ids.length} in ${seconds} s, ${wholes} whole), with its status and track`);
    const page = await openPage("page", fan.nodes[0].view);
    await showsRace(page, bridge, "the page through nginx");
    check((await page.locator("#cars g.car").count()) === 20 && (await page.locator("#strips path.strip").count()) > 0,
          "the map through nginx shows the track and 20 markers");
    await page.screenshot({ path: path.join(shots, "fanout-page.png") });
    const overlay = await openPage("tower overlay", fan.nodes[0].view + "overlay?view=tower");
    await showsRace(overlay, bridge, "the tower overlay through nginx", { follow: 1500 });
    await overlay.screenshot({ path: path.join(shots, "fanout-overlay-tower.png"), omitBackground: true });
    // The bridge's own page goes on as before, beside nginx.
    const own = await openPage("the bridge's own page", r.bridgeBase + "/");
    await showsRace(own, bridge, "the bridge's own page", { follow: 1500 });
    // Both say the same about the connection (nothing, while all is well).
    const said = (p) => p.evaluate(() => {
      const s = document.getElementById("status");
      return (s.hidden || getComputedStyle(s).display === "none" ? "hidden: " : "shown: ") + s.textContent;
    });
    const [there, here] = [await said(page), await said(own)];
    check(there === here, `the page through nginx says what the bridge's own page says of the connection (${JSON.stringify(there)})`);
  } finally {
    for (const page of browser.contexts().flatMap((c) => c.pages())) await page.close();
    if (bridge) await bridge.stop();
    if (fan) await stop(fan.child);
    await stop(r.web);
    await stop(r.host);
  }
}

// The publisher's lines in the bridge's log, about `url`: "failed" when it
// started failing, "again" when it publishes again; null for another line.
function publishing(log, url) {
  const at = url.replace(/[.*+?^${}()|[\]\\]/g, "\\$&");
  const failed = new RegExp(`publishing to ${at} failed: .+; retrying$`);
  const again = new RegExp(`publishing to ${at} again \\(dropped \\d+ updates?\\)$`);
  return log.split("\n").map((l) => (failed.test(l) ? "failed" : again.test(l) ? "again" : null)).filter((k) => k !== null);
}
// Whether the log's publisher lines, after the first `from` of them, say
// `kind` last: a new failure, or publishing again after one.
const publishSays = (log, url, from, kind) => {
  const lines = publishing(log, url);
  return lines.length > from && lines[lines.length - 1] === kind;
};

// The bridge's own state goes on: its update count grows over 2 s.
async function bridgeGoesOn(r, what) {
  const a = await getJson(r.bridgeBase + "/api/state");
  await sleep(2000);
  const b = await getJson(r.bridgeBase + "/api/state");
  check(a && b && b.updates >= a.updates + 10, `${what}, the bridge's own /api/state goes on (update ${a && a.updates} to ${b && b.updates} in 2 s)`);
}

async function outageCases(work) {
  const r = await race(work, []);
  let fan = null, bridge = null;
  try {
    await waitFor("the web view answers", async () => (await getJson(r.bridgeBase + "/api/status")) !== null, 20000);
    bridge = recordBridge(r.bridgeBase);
    fan = await startFanout(r.fanArgsAll, path.join(work, "fanout-1.log"));
    check(!fan.failed, "fanout.sh is up" + (fan.failed ? ": " + fan.failed : ""));
    if (fan.failed) return;
    const view = fan.nodes[0].view;
    const allowed = [/Failed to load resource/, /net::ERR_/, /EventSource/];
    const page = await openPage("page", view, { allowed });
    await showsRace(page, bridge, "before the outage, the page through nginx", { follow: 1000 });
    let said = publishing(r.log(), r.publishUrl);
    check(said.length === 0 || said[said.length - 1] === "again",
          `while nginx is up, the bridge publishes: its log says no failure, or publishing again after one (${said.join(", ") || "nothing"})`);

    await stop(fan.child);
    check(!(await listening(r.nginxPort)), "nginx is stopped");
    await bridgeGoesOn(r, "while nginx is down");
    await waitFor("the bridge's log says publishing failed", async () => publishSays(r.log(), r.publishUrl, said.length, "failed"), 6000);
    check(publishSays(r.log(), r.publishUrl, said.length, "failed"), "the bridge's log says publishing to nginx failed and it retries");
    said = publishing(r.log(), r.publishUrl);
    const stale = Number((await page.evaluate(readTower)).updates);
    await sleep(2000);

    fan = await startFanout(r.fanArgsAll, path.join(work, "fanout-2.log"));
    check(!fan.failed, "fanout.sh is up again on the same port" + (fan.failed ? ": " + fan.failed : ""));
    if (fan.failed) return;
    await waitFor("the bridge's log says it publishes again", async () => publishSays(r.log(), r.publishUrl, said.length, "again"), 10000);
    check(publishSays(r.log(), r.publishUrl, said.length, "again"), "the bridge's log says it publishes to nginx again, with how many updates it dropped");
    await showsRace(page, bridge, "after the outage, the page that stayed open", { within: 20000, follow: 1000 });
    check(Number((await page.evaluate(readTower)).updates) > stale + 20, "that page is past the state it held while nginx was down");
    const fresh = await openPage("new page", view);
    await showsRace(fresh, bridge, "after the outage, a page opened anew", { follow: 1000 });
  } finally {
    for (const page of browser.contexts().flatMap((c) => c.pages())) await page.close();
    if (bridge) await bridge.stop();
    if (fan) await stop(fan.child);
    await stop(r.web);
    await stop(r.host);
  }
}

async function redisCases(work) {
  const r = await race(work, ["--redis", "--nodes", "2"]);
  let fan = null, bridge = null, redis = null;
  try {
    await waitFor("the web view answers", async () => (await getJson(r.bridgeBase + "/api/status")) !== null, 20000);
    bridge = recordBridge(r.bridgeBase);
    fan = await startFanout(r.fanArgsAll, path.join(work, "fanout.log"));
    check(!fan.failed && fan.nodes.length === 2 && fan.redis && fan.nodes[0].publish === r.publishUrl &&
          fan.nodes[1].view === `http://127.0.0.1:${r.nginxPort + 1}/race1/`,
          "fanout.sh is up with Redis and two nodes on consecutive ports" + (fan.failed ? ": " + fan.failed : ""));
    if (fan.failed) return;
    const allowed = [/Failed to load resource/, /net::ERR_/, /EventSource/];
    // The bridge publishes to node 1 only; the viewer is on node 2.
    const page = await openPage("page on node 2", fan.nodes[1].view, { allowed });
    await showsRace(page, bridge, "on node 2, the page", { follow: 1500 });
    await page.screenshot({ path: path.join(shots, "fanout-node2.png") });

    // Redis goes away and comes back empty on the same port.
    let said = publishing(r.log(), r.publishUrl);
    check(said.length === 0 || said[said.length - 1] === "again",
          `with Redis up, the bridge publishes: its log says no failure, or publishing again after one (${said.join(", ") || "nothing"})`);
    process.kill(fan.redis.pid, "SIGTERM");  // the redis-server fanout.sh started, by the id it printed
    await waitFor("redis-server is stopped", async () => !(await listening(fan.redis.port)), 5000);
    await bridgeGoesOn(r, "while Redis is down");
    await waitFor("the bridge's log says publishing failed", async () => publishSays(r.log(), r.publishUrl, said.length, "failed"), 8000);
    check(publishSays(r.log(), r.publishUrl, said.length, "failed"), "the bridge's log says publishing failed while Redis is down");
    said = publishing(r.log(), r.publishUrl);
    const stale = Number((await page.evaluate(readTower)).updates);
    const redisDir = path.join(work, "redis");
    fs.mkdirSync(redisDir);
    redis = start("redis-server", ["--port", String(fan.redis.port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
                                   "--dir", redisDir], path.join(work, "redis.log"));
    await waitFor("redis-server answers again", () => listening(fan.redis.port), 5000);
    await waitFor("the bridge's log says it publishes again", async () => publishSays(r.log(), r.publishUrl, said.length, "again"), 20000);
    check(publishSays(r.log(), r.publishUrl, said.length, "again"), "the bridge's log says it publishes again once Redis is back");
    await showsRace(page, bridge, "after Redis came back, the page on node 2", { within: 20000, follow: 1000 });
    check(Number((await page.evaluate(readTower)).updates) > stale + 20, "that page is past the state it held while Redis was down");
    const other = await openPage("page on node 1", fan.nodes[0].view);
    await showsRace(other, bridge, "after Redis came back, a new page on node 1", { follow: 1000 });
  } finally {
    for (const page of browser.contexts().flatMap((c) => c.pages())) await page.close();
    if (bridge) await bridge.stop();
    if (fan) await stop(fan.child);
    await stop(redis);
    await stop(r.web);
    await stop(r.host);
  }
}

const webHelp = spawnSync(pitwallBin, ["web", "--help"], { encoding: "utf8" });
const publishes = /--publish\b/.test((webHelp.stdout || "") + (webHelp.stderr || ""));
const work = fs.mkdtempSync(path.join(os.tmpdir(), "pitwall-fanout-test."));
try {
  check(publishes, "pitwall web takes --publish URL" + (publishes ? "" : " (only the configuration is checked)"));
  const missing = ["nginx", "redis-server"].filter((p) => spawnSync("sh", ["-c", `command -v ${p} || test -x /usr/sbin/${p}`]).status !== 0);
  check(missing.length === 0, "nginx and redis-server are installed" + (missing.length ? ` (missing: ${missing.join(", ")}; run scripts/install-deps.sh)` : ""));
  if (missing.length === 0 && (publishes || mode === "single")) {
    browser = await chromium.launch({
      executablePath: "/usr/bin/chromium",
      args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync"],
    });
    if (mode === "single") await singleCases(work);
    if (mode === "outage") await outageCases(work);
    if (mode === "redis") await redisCases(work);
    check(problems.length === 0, "no page logged an error or broke its policy" + problems.map((p) => "\n       " + p).join(""));
  }
} catch (e) {
  check(false, "the test ran: " + (e && e.stack ? e.stack : e));
} finally {
  if (browser) await browser.close();
  if (failures.length > 0) console.log("the logs are in " + work);
  else fs.rmSync(work, { recursive: true, force: true });
}
if (failures.length > 0) {
  console.log(failures.length + " failure(s)");
  process.exit(1);
}
console.log(`the fan-out (${mode}) passed`);
