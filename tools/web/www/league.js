// The league's part of the timing state as the live page reads it: a
// car's class, the class's colour and the car's number, the driver's name
// as name= asks, the session's classes, and what class= and split= make of
// a state. Only reads what it is given.

// The league's part of a car, as the state gives it: its class (null when
// in none), the class's colour (null unless "#rrggbb"), its number.
const HEX_COLOUR = /^#[0-9a-f]{6}$/i;
export function classOf(car) {
  return typeof car.class === "string" && car.class !== "" ? car.class : null;
}
export function classColour(value) {
  return typeof value === "string" && HEX_COLOUR.test(value) ? value.toLowerCase() : null;
}
export function numberOf(car) {
  return Number.isInteger(car.number) && car.number >= 0 ? car.number : null;
}
// The marker's colour as the state gives it: the class's, or for a car in
// no class its own.
export function markerColour(car) {
  return classColour(car.colour) || "#808080";
}
// Black or white, whichever reads better on `hex`.
function inkOn(hex) {
  const c = [1, 3, 5].map((i) => parseInt(hex.slice(i, i + 2), 16) / 255)
    .map((v) => (v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4));
  return 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2] > 0.179 ? "#000" : "#fff";
}
export function paint(node, hex) {
  node.style.backgroundColor = hex;  // CSSOM, which the policy allows
  node.style.color = inkOn(hex);
}

// The driver's name as name= asks (`how`): the whole name, its last word,
// or the league's short name (else the last word's first three letters,
// upper case).
export function shownName(car, how) {
  const full = typeof car.driver === "string" ? car.driver : "";
  if (how === "full") return full;
  const words = full.trim().split(/\s+/).filter((w) => w !== "");
  const last = words.length > 0 ? words[words.length - 1] : full;
  if (how === "last") return last;
  if (typeof car.short_name === "string" && car.short_name.trim() !== "") return car.short_name.trim();
  return [...last].slice(0, 3).join("").toUpperCase();
}

// follow= picks the cars whose driver's name holds it (any letter case).
export function followed(car, follow) {
  return follow !== "" && car.driver.toLowerCase().includes(follow);
}

// The session's classes in the state's order (the league file's), each
// {name, colour}.
export function classesOf(s) {
  const given = s.session && Array.isArray(s.session.classes) ? s.session.classes : [];
  return given.filter((c) => c && typeof c.name === "string" && c.name !== "")
    .map((c) => ({ name: c.name, colour: classColour(c.colour) }));
}

// The class class= (`only`) names among `list` (ignoring letter case), or
// null for every car. A name the session has no class of is said on the
// console once for each list of classes: `warned.onlyClass` keeps the list
// it was said for.
export function onlyClass(list, s, only, warned) {
  if (only === "") return null;
  const want = only.toLowerCase();
  const hit = list.find((c) => c.name.toLowerCase() === want);
  if (hit) return hit.name;
  const names = list.map((c) => c.name).join(", ");
  if (s.session && warned.onlyClass !== names) {
    warned.onlyClass = names;
    console.warn(`pitwall: class=${only} is not one of ${names || "the session's classes (it has none)"}; using every class`);
  }
  return null;
}

// The class class= picks among the state's classes, or null.
export function pickedClass(s, options, warned) {
  return onlyClass(classesOf(s), s, options.only, warned);
}

// What a state shows: the classes, the class class= picked (or null), the
// cars shown (in place order), and whether a car of a class reads its
// place and gaps within its class.
export function viewOf(s, options, warned) {
  const classes = classesOf(s);
  const only = onlyClass(classes, s, options.only, warned);
  const cars = only === null ? s.cars : s.cars.filter((car) => classOf(car) === only);
  const byClass = only !== null || (options.split === "class" && classes.length > 0);
  return { classes, only, cars, byClass };
}

// A car's place, gaps and fastest lap: within its class, or in the field.
export function standing(car, byClass) {
  if (byClass && classOf(car) !== null) {
    return { place: car.class_place, gap: car.class_gap, interval: car.class_interval,
             fastest: car.holds_class_fastest_lap === true };
  }
  return { place: car.place, gap: car.gap_to_leader, interval: car.interval, fastest: car.holds_fastest_lap === true };
}
