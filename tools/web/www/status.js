// The words the web view's status events carry: the bridge's own
// (connecting, live, unreachable, full) and the delayed stream's
// (gathering: it waits until it holds its delay of the race). The C++ side
// spells the same words as kStatus... constants in tools/client/live_feed.h
// and tools/web/web_server.h; tests/web/status_words_test.mjs holds the two
// lists to each other.
export const STATUS = Object.freeze({
  connecting: "connecting",
  live: "live",
  unreachable: "unreachable",
  full: "full",
  gathering: "gathering",
});
