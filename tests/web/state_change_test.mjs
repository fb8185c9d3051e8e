// The change form as the page applies it (tools/web/www/state_change.js),
// in node without a browser: patches of values, objects and arrays, null
// as a value, copies instead of changes in place, the cars by index with
// their order, changes for another state, and a page that resumes from a
// whole state with the changes it kept.
//
// Usage: node state_change_test.mjs
import assert from "node:assert/strict";
import { finish, test } from "./harness.mjs";
import { patchValue, applyStateChange, resumeFrom } from "../../tools/web/www/state_change.js";

// A deep copy to show that nothing given was changed.
const frozen = (v) => JSON.parse(JSON.stringify(v));

function car(index, place, extra = {}) {
  return { index, driver: "Driver " + index, place, laps: 3, last_lap_s: 90 + index, pit: { stops: 0, in: false }, ...extra };
}
function baseState() {
  return {
    format: "pitwall-timing", version: 1, received_unix_s: 1796777898.63972, updates: 248,
    session: { track: "Pitwall Ring", time_s: 248, end_time_s: null, fastest_lap: { time_s: 91.5, index: 1, driver: "Driver 1" } },
    cars: [car(5, 1), car(1, 2), car(9, 3)],
  };
}

test("patchValue: a value, an array, true/false and null replace what was there", () => {
  assert.equal(patchValue(3, 4), 4);
  assert.equal(patchValue({ a: 1 }, "x"), "x");
  assert.deepEqual(patchValue([1, 2, 3], [7]), [7]);
  assert.deepEqual(patchValue({ a: 1 }, [1]), [1]);
  assert.equal(patchValue(12.5, null), null);
  assert.equal(patchValue({ a: 1 }, null), null);
  assert.equal(patchValue(true, false), false);
  assert.equal(patchValue(undefined, 0), 0);
});

test("patchValue: null is a value of a member, never its removal", () => {
  const out = patchValue({ gap: 1.25, interval: 0.4 }, { gap: null });
  assert.deepEqual(out, { gap: null, interval: 0.4 });
  assert.ok(Object.hasOwn(out, "gap"));
});

test("patchValue: a nested object changes only the members named, at every depth", () => {
  const target = { a: 1, b: { c: 2, d: { e: 3, f: 4 } }, g: [1, 2] };
  const keep = frozen(target);
  const out = patchValue(target, { b: { d: { f: 40 }, h: "new" } });
  assert.deepEqual(out, { a: 1, b: { c: 2, d: { e: 3, f: 40 }, h: "new" }, g: [1, 2] });
  assert.deepEqual(target, keep, "the target is left as it was");
  assert.notEqual(out.b, target.b);
  assert.equal(out.g, target.g, "a member not patched is shared, not copied");
});

test("patchValue: an object patches an array's elements by decimal index", () => {
  const target = [{ t: 1 }, { t: 2 }, 3];
  const keep = frozen(target);
  const out = patchValue(target, { 1: { t: 20 }, 2: 30 });
  assert.ok(Array.isArray(out));
  assert.deepEqual(out, [{ t: 1 }, { t: 20 }, 30]);
  assert.deepEqual(target, keep);
  assert.equal(out[0], target[0]);
});

test("patchValue: an object onto null, a number, a string or nothing starts from {}", () => {
  assert.deepEqual(patchValue(null, { time_s: 91.2, index: 4 }), { time_s: 91.2, index: 4 });
  assert.deepEqual(patchValue(7, { a: { b: 1 } }), { a: { b: 1 } });
  assert.deepEqual(patchValue("x", {}), {});
  assert.deepEqual(patchValue(undefined, { a: null }), { a: null });
  // A nested object patch onto a member that was null.
  assert.deepEqual(patchValue({ fastest_lap: null, t: 1 }, { fastest_lap: { time_s: 90 } }), { fastest_lap: { time_s: 90 }, t: 1 });
});

test("applyStateChange: members set, cars patched by index, nothing of the old state changed", () => {
  const s = baseState();
  const keep = frozen(s);
  const next = applyStateChange(s, {
    id: 12, base: 1796777898.63972,
    set: { received_unix_s: 1796777898.74, updates: 249, session: { time_s: 248.2, fastest_lap: null } },
    cars: { 1: { last_lap_s: 88.5, pit: { in: true } }, 9: { place: 3, gap_to_leader: null } },
  });
  assert.deepEqual(s, keep, "the held state is left as it was");
  assert.deepEqual(next, {
    format: "pitwall-timing", version: 1, received_unix_s: 1796777898.74, updates: 249,
    session: { track: "Pitwall Ring", time_s: 248.2, end_time_s: null, fastest_lap: null },
    cars: [car(5, 1), car(1, 2, { last_lap_s: 88.5, pit: { stops: 0, in: true } }), car(9, 3, { gap_to_leader: null })],
  });
  assert.equal(next.cars[0], s.cars[0], "a car that did not change is the same object");
  assert.notEqual(next.cars, s.cars);
});

test("applyStateChange: a change with nothing but set keeps the cars as they were", () => {
  const s = baseState();
  const next = applyStateChange(s, { id: 2, base: s.received_unix_s, set: { received_unix_s: 5, updates: 250 } });
  assert.equal(next.received_unix_s, 5);
  assert.equal(next.updates, 250);
  assert.deepEqual(next.cars, s.cars);
  assert.equal(s.updates, 248);
});

test("applyStateChange: the order puts the cars in place, drops the one gone, builds the new one from {}", () => {
  const s = baseState();
  const keep = frozen(s);
  const newcomer = { index: 14, driver: "Driver 14", place: 2, laps: 0, last_lap_s: null, pit: { stops: 0, in: true } };
  const next = applyStateChange(s, {
    id: 13, base: s.received_unix_s, set: { received_unix_s: 1796777899 },
    cars: { 14: newcomer, 9: { place: 1 } }, order: [9, 14, 5],
  });
  assert.deepEqual(next.cars.map((c) => c.index), [9, 14, 5], "car 1 is gone");
  assert.deepEqual(next.cars[0], car(9, 1));
  assert.deepEqual(next.cars[1], newcomer);
  assert.notEqual(next.cars[1], newcomer, "the new car is built from {}, not the patch itself");
  assert.equal(next.cars[2], s.cars[0]);
  assert.deepEqual(s, keep);
});

test("applyStateChange: the order alone reorders the same cars", () => {
  const s = baseState();
  const next = applyStateChange(s, { id: 3, base: s.received_unix_s, set: {}, cars: {}, order: [1, 5, 9] });
  assert.deepEqual(next.cars.map((c) => c.index), [1, 5, 9]);
  assert.deepEqual(s.cars.map((c) => c.index), [5, 1, 9]);
});

test("applyStateChange: a change for another state, or for no state, is not applied", () => {
  const s = baseState();
  const keep = frozen(s);
  assert.equal(applyStateChange(s, { id: 4, base: 1796777898.6397, set: { updates: 1 } }), null, "a base off in the last digit");
  assert.equal(applyStateChange(s, { id: 4, base: "1796777898.63972", set: {} }), null, "the base as text is not the same");
  assert.equal(applyStateChange(s, { id: 4, set: {} }), null, "no base");
  assert.equal(applyStateChange(null, { id: 4, base: 1, set: {} }), null);
  assert.deepEqual(s, keep);
});

test("applyStateChange: a change that names a car it does not bring is not applied", () => {
  const s = baseState();
  // Without an order, a car that is not there; with one, an index no car has.
  assert.equal(applyStateChange(s, { id: 5, base: s.received_unix_s, set: {}, cars: { 7: { place: 4 } } }), null);
  assert.equal(applyStateChange(s, { id: 5, base: s.received_unix_s, set: {}, order: [5, 1, 9, 7] }), null);
});

test("applyStateChange: a chain of changes, each on the last, ends where they lead", () => {
  let s = baseState();
  const first = s;
  const steps = [
    { id: 1, set: { received_unix_s: 10, updates: 249 }, cars: { 5: { laps: 4 } } },
    { id: 2, set: { received_unix_s: 11, updates: 250 }, cars: { 1: { place: 1 }, 5: { place: 2 } }, order: [1, 5, 9] },
    { id: 3, set: { received_unix_s: 12, updates: 251 }, cars: { 9: { pit: { stops: 1 } } }, order: [1, 5] },
  ];
  for (const step of steps) s = applyStateChange(s, { ...step, base: s.received_unix_s });
  assert.equal(s.received_unix_s, 12);
  assert.equal(s.updates, 251);
  assert.deepEqual(s.cars, [car(1, 1), car(5, 2, { laps: 4 })]);
  assert.deepEqual(first, baseState(), "the first state is still itself");
});

// Changes as a stream makes them: each from the one before.
function chain(from, count) {
  const out = [];
  let rx = from;
  for (let i = 0; i < count; i++) {
    out.push({ id: 100 + i, base: rx, set: { received_unix_s: rx + 1, updates: 1000 + i }, cars: {} });
    rx += 1;
  }
  return out;
}

test("resumeFrom: changes before the whole state are dropped, those from it applied in turn", () => {
  const kept = chain(100, 6);  // 100 -> 101 -> ... -> 106
  const whole = { ...baseState(), received_unix_s: 103, updates: 7 };
  const r = resumeFrom(whole, kept);
  assert.equal(r.state.received_unix_s, 106);
  assert.equal(r.state.updates, 1005);
  assert.deepEqual(r.waiting, []);
  assert.equal(whole.received_unix_s, 103, "the whole state is left as it was");
});

test("resumeFrom: a whole state newer than every change kept is taken as it is", () => {
  const whole = { ...baseState(), received_unix_s: 200 };
  const r = resumeFrom(whole, chain(100, 4));
  assert.equal(r.state, whole);
  assert.deepEqual(r.waiting, []);
});

test("resumeFrom: a gap after the whole state leaves the changes after it waiting", () => {
  const kept = chain(100, 8).filter((c) => c.id !== 104);  // 104->105 went missing
  const r = resumeFrom({ ...baseState(), received_unix_s: 102 }, kept);
  assert.equal(r.state.received_unix_s, 104, "up to the gap");
  assert.deepEqual(r.waiting.map((c) => c.id), [105, 106, 107]);
  // A whole state older than the changes: all of them wait.
  const older = resumeFrom({ ...baseState(), received_unix_s: 50 }, chain(100, 3));
  assert.equal(older.state.received_unix_s, 50);
  assert.deepEqual(older.waiting.map((c) => c.id), [100, 101, 102]);
});

finish();
