// What the web view's tests share: the plug-in loaded in the test's own
// process and fed a simulated race, as a simulator would.
#ifndef PITWALL_TOOLS_WEB_RACE_FEED_H_
#define PITWALL_TOOLS_WEB_RACE_FEED_H_

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

#include "testing/temp_dir.h"
#include "tests/wire_client.h"
#include "tools/test_host/plugin_host.h"
#include "tools/test_host/race_sim.h"
#include "tools/test_host/track_path.h"

// A copy of the sample game folder whose plug-in serves on a free port,
// and the working directory while it lives: the plug-in reads its files
// from there.
class SampleGame {
 public:
  SampleGame() : port_(FreePort()), cwd_(std::filesystem::current_path()) {
    dir_.CopyFrom(PITWALL_EXAMPLES_DIR "/game");
    dir_.Write("PitwallFeedPlugin.ini", "[GENERAL]\nPort=" + std::to_string(port_) + "\n");
    std::filesystem::current_path(dir_.path());
  }
  ~SampleGame() { std::filesystem::current_path(cwd_); }
  const std::string& path() const { return dir_.path(); }
  std::uint16_t port() const { return port_; }

 private:
  TempDir dir_;
  const std::uint16_t port_;
  const std::filesystem::path cwd_;
};

// Stopped and started again to make an outage. The plug-in reads its
// files from the working directory.
class RaceFeed {
 public:
  explicit RaceFeed(const std::string& game) {
    std::string error;
    EXPECT_TRUE(path_.Load(game, "Pitwall Ring", &error)) << error;
  }
  ~RaceFeed() { Stop(); }
  void Start() {
    running_ = true;
    thread_ = std::thread([this] {
      PluginHost host;
      std::string error;
      if (!host.Load(PITWALL_PLUGIN_PATH, &error)) {
        ADD_FAILURE() << error;
        return;
      }
      host.Startup();
      RaceSimulation race(path_, "Pitwall Ring", {.sessions = {SessionKind::kRace}});
      while (running_ && race.Advance(0.5, &host)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      host.Shutdown();
    });
  }
  void Stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }

 private:
  TrackPath path_;
  std::atomic<bool> running_{false};
  std::thread thread_;
};

#endif  // PITWALL_TOOLS_WEB_RACE_FEED_H_
