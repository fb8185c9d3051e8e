// The web view end to end: the test host runs the plug-in with a race on
// the sample track, `pitwall web` bridges it, and headless Chromium (Debian's,
// driven by playwright-core) checks the page and its overlays, then an
// outage of the plug-in and the page's recovery without a reload.
//
// Usage: node web_e2e.mjs PITWALL_HOST PITWALL EXAMPLES_DIR SCREENSHOT_DIR
import { spawn } from "node:child_process";
import { createRequire } from "node:module";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";

const require = createRequire(import.meta.url);
const { chromium } = require("playwright-core");

const [hostBin, pitwallBin, examples, shots] = process.argv.slice(2);
const failures = [];
function check(ok, what) {
  if (!ok) failures.push(what);
  console.log((ok ? "ok   " : "FAIL ") + what);
}

function freePort() {
  return new Promise((resolve) => {
    const s = net.createServer();
    s.listen(0, "127.0.0.1", () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

function start(bin, args, log) {
  const child = spawn(bin, args, { stdio: ["ignore", "pipe", "pipe"] });
  const out = fs.createWriteStream(log);
  child.stdout.pipe(out);
  child.stderr.pipe(out);
  return child;
}

function stop(child) {
  return new Promise((resolve) => {
    if (child.exitCode !== null) return resolve();
    child.once("exit", () => resolve());
    child.kill("SIGTERM");  // our own child, by its process id
  });
}

async function waitFor(what, fn, ms = 20000) {
  const deadline = Date.now() + ms;
  for (;;) {
    const value = await fn();
    if (value) return value;
    if (Date.now() > deadline) {
      check(false, what + " (timed out)");
      return value;
    }
    await new Promise((r) => setTimeout(r, 100));
  }
}

const work = fs.mkdtempSync(path.join(os.tmpdir(), "pitwall-web."));
fs.cpSync(path.join(examples, "game"), path.join(work, "game"), { recursive: true });
const pluginPort = await freePort();
const webPort = await freePort();
fs.writeFileSync(path.join(work, "game", "PitwallFeedPlugin.ini"), `[GENERAL]\nPort=${pluginPort}\n`);
fs.mkdirSync(shots, { recursive: true });

const hostArgs = ["--game-dir", path.join(work, "game"), "--speed", "10", "--rate", "10",
                  "--sessions", "race", "--seed", "3"];
let host = start(hostBin, hostArgs, path.join(work, "host.log"));
const web = start(pitwallBin, ["web", `127.0.0.1:${pluginPort}`, "--listen", `127.0.0.1:${webPort}`],
                  path.join(work, "web.log"));
const base = `http://127.0.0.1:${webPort}`;
let browser;
try {
  browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  const page = await browser.newPage({ viewport: { width: 1400, height: 800 } });
  await waitFor("the web view answers", async () => {
    try { return (await fetch(base + "/api/status")).ok; } catch { return false; }
  });
  await page.goto(base + "/");
  await page.evaluate(() => { window.__sameLoad = true; });

  const cars = await waitFor("20 car markers on the map",
    async () => (await page.locator("#cars g.car").count()) === 20);
  check(cars, "the map shows 20 car markers");
  check((await page.locator("#strips path.strip").count()) === 2, "the map shows both outline strips");
  const drivers = await page.locator("#tower tbody tr td.driver").allTextContents();
  const places = await page.locator("#tower tbody tr td.pos").allTextContents();
  check(drivers.length === 20 && drivers.every((d) => d.length > 0 && !/^car \d+$/.test(d)),
        "the tower lists 20 drivers by name");
  check(places.join(",") === Array.from({ length: 20 }, (_, i) => String(i + 1)).join(","),
        "the tower is in place order");

  const where = () => page.evaluate(() =>
    [...document.querySelectorAll("#cars g.car")].map((g) => g.getAttribute("transform")).join("|"));
  const first = await where();
  await page.screenshot({ path: path.join(shots, "page-1.png") });
  await page.waitForTimeout(1000);
  const second = await where();
  await page.screenshot({ path: path.join(shots, "page.png") });
  check(first !== second, "the markers move between two screenshots");

  for (const view of ["tower", "map", "both"]) {
    const overlay = await browser.newPage({ viewport: { width: 900, height: 700 } });
    await overlay.goto(`${base}/overlay?view=${view}&theme=dark&rows=10`);
    await waitFor(`overlay ${view} draws`, async () =>
      (await overlay.locator(view === "map" ? "#cars g.car" : "#tower tbody tr").count()) > 0);
    const backgrounds = await overlay.evaluate(() => [
      getComputedStyle(document.documentElement).backgroundColor,
      getComputedStyle(document.body).backgroundColor]);
    check(backgrounds.every((b) => b === "rgba(0, 0, 0, 0)"), `overlay ${view} has a transparent background`);
    const chrome = await overlay.locator("#session-bar").isVisible();
    check(!chrome, `overlay ${view} has no page chrome`);
    if (view === "tower") {
      const rows = await overlay.locator("#tower tbody tr").count();
      check(rows === 10, "rows=10 shows ten rows");
    }
    await overlay.screenshot({ path: path.join(shots, `overlay-${view}.png`), omitBackground: true });
    await overlay.close();
  }

  // The plug-in goes away and comes back: the page says so, then recovers.
  await stop(host);
  await waitFor("the page shows the outage", async () =>
    (await page.locator("#status.unreachable").isVisible()));
  check(await page.locator("#status.unreachable").isVisible(), "the page shows that the feed is unreachable");
  await page.screenshot({ path: path.join(shots, "outage.png") });
  host = start(hostBin, hostArgs, path.join(work, "host2.log"));
  await waitFor("the page recovers", async () => (await page.locator("#status.live").count()) === 1, 30000);
  const before = await where();
  await page.waitForTimeout(800);
  check((await where()) !== before, "after the outage the markers move again");
  check(await page.evaluate(() => window.__sameLoad === true), "it recovered without a reload");
} catch (e) {
  check(false, "the test ran: " + (e && e.stack ? e.stack : e));
} finally {
  if (browser) await browser.close();
  await stop(host);
  await stop(web);
  fs.rmSync(work, { recursive: true, force: true });
}
if (failures.length > 0) {
  console.log(failures.length + " failure(s)");
  process.exit(1);
}
console.log("the web view passed");
