// The live feed: one connection at a time to the PitwallFeed server, polled
// on a schedule. It connects and shakes hands, asks for the session and the
// drivers every second and for live data several times a second, asks again
// at once for what a live answer's change mask says has changed, can fetch
// the track outline, takes the silence of a server as its end, and after a
// failure either ends the run or tries again with a back-off. Each answer
// updates the feed's own TimingState before the user hears of it, so every
// user (tower, dump, web view) reads one state.
//
// Thread-safety: a LiveFeed belongs to one thread. Run() calls every event
// and `should_stop` on the thread that called it; state() and peer() are
// read from that thread too (inside an event, or after Run() returned).
#ifndef PITWALL_TOOLS_CLIENT_LIVE_FEED_H_
#define PITWALL_TOOLS_CLIENT_LIVE_FEED_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pitwall_client.h"
#include "timing_state.h"

// A request polled at its own period besides the three every feed asks for.
struct FeedPoll {
  RequestType type = kHandshakeInfo;
  std::chrono::milliseconds every{1000};
  std::chrono::milliseconds first_after{0};  // after the connection is made
};

// What a failure (no connection, or one that ended) does to the run.
enum class FeedFailure {
  kEndRun,               // the first failure ends it
  kRetryUnlessHopeless,  // a host that does not resolve or a full server ends it
  kRetry,                // every failure is tried again
};

struct LiveFeedOptions {
  std::string host = kDefaultHost;
  std::uint16_t port = kDefaultPort;
  int ports = 1;  // > 1: the server may be on any of that many ports from `port`
  std::chrono::milliseconds live_every{200};
  std::chrono::milliseconds session_every{1000};
  std::chrono::milliseconds drivers_every{1000};
  std::vector<FeedPoll> extra_polls;
  // Fetch the track outline after connecting, again whenever a session
  // answer names another track, and every `track_retry_every` while it
  // does not arrive within `track_timeout_ms`.
  bool want_track = false;
  std::uint32_t track_timeout_ms = 3000;
  std::chrono::milliseconds track_retry_every{10000};
  std::uint32_t handshake_timeout_ms = 3000;
  // No answer for this long ends the connection. Said in whole seconds.
  std::chrono::milliseconds silence_limit{3000};
  FeedFailure on_failure = FeedFailure::kRetry;
  // The wait after a failed connect, doubled after each further one up to
  // `max_retry`, back to `first_retry` once a connection is made.
  std::chrono::milliseconds first_retry{1000};
  std::chrono::milliseconds max_retry{8000};
  // The wait after a connection that was made ended.
  std::chrono::milliseconds reconnect_after{500};
  // The run ends, without an error, at `stop_at` or once `should_stop`
  // returns true; both are looked at at least every 50 ms, except while a
  // connect, a handshake or a track fetch waits.
  std::chrono::steady_clock::time_point stop_at = std::chrono::steady_clock::time_point::max();
  std::function<bool()> should_stop;
  // The league file whose numbers, names and classes the timing state
  // carries (null: none): looked at before each live answer is applied,
  // and taken up again when it changed. Must outlive the feed.
  LeagueWatch* league = nullptr;
};

// The words of FeedStatus::status, as the web view's JSON carries them too
// (its page knows them from www/status.js).
inline constexpr char kStatusConnecting[] = "connecting";
inline constexpr char kStatusLive[] = "live";
inline constexpr char kStatusUnreachable[] = "unreachable";
inline constexpr char kStatusFull[] = "full";

// Where the feed stands, as people are told it.
struct FeedStatus {
  // "connecting" (connected, no live answer yet), "live", "unreachable" (no
  // server, or it went away) or "full" (the server serves as many clients
  // as it may).
  std::string status;
  // "connected to PEER, waiting for live timing", "live timing from PEER",
  // or for a failure the error's message ("the connection ended" when it
  // has none).
  std::string message;
  // For "unreachable" and "full": the failure, whether a connection that
  // was made ended (else a connect failed), whether the run ends with it,
  // and otherwise how long until the next connect.
  ClientError error;
  bool connection_lost = false;
  bool ends_run = false;
  std::chrono::milliseconds retry_in{0};
};

// Each may be empty. They run on Run()'s thread, one at a time.
struct LiveFeedEvents {
  // Each change of status: "connecting" once a connection is made, "live"
  // before the first live answer of each connection is passed on, a
  // failure before the feed waits or returns.
  std::function<void(const FeedStatus& status)> on_status;
  // A connection was made and its handshake admitted us; the timing state
  // starts over.
  std::function<void(const std::string& peer)> on_connected;
  // Every answer, the handshake of each connect included (also that of a
  // full server), after state() has applied it. `received_unix_s` is the
  // time it arrived, in seconds since 1970, as the state was given it.
  std::function<void(const Answer& answer, double received_unix_s)> on_answer;
  // The track outline, each time it was fetched whole.
  std::function<void(const TrackOutline& outline)> on_track;
  // What the league file's watch has to say: read again, or why a changed
  // file was not taken (once for each change).
  std::function<void(const std::string& message)> on_league;
};

class LiveFeed {
 public:
  explicit LiveFeed(LiveFeedOptions options);
  LiveFeed(const LiveFeed&) = delete;
  LiveFeed& operator=(const LiveFeed&) = delete;

  // Connects, polls and reconnects as the options say until the stop time or
  // predicate ends the run (ok), or a failure ends it (that failure, after
  // on_status said it). `events` must outlive the call.
  ClientError Run(const LiveFeedEvents& events);

  // The timing state of the current (or last) connection.
  const TimingState& state() const { return state_; }
  // "HOST:PORT" of the current (or last) connection; empty before the first.
  const std::string& peer() const { return peer_; }

 private:
  // One connection from its handshake on; returns why it ended (ok: stop).
  ClientError Follow(PitwallClient* client, const LiveFeedEvents& events);
  void Take(const Answer& answer, const LiveFeedEvents& events);
  bool StopNow() const;
  // Waits up to `wait`, looking at the stop every slice.
  void Pause(std::chrono::milliseconds wait) const;

  const LiveFeedOptions options_;
  TimingState state_;
  std::string peer_;
};

#endif  // PITWALL_TOOLS_CLIENT_LIVE_FEED_H_
