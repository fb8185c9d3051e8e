// Letter case in ASCII only. The host's files and the plug-in's own settings
// are ASCII; comparing them must not depend on the locale the host process
// has set, as std::tolower() does.
//
// Thread-safety: pure functions.
#ifndef PITWALL_PLATFORM_ASCII_H_
#define PITWALL_PLATFORM_ASCII_H_

#include <string_view>

// `c` with A-Z turned into a-z; every other byte as it is.
inline char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when `text` begins with `prefix`, letter case ignored. A text shorter
// than the prefix does not match; the empty prefix matches every text.
inline bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (LowerAscii(text[i]) != LowerAscii(prefix[i])) return false;
  }
  return true;
}

// True when `a` and `b` are the same text, letter case ignored.
inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StartsWithIgnoringCase(a, b);
}

#endif  // PITWALL_PLATFORM_ASCII_H_
