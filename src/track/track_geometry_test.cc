#include "track/track_geometry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "testing/temp_dir.h"
#include "track/track_locate.h"

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
  return "wp_pos=(" + std::to_string(x) + ",5," + std::to_string(z) + ")\n" + "wp_perp=" + perp +
         "\n" + "wp_width=" + width + "\n" + "wp_dwidth=" + dwidth + "\n" + "WP_PTRS=(-1," +
         std::to_string(next) + ",-1,-1)\n";
}

bool LoadText(const std::string& content, TrackGeometry* geometry) {
  TempDir dir;
  dir.Write("t.aiw", content);
  return geometry->LoadAiw(dir.File("t.aiw").c_str());
}

TEST(TrackGeometryTest, OneWaypointGivesFourPointsPerStrip) {
  TrackGeometry geometry;
  ASSERT_TRUE(LoadText(
      "[Waypoint]\nnumber_waypoints=1\n" + Block(10, 5, "(0,0,1)", "(2,3,0,0)", "(1,4,0,0)", 0),
      &geometry));
  EXPECT_TRUE(geometry.loaded());
  ASSERT_EQ(geometry.strip_count(), 2);
  EXPECT_EQ(geometry.strip(0).kind, 1);
  EXPECT_EQ(geometry.strip(1).kind, 0);
  EXPECT_EQ(PointsOf(geometry.strip(0)), (Points{{10, 9}, {10, 4}, {10, 9}, {10, 4}}));
  EXPECT_EQ(PointsOf(geometry.strip(1)), (Points{{10, 8}, {10, 3}, {10, 8}, {10, 3}}));
  EXPECT_EQ(geometry.strip(1).point_count(), 4);
}

TEST(TrackGeometryTest, ClosedChainUsesDirectionsAndWidthsAsRead) {
  TrackGeometry geometry;
  ASSERT_TRUE(LoadText("[Waypoint]\nnumber_waypoints=3\n" +
                           Block(0, 0, "(0,0,1)", "(1,2,0,0)", "(3,4,0,0)", 1) +
                           Block(10, 0, "(-1,0,0)", "(1,1,0,0)", "(2,2,0,0)", 2) +
                           Block(10, 10, "(0.5,7,0.5)", "(2,4,0,0)", "(0,0,0,0)", 0),
                       &geometry));
  EXPECT_EQ(PointsOf(geometry.strip(0)),
            (Points{{0, 4}, {0, -3}, {8, 0}, {12, 0}, {10, 10}, {10, 10}, {0, 4}, {0, -3}}));
  EXPECT_EQ(PointsOf(geometry.strip(1)),
            (Points{{0, 2}, {0, -1}, {9, 0}, {11, 0}, {12, 12}, {9, 9}, {0, 2}, {0, -1}}));
}

TEST(TrackGeometryTest, WalksStayWithinTheArray) {
  struct Case {
    const char* name;
    std::string waypoints;
    Points strip1;
  };
  const char* kPerp = "(0,0,1)";
  const char* kWidth = "(1,1,0,0)";
  const Case cases[] = {
      {"returns to 0 after two of four",
       "number_waypoints=4\n" + Block(0, 0, kPerp, kWidth, kWidth, 2) +
           Block(1, 0, kPerp, kWidth, kWidth, 3) + Block(2, 0, kPerp, kWidth, kWidth, 0) +
           Block(3, 0, kPerp, kWidth, kWidth, 1),
       {{0, 1}, {0, -1}, {2, 1}, {2, -1}, {0, 1}, {0, -1}}},
      {"loops without passing 0",
       "number_waypoints=3\n" + Block(0, 0, kPerp, kWidth, kWidth, 1) +
           Block(1, 0, kPerp, kWidth, kWidth, 2) + Block(2, 0, kPerp, kWidth, kWidth, 1),
       {{0, 1}, {0, -1}, {1, 1}, {1, -1}, {2, 1}, {2, -1}, {0, 1}, {0, -1}}},
      {"points at itself",
       "number_waypoints=3\n" + Block(0, 0, kPerp, kWidth, kWidth, 1) +
           Block(1, 0, kPerp, kWidth, kWidth, 1) + Block(2, 0, kPerp, kWidth, kWidth, 0),
       {{0, 1}, {0, -1}, {1, 1}, {1, -1}, {1, 1}, {1, -1}, {0, 1}, {0, -1}}},
      {"points beyond the array",
       "number_waypoints=2\n" + Block(0, 0, kPerp, kWidth, kWidth, 2) +
           Block(1, 0, kPerp, kWidth, kWidth, 0),
       {{0, 1}, {0, -1}, {0, 1}, {0, -1}}},
      {"has no WP_PTRS line",
       "number_waypoints=2\nwp_pos=(4,0,0)\nwp_perp=(0,0,1)\nwp_width=(1,1,0,0)\n",
       {{4, 1}, {4, -1}, {4, 1}, {4, -1}}},
      {"a negative pointer",
       "number_waypoints=2\n" + Block(0, 0, kPerp, kWidth, kWidth, -5) +
           Block(1, 0, kPerp, kWidth, kWidth, 0),
       {{0, 1}, {0, -1}, {0, 1}, {0, -1}}},
      {"no count", "GrooveWidth=2\n", {}},
      {"a count of zero", "number_waypoints=0\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TrackGeometry geometry;
    ASSERT_TRUE(LoadText("[Waypoint]\n" + c.waypoints, &geometry));
    EXPECT_TRUE(geometry.loaded());
    ASSERT_EQ(geometry.strip_count(), 2);
    EXPECT_EQ(PointsOf(geometry.strip(1)), c.strip1);
    EXPECT_EQ(geometry.strip(0).point_count(), static_cast<std::int32_t>(c.strip1.size()));
  }
}

TEST(TrackGeometryTest, FailedLoadsLeaveTheGeometryNotLoaded) {
  TempDir dir;
  dir.Write("no_section.aiw", "[Waypoints]\nnumber_waypoints=1\n");
  for (const std::string& path :
       {dir.File("missing.aiw"), dir.File("no_section.aiw"), dir.path()}) {
    SCOPED_TRACE(path);
    TrackGeometry geometry;
    EXPECT_FALSE(geometry.LoadAiw(path.c_str()));
    EXPECT_FALSE(geometry.loaded());
    EXPECT_EQ(geometry.strip_count(), 0);
  }
}

#if defined(__linux__)
int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

TEST(TrackGeometryTest, LoadAiwClosesTheFile) {
  TempDir dir;
  dir.Write("good.aiw", "[Waypoint]\nnumber_waypoints=1\nWP_PTRS=(0,0,0,0)\n");
  dir.Write("bad.aiw", "no section\n");
  const int before = OpenDescriptors();
  TrackGeometry good;
  TrackGeometry bad;
  EXPECT_TRUE(good.LoadAiw(dir.File("good.aiw").c_str()));
  EXPECT_FALSE(bad.LoadAiw(dir.File("bad.aiw").c_str()));
  EXPECT_EQ(OpenDescriptors(), before);
}
#endif

TEST(TrackGeometryTest, NameIsACopyAndStripCountResets) {
  TrackGeometry geometry;
  char name[] = "Speedway";
  ASSERT_TRUE(geometry.SetTrackName(name));
  std::strcpy(name, "Changed!");
  EXPECT_STREQ(geometry.track_name(), "Speedway");
  ASSERT_TRUE(geometry.SetTrackName(""));
  EXPECT_STREQ(geometry.track_name(), "");
  EXPECT_TRUE(geometry.SetStripCount(3));
  EXPECT_EQ(geometry.strip(2).point_count(), 0);
  EXPECT_TRUE(geometry.SetStripCount(-1));
  EXPECT_EQ(geometry.strip_count(), 0);
}

TEST(TrackGeometryTest, AReaderThatSeesLoadedSeesCompleteStrips) {
  TempDir dir;
  std::string content = "[Waypoint]\nnumber_waypoints=200\n";
  for (int i = 0; i < 200; ++i) {
    content += Block(static_cast<float>(i), 0, "(0,0,1)", "(1,1,0,0)", "(2,2,0,0)", (i + 1) % 200);
  }
  dir.Write("t.aiw", content);
  TrackGeometry geometry;
  std::atomic<bool> finished{false};
  int seen_points = -1;
  std::thread reader([&] {
    while (!geometry.loaded() && !finished.load()) std::this_thread::yield();
    if (geometry.loaded()) seen_points = geometry.strip(1).point_count();
  });
  const bool loaded = geometry.LoadAiw(dir.File("t.aiw").c_str());
  finished.store(true);
  reader.join();
  ASSERT_TRUE(loaded);
  EXPECT_EQ(seen_points, 402);
}

TEST(TrackGeometryTest, SampleTrackLoads) {
  const std::string game = std::string(PITWALL_EXAMPLES_DIR) + "/game";
  std::string tracks_dir;
  ASSERT_TRUE(ReadTracksDir(game + "/Config.ini", &tracks_dir));
  EXPECT_EQ(tracks_dir, "GameData\\Locations\\");
  const std::string root = game + "\\" + tracks_dir;
  TrackSearchOptions options;
  options.tracks_dir = root;

  struct Case {
    const char* name;
    const char* file;
    std::int32_t points;
  };
  const Case cases[] = {
      {"Pitwall Ring", "/PitwallRing/Pitwall_Ring.aiw", 2 * 373 + 2},
      {"Harbour Loop", "/HarbourLoop/Harbour_Loop.aiw", 2 * 61 + 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AiwPathBuffer path;
    ASSERT_TRUE(LocateTrackAiw(c.name, options, path));
    const std::string found = path;
    const std::string file = c.file;
    ASSERT_GT(found.size(), file.size());
    EXPECT_EQ(found.substr(found.size() - file.size()), file);
    TrackGeometry geometry;
    ASSERT_TRUE(geometry.LoadAiw(found.c_str()));
    ASSERT_EQ(geometry.strip_count(), 2);
    EXPECT_EQ(geometry.strip(0).point_count(), c.points);
    EXPECT_EQ(geometry.strip(1).point_count(), c.points);
  }

  AiwPathBuffer path;
  EXPECT_FALSE(LocateTrackAiw("Pitwall Ring Short", options, path));

  // The lap starts at (0, 0) heading along +x, 6 m of track and 3 m of
  // run-off to either side.
  AiwPathBuffer ring;
  ASSERT_TRUE(LocateTrackAiw("Pitwall Ring", options, ring));
  TrackGeometry geometry;
  ASSERT_TRUE(geometry.LoadAiw(ring));
  const Points drivable = PointsOf(geometry.strip(0));
  const Points track = PointsOf(geometry.strip(1));
  EXPECT_EQ(Points(drivable.begin(), drivable.begin() + 2), (Points{{0, 9}, {0, -9}}));
  EXPECT_EQ(Points(track.begin(), track.begin() + 2), (Points{{0, 6}, {0, -6}}));
  EXPECT_EQ(Points(track.end() - 2, track.end()), (Points{{0, 6}, {0, -6}}));
}

}  // namespace
