// Makes the README's pictures of the web view: the page in the middle of a
// demo race, the tower overlay, and each broadcast overlay over a dark
// stand-in for a stream (docs/overlay-<view>.png), the overlays from a
// second web view that reads the example league (numbers and classes) and
// keeps a race history (which tells the race's events).
// Usage: node scripts/web_screenshots.mjs [BUILD_DIR]   (default build, after ./build.sh or ./demo.sh)
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

const freePort = () => new Promise((resolve) => {
  const s = net.createServer();
  s.listen(0, "127.0.0.1", () => { const { port } = s.address(); s.close(() => resolve(port)); });
});
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

const build = path.resolve(root, process.argv[2] || "build");
const work = fs.mkdtempSync(path.join(os.tmpdir(), "pitwall-shots."));
fs.cpSync(path.join(root, "examples/game"), path.join(work, "game"), { recursive: true });
const pluginPort = await freePort(), webPort = await freePort(), leaguePort = await freePort();
fs.writeFileSync(path.join(work, "game/PitwallFeedPlugin.ini"), `[GENERAL]\nPort=${pluginPort}\nMaxConnections=2\n`);
const host = spawn(path.join(build, "tools/test_host/pitwall-host"),
  ["--game-dir", path.join(work, "game"), "--speed", "10", "--rate", "10", "--sessions", "race",
   "--race-laps", "5"], { stdio: "ignore", cwd: work });
const web = spawn(path.join(build, "tools/client/pitwall"),
  ["web", `127.0.0.1:${pluginPort}`, "--listen", `127.0.0.1:${webPort}`, "--no-record"], { stdio: "ignore", cwd: work });
const leagueWeb = spawn(path.join(build, "tools/client/pitwall"),
  ["web", `127.0.0.1:${pluginPort}`, "--listen", `127.0.0.1:${leaguePort}`, "--db", path.join(work, "league.db"),
   "--league", path.join(root, "examples/league.csv")], { stdio: "ignore", cwd: work });
const base = `http://127.0.0.1:${webPort}`;
const leagueBase = `http://127.0.0.1:${leaguePort}`;
const browser = await chromium.launch({
  executablePath: "/usr/bin/chromium",
  args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"],
});
const state = async (at) => {
  try { return await (await fetch(at + "/api/state")).json(); } catch { return null; }
};
async function until(what, test, ms = 180000) {
  const deadline = Date.now() + ms;
  for (;;) {
    const s = await state(leagueBase);
    if (s && s.session && test(s)) return s;
    if (Date.now() > deadline) throw new Error("no moment when " + what);
    await sleep(200);
  }
}

// The overlay at `query` in a frame over the stand-in, `width` wide and
// as high as what it draws (at most `height`; the ticker, drawn from the
// bottom, `height`), once `ready` holds in the overlay's page.
const shown = [];
async function shoot(view, query, width, height, ready = () => true) {
  const page = await browser.newPage({ viewport: { width, height } });
  const url = `${leagueBase}/overlay?${query}`;
  await page.setContent(`<body style="margin:0;background:linear-gradient(135deg,#1d2b3a,#0b0f14 60%,#2a1d12)">
    <iframe src="${url}" style="border:0;width:100%;height:100vh;display:block" allowtransparency="true"></iframe></body>`);
  const frame = await (async () => {
    for (;;) {
      const f = page.frames().find((x) => x.url().startsWith(leagueBase));
      if (f) return f;
      await sleep(100);
    }
  })();
  await frame.waitForFunction(ready, null, { timeout: 120000, polling: 200 });
  if (!query.includes("view=ticker")) {
    const drawn = await frame.evaluate(() => Math.max(...["broadcast-view", "tower-view"].map((id) =>
      document.getElementById(id).getBoundingClientRect().bottom)));
    await page.setViewportSize({ width, height: Math.min(height, Math.ceil(drawn) + 14) });
  }
  // Soon, before the race changes what `ready` found.
  await sleep(150);
  await page.screenshot({ path: path.join(root, `docs/overlay-${view}.png`) });
  await page.close();
  shown.push(`docs/overlay-${view}.png  /overlay?${query}`);
}
const boxShown = () => {
  const v = document.getElementById("broadcast-view");
  return v && !v.hidden && v.textContent.trim() !== "";
};

try {
  // Into the race: past the first pit stops.
  for (;;) {
    const s = await state(base);
    if (s && s.session && s.session.time_s >= 330) break;
    await sleep(200);
  }
  const page = await browser.newPage({ viewport: { width: 1400, height: 720 } });
  await page.goto(base + "/?follow=ada");
  await page.waitForSelector("#cars g.car");
  await page.waitForTimeout(1500);
  await page.screenshot({ path: path.join(root, "docs/web-page.png") });

  const overlay = await browser.newPage({ viewport: { width: 760, height: 330 } });
  await overlay.setContent(`<body style="margin:0;background:linear-gradient(135deg,#1d2b3a,#0b0f14 60%,#2a1d12)">
    <iframe src="${base}/overlay?view=tower&rows=10&gap=interval" style="border:0;width:100%;height:330px"
      allowtransparency="true"></iframe></body>`);
  await overlay.waitForTimeout(2500);
  await overlay.screenshot({ path: path.join(root, "docs/web-overlay-tower.png") });
  await overlay.close();

  // The broadcast overlays, each when it has something to show. The ticker
  // keeps its lines for 30 s so that a few are up at once.
  await shoot("relative", "view=relative&follow=ada", 500, 400, boxShown);
  await until("three cars are in the pit lane", (s) => s.cars.filter((c) => c.in_pits && !c.finished).length >= 3);
  await shoot("pit", "view=pit", 500, 400, () => document.querySelectorAll(".pt-row").length >= 4);
  await shoot("tower-sectors", "view=tower&rows=10&cols=pos,num,driver,int,last,s1,s2,s3,pace", 820, 400,
              () => document.querySelectorAll('#tower td[data-mark="session_best"]').length > 0 &&
                    document.querySelectorAll('#tower td[data-mark="personal_best"]').length > 2 &&
                    [...document.querySelectorAll("#tower td.last, #tower td.s3")].every((td) => td.textContent !== "--"));
  await shoot("clock", "view=clock&local=1", 460, 200, boxShown);
  await shoot("ticker", "view=ticker&hold=30", 680, 250, () => document.querySelectorAll(".tk-line").length >= 4);
  await shoot("battles", "view=battles&rows=3", 500, 460, () => document.querySelectorAll(".bx-battle").length >= 2 &&
              document.querySelectorAll(".bt-row").length <= 9);
  await until("the leader has the flag", (s) => s.session.flag === "chequered");
  await shoot("results", "view=results&rows=10", 580, 500, boxShown);
  console.log("wrote docs/web-page.png, docs/web-overlay-tower.png and\n  " + shown.join("\n  "));
} finally {
  await browser.close();
  host.kill("SIGTERM");
  web.kill("SIGTERM");
  leagueWeb.kill("SIGTERM");
  fs.rmSync(work, { recursive: true, force: true });
}
