// What the host's thread pays per scoring update, and what a client thread
// pays to build the largest answers, with and without readers competing.
//   build/bench/pitwall_benchmarks --benchmark_min_time=0.5
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <thread>

#include "pitwall/scoring_record.h"
#include "platform/clock.h"
#include "server/responses.h"
#include "timing/change_stamps.h"
#include "timing/timing_data.h"

namespace {

void FillRecord(ScoringRecordWriter* w, int cars) {
  w->SetTrackName("Pitwall Ring");
  for (int i = 0; i < cars; ++i) {
    auto v = w->vehicle(i);
    v.SetDriverName("Driver");
    v.SetBestLap(90.0f + static_cast<float>(i));
    v.SetLapDistance(static_cast<float>(i) * 10.0f);
    v.SetHeadingInputs(0.5f, 0.5f);
    v.SetSector(static_cast<std::int8_t>(i % 3));
  }
}

// A snapshot and a scoring record with `cars` vehicles.
struct Feed {
  explicit Feed(int cars) : writer(cars) { FillRecord(&writer, cars); }
  ChangeStamps stamps{DefaultClock()};
  TimingData data{&stamps};
  ScoringRecordWriter writer;
};

void BM_IngestScoring(benchmark::State& state) {
  Feed feed(static_cast<int>(state.range(0)));
  const HostScoringInfo* record = feed.writer.record();
  for (auto _ : state) {
    feed.data.IngestScoring(record);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IngestScoring)->Arg(20)->Arg(255);

// The same, while two threads pin and copy the snapshot as fast as they can
// (the writer must not wait for them).
void BM_IngestScoringWithBusyReaders(benchmark::State& state) {
  Feed feed(static_cast<int>(state.range(0)));
  TimingData& data = feed.data;
  const HostScoringInfo* record = feed.writer.record();
  std::atomic<bool> done{false};
  auto reader = [&] {
    auto buffer = std::make_unique<ResponseBuffer>();
    while (!done.load(std::memory_order_relaxed)) {
      benchmark::DoNotOptimize(BuildUpdateData(data, 0, buffer.get()));
      benchmark::ClobberMemory();
    }
  };
  std::thread a(reader), b(reader);
  for (auto _ : state) {
    data.IngestScoring(record);
  }
  done.store(true);
  a.join();
  b.join();
}
BENCHMARK(BM_IngestScoringWithBusyReaders)->Arg(255)->UseRealTime();

// A client thread building an UpdateData answer, as the server does it.
void BM_BuildUpdateDataAnswer(benchmark::State& state) {
  const int cars = static_cast<int>(state.range(0));
  Feed feed(cars);
  TimingData& data = feed.data;
  data.IngestScoring(feed.writer.record());
  auto buffer = std::make_unique<ResponseBuffer>();
  for (auto _ : state) {
    benchmark::DoNotOptimize(BuildUpdateData(data, 0, buffer.get()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(UpdateDataSize(cars)));
}
BENCHMARK(BM_BuildUpdateDataAnswer)->Arg(20)->Arg(255);

}  // namespace

BENCHMARK_MAIN();
