// The web view's one connection to the plug-in: a thread that connects,
// fetches the track outline, polls the session, drivers and live data, keeps
// the timing state and publishes each update as a numbered snapshot that any
// number of viewers read. It reconnects by itself (the plug-in went away, or
// was full) and says why it is not live.
//
// Thread-safety: Start and Stop from one thread; Latest, WaitNewer and
// SetOnPublish from any number of threads.
#ifndef PITWALL_TOOLS_WEB_WEB_BRIDGE_H_
#define PITWALL_TOOLS_WEB_WEB_BRIDGE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/mutex.h"

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
  std::string status = "connecting";
  std::string message;      // a sentence for people, e.g. why it is unreachable
  std::string state_json;   // the timing state (the `pitwall dump --json` object); empty before
  std::string track_json;   // {"strips":[{"kind":1,"points":[[x,z],...]},...]}; empty before
  std::string status_json;  // {"status":...,"message":...,"id":N}
  // The race story's latest events, oldest first, at most kRaceEventsKept;
  // null before the first.
  std::shared_ptr<const std::vector<RaceEventText>> race_events;
  // What the recorder last said: the session it records, or why it stopped.
  std::string history_message;
};

class WebBridge {
 public:
  static constexpr std::size_t kRaceEventsKept = 64;

  // `ports` > 1: the server may be on any of that many ports from `port`.
  // `recorder` (may be null) is given every timing state on the bridge's
  // thread and must outlive it. `league` (may be null) is the league file
  // the timing state takes its classes from, looked at on the bridge's
  // thread, which calls `on_league` (may be empty) with what it says.
  WebBridge(std::string host, std::uint16_t port, int ports = 1, RaceRecorder* recorder = nullptr,
            LeagueWatch* league = nullptr,
            std::function<void(const std::string&)> on_league = nullptr);
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

 private:
  void Run();
  // Publishes a copy of the latest snapshot changed by `change`.
  template <typename Change>
  void Publish(Change change);

  const std::string host_;
  const std::uint16_t port_;
  const int ports_;
  RaceRecorder* const recorder_;
  LeagueWatch* const league_;
  const std::function<void(const std::string&)> on_league_;
  mutable Mutex mu_;
  mutable CondVar changed_;  // a new snapshot, or the stop
  std::shared_ptr<const BridgeSnapshot> latest_ GUARDED_BY(mu_);
  bool stop_ GUARDED_BY(mu_) = false;
  Mutex on_publish_mu_;  // held while the callback runs
  std::function<void()> on_publish_ GUARDED_BY(on_publish_mu_);
  std::thread thread_;
};

#endif  // PITWALL_TOOLS_WEB_WEB_BRIDGE_H_
