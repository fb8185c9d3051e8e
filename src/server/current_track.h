// The current track's outline and the loads that fill outlines.
//
// The host's thread names the track of each session (OnSessionTrack); a new
// name makes a new TrackGeometry current and starts its AiwLoaderThread.
// Client threads take the current geometry when it is loaded
// (LoadedGeometry); the shared pointer keeps it alive and unchanged while
// they read it, even if the host replaces it meanwhile. A replaced geometry
// may finish loading; no client sees it then.
//
// Thread-safety: OnSessionTrack() and Stop() on the host's thread;
// LoadedGeometry() from any thread. The host's thread only waits for the
// short copy of a shared pointer, never for a load.
#ifndef PITWALL_SERVER_CURRENT_TRACK_H_
#define PITWALL_SERVER_CURRENT_TRACK_H_

#include <atomic>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include "platform/mutex.h"
#include "platform/thread.h"

class LogFile;
class TrackGeometry;

class CurrentTrack {
 public:
  // `log` must outlive this object. `tracks_dir`: where to search; none:
  // the directory the host's Config.ini names.
  explicit CurrentTrack(LogFile* log, std::optional<std::string> tracks_dir = std::nullopt);
  ~CurrentTrack() { Stop(); }
  CurrentTrack(const CurrentTrack&) = delete;
  CurrentTrack& operator=(const CurrentTrack&) = delete;

  // `track_name`: the session block's 64-byte field (text up to its first
  // NUL). Keeps the current geometry when its name is the same; otherwise
  // replaces it by a new one and starts a load for it. Returns whether a
  // load was started.
  bool OnSessionTrack(const char (&track_name)[64]) LOCKS_EXCLUDED(mu_, loaders_mu_);

  // The current geometry if it is loaded, else null.
  std::shared_ptr<const TrackGeometry> LoadedGeometry() const LOCKS_EXCLUDED(mu_);

  // Drops the current geometry, makes running loads give up and waits for
  // every load thread to end. Idempotent.
  void Stop() LOCKS_EXCLUDED(mu_, loaders_mu_);

  // Load threads not yet joined, for tests.
  int loader_threads() const LOCKS_EXCLUDED(loaders_mu_);
  // True while a load thread has not yet finished its work.
  bool loading() const LOCKS_EXCLUDED(loaders_mu_);

 private:
  struct Loader {
    Thread thread;
    std::atomic<bool> done{false};
  };
  // Joins load threads that have ended.
  void ReapLoaders() LOCKS_EXCLUDED(loaders_mu_);

  LogFile* const log_;
  const std::optional<std::string> tracks_dir_;
  std::atomic<bool> cancel_{false};  // Set once, by Stop().

  mutable Mutex mu_;  // Guards current_: held only to copy or swap the pointer.
  std::shared_ptr<TrackGeometry> current_ GUARDED_BY(mu_);

  mutable Mutex loaders_mu_;
  std::list<std::unique_ptr<Loader>> loaders_ GUARDED_BY(loaders_mu_);
};

#endif  // PITWALL_SERVER_CURRENT_TRACK_H_
