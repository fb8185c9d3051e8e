// The overlays' cost in the browser: every overlay (and the live page) open
// at once in one headless Chromium, a page each, against a 20-car race of
// two classes with the example league, fed at the plug-in's full pace (a
// live answer every 100 ms, test host --rate 10) at four times real speed
// so that passes and pit stops come often; `pitwall web` keeps a race
// history, which tells the race's events. Over the measured span each
// page's main-thread busy share is read from Chromium's own counters
// (CDP Performance.getMetrics: TaskDuration, the wall time of its tasks,
// and of that ScriptDuration and the Layout and RecalcStyle durations;
// ThreadTime, the main thread's CPU time; deltas over wall time) and
// printed as a table. The target is under 20 % busy for each. On a machine
// with fewer cores than pages, task time counts the time a task waited
// for a core; the CPU time does not.
//
// With `alone`, each page is then measured by itself too, which on a
// machine with few cores shows what a page costs without the others.
//
// Usage: node bench/overlay_load.mjs [SECONDS, default 30] [BUILD_DIR, default build] [VIEW,...|all] [alone]
//        (after ./build.sh; VIEW: names of the table's first column, to measure only those)
import { spawn } from "node:child_process";
import { createRequire } from "node:module";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "..");
const require = createRequire(path.join(root, "tests/web/package.json"));
const { chromium } = require("playwright-core");

const seconds = Number(process.argv[2] || 30);
const build = path.resolve(root, process.argv[3] || "build");
const only = process.argv[4] && process.argv[4] !== "all" ? process.argv[4].split(",") : null;
const alone = process.argv[5] === "alone";
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const freePort = () => new Promise((resolve) => {
  const s = net.createServer();
  s.listen(0, "127.0.0.1", () => { const { port } = s.address(); s.close(() => resolve(port)); });
});

// What is measured: each overlay as a stream would use it, and the page.
const VIEWS = [
  ["page", "/"],
  ["tower", "/overlay?view=tower&rows=10"],
  ["tower sectors", "/overlay?view=tower&cols=pos,num,driver,int,last,s1,s2,s3,pace,trend"],
  ["map", "/overlay?view=map"],
  ["both", "/overlay?view=both&rows=10"],
  ["events", "/overlay?view=events&rows=8"],
  ["relative", "/overlay?view=relative&follow=ada"],
  ["battles", "/overlay?view=battles"],
  ["ticker", "/overlay?view=ticker"],
  ["pit", "/overlay?view=pit"],
  ["clock", "/overlay?view=clock&local=1"],
  ["results", "/overlay?view=results"],
];

const work = fs.mkdtempSync(path.join(os.tmpdir(), "pitwall-overlay-load."));
fs.cpSync(path.join(root, "examples/game"), path.join(work, "game"), { recursive: true });
const pluginPort = await freePort(), webPort = await freePort();
fs.writeFileSync(path.join(work, "game/PitwallFeedPlugin.ini"), `[GENERAL]\nPort=${pluginPort}\n`);
const host = spawn(path.join(build, "tools/test_host/pitwall-host"),
  ["--game-dir", path.join(work, "game"), "--cars", "20", "--classes", "12:8", "--rate", "10", "--speed", "4",
   "--sessions", "race", "--race-laps", "100"], { stdio: "ignore", cwd: work });
const web = spawn(path.join(build, "tools/client/pitwall"),
  ["web", `127.0.0.1:${pluginPort}`, "--listen", `127.0.0.1:${webPort}`, "--db", path.join(work, "load.db"),
   "--league", path.join(root, "examples/league.csv")], { stdio: "ignore", cwd: work });
const base = `http://127.0.0.1:${webPort}`;
const browser = await chromium.launch({
  executablePath: "/usr/bin/chromium",
  args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--disable-background-timer-throttling",
         "--disable-renderer-backgrounding", "--disable-backgrounding-occluded-windows"],
});
const metric = (list, name) => (list.find((m) => m.name === name) || { value: 0 }).value;

// Opens `views` at once, measures them for `seconds` and prints a row
// each (under a table head if `head`); closes them and returns the
// busiest page's task share.
async function measure(views, head = true) {
  const pages = [];
  for (const [name, url] of views) {
    const page = await browser.newPage({ viewport: url === "/" ? { width: 1400, height: 800 } : { width: 900, height: 700 } });
    await page.goto(base + url);
    const cdp = await page.context().newCDPSession(page);
    await cdp.send("Performance.enable", { timeDomain: "timeTicks" });
    pages.push({ name, url, page, cdp });
  }
  await sleep(3000);  // past loading: the stream and the first drawing
  const sample = () => Promise.all(pages.map(async (p) => (await p.cdp.send("Performance.getMetrics")).metrics));
  const shownUpdates = () => Promise.all(pages.map((p) => p.page.evaluate(() => Number(document.documentElement.dataset.updates || 0))));
  const before = await sample();
  const updates0 = await shownUpdates();
  const t0 = performance.now();
  await sleep(seconds * 1000);
  const after = await sample();
  const wall = (performance.now() - t0) / 1000;
  const updates1 = await shownUpdates();
  if (head || !headed) {
    console.log("| view | address | busy | script | layout + style | CPU | states taken | JS heap (MiB) |");
    console.log("|---|---|---|---|---|---|---|---|");
    headed = !head;
  }
  let worst = 0;
  pages.forEach((p, i) => {
    const d = (name) => metric(after[i], name) - metric(before[i], name);
    const busy = d("TaskDuration") / wall;
    worst = Math.max(worst, busy);
    const pct = (x) => (x * 100).toFixed(1) + " %";
    console.log(`| ${p.name} | \`${p.url}\` | ${pct(busy)} | ${pct(d("ScriptDuration") / wall)} | ` +
                `${pct((d("LayoutDuration") + d("RecalcStyleDuration")) / wall)} | ${pct(d("ThreadTime") / wall)} | ` +
                `${updates1[i] - updates0[i]} | ${(metric(after[i], "JSHeapUsedSize") / 1048576).toFixed(1)} |`);
  });
  for (const p of pages) await p.page.close();
  return worst;
}
let headed = false;  // the table of pages alone has its head
try {
  for (let i = 0; ; i++) {
    try {
      const s = await (await fetch(base + "/api/state")).json();
      if (s.session && s.cars.length === 20 && s.session.lap >= 1) break;
    } catch { /* not yet */ }
    if (i > 300) throw new Error("the race did not start");
    await sleep(100);
  }
  const chosen = VIEWS.filter(([n]) => only === null || only.includes(n));
  console.log(`Measured on: ${os.cpus().length} cores, ${os.cpus()[0].model}, load average ${os.loadavg()[0].toFixed(1)}, ` +
              `${new Date().toISOString().slice(0, 10)}; 20 cars, a state every 100 ms`);
  console.log();
  console.log(`All ${chosen.length} pages at once, ${seconds} s:`);
  const together = await measure(chosen);
  console.log();
  if (alone) {
    console.log(`Each page alone, ${seconds} s each:`);
    for (const view of chosen) await measure([view], false);
    console.log();
  }
  console.log(`busiest page, all at once: ${(together * 100).toFixed(1)} % of its main thread in tasks (target: under 20 %)`);
} finally {
  await browser.close();
  host.kill("SIGTERM");
  web.kill("SIGTERM");
  fs.rmSync(work, { recursive: true, force: true });
}
