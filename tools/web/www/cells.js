// The pieces the tower and the broadcast graphics both put in their
// cells: marked lap and sector times, an interval's trend, a car's number
// chip and its class's chip. Each fills or makes a node from what it is
// given.
import { known } from "./format.js";
import { classColour, classOf, numberOf, paint } from "./league.js";

// How a lap or sector time compares, as the state marks it: purple, green
// or yellow, and besides the colour a symbol and words in the title, so
// that it reads in greyscale and to a colour-blind viewer.
const MARKS = {
  session_best: { cls: "mark-sb", symbol: "\u25c6", words: "session best" },  // a diamond
  personal_best: { cls: "mark-pb", symbol: "\u25cf", words: "personal best" },  // a dot
  slower: { cls: "mark-slow", symbol: "", words: "slower than its best" },
};
export function markTime(node, mark, what) {
  const m = typeof mark === "string" && Object.hasOwn(MARKS, mark) ? MARKS[mark] : null;
  if (m === null) return node;
  node.classList.add(m.cls);
  node.dataset.mark = mark;
  if (m.symbol !== "") {
    const cue = document.createElement("span");
    cue.className = "cue";
    cue.setAttribute("aria-hidden", "true");
    cue.textContent = m.symbol;
    node.appendChild(cue);
  }
  node.title = what + ": " + m.words;
  node.setAttribute("aria-label", node.title);
  return node;
}

// How its interval to the car ahead moves: an arrow, and in words in the title.
const TRENDS = { closing: { symbol: "\u25bc", words: "closing" }, growing: { symbol: "\u25b2", words: "growing" },
                 steady: { symbol: "\u2013", words: "steady" } };
export function trendCell(td, trend) {
  const t = trend && typeof trend === "object" && Object.hasOwn(TRENDS, trend.direction) ? TRENDS[trend.direction] : null;
  if (t === null) return td;
  td.textContent = t.symbol;
  td.classList.add("trend-" + trend.direction);
  td.dataset.trend = trend.direction;
  let words = "interval " + t.words;
  if (known(trend.change_s_per_lap)) {
    words += " (" + (trend.change_s_per_lap > 0 ? "+" : "") + trend.change_s_per_lap.toFixed(2) + " s a lap";
    words += known(trend.laps) ? " over " + trend.laps + (trend.laps === 1 ? " lap)" : " laps)") : ")";
  }
  td.title = words;
  td.setAttribute("aria-label", words);
  return td;
}

// The car's number on a chip in its class's colour, or null without either.
export function numberChip(car) {
  const chip = document.createElement("span");
  chip.className = "chip";
  chip.textContent = numberOf(car) !== null ? String(numberOf(car)) : "";
  const colour = classColour(car.class_colour);
  if (colour !== null) paint(chip, colour);
  else chip.classList.add("plain");
  return chip.textContent !== "" || colour !== null ? chip : null;
}
export function classChip(car) {
  const name = classOf(car);
  if (name === null) return null;
  const chip = document.createElement("bdi");
  chip.className = "class-chip";
  chip.textContent = name;
  const colour = classColour(car.class_colour);
  if (colour !== null) paint(chip, colour);
  return chip;
}
