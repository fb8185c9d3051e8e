#include "track/track_loader.h"

#include "log/log.h"
#include "track/track_geometry.h"
#include "track/track_locate.h"

void AiwLoaderThread(std::shared_ptr<TrackGeometry> geometry, std::string track_name,
                     LogFile* log, TrackLoadOptions options) {
  AiwPathBuffer path = {};
  bool found;
  if (options.tracks_dir) {
    TrackSearchOptions search;
    search.tracks_dir = *options.tracks_dir;
    search.cancel = options.cancel;
    found = LocateTrackAiw(track_name.c_str(), search, path);
  } else {
    found = LocateTrackAiw(track_name.c_str(), path, options.cancel);
  }
  if (!found) {
    // A search given up for a server stop is not a missing track.
    if (options.cancel == nullptr || !options.cancel->load()) {
      log->Printf("Failed to locate AIW for Track: %s\n", track_name.c_str());
    }
    return;
  }
  if (!geometry->LoadAiw(path)) log->Printf("Error reading AIW file: %s\n", path);
}
