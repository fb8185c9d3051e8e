#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <new>

#include "platform/files.h"
#include "platform/windows_api.h"

namespace {

// Closes a _findfirst64i32() search on every path out of ListDirectory().
struct FindCloser {
  void operator()(intptr_t* handle) const {
    _findclose(*handle);
    delete handle;
  }
};

}  // namespace

bool IsDirectoryPath(const std::string& path) {
  struct _stat64i32 status;
  return _stat64i32(path.c_str(), &status) == 0 && (status.st_mode & _S_IFDIR) != 0;
}

bool ListDirectory(const std::string& directory, std::vector<std::string>* names) {
  // The host's own listing: the directory, a backslash and "*".
  const std::string pattern = directory + "\\*";
  struct _finddata64i32_t entry;
  const intptr_t first = _findfirst64i32(pattern.c_str(), &entry);
  if (first == -1) return false;
  std::unique_ptr<intptr_t, FindCloser> search(new (std::nothrow) intptr_t(first));
  if (search == nullptr) {
    _findclose(first);
    return false;
  }
  std::vector<std::string> listed;
  try {
    for (;;) {
      listed.emplace_back(entry.name);
      // _findnext() ends the listing with ENOENT; any other error is a
      // listing that failed part of the way.
      errno = 0;
      if (_findnext64i32(*search, &entry) != 0) {
        if (errno != ENOENT) return false;
        break;
      }
    }
    names->insert(names->end(), listed.begin(), listed.end());
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool GetDirectoryId(const std::string& path, DirectoryId* id) {
  // A directory opens only with backup semantics; links are followed.
  HANDLE handle =
      ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = ::GetFileInformationByHandle(handle, &info) != 0;
  ::CloseHandle(handle);
  if (!ok) return false;
  id->device = info.dwVolumeSerialNumber;
  id->node = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  return true;
}

bool RenameOver(const char* from, const char* to) {
  // rename() refuses an existing target here; this replaces it in one step,
  // so no moment passes without the old copy.
  return ::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}
