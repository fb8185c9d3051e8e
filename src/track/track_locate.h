// Finding a track's AI waypoint file (".aiw") from the name the host
// simulator reports for the track.
//
// The host keeps its tracks in a tree whose root the "TracksDir" line of the
// "[COMPONENTS]" section of its Config.ini names (by default
// "GameData\Locations", relative to the working directory). Each track has a
// ".gdb" file whose first "TrackName" line names it, with its ".aiw" file
// beside it under the same name. The search walks the tree depth first: a
// directory's own ".gdb" files, in listing order, before its
// sub-directories; the first ".gdb" file that names the track and has an
// ".aiw" file beside it wins.
//
// The host's files write paths with backslashes; they are turned into native
// paths before use, and paths are joined with the native separator. On a file
// system that tells letter case apart, an ".aiw" file whose name differs from
// its ".gdb" file's only in case (TRACK.AIW beside Track.gdb) still counts.
//
// Nothing here logs; callers report the outcome.
//
// Thread-safety: any number of searches may run at once on different
// threads; each keeps its state in its own call. The only process-wide value
// is the tracks directory, read once (see GetTracksDir()).
#ifndef PITWALL_TRACK_TRACK_LOCATE_H_
#define PITWALL_TRACK_TRACK_LOCATE_H_

#include <atomic>
#include <optional>
#include <string>

// A found path holds at most kAiwPathSize - 1 characters.
inline constexpr int kAiwPathSize = 512;
using AiwPathBuffer = char[kAiwPathSize];

// The tracks directory when Config.ini gives none, as the host writes it.
inline constexpr char kDefaultTracksDir[] = "GameData\\Locations";
// Where the host keeps its configuration: the working directory.
inline constexpr char kHostConfigFile[] = "Config.ini";

// Where a search starts and how it can be stopped.
struct TrackSearchOptions {
  // The tracks directory, as the host writes it (backslashes allowed); none:
  // GetTracksDir().
  std::optional<std::string> tracks_dir;
  // Gives up the search when it reads true; checked between directory
  // entries. May be null; must outlive the search.
  const std::atomic<bool>* cancel = nullptr;
};

// Finds the ".aiw" file of the track named `track_name` (null reads as the
// empty name, which every "TrackName" value matches). Returns true with its
// path in `aiw_path`; false with `aiw_path` holding the empty text when there
// is none, the search was cancelled, or memory ran out. A path longer than
// kAiwPathSize - 1 characters counts as not found. Never throws.
bool LocateTrackAiw(const char* track_name, const TrackSearchOptions& options,
                    AiwPathBuffer& aiw_path);

// The tracks directory, as the host writes it (backslashes). The first call
// in the process reads kHostConfigFile in the working directory with
// ReadTracksDir(); when that gives nothing, the value is kDefaultTracksDir.
// Later calls, and calls that overlap the first, return that same value:
// a Config.ini changed later has no effect. Never null; thread-safe.
const char* GetTracksDir();

// Reads the tracks directory from the Config.ini at `config_path`: the value
// of the first content line beginning with "TracksDir" after the line
// beginning with "[COMPONENTS]" (both without regard to letter case; the scan
// runs on through later sections). Returns true and stores the value, blanks
// after it included, in *tracks_dir; false, *tracks_dir unchanged, when the
// file cannot be opened or gives no non-empty value.
bool ReadTracksDir(const std::string& config_path, std::string* tracks_dir);

#endif  // PITWALL_TRACK_TRACK_LOCATE_H_
