#include "track/text_lines.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
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

}  // namespace
