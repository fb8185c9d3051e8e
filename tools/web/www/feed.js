// The race's events, newest on top: the recorded history of the latest
// session when the page opens (or its stream opens again), then each `race`
// event of the stream. Without a race history (404, 503, an old web view)
// the feed stays empty and hidden. An overlay shows it only as view=events,
// where rows=N keeps N lines.
//
// What the feed holds is the page's live.feed: {events (id -> event, of
// `session`), session (the id of the session shown), streamed (the newest
// race event the stream has sent, {session, id}, or null)}.
import { known } from "./format.js";
import { paint } from "./league.js";

const FEED_KEEP = 50;
const FEED_TAGS = {
  start: "START", lead_change: "LEAD", class_lead_change: "LEAD", overtake: "PASS", pit_in: "PIT", pit_out: "OUT",
  fastest_lap: "FAST", personal_best: "PB", stopped: "STOP", retired: "RET",
  disqualified: "DSQ", finished: "FLAG", session_end: "END",
};

// The sentence with the drivers' names each in an element of its own, so a
// name's bidirectional text reorders nothing but the name; the lap, shown
// before it, is dropped from its end.
export function feedSentence(e) {
  let text = typeof e.text === "string" ? e.text : "";
  if (known(e.lap)) {
    const tail = " on lap " + e.lap + ".";
    if (text.endsWith(tail)) text = text.slice(0, -tail.length).replace(/[\s,;:]+$/, "");
  }
  const names = [e.driver, e.other_driver].filter((n) => typeof n === "string" && n !== "");
  const parts = [];
  while (text !== "") {
    let at = -1, name = "";
    for (const n of names) {
      const i = text.indexOf(n);
      if (i >= 0 && (at < 0 || i < at || (i === at && n.length > name.length))) { at = i; name = n; }
    }
    if (at < 0) { parts.push(document.createTextNode(text)); break; }
    if (at > 0) parts.push(document.createTextNode(text.slice(0, at)));
    const bdi = document.createElement("bdi");
    bdi.textContent = name;
    parts.push(bdi);
    text = text.slice(at + name.length);
  }
  return parts;
}

// One event's line; `classes` are the session's as the page shows them.
function feedLine(e, classes) {
  const li = document.createElement("li");
  const kind = Object.hasOwn(FEED_TAGS, e.kind) ? e.kind : "other";
  li.className = "event kind-" + kind;
  li.dataset.id = e.id;
  const lap = document.createElement("span");
  lap.className = "lap";
  lap.textContent = known(e.lap) && e.lap > 0 ? "L" + e.lap : "";
  const tag = document.createElement("span");
  tag.className = "tag";
  tag.textContent = FEED_TAGS[kind] || String(e.kind || "").slice(0, 6).toUpperCase();
  // A class's lead on a tag in the class's colour, its name in the tooltip.
  if (kind === "class_lead_change" && typeof e.class === "string") {
    const c = classes.find((x) => x.name === e.class);
    if (c && c.colour !== null) paint(tag, c.colour);
    tag.title = e.class;
  }
  const text = document.createElement("span");
  text.className = "text";
  text.append(...feedSentence(e));
  li.append(lap, tag, text);
  return li;
}

// `shown` (newest first) into the feed's list; the feed is hidden while
// there is none.
function drawFeed(feedView, feedList, root, shown, classes) {
  feedList.replaceChildren(...shown.map((e) => feedLine(e, classes)));
  const any = shown.length > 0;
  feedView.hidden = !any;
  root.classList.toggle("has-feed", any);
}

// The events `list` of session `sessionId` into the feed (a new session's
// replace the feed's), which keeps the newest FEED_KEEP, and the feed drawn.
export function takeEvents(ctx, sessionId, list) {
  const { options, overlay, dom, live } = ctx;
  const feed = live.feed;
  if (feed.session !== sessionId) {
    feed.session = sessionId;
    feed.events.clear();
  }
  for (const e of list) {
    if (e && typeof e === "object" && known(e.id)) feed.events.set(e.id, e);
  }
  const keep = overlay && options.rows > 0 ? Math.min(options.rows, FEED_KEEP) : FEED_KEEP;
  const newest = [...feed.events.values()].sort((a, b) => b.id - a.id);
  for (const e of newest.slice(FEED_KEEP)) feed.events.delete(e.id);
  drawFeed(dom.feedView, dom.feedList, dom.root, newest.slice(0, keep), live.shownView ? live.shownView.classes : []);
}

// The recorded history is live; a delayed stream is behind it. Of the
// history it keeps what the stream has reached: up to the stream's newest
// race event, or before the stream sent one, up to the session time of the
// state shown; a session recorded after that state is not shown at all
// (null: the feed stays as it is).
function delayedHistory(body, delay, state, streamed) {
  if (delay === 0) return body.events;
  if (!state || !state.session) return null;
  if (streamed !== null) {
    if (body.session.id !== streamed.session) return body.session.id < streamed.session ? body.events : null;
    return body.events.filter((e) => known(e.id) && e.id <= streamed.id);
  }
  if (known(body.session.started_unix_s) && known(state.received_unix_s) && body.session.started_unix_s > state.received_unix_s) return null;
  const shownAt = state.session.time_s;
  return known(shownAt) ? body.events.filter((e) => known(e.at_s) && e.at_s <= shownAt) : null;
}

// The page and view=events show the feed; the broadcast ticker only what
// comes while it is open.
export function feedWanted(overlay, options) {
  return !overlay || options.view === "events";
}

export async function loadFeedHistory(ctx) {
  const { options, live } = ctx;
  try {
    const answer = await fetch("api/sessions/latest/events", { cache: "no-store" });
    if (!answer.ok) return;  // no session yet, or no race history: the feed stays as it is
    const body = await answer.json();
    if (!body || body.format !== "pitwall-events" || !body.session || !Array.isArray(body.events)) return;
    if (live.feed.session !== null && body.session.id < live.feed.session) return;
    const shown = delayedHistory(body, options.delay, live.state, live.feed.streamed);
    if (shown !== null) takeEvents(ctx, body.session.id, shown);
  } catch {
    // The stream's own retries say what is wrong with the web view.
  }
}
