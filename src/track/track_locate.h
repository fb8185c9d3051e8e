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
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "track/text_lines.h"

// A found path holds at most kAiwPathSize - 1 characters.
inline constexpr int kAiwPathSize = 512;
using AiwPathBuffer = char[kAiwPathSize];

// The tracks directory when Config.ini gives none, as the host writes it.
inline constexpr char kDefaultTracksDir[] = "GameData\\Locations";
// Where the host keeps its configuration: the working directory.
inline constexpr char kHostConfigFile[] = "Config.ini";

// A heap copy of a text, or none. Move-only.
class VexString final {
 public:
  // Copies `text`; holds none when `text` is null or empty, or when memory
  // runs out.
  explicit VexString(const char* text);
  VexString(VexString&&) noexcept = default;
  VexString& operator=(VexString&&) noexcept = default;

  // The copy, or null when there is none.
  const char* text() const { return text_.get(); }

 private:
  std::unique_ptr<char[]> text_;
};

// A list of VexString in the order they were added, with a read cursor.
class VexStringArray final {
 public:
  VexStringArray() = default;
  VexStringArray(const VexStringArray&) = delete;
  VexStringArray& operator=(const VexStringArray&) = delete;

  // Appends a copy of `text`. Returns false, with the list unchanged, when
  // memory runs out.
  bool Add(const char* text);
  // Makes Next() start from the first item again.
  void Rewind() { cursor_ = 0; }
  // The text of the item at the cursor, moving the cursor on; null at the
  // end of the list, and for an item that holds no text.
  const char* Next();
  int count() const { return static_cast<int>(items_.size()); }

 private:
  std::vector<VexString> items_;
  int cursor_ = 0;
};

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

// Rewinds `file`, finds the line beginning with "[" section "]" and after it
// the first content line beginning with `key`, and takes that line's value
// with GetLineValue(). Returns true when a value was found; *value is changed
// only then.
bool ReadIniValue(std::FILE* file, const char* section, const char* key, std::string* value);

// Scans `file` onwards from its position for the first content line that,
// after its blanks, begins with `text` (after the blanks of `text`), letter
// case ignored. Returns true when found, copying the whole line (leading
// blanks included) to *matched_line if it is not null; false when `text` is
// null or empty or the file ends first.
bool FindLine(const char* text, std::FILE* file, LineBuffer* matched_line);

// The text after the first "=" of `line`, less its leading blanks (trailing
// blanks kept). Returns false, *value unchanged, when there is no "=" or
// nothing after it.
bool GetLineValue(const char* line, std::string* value);

// The state of one search; belongs to one LocateTrackAiw() call.
struct TrackSearch {
  const char* wanted = "";            // The track name looked for. Borrowed.
  AiwPathBuffer* aiw_path = nullptr;  // Receives the found path. Borrowed.
  bool found = false;
  // Gives up the search when it reads true; checked between directory
  // entries. May be null. Borrowed.
  const std::atomic<bool>* cancel = nullptr;
  // Directories already entered, so that a link back to one of them (an
  // ancestor, say) does not make the search run without end.
  std::set<DirectoryId> entered;
};

// Searches `directory` (a native path) and the tree below it. Returns true
// when the ".aiw" file was found; it is then in *search->aiw_path and
// search->found is set. False when it is not found below, the directory
// cannot be listed or was entered before, the search was cancelled, or
// memory runs out. A found path longer than kAiwPathSize - 1 characters
// counts as not found, and a sub-directory whose path leaves no room for an
// ".aiw" file below it within that length is not entered.
bool SearchTrackDir(const std::string& directory, TrackSearch* search);

// Adds `name`, an entry of `directory`, to *sub_directories when it is a
// directory other than "." and "..", to nothing when it is "." or "..", and
// otherwise (an entry whose status cannot be read included) to *files.
// Returns false when memory runs out.
bool SortDirEntry(const std::string& directory, const char* name, VexStringArray* sub_directories,
                  VexStringArray* files);

// True when the status of `path` can be read and says directory.
bool IsDirectory(const std::string& path);

// True when the ".gdb" file at `path` opens and TrackNameMatches() holds.
bool GdbMatchesTrack(const std::string& path, const char* wanted);

// Reads `file` from its position to its first key=value line whose key
// begins with "TrackName" (letter case ignored): true when that line's value
// (after its blanks) begins with `wanted`, compared byte for byte. False when
// it does not, or when the file has no such line.
bool TrackNameMatches(std::FILE* file, const char* wanted);

// True when `path` names a file that can be opened for reading.
bool FileExists(const std::string& path);

// Where a search starts and how it can be stopped.
struct TrackSearchOptions {
  // The tracks directory, backslashes allowed. Borrowed for the call.
  std::string_view tracks_dir = kDefaultTracksDir;
  // As TrackSearch::cancel.
  const std::atomic<bool>* cancel = nullptr;
};

// Finds the ".aiw" file of the track named `track_name` (null reads as the
// empty name, which every "TrackName" value matches) below
// options.tracks_dir. Returns true with its path in `aiw_path`; false with
// `aiw_path` holding the empty text when there is none, the search was
// cancelled, or memory ran out.
bool LocateTrackAiw(const char* track_name, const TrackSearchOptions& options,
                    AiwPathBuffer& aiw_path);

// As above, below GetTracksDir().
bool LocateTrackAiw(const char* track_name, AiwPathBuffer& aiw_path,
                    const std::atomic<bool>* cancel = nullptr);

#endif  // PITWALL_TRACK_TRACK_LOCATE_H_
