// The colour of a car by its index, shared by the live page's map and the
// results page's charts, so that a car looks the same on both: hues a
// golden angle apart (as in the SVG picture), darker and lighter in turn.

export function carColour(index) {
  return "hsl(" + ((index * 137.508) % 360).toFixed(1) + ", 75%, " + (index % 2 === 0 ? 42 : 55) + "%)";
}
