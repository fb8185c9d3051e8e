// Test support: a fresh directory per test, removed with everything in it.
#ifndef PITWALL_TESTING_TEMP_DIR_H_
#define PITWALL_TESTING_TEMP_DIR_H_

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TEST_TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/pitwall.XXXXXX";
    char* made = mkdtemp(pattern.data());
    path_ = made != nullptr ? made : "";
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // The directory with a trailing separator, for prefixing file names.
  std::string prefix() const { return path_ + "/"; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

  void Write(const std::string& name, const std::string& content) const {
    std::filesystem::create_directories(std::filesystem::path(File(name)).parent_path());
    std::ofstream out(File(name), std::ios::binary);
    out << content;
  }
  // The whole file, or "<missing>" when it does not exist.
  std::string Read(const std::string& name) const {
    std::ifstream in(File(name), std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  bool Exists(const std::string& name) const { return std::filesystem::exists(File(name)); }

 private:
  std::string path_;
};

#endif  // PITWALL_TESTING_TEMP_DIR_H_
