#include "web_bridge.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "testing/eventually.h"
#include "testing/temp_dir.h"
#include "tests/wire_client.h"
#include "tools/web/race_feed.h"

namespace {

using Clock = std::chrono::steady_clock;

// Waits until the bridge publishes a snapshot for which `done` holds.
template <typename Done>
std::shared_ptr<const BridgeSnapshot> WaitFor(const WebBridge& bridge, Done done,
                                              int seconds = 10) {
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  auto s = bridge.Latest();
  while (!done(*s) && Clock::now() < deadline) s = bridge.WaitNewer(s->id, 200);
  return s;
}

TEST(WebBridgeTest, SaysUnreachableAndStopsAtOnce) {
  WebBridge bridge("127.0.0.1", FreePort());
  EXPECT_EQ(bridge.Latest()->id, 0u);
  EXPECT_EQ(bridge.Latest()->status, "connecting");
  bridge.Start();
  const auto s = WaitFor(bridge, [](const BridgeSnapshot& b) { return b.status != "connecting"; });
  EXPECT_EQ(s->status, "unreachable");
  EXPECT_NE(s->message.find("connection refused"), std::string::npos) << s->message;
  EXPECT_EQ(nlohmann::json::parse(s->status_json)["status"], "unreachable");
  EXPECT_TRUE(s->state_json.empty());
  // A viewer waiting for the next snapshot is woken by the stop, long
  // before its own minute is up.
  std::atomic<bool> woke{false};
  std::thread viewer([&] {
    bridge.WaitNewer(s->id + 100, 60000);
    woke = true;
  });
  bridge.Stop();
  EXPECT_TRUE(Eventually([&] { return woke.load(); }, 10000)) << "the stop did not wake the viewer";
  viewer.join();
}

TEST(WebBridgeTest, FollowsTheRaceAndComesBackAfterAnOutage) {
  const SampleGame game;
  const std::uint16_t port = game.port();
  RaceFeed feed(game.path());
  feed.Start();
  WebBridge bridge("127.0.0.1", port);
  bridge.Start();
  auto s = WaitFor(
      bridge, [](const BridgeSnapshot& b) { return b.status == "live" && !b.track_json.empty(); });
  ASSERT_EQ(s->status, "live") << s->message;
  const nlohmann::json state = nlohmann::json::parse(s->state_json);
  EXPECT_EQ(state["format"], "pitwall-timing");
  ASSERT_EQ(state["cars"].size(), 20u);
  EXPECT_EQ(state["cars"][0]["place"], 1);
  EXPECT_NE(state["cars"][0]["driver"], "car 0") << "names are joined";
  const nlohmann::json track = nlohmann::json::parse(s->track_json);
  ASSERT_EQ(track["strips"].size(), 2u);
  EXPECT_GT(track["strips"][0]["points"].size(), 100u);

  // Snapshots keep coming, each numbered after the one before.
  const auto later = WaitFor(bridge, [&](const BridgeSnapshot& b) { return b.id >= s->id + 5; });
  EXPECT_GE(later->id, s->id + 5);

  feed.Stop();  // the simulator shuts the plug-in down
  s = WaitFor(bridge, [](const BridgeSnapshot& b) { return b.status == "unreachable"; });
  EXPECT_EQ(s->status, "unreachable");
  EXPECT_FALSE(s->state_json.empty()) << "the last state stays for viewers to see";

  feed.Start();
  s = WaitFor(
      bridge, [](const BridgeSnapshot& b) { return b.status == "live"; }, 20);
  EXPECT_EQ(s->status, "live") << s->message;
  bridge.Stop();

  // Another client in the one place the plug-in serves: the bridge is told
  // the server is full, and what to change.
  {
    WireClient holder;
    ASSERT_TRUE(holder.Connect(port));
    Bytes hello;
    ASSERT_TRUE(holder.Request(0) && holder.ReadMessage(&hello));
    WebBridge second("127.0.0.1", port);
    second.Start();
    s = WaitFor(second, [](const BridgeSnapshot& b) { return b.status == "full"; });
    EXPECT_EQ(s->status, "full") << s->message;
    EXPECT_NE(s->message.find("MaxConnections="), std::string::npos) << s->message;
    second.Stop();
  }
  feed.Stop();
}

}  // namespace
