// The track outline end to end: the module finds the sample track through
// the game folder's Config.ini, loads it on its own thread and sends it in
// chunks over a real socket.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "pitwall/scoring_record.h"
#include "testing/wire_bytes.h"
#include "tests/plugin_harness.h"
#include "tests/wire_client.h"

namespace {

class TrackE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The working directory becomes a copy of the sample game folder.
    host_.dir().CopyFrom(PITWALL_EXAMPLES_DIR "/game");
    port_ = FreePort();
    host_.dir().Write("PitwallFeedPlugin.ini", "[GENERAL]\nPort=" + std::to_string(port_) + "\n");
    plugin_ = host_.CreatePlugin();
    ASSERT_NE(plugin_, nullptr);
    plugin_->Startup();
    ASSERT_TRUE(client_.Connect(port_));
  }
  void Drive(const char* track) {
    ScoringRecordWriter w(2);
    w.SetTrackName(track);
    plugin_->SessionStart();
    plugin_->UpdateScoring(w.record());
  }
  std::string Log() const {
    const std::string text =
        host_.dir().ReadText("PitwallFeedPlugin_" + std::to_string(port_) + ".log");
    return text == "<missing>" ? "" : text;
  }
  // Asks for the outline until its first chunk comes (the load runs in the
  // background), then collects every chunk that follows.
  std::vector<Bytes> Outline() {
    std::vector<Bytes> chunks;
    Bytes m;
    for (int tries = 0; tries < 100 && chunks.empty(); ++tries) {
      client_.Request(4);
      if (client_.ReadMessage(&m, 100)) chunks.push_back(m);
    }
    while (client_.ReadMessage(&m, 500)) chunks.push_back(m);
    return chunks;
  }
  PluginHarness host_;
  InternalsPluginV3* plugin_ = nullptr;
  std::uint16_t port_ = 0;
  WireClient client_;
};

TEST_F(TrackE2eTest, SampleTrackArrivesInChunksWithItsDirectory) {
  Drive("Pitwall Ring");
  const std::vector<Bytes> chunks = Outline();
  // 373 waypoints: 748 points a strip, 14 full chunks and one of 48.
  ASSERT_EQ(chunks.size(), 30u);
  std::map<int, std::uint32_t> next_start;
  for (std::size_t c = 0; c < chunks.size(); ++c) {
    const Bytes& m = chunks[c];
    const int strip = c < 15 ? 0 : 1;
    const std::uint32_t n = (c % 15 == 14) ? 48 : 50;
    ASSERT_EQ(m.size(), 24u + 8 * n) << c;
    EXPECT_EQ(m[0] | (m[1] << 8), static_cast<int>(24 + 8 * n));
    EXPECT_EQ(Bytes(m.begin() + 2, m.begin() + 15),
              (Bytes{4, 0, 2, 1, 0xEC, 0x02, 0, 0, 0, 0xEC, 0x02, 0, 0}));
    EXPECT_EQ(m[15], strip);
    EXPECT_EQ(U32At(m, 16), next_start[strip]);
    EXPECT_EQ(U32At(m, 20), n);
    next_start[strip] += n;
  }
  // Waypoint 0 stands at (0, 1.18, 0) facing +x with wp_perp (0, 0, 1),
  // wp_dwidth (9, 9) and wp_width (6, 6). (Which width makes which strip is
  // current_track_test.cc's.)
  EXPECT_EQ(F32At(chunks[0], 28), 9.0f);
  EXPECT_EQ(F32At(chunks[15], 36), -6.0f);
  // The last two points close the band: they repeat the first two.
  const Bytes& last = chunks[14];
  EXPECT_EQ(Bytes(last.end() - 16, last.end()),
            Bytes(chunks[0].begin() + 24, chunks[0].begin() + 40));
  EXPECT_EQ(Log().find("AIW"), std::string::npos) << "a successful load logs nothing";

  // The change mask is untouched by all of it: the first UpdateData still
  // carries everything.
  Bytes update;
  client_.Request(1);
  ASSERT_TRUE(client_.ReadMessage(&update));
  EXPECT_EQ(update[3], 0x1F);
}

TEST_F(TrackE2eTest, ChangingTrackWhileALoadRunsIsSafe) {
  for (int i = 0; i < 30; ++i)
    Drive(i % 3 == 0 ? "Harbour Loop" : (i % 3 == 1 ? "Pitwall Ring" : "Nowhere"));
  Drive("Harbour Loop");
  const std::vector<Bytes> chunks = Outline();
  ASSERT_FALSE(chunks.empty());
  // Harbour Loop has 61 waypoints: 124 points a strip.
  EXPECT_EQ(U32At(chunks[0], 6), 124u);
  plugin_->Shutdown();  // waits for any load still running
  EXPECT_TRUE(client_.WaitClosed());
}

}  // namespace
