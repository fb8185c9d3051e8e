#include "tower.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>

#include "answer_text.h"

namespace {

CarState Car(std::uint8_t index, std::uint8_t place, std::int16_t laps, float distance,
             float behind, float last, float best) {
  CarState car;
  car.index = index;
  car.place = place;
  car.laps = laps;
  car.lap_distance = distance;
  car.time_behind_leader = behind;
  car.last_lap = last;
  car.best_lap = best;
  return car;
}

// A race of 12 laps on a 4321.5 m track, three cars, one lapped, one in the pits.
TimingState SampleState() {
  TimingState state;
  state.ApplySession(SessionAnswer{0, "Test Ring", 3, 0.0f, 12, 4321.5f});
  state.ApplyDrivers(DriversAnswer{0, {{0, "Annabelle Leeworth-Smithson"}, {2, "Bob Day"}}});
  LiveAnswer live;
  live.captured = true;
  live.current_time = 754.2f;
  live.fastest_lap = 85.25f;
  live.fastest_lap_vehicle = 2;
  live.cars = {Car(0, 2, 7, 3000.0f, 3.456f, 86.0f, 85.5f), Car(7, 3, 6, 2500.0f, 99.0f, -1, -1),
               Car(2, 1, 7, 3100.0f, 0.0f, 85.25f, 85.25f)};
  live.cars[1].in_pits = true;
  state.ApplyLive(live, 0);
  return state;
}

TEST(TowerTest, PlainFrameInPlaceOrderWithGapsIntervalsAndFastestMarked) {
  const std::string expected =
      "Test Ring | race | time 12:34 | lap 8/12 | fastest 1:25.250 Bob Day\n"
      "  P  driver             laps       last       best       gap interval pit +/-\n"
      "  1  Bob Day               7   1:25.250   1:25.250*   leader            0\n"
      "  2  Annabelle Leeworth    7   1:26.000   1:25.500    +3.456   +3.456   0\n"
      "  3  car 7                 6         --         --      +1 L     +1 L PIT\n";
  EXPECT_EQ(FormatTower(SampleState(), false), expected);
}

TEST(TowerTest, EveryLineFitsEightyColumns) {
  TimingState state;
  state.ApplySession(SessionAnswer{0, std::string(64, 'T'), 2, 3600.0f, 0, 5000.0f});
  DriversAnswer drivers;
  LiveAnswer live;
  live.captured = true;
  live.fastest_lap = 5999.0f;
  for (int i = 0; i < 255; ++i) {
    drivers.drivers.push_back({static_cast<std::uint8_t>(i), std::string(32, 'W')});
    CarState car = Car(static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i + 1), 999, 0,
                       999.999f * i, 5999.0f, 5999.0f);
    live.cars.push_back(car);
  }
  state.ApplyDrivers(drivers);
  state.ApplyLive(live, 0);
  std::istringstream lines(FormatTower(state, false));
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    EXPECT_LE(DisplayWidth(line), kTowerColumns) << line;
  }
  EXPECT_EQ(count, 2 + 255);
}

TEST(TowerTest, AnsiHighlightsFastestLapOnly) {
  const std::string tower = FormatTower(SampleState(), true);
  EXPECT_NE(tower.find("\x1b[1;35m 1:25.250\x1b[0m "), std::string::npos) << tower;
  EXPECT_EQ(tower.find('*'), std::string::npos);
  EXPECT_EQ(tower.find("\x1b[1;35m", tower.find("\x1b[0m")), std::string::npos);
}

TEST(TowerTest, SessionLineInWords) {
  // {code, end time, laps, time, leader finished, expected line}
  const std::tuple<std::int32_t, float, std::int32_t, float, bool, std::string> kCases[] = {
      {1, 1800.0f, 0, 754.2f, false, "Test Ring | practice | 17:25 left"},
      {2, 600.0f, 0, 610.0f, false, "Test Ring | qualifying | 0:00 left | FINISHED"},
      {3, 0.0f, 12, 754.2f, false, "Test Ring | race | time 12:34 | lap 1/12"},
      {3, 0.0f, 12, 754.2f, true, "Test Ring | race | time 12:34 | lap 1/12 | FINISHED"},
      {9, 0.0f, 0, 5.0f, false, "Test Ring | session 9 | time 0:05"},
  };
  for (const auto& [code, end, laps, time, finished, line] : kCases) {
    TimingState state;
    state.ApplySession(SessionAnswer{0, "Test Ring", code, end, laps, 1000.0f});
    LiveAnswer live;
    live.captured = true;
    live.current_time = time;
    live.cars = {Car(0, 1, 0, 10, 0, -1, -1)};
    live.cars[0].finish_status = finished ? 1 : 0;
    state.ApplyLive(live, 0);
    const std::string tower = FormatTower(state, false);
    EXPECT_EQ(tower.substr(0, tower.find('\n')), line);
  }
}

TEST(TowerTest, MissingAnswers) {
  EXPECT_EQ(FormatTower(TimingState{}, false), "(waiting for session)\n(waiting for live data)\n");
}

}  // namespace
