// What the address may set, read once when the page opens. Every
// parameter has its values or its range; a value outside falls back to the
// default (numbers are clamped into the range), and the page says so on
// the console, never by stopping.

// The tower's columns by the names cols= takes: each cell's class name
// (what the style sheet and the tests know a column by) and its heading.
// "sector" is the sector the car is in now, one of the default columns.
export const COLUMNS = {
  pos: { cls: "pos", head: "P" }, num: { cls: "num", head: "No" }, class: { cls: "cls", head: "Class" },
  driver: { cls: "driver", head: "Driver" }, gap: { cls: "gap", head: "Gap" }, int: { cls: "interval", head: "Int" },
  last: { cls: "last", head: "Last" }, best: { cls: "best", head: "Best" }, pace: { cls: "pace", head: "Pace" },
  trend: { cls: "trend", head: "Trend" }, s1: { cls: "s1 split", head: "S1" }, s2: { cls: "s2 split", head: "S2" },
  s3: { cls: "s3 split", head: "S3" }, sector: { cls: "sector", head: "S" }, pit: { cls: "pit", head: "Pit" },
  stops: { cls: "stops", head: "Stops" }, gained: { cls: "gained", head: "+/-" },
};
const DEFAULT_COLUMNS = ["pos", "num", "driver", "gap", "int", "last", "best", "sector", "pit", "gained"];

// font= a family from the list (any letter case), or any plain family
// name (letters, digits, spaces, hyphens), which the browser may or may not
// have: the usual faces stand behind it.
const FONTS = ["sans-serif", "serif", "monospace", "system-ui", "DejaVu Sans", "DejaVu Sans Condensed", "DejaVu Serif",
  "DejaVu Sans Mono", "Liberation Sans", "Noto Sans", "Arial", "Helvetica", "Verdana", "Tahoma", "Trebuchet MS",
  "Georgia", "Roboto", "Roboto Condensed", "Open Sans"];
const GENERIC_FONTS = ["sans-serif", "serif", "monospace", "system-ui"];
// accent= #rgb, #rrggbb or one of a few colour names.
const ACCENTS = ["white", "black", "silver", "grey", "gray", "red", "orange", "gold", "yellow", "lime", "green",
  "teal", "cyan", "blue", "navy", "purple", "magenta", "pink"];

// The broadcast graphics (broadcast.js draws them), each an overlay's view.
export const BROADCAST_VIEWS = ["relative", "battles", "ticker", "pit", "clock", "results"];

function choice(params, name, values, fallback) {
  const raw = params.get(name);
  if (raw === null || raw.trim() === "") return fallback;
  const value = raw.trim().toLowerCase();
  if (values.includes(value)) return value;
  console.warn(`pitwall: ${name}=${raw} is not one of ${values.join(", ")}; using ${fallback}`);
  return fallback;
}
function number(params, name, min, max, fallback, whole) {
  const raw = params.get(name);
  if (raw === null || raw.trim() === "") return fallback;
  let value = Number(raw.trim());
  if (Number.isNaN(value)) {
    console.warn(`pitwall: ${name}=${raw} is no number; using ${fallback}`);
    return fallback;
  }
  if (whole) value = Math.round(value);
  const clamped = Math.min(max, Math.max(min, value));
  if (clamped !== value) console.warn(`pitwall: ${name}=${raw} is outside ${min} to ${max}; using ${clamped}`);
  return clamped;
}
function pixels(params, name, min, max) {
  // 0 (the window's own width), or min to max; below 0 is 0.
  const value = number(params, name, 0, max, 0, true);
  return value > 0 && value < min ? min : value;
}
function columnList(params, name) {
  const raw = params.get(name);
  if (raw === null || raw.trim() === "") return DEFAULT_COLUMNS;
  const wanted = raw.split(",").map((c) => c.trim().toLowerCase()).filter((c) => c !== "");
  const unknown = wanted.filter((c) => !Object.hasOwn(COLUMNS, c));
  if (unknown.length > 0) console.warn(`pitwall: ${name}= has no column ${unknown.join(", ")}; it takes ${Object.keys(COLUMNS).join(", ")}`);
  const list = [...new Set(wanted.filter((c) => Object.hasOwn(COLUMNS, c)))];
  if (list.length > 0) return list;
  console.warn(`pitwall: ${name}=${raw} names no column; using ${DEFAULT_COLUMNS.join(",")}`);
  return DEFAULT_COLUMNS;
}
function fontFamily(params, name) {
  const raw = params.get(name);
  if (raw === null || raw.trim() === "") return null;
  const value = raw.trim().replace(/\s+/g, " ");
  const listed = FONTS.find((f) => f.toLowerCase() === value.toLowerCase());
  if (listed) return GENERIC_FONTS.includes(listed) ? listed : `"${listed}"`;
  if (/^[A-Za-z0-9][A-Za-z0-9 -]{0,63}$/.test(value)) return `"${value}"`;
  console.warn(`pitwall: ${name}=${raw} is not a font name (letters, digits, spaces and hyphens); using the usual font`);
  return null;
}
function accentColour(params, name) {
  const raw = params.get(name);
  if (raw === null || raw.trim() === "") return null;
  const value = raw.trim().toLowerCase();
  if (/^#([0-9a-f]{3}|[0-9a-f]{6})$/.test(value) || ACCENTS.includes(value)) return value;
  console.warn(`pitwall: ${name}=${raw} is not #rgb, #rrggbb or one of ${ACCENTS.join(", ")}; using the usual accent`);
  return null;
}

// The options of the page at `pathname` with the query `search`. The
// overlay is the page at .../overlay, whatever path leads there.
export function readOptions(pathname, search) {
  const params = new URLSearchParams(search);
  const overlay = pathname.split("/").pop() === "overlay";
  const options = {
    view: overlay ? choice(params, "view", ["tower", "map", "both", "events", ...BROADCAST_VIEWS], "both") : "both",
    theme: choice(params, "theme", ["dark", "light"], "dark"),
    rows: number(params, "rows", 0, 64, 0, true),    // 0: every car
    fixed: number(params, "fixed", 0, 64, 3, true),  // rows at the top that never page
    column: choice(params, "gap", ["gap", "interval", "both"], "both"),
    follow: (params.get("follow") || "").trim().toLowerCase().slice(0, 64),
    width: pixels(params, "width", 200, 3840),       // 0: the window's width
    scale: number(params, "scale", 0.25, 4, 1, false),
    status: overlay ? choice(params, "status", ["small", "hide"], "small") : "banner",
    // The league's classes: class=NAME shows that class's cars only (a name
    // the session has no class of shows every car, said on the console once
    // the session's classes are known); split=class shows the tower class by
    // class. Either way a car of a class reads its place and gaps within it.
    only: (params.get("class") || "").trim().slice(0, 64),
    split: choice(params, "split", ["none", "class"], "none"),
    name: choice(params, "name", ["full", "last", "short"], "full"),
    columns: columnList(params, "cols"),
    font: fontFamily(params, "font"),
    accent: accentColour(params, "accent"),
    // The race as it was this many seconds ago (0: live); see stream.js.
    delay: number(params, "delay", 0, 300, 0, false),
    within: number(params, "within", 0.1, 5, 1, false),  // battles: seconds between two cars
    hold: number(params, "hold", 2, 30, 6, false),       // ticker: seconds a line stays
    local: choice(params, "local", ["0", "1"], "0") === "1",  // clock: the viewer's own time too
  };
  return { overlay, options };
}
