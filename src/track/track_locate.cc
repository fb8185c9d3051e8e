#include "track/track_locate.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ascii.h"
#include "platform/files.h"
#include "track/text_lines.h"

namespace {

constexpr char kComponentsSection[] = "COMPONENTS";
constexpr char kTracksDirKey[] = "TracksDir";
constexpr char kTrackNameKey[] = "TrackName";
constexpr char kGdbExtension[] = ".gdb";
constexpr char kAiwExtension[] = ".aiw";
constexpr std::size_t kExtensionLength = 4;
// The shortest tail an ".aiw" path can have below a directory: a separator
// and "x.aiw" (a ".gdb" name needs more than its extension).
constexpr std::size_t kShortestAiwTail = 1 + 1 + kExtensionLength;

// A heap copy of a text, or none. Move-only.
class VexString final {
 public:
  // Copies `text`; holds none when `text` is null or empty, or when memory
  // runs out.
  explicit VexString(const char* text) {
    if (text == nullptr || text[0] == '\0') return;
    const std::size_t size = std::strlen(text) + 1;
    text_.reset(new (std::nothrow) char[size]);
    if (text_) std::memcpy(text_.get(), text, size);
  }
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
  bool Add(const char* text) {
    VexString item(text);
    if (item.text() == nullptr && text != nullptr && text[0] != '\0') return false;
    try {
      items_.push_back(std::move(item));
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }
  // Makes Next() start from the first item again.
  void Rewind() { cursor_ = 0; }
  // The text of the item at the cursor, moving the cursor on; null at the
  // end of the list, and for an item that holds no text.
  const char* Next() {
    if (cursor_ < 0 || cursor_ >= static_cast<int>(items_.size())) return nullptr;
    return items_[static_cast<std::size_t>(cursor_++)].text();
  }

 private:
  std::vector<VexString> items_;
  int cursor_ = 0;
};

// The state of one search; belongs to one LocateTrackAiw() call.
struct TrackSearch {
  const char* wanted = "";            // The track name looked for. Borrowed.
  AiwPathBuffer* aiw_path = nullptr;  // Receives the found path. Borrowed.
  bool found = false;
  const std::atomic<bool>* cancel = nullptr;  // As TrackSearchOptions::cancel.
  // Directories already entered, so that a link back to one of them (an
  // ancestor, say) does not make the search run without end.
  std::set<DirectoryId> entered;
};

bool Cancelled(const TrackSearch& search) {
  // Relaxed: the flag only asks the search to stop; it guards no data.
  return search.cancel != nullptr && search.cancel->load(std::memory_order_relaxed);
}

// Scans `file` onwards from its position for the first content line that,
// after its blanks, begins with `text`, letter case ignored; the same scan as
// for a section header, handing the line back.
bool FindLine(const char* text, std::FILE* file, LineBuffer* matched_line) {
  return FindSection(text, file, matched_line);
}

// The value of `line` (see LineValue()); *value is changed only when there
// is one.
bool GetLineValue(const char* line, std::string* value) {
  const char* text = LineValue(line);
  if (text == nullptr) return false;
  value->assign(text);
  return true;
}

// Rewinds `file`, finds the line beginning with "[" section "]" and after it
// the first content line beginning with `key` (the scan runs on through later
// sections), and takes that line's value. *value is changed only when one
// was found.
bool ReadIniValue(std::FILE* file, const char* section, const char* key, std::string* value) {
  std::rewind(file);
  const std::string header = std::string("[") + section + "]";
  if (!FindLine(header.c_str(), file, nullptr)) return false;
  LineBuffer line;
  if (!FindLine(key, file, &line)) return false;
  return GetLineValue(line, value);
}

bool IsDirectory(const std::string& path) { return IsDirectoryPath(path); }

bool FileExists(const std::string& path) { return CanOpenForReading(path); }

// Reads `file` to its first key=value line whose key begins with
// "TrackName" (letter case ignored): true when that line's value begins with
// `wanted`, compared byte for byte, letter case included.
bool TrackNameMatches(std::FILE* file, const char* wanted) {
  LineBuffer line;
  KeyBuffer key;
  while (ReadKeyLine(file, line, key)) {
    if (!StartsWithIgnoringCase(key, kTrackNameKey)) continue;
    // SplitKey() saw the "=", so the value is there, perhaps empty.
    const char* value = SkipBlanks(FindChar(line, '=') + 1);
    return std::strncmp(value, wanted, std::strlen(wanted)) == 0;
  }
  return false;
}

bool GdbMatchesTrack(const std::string& path, const char* wanted) {
  UniqueFile file = OpenForReading(path.c_str());
  return file != nullptr && TrackNameMatches(file.get(), wanted);
}

bool HasGdbExtension(std::string_view name) {
  return name.size() > kExtensionLength &&
         EqualsIgnoringCase(name.substr(name.size() - kExtensionLength), kGdbExtension);
}

// Adds `name`, an entry of `directory`, to *sub_directories when it is a
// directory other than "." and "..", to nothing when it is "." or "..", and
// otherwise (an entry whose status cannot be read included) to *files.
// Returns false when memory runs out.
bool SortDirEntry(const std::string& directory, const char* name, VexStringArray* sub_directories,
                  VexStringArray* files) {
  if (IsDirectory(JoinPath(directory, name))) {
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return true;
    return sub_directories->Add(name);
  }
  return files->Add(name);
}

// Tries the ".gdb" file `name` of `directory`: on a match with an ".aiw" file
// beside it that fits the output, stores the path and sets the found flag.
// On a file system that tells letter case apart, an ".aiw" file whose name
// differs only in case still counts.
void TryGdbFile(const std::string& directory, const char* name, TrackSearch* search) {
  const std::string gdb_path = JoinPath(directory, name);
  if (!GdbMatchesTrack(gdb_path, search->wanted)) return;
  std::string aiw_path = gdb_path.substr(0, gdb_path.size() - kExtensionLength) + kAiwExtension;
  if (!FileExists(aiw_path)) {
    const std::string aiw_name =
        std::string(name, std::strlen(name) - kExtensionLength) + kAiwExtension;
    if (!FindFileIgnoringCase(directory, aiw_name, &aiw_path)) return;
  }
  // A cut path would name some other file, so a path that does not fit is
  // passed over like a missing one.
  if (aiw_path.size() >= static_cast<std::size_t>(kAiwPathSize)) return;
  std::memcpy(*search->aiw_path, aiw_path.c_str(), aiw_path.size() + 1);
  search->found = true;
}

// Searches `directory` (a native path) and the tree below it, depth first: its
// own ".gdb" files in listing order, then its sub-directories. True when the
// ".aiw" file was found. False when it is not below, the directory cannot be
// listed or was entered before, the search was cancelled, or memory runs out.
// A sub-directory whose path leaves no room for an ".aiw" file below it within
// kAiwPathSize - 1 characters is not entered.
bool SearchTrackDir(const std::string& directory, TrackSearch* search) {
  if (Cancelled(*search)) return false;
  DirectoryId id;
  if (GetDirectoryId(directory, &id) && !search->entered.insert(id).second) return false;
  std::vector<std::string> names;
  if (!ListDirectory(directory, &names)) return false;

  VexStringArray sub_directories;
  VexStringArray files;
  for (const std::string& name : names) {
    if (Cancelled(*search)) return false;
    if (!SortDirEntry(directory, name.c_str(), &sub_directories, &files)) return false;
  }

  files.Rewind();
  for (const char* name = files.Next(); name != nullptr; name = files.Next()) {
    if (Cancelled(*search)) return false;
    if (!HasGdbExtension(name)) continue;
    TryGdbFile(directory, name, search);
    if (search->found) return true;
  }

  sub_directories.Rewind();
  for (const char* name = sub_directories.Next(); name != nullptr; name = sub_directories.Next()) {
    if (Cancelled(*search)) return false;
    const std::string path = JoinPath(directory, name);
    // Nothing below could be reported; this also bounds the recursion depth.
    if (path.size() + kShortestAiwTail >= static_cast<std::size_t>(kAiwPathSize)) continue;
    if (SearchTrackDir(path, search)) return true;
  }
  return false;
}

}  // namespace

const char* GetTracksDir() {
  static std::once_flag once;
  static LineBuffer tracks_dir;
  std::call_once(once, [] {
    std::memcpy(tracks_dir, kDefaultTracksDir, sizeof(kDefaultTracksDir));
    try {
      std::string value;
      // The value comes from one line, so it always fits.
      if (ReadTracksDir(kHostConfigFile, &value) && value.size() < sizeof(tracks_dir)) {
        std::memcpy(tracks_dir, value.c_str(), value.size() + 1);
      }
    } catch (const std::bad_alloc&) {
      // Out of memory on the first call: the default stays, for good.
    }
  });
  return tracks_dir;
}

bool ReadTracksDir(const std::string& config_path, std::string* tracks_dir) {
  UniqueFile file = OpenForReading(config_path.c_str());
  return file != nullptr && ReadIniValue(file.get(), kComponentsSection, kTracksDirKey, tracks_dir);
}

bool LocateTrackAiw(const char* track_name, const TrackSearchOptions& options,
                    AiwPathBuffer& aiw_path) {
  aiw_path[0] = '\0';
  try {
    TrackSearch search;
    search.wanted = track_name != nullptr ? track_name : "";
    search.aiw_path = &aiw_path;
    search.cancel = options.cancel;
    const std::string_view tracks_dir =
        options.tracks_dir ? std::string_view(*options.tracks_dir) : GetTracksDir();
    if (SearchTrackDir(HostPathToNative(tracks_dir), &search)) return true;
  } catch (const std::bad_alloc&) {
    // Out of memory abandons the search like a track that is not there.
  }
  aiw_path[0] = '\0';
  return false;
}
