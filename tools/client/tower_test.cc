#include "tower.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Spaces(int n) { return std::string(static_cast<std::size_t>(n), ' '); }

CarState Car(std::uint8_t index, std::uint8_t place, float last, float best, float gap,
             std::uint8_t sector, bool in_pits) {
  CarState car;
  car.index = index;
  car.place = place;
  car.laps = place == 0 ? 0 : 12;
  car.last_lap = last;
  car.best_lap = best;
  car.time_behind_leader = gap;
  car.sector = sector;
  car.in_pits = in_pits;
  return car;
}

TowerView SampleView() {
  TowerView view;
  view.session = SessionAnswer{0, "Test Ring", 3, 1800.0f, 12, 4321.5f};
  view.drivers = DriversAnswer{0, {{0, "Annabelle Leeworth-Smithson"}, {2, "Bob Day"}}};
  LiveAnswer live;
  live.captured = true;
  live.current_time = 754.2f;
  live.fastest_lap = 85.25f;
  live.fastest_lap_vehicle = 2;
  live.cars = {Car(0, 2, 86.0f, 85.5f, 3.456f, 2, false), Car(7, 0, -1.0f, -1.0f, 0.0f, 0, true),
               Car(2, 1, 85.25f, 85.25f, 0.0f, 1, false)};
  view.live = live;
  return view;
}

TEST(TowerTest, PlainFrameInPlaceOrderWithFastestMarked) {
  const std::string expected =
      "Test Ring | session 3 | time 12:34 / 30:00 | laps 12 | fastest 1:25.250 (car 2)\n"
      "  P  car  driver" +
      Spaces(16) + "laps" + Spaces(7) + "last" + Spaces(7) + "best" + Spaces(10) +
      "gap  sec  pit\n"
      "  1    2  Bob Day" +
      Spaces(17) +
      "12   1:25.250   1:25.250*      leader    1\n"
      "  2    0  Annabelle Leeworth-S    12   1:26.000   1:25.500       +3.456    2\n"
      "  -    7  car 7" +
      Spaces(20) + "0" + Spaces(9) + "--" + Spaces(9) + "--" + Spaces(7) + "+0.000    0  PIT\n";
  EXPECT_EQ(FormatTower(SampleView(), false), expected);
}

TEST(TowerTest, AnsiHighlightsFastestLapOnly) {
  const std::string tower = FormatTower(SampleView(), true);
  EXPECT_NE(tower.find("\x1b[1;35m 1:25.250\x1b[0m "), std::string::npos) << tower;
  EXPECT_EQ(tower.find('*'), std::string::npos);
  EXPECT_EQ(tower.find("\x1b[1;35m", tower.find("\x1b[0m")), std::string::npos);
}

TEST(TowerTest, NoFastestLapMarkWhileNone) {
  TowerView view = SampleView();
  for (const float none : {-1.0f, 0.0f}) {  // 0: best laps not yet set
    view.live->fastest_lap = none;
    const std::string tower = FormatTower(view, false);
    EXPECT_EQ(tower.find('*'), std::string::npos) << none;
    EXPECT_EQ(tower.find("fastest"), std::string::npos) << none;
  }
}

TEST(TowerTest, RaceWithoutEndTimeOrLapCountShowsNeither) {
  TowerView view = SampleView();
  view.session->end_time = 0.0f;
  const std::string laps_race = FormatTower(view, false);
  EXPECT_EQ(laps_race.substr(0, laps_race.find('\n')),
            "Test Ring | session 3 | time 12:34 | laps 12 | fastest 1:25.250 (car 2)");
  view.session->max_laps = 0;
  const std::string open = FormatTower(view, false);
  EXPECT_EQ(open.substr(0, open.find('\n')), "Test Ring | session 3 | time 12:34 | fastest 1:25.250 (car 2)");
}

TEST(TowerTest, MissingAnswers) {
  EXPECT_EQ(FormatTower(TowerView{}, false), "(waiting for session)\n(waiting for live data)\n");
}

}  // namespace
