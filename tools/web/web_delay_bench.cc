// What the web bridge pays per publication to keep the past for delayed
// viewers, and what a delayed viewer's look-ups cost, with snapshots the size
// of a 20-car race's (a 21 kB state, a 25 kB outline shared by all).
//   build/tools/web/web_delay_bench --benchmark_min_time=0.5
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tools/web/web_bridge.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr auto kStep = std::chrono::milliseconds(100);  // the plug-in's pace
constexpr std::size_t kStateBytes = 21 * 1024;
constexpr std::size_t kTrackBytes = 25 * 1024;

// A bridge whose clock moves a tenth of a second with each publication.
struct Bridge {
  explicit Bridge(std::size_t kept_bytes)
      : bridge("127.0.0.1", 1, 1, nullptr, nullptr, nullptr,
               {.kept_bytes = kept_bytes, .clock = [this] { return now; }}) {}
  void Publish(const BridgeSnapshot& content) {
    now += kStep;
    bridge.PublishContent(content);
  }
  SteadyClock::time_point now = SteadyClock::now();  // first: the bridge reads it as it is made
  WebBridge bridge;
};

BridgeSnapshot Content() {
  BridgeSnapshot s;
  s.status = "live";
  s.message = "live timing from 127.0.0.1:34647";
  s.state_json = std::string(kStateBytes, ' ');
  s.track_json = std::make_shared<const std::string>(kTrackBytes, ' ');
  auto events = std::make_shared<std::vector<RaceEventText>>();
  for (int i = 0; i < 64; ++i) events->push_back({i, std::string(200, ' ')});
  s.race_events = std::move(events);
  return s;
}

// range(0): 0 keeps nothing (each publication lets the one before go at
// once); 1 keeps the whole 300 s, so each publication is one kept and the
// oldest let go. The difference is what keeping the past costs.
void BM_Publish(benchmark::State& state) {
  Bridge b(state.range(0) == 0 ? 0 : std::size_t{1} << 30);
  const BridgeSnapshot content = Content();
  const int fill = state.range(0) == 0 ? 1 : WebBridge::kDelayKeptS * 10 + 1;
  for (int i = 0; i < fill; ++i) b.Publish(content);
  for (auto _ : state) b.Publish(content);
  const KeptPast past = b.bridge.Past();
  state.counters["kept"] = static_cast<double>(past.snapshots);
  state.counters["kept_MiB"] = static_cast<double>(past.bytes) / (1 << 20);
}
BENCHMARK(BM_Publish)->Arg(0)->Arg(1);

// A delayed stream's look-ups each time it moves on: the snapshot current
// S ago and the one after it, in a full 300 s.
void BM_AsOfAndAfter(benchmark::State& state) {
  Bridge b(std::size_t{1} << 30);
  const BridgeSnapshot content = Content();
  for (int i = 0; i < WebBridge::kDelayKeptS * 10 + 1; ++i) b.Publish(content);
  const auto delay = std::chrono::seconds(state.range(0));
  for (auto _ : state) {
    const KeptSnapshot then = b.bridge.AsOf(b.now - delay);
    benchmark::DoNotOptimize(b.bridge.After(then.snapshot->id));
  }
}
BENCHMARK(BM_AsOfAndAfter)->Arg(10)->Arg(299);

}  // namespace

BENCHMARK_MAIN();
