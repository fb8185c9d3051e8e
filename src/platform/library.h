// Loading a shared library and finding its exports, as a host does.
#ifndef PITWALL_PLATFORM_LIBRARY_H_
#define PITWALL_PLATFORM_LIBRARY_H_

#include <string>
#include <utility>

// The file name ending of a shared library here.
#ifdef _WIN32
inline constexpr char kSharedLibrarySuffix[] = ".dll";
#else
inline constexpr char kSharedLibrarySuffix[] = ".so";
#endif

// An open shared library; closed when destroyed. Move-only.
class SharedLibrary {
 public:
  SharedLibrary() = default;
  ~SharedLibrary() { Close(); }
  SharedLibrary(SharedLibrary&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  SharedLibrary& operator=(SharedLibrary&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  // Opens the library at `path`. False with the system's reason in *error.
  bool Open(const std::string& path, std::string* error);
  // The address of the export `name`, or null.
  void* Find(const char* name) const;
  void Close();
  bool is_open() const { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;
};

#endif  // PITWALL_PLATFORM_LIBRARY_H_
