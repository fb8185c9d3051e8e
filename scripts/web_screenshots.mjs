// Makes the README's pictures of the web view: the page in the middle of a
// demo race, and the tower overlay over a dark stand-in for a stream.
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

const build = path.resolve(root, process.argv[2] || "build");
const work = fs.mkdtempSync(path.join(os.tmpdir(), "pitwall-shots."));
fs.cpSync(path.join(root, "examples/game"), path.join(work, "game"), { recursive: true });
const pluginPort = await freePort(), webPort = await freePort();
fs.writeFileSync(path.join(work, "game/PitwallFeedPlugin.ini"), `[GENERAL]\nPort=${pluginPort}\n`);
const host = spawn(path.join(build, "tools/test_host/pitwall-host"),
  ["--game-dir", path.join(work, "game"), "--speed", "10", "--rate", "10", "--sessions", "race",
   "--race-laps", "5"], { stdio: "ignore" });
const web = spawn(path.join(build, "tools/client/pitwall"),
  ["web", `127.0.0.1:${pluginPort}`, "--listen", `127.0.0.1:${webPort}`], { stdio: "ignore" });
const base = `http://127.0.0.1:${webPort}`;
const browser = await chromium.launch({
  executablePath: "/usr/bin/chromium",
  args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"],
});
try {
  // Into the race: past the first pit stops.
  for (;;) {
    try {
      const state = await (await fetch(base + "/api/state")).json();
      if (state.session && state.session.time_s >= 330) break;
    } catch { /* not yet */ }
    await new Promise((r) => setTimeout(r, 200));
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
  console.log("wrote docs/web-page.png and docs/web-overlay-tower.png");
} finally {
  await browser.close();
  host.kill("SIGTERM");
  web.kill("SIGTERM");
  fs.rmSync(work, { recursive: true, force: true });
}
