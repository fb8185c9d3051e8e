// The timing state brought forward by a change: what the web view sends in
// place of a whole state when little moved. A change says which state it
// applies to (`base`, that state's received_unix_s), patches the state's
// members but the cars (`set`), patches each car that moved or came by its
// index (`cars`), and, when the list of cars changed, the new order of
// their indexes (`order`; a car not in it is gone).
//
// A patch of an object (or of an array, by decimal index) changes only the
// members it names, each by its own patch; any other patch value (null
// too, which is a value here and never removes a member) replaces what was
// there. Nothing is changed in place: the page may still hold older states,
// and unchanged cars are shared between a state and the next.
//
// A module, imported by the page and by node alike.

// `target` with `patch` applied; `target` is left as it was.
export function patchValue(target, patch) {
  if (patch === null || typeof patch !== "object" || Array.isArray(patch)) return patch;
  let out;
  if (Array.isArray(target)) out = target.slice();
  else if (target !== null && typeof target === "object") out = { ...target };
  else out = {};
  for (const k of Object.keys(patch)) out[k] = patchValue(out[k], patch[k]);
  return out;
}

// The state `change` leads to from `state`, or null when it cannot be
// applied: no state, a change for another state (its base is not the
// state's received_unix_s), or one that names a car it does not bring.
export function applyStateChange(state, change) {
  if (state === null || typeof state !== "object" || change === null || typeof change !== "object") return null;
  if (change.base !== state.received_unix_s) return null;
  const out = { ...state };
  const set = change.set !== null && typeof change.set === "object" ? change.set : {};
  for (const k of Object.keys(set)) {
    if (k !== "cars") out[k] = patchValue(out[k], set[k]);
  }
  const patches = change.cars !== null && typeof change.cars === "object" ? change.cars : {};
  const names = Object.keys(patches);
  const order = Array.isArray(change.order) ? change.order : null;
  if (names.length === 0 && order === null) return out;
  const before = Array.isArray(state.cars) ? state.cars : [];
  const byIndex = new Map(before.map((car) => [car.index, car]));
  for (const name of names) {
    const index = Number(name);
    // A car the order leaves as it was must be there already.
    if (order === null && !byIndex.has(index)) return null;
    byIndex.set(index, patchValue(byIndex.get(index), patches[name]));
  }
  if (order === null) {
    out.cars = before.map((car) => byIndex.get(car.index));
    return out;
  }
  const cars = [];
  for (const index of order) {
    const car = byIndex.get(index);
    if (car === undefined) return null;
    cars.push(car);
  }
  out.cars = cars;
  return out;
}

// A whole state and the changes kept while none could be applied (oldest
// first): the state they bring it to, and the ones still waiting for a
// whole state. Changes for states before `whole` are dropped; from the
// first whose base is `whole`'s, each applies to what the one before made.
// One that does not follow on leaves it and every later one waiting: some
// change between went missing.
export function resumeFrom(whole, kept) {
  let held = whole;
  let i = 0;
  while (i < kept.length && !(kept[i].base >= whole.received_unix_s)) i++;
  for (; i < kept.length; i++) {
    const next = applyStateChange(held, kept[i]);
    if (next === null) break;
    held = next;
  }
  return { state: held, waiting: kept.slice(i) };
}
