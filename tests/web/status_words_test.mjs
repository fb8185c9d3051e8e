// The status words the page knows (tools/web/www/status.js) against those
// the C++ side sends: the bridge's kStatus... constants in
// tools/client/live_feed.h and the web view's in tools/web/web_server.h.
// A word changed, added or dropped on one side only fails here.
//
// Usage: node status_words_test.mjs
import assert from "node:assert/strict";
import { finish, test } from "./harness.mjs";
import fs from "node:fs";
import { fileURLToPath } from "node:url";
import { STATUS } from "../../tools/web/www/status.js";

// Each `inline constexpr char kStatusName[] = "word";` of a header's text,
// as [name, word] in the order they come; a constant in a // comment is
// none.
function statusConstants(text) {
  const found = [];
  for (const line of text.split("\n")) {
    const code = line.replace(/\/\/.*$/, "");
    const m = /^\s*inline\s+constexpr\s+char\s+kStatus([A-Za-z0-9]+)\s*\[\s*\]\s*=\s*"([^"\\]*)"\s*;\s*$/.exec(code);
    if (m) found.push([m[1], m[2]]);
  }
  return found;
}
const header = (rel) => fs.readFileSync(fileURLToPath(new URL("../../" + rel, import.meta.url)), "utf8");

test("the reader takes each constant's name and word, and nothing in a comment or of another kind", () => {
  const text = [
    'inline constexpr char kStatusLive[] = "live";',
    '  inline constexpr char kStatusFullUp [ ] = "full up" ;',
    '// inline constexpr char kStatusOld[] = "old";',
    'constexpr char kStatusPlain[] = "plain";',
    'inline constexpr char kModeLive[] = "live";',
    'inline constexpr std::string_view kStatusView = "view";',
    'inline constexpr char kStatusDone[] = "done";  // the end',
  ].join("\n");
  assert.deepEqual(statusConstants(text), [["Live", "live"], ["FullUp", "full up"], ["Done", "done"]]);
});

const feed = statusConstants(header("tools/client/live_feed.h"));
const web = statusConstants(header("tools/web/web_server.h"));

// Which constants each header has, so that a header whose constants the
// reader no longer finds fails here rather than comparing nothing.
test("the bridge's header has kStatusConnecting, kStatusLive, kStatusUnreachable and kStatusFull", () => {
  assert.deepEqual(feed.map(([name]) => name), ["Connecting", "Live", "Unreachable", "Full"]);
});

test("the web view's header has kStatusGathering", () => {
  assert.deepEqual(web.map(([name]) => name), ["Gathering"]);
});

test("the page's STATUS holds exactly the headers' words, each under its constant's name", () => {
  const fromHeaders = Object.fromEntries([...feed, ...web].map(([name, word]) => [name[0].toLowerCase() + name.slice(1), word]));
  assert.deepEqual({ ...STATUS }, fromHeaders);
  assert.equal(new Set(Object.values(STATUS)).size, Object.values(STATUS).length, "no word twice");
});

test("STATUS cannot be changed by the page", () => {
  assert.ok(Object.isFrozen(STATUS));
  assert.throws(() => { STATUS.live = "up"; }, TypeError);  // modules are strict
  assert.equal(STATUS.live, "live");
});

finish();
