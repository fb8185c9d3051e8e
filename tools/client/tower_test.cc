#include "tower.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <tuple>

#include "answer_text.h"

namespace {

CarState Car(std::uint8_t index, std::uint8_t place, std::int16_t laps, float distance,
             float behind, float last, float best) {
  CarState car{.index = index, .lap_distance = distance, .place = place, .laps = laps};
  car.time_behind_leader = behind;
  car.best_lap = best;
  car.last_lap = last;
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
  EXPECT_EQ(FormatTower(SampleState(), {}), expected);
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
  std::istringstream lines(FormatTower(state, {}));
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    EXPECT_LE(DisplayWidth(line), kTowerColumns) << line;
  }
  EXPECT_EQ(count, 2 + 255);
}

TEST(TowerTest, AnsiHighlightsFastestLapOnly) {
  TowerOptions options;
  options.ansi = true;
  const std::string tower = FormatTower(SampleState(), options);
  EXPECT_NE(tower.find("\x1b[1;35m 1:25.250\x1b[0m "), std::string::npos) << tower;
  EXPECT_EQ(tower.find('*'), std::string::npos);
  EXPECT_EQ(tower.find("\x1b[1;35m", tower.find("\x1b[0m")), std::string::npos);
}

TEST(TowerTest, SessionLineInWords) {
  // {code, end time, laps, time, leader finished, expected line}
  const std::tuple<std::int32_t, float, std::int32_t, float, bool, std::string> kCases[] = {
      {1, 1800.0f, 0, 754.2f, false, "Test Ring | practice | 17:25 left"},
      {2, 600.0f, 0, 610.0f, false, "Test Ring | qualifying | 0:00 left | finished"},
      {3, 0.0f, 12, 754.2f, false, "Test Ring | race | time 12:34 | lap 1/12"},
      {3, 0.0f, 12, 754.2f, true, "Test Ring | race | final classification"},
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
    const std::string tower = FormatTower(state, {});
    EXPECT_EQ(tower.substr(0, tower.find('\n')), line);
  }
}

TEST(TowerTest, MissingAnswers) {
  EXPECT_EQ(FormatTower(TimingState{}, {}), "(waiting for session)\n(waiting for live data)\n");
}

// A race of 30 cars, "Driver 1" leading to "Driver 30" last.
TimingState TallField() {
  TimingState state;
  state.ApplySession(SessionAnswer{0, "Long Ring", 3, 0.0f, 20, 6000.0f});
  DriversAnswer drivers;
  LiveAnswer live;
  live.captured = true;
  for (int i = 0; i < 30; ++i) {
    const auto index = static_cast<std::uint8_t>(i);
    drivers.drivers.push_back({index, "Driver " + std::to_string(i + 1)});
    live.cars.push_back(Car(index, static_cast<std::uint8_t>(i + 1), 3, 5000.0f - 10.0f * i,
                            0.5f * i, 90.0f, 89.0f));
  }
  state.ApplyDrivers(drivers);
  state.ApplyLive(live, 0);
  return state;
}

// The places of the car rows in a tower, '.' for a separator, '>' after a
// followed car's place.
std::string Rows(const std::string& tower) {
  std::istringstream lines(tower);
  std::string line, rows;
  std::getline(lines, line);  // session
  std::getline(lines, line);  // header
  while (std::getline(lines, line)) {
    std::string place = line.substr(0, 4);
    place.erase(0, place.find_first_not_of(' '));
    if (place.rfind("...", 0) == 0) place = ".";
    while (!place.empty() && place.back() == ' ') place.pop_back();
    rows += place + " ";
  }
  return rows;
}

TEST(TowerTest, TallFieldsFitTheTerminalAroundTheFollowedCar) {
  const TimingState state = TallField();
  struct Case {
    std::size_t rows;
    std::string follow;
    std::string expected;
  };
  const Case kCases[] = {
      {0, "", "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30 "},
      {32, "", "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30 "},
      // 23 lines: the 20 leaders and how many more there are.
      {23, "", "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 . "},
      {23, "driver 7", "1 2 3 4 5 6 7> 8 9 10 11 12 13 14 15 16 17 18 19 20 . "},
      // A followed car below the screen: leaders, separator, and a window
      // around it (kept within the field).
      {23, "Driver 25", "1 2 3 . 14 15 16 17 18 19 20 21 22 23 24 25> 26 27 28 29 30 "},
      {12, "driver 25", "1 2 3 . 22 23 24 25> 26 27 "},
      {12, "DRIVER 30", "1 2 3 . 25 26 27 28 29 30> "},
      {12, "nobody", "1 2 3 4 5 6 7 8 9 . "},
      // Never fewer rows than the leaders, a separator and the car.
      {2, "Driver 30", "1 2 3 . 30> "},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::to_string(c.rows) + " " + c.follow);
    TowerOptions options;
    options.rows = c.rows;
    options.follow = c.follow;
    const std::string tower = FormatTower(state, options);
    EXPECT_EQ(Rows(tower), c.expected) << tower;
    if (c.rows >= 7) {
      EXPECT_LE(static_cast<std::size_t>(std::count(tower.begin(), tower.end(), '\n')), c.rows);
    }
  }
  TowerOptions options;
  options.rows = 23;
  const std::string tower = FormatTower(state, options);
  EXPECT_NE(tower.find("\n...  10 more car(s)\n"), std::string::npos) << tower;
}

TEST(TowerTest, TheFlagThenTheFinalClassification) {
  TimingState state;
  state.ApplySession(SessionAnswer{0, "Test Ring", 3, 0.0f, 5, 4000.0f});
  CarState winner = Car(0, 1, 5, 200.0f, 0.0f, 86.0f, 85.5f);
  winner.finish_status = 1;
  CarState second = Car(1, 2, 4, 3900.0f, 1.2f, 86.0f, 85.9f);
  LiveAnswer live;
  live.captured = true;
  live.current_time = 500.0f;
  live.cars = {winner, second};
  state.ApplyLive(live, 0);
  EXPECT_EQ(FormatTower(state, {}).substr(0, 36), "Test Ring | race | chequered flag\n  ");
  live.fastest_lap = 85.5f;
  live.cars[1].finish_status = 1;
  live.cars[1].laps = 5;
  live.cars[1].lap_distance = 10.0f;
  state.ApplyLive(live, 1);
  const std::string tower = FormatTower(state, {});
  EXPECT_EQ(tower.substr(0, tower.find('\n')),
            "Test Ring | race | final classification | fastest 1:25.500 car 0");
  EXPECT_NE(tower.find("  2  car 1                 5   1:26.000   1:25.900    +1.200   +1.200 fin"),
            std::string::npos)
      << tower;
}

}  // namespace
