// Test support: a fresh directory per test, removed with everything in it.
#ifndef PITWALL_TESTING_TEMP_DIR_H_
#define PITWALL_TESTING_TEMP_DIR_H_

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <system_error>

class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TEST_TMPDIR");
    std::error_code ec;
    const std::filesystem::path root =
        base != nullptr ? std::filesystem::path(base) : std::filesystem::temp_directory_path(ec);
    // create_directory() is false for a name that exists: try another.
    std::random_device seed;
    std::mt19937 pick(seed());
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const std::filesystem::path dir = root / ("pitwall." + std::to_string(pick() % 1000000000u));
      if (std::filesystem::create_directory(dir, ec)) path_ = dir.generic_string();
    }
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
  // Copies everything in the directory `source` into this one.
  void CopyFrom(const std::filesystem::path& source) const {
    for (const auto& entry : std::filesystem::directory_iterator(source)) {
      std::filesystem::copy(entry.path(), std::filesystem::path(path_) / entry.path().filename(),
                            std::filesystem::copy_options::recursive);
    }
  }
  // The whole file's bytes, or "<missing>" when it does not exist.
  std::string Read(const std::string& name) const { return ReadIn(name, std::ios::binary); }
  // A text file (the log, the configuration) with the platform's line ends
  // read back as "\n", or "<missing>".
  std::string ReadText(const std::string& name) const { return ReadIn(name, std::ios::in); }
  // `text` in the platform's text-file form, as a text file holds it.
  static std::string TextFileForm(const std::string& text) {
#ifdef _WIN32
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
#else
    return text;
#endif
  }
  bool Exists(const std::string& name) const { return std::filesystem::exists(File(name)); }

 private:
  std::string ReadIn(const std::string& name, std::ios::openmode mode) const {
    std::ifstream in(File(name), mode);
    if (!in) return "<missing>";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::string path_;
};

#endif  // PITWALL_TESTING_TEMP_DIR_H_
