// delay=S: a badge says the race is shown S seconds late ("Delayed 10 s"),
// on the page in the session bar, in an overlay small in a corner (not with
// status=hide). Until the web view holds S seconds of the race (the status
// object's kept_s short of its delay_s) the stream sends nothing newer, and
// the badge counts down to the start. A web view that sends no delay_s
// cannot delay: the badge says the race is live instead.
//
// The badge's bookkeeping is the page's live.delay: {wait ({left_s, at}:
// seconds to wait as of `at`, while waiting, else null), timer (the
// countdown's interval, 0 when none), refused (the web view does not
// delay)}; live.streamState says the open stream has sent a state.
import { known } from "./format.js";

function delaySeconds(delay) {
  return Number.isInteger(delay) ? String(delay) : delay.toFixed(1).replace(/\.0$/, "");
}

// The badge's text for `delay` (the bookkeeping above) into `badge`.
function drawDelay(badge, options, delay, streamState) {
  if (options.delay === 0 || options.status === "hide") return;
  badge.hidden = false;
  badge.classList.toggle("refused", delay.refused);
  let text = "Delayed " + delaySeconds(options.delay) + " s";
  if (delay.refused) text = "Live: this web view cannot delay";
  else if (delay.wait !== null && !streamState) {
    const left = Math.max(1, Math.ceil(delay.wait.left_s - (performance.now() - delay.wait.at) / 1000));
    text += " \u2014 starting in " + left + " s";
  }
  if (badge.textContent !== text) badge.textContent = text;
}

export function showDelay(ctx) {
  drawDelay(ctx.dom.delayBadge, ctx.options, ctx.live.delay, ctx.live.streamState);
}

// What a status event `s` says of the delay: how long until the stream
// starts, or that the web view cannot delay.
export function takeDelayStatus(ctx, s) {
  const { options, live } = ctx;
  const delay = live.delay;
  if (options.delay === 0) return;
  if (!known(s.delay_s)) {
    if (!delay.refused) console.warn(`pitwall: the web view sends no delay_s; delay=${options.delay} is not applied`);
    delay.refused = true;
  } else {
    delay.refused = false;
    delay.wait = known(s.kept_s) && s.kept_s < s.delay_s ? { left_s: s.delay_s - s.kept_s, at: performance.now() } : null;
  }
  clearInterval(delay.timer);
  delay.timer = delay.wait !== null && !live.streamState ? setInterval(() => showDelay(ctx), 1000) : 0;
  showDelay(ctx);
}

// The stream's first state: the countdown ends.
export function stopDelayCountdown(ctx) {
  const delay = ctx.live.delay;
  if (delay.timer !== 0) { clearInterval(delay.timer); delay.timer = 0; }
}
