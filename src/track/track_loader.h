// The background load of a track's outline: find the track's ".aiw" file,
// read it and build the strips of one TrackGeometry.
//
// Thread-safety: runs on a thread of its own; it touches only the geometry
// and the name it was given (several loads may run at once).
#ifndef PITWALL_TRACK_TRACK_LOADER_H_
#define PITWALL_TRACK_TRACK_LOADER_H_

#include <memory>
#include <string>

#include "track/track_locate.h"

class LogFile;
class TrackGeometry;

// Locates and reads the ".aiw" file for `track_name` into `geometry`.
// Logs "Failed to locate AIW for Track: <name>" or "Error reading AIW file:
// <path>" on failure, with the name's or path's control characters escaped
// (EscapeForLog()); a successful load logs nothing. `log` must outlive the
// call; the geometry is kept alive by the shared pointer. A search given up
// through options.cancel logs nothing.
void AiwLoaderThread(std::shared_ptr<TrackGeometry> geometry, std::string track_name, LogFile* log,
                     TrackSearchOptions options);

#endif  // PITWALL_TRACK_TRACK_LOADER_H_
