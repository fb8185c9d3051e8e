// The current track outline: loads on a change of track, keeps geometries
// alive for their readers, and the chunked Trackstrip answer.
#include "server/current_track.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "server/client_connection.h"
#include "server/responses.h"
#include "testing/eventually.h"
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

class CurrentTrackTest : public ::testing::Test {
 protected:
  void SetUp() override { log_.SetBoundPort(9); }
  std::string Log() {
    const std::string text = dir_.ReadText("PitwallFeedPlugin_9.log");
    return text == "<missing>" ? "" : text;
  }
  // Names the session's track, as its 64-byte field; whether a load started.
  bool Session(const char* name) {
    char field[64] = {};
    std::strncpy(field, name, sizeof(field) - 1);
    return track_.OnSessionTrack(field);
  }
  // The geometry of the track `name` once it is loaded, or null.
  std::shared_ptr<const TrackGeometry> WaitLoaded(const char* name) {
    std::shared_ptr<const TrackGeometry> g;
    const bool loaded = Eventually([&] {
      g = track_.LoadedGeometry();
      return g != nullptr && std::strcmp(g->track_name(), name) == 0;
    });
    return loaded ? g : nullptr;
  }
  // The log once every load has ended (loads run on their own threads).
  std::string LogWhenIdle() {
    EXPECT_TRUE(Eventually([&] { return !track_.loading(); })) << "a load never ended";
    return Log();
  }

  TempDir dir_;
  LogFile log_{dir_.prefix()};
  CurrentTrack track_{&log_, dir_.File("tracks")};
};

TEST_F(CurrentTrackTest, LoadsOnANewNameAndKeepsTheGeometryForTheSameName) {
  WriteTrack(dir_, "Oval", "Test Oval", 5);
  EXPECT_EQ(track_.LoadedGeometry(), nullptr);
  EXPECT_TRUE(Session("Test Oval"));
  const auto geometry = WaitLoaded("Test Oval");
  ASSERT_NE(geometry, nullptr);
  EXPECT_EQ(geometry->strip(0).point_count(), 12);
  EXPECT_FALSE(Session("Test Oval")) << "same track: no new load";
  EXPECT_EQ(track_.LoadedGeometry(), geometry);
  EXPECT_EQ(LogWhenIdle(), "") << "a successful load logs nothing";
}

TEST_F(CurrentTrackTest, UnknownTrackIsLoggedOnceAndNeverLoaded) {
  WriteTrack(dir_, "Oval", "Test Oval", 5);
  EXPECT_TRUE(Session("No Such Track"));
  EXPECT_FALSE(Session("No Such Track")) << "a failed load is not retried for the same name";
  EXPECT_EQ(LogWhenIdle(), "Failed to locate AIW for Track: No Such Track\n");
  EXPECT_FALSE(Session("No Such Track"));
  EXPECT_EQ(track_.LoadedGeometry(), nullptr);
  EXPECT_EQ(LogWhenIdle(), "Failed to locate AIW for Track: No Such Track\n");
}

TEST_F(CurrentTrackTest, AnUnreadableFileIsReportedWithItsPath) {
  dir_.Write("tracks/Bad/Bad.gdb", "TrackName = Bad Track\n");
  dir_.Write("tracks/Bad/Bad.aiw", "[Header]\nno waypoints here\n");
  Session("Bad Track");
  EXPECT_EQ(LogWhenIdle(), "Error reading AIW file: " + dir_.File("tracks") +
                               NativeSeparators("/Bad/Bad.aiw") + "\n");
}

TEST_F(CurrentTrackTest, FullFieldWithoutNulIsComparedOverItsSixtyFourBytes) {
  char field[64];
  std::memset(field, 'A', sizeof(field));
  EXPECT_TRUE(track_.OnSessionTrack(field));
  EXPECT_FALSE(track_.OnSessionTrack(field));
  field[63] = 'B';
  EXPECT_TRUE(track_.OnSessionTrack(field));
  const std::string a = "Failed to locate AIW for Track: " + std::string(63, 'A') + "A\n";
  const std::string b = "Failed to locate AIW for Track: " + std::string(63, 'A') + "B\n";
  const std::string log = LogWhenIdle();  // the two loads end in either order
  EXPECT_TRUE(log == a + b || log == b + a) << log;
}

TEST_F(CurrentTrackTest, ReplacingTracksWhileLoadsRunIsSafe) {
  WriteTrack(dir_, "One", "Track One", 400);
  WriteTrack(dir_, "Two", "Track Two", 300);
  Session("Track One");
  auto held = WaitLoaded("Track One");
  ASSERT_NE(held, nullptr);
  // Readers keep asking while the host's thread switches back and forth.
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load()) {
      if (auto g = track_.LoadedGeometry()) {
        const int n = g->strip(1).point_count();
        EXPECT_TRUE(n == 802 || n == 602) << n;
        EXPECT_EQ(g->strip(1).points[static_cast<std::size_t>(n - 1)].z, -1.0f);
      }
    }
  });
  for (int i = 0; i < 40; ++i) Session(i % 2 ? "Track One" : "Track Two");
  done.store(true);
  reader.join();
  // The geometry held from before all that is still whole.
  EXPECT_EQ(held->strip(0).point_count(), 802);
  EXPECT_EQ(held->strip(0).points[801].z, -3.0f);
  track_.Stop();
  EXPECT_EQ(track_.loader_threads(), 0);
  EXPECT_EQ(track_.LoadedGeometry(), nullptr);
  EXPECT_EQ(Log(), "");
}

class TrackstripTest : public CurrentTrackTest {
 protected:
  void SetUp() override {
    CurrentTrackTest::SetUp();
    ASSERT_TRUE(line_.Open());
    connection_.socket = line_.server.get();
    context_.log = &log_;
    context_.track = &track_;
  }
  // One Trackstrip answer: its chunks as they arrive.
  std::vector<Bytes> Answer() {
    ProcessTrackstrip(context_, &connection_, &buffer_);
    return line_.Messages();
  }

  LoopbackPair line_;
  ClientConnection connection_;
  ResponseBuffer buffer_;
  ResponseContext context_;
};

TEST_F(TrackstripTest, ChunksOfFiftyFromBothEdgesOfEachStrip) {
  WriteTrack(dir_, "Oval", "Test Oval", 59);  // 120 points a strip
  connection_.pending[kTrackstrip] = 1;
  connection_.changes.change_flags = 0x1F;
  EXPECT_TRUE(Answer().empty()) << "no track yet: no answer";
  EXPECT_EQ(connection_.pending[kTrackstrip], 0);

  Session("Test Oval");
  ASSERT_NE(WaitLoaded("Test Oval"), nullptr);
  // Three chunks a strip: 50, 50 and 20 points. (Their headers are checked
  // on the sample track in track_e2e_test.cc.)
  const auto chunks = Answer();
  ASSERT_EQ(chunks.size(), 6u);
  EXPECT_EQ(chunks[2].size(), 24u + 8 * 20);
  EXPECT_EQ(Bytes(chunks[3].begin() + 15, chunks[3].begin() + 24),
            (Bytes{1, 0, 0, 0, 0, 50, 0, 0, 0}))
      << "strip 1 from its point 0";
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
  Session("Alpha Fifty");
  ASSERT_NE(WaitLoaded("Alpha Fifty"), nullptr);
  auto chunks = Answer();
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].size(), 424u);

  Session("Bravo Fifty Two");
  ASSERT_NE(WaitLoaded("Bravo Fifty Two"), nullptr);
  chunks = Answer();
  ASSERT_EQ(chunks.size(), 4u);
  EXPECT_EQ(chunks[1].size(), 24u + 16u);
  EXPECT_EQ(U32At(chunks[1], 16), 50u);
  EXPECT_EQ(U32At(chunks[1], 20), 2u);
}

TEST_F(TrackstripTest, FailedSendsAreLoggedPerChunk) {
  WriteTrack(dir_, "Oval", "Test Oval", 59);
  Session("Test Oval");
  ASSERT_NE(WaitLoaded("Test Oval"), nullptr);
  ShutdownSocket(line_.server.get());  // every send now fails
  ProcessTrackstrip(context_, &connection_, &buffer_);
  std::string six;
  for (int i = 0; i < 6; ++i) six += "Error processing Trackstrip request.\n";
  EXPECT_EQ(Log(), six);
}

}  // namespace
