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
#include "tools/web/delay_test_clock.h"
#include "tools/web/race_feed.h"

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;
using Sec = std::chrono::seconds;

// A snapshot's content as a test publishes it: its state says which it is.
BridgeSnapshot Content(int n, std::size_t state_bytes = 0) {
  BridgeSnapshot s;
  s.status = "live";
  s.state_json = "{\"updates\":" + std::to_string(n) + "}";
  if (state_bytes > s.state_json.size())
    s.state_json.append(state_bytes - s.state_json.size(), ' ');
  return s;
}

std::string StateOf(const KeptSnapshot& k) {
  return k.snapshot ? k.snapshot->state_json : "(none)";
}

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
  auto s = WaitFor(bridge, [](const BridgeSnapshot& b) {
    return b.status == "live" && b.track_json != nullptr;
  });
  ASSERT_EQ(s->status, "live") << s->message;
  const nlohmann::json state = nlohmann::json::parse(s->state_json);
  EXPECT_EQ(state["format"], "pitwall-timing");
  ASSERT_EQ(state["cars"].size(), 20u);
  EXPECT_EQ(state["cars"][0]["place"], 1);
  EXPECT_NE(state["cars"][0]["driver"], "car 0") << "names are joined";
  const nlohmann::json track = nlohmann::json::parse(*s->track_json);
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

// The past is kept for five minutes: each snapshot with its time, the one
// current five minutes ago included; what is older goes.
TEST(WebBridgeTest, KeepsTheLastFiveMinutesOfSnapshots) {
  const Clock::time_point t0 = Clock::now();
  DelayTestClock clock(t0);
  WebBridge bridge("127.0.0.1", FreePort(), 1, nullptr, nullptr, nullptr,
                   {.clock = clock.Function()});
  EXPECT_EQ(bridge.Past().snapshots, 1u) << "the first snapshot, 'connecting', is kept";
  EXPECT_EQ(bridge.AsOf(t0).snapshot->id, 0u);
  EXPECT_EQ(bridge.AsOf(t0 - Ms(1)).snapshot, nullptr);
  for (int k = 1; k <= 400; ++k) {
    clock.Set(t0 + Sec(k));
    bridge.PublishContent(Content(k));
  }
  const KeptPast past = bridge.Past();
  EXPECT_EQ(past.snapshots, 301u);
  EXPECT_EQ(past.oldest, t0 + Sec(100));
  EXPECT_FALSE(past.memory_bound);
  EXPECT_DOUBLE_EQ(bridge.KeptSeconds(), 300.0);
  EXPECT_EQ(bridge.Latest()->id, 400u);
  EXPECT_EQ(bridge.Latest()->status_json, R"({"status":"live","message":"","id":400})");

  const struct {
    Clock::duration at;
    std::string state;
  } as_of[] = {
      {Sec(99) + Ms(999), "(none)"},  // gone: older than five minutes
      {Sec(100), R"({"updates":100})"},
      {Sec(250), R"({"updates":250})"},  // published at that very time
      {Sec(250) + Ms(999), R"({"updates":250})"},
      {Sec(251), R"({"updates":251})"},
      {Sec(400), R"({"updates":400})"},
      {Sec(5000), R"({"updates":400})"},
  };
  for (const auto& a : as_of) {
    EXPECT_EQ(StateOf(bridge.AsOf(t0 + a.at)), a.state)
        << std::chrono::duration<double>(a.at).count() << " s";
  }
  EXPECT_EQ(bridge.AsOf(t0 + Sec(250)).published, t0 + Sec(250));

  // Walking forward: each next one, the oldest kept for one that has gone.
  EXPECT_EQ(StateOf(bridge.After(3)), R"({"updates":100})");
  EXPECT_EQ(StateOf(bridge.After(100)), R"({"updates":101})");
  EXPECT_EQ(bridge.After(250).published, t0 + Sec(251));
  EXPECT_EQ(StateOf(bridge.After(399)), R"({"updates":400})");
  EXPECT_EQ(bridge.After(400).snapshot, nullptr);

  // The plug-in goes quiet for ten minutes: what was current five minutes
  // ago is still there to show, and the web view still holds five minutes.
  clock.Set(t0 + Sec(1000));
  EXPECT_DOUBLE_EQ(bridge.KeptSeconds(), 300.0);
  EXPECT_EQ(StateOf(bridge.AsOf(bridge.Now() - Sec(300))), R"({"updates":400})");
  // The next publication lets all but the one current five minutes ago go.
  bridge.PublishContent(Content(401));
  EXPECT_EQ(bridge.Past().snapshots, 2u);
  EXPECT_EQ(StateOf(bridge.AsOf(t0 + Sec(701))), R"({"updates":400})");
  EXPECT_EQ(StateOf(bridge.AsOf(t0 + Sec(1000))), R"({"updates":401})");

  // A clock that goes back cannot unorder the past.
  clock.Set(t0 + Sec(900));
  bridge.PublishContent(Content(402));
  EXPECT_EQ(bridge.After(401).published, t0 + Sec(1000));
  EXPECT_EQ(StateOf(bridge.AsOf(t0 + Sec(1000))), R"({"updates":402})");
}

// Past the byte budget the oldest snapshots go first, and what the web
// view holds shrinks; an outline shared by many snapshots counts once.
TEST(WebBridgeTest, KeepsThePastWithinItsByteBudget) {
  const Clock::time_point t0 = Clock::now();
  DelayTestClock clock(t0);
  constexpr std::size_t kBudget = 100 * 1000;
  WebBridge bridge("127.0.0.1", FreePort(), 1, nullptr, nullptr, nullptr,
                   {.kept_bytes = kBudget, .clock = clock.Function()});
  for (int k = 1; k <= 50; ++k) {
    clock.Set(t0 + Ms(100 * k));
    bridge.PublishContent(Content(k, 10000));
  }
  KeptPast past = bridge.Past();
  // About ten states of 10 kB fit; exactly as many as the budget takes.
  EXPECT_GE(past.snapshots, 8u);
  EXPECT_LE(past.snapshots, 9u);
  EXPECT_LE(past.bytes, kBudget);
  EXPECT_GT(past.bytes + past.bytes / past.snapshots, kBudget) << "one more would not fit";
  EXPECT_TRUE(past.memory_bound);
  // They are the newest, in order, and the web view holds as far back as
  // the oldest of them.
  const std::uint64_t oldest = 50 - past.snapshots + 1;
  EXPECT_EQ(bridge.After(0).snapshot->id, oldest);
  EXPECT_EQ(past.oldest, t0 + Ms(100 * static_cast<int>(oldest)));
  EXPECT_NEAR(bridge.KeptSeconds(), (50 - static_cast<double>(oldest)) * 0.1, 1e-9);
  EXPECT_EQ(bridge.AsOf(t0 + Ms(100 * static_cast<int>(oldest) - 1)).snapshot, nullptr);
  for (std::uint64_t id = oldest; id < 50; ++id) EXPECT_EQ(bridge.After(id).snapshot->id, id + 1);

  // A 50 kB outline, then snapshots of small states that all carry it:
  // the outline counts once, so all of them fit.
  BridgeSnapshot with_track = Content(51);
  with_track.track_json = std::make_shared<const std::string>(std::string(50000, 'x'));
  clock.Set(t0 + Ms(5100));
  bridge.PublishContent(with_track);
  for (int k = 52; k <= 80; ++k) {
    clock.Set(t0 + Ms(100 * k));
    BridgeSnapshot next = Content(k);
    next.track_json = with_track.track_json;
    bridge.PublishContent(next);
  }
  past = bridge.Past();
  EXPECT_LE(past.bytes, kBudget);
  EXPECT_GE(past.snapshots, 30u) << "the outline was counted with every snapshot";
  EXPECT_EQ(StateOf(bridge.AsOf(t0 + Ms(5150))), R"({"updates":51})");
}

// Readers walk the past while the bridge publishes and lets go of it.
TEST(WebBridgeTest, ThePastIsReadWhileItIsWritten) {
  const Clock::time_point t0 = Clock::now();
  DelayTestClock clock(t0);
  WebBridge bridge("127.0.0.1", FreePort(), 1, nullptr, nullptr, nullptr,
                   {.kept_bytes = 200 * 1000, .clock = clock.Function()});
  std::atomic<bool> done{false};
  std::atomic<int> faults{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!done) {
        const Clock::time_point now = bridge.Now();
        const KeptSnapshot then = bridge.AsOf(now - Sec(2));
        if (!then.snapshot) continue;
        if (then.published > now - Sec(2)) ++faults;
        const KeptSnapshot next = bridge.After(then.snapshot->id);
        if (next.snapshot &&
            (next.snapshot->id <= then.snapshot->id || next.published < then.published)) {
          ++faults;
        }
      }
    });
  }
  for (int k = 1; k <= 5000; ++k) {
    clock.Set(t0 + Ms(10 * k));
    bridge.PublishContent(Content(k, 1000));
  }
  done = true;
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(faults.load(), 0);
  EXPECT_LE(bridge.Past().bytes, 200u * 1000);
}

}  // namespace
