#include "track/text_lines.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "platform/files.h"
#include "testing/temp_dir.h"

namespace {

// Every line ReadLine() gives until the file is at its end; then one more
// read, which must store the empty line.
std::vector<std::string> ReadAllLines(const std::string& content) {
  TempDir dir;
  dir.Write("lines.txt", content);
  UniqueFile file = OpenForReading(dir.File("lines.txt").c_str());
  if (file == nullptr) return {"<cannot open>"};
  std::vector<std::string> lines;
  LineBuffer line;
  do {
    ReadLine(line, file.get());
    lines.emplace_back(line);
  } while (!AtEnd(file.get()) && lines.size() < 100);
  std::memset(line, 'x', sizeof(line));
  ReadLine(line, file.get());
  if (line[0] != '\0') lines.push_back("<not empty after the end>");
  return lines;
}

TEST(TextLinesTest, ReadLineEndsLinesAtEveryNonPrintableByte) {
  // A line longer than kLineSize - 1 keeps its start; the rest is dropped.
  const std::string longest(kLineSize - 1, 'a');
  const std::string keys(kLineSize - 1, 'k');
  const std::pair<std::string, std::vector<std::string>> kCases[] = {
      {"abc\ndef", {"abc", "def"}},  // The last line needs no line break.
      {"abc\n", {"abc", ""}},
      {"abc\r\ndef\r\n", {"abc", "", "def", "", ""}},
      {"a\rb", {"a", "b"}},
      {"key=1\tafter tab", {"key=1", "after tab"}},
      {"# caf\xC3\xA9=x\n", {"# caf", "", "=x", ""}},
      {std::string("nul\0byte", 8), {"nul", "byte"}},
      {"\x7F\x1F~ ", {"", "", "~ "}},
      {"", {""}},
      {longest + "\nnext", {longest, "next"}},
      {longest + "b\nnext", {longest, "next"}},
      {keys + std::string(3000, '=') + "\r\nnext", {keys, "", "next"}},
  };
  for (const auto& [content, lines] : kCases) {
    EXPECT_EQ(ReadAllLines(content), lines) << content.substr(0, 40);
  }
}

TEST(TextLinesTest, SplitKey) {
  // A key runs to the first "="; blanks before it belong to the key. A key
  // too long for the buffer keeps its start and fails.
  const std::string longest_key(kKeySize - 1, 'k');
  const std::tuple<std::string, bool, std::string> kCases[] = {
      {"wp_pos=(1,2,3)", true, "wp_pos"},
      {"   GrooveWidth=1", true, "GrooveWidth"},
      {"wp_pos =(1,2,3)", true, "wp_pos "},
      {"a=b=c", true, "a"},
      {"=value", true, ""},
      {"no equals sign", false, "no equals sign"},
      {"/x=1", true, "/x"},
      {"# x=1", false, "<untouched>"},
      {"  // x=1", false, "<untouched>"},
      {"   ", false, "<untouched>"},
      {"", false, "<untouched>"},
      {longest_key + "=1", true, longest_key},
      {longest_key + "k=1", false, longest_key},
      {std::string(600, 'k'), false, longest_key},
  };
  for (const auto& [line, result, expected] : kCases) {
    SCOPED_TRACE(line.substr(0, 40));
    KeyBuffer key;
    std::strcpy(key, "<untouched>");
    EXPECT_EQ(SplitKey(line.c_str(), key), result);
    EXPECT_EQ(std::string(key), expected);
  }
}

}  // namespace
