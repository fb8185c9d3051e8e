// The results page of a recorded race in headless Chromium: the
// classification's rows, and one line per car in the lap chart and in the
// gap chart. Prints "rows=N lap_lines=N gap_lines=N" and saves a screenshot.
// Usage: node results_page_check.mjs URL SCREENSHOT
import { createRequire } from "node:module";

const require = createRequire(import.meta.url);
const { chromium } = require("playwright-core");
const [url, screenshot] = process.argv.slice(2);

const browser = await chromium.launch({
  executablePath: "/usr/bin/chromium",
  args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"],
});
try {
  const page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
  const errors = [];
  page.on("pageerror", (e) => errors.push(String(e)));
  await page.goto(url);
  await page.waitForSelector("svg.gap-chart polyline", { timeout: 20000 });
  const counts = await page.evaluate(() => ({
    rows: document.querySelectorAll("#results-table tbody tr").length,
    lap: document.querySelectorAll("svg.lap-chart polyline.car-line").length,
    gap: document.querySelectorAll("svg.gap-chart polyline.car-line").length,
    first: document.querySelector("#results-table tbody tr td.driver")?.textContent ?? "",
  }));
  await page.screenshot({ path: screenshot, fullPage: true });
  if (errors.length) throw new Error("page errors: " + errors.join("; "));
  console.log(`rows=${counts.rows} lap_lines=${counts.lap} gap_lines=${counts.gap} first=${counts.first}`);
} finally {
  await browser.close();
}
