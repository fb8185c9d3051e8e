// How the live page and its overlays write numbers: lap and sector times,
// the session's clock, and a dash for what the page does not know.

// A count the page may not know (the web view joined mid-session): a dash.
export function known(n) {
  return typeof n === "number" && Number.isFinite(n);
}

export function lapTime(s) {
  if (s === null || s === undefined || !(s > 0)) return "--";
  const ms = Math.round(s * 1000);
  const m = Math.floor(ms / 60000), rest = ms % 60000;
  return m + ":" + String(Math.floor(rest / 1000)).padStart(2, "0") + "." + String(rest % 1000).padStart(3, "0");
}

export function clock(s) {
  if (s === null || s === undefined || !(s >= 0)) return "--";
  const t = Math.floor(s), h = Math.floor(t / 3600), m = Math.floor(t / 60) % 60, sec = t % 60;
  return (h > 0 ? h + ":" + String(m).padStart(2, "0") : String(m)) + ":" + String(sec).padStart(2, "0");
}

// A sector's time: seconds under a minute, else as a lap time.
export function sectorTime(s) {
  return known(s) && s > 0 && s < 60 ? s.toFixed(3) : lapTime(s);
}
