#include "platform/files.h"

#include <utility>

#include "platform/ascii.h"

std::string JoinPath(std::string_view directory, std::string_view name) {
  std::string path;
  path.reserve(directory.size() + 1 + name.size());
  path += directory;
  path += kPathSeparator;
  path += name;
  return path;
}

UniqueFile OpenForReading(const char* path) { return UniqueFile(std::fopen(path, "rb")); }

bool CanOpenForReading(const std::string& path) {
  // fopen() opens a directory for reading on POSIX; a directory is no file.
  if (IsDirectoryPath(path)) return false;
  return OpenForReading(path.c_str()) != nullptr;
}

bool FindFileIgnoringCase(const std::string& directory, const std::string& name,
                          std::string* path) {
  std::string exact = JoinPath(directory, name);
  if (CanOpenForReading(exact)) {
    *path = std::move(exact);
    return true;
  }
  std::vector<std::string> names;
  if (!ListDirectory(directory, &names)) return false;
  for (const std::string& entry : names) {
    if (entry == name || !EqualsIgnoringCase(entry, name)) continue;
    std::string candidate = JoinPath(directory, entry);
    if (CanOpenForReading(candidate)) {
      *path = std::move(candidate);
      return true;
    }
  }
  return false;
}

std::string HostPathToNative(std::string_view host_path) {
  std::string native(host_path);
  for (char& c : native) {
    if (c == '\\') c = kPathSeparator;
  }
  return native;
}
