// The event stream. When it ends, or is turned down (the browser closes an
// EventSource that gets anything but a stream, and says nothing about the
// answer), the page asks the server itself: a 503 says when to come back
// (too many viewers), a stream means it can be opened again, no answer
// means the web view is down and is asked again later and later. A broken
// stream is asked about at once; only tries that keep failing wait.
//
// `ctx` is the page: {options, overlay, dom, live, on}, where `on` takes
// what the stream brings ({status, track, state, race}, each called with
// the event's parsed data; `state` with every state the page takes). The
// connection's bookkeeping is live.stream: {source (the open EventSource,
// or null), retryTimer, countdownTimer, backoff (ms before the next try
// after a failure; 0 once a stream delivers), failed (the last stream ended
// before it delivered anything, and no answer said why), and the changes
// kept while none could be applied: waitingChanges, stateAsked,
// stateAskedAt, stateAskTimer}.
import { BUSY, TOO_MANY_VIEWERS, showStatus } from "./banner.js";
import { feedWanted, loadFeedHistory } from "./feed.js";
import { STATUS } from "./status.js";
import { applyStateChange, resumeFrom } from "./state_change.js";

const DEADLINE_MS = 10000;  // for an answer to begin
const SHORT_STREAM_MS = 5000;

function clearRetry(ctx) {
  const st = ctx.live.stream;
  clearTimeout(st.retryTimer);
  clearInterval(st.countdownTimer);
  st.retryTimer = st.countdownTimer = 0;
}

// Says "<text>; retrying in N s." until `ms` has passed, then calls `then`.
function retryIn(ctx, ms, kind, text, then) {
  const st = ctx.live.stream;
  clearRetry(ctx);
  const at = performance.now() + ms;
  const say = () => {
    const left = Math.max(1, Math.ceil((at - performance.now()) / 1000));
    showStatus(ctx.dom.statusBox, ctx.options.status, kind, text + "; retrying in " + left + " s.", "");
  };
  say();
  st.countdownTimer = setInterval(say, 1000);
  st.retryTimer = setTimeout(() => { clearRetry(ctx); then(ctx); }, ms);
}

function nextBackoff(st) {
  st.backoff = Math.min(15000, Math.max(1000, st.backoff * 2));
  return st.backoff;
}

// The stream's address: changes after a first whole state; with delay=S,
// the race as it was S seconds ago.
function delayQuery(options) {
  return options.delay > 0 ? "delay=" + encodeURIComponent(String(options.delay)) : "";
}
function streamUrl(options) {
  return "api/events?changes=1" + (options.delay > 0 ? "&" + delayQuery(options) : "");
}

// Changes that came while none could be applied, oldest first (at most
// CHANGES_KEPT): they wait for a whole state from api/state (asked at most
// once a second, one question at a time) or from the stream, and those
// that follow on from it are applied. A page that never had a whole state
// shows nothing of the race until one comes.
const CHANGES_KEPT = 64;
const STATE_ASK_MS = 1000;

function takeChange(ctx, change) {
  const st = ctx.live.stream;
  const state = ctx.live.state;
  const next = state ? applyStateChange(state, change) : null;
  if (next !== null) {
    ctx.on.state(next);
    return;
  }
  st.waitingChanges.push(change);
  if (st.waitingChanges.length > CHANGES_KEPT) st.waitingChanges.splice(0, st.waitingChanges.length - CHANGES_KEPT);
  askForState(ctx);
}

// A whole state, from the stream or from api/state: the page takes it with
// the waiting changes that follow on from it.
function takeWholeState(ctx, whole) {
  const st = ctx.live.stream;
  const resumed = resumeFrom(whole, st.waitingChanges);
  st.waitingChanges = resumed.waiting;
  ctx.on.state(resumed.state);
  if (st.waitingChanges.length > 0) askForState(ctx);
}

function askForState(ctx) {
  const st = ctx.live.stream;
  if (st.waitingChanges.length === 0 || st.stateAsked || st.stateAskTimer !== 0) return;
  const wait = st.stateAskedAt + STATE_ASK_MS - performance.now();
  if (wait > 0) {
    st.stateAskTimer = setTimeout(() => { st.stateAskTimer = 0; askForState(ctx); }, wait);
    return;
  }
  st.stateAsked = true;
  st.stateAskedAt = performance.now();
  fetchState(ctx.options).then((whole) => {
    st.stateAsked = false;
    if (st.waitingChanges.length === 0) return;  // the stream brought a whole state meanwhile
    // One older than the page's own would take the race back in time: the
    // changes wait for the next.
    const state = ctx.live.state;
    if (whole !== null && !(state && state.received_unix_s > whole.received_unix_s)) takeWholeState(ctx, whole);
    else askForState(ctx);
  });
}

// The whole state the web view (or the proxy in front) holds now, as
// delayed as the stream; null when there is none or no answer.
async function fetchState(options) {
  const control = new AbortController();
  const deadline = setTimeout(() => control.abort(), DEADLINE_MS);
  try {
    const answer = await fetch("api/state" + (options.delay > 0 ? "?" + delayQuery(options) : ""), {
      signal: control.signal, cache: "no-store",
    });
    if (!answer.ok) return null;
    const body = await answer.json();
    const whole = body !== null && typeof body === "object" && typeof body.received_unix_s === "number" && Array.isArray(body.cars);
    return whole ? body : null;
  } catch {
    return null;  // the stream's own retries say what is wrong with the web view
  } finally {
    clearTimeout(deadline);
  }
}

export function openStream(ctx) {
  const { options, live } = ctx;
  const st = live.stream;
  clearRetry(ctx);
  const source = new EventSource(streamUrl(options));
  st.source = source;
  live.streamState = false;
  let delivered = false;
  const began = performance.now();
  const end = () => {
    if (st.source !== source) return;
    clearTimeout(deadline);
    source.close();
    st.source = null;
    // One that ends soon after it began counts as failed too, so a server
    // that keeps closing streams is not asked in a loop.
    if (!delivered || performance.now() - began < SHORT_STREAM_MS) st.failed = true;
    probe(ctx);
  };
  const deadline = setTimeout(end, DEADLINE_MS);  // accepted, but nothing came
  const take = (handler) => (e) => {
    if (!delivered) {
      delivered = true;
      clearTimeout(deadline);
      st.backoff = 0;
      st.failed = false;
    }
    handler(JSON.parse(e.data));
  };
  source.addEventListener("status", take(ctx.on.status));
  source.addEventListener("track", take(ctx.on.track));
  source.addEventListener("state", take((whole) => takeWholeState(ctx, whole)));
  source.addEventListener("change", take((change) => takeChange(ctx, change)));
  source.addEventListener("race", take(ctx.on.race));
  source.onerror = end;
  // A delayed stream's feed waits for its first state, which says how far
  // the history may go.
  if (options.delay === 0 && feedWanted(ctx.overlay, options)) loadFeedHistory(ctx);
}

function retryAfter(value) {
  // Seconds, or an HTTP date; 5 s when absent or odd.
  let s = /^\s*\d+\s*$/.test(value || "") ? Number(value) : (Date.parse(value || "") - Date.now()) / 1000;
  if (!Number.isFinite(s)) s = 5;
  return Math.min(300, Math.max(1, Math.ceil(s))) * 1000;
}

async function probe(ctx) {
  const st = ctx.live.stream;
  clearRetry(ctx);
  const control = new AbortController();
  const deadline = setTimeout(() => control.abort(), DEADLINE_MS);
  try {
    const answer = await fetch(streamUrl(ctx.options), {
      signal: control.signal, cache: "no-store", headers: { Accept: "text/event-stream" },
    });
    if (answer.status === 200 && (answer.headers.get("Content-Type") || "").startsWith("text/event-stream")) {
      control.abort();  // only a question: the EventSource takes its place
      if (st.failed) retryIn(ctx, nextBackoff(st), STATUS.unreachable, "The timing stream broke off", openStream);
      else openStream(ctx);
      return;
    }
    st.failed = false;  // the answer says why
    if (answer.status === 503) {
      let body = null;
      try { body = await answer.json(); } catch { /* the reason is only a nicety */ }
      const crowded = body !== null && typeof body === "object" && body.status === TOO_MANY_VIEWERS;
      retryIn(ctx, retryAfter(answer.headers.get("Retry-After")), crowded ? TOO_MANY_VIEWERS : BUSY,
              crowded ? "Too many viewers" : "The web view is busy", probe);
      return;
    }
    control.abort();
    retryIn(ctx, nextBackoff(st), STATUS.unreachable, "The web view answers " + answer.status, probe);
  } catch {
    st.failed = false;
    retryIn(ctx, nextBackoff(st), STATUS.unreachable, "The web view does not answer", probe);
  } finally {
    clearTimeout(deadline);
  }
}
