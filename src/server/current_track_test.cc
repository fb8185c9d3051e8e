// The current track outline: loads on a change of track, keeps geometries
// alive for their readers, and the chunked Trackstrip answer.
#include "server/current_track.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "server/client_connection.h"
#include "server/responses.h"
#include "testing/paths.h"
#include "testing/temp_dir.h"
#include "testing/wire_bytes.h"
#include "track/track_geometry.h"

namespace {

// A track of `n` waypoints along the x axis, 10 m apart, in a closed chain:
// waypoint i at (10 i, 0, 0), wp_perp (0, 0, 1), wp_width (1, 2) and
// wp_dwidth (3, 4). Strip 0 (dwidth) gets (10 i, 4) then (10 i, -3); strip 1
// (width) gets (10 i, 2) then (10 i, -1); 2n + 2 points each.
void WriteTrack(const TempDir& dir, const std::string& folder, const std::string& name, int n) {
  std::string aiw = "[Waypoint]\nnumber_waypoints=" + std::to_string(n) + "\n";
  for (int i = 0; i < n; ++i) {
    aiw += "wp_pos=(" + std::to_string(i * 10) + ",0,0)\n";
    aiw += "wp_perp=(0,0,1)\nwp_width=(1,2,0,0)\nwp_dwidth=(3,4,0,0)\n";
    aiw += "WP_PTRS=(0," + std::to_string((i + 1) % n) + ",-1,0)\n";
  }
  dir.Write("tracks/" + folder + "/" + folder + ".aiw", aiw);
  dir.Write("tracks/" + folder + "/" + folder + ".gdb", "TrackName = " + name + "\n");
}

void Name(const char* text, char (&field)[64]) {
  std::memset(field, 0, sizeof(field));
  std::strncpy(field, text, sizeof(field));
}

std::shared_ptr<const TrackGeometry> WaitLoaded(const CurrentTrack& track) {
  for (int i = 0; i < 500; ++i) {
    if (auto g = track.LoadedGeometry()) return g;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return nullptr;
}

class CurrentTrackTest : public ::testing::Test {
 protected:
  void SetUp() override { log_.SetBoundPort(9); }
  std::string Log() {
    const std::string text = dir_.ReadText("PitwallFeedPlugin_9.log");
    return text == "<missing>" ? "" : text;
  }
  // The log once it is `expected` (loads run on their own threads), or as
  // it is after a few seconds.
  std::string LogOnce(const std::string& expected) {
    for (int i = 0; i < 500 && Log() != expected; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return Log();
  }
  TempDir dir_;
  LogFile log_{dir_.prefix()};
  char name_[64];
};

TEST_F(CurrentTrackTest, LoadsOnANewNameAndKeepsTheGeometryForTheSameName) {
  WriteTrack(dir_, "Oval", "Test Oval", 5);
  CurrentTrack track(&log_, dir_.File("tracks"));
  EXPECT_EQ(track.LoadedGeometry(), nullptr);
  Name("Test Oval", name_);
  EXPECT_TRUE(track.OnSessionTrack(name_));
  const auto geometry = WaitLoaded(track);
  ASSERT_NE(geometry, nullptr);
  EXPECT_STREQ(geometry->track_name(), "Test Oval");
  EXPECT_EQ(geometry->strip(0).point_count(), 12);
  EXPECT_FALSE(track.OnSessionTrack(name_)) << "same track: no new load";
  EXPECT_EQ(track.LoadedGeometry(), geometry);
  EXPECT_EQ(Log(), "") << "a successful load logs nothing";
}

TEST_F(CurrentTrackTest, UnknownTrackIsLoggedOnceAndNeverLoaded) {
  WriteTrack(dir_, "Oval", "Test Oval", 5);
  CurrentTrack track(&log_, dir_.File("tracks"));
  Name("No Such Track", name_);
  EXPECT_TRUE(track.OnSessionTrack(name_));
  EXPECT_FALSE(track.OnSessionTrack(name_)) << "a failed load is not retried for the same name";
  EXPECT_EQ(LogOnce("Failed to locate AIW for Track: No Such Track\n"),
            "Failed to locate AIW for Track: No Such Track\n");
  EXPECT_FALSE(track.OnSessionTrack(name_));
  EXPECT_EQ(track.LoadedGeometry(), nullptr);
}

TEST_F(CurrentTrackTest, AnUnreadableFileIsReportedWithItsPath) {
  dir_.Write("tracks/Bad/Bad.gdb", "TrackName = Bad Track\n");
  dir_.Write("tracks/Bad/Bad.aiw", "[Header]\nno waypoints here\n");
  CurrentTrack track(&log_, dir_.File("tracks"));
  Name("Bad Track", name_);
  track.OnSessionTrack(name_);
  const std::string expected =
      "Error reading AIW file: " + dir_.File("tracks") + NativeSeparators("/Bad/Bad.aiw") + "\n";
  EXPECT_EQ(LogOnce(expected), expected);
}

TEST_F(CurrentTrackTest, FullFieldWithoutNulIsComparedOverItsSixtyFourBytes) {
  CurrentTrack track(&log_, dir_.File("tracks"));
  char field[64];
  std::memset(field, 'A', sizeof(field));
  EXPECT_TRUE(track.OnSessionTrack(field));
  EXPECT_FALSE(track.OnSessionTrack(field));
  field[63] = 'B';
  EXPECT_TRUE(track.OnSessionTrack(field));
  const std::string a = "Failed to locate AIW for Track: " + std::string(63, 'A') + "A\n";
  const std::string b = "Failed to locate AIW for Track: " + std::string(63, 'A') + "B\n";
  const std::string log = LogOnce(a + b) == a + b ? a + b : LogOnce(b + a);
  EXPECT_TRUE(log == a + b || log == b + a) << log;
}

TEST_F(CurrentTrackTest, ReplacingTracksWhileLoadsRunIsSafe) {
  WriteTrack(dir_, "One", "Track One", 400);
  WriteTrack(dir_, "Two", "Track Two", 300);
  CurrentTrack track(&log_, dir_.File("tracks"));
  Name("Track One", name_);
  track.OnSessionTrack(name_);
  auto held = WaitLoaded(track);
  ASSERT_NE(held, nullptr);
  // Readers keep asking while the host's thread switches back and forth.
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load()) {
      if (auto g = track.LoadedGeometry()) {
        const int n = g->strip(1).point_count();
        EXPECT_TRUE(n == 802 || n == 602) << n;
        EXPECT_EQ(g->strip(1).points[static_cast<std::size_t>(n - 1)].z, -1.0f);
      }
    }
  });
  for (int i = 0; i < 40; ++i) {
    Name(i % 2 ? "Track One" : "Track Two", name_);
    track.OnSessionTrack(name_);
  }
  done.store(true);
  reader.join();
  // The geometry held from before all that is still whole.
  EXPECT_EQ(held->strip(0).point_count(), 802);
  EXPECT_EQ(held->strip(0).points[801].z, -3.0f);
  track.Stop();
  EXPECT_EQ(track.loader_threads(), 0);
  EXPECT_EQ(track.LoadedGeometry(), nullptr);
  EXPECT_EQ(Log(), "");
}

class TrackstripTest : public CurrentTrackTest {
 protected:
  void Connect() {
    ASSERT_TRUE(line_.Open());
    connection_.socket = line_.server.get();
  }
  std::vector<Bytes> Chunks() { return line_.Messages(); }

  LoopbackPair line_;
  ClientConnection connection_;
  ResponseBuffer buffer_;
};

TEST_F(TrackstripTest, ChunksOfFiftyWithTheDirectoryInEvery) {
  WriteTrack(dir_, "Oval", "Test Oval", 59);  // 120 points a strip
  CurrentTrack track(&log_, dir_.File("tracks"));
  Connect();
  ResponseContext context;
  context.log = &log_;
  context.track = &track;

  connection_.pending[kTrackstrip] = 1;
  connection_.changes.change_flags = 0x1F;
  ProcessTrackstrip(context, &connection_, &buffer_);
  EXPECT_TRUE(Chunks().empty()) << "no track yet: no answer";
  EXPECT_EQ(connection_.pending[kTrackstrip], 0);

  Name("Test Oval", name_);
  track.OnSessionTrack(name_);
  ASSERT_NE(WaitLoaded(track), nullptr);
  ProcessTrackstrip(context, &connection_, &buffer_);
  const auto chunks = Chunks();
  ASSERT_EQ(chunks.size(), 6u);
  const std::size_t lengths[] = {424, 424, 184, 424, 424, 184};
  const std::uint32_t starts[] = {0, 50, 100, 0, 50, 100};
  for (std::size_t c = 0; c < 6; ++c) {
    const Bytes& m = chunks[c];
    ASSERT_EQ(m.size(), lengths[c]) << c;
    EXPECT_EQ(m[0] | (m[1] << 8), static_cast<int>(lengths[c]));
    EXPECT_EQ(Bytes(m.begin() + 2, m.begin() + 15),
              (Bytes{4, 0, 2, 1, 120, 0, 0, 0, 0, 120, 0, 0, 0}))
        << "type, no mask, two strips: kind 1 and kind 0 with 120 points each";
    EXPECT_EQ(m[15], c < 3 ? 0 : 1) << "strip index";
    EXPECT_EQ(U32At(m, 16), starts[c]);
    EXPECT_EQ(U32At(m, 20), (lengths[c] - 24) / 8);
  }
  // Strip 0 is built from wp_dwidth (3, 4), strip 1 from wp_width (1, 2).
  EXPECT_EQ(F32At(chunks[0], 24), 0.0f);
  EXPECT_EQ(F32At(chunks[0], 28), 4.0f);
  EXPECT_EQ(F32At(chunks[0], 32), 0.0f);
  EXPECT_EQ(F32At(chunks[0], 36), -3.0f);
  EXPECT_EQ(F32At(chunks[1], 24), 250.0f) << "point 50: waypoint 25";
  EXPECT_EQ(F32At(chunks[2], 24 + 8 * 18), 0.0f) << "point 118 repeats point 0";
  EXPECT_EQ(F32At(chunks[2], 24 + 8 * 18 + 4), 4.0f);
  EXPECT_EQ(F32At(chunks[3], 28), 2.0f);
  EXPECT_EQ(F32At(chunks[3], 36), -1.0f);
  EXPECT_EQ(connection_.changes.change_flags, 0x1F) << "the change mask is left alone";
}

TEST_F(TrackstripTest, ExactlyFiftyPointsIsOneChunkAndFiftyTwoIsTwo) {
  WriteTrack(dir_, "A", "Alpha Fifty", 24);
  WriteTrack(dir_, "B", "Bravo Fifty Two", 25);
  CurrentTrack track(&log_, dir_.File("tracks"));
  Connect();
  ResponseContext context;
  context.log = &log_;
  context.track = &track;
  Name("Alpha Fifty", name_);
  track.OnSessionTrack(name_);
  ASSERT_NE(WaitLoaded(track), nullptr);
  ProcessTrackstrip(context, &connection_, &buffer_);
  auto chunks = Chunks();
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].size(), 424u);

  Name("Bravo Fifty Two", name_);
  track.OnSessionTrack(name_);
  for (int i = 0; i < 500; ++i) {
    auto g = track.LoadedGeometry();
    if (g && std::strcmp(g->track_name(), "Bravo Fifty Two") == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ProcessTrackstrip(context, &connection_, &buffer_);
  chunks = Chunks();
  ASSERT_EQ(chunks.size(), 4u);
  EXPECT_EQ(chunks[1].size(), 24u + 16u);
  EXPECT_EQ(U32At(chunks[1], 16), 50u);
  EXPECT_EQ(U32At(chunks[1], 20), 2u);
}

TEST_F(TrackstripTest, FailedSendsAreLoggedPerChunk) {
  WriteTrack(dir_, "Oval", "Test Oval", 59);
  CurrentTrack track(&log_, dir_.File("tracks"));
  Connect();
  ResponseContext context;
  context.log = &log_;
  context.track = &track;
  Name("Test Oval", name_);
  track.OnSessionTrack(name_);
  ASSERT_NE(WaitLoaded(track), nullptr);
  ShutdownSocket(line_.server.get());  // every send now fails
  ProcessTrackstrip(context, &connection_, &buffer_);
  std::string six;
  for (int i = 0; i < 6; ++i) six += "Error processing Trackstrip request.\n";
  EXPECT_EQ(Log(), six);
}

}  // namespace
