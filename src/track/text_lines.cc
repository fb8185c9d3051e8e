#include "track/text_lines.h"

#include <cstring>

namespace {

bool IsPrintable(int c) { return c >= 0x20 && c <= 0x7E; }

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

bool AtEnd(std::FILE* file) { return std::feof(file) != 0 || std::ferror(file) != 0; }

void ReadLine(LineBuffer& line, std::FILE* file) {
  int length = 0;
  if (!AtEnd(file)) {
    for (;;) {
      const int c = std::getc(file);
      if (!IsPrintable(c)) break;  // EOF is negative, so it ends the line too.
      if (length < kLineSize - 1) line[length++] = static_cast<char>(c);
    }
  }
  line[length] = '\0';
}

const char* SkipBlanks(const char* text) {
  while (IsBlank(*text)) ++text;
  return text;
}

const char* FindChar(const char* text, char c) {
  while (*text != '\0' && *text != c) ++text;
  return text;
}

bool IsContentLine(const char* text) {
  if (text == nullptr || text[0] == '\0' || text[0] == '#') return false;
  return !(text[0] == '/' && text[1] == '/');
}

bool SplitKey(const char* line, KeyBuffer& key) {
  const char* p = SkipBlanks(line);
  if (!IsContentLine(p)) return false;
  int length = 0;
  while (p[length] != '\0' && p[length] != '=') {
    if (length == kKeySize - 1) {
      key[length] = '\0';
      return false;
    }
    key[length] = p[length];
    ++length;
  }
  key[length] = '\0';
  return p[length] == '=';
}

bool FindSection(const char* name, std::FILE* file, LineBuffer* matched_line) {
  if (name == nullptr || name[0] == '\0') return false;
  const char* wanted = SkipBlanks(name);
  LineBuffer line;
  while (!AtEnd(file)) {
    ReadLine(line, file);
    const char* p = SkipBlanks(line);
    if (IsContentLine(p) && StartsWithIgnoringCase(p, wanted)) {
      if (matched_line != nullptr) std::memcpy(*matched_line, line, sizeof(line));
      return true;
    }
  }
  return false;
}

bool ReadKeyLine(std::FILE* file, LineBuffer& line, KeyBuffer& key) {
  for (;;) {
    ReadLine(line, file);
    if (line[0] == '\0' && AtEnd(file)) return false;
    if (SplitKey(line, key)) return true;
  }
}

const char* LineValue(const char* line) {
  const char* equals = FindChar(line, '=');
  if (*equals == '\0') return nullptr;
  const char* value = SkipBlanks(equals + 1);
  return *value != '\0' ? value : nullptr;
}
