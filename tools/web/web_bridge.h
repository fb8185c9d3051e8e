// The web view's one connection to the plug-in: a thread that connects,
// fetches the track outline, polls the session, drivers and live data, keeps
// the timing state and publishes each update as a numbered snapshot that any
// number of viewers read. It reconnects by itself (the plug-in went away, or
// was full) and says why it is not live.
//
// It also keeps the recent past: every snapshot of the last kDelayKeptS
// seconds with the time it was published, within a byte budget, so that a
// viewer watching beside a delayed video stream can be shown the race as it
// was some seconds ago. Snapshots are shared and immutable, so keeping one
// costs its own bytes only (the outline and the race story's events are
// shared between the snapshots that carry the same ones).
//
// Thread-safety: Start and Stop from one thread; every other member from any
// number of threads.
#ifndef PITWALL_TOOLS_WEB_WEB_BRIDGE_H_
#define PITWALL_TOOLS_WEB_WEB_BRIDGE_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/mutex.h"
#include "tools/client/live_feed.h"
#include "tools/web/state_change.h"

class LeagueWatch;
class RaceRecorder;

// One event of the race story as the live stream sends it.
struct RaceEventText {
  std::int64_t id = 0;  // the history's event id: grows with each event
  std::string json;     // the event object with its "session_id"
};

// What a viewer is sent. Snapshots are immutable once published.
struct BridgeSnapshot {
  std::uint64_t id = 0;  // grows by one with each publication; 0: nothing yet
  // "connecting", "live", "unreachable" (no server or it went away) or
  // "full" (the server serves as many clients as it may).
  std::string status = kStatusConnecting;
  std::string message;     // a sentence for people, e.g. why it is unreachable
  std::string state_json;  // the timing state (the `pitwall dump --json` object); empty before
  // The publication that last changed state_json (0: none yet).
  std::uint64_t state_id = 0;
  // What changed from the state of publication `change_base` to this one's
  // (state_change.h), for viewers that hold that one; empty when this
  // publication did not change the state, it was the first, or a change
  // cannot say it.
  std::string change_json;
  std::uint64_t change_base = 0;
  // {"strips":[{"kind":1,"points":[[x,z],...]},...]}, shared by the
  // snapshots that carry the same outline; null before.
  std::shared_ptr<const std::string> track_json;
  std::string status_json;  // {"status":...,"message":...,"id":N}
  // The race story's latest events, oldest first, at most kRaceEventsKept;
  // null before the first.
  std::shared_ptr<const std::vector<RaceEventText>> race_events;
  // What the recorder last said: the session it records, or why it stopped.
  std::string history_message;
};

// A kept snapshot and when it was published, on the bridge's clock.
struct KeptSnapshot {
  std::shared_ptr<const BridgeSnapshot> snapshot;  // null: none
  std::chrono::steady_clock::time_point published{};
};

// How much of the past the bridge holds.
struct KeptPast {
  std::size_t snapshots = 0;
  std::size_t bytes = 0;  // as counted against the budget
  // The oldest kept snapshot's publication.
  std::chrono::steady_clock::time_point oldest{};
  // The byte budget, not the time, dropped the last snapshot that went.
  bool memory_bound = false;
};

struct WebBridgeOptions {
  // What the kept snapshots' text may take, counted as their JSON and
  // messages (an outline or a list of race events once, with the first
  // snapshot that carries it). Past it the oldest go first.
  std::size_t kept_bytes = std::size_t{256} << 20;
  // The time of each publication; empty: std::chrono::steady_clock::now.
  // It must never go back.
  std::function<std::chrono::steady_clock::time_point()> clock;
};

class WebBridge {
 public:
  static constexpr std::size_t kRaceEventsKept = 64;
  // How far back snapshots are kept (a snapshot older than this stays while
  // it is the one that was current this long ago).
  static constexpr int kDelayKeptS = 300;

  // `ports` > 1: the server may be on any of that many ports from `port`.
  // `recorder` (may be null) is given every timing state on the bridge's
  // thread and must outlive it. `league` (may be null) is the league file
  // the timing state takes its classes from, looked at on the bridge's
  // thread, which calls `on_league` (may be empty) with what it says.
  WebBridge(std::string host, std::uint16_t port, int ports = 1, RaceRecorder* recorder = nullptr,
            LeagueWatch* league = nullptr,
            std::function<void(const std::string&)> on_league = nullptr,
            WebBridgeOptions options = {});
  ~WebBridge();  // stops

  void Start();
  // Ends the thread and wakes every waiting viewer.
  void Stop();

  std::shared_ptr<const BridgeSnapshot> Latest() const;
  // Waits up to `timeout_ms` for a snapshot newer than `id`; the latest
  // either way (null never). Returns early, with the latest, once stopped.
  std::shared_ptr<const BridgeSnapshot> WaitNewer(std::uint64_t id, std::uint32_t timeout_ms) const;
  bool stopped() const;
  // Called on the bridge's thread after every publication, until replaced
  // (null: nothing). Returns only when no call of the one it replaces runs
  // any more, so its owner may go once it has replaced it.
  void SetOnPublish(std::function<void()> on_publish);

  // Publishes `content` as the next snapshot, as the bridge's thread does
  // with each update of the plug-in (its id, status_json, state_id and
  // change are made here):
  // for a bridge that is not started, fed by a replay or a test.
  void PublishContent(BridgeSnapshot content);

  // The bridge's clock, which stamps every publication.
  std::chrono::steady_clock::time_point Now() const;
  // The newest kept snapshot published at or before `t`; a null snapshot
  // when none that old is kept.
  KeptSnapshot AsOf(std::chrono::steady_clock::time_point t) const;
  // The kept snapshot published next after snapshot `id` (the oldest kept,
  // when those right after it have gone); a null snapshot when none newer
  // is kept.
  KeptSnapshot After(std::uint64_t id) const;
  KeptPast Past() const;
  // How many seconds back the kept snapshots reach now, 0 to kDelayKeptS.
  double KeptSeconds() const;

 private:
  struct Kept {
    KeptSnapshot kept;
    std::size_t bytes = 0;
  };

  void Run();
  // Publishes a copy of the latest snapshot changed by `change`.
  template <typename Change>
  void Publish(Change change);
  // Keeps the newest snapshot, and lets go of those too old and of the
  // oldest past the byte budget.
  void Keep(std::shared_ptr<const BridgeSnapshot> next, const BridgeSnapshot* before)
      EXCLUSIVE_LOCKS_REQUIRED(mu_);

  const std::string host_;
  const std::uint16_t port_;
  const int ports_;
  RaceRecorder* const recorder_;
  LeagueWatch* const league_;
  const std::function<void(const std::string&)> on_league_;
  const std::size_t kept_bytes_;
  const std::function<std::chrono::steady_clock::time_point()> clock_;
  mutable Mutex mu_;
  mutable CondVar changed_;  // a new snapshot, or the stop
  std::shared_ptr<const BridgeSnapshot> latest_ GUARDED_BY(mu_);
  // Every snapshot since the oldest kept, in order (so ids grow by one
  // along it); the latest last. Never empty.
  std::deque<Kept> past_ GUARDED_BY(mu_);
  std::size_t past_bytes_ GUARDED_BY(mu_) = 0;
  bool memory_bound_ GUARDED_BY(mu_) = false;
  bool stop_ GUARDED_BY(mu_) = false;
  // The publishing thread's own: the latest state read for making the next
  // change, and the snapshot whose text it refers to.
  std::shared_ptr<const BridgeSnapshot> tree_of_;
  StateTree tree_;
  Mutex on_publish_mu_;  // held while the callback runs
  std::function<void()> on_publish_ GUARDED_BY(on_publish_mu_);
  std::thread thread_;
};

#endif  // PITWALL_TOOLS_WEB_WEB_BRIDGE_H_
