// The web view's HTTP side: the page and its overlays from the files in
// `www_dir`, and the API that other tools read without the binary protocol:
//   GET /api/state   the timing state (the `pitwall dump --json` object);
//                    503 with the status object until there is one
//   GET /api/track   the outline, {"strips":[{"kind":K,"points":[[x,z],...]}]}; 503 likewise
//   GET /api/status  {"status":"connecting|live|unreachable|full","message":...,"id":N,
//                    "delay_s":S,"kept_s":K}: the delay it is as of (0: now) and
//                    how many seconds back the web view holds (0 to 300)
//   GET /api/events  Server-Sent Events: "status", "track" and "state" events
//                    with the same objects, each with the snapshot's id, so a
//                    browser that reconnects with Last-Event-ID resumes; and
//                    a "race" event for each event of the race story.
//                    With ?changes=1, a whole "state" first and then, for
//                    each next state, a "change" event (state_change.h)
//                    that turns the state before into it; a viewer that
//                    was skipped a state (it read too slowly) or resumed
//                    gets a whole "state" again.
// The four take ?delay=S (seconds, 0 to 300, decimals allowed; anything else
// is 400 {"status":"bad_delay",...}): the web view as it was S seconds ago.
// A delayed stream sends each snapshot S seconds after it was published, at
// the pace it was, on a timer of its own (it plays out the past when the
// plug-in goes quiet). While the web view holds less than S seconds, the
// stream sends {"status":"gathering","message":"delayed 10 s: 4 s still to
// gather",...} and waits; /api/state and /api/track answer 503 with it.
//   GET /api/sessions...  the race history (history_api.h)
//   GET /results     the results page
//
// One event loop serves every connection, so an open event stream costs a
// socket and a few kilobytes, never a thread, and streams can never starve
// the page, the API or the files of capacity. What a client may do is
// bounded:
//   - at most `max_viewers` event streams; one more is answered 503 with
//     Retry-After at once;
//   - at most `max_per_address` connections from one address (one more is
//     answered 503 and closed before anything is read), and
//     `max_viewers` + kSpareConnections in all, past which (or when the
//     system's file handles run out) a newcomer takes the place of the
//     connection that has waited longest for a request;
//   - the request head within `head_deadline` (slow senders are answered
//     408 and closed), at most kMaxHeadBytes (431) and kMaxHeaderFields
//     fields (431); no request body at all (413, before any of it is read);
//   - GET and HEAD only (405); no ranges (every answer is whole);
//   - a Host header that names an address, localhost or an `allow_hosts`
//     name (403 otherwise: a page on the internet cannot reach a bridge on
//     loopback through a name it points there);
//   - the API read only by same-origin pages unless `allow_origin` is set.
// An event stream whose viewer stops reading is closed after
// `stream_stall`, and its capacity given back.
//
// Thread-safety: Listen, then Serve on one thread; Stop from any thread, at
// any time, also before Serve.
#ifndef PITWALL_TOOLS_WEB_WEB_SERVER_H_
#define PITWALL_TOOLS_WEB_WEB_SERVER_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class WebBridge;

// The status of a delayed stream that waits for the web view to hold its
// delay (the feed's own status words are in tools/client/live_feed.h).
inline constexpr char kStatusGathering[] = "gathering";

struct WebServerOptions {
  std::string www_dir{};                   // the page's files: index.html and what it loads
  int max_viewers = 200;                   // event streams at once
  int max_per_address = 64;                // connections at once from one client address
  std::string allow_origin{};              // "" same-origin only; "*" any; else one origin
  std::vector<std::string> allow_hosts{};  // host names accepted besides addresses and localhost
  std::chrono::milliseconds head_deadline{10000};  // for a whole request head, idle included
  std::chrono::milliseconds stream_stall{15000};   // an event write that takes longer ends it
  std::string db_path{};  // the race history to serve (history_api.h); empty: none
};

class WebServer {
 public:
  // Connections beyond `max_viewers` that may be open at once: page loads,
  // API reads, files.
  static constexpr int kSpareConnections = 1024;
  static constexpr std::size_t kMaxHeadBytes = 16 * 1024;
  static constexpr std::size_t kMaxHeaderFields = 100;
  static constexpr int kRetryAfterS = 5;  // what a viewer over the limit is told

  // `bridge` must outlive the server.
  WebServer(WebBridge* bridge, WebServerOptions options);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Binds `address` (dotted IPv4) and `port` (0: any free one). A port that
  // another listener holds, this program's own included, is refused. False
  // with *error set.
  bool Listen(const std::string& address, std::uint16_t port, std::string* error);
  std::uint16_t port() const;
  // Serves until Stop.
  void Serve();
  void Stop();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

#endif  // PITWALL_TOOLS_WEB_WEB_SERVER_H_
