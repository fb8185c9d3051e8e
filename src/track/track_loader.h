// The background load of a track's outline: find the track's ".aiw" file,
// read it and build the strips of one TrackGeometry.
//
// Thread-safety: runs on a thread of its own; it touches only the geometry
// and the name it was given (several loads may run at once).
#ifndef PITWALL_TRACK_TRACK_LOADER_H_
#define PITWALL_TRACK_TRACK_LOADER_H_

#include <atomic>
#include <memory>
#include <optional>
#include <string>

class LogFile;
class TrackGeometry;

struct TrackLoadOptions {
  // The tracks directory to search; none: the one the host's Config.ini
  // names (read once per process).
  std::optional<std::string> tracks_dir;
  // Set to make a running search give up early; may be null.
  const std::atomic<bool>* cancel = nullptr;
};

// Locates and reads the ".aiw" file for `track_name` into `geometry`.
// Logs "Failed to locate AIW for Track: <name>" or "Error reading AIW file:
// <path>" on failure; a successful load logs nothing. `log` must outlive the
// call; the geometry is kept alive by the shared pointer.
void AiwLoaderThread(std::shared_ptr<TrackGeometry> geometry, std::string track_name,
                     LogFile* log, TrackLoadOptions options);

#endif  // PITWALL_TRACK_TRACK_LOADER_H_
