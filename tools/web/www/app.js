// The PitwallFeed live page and its overlays. Reads the web view's API:
// api/events (server-sent events: status, track, state, change, race),
// api/state and the recorded session's events (api/sessions/latest/events).
// Every address is relative to the page's, so the same files serve at the
// server's root and under a path of a proxy in front (/race1/, /race1/overlay).
// Plain JavaScript modules, no build step, no network beyond this server;
// nothing inline, so the page runs under a policy that allows only this
// server's own files.
//
// This entry module owns everything the page holds (`live` below) and hands
// it, with the options and the page's elements, to the modules that draw
// and connect: options.js (the address), tower.js, map.js, feed.js,
// broadcast.js (the overlays' graphics), delay.js (the delay badge),
// banner.js (the connection's status) and stream.js (the event stream).
import { serverStatusKind, SERVER_STATUS_TEXT, showStatus } from "./banner.js";
import { drawBroadcast, tickerEvent } from "./broadcast.js";
import { showDelay, stopDelayCountdown, takeDelayStatus } from "./delay.js";
import { feedWanted, loadFeedHistory, takeEvents } from "./feed.js";
import { known } from "./format.js";
import { classOf, numberOf, viewOf } from "./league.js";
import { drawLegend, drawTrack, placeMarkers, sizeMarkers, updateMarkers } from "./map.js";
import { BROADCAST_VIEWS, readOptions } from "./options.js";
import { STATUS } from "./status.js";
import { openStream } from "./stream.js";
import { drawTower, showSessionLine, towerHead, turnPages } from "./tower.js";

const { overlay, options } = readOptions(location.pathname, location.search);
const broadcast = BROADCAST_VIEWS.includes(options.view);
// What the view draws: an overlay of the tower alone keeps no markers
// gliding, one of the map alone no tower, one of the events neither.
const mapShown = !overlay || options.view === "map" || options.view === "both";
const towerShown = !overlay || options.view === "tower" || options.view === "both";

const byId = (id) => document.getElementById(id);
const dom = {
  root: document.documentElement,
  map: byId("map"),
  strips: byId("strips"),
  cars: byId("cars"),
  tower: byId("tower"),
  legend: byId("legend"),
  statusBox: byId("status"),
  sessionLine: byId("session-line"),
  pageNote: byId("page-note"),
  feedView: byId("feed-view"),
  feedList: byId("feed"),
  delayBadge: byId("delay"),
  broadcastView: byId("broadcast-view"),
};

// Everything the page holds that changes.
const live = {
  state: null,             // the latest timing state
  shownView: null,         // what it shows: see league.js viewOf
  lastStateAt: -Infinity,  // when the latest state came
  lastMoveAt: -Infinity,   // when the latest state in which a car moved came
  pace: 200,               // ms between states that move cars, smoothed
  trackBox: null,          // the map's viewBox [x, y, width, height], in metres
  markerRadius: 1,         // in metres (map units)
  numbered: false,         // the markers carry the league's car numbers
  markers: new Map(),      // car index -> {group, from, to, start, duration}
  legendDrawn: "",         // what the legend shows, to draw it again only when that changes
  pageStarts: new Map(),   // tower section -> first row of its paging part
  warned: { onlyClass: null },  // the classes the class= warning was given for
  feed: { events: new Map(), session: null, streamed: null },  // see feed.js
  delay: { wait: null, timer: 0, refused: false },              // see delay.js
  streamState: false,      // the open stream has sent a state
  broadcast: { drawn: "", warned: new Set(), tickerSeen: new Set() },  // see broadcast.js
  stream: {                // see stream.js
    source: null, retryTimer: 0, countdownTimer: 0, backoff: 0, failed: false,
    waitingChanges: [], stateAsked: false, stateAskedAt: -Infinity, stateAskTimer: 0,
  },
};

const ctx = {
  options, overlay, dom, live,
  on: { status: showServerStatus, track: takeTrack, state: takeState, race: takeRaceEvent },
};

const root = dom.root;
root.classList.add(overlay ? "overlay" : "page");
if (options.theme === "light") root.classList.add("light");
root.classList.add("view-" + options.view, "status-" + options.status);
if (options.column === "gap") root.classList.add("hide-interval");
if (options.column === "interval") root.classList.add("hide-gap");
if (options.width > 0) document.body.style.width = options.width + "px";
if (options.scale !== 1) document.body.style.zoom = String(options.scale);
root.classList.add("name-" + options.name);
if (broadcast) root.classList.add("broadcast");
if (options.font !== null) root.style.setProperty("--font", options.font + ", \"DejaVu Sans\", Arial, sans-serif");
if (options.accent !== null) root.style.setProperty("--accent", options.accent);
if (overlay) document.body.appendChild(dom.delayBadge);

function showServerStatus(s) {
  const kind = serverStatusKind(s.status);
  showStatus(dom.statusBox, options.status, kind, SERVER_STATUS_TEXT[kind] || "", s.message || "");
  takeDelayStatus(ctx, s);
}

function takeTrack(track) {
  drawTrack(dom.map, dom.strips, live, track);
}

function takeState(next) {
  live.state = next;
  const state = next;
  const now = performance.now();
  live.shownView = viewOf(state, options, live.warned);
  // What the page shows, for a test to match against the web view's states.
  root.dataset.updates = known(state.updates) ? state.updates : "";
  if (!live.streamState) {
    live.streamState = true;
    stopDelayCountdown(ctx);
    showDelay(ctx);
    if (options.delay > 0 && feedWanted(overlay, options)) loadFeedHistory(ctx);
  }
  if (broadcast) {
    document.title = state.session ? state.session.track + " · PitwallFeed" : "PitwallFeed live";
    drawBroadcast(dom.broadcastView, state, options, live);
    return;
  }
  // The number column once any car has a number or a class.
  root.classList.toggle("league", state.cars.some((car) => numberOf(car) !== null || classOf(car) !== null));
  if (live.numbered !== state.cars.some((car) => numberOf(car) !== null)) {
    live.numbered = !live.numbered;
    sizeMarkers(dom.map, live);
  }
  showSessionLine(dom.sessionLine, state);
  document.title = state.session ? state.session.track + " · PitwallFeed" : "PitwallFeed live";
  if (towerShown) drawTower(dom.tower, dom.pageNote, live.shownView, options, live.pageStarts);
  if (mapShown) {
    drawLegend(dom.legend, root, live.shownView, options.name, live);
    updateMarkers(dom.cars, live, live.shownView, options.follow, now);
  }
  live.lastStateAt = now;
}

function takeRaceEvent(e) {
  if (!e || typeof e !== "object" || !known(e.session_id)) return;
  const feed = live.feed;
  const streamed = feed.streamed;
  if (streamed === null || e.session_id > streamed.session || (e.session_id === streamed.session && e.id > streamed.id)) {
    feed.streamed = { session: e.session_id, id: known(e.id) ? e.id : 0 };
  }
  if (broadcast) {
    tickerEvent(dom.broadcastView, e, live.state, options, live);
    return;
  }
  // An event of an older session than the one shown (a late answer) is dropped.
  if (feed.session !== null && e.session_id < feed.session) return;
  takeEvents(ctx, e.session_id, [e]);
}

function animate(now) {
  placeMarkers(live.markers, now);
  requestAnimationFrame(animate);
}

new ResizeObserver(() => sizeMarkers(dom.map, live)).observe(dom.map);
// The clock overlay's local time moves on between states too.
setInterval(() => {
  if (options.view === "clock" && options.local && live.state) drawBroadcast(dom.broadcastView, live.state, options, live);
}, 1000);
// With rows=N the tower pages every few seconds.
setInterval(() => {
  if (live.state && options.rows > 0 && towerShown) {
    turnPages(options, live.pageStarts);
    drawTower(dom.tower, dom.pageNote, live.shownView, options, live.pageStarts);
  }
}, 5000);
towerHead(dom.tower, options.columns);
showStatus(dom.statusBox, options.status, STATUS.connecting, SERVER_STATUS_TEXT[STATUS.connecting], "");
showDelay(ctx);
if (mapShown) requestAnimationFrame(animate);
openStream(ctx);
