#include "track/track_geometry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "testing/temp_dir.h"

namespace {

using Points = std::vector<std::pair<float, float>>;

Points PointsOf(const TrackStrip& strip) {
  Points points;
  for (const StripPoint& p : strip.points) points.emplace_back(p.x, p.z);
  return points;
}

// One waypoint block; the y values are 5 so that dropping y is tested.
std::string Block(float x, float z, const char* perp, const char* width, const char* dwidth,
                  int next) {
  return "wp_pos=(" + std::to_string(x) + ",5," + std::to_string(z) + ")\nwp_perp=" + perp +
         "\nwp_width=" + width + "\nwp_dwidth=" + dwidth + "\nWP_PTRS=(-1," + std::to_string(next) +
         ",-1,-1)\n";
}

// The count and one block per entry of `next`: waypoint i at (i, 0), 1 m of
// track to either side (both widths), followed by waypoint next[i].
std::string Chain(const std::vector<int>& next) {
  std::string text = "number_waypoints=" + std::to_string(next.size()) + "\n";
  for (std::size_t i = 0; i < next.size(); ++i) {
    text += Block(static_cast<float>(i), 0, "(0,0,1)", "(1,1,0,0)", "(1,1,0,0)", next[i]);
  }
  return text;
}

std::string WriteAiw(const TempDir& dir, const std::string& content) {
  dir.Write("t.aiw", content);
  return dir.File("t.aiw");
}

int OpenDescriptors() {
#if defined(__linux__)
  return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                        std::filesystem::directory_iterator()));
#else
  return 0;
#endif
}

TEST(TrackGeometryTest, StripsFollowTheChainWithinTheArray) {
  // {the waypoint section, track strip, drivable strip when it differs}
  const std::tuple<std::string, Points, Points> kCases[] = {
      // One waypoint; then a closed chain with directions and widths as read.
      {"number_waypoints=1\n" + Block(10, 5, "(0,0,1)", "(2,3,0,0)", "(1,4,0,0)", 0),
       {{10, 8}, {10, 3}, {10, 8}, {10, 3}},
       {{10, 9}, {10, 4}, {10, 9}, {10, 4}}},
      {"number_waypoints=3\n" + Block(0, 0, "(0,0,1)", "(1,2,0,0)", "(3,4,0,0)", 1) +
           Block(10, 0, "(-1,0,0)", "(1,1,0,0)", "(2,2,0,0)", 2) +
           Block(10, 10, "(0.5,7,0.5)", "(2,4,0,0)", "(0,0,0,0)", 0),
       {{0, 2}, {0, -1}, {9, 0}, {11, 0}, {12, 12}, {9, 9}, {0, 2}, {0, -1}},
       {{0, 4}, {0, -3}, {8, 0}, {12, 0}, {10, 10}, {10, 10}, {0, 4}, {0, -3}}},
      // Back at 0 after two of four; a loop that never passes 0; a waypoint
      // that points at itself; pointers beyond the array or negative.
      {Chain({2, 3, 0, 1}), {{0, 1}, {0, -1}, {2, 1}, {2, -1}, {0, 1}, {0, -1}}, {}},
      {Chain({1, 2, 1}), {{0, 1}, {0, -1}, {1, 1}, {1, -1}, {2, 1}, {2, -1}, {0, 1}, {0, -1}}, {}},
      {Chain({1, 1, 0}), {{0, 1}, {0, -1}, {1, 1}, {1, -1}, {1, 1}, {1, -1}, {0, 1}, {0, -1}}, {}},
      {Chain({2, 0}), {{0, 1}, {0, -1}, {0, 1}, {0, -1}}, {}},
      {Chain({-5, 0}), {{0, 1}, {0, -1}, {0, 1}, {0, -1}}, {}},
      // No WP_PTRS line; no count; a count of zero.
      {"number_waypoints=2\nwp_pos=(4,0,0)\nwp_perp=(0,0,1)\nwp_width=(1,1,0,0)\n",
       {{4, 1}, {4, -1}, {4, 1}, {4, -1}},
       {{4, 0}, {4, 0}, {4, 0}, {4, 0}}},
      {"GrooveWidth=2\n", {}, {}},
      {"number_waypoints=0\n", {}, {}},
  };
  for (const auto& [waypoints, track, drivable] : kCases) {
    SCOPED_TRACE(waypoints);
    TempDir dir;
    TrackGeometry geometry;
    ASSERT_TRUE(geometry.LoadAiw(WriteAiw(dir, "[Waypoint]\n" + waypoints).c_str()));
    EXPECT_TRUE(geometry.loaded());
    ASSERT_EQ(geometry.strip_count(), 2);
    EXPECT_EQ(geometry.strip(0).kind, 1);
    EXPECT_EQ(geometry.strip(1).kind, 0);
    EXPECT_EQ(PointsOf(geometry.strip(1)), track);
    EXPECT_EQ(PointsOf(geometry.strip(0)), drivable.empty() ? track : drivable);
  }
}

TEST(TrackGeometryTest, FailedLoadsLeaveItNotLoadedAndNoFileOpen) {
  TempDir dir;
  dir.Write("no_section.aiw", "[Waypoints]\nnumber_waypoints=1\n");
  const int before = OpenDescriptors();
  for (const std::string& path :
       {dir.File("missing.aiw"), dir.File("no_section.aiw"), dir.path()}) {
    SCOPED_TRACE(path);
    TrackGeometry geometry;
    EXPECT_FALSE(geometry.LoadAiw(path.c_str()));
    EXPECT_FALSE(geometry.loaded());
    EXPECT_EQ(geometry.strip_count(), 0);
  }
  TrackGeometry good;
  EXPECT_TRUE(good.LoadAiw(WriteAiw(dir, "[Waypoint]\nnumber_waypoints=1\n").c_str()));
  EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
