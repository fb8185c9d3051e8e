// What recording the race history costs, and how fast it reads back.
//
// 1. The web bridge's work per live answer at the plug-in's full pace (255
//    cars, one live answer every 100 ms of simulated time, about ten
//    simulated minutes of a race decoded beforehand and kept in memory):
//    TimingState + TimingStateJson alone, then the same with a RaceRecorder
//    writing into a RaceStore on a temporary file. Counters give the CPU
//    (and wall) time per update; a summary line gives what recording adds.
// 2. Reading a 24-hour race of 60 cars (about 45,000 laps, a pit stop every
//    ~30 laps a car, driver changes, passes, lead changes, fastest laps):
//    what `pitwall results` does (open, RaceStore::Session, ResultsText) and
//    what the web API does for /api/sessions/1/laps and /results. The
//    database is written straight from story updates into a RaceStore the
//    first time and kept in the build directory for later runs.
// 3. Its size: bytes per car-hour after a checkpoint and VACUUM.
//
//   build-bench/bench/history_bench
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "history_views.h"
#include "race_recorder.h"
#include "race_store.h"
#include "race_story.h"
#include "timing_json.h"
#include "timing_state.h"
#include "tools/test_host/answer_feed.h"
#include "tools/test_host/race_sim.h"
#include "tools/test_host/track_path.h"
#include "tools/web/history_api.h"
#include "tools/web/state_change.h"

namespace {

namespace fs = std::filesystem;

constexpr double kUnixBase = 1.78e9;  // the wall clock at the session's time 0

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// ---------------------------------------------------------------------------
// 1. Recording at the plug-in's full pace.

struct Heard {
  Answer answer;
  double at_s;
};

struct LiveRace {
  std::vector<Heard> answers;  // live answers, and session and drivers answers when they change
  int updates = 0;             // live answers among them
  double simulated_s = 0;
};

bool SameSession(const SessionAnswer& a, const SessionAnswer& b) {
  return a.track_name == b.track_name && a.session == b.session && a.end_time == b.end_time &&
         a.max_laps == b.max_laps && a.lap_distance == b.lap_distance;
}
bool SameDrivers(const DriversAnswer& a, const DriversAnswer& b) {
  if (a.drivers.size() != b.drivers.size()) return false;
  for (std::size_t i = 0; i < a.drivers.size(); ++i) {
    if (a.drivers[i].index != b.drivers[i].index || a.drivers[i].name != b.drivers[i].name) {
      return false;
    }
  }
  return true;
}

// A race of 255 cars run through the plug-in's answers, one host update
// (and so one live answer) every 100 ms, about ten simulated minutes.
const LiveRace& FullPaceRace(int cars = 255) {
  static std::map<int, const LiveRace*> races;
  const LiveRace*& race = races[cars];
  if (race != nullptr) return *race;
  race = [cars] {
    auto* r = new LiveRace;
    TrackPath path;
    std::string error;
    if (!path.Load(PITWALL_EXAMPLES_DIR "/game", "Pitwall Ring", &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::exit(1);
    }
    SimOptions options;
    options.cars = cars;
    options.seed = 7;
    options.sessions = {SessionKind::kRace};
    // The simulator's reference lap is the track's length at 28 m/s: the
    // leader takes the flag after about eight minutes, and the rest of the
    // ten are the others coming in and the classification standing.
    const double lap_s = path.length() / 28.0;
    options.race_laps = std::max(3, static_cast<int>(480.0 / lap_s));
    options.race_overrun_seconds = 60;
    options.classification_hold_seconds = 30;
    std::optional<SessionAnswer> session;
    std::optional<DriversAnswer> drivers;
    AnswerFeed feed([&](const Answer& answer, double at_s) {
      if (const auto* s = std::get_if<SessionAnswer>(&answer)) {
        if (session && SameSession(*session, *s) && s->change_mask == 0) return;
        session = *s;
      } else if (const auto* d = std::get_if<DriversAnswer>(&answer)) {
        if (drivers && SameDrivers(*drivers, *d) && d->change_mask == 0) return;
        drivers = *d;
      } else if (std::holds_alternative<LiveAnswer>(answer)) {
        ++r->updates;
        r->simulated_s = at_s;
      }
      r->answers.push_back({answer, at_s});
    });
    RaceSimulation sim(path, "Pitwall Ring", options);
    while (sim.Advance(0.1, &feed)) {
    }
    if (!feed.ok()) {
      std::fprintf(stderr, "answer feed: %s\n", feed.error().c_str());
      std::exit(1);
    }
    return r;
  }();
  return *race;
}

// A temporary directory of its own, removed with everything in it.
struct TempDir {
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "history_bench.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::exit(1);
    path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  fs::path path;
};

struct PaceResult {
  double cpu_s_per_update = 0;
  double wall_s_per_update = 0;
};
PaceResult g_plain, g_recording;

// One pass over the race per iteration, from a fresh timing state (and a
// fresh database when recording; and with `changes`, the change from each
// state to the next, as the web view makes for its viewers).
void LiveUpdates(benchmark::State& state, bool record, int cars = 255, bool changes = false) {
  const LiveRace& race = FullPaceRace(cars);
  double cpu = 0, wall = 0;
  std::int64_t updates = 0, laps = 0, events = 0;
  std::size_t json_bytes = 0, change_bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    TempDir dir;
    RaceStore store;
    std::string error;
    if (record && !store.OpenForRecording((dir.path / "pitwall.db").string(), &error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    RaceRecorder recorder(&store);
    TimingState timing;
    std::string texts[2];
    StateTree trees[2];
    int last = 0;
    state.ResumeTiming();
    const double cpu0 = ThreadCpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    for (const Heard& heard : race.answers) {
      const double unix_s = kUnixBase + heard.at_s;
      timing.Apply(heard.answer, unix_s);
      if (!std::holds_alternative<LiveAnswer>(heard.answer)) continue;
      std::string json = TimingStateJson(timing, unix_s);
      json_bytes += json.size();
      benchmark::DoNotOptimize(json.data());
      if (changes) {
        // As the bridge does: the state before read once, when it came.
        const int now = 1 - last;
        texts[now] = std::move(json);
        trees[now].Read(texts[now]);
        if (!texts[last].empty()) {
          const std::optional<std::string> change = StateChangeJson(trees[last], trees[now], 1);
          change_bytes += change ? change->size() : texts[now].size();
        }
        last = now;
      }
      if (record) {
        const std::vector<StoredEvent> stored = recorder.Update(timing, unix_s);
        events += static_cast<std::int64_t>(stored.size());
      }
    }
    cpu += ThreadCpuSeconds() - cpu0;
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    updates += race.updates;
    state.PauseTiming();
    if (record) {
      if (!recorder.recording()) {
        state.SkipWithError(recorder.error().c_str());
        break;
      }
      std::string read_error;
      const std::optional<SessionRecord> recorded = store.Session(0, &read_error);
      laps += recorded ? static_cast<std::int64_t>(recorded->laps.size()) : 0;
    }
    store.Close();
    state.ResumeTiming();
  }
  if (updates == 0) return;
  PaceResult others;
  PaceResult& result = cars != 255 ? others : record ? g_recording : g_plain;
  result.cpu_s_per_update = cpu / static_cast<double>(updates);
  result.wall_s_per_update = wall / static_cast<double>(updates);
  const double passes = static_cast<double>(state.iterations());
  state.counters["cpu_us_per_update"] = result.cpu_s_per_update * 1e6;
  state.counters["wall_us_per_update"] = result.wall_s_per_update * 1e6;
  state.counters["updates"] = race.updates;
  state.counters["cars"] = cars;
  state.counters["simulated_s"] = race.simulated_s;
  state.counters["json_bytes_per_update"] =
      static_cast<double>(json_bytes) / static_cast<double>(updates);
  if (changes) {
    state.counters["change_bytes_per_update"] =
        static_cast<double>(change_bytes) / static_cast<double>(updates);
  }
  if (record) {
    state.counters["laps_recorded"] = static_cast<double>(laps) / passes;
    state.counters["events_recorded"] = static_cast<double>(events) / passes;
  }
}

void BM_LiveUpdate_StateAndJson(benchmark::State& state) { LiveUpdates(state, false); }
void BM_LiveUpdate_StateJsonAndRecording(benchmark::State& state) { LiveUpdates(state, true); }
// A league's usual field, as the broadcast overlays are measured against.
void BM_LiveUpdate_StateAndJson_20Cars(benchmark::State& state) { LiveUpdates(state, false, 20); }
// What making each state's change for the viewers adds, and its size.
void BM_LiveUpdate_StateJsonAndChange_20Cars(benchmark::State& state) {
  LiveUpdates(state, false, 20, true);
}
void BM_LiveUpdate_StateJsonAndChange(benchmark::State& state) {
  LiveUpdates(state, false, 255, true);
}
BENCHMARK(BM_LiveUpdate_StateAndJson)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_LiveUpdate_StateJsonAndChange)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_LiveUpdate_StateJsonAndChange_20Cars)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_LiveUpdate_StateAndJson_20Cars)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_LiveUpdate_StateJsonAndRecording)->Unit(benchmark::kMillisecond)->Iterations(3);

// ---------------------------------------------------------------------------
// 2 and 3. A 24-hour race of 60 cars, written straight into a store.

constexpr int kDayCars = 60;
constexpr double kDaySeconds = 24 * 3600.0;
// Grows when the generator changes, so a cached file of another kind is
// made again.
constexpr int kDayGeneratorVersion = 1;

std::string DayDatabasePath() {
  return std::string(PITWALL_BENCH_CACHE_DIR) + "/history_bench_24h_v" +
         std::to_string(kDayGeneratorVersion) + "_s" + std::to_string(kRaceStoreSchemaVersion) +
         ".db";
}

// The race, car by car and lap by lap, as the story would tell it: each
// line crossing one update (its lap, the pit stop it begins, its passes,
// fastest laps and the flag), each pit exit another.
class DayRace {
 public:
  explicit DayRace(RaceStore* store) : store_(store), rng_(24) {
    facts_.track = "Pitwall Ring";
    facts_.code = 3;
    facts_.kind = "race";
    facts_.end_time_s = static_cast<float>(kDaySeconds);
    facts_.start_seen = true;
    facts_.started_s = 0;
    static const char* kFirst[] = {"Ada",   "Bruno", "Carla", "Dev",   "Elena", "Farid",
                                   "Grete", "Hugo",  "Ines",  "Jonas", "Kaito", "Lena"};
    static const char* kLast[] = {"Lovelace", "Marchetti", "Okafor", "Lindqvist", "Moreau",
                                  "Haddad",   "Novak",     "Tanaka", "Silva",     "Brandt"};
    for (int i = 0; i < kDayCars; ++i) {
      Car c;
      c.s.car = static_cast<std::uint8_t>(i);
      for (int d = 0; d < 3; ++d) {
        const int k = i * 3 + d;
        c.drivers.push_back(std::string(kFirst[k % 12]) + " " + kLast[(k / 12 + k) % 10] + " #" +
                            std::to_string(i + 1));
      }
      c.s.driver = c.drivers[0];
      // Three classes of twenty, a few seconds apart, each spread over a second.
      c.base = 108.0 + 2.5 * (i / 20) + Uniform(0, 1.2);
      c.s.place = c.s.start_place = i + 1;
      c.next_stop = 28 + static_cast<int>(Uniform(0, 5));
      c.lap_start = 0.4 * i;  // the grid's stagger to the line
      c.next_cross = c.lap_start + LapTime(c, true);
      cars_.push_back(std::move(c));
    }
  }

  bool Run(std::string* error) {
    if (!store_->BeginSession(facts_, kUnixBase, &id_, error)) return false;
    StoryUpdate start;
    start.new_session = true;
    RaceEvent go;
    go.kind = EventKind::kStart;
    go.lap = 1;
    go.text = "The race starts.";
    start.events.push_back(go);
    std::vector<CarStanding> all;
    for (const Car& c : cars_) all.push_back(c.s);
    if (!Save(start, all, 0, error)) return false;
    for (;;) {
      // The next thing to happen: a crossing or a pit exit.
      Car* next = nullptr;
      double at = 0;
      bool exit = false;
      for (Car& c : cars_) {
        if (c.done) continue;
        if (c.s.in_pits && (!next || c.pit_exit < at)) next = &c, at = c.pit_exit, exit = true;
        if (!c.s.in_pits && (!next || c.next_cross < at))
          next = &c, at = c.next_cross, exit = false;
      }
      if (!next) break;
      if (!(exit ? PitExit(next, at, error) : Crossing(next, at, error))) return false;
    }
    StoryUpdate end;
    RaceEvent over;
    over.kind = EventKind::kSessionEnd;
    over.at_s = last_at_ + 30;
    over.lap = LeaderLap();
    over.text = "The race is over.";
    end.events.push_back(over);
    facts_.ended = true;
    std::vector<CarStanding> standings;
    for (const Car& c : cars_) standings.push_back(c.s);
    if (!Save(end, standings, over.at_s, error)) return false;
    return store_->EndSession(id_, facts_, standings, kUnixBase + over.at_s, error);
  }

  int laps() const { return laps_; }

 private:
  struct Car {
    CarStanding s;
    std::vector<std::string> drivers;
    double base = 0;
    double lap_start = 0;
    double next_cross = 0;
    int stint = 0;
    int next_stop = 0;
    double pit_exit = 0;
    bool out_lap = false;              // the lap under way began in the pit lane
    bool done = false;                 // took the flag
    double s1 = 0, s2 = 0, lap_s = 0;  // the lap under way
  };

  double Uniform(double lo, double hi) { return std::uniform_real_distribution<>(lo, hi)(rng_); }

  // The lap under way: its time and sectors; slower with traffic now and then.
  double LapTime(Car& c, bool first) {
    double t = c.base * (1 + std::normal_distribution<>(0, 0.004)(rng_));
    if (Uniform(0, 1) < 0.08) t += Uniform(0.5, 4);  // traffic
    if (first) t += 6;                               // from the grid
    c.lap_s = t;
    c.s1 = t * 0.31 * (1 + Uniform(-0.01, 0.01));
    c.s2 = t * 0.36 * (1 + Uniform(-0.01, 0.01));
    return t;
  }

  int LeaderLap() const { return static_cast<int>(order_.size()) + 1; }

  bool Save(const StoryUpdate& update, const std::vector<CarStanding>& cars, double at,
            std::string* error) {
    last_at_ = std::max(last_at_, at);
    facts_.last_at_s = last_at_;
    std::vector<StoredEvent> stored;
    return store_->Save(id_, facts_, update, cars, kUnixBase + at, &stored, error);
  }

  RaceEvent Told(EventKind kind, const Car& c, double at) const {
    RaceEvent e;
    e.kind = kind;
    e.at_s = at;
    e.lap = LeaderLap();
    e.car = c.s.car;
    e.driver = c.s.driver;
    return e;
  }

  bool Crossing(Car* car, double at, std::string* error) {
    Car& c = *car;
    StoryUpdate u;
    const int lap = c.s.laps + 1;
    if (order_.size() < static_cast<std::size_t>(lap)) {
      order_.emplace_back();
      first_cross_.push_back(at);
    }
    std::vector<int>& here = order_[static_cast<std::size_t>(lap - 1)];
    const int place = static_cast<int>(here.size()) + 1;
    LapRecord l;
    l.car = c.s.car;
    l.driver = c.s.driver;
    l.lap = lap;
    const double lap_s = at - c.lap_start;
    l.lap_s = static_cast<float>(lap_s);
    l.sector1_s = static_cast<float>(c.s1 + (lap_s - c.lap_s));  // the lane lies in sector 1
    l.sector2_s = static_cast<float>(c.s2);
    l.sector3_s = static_cast<float>(c.lap_s - c.s1 - c.s2);
    l.place = place;
    if (place > 1) {
      const int ahead = static_cast<int>(order_.size()) - lap;
      l.gap_to_leader =
          ahead > 0 ? Gap{ahead, 0} : Gap{0, static_cast<float>(at - first_cross_[lap - 1])};
    }
    l.at_s = at;
    l.out_lap = c.out_lap;
    const bool stops = !c.done && lap == c.next_stop && at < kDaySeconds;
    l.in_lap = stops;
    ++c.stint;
    l.stint_lap = c.stint;
    l.complete = true;
    const bool pb = !c.s.best_lap_s || *l.lap_s < *c.s.best_lap_s;
    const bool fastest = !fastest_ || *l.lap_s < *fastest_;
    l.personal_best = pb;
    l.session_best = fastest;
    if (pb) {
      if (fastest || lap > 1) {
        RaceEvent e = Told(fastest ? EventKind::kFastestLap : EventKind::kPersonalBest, c, at);
        e.lap = lap;
        e.seconds = lap_s;
        e.text = c.s.driver + (fastest ? " sets the fastest lap, " : " improves to ") +
                 LapTimeText(lap_s) + " on lap " + std::to_string(lap) + ".";
        u.events.push_back(std::move(e));
      }
      c.s.best_lap_s = l.lap_s;
      c.s.best_lap = lap;
    }
    if (fastest) fastest_ = l.lap_s;
    // Passes: the cars ahead at the previous line, on the track, not yet
    // across this one.
    if (lap > 1 && !c.out_lap) {
      const std::vector<int>& before = order_[static_cast<std::size_t>(lap - 2)];
      for (std::size_t k = 0; k < before.size() && before[k] != c.s.car; ++k) {
        Car& other = cars_[static_cast<std::size_t>(before[k])];
        if (other.s.laps >= lap || other.s.in_pits || other.out_lap || other.done) continue;
        const int was = static_cast<int>(k) + 1;
        if (was == 1 && place == 1) {
          RaceEvent e = Told(EventKind::kLeadChange, c, at);
          e.other_car = other.s.car;
          e.other_driver = other.s.driver;
          e.place = 1;
          e.text = c.s.driver + " takes the lead from " + other.s.driver + " on lap " +
                   std::to_string(e.lap) + ".";
          u.events.push_back(std::move(e));
        }
        RaceEvent e = Told(EventKind::kOvertake, c, at);
        e.other_car = other.s.car;
        e.other_driver = other.s.driver;
        e.place = std::max(was, place);
        e.text = c.s.driver + " passes " + other.s.driver + " for P" + std::to_string(e.place) +
                 " on lap " + std::to_string(e.lap) + ".";
        u.events.push_back(std::move(e));
      }
    }
    here.push_back(c.s.car);
    c.s.laps = lap;
    c.s.place = place;
    c.s.stint_laps = c.stint;
    if (place == 1) ++c.s.laps_led;
    c.out_lap = false;
    u.laps.push_back(std::move(l));
    // The flag: the first crossing after 24 hours, and each car's after it.
    if (flag_ || at >= kDaySeconds) {
      flag_ = true;
      c.done = true;
      c.s.finish_status = kFinishFlag;
      c.s.finish_at_s = at;
      RaceEvent e = Told(EventKind::kFinished, c, at);
      e.place = place;
      e.text = c.s.driver + " takes the chequered flag in P" + std::to_string(place) + ".";
      u.events.push_back(std::move(e));
    } else if (stops) {
      ++c.s.pit_stops;
      c.s.in_pits = true;
      c.s.pit_entry_s = at;
      c.s.pit_entry_lap = lap;
      // Fuel and tyres; a driver change at every second stop takes longer.
      c.pit_exit = at + (c.s.pit_stops % 2 == 0 ? Uniform(70, 85) : Uniform(45, 55));
      PitStop p;
      p.car = c.s.car;
      p.driver = c.s.driver;
      p.number = c.s.pit_stops;
      p.lap = lap;
      p.entry_s = at;
      p.stint_laps = c.stint;
      u.pit_stops.push_back(p);
      RaceEvent e = Told(EventKind::kPitIn, c, at);
      e.text = c.s.driver + " pits on lap " + std::to_string(lap) + ".";
      u.events.push_back(std::move(e));
    } else {
      c.lap_start = at;
      c.next_cross = at + LapTime(c, false);
    }
    ++laps_;
    return Save(u, {c.s}, at, error);
  }

  bool PitExit(Car* car, double at, std::string* error) {
    Car& c = *car;
    StoryUpdate u;
    PitStop p;
    p.car = c.s.car;
    p.driver = c.s.driver;
    p.number = c.s.pit_stops;
    p.lap = c.s.pit_entry_lap;
    p.entry_s = *c.s.pit_entry_s;
    p.exit_s = at;
    p.lane_s = at - p.entry_s;
    p.stint_laps = c.stint;
    u.pit_stops.push_back(p);
    if (c.s.pit_stops % 2 == 0) {
      c.s.driver = c.drivers[static_cast<std::size_t>(c.s.pit_stops / 2) % c.drivers.size()];
    }
    RaceEvent e = Told(EventKind::kPitOut, c, at);
    e.seconds = *p.lane_s;
    char lane[32];
    std::snprintf(lane, sizeof lane, "%.1f", *p.lane_s);
    e.text = c.s.driver + " leaves the pits after " + lane + " s in the lane.";
    u.events.push_back(std::move(e));
    c.s.in_pits = false;
    c.s.pit_entry_s.reset();
    c.s.pit_entry_lap = 0;
    c.stint = 0;
    c.s.stint_laps = 0;
    c.out_lap = true;
    c.next_stop = c.s.laps + 28 + static_cast<int>(Uniform(0, 5));
    // The lane from the line to the box and on: the out-lap runs from the
    // pit entry, its lane time in the first sector.
    c.lap_start = p.entry_s;
    c.next_cross = at + LapTime(c, false);
    return Save(u, {c.s}, at, error);
  }

  RaceStore* const store_;
  std::mt19937 rng_;
  SessionFacts facts_;
  std::int64_t id_ = 0;
  std::vector<Car> cars_;
  std::vector<std::vector<int>> order_;  // each lap's cars in the order they completed it
  std::vector<double> first_cross_;      // when the leader completed each lap
  std::optional<float> fastest_;
  bool flag_ = false;
  double last_at_ = 0;
  int laps_ = 0;
};

bool Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

struct DayDatabase {
  std::string path;
  double build_s = 0;  // 0 when taken from the cache
  std::int64_t bytes = 0;
  int laps = 0;
  int events = 0;
  int pit_stops = 0;
};

std::int64_t FileBytes(const std::string& path) {
  std::error_code ec;
  const auto n = fs::file_size(path, ec);
  return ec ? 0 : static_cast<std::int64_t>(n);
}

// Made once, checkpointed and vacuumed, then kept beside the benchmark.
const DayDatabase& Day() {
  static const DayDatabase* day = [] {
    auto* d = new DayDatabase;
    d->path = DayDatabasePath();
    if (!fs::exists(d->path)) {
      const std::string building = d->path + ".building";
      for (const char* suffix : {"", "-wal", "-shm", ".lock"}) fs::remove(building + suffix);
      const auto t0 = std::chrono::steady_clock::now();
      {
        RaceStore store;
        std::string error;
        DayRace race(&store);
        if (!store.OpenForRecording(building, &error) || !race.Run(&error)) {
          std::fprintf(stderr, "making the 24-hour race: %s\n", error.c_str());
          std::exit(1);
        }
      }
      sqlite3* db = nullptr;
      if (sqlite3_open(building.c_str(), &db) != SQLITE_OK ||
          !Exec(db, "PRAGMA wal_checkpoint(TRUNCATE)") || !Exec(db, "VACUUM") ||
          !Exec(db, "PRAGMA wal_checkpoint(TRUNCATE)")) {
        std::fprintf(stderr, "%s: %s\n", building.c_str(), sqlite3_errmsg(db));
        std::exit(1);
      }
      sqlite3_close(db);
      d->build_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      for (const char* suffix : {"-wal", "-shm", ".lock"}) fs::remove(building + suffix);
      fs::rename(building, d->path);
    }
    d->bytes = FileBytes(d->path) + FileBytes(d->path + "-wal");
    RaceStore store;
    std::string error;
    std::optional<SessionRecord> record;
    if (store.OpenForReading(d->path, &error)) record = store.Session(1, &error);
    if (!record) {
      std::fprintf(stderr, "%s: %s\n", d->path.c_str(), error.c_str());
      std::exit(1);
    }
    d->laps = static_cast<int>(record->laps.size());
    d->events = static_cast<int>(record->events.size());
    d->pit_stops = static_cast<int>(record->pit_stops.size());
    return d;
  }();
  return *day;
}

void DayCounters(benchmark::State& state, std::size_t bytes_out) {
  const DayDatabase& d = Day();
  state.counters["laps"] = d.laps;
  state.counters["events"] = d.events;
  state.counters["pit_stops"] = d.pit_stops;
  state.counters["answer_bytes"] = static_cast<double>(bytes_out);
}

// `pitwall results`: open the file, read the session, print its table.
void BM_Day_ResultsCommand(benchmark::State& state) {
  const DayDatabase& d = Day();
  std::size_t bytes = 0;
  for (auto _ : state) {
    RaceStore store;
    std::string error;
    if (!store.OpenForReading(d.path, &error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    const std::optional<SessionRecord> record = store.Session(1, &error);
    if (!record) {
      state.SkipWithError(error.c_str());
      break;
    }
    const std::string text = ResultsText(*record);
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  DayCounters(state, bytes);
}
BENCHMARK(BM_Day_ResultsCommand)->Unit(benchmark::kMillisecond)->MinTime(2);

// The web API, as the server answers it (each call opens the file).
void DayApi(benchmark::State& state, const char* path) {
  const DayDatabase& d = Day();
  std::size_t bytes = 0;
  for (auto _ : state) {
    const HistoryAnswer answer = AnswerHistory(d.path, path);
    if (answer.status != 200) {
      state.SkipWithError(answer.body.c_str());
      break;
    }
    bytes = answer.body.size();
    benchmark::DoNotOptimize(answer.body.data());
  }
  DayCounters(state, bytes);
}
void BM_Day_ApiLaps(benchmark::State& state) { DayApi(state, "/api/sessions/1/laps"); }
void BM_Day_ApiResults(benchmark::State& state) { DayApi(state, "/api/sessions/1/results"); }
void BM_Day_ApiSessions(benchmark::State& state) { DayApi(state, "/api/sessions"); }
BENCHMARK(BM_Day_ApiLaps)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_Day_ApiResults)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_Day_ApiSessions)->Unit(benchmark::kMillisecond)->MinTime(2);

// The file's size: one pass reads it (the benchmark's time means nothing).
void BM_Day_Size(benchmark::State& state) {
  const DayDatabase& d = Day();
  for (auto _ : state) benchmark::DoNotOptimize(d.bytes);
  state.counters["bytes"] = static_cast<double>(d.bytes);
  state.counters["bytes_per_car_hour"] = static_cast<double>(d.bytes) / (kDayCars * 24.0);
  state.counters["bytes_per_lap"] = static_cast<double>(d.bytes) / d.laps;
  if (d.build_s > 0) state.counters["made_in_s"] = d.build_s;
}
BENCHMARK(BM_Day_Size)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_plain.cpu_s_per_update > 0 && g_recording.cpu_s_per_update > 0) {
    const double added = g_recording.cpu_s_per_update / g_plain.cpu_s_per_update - 1;
    std::printf(
        "recording at full pace (255 cars, 10 Hz): %.1f us CPU per update without, %.1f us with "
        "recording: +%.1f %% (target at most +10 %%); wall %.1f / %.1f us\n",
        g_plain.cpu_s_per_update * 1e6, g_recording.cpu_s_per_update * 1e6, added * 100,
        g_plain.wall_s_per_update * 1e6, g_recording.wall_s_per_update * 1e6);
  }
  return 0;
}
