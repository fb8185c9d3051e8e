#include "tower.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <tuple>

#include "tests/league_of.h"
#include "text_safety.h"

namespace {

const TowerOptions kAnsi{.ansi = true, .follow = {}, .only_class = {}, .split = false};

CarState Car(std::uint8_t index, std::uint8_t place, std::int16_t laps, float distance,
             float behind, float last, float best) {
  CarState car{.index = index, .lap_distance = distance, .place = place, .laps = laps};
  car.time_behind_leader = behind;
  car.best_lap = best;
  car.last_lap = last;
  return car;
}

// A session of `count` cars: car i at place i + 1, built by car(i), its
// driver named name(i).
template <typename MakeCar, typename Name>
TimingState Field(const SessionAnswer& session, int count, float fastest_lap, MakeCar car,
                  Name name) {
  TimingState state;
  state.ApplySession(session);
  DriversAnswer drivers;
  LiveAnswer live{0, true, 0.0f, fastest_lap, 0, {}};
  for (int i = 0; i < count; ++i) {
    drivers.drivers.push_back({static_cast<std::uint8_t>(i), name(i)});
    live.cars.push_back(car(static_cast<std::uint8_t>(i)));
  }
  state.ApplyDrivers(drivers);
  state.ApplyLive(live, 0);
  return state;
}

// A race of 12 laps on a 4321.5 m track, three cars, one lapped, one in the
// pits, joined at lap 8: its pit stops and places gained are not known.
TimingState SampleState() {
  TimingState state;
  state.ApplySession(SessionAnswer{0, "Test Ring", 3, 0.0f, 12, 4321.5f});
  state.ApplyDrivers(DriversAnswer{0, {{0, "Annabelle Leeworth-Smithson"}, {2, "Bob Day"}}});
  LiveAnswer live{0, true, 754.2f, 85.25f, 2, {}};
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
      "  1  Bob Day               7   1:25.250*  1:25.250*   leader            -   -\n"
      "  2  Annabelle Leeworth    7   1:26.000   1:25.500    +3.456   +3.456   -   -\n"
      "  3  car 7                 6         --         --      +1 L     +1 L PIT   -\n";
  EXPECT_EQ(FormatTower(SampleState(), {}), expected);
}

// A race seen from its grid, with names from the network: wide characters,
// a combining mark, escapes and a bidirectional override. Columns line up
// by terminal width, and nothing of a name acts on the terminal.
TEST(TowerTest, CountsFromTheGridAndHostileOrWideNamesInTheirColumns) {
  TimingState state;
  state.ApplySession(SessionAnswer{0, "Ring\x1b]0;pwned\x07", 3, 0.0f, 12, 1000.0f});
  state.ApplyDrivers(DriversAnswer{0,
                                   {{0,
                                     "\xe4\xbd\x90\xe8\x97\xa4\xe4\xb8\x80\xe9\x83\x8e"
                                     "\xe4\xbd\x90\xe8\x97\xa4\xe4\xb8\x80\xe9\x83\x8e"
                                     "\xe4\xbd\x90\xe8\x97\xa4"},  // 佐藤一郎佐藤一郎佐藤
                                    {1, "Zoe\x1b[2J"},
                                    {2, "e\xcc\x81mile"},
                                    {3,
                                     "\xe2\x80\xae"
                                     "Evil"}}});
  LiveAnswer live{0, true, 0.0f, -1, 0, {}};
  for (std::uint8_t i = 0; i < 4; ++i)
    live.cars.push_back(Car(i, i + 1, 0, 990.0f - 8 * i, 0, -1, -1));
  state.ApplyLive(live, 0);
  live = LiveAnswer{0, true, 200.0f, 90.0f, 2, {}};
  live.cars = {Car(2, 1, 1, 500, 0, 90, 90), Car(0, 2, 1, 450, 1.5f, 91, 91),
               Car(1, 3, 1, 400, 3.25f, 92, 92), Car(3, 4, 1, 100, 20, 95, 95)};
  live.cars[3].in_pits = true;
  state.ApplyLive(live, 1);
  EXPECT_NE(FormatTower(state, {}).find("+16.750 PIT\n"), std::string::npos);
  live.cars[3].in_pits = false;
  state.ApplyLive(live, 2);
  const std::string expected =
      "Ring\\x1b]0;pwned\\x07 | race | time 3:20 | lap 2/12 | fastest 1:30.000 e\xcc\x81mile\n"
      "  P  driver             laps       last       best       gap interval pit +/-\n"
      "  1  e\xcc\x81mile                 1   1:30.000*  1:30.000*   leader            0  +2\n"
      "  2  \xe4\xbd\x90\xe8\x97\xa4\xe4\xb8\x80\xe9\x83\x8e\xe4\xbd\x90\xe8\x97\xa4\xe4\xb8\x80"
      "\xe9\x83\x8e\xe4\xbd\x90    1   1:31.000+  1:31.000    +1.500   +1.500   0  -1\n"
      "  3  Zoe\\x1b[2J            1   1:32.000+  1:32.000    +3.250   +1.750   0  -1\n"
      "  4  \\u202eEvil            1   1:35.000+  1:35.000   +20.000  +16.750   1\n";
  EXPECT_EQ(FormatTower(state, {}), expected);
  // With colour, the tower's own sequences are the only ones.
  std::string ansi = FormatTower(state, kAnsi);
  for (const std::string sequence : {"\x1b[1;35m", "\x1b[32m", "\x1b[33m", "\x1b[0m"}) {
    for (auto at = ansi.find(sequence); at != std::string::npos; at = ansi.find(sequence))
      ansi.erase(at, sequence.size());
  }
  EXPECT_EQ(ansi.find('\x1b'), std::string::npos) << ansi;
}

TEST(TowerTest, EveryLineFitsEightyColumns) {
  const TimingState state = Field(
      SessionAnswer{0, std::string(64, 'T'), 2, 3600.0f, 0, 5000.0f}, 255, 5999.0f,
      [](std::uint8_t i) { return Car(i, i + 1, 999, 0, 999.999f * i, 5999.0f, 5999.0f); },
      [](int) { return std::string(32, 'W'); });
  std::istringstream lines(FormatTower(state, {}));
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    EXPECT_LE(DisplayWidth(line), kTowerColumns) << line;
  }
  EXPECT_EQ(count, 2 + 255);
}

// The fastest lap's holder's best lap in purple; last laps in purple (the
// session's best), green (the driver's own) or yellow, each still marked
// by its cue; nothing else coloured.
TEST(TowerTest, AnsiColoursTheFastestLapAndEachLastLapByItsMark) {
  const std::string tower = FormatTower(SampleState(), kAnsi);
  EXPECT_NE(tower.find("\x1b[1;35m 1:25.250\x1b[0m* \x1b[1;35m 1:25.250\x1b[0m    leader"),
            std::string::npos)
      << tower;
  EXPECT_NE(tower.find("\x1b[33m 1:26.000\x1b[0m   1:25.500 "), std::string::npos) << tower;
  EXPECT_NE(tower.find("   6         --         --  "), std::string::npos) << tower;
  std::size_t escapes = 0;
  for (std::size_t at = tower.find('\x1b'); at != std::string::npos;
       at = tower.find('\x1b', at + 1))
    ++escapes;
  EXPECT_EQ(escapes, 6u) << tower;

  // A driver's own best, in green.
  TimingState state;
  state.ApplySession(SessionAnswer{0, "Test Ring", 3, 0.0f, 12, 1000.0f});
  state.ApplyLive(
      LiveAnswer{
          0, true, 1, 80.0f, 1, {Car(0, 1, 2, 10, 0, 85.0f, 85.0f), Car(1, 2, 2, 5, 1, 81, 80)}},
      0);
  EXPECT_NE(FormatTower(state, kAnsi).find("\x1b[32m 1:25.000\x1b[0m+"), std::string::npos);
}

TEST(TowerTest, SessionLineInWords) {
  // {code, end time, laps, time, expected line}; a finished race is below.
  const std::tuple<std::int32_t, float, std::int32_t, float, std::string> kCases[] = {
      {1, 1800.0f, 0, 754.2f, "Test Ring | practice | 17:25 left"},
      {2, 600.0f, 0, 610.0f, "Test Ring | qualifying | 0:00 left | finished"},
      {3, 0.0f, 12, 754.2f, "Test Ring | race | time 12:34 | lap 1/12"},
      {9, 0.0f, 0, 5.0f, "Test Ring | session 9 | time 0:05"},
  };
  for (const auto& [code, end, laps, time, line] : kCases) {
    TimingState state;
    state.ApplySession(SessionAnswer{0, "Test Ring", code, end, laps, 1000.0f});
    state.ApplyLive(LiveAnswer{0, true, time, -1, 0, {Car(0, 1, 0, 10, 0, -1, -1)}}, 0);
    const std::string tower = FormatTower(state, {});
    EXPECT_EQ(tower.substr(0, tower.find('\n')), line);
  }
}

TEST(TowerTest, MissingAnswers) {
  EXPECT_EQ(FormatTower(TimingState{}, {}), "(waiting for session)\n(waiting for live data)\n");
}

// The places of the car rows in a tower, '>' after a followed car's place,
// and the separator lines whole.
std::string Rows(const std::string& tower) {
  std::istringstream lines(tower);
  std::string line, rows;
  std::getline(lines, line);  // session
  std::getline(lines, line);  // header
  while (std::getline(lines, line)) {
    std::string place;
    std::istringstream(line) >> place;
    rows += (place == "..." ? line : place) + " ";
  }
  return rows;
}

TEST(TowerTest, TallFieldsFitTheTerminalAroundTheFollowedCar) {
  // A race of 30 cars, "Driver 1" leading to "Driver 30" last.
  const TimingState state = Field(
      SessionAnswer{0, "Long Ring", 3, 0.0f, 20, 6000.0f}, 30, -1,
      [](std::uint8_t i) { return Car(i, i + 1, 3, 5000.0f - 10.0f * i, 0.5f * i, 90.0f, 89.0f); },
      [](int i) { return "Driver " + std::to_string(i + 1); });
  // {rows, follow, the rows shown}
  const std::tuple<std::size_t, std::string, std::string> kCases[] = {
      {0, "", "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30 "},
      {32, "", "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30 "},
      // 23 lines: the 20 leaders and how many more there are.
      {23, "", "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 ...  10 more car(s) "},
      {23, "driver 7", "1 2 3 4 5 6 7> 8 9 10 11 12 13 14 15 16 17 18 19 20 ...  10 more car(s) "},
      // A followed car below the screen: leaders, separator, and a window
      // around it (kept within the field).
      {23, "Driver 25", "1 2 3 ... 14 15 16 17 18 19 20 21 22 23 24 25> 26 27 28 29 30 "},
      {12, "driver 25", "1 2 3 ... 22 23 24 25> 26 27 "},
      {12, "DRIVER 30", "1 2 3 ... 25 26 27 28 29 30> "},
      {12, "nobody", "1 2 3 4 5 6 7 8 9 ...  21 more car(s) "},
      // Never fewer rows than the leaders, a separator and the car.
      {2, "Driver 30", "1 2 3 ... 30> "},
  };
  for (const auto& [rows, follow, expected] : kCases) {
    SCOPED_TRACE(std::to_string(rows) + " " + follow);
    const std::string tower =
        FormatTower(state, {.rows = rows, .follow = follow, .only_class = {}, .split = false});
    EXPECT_EQ(Rows(tower), expected) << tower;
    if (rows >= 7) {
      EXPECT_LE(static_cast<std::size_t>(std::count(tower.begin(), tower.end(), '\n')), rows);
    }
  }
}

TEST(TowerTest, TheFlagThenTheFinalClassification) {
  TimingState state;
  state.ApplySession(SessionAnswer{0, "Test Ring", 3, 0.0f, 5, 4000.0f});
  LiveAnswer live{0, true, 500.0f, -1, 0, {}};
  live.cars = {Car(0, 1, 5, 200.0f, 0.0f, 86.0f, 85.5f), Car(1, 2, 4, 3900.0f, 1.2f, 86.0f, 85.9f)};
  live.cars[0].finish_status = 1;  // the winner
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

namespace {

// GT3: Ada (P1), Cy (P3, lapped by Ada); GT4: Bea (P2), Dot (P4); Eve in
// the file in no class; car 5 not in it.
TimingState TwoClassState() {
  const std::shared_ptr<const League> league = LeagueOf(
      "kind,name,number,class,colour\n"
      "class,GT3,,,#e4572e\n"
      "class,GT4,,,#2e86de\n"
      "class,Cup,,,#00ff00\n"
      "driver,Ada Brennan,7,GT3,\n"
      "driver,Bea Lindqvist-Holmberg,88,GT4,\n"
      "driver,Cy Rao,111,GT3,\n"
      "driver,Dot Weiss,,GT4,\n"
      "driver,Eve Mori,5,,\n");
  TimingState state;
  state.ApplySession(SessionAnswer{0, "Test Ring", 3, 0.0f, 12, 1000.0f});
  state.ApplyDrivers(DriversAnswer{0,
                                   {{0, "Ada Brennan"},
                                    {1, "Bea Lindqvist-Holmberg"},
                                    {2, "Cy Rao"},
                                    {3, "Dot Weiss"},
                                    {4, "Eve Mori"},
                                    {5, "Zed"}}});
  state.SetLeague(league);
  LiveAnswer live{0, true, 754.2f, 80.5f, 2, {}};
  live.cars = {Car(0, 1, 8, 500.0f, 0.0f, 81.0f, 81.0f),  Car(1, 2, 8, 100.0f, 30.0f, 88.0f, 87.5f),
               Car(2, 3, 7, 400.0f, 70.0f, 80.5f, 80.5f), Car(3, 4, 7, 550.0f, 75.5f, 89.0f, 88.0f),
               Car(4, 5, 7, 400.0f, 90.0f, 90.0f, 90.0f), Car(5, 6, 6, 900.0f, 99.0f, -1, -1)};
  state.ApplyLive(live, 0);
  return state;
}

}  // namespace

TEST(TowerTest, LeagueColumnsOverallAndSplitByClass) {
  const TimingState state = TwoClassState();
  const std::string head =
      "Test Ring | race | time 12:34 | lap 9/12 | fastest 1:20.500 Cy Rao\n"
      "  P   # cls  PC driver        lap      last      best       gap interval pit +/-\n";
  EXPECT_EQ(
      FormatTower(state, {}),
      head +
          "  1   7 GT3   1 Ada Brennan     8  1:21.000+ 1:21.000    leader            -   -\n"
          "  2  88 GT4   1 Bea Lindqvist   8  1:28.000  1:27.500   +30.000  +30.000   -   -\n"
          "  3 111 GT3   2 Cy Rao          7  1:20.500* 1:20.500*     +1 L  +40.000   -   -\n"
          "  4     GT4   2 Dot Weiss       7  1:29.000  1:28.000   +75.500   +5.500   -   -\n"
          "  5   5         Eve Mori        7  1:30.000+ 1:30.000      +1 L  +14.500   -   -\n"
          "  6             Zed             6        --        --      +1 L   +9.000   -   -\n");
  const std::string gt3 =
      "GT3 | 2 cars | fastest 1:20.500 Cy Rao | gaps within the class\n"
      "  1   7 GT3   1 Ada Brennan     8  1:21.000+ 1:21.000    leader            -   -\n"
      "  3 111 GT3   2 Cy Rao          7  1:20.500* 1:20.500*     +1 L     +1 L   -   -\n";
  const std::string gt4 =
      "GT4 | 2 cars | fastest 1:27.500 Bea Lindqvist-Holmberg | gaps within the class\n"
      "  2  88 GT4   1 Bea Lindqvist   8  1:28.000  1:27.500*   leader            -   -\n"
      "  4     GT4   2 Dot Weiss       7  1:29.000  1:28.000   +45.500  +45.500   -   -\n";
  TowerOptions split;
  split.split = true;
  EXPECT_EQ(
      FormatTower(state, split),
      head + gt3 + gt4 +
          "(no class) | 2 car(s)\n"
          "  5   5         Eve Mori        7  1:30.000+ 1:30.000                      -   -\n"
          "  6             Zed             6        --        --                      -   -\n");
  TowerOptions one;
  one.only_class = "GT4";
  EXPECT_EQ(FormatTower(state, one), head + gt4);
  one.only_class = "Cup";
  EXPECT_EQ(FormatTower(state, one),
            head + "Cup | 0 cars | gaps within the class\n(no cars of this class)\n");
  one.only_class = "GT5";  // gone from a file read again
  EXPECT_EQ(FormatTower(state, one), head + "(the league file has no class GT5)\n");
  // Cut at the end; a title whose cars are all cut goes with them.
  split.rows = 7;
  EXPECT_EQ(FormatTower(state, split), head + gt3 + "...  4 more car(s)\n");
  split.ansi = true;
  const std::string coloured = FormatTower(state, split);
  EXPECT_NE(coloured.find("\n\x1b[1;38;2;228;87;46mGT3\x1b[0m | 2 cars |"), std::string::npos)
      << coloured;
  EXPECT_NE(coloured.find("  1   7 \x1b[1;38;2;228;87;46mGT3 \x1b[0m  1 Ada Brennan"),
            std::string::npos)
      << coloured;
}
