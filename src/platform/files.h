// Reading files and walking directories: the one place that knows how the
// host's file system is listed and examined. Everything here only reads,
// except RenameOver(), which the log uses to keep its old copy.
//
// Paths are native paths (the separator of kPathSeparator). Text that comes
// from the host's own files writes paths with backslashes; HostPathToNative()
// turns it into a native path before it reaches these functions.
//
// Thread-safety: every function is safe to call from any thread; none keeps
// state between calls.
#ifndef PITWALL_PLATFORM_FILES_H_
#define PITWALL_PLATFORM_FILES_H_

#include <compare>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Closes a stdio stream; for UniqueFile.
struct FileCloser {
  void operator()(std::FILE* file) const {
    if (file != nullptr) std::fclose(file);
  }
};
// An open stdio stream that is closed when its owner goes.
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// Opens `path` for reading in binary mode (no line-end translation: readers
// treat a carriage return as a line end of its own). Empty on failure.
UniqueFile OpenForReading(const char* path);

// True when `path` can be opened for reading; the file is closed again at
// once. A directory counts as not readable.
bool CanOpenForReading(const std::string& path);

// True when the status of `path` can be read and says it is a directory.
// Links are followed.
bool IsDirectoryPath(const std::string& path);

// Appends the names of all entries of `directory` to *names, in the order the
// file system lists them, "." and ".." included when the system lists them.
// On failure returns false and leaves *names as it was.
bool ListDirectory(const std::string& directory, std::vector<std::string>* names);

// What tells one directory from another however it was reached (device and
// inode on POSIX; volume and file index on Windows). Two paths that lead to
// the same directory, through links or not, give equal identities.
struct DirectoryId {
  std::uint64_t device = 0;
  std::uint64_t node = 0;

  friend bool operator==(const DirectoryId&, const DirectoryId&) = default;
  friend auto operator<=>(const DirectoryId&, const DirectoryId&) = default;
};

// On success stores the identity of the directory at `path` (links followed)
// in *id and returns true. False, with *id unchanged, when its status cannot
// be read.
bool GetDirectoryId(const std::string& path, DirectoryId* id);

// Finds a file in `directory` whose name equals `name` when ASCII letter case
// is ignored and that can be opened for reading; `name` itself is tried
// first, then the other entries in listing order. On success stores the
// file's path (directory, separator, name as the directory spells it) in
// *path and returns true. False, with *path unchanged, when there is none.
// This lets a file system that tells "Track.aiw" from "TRACK.AIW" serve files
// written for one that does not.
bool FindFileIgnoringCase(const std::string& directory, const std::string& name, std::string* path);

// `directory`, kPathSeparator and `name`; nothing else is added or removed
// (a directory that already ends with a separator gets a second one).
std::string JoinPath(std::string_view directory, std::string_view name);

// Renames the file `from` to `to`, replacing a file `to` that exists (which
// the platform's own rename does not do on Windows). True on success; on
// failure both files are as they were. Allocates nothing on the C++ heap.
bool RenameOver(const char* from, const char* to);

// The native form of a path written with backslashes: every backslash
// becomes kPathSeparator. Nothing else changes.
std::string HostPathToNative(std::string_view host_path);

#endif  // PITWALL_PLATFORM_FILES_H_
