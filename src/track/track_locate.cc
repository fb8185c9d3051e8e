#include "track/track_locate.h"

#include <cstring>
#include <mutex>
#include <new>
#include <utility>

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

bool Cancelled(const TrackSearch& search) {
  // Relaxed: the flag only asks the search to stop; it guards no data.
  return search.cancel != nullptr && search.cancel->load(std::memory_order_relaxed);
}

std::string JoinPath(const std::string& directory, const char* name) {
  std::string path;
  path.reserve(directory.size() + 1 + std::strlen(name));
  path += directory;
  path += kPathSeparator;
  path += name;
  return path;
}

bool HasGdbExtension(const char* name) {
  const std::size_t length = std::strlen(name);
  return length > kExtensionLength &&
         EqualsIgnoringCase(name + length - kExtensionLength, kGdbExtension);
}

// Tries the ".gdb" file `name` of `directory`: on a match with an ".aiw" file
// beside it that fits the output, stores the path and sets the found flag.
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

}  // namespace

VexString::VexString(const char* text) {
  if (text == nullptr || text[0] == '\0') return;
  const std::size_t size = std::strlen(text) + 1;
  text_.reset(new (std::nothrow) char[size]);
  if (text_) std::memcpy(text_.get(), text, size);
}

bool VexStringArray::Add(const char* text) {
  VexString item(text);
  if (item.text() == nullptr && text != nullptr && text[0] != '\0') return false;
  try {
    items_.push_back(std::move(item));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

const char* VexStringArray::Next() {
  if (cursor_ < 0 || cursor_ >= count()) return nullptr;
  return items_[static_cast<std::size_t>(cursor_++)].text();
}

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

bool ReadIniValue(std::FILE* file, const char* section, const char* key, std::string* value) {
  std::rewind(file);
  const std::string header = std::string("[") + section + "]";
  if (!FindLine(header.c_str(), file, nullptr)) return false;
  LineBuffer line;
  if (!FindLine(key, file, &line)) return false;
  return GetLineValue(line, value);
}

bool FindLine(const char* text, std::FILE* file, LineBuffer* matched_line) {
  // The same scan as for a section header, handing the line back.
  return FindSection(text, file, matched_line);
}

bool GetLineValue(const char* line, std::string* value) {
  const char* equals = FindChar(line, '=');
  if (*equals == '\0') return false;
  const char* text = SkipBlanks(equals + 1);
  if (*text == '\0') return false;
  value->assign(text);
  return true;
}

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

bool SortDirEntry(const std::string& directory, const char* name, VexStringArray* sub_directories,
                  VexStringArray* files) {
  if (IsDirectory(JoinPath(directory, name))) {
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return true;
    return sub_directories->Add(name);
  }
  return files->Add(name);
}

bool IsDirectory(const std::string& path) { return IsDirectoryPath(path); }

bool GdbMatchesTrack(const std::string& path, const char* wanted) {
  UniqueFile file = OpenForReading(path.c_str());
  return file != nullptr && TrackNameMatches(file.get(), wanted);
}

bool TrackNameMatches(std::FILE* file, const char* wanted) {
  LineBuffer line;
  KeyBuffer key;
  for (;;) {
    ReadLine(line, file);
    if (line[0] == '\0' && AtEnd(file)) return false;
    if (SplitKey(line, key)) {
      if (StartsWithIgnoringCase(key, kTrackNameKey)) {
        // The first TrackName line decides: its value must begin with the
        // wanted name, letter case included.
        const char* value = SkipBlanks(FindChar(line, '=') + 1);
        return std::strncmp(value, wanted, std::strlen(wanted)) == 0;
      }
      if (AtEnd(file)) return false;
    }
  }
}

bool FileExists(const std::string& path) { return CanOpenForReading(path); }

bool LocateTrackAiw(const char* track_name, const TrackSearchOptions& options,
                    AiwPathBuffer& aiw_path) {
  aiw_path[0] = '\0';
  try {
    TrackSearch search;
    search.wanted = track_name != nullptr ? track_name : "";
    search.aiw_path = &aiw_path;
    search.cancel = options.cancel;
    if (SearchTrackDir(HostPathToNative(options.tracks_dir), &search)) return true;
  } catch (const std::bad_alloc&) {
    // Out of memory abandons the search like a track that is not there.
  }
  aiw_path[0] = '\0';
  return false;
}

bool LocateTrackAiw(const char* track_name, AiwPathBuffer& aiw_path,
                    const std::atomic<bool>* cancel) {
  TrackSearchOptions options;
  options.tracks_dir = GetTracksDir();
  options.cancel = cancel;
  return LocateTrackAiw(track_name, options, aiw_path);
}
