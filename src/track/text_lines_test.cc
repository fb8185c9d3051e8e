#include "track/text_lines.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "testing/temp_dir.h"

namespace {

// Every line ReadLine() gives until the file is at its end.
std::vector<std::string> ReadAllLines(const std::string& content) {
  TempDir dir;
  dir.Write("lines.txt", content);
  UniqueFile file = OpenForReading(dir.File("lines.txt").c_str());
  std::vector<std::string> lines;
  if (file == nullptr) return {"<cannot open>"};
  LineBuffer line;
  do {
    ReadLine(line, file.get());
    lines.emplace_back(line);
  } while (!AtEnd(file.get()) && lines.size() < 100);
  return lines;
}

TEST(TextLinesTest, ReadLineEndsLinesAtEveryNonPrintableByte) {
  struct Case {
    std::string content;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"abc\ndef", {"abc", "def"}},  // The last line needs no line break.
      {"abc\n", {"abc", ""}},
      {"abc\r\ndef\r\n", {"abc", "", "def", "", ""}},
      {"a\rb", {"a", "b"}},
      {"key=1\tafter tab", {"key=1", "after tab"}},
      {"# caf\xC3\xA9=x\n", {"# caf", "", "=x", ""}},
      {std::string("nul\0byte", 8), {"nul", "byte"}},
      {"\x7F\x1F~ ", {"", "", "~ "}},
      {"", {""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    EXPECT_EQ(ReadAllLines(c.content), c.lines);
  }
}

TEST(TextLinesTest, ReadLineKeepsTheStartOfAnOverlongLineAndDropsTheRest) {
  const std::string longest(kLineSize - 1, 'a');
  EXPECT_EQ(ReadAllLines(longest + "\nnext"), (std::vector<std::string>{longest, "next"}));
  EXPECT_EQ(ReadAllLines(longest + "b\nnext"), (std::vector<std::string>{longest, "next"}));
  const std::string overlong = std::string(kLineSize - 1, 'k') + std::string(3000, '=');
  EXPECT_EQ(ReadAllLines(overlong + "\r\nnext"),
            (std::vector<std::string>{std::string(kLineSize - 1, 'k'), "", "next"}));
}

TEST(TextLinesTest, ReadLineAtEndStoresTheEmptyLine) {
  TempDir dir;
  dir.Write("one.txt", "only");
  UniqueFile file = OpenForReading(dir.File("one.txt").c_str());
  ASSERT_NE(file, nullptr);
  LineBuffer line;
  ReadLine(line, file.get());
  EXPECT_STREQ(line, "only");
  ASSERT_TRUE(AtEnd(file.get()));
  std::memset(line, 'x', sizeof(line));
  ReadLine(line, file.get());
  EXPECT_STREQ(line, "");
}

TEST(TextLinesTest, AReadErrorEndsTheFile) {
  // A directory opens for reading on POSIX, and every read of it fails.
  TempDir dir;
  UniqueFile file = OpenForReading(dir.path().c_str());
  ASSERT_NE(file, nullptr);
  LineBuffer line;
  ReadLine(line, file.get());
  EXPECT_STREQ(line, "");
  EXPECT_TRUE(AtEnd(file.get()));
  EXPECT_FALSE(FindSection("[Waypoint]", file.get()));
}

TEST(TextLinesTest, CommentsAndBlanks) {
  EXPECT_STREQ(SkipBlanks(" \t\r\n\v\fx y"), "x y");
  struct Case {
    const char* text;
    bool content;
  };
  const Case cases[] = {
      {nullptr, false}, {"", false},     {"#", false},         {"# c", false},
      {"//", false},    {"// c", false}, {"/", true},          {"/x=1", true},
      {"x", true},      {" #", true},    {"[Waypoint]", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
    EXPECT_EQ(IsContentLine(c.text), c.content);
  }
}

TEST(TextLinesTest, SplitKey) {
  const std::string longest_key(kKeySize - 1, 'k');
  const std::string overlong_key(kKeySize, 'k');
  struct Case {
    std::string line;
    bool result;
    std::string key;
  };
  const Case cases[] = {
      {"wp_pos=(1,2,3)", true, "wp_pos"},
      {"   GrooveWidth=1", true, "GrooveWidth"},
      {"wp_pos =(1,2,3)", true, "wp_pos "},  // Blanks before "=" belong to the key.
      {"a=b=c", true, "a"},
      {"=value", true, ""},
      {"no equals sign", false, "no equals sign"},
      {"/x=1", true, "/x"},
      {"# x=1", false, "<untouched>"},
      {"  // x=1", false, "<untouched>"},
      {"   ", false, "<untouched>"},
      {"", false, "<untouched>"},
      {longest_key + "=1", true, longest_key},
      {overlong_key + "=1", false, longest_key},
      {std::string(600, 'k'), false, longest_key},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 40));
    KeyBuffer key;
    std::strcpy(key, "<untouched>");
    EXPECT_EQ(SplitKey(c.line.c_str(), key), c.result);
    EXPECT_EQ(std::string(key), c.key);
  }
}

TEST(TextLinesTest, FindSectionMatchesAPrefixOfAContentLine) {
  struct Case {
    const char* content;
    const char* name;
    bool found;
    const char* next_line;  // The line after the header, when found.
  };
  const Case cases[] = {
      {"junk\n  [WAYPOINT] trailing text\r\nnext", "[Waypoint]", true, ""},
      {"[waypoint]\nnext", "  [Waypoint]", true, "next"},
      {"[Waypoint]", "[Waypoint]", true, ""},  // Header on the last line.
      {"[Waypoints]\nnext", "[Waypoint]", false, nullptr},
      {"[Way point]\nnext", "[Waypoint]", false, nullptr},
      {"[Waypoin\nnext", "[Waypoint]", false, nullptr},
      {"# [Waypoint]\n// [Waypoint]\nnext", "[Waypoint]", false, nullptr},
      {"x\t[Waypoint]\nnext", "[Waypoint]", true, "next"},  // A tab starts a new line.
      {"[Waypoint]\nnext", "", false, nullptr},
      {"[Waypoint]\nnext", nullptr, false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    TempDir dir;
    dir.Write("section.txt", c.content);
    UniqueFile file = OpenForReading(dir.File("section.txt").c_str());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(FindSection(c.name, file.get()), c.found);
    if (c.found) {
      LineBuffer line;
      ReadLine(line, file.get());
      EXPECT_STREQ(line, c.next_line);
    }
  }
}

TEST(TextLinesTest, CaseInsensitiveComparisonIsAsciiOnly) {
  EXPECT_TRUE(StartsWithIgnoringCase("TracksDirectory=x", "tracksdir"));
  EXPECT_TRUE(StartsWithIgnoringCase("anything", ""));
  EXPECT_FALSE(StartsWithIgnoringCase("Track", "TrackName"));
  EXPECT_FALSE(StartsWithIgnoringCase("[", "{"));  // 0x5B and 0x7B differ by the case bit.
  EXPECT_TRUE(EqualsIgnoringCase("WP_PTRS", "wp_ptrs"));
  EXPECT_FALSE(EqualsIgnoringCase("wp_pos", "wp_pos "));
  EXPECT_FALSE(EqualsIgnoringCase("wp_pos", "wp_po"));
  EXPECT_FALSE(EqualsIgnoringCase("@", "`"));
}

}  // namespace
