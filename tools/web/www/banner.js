// What the page says of its connection: on the page a banner, in an
// overlay a dot (status=small) or nothing (status=hide); a stream never
// shows the plug-in's address.
import { STATUS } from "./status.js";

// The page's own words for what the web view turned down (too_many_viewers,
// busy), beside the server's (status.js).
export const TOO_MANY_VIEWERS = "too_many_viewers";
export const BUSY = "busy";

// `kind` (one of the server's words or the page's own) into `box`, with
// `text` and `detail` as status= (`how`: banner, small or hide) shows them.
export function showStatus(box, how, kind, text, detail) {
  box.className = "status " + kind;
  const whole = kind === STATUS.live ? "" : text + (detail ? " " + detail : "");
  if (how === "banner") {
    box.textContent = whole;
    box.removeAttribute("title");
  } else {
    box.textContent = "";
    if (whole !== "" && how === "small") box.title = whole;
    else box.removeAttribute("title");
  }
}

export const SERVER_STATUS_TEXT = {
  [STATUS.connecting]: "Connecting to the timing feed…",
  [STATUS.unreachable]: "The timing feed is unreachable; retrying.",
  [STATUS.full]: "The timing feed is full; retrying.",
};

// The kind a status event's word shows as: its own when the page knows it,
// else connecting. "gathering": a delayed stream waits until the web view
// holds its delay of the race; the delay badge says how long.
export function serverStatusKind(word) {
  return word in SERVER_STATUS_TEXT || word === STATUS.live || word === STATUS.gathering ? word : STATUS.connecting;
}
