#include "track/waypoints.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "testing/temp_dir.h"

namespace {

constexpr float kSentinel = -777.0f;

template <typename T, std::size_t N>
std::vector<T> Vec(const T (&values)[N]) {
  return std::vector<T>(values, values + N);
}

TEST(WaypointsTest, ScanFloatReadsTheNumberAtTheStart) {
  // Reading stops at the first character that does not fit; a dangling
  // exponent is not part of the number; values round to single precision; a
  // number too small for a float is zero of its sign, as %f gives. Too large
  // for a float, or no number at all (kSentinel): false, nothing stored.
  const std::string tiny = "0." + std::string(60, '0') + "1e5";
  const std::string small = "0." + std::string(40, '0') + "1e5";
  const std::string huge = "1" + std::string(50, '0') + "e-5";
  const std::pair<std::string, float> kCases[] = {
      {"1.5", 1.5f},        {"  -0.25)", -0.25f},
      {"+2", 2.0f},         {".5", 0.5f},
      {"5.", 5.0f},         {"1e3", 1000.0f},
      {"1.5E-2", 0.015f},   {"12abc", 12.0f},
      {"1,5", 1.0f},        {"0x10", 0.0f},
      {"1e", 1.0f},         {"1e+", 1.0f},
      {"2.5e+1x", 25.0f},   {"16777217", 16777216.0f},
      {"0.1", 0.1f},        {"3.40282347e38", 3.40282347e38f},
      {"1e-50", 0.0f},      {"-1e-999", -0.0f},
      {tiny, 0.0f},         {small, 1e-36f},
      {"1e999", kSentinel}, {"3.4028236e38", kSentinel},
      {huge, kSentinel},    {"", kSentinel},
      {"   ", kSentinel},   {"abc", kSentinel},
      {"-", kSentinel},     {".", kSentinel},
      {"+-1", kSentinel},   {"--1", kSentinel},
      {"- 1", kSentinel},   {"(1)", kSentinel},
      {"inf", kSentinel},   {"-infinity", kSentinel},
      {"nan", kSentinel}};
  for (const auto& [text, expected] : kCases) {
    SCOPED_TRACE(text);
    float value = kSentinel;
    EXPECT_EQ(ScanFloat(text.c_str(), &value), expected != kSentinel);
    EXPECT_EQ(value, expected);
    EXPECT_EQ(std::signbit(value), std::signbit(expected));
  }
}

TEST(WaypointsTest, ScanFloatIgnoresACommaLocale) {
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  bool switched = false;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE", "German"}) {
    switched = switched || std::setlocale(LC_NUMERIC, name) != nullptr;
  }
  if (!switched) GTEST_SKIP() << "no locale with a decimal comma is installed";
  float point = kSentinel;
  float comma = kSentinel;
  const bool read = ScanFloat("12.75", &point) && ScanFloat("12,75", &comma);
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_TRUE(read);
  EXPECT_EQ(point, 12.75f);
  EXPECT_EQ(comma, 12.0f);
}

TEST(WaypointsTest, SingleValueParsers) {
  // {line, ParseParenFloat (else ParseFloat), result, value}
  const std::tuple<const char*, bool, bool, float> kCases[] = {
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
  for (const auto& [line, paren, result, expected] : kCases) {
    SCOPED_TRACE(line);
    float value = kSentinel;
    EXPECT_EQ(paren ? ParseParenFloat(line, &value) : ParseFloat(line, &value), result);
    EXPECT_EQ(value, expected);
  }
}

TEST(WaypointsTest, TupleParsers) {
  const float s = kSentinel;
  const std::tuple<const char*, bool, std::vector<float>> kCases[] = {
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
  for (const auto& [line, result, expected] : kCases) {
    SCOPED_TRACE(line);
    float values[4] = {s, s, s, s};
    EXPECT_EQ(ParseFloat4(line, values), result);
    EXPECT_EQ(Vec(values), expected);
  }
}

// All 33 values of a waypoint in declaration order: its 26 floats, then "|"
// and its 7 integers.
std::string Dump(const Waypoint& w) {
  float floats[26];
  std::int32_t ints[7];
  static_assert(offsetof(Waypoint, wp_branch_id) == sizeof(floats));
  std::memcpy(floats, &w, sizeof(floats));
  std::memcpy(ints, reinterpret_cast<const char*>(&w) + sizeof(floats), sizeof(ints));
  std::ostringstream out;
  for (float f : floats) out << f << ' ';
  out << '|';
  for (std::int32_t i : ints) out << ' ' << i;
  return out.str();
}

TEST(WaypointsTest, ParseWaypointFieldStoresEachKeyInItsOwnField) {
  // Integers are read as floats and rounded, so they lose their low bits
  // above 2^24; a value out of range or missing keeps the field. Unknown keys
  // (a blank before "=" belongs to the key) and lines without one change
  // nothing. None of these ends the block.
  std::istringstream lines(
      "wp_pos=(1,2,3)\nwp_perp=(4,5,6)\nwp_normal=(7,8,9)\nwp_vect=(10,11,12)\n"
      "wp_width=(13,14,15,16)\nwp_dwidth=(17,18,19,20)\nwp_path=(21,22)\nwp_galpha=(23)\n"
      "wp_groove_lat=(-24.5)\nwp_score=(25,26)\nwp_branchid=(2.5)\nwp_bitfields=(16777217)\n"
      "wp_pitlane=(1)\nwp_pitlane=(1e10)\nwp_pitlane=(x)\nwp_unknown=(9,9,9,9)\nwp_pos\n\n"
      "WP_PTRS =(9,9,9,9)\nWP_PTRS\nWP_PTRSX=(9,9,9,9)\n");
  Waypoint w;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_FALSE(w.ParseWaypointField(line.c_str())) << line;
  }
  EXPECT_EQ(Dump(w),
            "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 -24.5 25 26 "
            "| 3 16777216 1 -1 -1 -1 -1");
}

TEST(WaypointsTest, WpPtrsEndsTheBlock) {
  const std::pair<const char*, std::vector<std::int32_t>> kCases[] = {
      {"WP_PTRS=(1.5,-2.5,3,4)", {2, -2, 3, 4}},
      {"wp_ptrs=(5,6", {5, 6, -1, -1}},  // Missing values keep -1.
      {"WP_PTRS=(,7,,)", {-1, 7, -1, -1}},
      {"WP_PTRS=", {-1, -1, -1, -1}},
      {"WP_PTRS=none", {-1, -1, -1, -1}},
      {"WP_PTRS=(3e9,1,1,1)", {-1, 1, 1, 1}},
      // Halves round up; 2147483520 is the largest float below 2^31.
      {"WP_PTRS=(-0.5,-0.51,0.5,2.49)", {0, -1, 1, 2}},
      {"WP_PTRS=(2147483520,-2147483648,2147483648,-2147483904)",
       {2147483520, -2147483647 - 1, -1, -1}},
  };
  for (const auto& [line, ptrs] : kCases) {
    Waypoint w;
    EXPECT_TRUE(w.ParseWaypointField(line)) << line;
    EXPECT_EQ(Vec(w.wp_ptrs), ptrs) << line;
  }
}

// Reads `content` as an ".aiw" file: "false " when ReadWaypoints() gives
// false, then "count size groove:", then " #index x,y,z>ptrs" for each
// waypoint that differs from a new one.
std::string Read(const std::string& content) {
  static const Waypoint kNew;
  WaypointList list;
  TempDir dir;
  dir.Write("track.aiw", content);
  UniqueFile file = OpenForReading(dir.File("track.aiw").c_str());
  std::ostringstream out;
  if (file == nullptr || !list.ReadWaypoints(file.get())) out << "false ";
  out << list.count() << ' ' << list.waypoints().size() << ' ' << list.groove_width() << ':';
  for (std::size_t i = 0; i < list.waypoints().size(); ++i) {
    const Waypoint& w = list.waypoints()[i];
    if (std::memcmp(&w, &kNew, sizeof(w)) == 0) continue;
    out << " #" << i << ' ' << w.wp_pos[0] << ',' << w.wp_pos[1] << ',' << w.wp_pos[2] << '>'
        << w.wp_ptrs[0] << ',' << w.wp_ptrs[1] << ',' << w.wp_ptrs[2] << ',' << w.wp_ptrs[3];
  }
  return out.str();
}

TEST(WaypointsTest, ReadWaypoints) {
  const std::pair<std::string, std::string> kCases[] = {
      // The section header: a content line that begins with it, in any
      // letter case. "[" and "{" differ by the case bit; a tab starts a line.
      {"", "false 0 0 0:"},
      {"number_waypoints=2\nwp_pos=(1,2,3)\n", "false 0 0 0:"},
      {"[Waypoints]\nnumber_waypoints=2\n", "false 0 0 0:"},
      {"{Waypoint}\nnumber_waypoints=2\n", "false 0 0 0:"},
      {"[Waypoin\nnumber_waypoints=2\n", "false 0 0 0:"},
      {"# [Waypoint]\n// [Waypoint]\nnumber_waypoints=2\n", "false 0 0 0:"},
      {"  [WAYPOINT] with text after\nnumber_waypoints=2\n", "2 2 0:"},
      {"x\t[Waypoint]\nnumber_waypoints=2\n", "2 2 0:"},
      {"[Header]\nx=1\n[Waypoint]", "0 0 0:"},
      {"[Waypoint]\n[Next]\nnumber_waypoints=2", "2 2 0:"},  // Later headers end nothing.
      // The count is rounded. One of 0 or less keeps the array; one that
      // cannot be read or rounded changes nothing; one too large for the
      // array leaves none, and waypoint lines are then ignored.
      {"[Waypoint]\nnumber_waypoints=2.5", "3 3 0:"},
      {"[Waypoint]\nnumber_waypoints=2.49", "2 2 0:"},
      {"[Waypoint]\nnumber_waypoints=2\nnumber_waypoints=-0.4", "0 2 0:"},
      {"[Waypoint]\nnumber_waypoints=2\nnumber_waypoints=-3", "-3 2 0:"},
      {"[Waypoint]\nnumber_waypoints=2\nnumber_waypoints=x", "2 2 0:"},
      {"[Waypoint]\nnumber_waypoints=2\nnumber_waypoints=1e10", "2 2 0:"},
      {"[Waypoint]\nnumber_waypoints=100000", "100000 100000 0:"},
      {"[Waypoint]\nnumber_waypoints=100001", "100001 0 0:"},
      {"[Waypoint]\nnumber_waypoints=2\nnumber_waypoints=2e9\nwp_pos=(1,1,1)\n", "2000000000 0 0:"},
      // Blocks fill the waypoints in file order, with CR LF line ends and none
      // at the end. Ignored: a waypoint line before the count (no array yet),
      // keys that hold a blank, a waypoint key not in column one, a tab
      // before "=" (it ends the line), comments. A tab starts a new line.
      {"// comment line\r\n[Waypoint]\r\nwp_pos=(99,99,99)\r\n  number_waypoints = 9\r\n"
       "  number_waypoints=3\r\n   GrooveWidth=1.25\r\nWp_Pos=(1,2,3)\r\n wp_pos=(9,9,9)\r\n"
       "wp_pos =(9,9,9)\r\nwp_pos\t=(9,9,9)\r\n# wp_pos=(9,9,9)\r\nWP_PTRS=(2,1,-1,0)\r\n"
       "[Another section]\r\nwp_pos=(10,20,30)\tWP_PTRS=(0,2,-1,0)\r\nWP_PTRS=(1,0,-1,0)",
       "3 3 1.25: #0 1,2,3>2,1,-1,0 #1 10,20,30>0,2,-1,0 #2 0,0,0>1,0,-1,0"},
      // Fewer blocks than the count: the rest stay new. More: the extra
      // blocks are ignored.
      {"[Waypoint]\nnumber_waypoints=2\nwp_pos=(1,1,1)\nWP_PTRS=(0,1,0,0)\n",
       "2 2 0: #0 1,1,1>0,1,0,0"},
      {"[Waypoint]\nnumber_waypoints=1\nWP_PTRS=(0,0,0,0)\nwp_pos=(5,5,5)\nWP_PTRS=(3,3,3,3)\n",
       "1 1 0: #0 0,0,0>0,0,0,0"},
      // A second positive count replaces the array and starts again at 0; a
      // count of 0 keeps the array and the current waypoint.
      {"[Waypoint]\nnumber_waypoints=3\nwp_pos=(1,1,1)\nWP_PTRS=(0,0,0,0)\n"
       "number_waypoints=2\nwp_pos=(2,2,2)\nWP_PTRS=(1,1,1,1)\n",
       "2 2 0: #0 2,2,2>1,1,1,1"},
      {"[Waypoint]\nnumber_waypoints=2\nWP_PTRS=(5,5,5,5)\n"
       "number_waypoints=0\nwp_pos=(7,7,7)\nWP_PTRS=(6,6,6,6)\n",
       "0 2 0: #0 0,0,0>5,5,5,5 #1 7,7,7>6,6,6,6"},
      // A key too long for its buffer is no key; the line after it still is.
      {"[Waypoint]\n" + std::string(600, 'k') + "=1\nnumber_waypoints=1\n", "1 1 0:"},
      // Bytes above 0x7F end lines: the text after the dash is a line of its own.
      {"[Waypoint]\nnumber_waypoints=1\n# note \xE2\x80\x94wp_pos=(4,5,6)\n# \xFFnot a key\n",
       "1 1 0: #0 4,5,6>-1,-1,-1,-1"},
  };
  for (const auto& [content, expected] : kCases) EXPECT_EQ(Read(content), expected) << content;
}

}  // namespace
