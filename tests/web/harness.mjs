// What the browser and stream tests share: their checks and the processes
// they start. Each test is a process of its own, so the list of failures is
// its own too.
import { spawn } from "node:child_process";
import fs from "node:fs";
import net from "node:net";

export const failures = [];
export function check(ok, what) {
  if (!ok) failures.push(what);
  console.log((ok ? "ok   " : "FAIL ") + what);
}

// One case of a node test: "ok", or "FAIL" with the assertion's message.
export function test(what, fn) {
  try {
    fn();
    console.log("ok   " + what);
  } catch (e) {
    failures.push(what);
    console.log("FAIL " + what + "\n     " + String(e.message).split("\n").join("\n     "));
  }
}

// The end of a node test: exit 1 naming the failures, else "all passed".
export function finish() {
  if (failures.length > 0) {
    console.log(`${failures.length} failed: ${failures.join("; ")}`);
    process.exit(1);
  }
  console.log("all passed");
}

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Polls `fn` until it gives something true (returned) or `ms` have gone
// (a failed check, and the last value returned).
export async function waitFor(what, fn, ms = 20000) {
  const deadline = Date.now() + ms;
  for (;;) {
    const value = await fn();
    if (value) return value;
    if (Date.now() > deadline) {
      check(false, what + " (timed out)");
      return value;
    }
    await sleep(50);
  }
}

export function freePort() {
  return new Promise((resolve) => {
    const server = net.createServer();
    server.listen(0, "127.0.0.1", () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// A free port with the n - 1 after it free too.
export async function freePorts(n) {
  for (;;) {
    const first = await freePort();
    let free = true;
    for (let i = 1; i < n && free; i++) {
      free = await new Promise((resolve) => {
        const server = net.createServer();
        server.once("error", () => resolve(false));
        server.listen(first + i, "127.0.0.1", () => server.close(() => resolve(true)));
      });
    }
    if (free) return first;
  }
}

// Starts `bin`, its output into the file `log`.
export function start(bin, args, log) {
  const child = spawn(bin, args, { stdio: ["ignore", "pipe", "pipe"] });
  const out = fs.createWriteStream(log);
  child.stdout.pipe(out);
  child.stderr.pipe(out);
  return child;
}

// Ends a child this test started, by its process id, and waits for it.
export function stop(child) {
  return new Promise((resolve) => {
    if (!child || child.exitCode !== null || child.signalCode !== null) return resolve();
    child.once("exit", () => resolve());
    child.kill("SIGTERM");
  });
}
