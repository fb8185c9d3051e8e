// Test support: the paths the code under test writes, in one form for every
// platform. Windows answers with '\' between names and its file names ignore
// letter case; POSIX paths stay as they are.
#ifndef PITWALL_TESTING_PATHS_H_
#define PITWALL_TESTING_PATHS_H_

#include <algorithm>
#include <cctype>
#include <string>

#ifdef _WIN32
inline constexpr bool kFileNamesIgnoreCase = true;
inline constexpr bool kDirectoriesOpenAsFiles = false;
// The longest path the plain Windows file calls reach.
inline constexpr std::size_t kLongestOpenablePath = 259;
#else
inline constexpr bool kFileNamesIgnoreCase = false;
inline constexpr bool kDirectoriesOpenAsFiles = true;  // fopen() opens them
inline constexpr std::size_t kLongestOpenablePath = 4095;
#endif

// `path` with '/' for the platform's separator.
inline std::string Slashed(std::string path) {
#ifdef _WIN32
  std::replace(path.begin(), path.end(), '\\', '/');
#endif
  return path;
}

// `path` with the platform's separator for '/'.
inline std::string NativeSeparators(std::string path) {
#ifdef _WIN32
  std::replace(path.begin(), path.end(), '/', '\\');
#endif
  return path;
}

// A file name compared the way the platform's file system compares it.
inline std::string AsCompared(std::string name) {
  if (kFileNamesIgnoreCase) {
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return name;
}

#endif  // PITWALL_TESTING_PATHS_H_
