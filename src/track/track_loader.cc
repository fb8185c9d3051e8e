#include "track/track_loader.h"

#include "log/log.h"
#include "track/track_geometry.h"

void AiwLoaderThread(std::shared_ptr<TrackGeometry> geometry, std::string track_name, LogFile* log,
                     TrackSearchOptions options) {
  AiwPathBuffer path = {};
  const bool found = LocateTrackAiw(track_name.c_str(), options, path);
  if (!found) {
    // A search given up for a server stop is not a missing track.
    if (options.cancel == nullptr || !options.cancel->load()) {
      char shown[kMaxEscapedText];
      EscapeForLog(track_name.c_str(), shown, sizeof(shown));
      log->Printf("Failed to locate AIW for Track: %s\n", shown);
    }
    return;
  }
  if (!geometry->LoadAiw(path)) {
    // Names in the host's tree may hold any byte but the separator.
    char shown[kMaxEscapedText];
    EscapeForLog(path, shown, sizeof(shown));
    log->Printf("Error reading AIW file: %s\n", shown);
  }
}
