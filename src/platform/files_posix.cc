#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <utility>

#include "platform/files.h"

namespace {

// Closes a directory stream on every path out of ListDirectory().
struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

bool IsDirectoryPath(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool ListDirectory(const std::string& directory, std::vector<std::string>* names) {
  std::unique_ptr<DIR, DirCloser> dir(opendir(directory.c_str()));
  if (dir == nullptr) return false;
  std::vector<std::string> listed;
  try {
    for (;;) {
      // readdir() tells the end from a failure only through errno.
      errno = 0;
      const dirent* entry = readdir(dir.get());
      if (entry == nullptr) {
        if (errno != 0) return false;
        break;
      }
      listed.emplace_back(entry->d_name);
    }
    names->insert(names->end(), listed.begin(), listed.end());
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool GetDirectoryId(const std::string& path, DirectoryId* id) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return false;
  id->device = static_cast<std::uint64_t>(status.st_dev);
  id->node = static_cast<std::uint64_t>(status.st_ino);
  return true;
}

bool RenameOver(const char* from, const char* to) { return std::rename(from, to) == 0; }
