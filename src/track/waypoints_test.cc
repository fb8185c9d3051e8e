#include "track/waypoints.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "platform/files.h"
#include "testing/temp_dir.h"

namespace {

constexpr float kSentinel = -777.0f;

TEST(WaypointsTest, ScanFloatReadsTheNumberAtTheStart) {
  struct Case {
    std::string text;
    bool read;
    float value;
  };
  const Case cases[] = {
      {"1.5", true, 1.5f},
      {"  -0.25)", true, -0.25f},
      {"+2", true, 2.0f},
      {".5", true, 0.5f},
      {"5.", true, 5.0f},
      {"1e3", true, 1000.0f},
      {"1.5E-2", true, 0.015f},
      {"12abc", true, 12.0f},
      {"1,5", true, 1.0f},
      {"0x10", true, 0.0f},
      {"1e", true, 1.0f},  // A dangling exponent is not part of the number.
      {"1e+", true, 1.0f},
      {"2.5e+1x", true, 25.0f},
      {"16777217", true, 16777216.0f},  // Rounded to single precision.
      {"0.1", true, 0.1f},
      {"3.40282347e38", true, 3.40282347e38f},
      {"1e-50", true, 0.0f},  // Too small for a float: zero, as %f gives.
      {"-1e-999", true, -0.0f},
      {"0." + std::string(60, '0') + "1e5", true, 0.0f},
      {"0." + std::string(40, '0') + "1e5", true, 1e-36f},
      {"1e999", false, kSentinel},  // Too large: not read.
      {"3.4028236e38", false, kSentinel},
      {"1" + std::string(50, '0') + "e-5", false, kSentinel},
      {"", false, kSentinel},
      {"   ", false, kSentinel},
      {"abc", false, kSentinel},
      {"-", false, kSentinel},
      {".", false, kSentinel},
      {"+-1", false, kSentinel},
      {"--1", false, kSentinel},
      {"- 1", false, kSentinel},
      {"(1)", false, kSentinel},
      {"inf", false, kSentinel},
      {"-infinity", false, kSentinel},
      {"nan", false, kSentinel},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    float value = kSentinel;
    EXPECT_EQ(ScanFloat(c.text.c_str(), &value), c.read);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(std::signbit(value), std::signbit(c.value));
  }
}

TEST(WaypointsTest, ScanFloatIgnoresACommaLocale) {
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  const char* comma_locales[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE", "German"};
  bool switched = false;
  for (const char* name : comma_locales) {
    if (std::setlocale(LC_NUMERIC, name) != nullptr) {
      switched = true;
      break;
    }
  }
  if (!switched) GTEST_SKIP() << "no locale with a decimal comma is installed";
  float point = kSentinel;
  float comma = kSentinel;
  const bool read_point = ScanFloat("12.75", &point);
  const bool read_comma = ScanFloat("12,75", &comma);
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_TRUE(read_point);
  EXPECT_EQ(point, 12.75f);
  EXPECT_TRUE(read_comma);
  EXPECT_EQ(comma, 12.0f);
}

TEST(WaypointsTest, RoundToIntRoundsHalfUp) {
  struct Case {
    float value;
    bool ok;
    std::int32_t result;
  };
  const Case cases[] = {
      {2.5f, true, 3},
      {-2.5f, true, -2},
      {2.49f, true, 2},
      {-0.4f, true, 0},
      {0.5f, true, 1},
      {-0.5f, true, 0},
      {-0.51f, true, -1},
      {16777216.0f, true, 16777216},
      {2147483520.0f, true, 2147483520},  // The largest float below 2^31.
      {-2147483648.0f, true, -2147483647 - 1},
      {2147483648.0f, false, 99},
      {-2147483904.0f, false, 99},
      {std::numeric_limits<float>::infinity(), false, 99},
      {std::numeric_limits<float>::quiet_NaN(), false, 99},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    std::int32_t result = 99;
    EXPECT_EQ(RoundToInt(c.value, &result), c.ok);
    EXPECT_EQ(result, c.result);
  }
}

TEST(WaypointsTest, SingleValueParsers) {
  struct Case {
    const char* line;
    bool paren;  // ParseParenFloat, else ParseFloat.
    bool result;
    float value;
  };
  const Case cases[] = {
      {"number_waypoints=12", false, true, 12.0f},
      {"GrooveWidth =   1.5  ", false, true, 1.5f},
      {"k=abc", false, true, kSentinel},  // Not empty, so true; nothing read.
      {"k=", false, false, kSentinel},
      {"k=    ", false, false, kSentinel},
      {"no equals", false, false, kSentinel},
      {"k=(2)", false, true, kSentinel},
      {"wp_galpha=(0.75)", true, true, 0.75f},
      {"wp_galpha=1.5", true, true, 0.5f},  // The first character is skipped.
      {"wp_galpha=( -2)", true, true, -2.0f},
      {"wp_galpha=x", true, true, kSentinel},
      {"wp_galpha=", true, false, kSentinel},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    float value = kSentinel;
    EXPECT_EQ(c.paren ? ParseParenFloat(c.line, &value) : ParseFloat(c.line, &value), c.result);
    EXPECT_EQ(value, c.value);
  }
}

TEST(WaypointsTest, TupleParsers) {
  struct Case {
    const char* line;
    bool result;
    float values[4];
  };
  const float s = kSentinel;
  const Case cases[] = {
      {"wp_width=(1,2.5,-3,4e1)", true, {1, 2.5f, -3, 40}},
      {"wp_width=( 1 , 2 , 3 , 4 )", true, {1, 2, 3, 4}},
      {"wp_width=(1,2,3,4", true, {1, 2, 3, 4}},  // No ")" needed.
      {"wp_width=abc(5,6,7,8)junk", true, {5, 6, 7, 8}},
      {"wp_width=(1,2)", false, {1, 2, s, s}},
      {"wp_width=(1 2 3 4)", false, {1, s, s, s}},
      {"wp_width=1,2,3,4", false, {s, s, s, s}},
      {"wp_width=(1,,3,4)", true, {1, s, 3, 4}},
      {"wp_width=(,,,)", true, {s, s, s, s}},
      {"wp_width=(x,2,y,4)", true, {s, 2, s, 4}},
      {"wp_width=", false, {s, s, s, s}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    float values[4] = {s, s, s, s};
    EXPECT_EQ(ParseFloat4(c.line, values), c.result);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(values[i], c.values[i]) << "value " << i;
  }

  float three[3] = {s, s, s};
  EXPECT_TRUE(ParseFloat3("wp_pos=(12.5, 0.0, -40.25)", three));
  EXPECT_EQ(three[0], 12.5f);
  EXPECT_EQ(three[1], 0.0f);
  EXPECT_EQ(three[2], -40.25f);
  float three_short[3] = {s, s, s};
  EXPECT_FALSE(ParseFloat3("wp_pos=(7, 8)", three_short));
  EXPECT_EQ(three_short[0], 7.0f);
  EXPECT_EQ(three_short[1], 8.0f);
  EXPECT_EQ(three_short[2], s);
  float two[2] = {s, s};
  EXPECT_TRUE(ParseFloat2("wp_score=(3,4,5)", two));
  EXPECT_EQ(two[0], 3.0f);
  EXPECT_EQ(two[1], 4.0f);
}

Waypoint Parsed(const char* line, bool* result) {
  Waypoint waypoint;
  *result = waypoint.ParseWaypointField(line);
  return waypoint;
}

TEST(WaypointsTest, ParseWaypointFieldStoresEachKeyInItsField) {
  bool done = true;
  EXPECT_EQ(Parsed("wp_pos=(1,2,3)", &done).wp_pos[2], 3.0f);
  EXPECT_FALSE(done);
  EXPECT_EQ(Parsed("WP_POS=(1,2,3)", &done).wp_pos[0], 1.0f);
  EXPECT_EQ(Parsed("wp_perp=(0,0,1)", &done).wp_perp[2], 1.0f);
  EXPECT_EQ(Parsed("wp_normal=(0,1,0)", &done).wp_normal[1], 1.0f);
  EXPECT_EQ(Parsed("wp_vect=(4,5,6)", &done).wp_vect[0], 4.0f);
  EXPECT_EQ(Parsed("wp_width=(2,3,4,5)", &done).wp_width[3], 5.0f);
  EXPECT_EQ(Parsed("wp_dwidth=(6,7,8,9)", &done).wp_dwidth[1], 7.0f);
  EXPECT_EQ(Parsed("wp_path=(0.5,0.25)", &done).wp_path[1], 0.25f);
  EXPECT_EQ(Parsed("wp_galpha=(0.75)", &done).wp_galpha, 0.75f);
  EXPECT_EQ(Parsed("wp_groove_lat=(-1.5)", &done).wp_groove_lat, -1.5f);
  EXPECT_EQ(Parsed("wp_score=(10,20)", &done).wp_score[0], 10.0f);
  EXPECT_EQ(Parsed("wp_branchid=(2.5)", &done).wp_branch_id, 3);
  EXPECT_EQ(Parsed("wp_bitfields=(-2.5)", &done).wp_bitfields, -2);
  // Integers pass through a float and lose their low bits above 2^24.
  EXPECT_EQ(Parsed("wp_bitfields=(16777217)", &done).wp_bitfields, 16777216);
  EXPECT_EQ(Parsed("wp_pitlane=(1)", &done).wp_pitlane, 1);
  EXPECT_EQ(Parsed("wp_pitlane=(1e10)", &done).wp_pitlane, 0);  // Out of range: kept.
  EXPECT_EQ(Parsed("wp_pitlane=(x)", &done).wp_pitlane, 0);
  EXPECT_FALSE(done);
}

TEST(WaypointsTest, ParseWaypointFieldEndsTheBlockOnlyAtWpPtrs) {
  struct Case {
    const char* line;
    bool done;
    std::int32_t ptrs[4];
  };
  const Case cases[] = {
      {"WP_PTRS=(1.5,-2.5,3,4)", true, {2, -2, 3, 4}},
      {"wp_ptrs=(5,6", true, {5, 6, -1, -1}},  // Missing values keep -1.
      {"WP_PTRS=(,7,,)", true, {-1, 7, -1, -1}},
      {"WP_PTRS=", true, {-1, -1, -1, -1}},
      {"WP_PTRS=none", true, {-1, -1, -1, -1}},
      {"WP_PTRS=(3e9,1,1,1)", true, {-1, 1, 1, 1}},
      {"WP_PTRS =(1,2,3,4)", false, {-1, -1, -1, -1}},  // The key holds a blank.
      {"WP_PTRS", false, {-1, -1, -1, -1}},
      {"WP_PTRSX=(1,2,3,4)", false, {-1, -1, -1, -1}},
      {"wp_unknown=(1,2,3,4)", false, {-1, -1, -1, -1}},
      {"", false, {-1, -1, -1, -1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    bool done = !c.done;
    const Waypoint waypoint = Parsed(c.line, &done);
    EXPECT_EQ(done, c.done);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(waypoint.wp_ptrs[i], c.ptrs[i]) << "value " << i;
  }
}

// Reads `content` as an ".aiw" file into *list.
bool ReadText(const std::string& content, WaypointList* list) {
  TempDir dir;
  dir.Write("track.aiw", content);
  UniqueFile file = OpenForReading(dir.File("track.aiw").c_str());
  return file != nullptr && list->ReadWaypoints(file.get());
}

TEST(WaypointsTest, ReadWaypointsNeedsTheSectionHeader) {
  struct Case {
    const char* content;
    bool result;
    int count;
  };
  const Case cases[] = {
      {"", false, 0},
      {"number_waypoints=2\nwp_pos=(1,2,3)\n", false, 0},
      {"[Waypoints]\nnumber_waypoints=2\n", false, 0},
      {"[Way point]\nnumber_waypoints=2\n", false, 0},
      {"#[Waypoint]\nnumber_waypoints=2\n", false, 0},
      {"  [WAYPOINT] with text after\nnumber_waypoints=2\n", true, 2},
      {"[Header]\nx=1\n[Waypoint]", true, 0},
      {"[Waypoint]\n[Next]\nnumber_waypoints=2", true, 2},  // Later headers end nothing.
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    WaypointList list;
    EXPECT_EQ(ReadText(c.content, &list), c.result);
    EXPECT_EQ(list.count(), c.count);
    EXPECT_EQ(list.waypoints().size(), static_cast<std::size_t>(c.count));
  }
}

TEST(WaypointsTest, ReadWaypointsRoundsTheCount) {
  struct Case {
    const char* value;
    int count;
    std::size_t size;
  };
  const Case cases[] = {
      {"2.5", 3, 3},
      {"2.49", 2, 2},
      {"-0.4", 0, 0},
      {"-3", -3, 0},
      {"x", 0, 0},
      {"1e10", 0, 0},
      {"100000", 100000, 100000},
      {"100001", 100001, 0},  // More than a file may ask for: no array.
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    WaypointList list;
    ASSERT_TRUE(ReadText(std::string("[Waypoint]\nnumber_waypoints=") + c.value + "\n", &list));
    EXPECT_EQ(list.count(), c.count);
    EXPECT_EQ(list.waypoints().size(), c.size);
  }
}

TEST(WaypointsTest, ReadWaypointsFillsBlocksInFileOrder) {
  WaypointList list;
  ASSERT_TRUE(
      ReadText("// comment line\r\n"
               "[Waypoint]\r\n"
               "wp_pos=(99,99,99)\r\n"       // Before the count: no array yet.
               "  number_waypoints = 9\r\n"  // The key holds a blank: ignored.
               "  number_waypoints=3\r\n"
               "   GrooveWidth=1.25\r\n"
               "wp_pos=(1,2,3)\r\n"
               " wp_perp=(9,9,9)\r\n"   // Not in column one.
               "wp_perp =(9,9,9)\r\n"   // Blank before "=".
               "wp_perp\t=(9,9,9)\r\n"  // A tab ends the key's line.
               "Wp_Width=(4,5,6,7)\r\n"
               "# wp_dwidth=(9,9,9,9)\r\n"
               "WP_PTRS=(2,1,-1,0)\r\n"
               "[Another section]\r\n"
               "wp_pos=(10,20,30)\tWP_PTRS=(0,2,-1,0)\r\n"  // The tab starts a new line.
               "WP_PTRS=(1,0,-1,0)",                        // No line break at the end.
               &list));
  EXPECT_EQ(list.count(), 3);
  EXPECT_EQ(list.groove_width(), 1.25f);
  ASSERT_EQ(list.waypoints().size(), 3u);

  const Waypoint& first = list.waypoints()[0];
  EXPECT_EQ(first.wp_pos[0], 1.0f);
  EXPECT_EQ(first.wp_pos[2], 3.0f);
  EXPECT_EQ(first.wp_perp[0], 0.0f);
  EXPECT_EQ(first.wp_width[1], 5.0f);
  EXPECT_EQ(first.wp_dwidth[0], 0.0f);
  EXPECT_EQ(first.wp_ptrs[0], 2);

  const Waypoint& second = list.waypoints()[1];
  EXPECT_EQ(second.wp_pos[1], 20.0f);
  EXPECT_EQ(second.wp_ptrs[1], 2);

  const Waypoint& third = list.waypoints()[2];
  EXPECT_EQ(third.wp_pos[0], 0.0f);
  EXPECT_EQ(third.wp_ptrs[0], 1);
  EXPECT_EQ(third.wp_ptrs[1], 0);
}

TEST(WaypointsTest, ReadWaypointsCountEdges) {
  // Fewer blocks than the count: the rest keep their initial values. More:
  // the extra blocks are ignored.
  WaypointList fewer;
  ASSERT_TRUE(
      ReadText("[Waypoint]\nnumber_waypoints=2\nwp_pos=(1,1,1)\nWP_PTRS=(0,1,0,0)\n", &fewer));
  ASSERT_EQ(fewer.waypoints().size(), 2u);
  EXPECT_EQ(fewer.waypoints()[1].wp_pos[0], 0.0f);
  EXPECT_EQ(fewer.waypoints()[1].wp_ptrs[1], -1);

  WaypointList more;
  ASSERT_TRUE(ReadText(
      "[Waypoint]\nnumber_waypoints=1\nWP_PTRS=(0,0,0,0)\nwp_pos=(5,5,5)\nWP_PTRS=(3,3,3,3)\n",
      &more));
  ASSERT_EQ(more.waypoints().size(), 1u);
  EXPECT_EQ(more.waypoints()[0].wp_pos[0], 0.0f);
  EXPECT_EQ(more.waypoints()[0].wp_ptrs[0], 0);

  // A second positive count replaces the array and starts again at 0.
  WaypointList twice;
  ASSERT_TRUE(
      ReadText("[Waypoint]\nnumber_waypoints=3\nwp_pos=(1,1,1)\nWP_PTRS=(0,0,0,0)\n"
               "number_waypoints=2\nwp_pos=(2,2,2)\nWP_PTRS=(1,1,1,1)\n",
               &twice));
  EXPECT_EQ(twice.count(), 2);
  ASSERT_EQ(twice.waypoints().size(), 2u);
  EXPECT_EQ(twice.waypoints()[0].wp_pos[0], 2.0f);
  EXPECT_EQ(twice.waypoints()[0].wp_ptrs[0], 1);

  // A count of 0 keeps the array and the current waypoint.
  WaypointList zero;
  ASSERT_TRUE(
      ReadText("[Waypoint]\nnumber_waypoints=2\nWP_PTRS=(5,5,5,5)\n"
               "number_waypoints=0\nwp_pos=(7,7,7)\nWP_PTRS=(6,6,6,6)\n",
               &zero));
  EXPECT_EQ(zero.count(), 0);
  ASSERT_EQ(zero.waypoints().size(), 2u);
  EXPECT_EQ(zero.waypoints()[0].wp_ptrs[0], 5);
  EXPECT_EQ(zero.waypoints()[1].wp_pos[0], 7.0f);

  // A count too large for the array leaves none; waypoint lines are ignored.
  WaypointList huge;
  ASSERT_TRUE(
      ReadText("[Waypoint]\nnumber_waypoints=2\nnumber_waypoints=2e9\nwp_pos=(1,1,1)\n", &huge));
  EXPECT_EQ(huge.count(), 2000000000);
  EXPECT_TRUE(huge.waypoints().empty());
}

TEST(WaypointsTest, BytesAbove0x7FSplitLines) {
  WaypointList list;
  ASSERT_TRUE(ReadText(
      "[Waypoint]\nnumber_waypoints=1\n"
      "# note \xE2\x80\x94wp_pos=(4,5,6)\n"  // The text after the dash is a line of its own.
      "# \xFFnot a key\n",
      &list));
  ASSERT_EQ(list.waypoints().size(), 1u);
  EXPECT_EQ(list.waypoints()[0].wp_pos[0], 4.0f);
}

TEST(WaypointsTest, ReadWaypointsSurvivesGarbage) {
  // Deterministic pseudo-random bytes after a valid start: whatever they
  // hold, the read ends, stays inside the array and gives true.
  std::string content = "[Waypoint]\nnumber_waypoints=4\n";
  std::uint32_t state = 12345;
  const char pieces[] = "wp_WP_PTRS=(,)-.e0123456789\n\r\t \x80\xFF";
  for (int i = 0; i < 200000; ++i) {
    state = state * 1664525u + 1013904223u;
    content += pieces[(state >> 24) % (sizeof(pieces) - 1)];
  }
  WaypointList list;
  EXPECT_TRUE(ReadText(content, &list));
  EXPECT_LE(list.waypoints().size(), static_cast<std::size_t>(WaypointList::kMaxWaypoints));

  TempDir dir;  // A directory opens on POSIX but cannot be read.
  UniqueFile file = OpenForReading(dir.path().c_str());
  ASSERT_NE(file, nullptr);
  WaypointList unread;
  EXPECT_FALSE(unread.ReadWaypoints(file.get()));
}

}  // namespace
