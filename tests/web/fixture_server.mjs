// A stand-in for the web view's race history, for the page's browser test
// and for working on the pages without a race: serves tools/web/www as
// `pitwall web` does (/, /overlay, /results, /static/...), under the same
// content security policy, the recorded sessions of fixtures/race_fixture.mjs
// on /api/sessions..., and on /api/events a stream that says "live", sends
// the track and one timing state (fixtures/track.json and state.json, as
// `pitwall web` served them for the sample race; or state_classes.json, the
// same race with a league of two classes; or any other a test adds to
// STATES) and then the `race` events given to push() and the states given
// to pushState(). A stream asked for ?delay=S says so in its status
// (delay_s, with kept_s as `kept` sets it, default 300) and while it holds
// less than S seconds sends only the status, as the web view does.
//
// As a script: node fixture_server.mjs [PORT], then open http://127.0.0.1:PORT/results
import http from "node:http";
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { fixtureSessions } from "./fixtures/race_fixture.mjs";

const here = path.dirname(fileURLToPath(import.meta.url));
export const WWW = path.join(here, "..", "..", "tools", "web", "www");
export const POLICY = "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; " +
                      "connect-src 'self'; base-uri 'none'; form-action 'none'";
const TYPES = { ".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
                ".css": "text/css; charset=utf-8", ".svg": "image/svg+xml" };

// history: "recorded" (the fixture sessions), "none" (no session yet: 404)
// or "unavailable" (no database: 503); timing: "plain" (state.json) or
// "classes" (state_classes.json); both may be changed while serving, and
// take effect for the next stream or answer.
const TRACK = fs.readFileSync(path.join(here, "fixtures", "track.json"), "utf8");
export const STATES = {
  plain: fs.readFileSync(path.join(here, "fixtures", "state.json"), "utf8"),
  classes: fs.readFileSync(path.join(here, "fixtures", "state_classes.json"), "utf8"),
};

export function startFixtureServer({ port = 0, history = "recorded", timing = "plain" } = {}) {
  // streamUrls: every /api/events address asked for, in order.
  const state = { history, timing, sessions: fixtureSessions(), streams: new Set(), kept: 300, streamUrls: [] };
  const send = (res, status, type, body) => {
    res.writeHead(status, { "Content-Type": type, "Content-Security-Policy": POLICY,
                            "X-Content-Type-Options": "nosniff", "Cache-Control": "no-store" });
    res.end(body);
  };
  const json = (res, status, value) => send(res, status, "application/json", JSON.stringify(value));
  const server = http.createServer((req, res) => {
    const url = new URL(req.url, "http://fixture");
    const p = url.pathname;
    const page = { "/": "index.html", "/overlay": "index.html", "/results": "results.html" }[p];
    if (page || p.startsWith("/static/")) {
      const name = page || p.slice(8);
      if (!/^[A-Za-z0-9_-][A-Za-z0-9_.-]*$/.test(name) || !TYPES[path.extname(name)]) return send(res, 404, "text/plain", "no such file\n");
      fs.readFile(path.join(WWW, name), (err, data) => (err ? send(res, 404, "text/plain", "no such file\n")
                                                             : send(res, 200, TYPES[path.extname(name)], data)));
      return;
    }
    if (p === "/api/events") {
      state.streamUrls.push(req.url);
      const delay = url.searchParams.has("delay") ? Number(url.searchParams.get("delay")) : 0;
      if (!(delay >= 0 && delay <= 300)) return json(res, 400, { status: "bad_delay", message: "delay must be 0 to 300 seconds" });
      res.writeHead(200, { "Content-Type": "text/event-stream", "Cache-Control": "no-store",
                           "Content-Security-Policy": POLICY, "X-Content-Type-Options": "nosniff" });
      // noDelay: a web view that knows no delay (its status has no delay_s).
      const status = state.noDelay ? { status: "live", message: "" } : { status: "live", message: "", delay_s: delay, kept_s: state.kept };
      res.write("retry: 1000\n\nevent: status\ndata: " + JSON.stringify(status) + "\n\n");
      if (state.noDelay || state.kept >= delay) res.write("event: track\ndata: " + TRACK.trim() + "\n\nevent: state\ndata: " + STATES[state.timing].trim() + "\n\n");
      state.streams.add(res);
      req.on("close", () => state.streams.delete(res));
      return;
    }
    if (p === "/api/status") return json(res, 200, { status: "live", message: "" });
    if (p === "/api/state") return send(res, 200, "application/json", STATES[state.timing]);
    if (p === "/api/track") return send(res, 200, "application/json", TRACK);
    if (p.startsWith("/api/sessions")) {
      if (state.history === "unavailable") return json(res, 503, { error: "the race history's database cannot be opened" });
      const sessions = state.history === "none" ? [] : state.sessions;
      if (p === "/api/sessions") {
        return json(res, 200, { format: "pitwall-sessions", version: 1, sessions: sessions.map((s) => s.session) });
      }
      const m = /^\/api\/sessions\/(\d+|latest)\/(results|laps|events)$/.exec(p);
      if (!m) return send(res, 404, "text/plain; charset=utf-8", "not found\n");
      const one = m[1] === "latest" ? sessions[0] : sessions.find((s) => String(s.session.id) === m[1]);
      if (!one) return json(res, 404, { error: "no session " + m[1] });
      return json(res, 200, one[m[2]]);
    }
    send(res, 404, "text/plain; charset=utf-8", "not found\n");
  });
  return new Promise((resolve) => {
    server.listen(port, "127.0.0.1", () => {
      resolve({
        base: `http://127.0.0.1:${server.address().port}`,
        state,
        // One `race` event to every open stream.
        push(event) {
          for (const res of state.streams) res.write("event: race\ndata: " + JSON.stringify(event) + "\n\n");
        },
        // A timing state (an object) to every open stream, after the track
        // for a stream that has not had it.
        pushState(value) {
          for (const res of state.streams) res.write("event: track\ndata: " + TRACK.trim() + "\n\nevent: state\ndata: " + JSON.stringify(value) + "\n\n");
        },
        // Ends every open stream, as a web view that restarts does.
        dropStreams() {
          for (const res of state.streams) res.end();
          state.streams.clear();
        },
        close() {
          for (const res of state.streams) res.destroy();
          return new Promise((r) => server.close(() => r()));
        },
      });
    });
  });
}

if (process.argv[1] && path.resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  const s = await startFixtureServer({ port: Number(process.argv[2] || 8099) });
  console.log(`serving the pages with fixture sessions at ${s.base}/results`);
}
