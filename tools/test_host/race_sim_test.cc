#include "tools/test_host/race_sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tools/league/league.h"
#include "tools/test_host/capture_sink.h"

namespace {

using V = HostVehicleOffsets;
using S = HostScoringOffsets;

class RaceSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(path_.Load(PITWALL_EXAMPLES_DIR "/game", "Pitwall Ring", &error)) << error;
  }
  // Runs the whole weekend in steps of `dt` simulated seconds.
  CaptureSink Run(const SimOptions& options, double dt = 1.0) {
    RaceSimulation sim(path_, "Pitwall Ring", options);
    CaptureSink sink;
    for (int guard = 0; guard < 100000 && sim.Advance(dt, &sink); ++guard) {
    }
    return sink;
  }
  TrackPath path_;
};

template <typename T>
T Field(const CaptureSink::Event& e, int car, std::size_t offset) {
  return ReadAt<T>(e.vehicles.data() + static_cast<std::size_t>(car) * V::kRecordSize, offset);
}

SimOptions Options(int cars, double session_seconds, int race_laps,
                   std::vector<SessionKind> sessions = SimOptions{}.sessions) {
  SimOptions options;
  options.cars = cars;
  options.practice_seconds = options.qualifying_seconds = session_seconds;
  options.race_laps = race_laps;
  options.sessions = std::move(sessions);
  return options;
}

TEST_F(RaceSimTest, SameSeedSameWeekendOtherSeedOtherRace) {
  const auto same = [](const CaptureSink& x, const CaptureSink& y) {
    return std::equal(x.events.begin(), x.events.end(), y.events.begin(), y.events.end(),
                      [](const CaptureSink::Event& e, const CaptureSink::Event& f) {
                        return e.header == f.header && e.vehicles == f.vehicles;
                      });
  };
  SimOptions options = Options(6, 60, 3);
  const CaptureSink a = Run(options);
  EXPECT_TRUE(same(a, Run(options)));
  options.seed = 2;
  EXPECT_FALSE(same(a, Run(options)));
}

TEST_F(RaceSimTest, SessionsComeInOrderWithStartAndEnd) {
  const CaptureSink sink = Run(Options(3, 30, 2));
  std::string kinds = sink.Kinds();
  std::erase(kinds, 'u');
  ASSERT_EQ(kinds, "sesese");
  std::vector<std::int32_t> sessions;
  for (std::size_t i = 0; i + 1 < sink.events.size(); ++i) {
    if (sink.events[i].kind == 's')
      sessions.push_back(ReadAt<std::int32_t>(sink.events[i + 1].header.data(), S::kSession));
  }
  EXPECT_EQ(sessions, (std::vector<std::int32_t>{1, 2, 3}));
}

TEST_F(RaceSimTest, ARaceReadsLikeOneAndEveryCarMovesAlongThePath) {
  constexpr int kCars = 20;
  constexpr double kDt = 0.5;
  const CaptureSink sink = Run(Options(kCars, 180, 5, {SessionKind::kRace}), kDt);
  const double length = path_.length();

  std::vector<double> pit_seconds(kCars, 0);
  std::vector<int> finished_laps(kCars, -1);
  int updates = 0, updates_all_in = 0;
  std::vector<int> final_places;
  const CaptureSink::Event* previous = nullptr;
  for (const auto& e : sink.events) {
    if (e.kind != 'u') continue;
    ++updates;
    ASSERT_EQ(ReadAt<std::int32_t>(e.header.data(), S::kVehicleCount), kCars);
    std::vector<int> places(kCars);
    std::vector<std::pair<int, float>> by_place;
    int leader = 0, in = 0;
    for (int c = 0; c < kCars; ++c) {
      const auto i = static_cast<std::size_t>(c);
      places[i] = Field<std::uint8_t>(e, c, V::kPlace);
      if (places[i] == 1) leader = c;
      by_place.emplace_back(places[i], Field<float>(e, c, V::kTimeBehindLeader));
      const bool in_pits = Field<std::uint8_t>(e, c, V::kInPits) != 0;
      const std::int8_t finish = Field<std::int8_t>(e, c, V::kFinishStatus);
      if (in_pits) pit_seconds[i] += kDt;
      if (finish == 1) {
        ++in;
        if (finished_laps[i] < 0) finished_laps[i] = Field<std::int16_t>(e, c, V::kLaps);
      }
      const float d = Field<float>(e, c, V::kLapDistance);
      ASSERT_GE(d, 0.0f);
      ASSERT_LT(d, length);
      // The sector byte follows the lap distance: 1, 2, then 0.
      const int expected_sector = d < length / 3 ? 1 : d < 2 * length / 3 ? 2 : 0;
      ASSERT_EQ(Field<std::int8_t>(e, c, V::kSector), expected_sector);
      // The position lies on the path at that distance (within the lane offset).
      const float x = Field<float>(e, c, V::kX), z = Field<float>(e, c, V::kZ);
      const TrackPath::Pose on_line = path_.At(d);
      ASSERT_LT(std::hypot(x - on_line.x, z - on_line.z), 2.0);
      const float a = Field<float>(e, c, V::kHeadingA), b = Field<float>(e, c, V::kHeadingB);
      ASSERT_NEAR(std::hypot(a, b), 1.0, 1e-3);
      EXPECT_EQ(Field<std::int8_t>(e, c, V::kControl), c == 0 ? 0 : 1);
      const float best = Field<float>(e, c, V::kBestLap), last = Field<float>(e, c, V::kLastLap);
      if (last > 0) {
        ASSERT_GT(best, 0);
        ASSERT_LE(best, last);
        // The last lap's sectors add up to less than the lap.
        const float s1 = Field<float>(e, c, V::kSector1A), s2 = Field<float>(e, c, V::kSector2A);
        ASSERT_GT(std::min(s1, s2), 0);
        ASSERT_LT(s1 + s2, last);
      }
      if (previous != nullptr && !in_pits && finish == 0) {
        // A moving car went forwards along its heading.
        const float px = Field<float>(*previous, c, V::kX), pz = Field<float>(*previous, c, V::kZ);
        if (std::hypot(x - px, z - pz) > 1.0) {
          ASSERT_GT((x - px) * a + (z - pz) * b, 0) << "car " << c;
        }
      }
    }
    std::sort(by_place.begin(), by_place.end());
    ASSERT_EQ(by_place[0].second, 0.0f) << "the leader is 0 behind itself, in its pit box too";
    for (std::size_t p = 0; p < by_place.size(); ++p) {
      ASSERT_EQ(by_place[p].first, static_cast<int>(p) + 1) << "places are 1 to 20, each once";
      // Time behind the leader never decreases down the order.
      if (p > 0) {
        ASSERT_GE(by_place[p].second, by_place[p - 1].second)
            << "P" << by_place[p].first
            << " at t=" << ReadAt<float>(e.header.data(), S::kCurrentTime);
      }
    }
    // The car in first place is ahead of everyone still racing on laps.
    for (int c = 0; c < kCars; ++c) {
      if (Field<std::int8_t>(e, c, V::kFinishStatus) == 0 &&
          Field<std::int8_t>(e, leader, V::kFinishStatus) == 0) {
        ASSERT_GE(Field<std::int16_t>(e, leader, V::kLaps), Field<std::int16_t>(e, c, V::kLaps));
      }
    }
    if (in == kCars) {
      // The final classification stands, unchanged.
      if (updates_all_in++ == 0) final_places = places;
      EXPECT_EQ(places, final_places);
    }
    previous = &e;
  }
  EXPECT_GT(updates, 100);
  EXPECT_EQ(sink.events.back().kind, 'e') << "the session ends after the classification";
  EXPECT_GE(updates_all_in * kDt, 85.0) << "and it stands for a while first";
  // Every car stops and every stop costs time; every car takes the flag, one
  // a lap down after its repairs.
  for (int c = 0; c < kCars; ++c) {
    EXPECT_GE(pit_seconds[static_cast<std::size_t>(c)], 20.0) << "car " << c;
  }
  EXPECT_EQ(std::count(finished_laps.begin(), finished_laps.end(), 5), kCars - 1);
  EXPECT_EQ(std::count(finished_laps.begin(), finished_laps.end(), 4), 1);
}

TEST_F(RaceSimTest, EveryCarCountFrom0To255) {
  for (int cars : {0, 1, 255}) {
    const CaptureSink sink = Run(Options(cars, 5, 5, {SessionKind::kQualifying}));
    ASSERT_GE(sink.events.size(), 3u);
    EXPECT_EQ(ReadAt<std::int32_t>(sink.events[1].header.data(), S::kVehicleCount), cars);
  }
}

// One car's fields in every update of a race, in order.
struct CarTrace {
  std::vector<double> t;
  std::vector<int> laps, status, in_pits, place;
  std::vector<float> distance;
};

CarTrace Trace(const CaptureSink& sink, int car) {
  CarTrace trace;
  for (const auto& e : sink.events) {
    if (e.kind != 'u') continue;
    trace.t.push_back(ReadAt<float>(e.header.data(), S::kCurrentTime));
    trace.laps.push_back(Field<std::int16_t>(e, car, V::kLaps));
    trace.status.push_back(Field<std::int8_t>(e, car, V::kFinishStatus));
    trace.in_pits.push_back(Field<std::uint8_t>(e, car, V::kInPits));
    trace.place.push_back(Field<std::uint8_t>(e, car, V::kPlace));
    trace.distance.push_back(Field<float>(e, car, V::kLapDistance));
  }
  return trace;
}

// The first update from which `values` keeps `value` to the end; -1 when
// the last update holds another.
int HeldFrom(const std::vector<int>& values, int value) {
  int from = static_cast<int>(values.size());
  while (from > 0 && values[static_cast<std::size_t>(from - 1)] == value) --from;
  return from == static_cast<int>(values.size()) ? -1 : from;
}

TEST_F(RaceSimTest, RetiredDisqualifiedAndStoppedCarsLeaveTheRaceEachInItsOwnWay) {
  constexpr int kCars = 7;
  SimOptions options = Options(kCars, 60, 3, {SessionKind::kRace});
  options.retire = {{2, 2}};
  options.stop_on_track = {{3, 2}};
  options.disqualify = {{4, 2}};
  const CaptureSink sink = Run(options, 0.5);
  ASSERT_EQ(sink.events.back().kind, 'e') << "the race ends although one car never finishes";

  struct Case {
    int car;
    int final_status;
    int final_place;  // the out cars behind the rest, retired before disqualified
  };
  for (const Case& c : {Case{2, 2, 6}, Case{3, 0, 0}, Case{4, 3, 7}}) {
    SCOPED_TRACE("car " + std::to_string(c.car));
    const CarTrace trace = Trace(sink, c.car);
    const std::size_t n = trace.t.size();
    // Status 0 until it changes once, to its final value (0 throughout for
    // the car stopped on track).
    const int from = HeldFrom(trace.status, c.final_status);
    ASSERT_GE(from, c.final_status == 0 ? 0 : 1);
    for (int i = 0; i < from; ++i) ASSERT_EQ(trace.status[static_cast<std::size_t>(i)], 0);
    const auto last = static_cast<std::size_t>(from);
    if (c.final_status == 3) {
      // Disqualified at the line that completes lap 2, then into the pits.
      EXPECT_EQ(trace.laps[last], 2);
      EXPECT_EQ(trace.laps[last - 1], 1);
      for (std::size_t i = last; i < n; ++i) {
        ASSERT_EQ(trace.in_pits[i], 1);
        ASSERT_EQ(trace.laps[i], 2);
      }
    } else {
      // Stopped on track during lap 2: the distance stops changing, out of
      // the pits, and stays so to the end.
      std::size_t still = n - 1;
      while (still > 0 && trace.distance[still - 1] == trace.distance[n - 1]) --still;
      EXPECT_EQ(trace.laps[still], 1);
      EXPECT_GT(trace.distance[still], 0.3 * path_.length());
      EXPECT_LT(trace.distance[still], 0.8 * path_.length());
      for (std::size_t i = still; i < n; ++i) ASSERT_EQ(trace.in_pits[i], 0);
      if (c.final_status == 2) {
        // Retired some seconds after it stopped.
        EXPECT_GE(trace.t[last] - trace.t[still], 10.0);
        EXPECT_LE(trace.t[last] - trace.t[still], 20.0);
      }
    }
    if (c.final_place > 0) {
      EXPECT_EQ(trace.place[n - 1], c.final_place);
    }
  }
  // Everyone else took the flag.
  for (int car : {0, 1, 5, 6}) EXPECT_EQ(Trace(sink, car).status.back(), 1) << "car " << car;
}

TEST_F(RaceSimTest, ForcedStopsAndAPitExitAtTheLine) {
  SimOptions options = Options(6, 60, 4, {SessionKind::kRace});
  options.pit_stops = {{1, 3, 30}, {2, 2, -1}};
  options.pit_exit_at_line = {1};
  const CaptureSink sink = Run(options, 0.5);

  struct Stop {
    int car;
    int entry_laps;  // laps completed as it enters the pit lane
    bool exit_at_line;
  };
  for (const Stop& stop : {Stop{1, 2, true}, Stop{2, 1, false}}) {
    SCOPED_TRACE("car " + std::to_string(stop.car));
    const CarTrace trace = Trace(sink, stop.car);
    std::vector<std::size_t> entries, exits;
    for (std::size_t i = 1; i < trace.t.size(); ++i) {
      if (trace.in_pits[i] != trace.in_pits[i - 1])
        (trace.in_pits[i] ? entries : exits).push_back(i);
    }
    ASSERT_EQ(entries.size(), 1u) << "one stop";
    ASSERT_EQ(exits.size(), 1u);
    const std::size_t in = entries[0], out = exits[0];
    EXPECT_EQ(trace.laps[in], stop.entry_laps);
    if (stop.exit_at_line) {
      // In the lane before the line, out of it in the update that counts the lap.
      EXPECT_EQ(trace.laps[in - 1], stop.entry_laps);
      EXPECT_GT(trace.distance[in], 0.5 * path_.length());
      EXPECT_EQ(trace.laps[out], stop.entry_laps + 1);
      EXPECT_EQ(trace.laps[out - 1], stop.entry_laps);
      EXPECT_LT(trace.distance[out], 100.0f);
      EXPECT_GE(trace.t[out] - trace.t[in], 30.0) << "the stop's 30 seconds and the lane";
    } else {
      // Into the lane at the line that completes the lap before.
      EXPECT_EQ(trace.laps[in - 1], stop.entry_laps - 1);
      EXPECT_EQ(trace.laps[out], stop.entry_laps);
    }
  }
}

TEST_F(RaceSimTest, ASlowCarIsLappedAndFinishesLapsDown) {
  SimOptions options = Options(6, 60, 4, {SessionKind::kRace});
  options.slow = {{0, 2.0}};
  const CaptureSink sink = Run(options, 0.5);
  const auto& last = sink.events[sink.events.size() - 2];
  ASSERT_EQ(last.kind, 'u');
  EXPECT_EQ(Field<std::int8_t>(last, 0, V::kFinishStatus), 1);
  EXPECT_EQ(Field<std::int16_t>(last, 0, V::kLaps), 2) << "half the pace: half the laps";
  EXPECT_EQ(Field<std::uint8_t>(last, 0, V::kPlace), 6);
  const float slow_best = Field<float>(last, 0, V::kBestLap);
  for (int car = 1; car < 5; ++car) {
    EXPECT_GT(slow_best, 1.9f * Field<float>(last, car, V::kBestLap)) << "car " << car;
  }
}

TEST_F(RaceSimTest, TheGridStandsThenARestartIsANewRaceFromTheGrid) {
  constexpr int kCars = 5;
  SimOptions options = Options(kCars, 60, 2, {SessionKind::kRace, SessionKind::kRace});
  options.grid_seconds = 4;
  const CaptureSink sink = Run(options, 0.5);
  std::vector<std::size_t> firsts;  // each race's first update
  for (std::size_t i = 0; i + 1 < sink.events.size(); ++i) {
    if (sink.events[i].kind == 's') firsts.push_back(i + 1);
  }
  ASSERT_EQ(firsts.size(), 2u);
  EXPECT_EQ(sink.events.back().kind, 'e');
  EXPECT_EQ(sink.events[firsts[1] - 2].kind, 'e') << "the first race ended before the second";
  for (const std::size_t first : firsts) {
    for (int car = 0; car < kCars; ++car) {
      SCOPED_TRACE("car " + std::to_string(car));
      const auto& e = sink.events[first];
      EXPECT_EQ(ReadAt<float>(e.header.data(), S::kCurrentTime), 0.0f);
      EXPECT_EQ(Field<std::int16_t>(e, car, V::kLaps), 0);
      EXPECT_EQ(Field<std::int8_t>(e, car, V::kFinishStatus), 0);
      EXPECT_EQ(Field<std::uint8_t>(e, car, V::kPlace), car + 1);
      EXPECT_FLOAT_EQ(Field<float>(e, car, V::kLapDistance), path_.length() - 8.0 * (car + 1));
      EXPECT_EQ(Field<float>(e, car, V::kLastLap), -1.0f);
      // Still on the grid for 4 seconds, then away.
      for (std::size_t i = first + 1; i <= first + 8; ++i) {
        ASSERT_EQ(Field<float>(sink.events[i], car, V::kLapDistance),
                  Field<float>(e, car, V::kLapDistance));
      }
      EXPECT_NE(Field<float>(sink.events[first + 9], car, V::kLapDistance),
                Field<float>(e, car, V::kLapDistance));
    }
  }
}

// The best lap of each car in the last update of `sink`.
std::vector<float> BestLaps(const CaptureSink& sink, int cars) {
  const CaptureSink::Event& last = sink.events[sink.events.size() - 2];
  std::vector<float> best;
  for (int car = 0; car < cars; ++car) best.push_back(Field<float>(last, car, V::kBestLap));
  return best;
}

TEST_F(RaceSimTest, TheSlowerClassLapsItsCarsUsualLapsSevenPerCentSlower) {
  constexpr int kCars = 20, kFaster = 12;
  SimOptions one_class = Options(kCars, 60, 4, {SessionKind::kRace});
  SimOptions two_classes = one_class;
  two_classes.faster_class_cars = kFaster;
  const CaptureSink sink = Run(two_classes);
  const std::vector<float> best = BestLaps(sink, kCars);
  // The same seed draws the same paces: each car's best lap against its
  // own in a field of one class, within the lap-to-lap variation.
  const std::vector<float> usual = BestLaps(Run(one_class), kCars);
  for (int car = 0; car < kCars; ++car) {
    SCOPED_TRACE("car " + std::to_string(car));
    const auto i = static_cast<std::size_t>(car);
    ASSERT_GT(usual[i], 0);
    const double ratio = best[i] / usual[i];
    if (car < kFaster) {
      EXPECT_NEAR(ratio, 1.0, 0.012);
    } else {
      EXPECT_NEAR(ratio, 1.07, 0.012);
    }
  }
  // The slower class as a whole: its fastest car is slower than the faster
  // class's average, and its slowest is the field's backmarker.
  const auto faster_end = best.begin() + kFaster;
  double faster_mean = 0;
  for (auto it = best.begin(); it != faster_end; ++it) faster_mean += *it / kFaster;
  EXPECT_GT(*std::min_element(faster_end, best.end()), faster_mean);
  EXPECT_EQ(std::max_element(best.begin(), best.end()) - best.begin(), kCars - 1);
  // And the same race on every run.
  const CaptureSink again = Run(two_classes);
  ASSERT_EQ(again.events.size(), sink.events.size());
  for (std::size_t i = 0; i < sink.events.size(); ++i) {
    ASSERT_EQ(again.events[i].vehicles, sink.events[i].vehicles) << "event " << i;
  }
}

TEST_F(RaceSimTest, InALongEnoughRaceTheFasterClassLapsMostOfTheSlowerOne) {
  constexpr int kCars = 20, kFaster = 12, kLaps = 14;
  SimOptions options = Options(kCars, 60, kLaps, {SessionKind::kRace});
  options.faster_class_cars = kFaster;
  const CaptureSink sink = Run(options);
  const CaptureSink::Event& last = sink.events[sink.events.size() - 2];
  int winner = -1, laps_down = 0;
  for (int car = 0; car < kCars; ++car) {
    ASSERT_EQ(Field<std::int8_t>(last, car, V::kFinishStatus), 1) << "car " << car;
    if (Field<std::uint8_t>(last, car, V::kPlace) == 1) winner = car;
    if (car >= kFaster && Field<std::int16_t>(last, car, V::kLaps) < kLaps) ++laps_down;
  }
  ASSERT_GE(winner, 0);
  EXPECT_LT(winner, kFaster) << "a car of the faster class wins";
  EXPECT_EQ(Field<std::int16_t>(last, winner, V::kLaps), kLaps);
  EXPECT_LT(Field<std::int16_t>(last, kCars - 1, V::kLaps), kLaps) << "the last car was lapped";
  EXPECT_GE(laps_down, (kCars - kFaster) / 2) << "and so were most of its class";
  // The grid is by vehicle index: the faster class starts ahead.
  const CaptureSink::Event& grid = sink.events[1];
  for (int car = 0; car < kCars; ++car) {
    EXPECT_EQ(Field<std::uint8_t>(grid, car, V::kPlace), car + 1);
  }
}

TEST_F(RaceSimTest, TheExampleLeagueNamesTheTwoClassFieldEachCarInItsClass) {
  // The demo's field: 20 cars, --classes 12:8, against examples/league.csv.
  constexpr int kCars = 20, kFaster = 12;
  std::string error;
  const std::optional<League> league = League::Load(PITWALL_EXAMPLES_DIR "/league.csv", &error);
  ASSERT_TRUE(league) << error;
  ASSERT_EQ(league->classes().size(), 2u);
  EXPECT_EQ(league->classes()[0].name, "GT3");
  EXPECT_EQ(league->classes()[1].name, "GT4");
  EXPECT_NE(league->classes()[0].colour, league->classes()[1].colour);
  EXPECT_EQ(league->drivers().size(), static_cast<std::size_t>(kCars)) << "no one else";

  SimOptions options = Options(kCars, 5, 1, {SessionKind::kQualifying});
  options.faster_class_cars = kFaster;
  const CaptureSink sink = Run(options);
  ASSERT_GE(sink.events.size(), 2u);
  std::set<int> numbers;
  std::set<std::string> teams;
  bool second_name = false, team_with_comma = false;
  for (int car = 0; car < kCars; ++car) {
    const auto* record =
        sink.events[1].vehicles.data() + static_cast<std::size_t>(car) * V::kRecordSize;
    const std::string name(
        reinterpret_cast<const char*>(record + V::kDriverName),
        strnlen(reinterpret_cast<const char*>(record + V::kDriverName), V::kDriverNameSize));
    SCOPED_TRACE("car " + std::to_string(car) + " " + name);
    const LeagueDriver* driver = league->Find(name);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->class_name, car < kFaster ? "GT3" : "GT4");
    ASSERT_TRUE(driver->number.has_value());
    EXPECT_TRUE(numbers.insert(*driver->number).second) << "a number of its own";
    EXPECT_EQ(driver->short_name.size(), 3u);
    EXPECT_EQ(driver->nation.size(), 2u);
    EXPECT_FALSE(driver->team.empty());
    teams.insert(driver->team);
    if (!driver->also.empty()) {
      second_name = true;
      EXPECT_EQ(league->Find(driver->also), driver);
    }
    if (driver->team.find(',') != std::string::npos) team_with_comma = true;
  }
  EXPECT_LT(teams.size(), static_cast<std::size_t>(kCars) / 2) << "several cars to a team";
  EXPECT_TRUE(second_name);
  EXPECT_TRUE(team_with_comma);
}

TEST(ReadClassesTest, TheFieldIsBothClassesAndAMistakeIsNamed) {
  SimOptions sim;
  EXPECT_EQ(ReadClasses("12:8", false, &sim), "");
  EXPECT_EQ(sim.cars, 20);
  EXPECT_EQ(sim.faster_class_cars, 12);
  sim = SimOptions{};
  sim.cars = 7;
  EXPECT_EQ(ReadClasses("4:3", true, &sim), "") << "--cars 7 agrees";
  EXPECT_EQ(sim.faster_class_cars, 4);
  sim = SimOptions{};
  EXPECT_EQ(ReadClasses("1:254", false, &sim), "");
  EXPECT_EQ(sim.cars, 255);

  struct Case {
    const char* text;
    bool cars_given;
    const char* says;
  };
  for (const Case& c : {
           Case{"12:8", true, "--classes: '12:8': 12 + 8 makes 20 cars, not the 18 of --cars"},
           Case{"200:100", false, "--classes: '200:100': 200 + 100 makes 300 cars, more than 255"},
           Case{"12", false,
                "--classes: '12': not A:B, the cars of the faster class and of the slower one"},
           Case{"", false,
                "--classes: '': not A:B, the cars of the faster class and of the slower one"},
           Case{"0:8", false, "--classes: '0:8': '0' is not a whole number from 1 to 254"},
           Case{"12:0", false, "--classes: '12:0': '0' is not a whole number from 1 to 254"},
           Case{"12:", false, "--classes: '12:': '' is not a whole number from 1 to 254"},
           Case{"-1:8", false, "--classes: '-1:8': '-1' is not a whole number from 1 to 254"},
           Case{"12:8:1", false, "--classes: '12:8:1': '8:1' is not a whole number from 1 to 254"},
           Case{" 12:8", false, "--classes: ' 12:8': ' 12' is not a whole number from 1 to 254"},
           Case{"12:8.5", false, "--classes: '12:8.5': '8.5' is not a whole number from 1 to 254"},
           Case{"255:1", false, "--classes: '255:1': '255' is not a whole number from 1 to 254"},
       }) {
    SimOptions untouched;
    untouched.cars = 18;
    EXPECT_EQ(ReadClasses(c.text, c.cars_given, &untouched), c.says);
    EXPECT_EQ(untouched.cars, 18) << c.text << ": the field stays as it was";
    EXPECT_EQ(untouched.faster_class_cars, 0) << c.text;
  }
}

}  // namespace
