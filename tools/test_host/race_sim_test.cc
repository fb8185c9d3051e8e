#include "tools/test_host/race_sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

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

}  // namespace
