#include "timing_state.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "tests/league_of.h"
#include "tests/live_cars.h"

namespace {

// A car of a live answer: index, place, laps completed, metres into the
// lap, seconds behind the leader, finish status (1: took the flag).
CarState Car(std::uint8_t i, std::uint8_t p, std::int16_t laps, float metres, float behind,
             std::uint8_t finish = 0) {
  CarState car{.index = i, .lap_distance = metres, .place = p, .time_behind_leader = behind};
  car.laps = laps;
  car.finish_status = finish;
  return car;
}

LiveAnswer Live(std::vector<CarState> cars, float time = 100.0f) {
  return LiveAnswer{0, true, time, -1.0f, 0, std::move(cars)};
}

SessionAnswer Session(std::int32_t code, float end_time, std::int32_t max_laps,
                      const std::string& track = "Test Ring") {
  return SessionAnswer{0, track, code, end_time, max_laps, 1000.0f};
}

std::string Text(const std::optional<Gap>& gap) { return gap ? GapText(*gap) : "--"; }

// "place gap interval" of every car, in the state's order.
std::vector<std::string> Gaps(const TimingState& state) {
  std::vector<std::string> gaps;
  for (const CarTiming& car : state.cars()) {
    gaps.push_back(std::to_string(car.place) + " " + Text(car.gap_to_leader) + " " +
                   Text(car.interval));
  }
  return gaps;
}

TEST(TimingStateTest, GapsAndIntervalsInSecondsOrWholeLaps) {
  // 1000 m laps. The leader has 5 laps and 100 m. {car, expected gap,
  // expected interval} in place order, hand-worked:
  // - P2 4 laps 900 m: 200 m behind, under a lap: seconds.
  // - P3 4 laps 150 m: 950 m behind the leader, under a lap: seconds; its
  //   interval to P2 (750 m) in seconds too.
  // - P4 4 laps 50 m: 1050 m behind the leader: "+1 L"; 850 m behind P3:
  //   seconds (4 laps each, it is less far round).
  // - P5 3 laps 980 m: 1120 m behind the leader: "+1 L"; 4 laps 50 m vs 3 laps
  //   980 m: 70 m behind P4: seconds.
  // - P6 3 laps 10 m: 2090 m behind the leader: "+2 L"; 970 m behind P5:
  //   seconds.
  // - P7 3 laps 5 m: "+2 L"; 5 m behind P6 but reported with a smaller gap
  //   than P6: an interval never goes negative.
  TimingState state;
  state.ApplySession(Session(3, 0, 10));
  state.ApplyLive(Live({Car(0, 1, 5, 100, 0), Car(1, 2, 4, 900, 4.5f), Car(2, 3, 4, 150, 20.0f),
                        Car(3, 4, 4, 50, 26.25f), Car(4, 5, 3, 980, 27.0f), Car(5, 6, 3, 10, 48.0f),
                        Car(6, 7, 3, 5, 47.5f)}),
                  1.0);
  EXPECT_EQ(Gaps(state), (std::vector<std::string>{
                             "1 -- --", "2 +4.500 +4.500", "3 +20.000 +15.500", "4 +1 L +6.250",
                             "5 +1 L +0.750", "6 +2 L +21.000", "7 +2 L +0.000"}));
}

TEST(TimingStateTest, LapsBehindAWinnerCountTheLapStillToRun) {
  // The winner took the flag after 10 laps and is 300 m into its slowing-
  // down lap. Hand-worked, in place order:
  // - P2 finished with 10 laps: on the lead lap, seconds.
  // - P3 running with 9 laps completed, 3500 m round: it takes the flag on
  //   lap 10, so seconds, although it is further round its lap than the
  //   winner (which would read "one lap fewer" while the winner was racing).
  // - P4 running with 9 laps, 100 m round: also finishes on lap 10: seconds.
  // - P5 finished with 9 laps: "+1 L"; and a lap behind P4, which will take
  //   the flag with 10.
  // - P6 running with 8 laps, 3600 m round: it finishes on lap 9: "+1 L";
  //   0 laps from P5, which finished on lap 9: seconds.
  TimingState state;
  state.ApplySession(SessionAnswer{0, "Test Ring", 3, 0.0f, 10, 3733.0f});
  state.ApplyLive(
      Live({Car(0, 1, 10, 300, 0, 1), Car(1, 2, 10, 200, 2.5f, 1), Car(2, 3, 9, 3500, 5.0f),
            Car(3, 4, 9, 100, 30.0f), Car(4, 5, 9, 3700, 40.0f, 1), Car(5, 6, 8, 3600, 60.0f)}),
      1.0);
  EXPECT_EQ(Gaps(state),
            (std::vector<std::string>{"1 -- --", "2 +2.500 +2.500", "3 +5.000 +2.500",
                                      "4 +30.000 +25.000", "5 +1 L +1 L", "6 +1 L +20.000"}));
}

TEST(TimingStateTest, OutsideARaceGapsAreBestLapDifferencesAndNeedATime) {
  // Qualifying: places by best lap; the time behind the leader holds the
  // best-lap difference. Laps completed say nothing about being lapped.
  LiveAnswer live = Live({Car(0, 1, 3, 500, 0), Car(1, 2, 9, 500, 0.75f), Car(2, 3, 1, 500, 2.0f),
                          Car(3, 4, 0, 500, 0), Car(4, 5, 0, 500, 0)});
  const float kBestLaps[] = {80.0f, 80.75f, 82.0f, -1.0f, -1.0f};
  for (CarState& car : live.cars) car.best_lap = kBestLaps[car.index];
  TimingState state;
  state.ApplySession(Session(2, 900, 0));
  state.ApplyLive(live, 1.0);
  EXPECT_EQ(Gaps(state), (std::vector<std::string>{"1 -- --", "2 +0.750 +0.750", "3 +2.000 +1.250",
                                                   "4 -- --", "5 -- --"}));
}

TEST(TimingStateTest, PlaceOrderPutsUnplacedCarsLastAndJoinsNames) {
  TimingState state;
  state.ApplyDrivers(DriversAnswer{0, {{2, "Bea"}, {9, "Cy"}}});
  LiveAnswer live =
      Live({Car(9, 0, 0, 0, 0), Car(4, 2, 1, 10, 1.0f), Car(2, 1, 1, 20, 0), Car(1, 0, 0, 0, 0)});
  live.fastest_lap = 81.5f;
  live.fastest_lap_vehicle = 4;
  live.cars[1].best_lap = 81.5f;
  state.ApplyLive(live, 2.0);
  std::vector<std::string> seen;
  for (const CarTiming& car : state.cars()) {
    seen.push_back(std::to_string(car.place) + " " + car.driver +
                   (car.holds_fastest_lap ? " *" : ""));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"1 Bea", "2 car 4 *", "0 car 1", "0 Cy"}));
  EXPECT_FALSE(state.cars()[2].gap_to_leader) << "no gap for a car without a place";
  EXPECT_EQ(state.session().fastest_lap_driver, "car 4");
  state.ApplyDrivers(DriversAnswer{0, {{4, "Dee"}}});
  EXPECT_EQ(state.cars()[1].driver, "Dee") << "names join when they arrive later";
  EXPECT_EQ(state.session().fastest_lap_driver, "Dee");
  EXPECT_EQ(state.received_at_s(), 2.0);
}

TEST(TimingStateTest, PitStopsPlacesGainedAndFinishAcrossUpdates) {
  // The state sees the race from its grid (no lap completed yet), then lap 1
  // onwards. {car 7's place, in pits, finished, expected stops, expected
  // places gained}
  const std::tuple<int, bool, bool, int, int> kSteps[] = {
      {5, true, false, 0, 0},    // first seen in the pit lane: no stop made
      {5, false, false, 0, 0},   // leaves
      {3, false, false, 0, 2},   // two places up
      {4, true, false, 1, 1},    // enters: one stop
      {4, true, false, 1, 1},    // still in: the same stop
      {6, false, false, 1, -1},  // out, lost places overall
      {6, true, false, 2, -1},   // a second stop
      {2, false, true, 2, 3},    // takes the flag
  };
  TimingState state;
  state.ApplySession(Session(3, 0, 3));
  int step = 0;
  for (const auto& [place, in_pits, finished, stops, gained] : kSteps) {
    SCOPED_TRACE(step);
    const std::int16_t laps = step++ == 0 ? 0 : 1;
    CarState car = Car(7, static_cast<std::uint8_t>(place), laps, 0, 1.0f, finished);
    car.in_pits = in_pits;
    state.ApplyLive(Live({Car(1, 1, laps, 10, 0), car}), step);
    const CarTiming& seen = state.cars()[1];
    EXPECT_EQ(seen.pit_stops, stops);
    EXPECT_EQ(seen.places_gained, gained);
    EXPECT_EQ(seen.finished, finished);
  }

  // A new session starts the counts again.
  state.ApplySession(Session(1, 600, 0));
  state.ApplyLive(Live({Car(1, 1, 0, 10, 0),
                        {.index = 7, .in_pits = true, .place = 4, .time_behind_leader = 1.0f}}),
                  99);
  EXPECT_EQ(state.cars()[1].pit_stops, 0);
  EXPECT_EQ(state.cars()[1].places_gained, 0);
}

// What the first live answer of a session shows decides whether the counts
// run from its start: nothing counted yet, or a session well under way.
TEST(TimingStateTest, CountsAreKnownOnlyForASessionSeenFromItsStart) {
  const auto timed = [](CarState car, float best) {
    car.best_lap = car.last_lap = best;
    return car;
  };
  struct Case {
    const char* what;
    std::int32_t code;
    std::vector<CarState> cars;
    bool known;
  };
  const Case kCases[] = {
      {"a race at lap 21 of 50",
       3,
       {timed(Car(0, 1, 20, 300, 0), 80), timed(Car(1, 2, 20, 100, 2), 81)},
       false},
      {"a race on its grid", 3, {Car(0, 1, 0, 990, 0), Car(1, 2, 0, 982, 0.3f)}, true},
      {"a race's opening lap", 3, {Car(0, 1, 0, 400, 0), Car(1, 2, 0, 350, 1.5f)}, true},
      {"practice with one lap done", 1, {Car(0, 1, 0, 50, 0), Car(1, 2, 1, 10, 0)}, false},
      {"qualifying with a lap time but no lap counted",
       2,
       {timed(Car(0, 1, 0, 50, 0), 80), Car(1, 2, 0, 10, 0)},
       false},
      {"qualifying as it opens", 2, {Car(0, 1, 0, 50, 0), Car(1, 2, 0, 10, 0)}, true},
      {"only an unplaced car with laps", 3, {Car(0, 1, 0, 50, 0), Car(1, 0, 7, 10, 0)}, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    TimingState state;
    state.ApplySession(Session(c.code, c.code == 3 ? 0 : 900, c.code == 3 ? 50 : 0));
    state.ApplyLive(Live(c.cars), 1);
    // A stop and a change of places afterwards: counted only with a known start.
    std::vector<CarState> later = c.cars;
    later[0].place = 2;
    later[1].place = later[1].place == 0 ? 0 : 1;
    later[0].in_pits = true;
    state.ApplyLive(Live(later), 2);
    const bool second_first = state.cars()[0].index == 1;
    const CarTiming& pitted = state.cars()[second_first ? 1 : 0];
    const CarTiming& other = state.cars()[second_first ? 0 : 1];
    EXPECT_EQ(pitted.pit_stops, c.known ? std::optional<int>(1) : std::nullopt);
    EXPECT_EQ(pitted.places_gained, c.known ? std::optional<int>(-1) : std::nullopt);
    EXPECT_EQ(other.pit_stops, c.known ? std::optional<int>(0) : std::nullopt);
  }
}

TEST(TimingStateTest, ASessionBeginningWhileConnectedIsSeenFromItsStart) {
  TimingState state;
  // The first answer carries every change bit: that is no new session.
  state.ApplySession(SessionAnswer{kChangeAll, "Test Ring", 3, 0, 50, 1000});
  state.ApplyLive(Live({Car(0, 1, 20, 300, 0), Car(1, 2, 20, 100, 2)}), 1);
  EXPECT_FALSE(state.cars()[0].pit_stops) << "joined at lap 21";
  EXPECT_FALSE(state.cars()[1].places_gained);

  // The next session's bit may come with any answer, here the drivers'.
  state.ApplyDrivers(DriversAnswer{kChangeSession, {{0, "Ann"}, {1, "Bo"}}});
  // The server keeps the old records until the host's first update of the
  // new session: shown, not counted.
  LiveAnswer stale = Live({Car(0, 1, 20, 300, 0), Car(1, 2, 20, 100, 2)});
  stale.captured = false;
  state.ApplyLive(stale, 2);
  EXPECT_EQ(state.cars()[0].pit_stops, 0);
  EXPECT_FALSE(state.cars()[0].places_gained) << "no place of this session yet";
  state.ApplyLive(Live({Car(1, 1, 0, 990, 0), Car(0, 2, 0, 982, 0.3f)}), 3);
  state.ApplyLive(Live({Car(0, 1, 0, 10, 0), Car(1, 2, 0, 5, 0.2f)}), 4);
  EXPECT_EQ(state.cars()[0].places_gained, 1) << "from the new grid, not the stale records";
  EXPECT_EQ(state.cars()[1].places_gained, -1);
  // The session answer describing the new session starts nothing again.
  state.ApplySession(SessionAnswer{0, "Test Ring", 1, 600, 0, 1000});
  state.ApplyLive(Live({Car(0, 1, 1, 10, 0), Car(1, 2, 1, 5, 0.2f)}), 5);
  EXPECT_EQ(state.cars()[0].places_gained, 1);
  EXPECT_EQ(state.cars()[0].pit_stops, 0);

  // A client that connects between the start and the host's first update
  // decides on that first update.
  TimingState early;
  early.ApplyLive(stale, 1);
  EXPECT_FALSE(early.cars()[0].pit_stops);
  early.ApplyLive(Live({Car(0, 1, 0, 990, 0)}), 2);
  EXPECT_EQ(early.cars()[0].pit_stops, 0);
}

TEST(TimingStateTest, SessionTimeAndLapsLeftAndFinish) {
  TimingState timed;
  timed.ApplySession(Session(2, 600, 0));
  timed.ApplyLive(Live({Car(0, 1, 3, 0, 0)}, 450.0f), 0);
  EXPECT_EQ(timed.session().time_left_s, 150.0f);
  EXPECT_FALSE(timed.session().laps_left);
  EXPECT_FALSE(timed.session().finished);
  // The tower's tests see the clock run out: "0:00 left | finished".

  TimingState race;
  race.ApplySession(Session(3, 0, 10));
  race.ApplyLive(Live({Car(0, 1, 7, 0, 0), Car(1, 2, 6, 0, 0)}), 0);
  EXPECT_EQ(race.session().laps_left, 3) << "counted from the leader";
  EXPECT_FALSE(race.session().finished);
  race.ApplyLive(Live({Car(0, 1, 10, 0, 0, 1), Car(1, 2, 9, 900, 0)}), 1);
  EXPECT_EQ(race.session().laps_left, 0);
  EXPECT_TRUE(race.session().finished) << "the leader took the flag";
}

TEST(TimingStateTest, AbsentTimesStayAbsent) {
  TimingState state;
  // Laps not timed (-1 or 0), sector 1 not set, no fastest lap yet.
  state.ApplyLive(
      Live({{.place = 1, .best_lap = 0.0f, .last_lap = -1.0f, .sector1 = -1.0f, .sector2 = 31.5f}}),
      0);
  const CarTiming& seen = state.cars()[0];
  EXPECT_FALSE(seen.last_lap_s);
  EXPECT_FALSE(seen.best_lap_s);
  EXPECT_FALSE(seen.sector1_s);
  EXPECT_EQ(seen.sector2_s, 31.5f);
  EXPECT_FALSE(seen.holds_fastest_lap);
  EXPECT_FALSE(state.session().fastest_lap_s);
  EXPECT_FALSE(state.session().fastest_lap_car);
  EXPECT_FALSE(state.session().known);
}

}  // namespace

namespace {

std::shared_ptr<const League> TwoClassLeague() {
  return LeagueOf(
      "kind,name,also,number,short,team,class,nation,colour\n"
      "class,GT3,,,,,,,#e4572e\n"
      "class,GT4,,,,,,,#2e86de\n"
      "class,Empty,,,,,,,#000\n"
      "driver,Ann,,7,ANN,Red,GT3,IE,\n"
      "driver,Bea,,8,,Blue,GT4,,\n"
      "driver,cid,,9,,Red,GT3,,\n"
      "driver,Dot,,10,,,GT4,,\n"
      "driver,Eve,,11,,,,,\n");
}

DriversAnswer Drivers(const std::vector<std::string>& names) {
  DriversAnswer drivers;
  for (std::size_t i = 0; i < names.size(); ++i)
    drivers.drivers.push_back({static_cast<std::uint8_t>(i), names[i]});
  return drivers;
}

// "class class_place class_gap class_interval" of every car, in the state's order.
std::vector<std::string> ClassGaps(const TimingState& state) {
  std::vector<std::string> gaps;
  for (const CarTiming& car : state.cars()) {
    gaps.push_back(car.car_class + " " +
                   (car.class_place ? std::to_string(*car.class_place) : "-") + " " +
                   Text(car.class_gap) + " " + Text(car.class_interval));
  }
  return gaps;
}

}  // namespace

// Overall: Ann, Bea, Cid (lapped by Ann), Dot, Eve, and an unknown driver.
// Within GT3: Ann, Cid; within GT4: Bea, Dot, whom Bea has not lapped.
TEST(TimingStateTest, ClassPlacesGapsAndFastestLapsWithinEachClass) {
  TimingState state;
  state.ApplySession(Session(3, 0, 10));
  state.ApplyDrivers(Drivers({"Ann", " BEA ", "Cid", "Dot", "Eve", "Zed"}));
  state.SetLeague(TwoClassLeague());
  std::vector<CarState> cars = {Car(0, 1, 5, 800, 0),     Car(1, 2, 5, 100, 40.5f),
                                Car(2, 3, 4, 700, 45.0f), Car(3, 4, 4, 850, 52.25f),
                                Car(4, 5, 4, 200, 70.0f), Car(5, 6, 3, 100, 90.0f)};
  cars[0].best_lap = 80.0f;
  cars[1].best_lap = 90.5f;
  cars[2].best_lap = 79.5f;
  cars[3].best_lap = 90.5f;  // ties Bea: the better placed car holds it
  state.ApplyLive(Live(cars), 0);
  EXPECT_EQ(ClassGaps(state),
            (std::vector<std::string>{"GT3 1 -- --", "GT4 1 -- --", "GT3 2 +1 L +1 L",
                                      "GT4 2 +11.750 +11.750", " - -- --", " - -- --"}));
  const std::vector<CarTiming>& c = state.cars();
  EXPECT_EQ(c[1].number, 8);
  EXPECT_EQ(c[1].short_name, "BEA");  // made from the name
  EXPECT_EQ(c[1].team, "Blue");
  EXPECT_EQ(c[0].nation, "IE");
  EXPECT_EQ(c[0].class_colour, "#e4572e");
  EXPECT_EQ(c[4].number, 11);  // in the file, in no class
  EXPECT_EQ(c[4].car_class, "");
  EXPECT_FALSE(c[5].number);  // not in the file: as without a league
  EXPECT_TRUE(c[2].holds_class_fastest_lap);
  EXPECT_FALSE(c[0].holds_class_fastest_lap);
  EXPECT_TRUE(c[1].holds_class_fastest_lap);
  EXPECT_FALSE(c[3].holds_class_fastest_lap);

  const std::vector<ClassTiming>& classes = state.session().classes;
  ASSERT_EQ(classes.size(), 3u);
  EXPECT_EQ(classes[0].name, "GT3");
  EXPECT_EQ(classes[0].cars, 2);
  EXPECT_EQ(classes[0].leader, 0);
  EXPECT_EQ(classes[0].fastest_lap_s, 79.5f);
  EXPECT_EQ(classes[0].fastest_lap_driver, "Cid");
  EXPECT_EQ(classes[1].leader, 1);
  EXPECT_EQ(classes[1].fastest_lap_car, 1);
  EXPECT_EQ(classes[2].cars, 0);
  EXPECT_FALSE(classes[2].leader);
  EXPECT_FALSE(classes[2].fastest_lap_s);

  // Another league takes effect at once; none clears every league field.
  state.SetLeague(LeagueOf("name,class,kind,colour\nGT4,,class,#123456\nAnn,GT4,,\nCid,GT4,,\n"));
  EXPECT_EQ(ClassGaps(state),
            (std::vector<std::string>{"GT4 1 -- --", " - -- --", "GT4 2 +1 L +1 L", " - -- --",
                                      " - -- --", " - -- --"}));
  state.SetLeague(nullptr);
  EXPECT_TRUE(state.session().classes.empty());
  EXPECT_FALSE(state.cars()[0].class_place);
  EXPECT_FALSE(state.cars()[1].number);
}

TEST(TimingStateTest, OutsideARaceClassGapsAreBestLapDifferences) {
  TimingState state;
  state.ApplySession(Session(2, 900, 0));
  state.ApplyDrivers(Drivers({"Ann", "Bea", "Cid", "Dot"}));
  state.SetLeague(TwoClassLeague());
  std::vector<CarState> cars = {Car(0, 1, 3, 0, 0), Car(1, 2, 3, 0, 1.5f), Car(2, 3, 2, 0, 2.0f),
                                Car(3, 4, 0, 0, 0)};
  cars[0].best_lap = 80.0f;
  cars[1].best_lap = 81.5f;
  cars[2].best_lap = 82.0f;
  state.ApplyLive(Live(cars), 0);
  EXPECT_EQ(ClassGaps(state), (std::vector<std::string>{"GT3 1 -- --", "GT4 1 -- --",
                                                        "GT3 2 +2.000 +2.000", "GT4 2 -- --"}));
}

namespace {

// A live answer for the sector, pace and pit tests (1000 m laps), applied
// at its session time.
void Step(TimingState* state, float time, const std::vector<Spot>& cars, float fastest = -1.0f) {
  state->ApplyLive(LiveOf(time, cars, fastest), time);
}

const CarTiming& CarAt(const TimingState& state, std::uint8_t index) {
  for (const CarTiming& car : state.cars()) {
    if (car.index == index) return car;
  }
  ADD_FAILURE() << "no car " << int{index};
  return state.cars().front();
}

// "time/lap/c|p/mark" for each sector: c for the lap in progress, p for the
// previous; "-" without a time.
std::string Sectors(const CarTiming& car) {
  std::string text;
  for (const std::optional<SectorTime>& s : car.sectors) {
    char one[64] = "-";
    if (s) {
      std::snprintf(one, sizeof(one), "%.2f/%d/%s/%s", static_cast<double>(s->seconds), s->lap,
                    s->current ? "c" : "p", TimeMarkName(s->mark));
    }
    text += (text.empty() ? "" : " ") + std::string(one);
  }
  return text;
}

}  // namespace

TEST(TimingStateTest, SectorTimesMarkTheSessionsAndTheCarsOwnBests) {
  TimingState state;
  state.ApplySession(Session(3, 0, 10));
  // Lap 1, second sector: each car's first sector. Ann's 30 s is the best.
  std::vector<Spot> cars = {{.index = 0, .place = 1, .metres = 400, .sector = 2, .s1 = 30},
                            {.index = 1, .place = 2, .metres = 390, .sector = 2, .s1 = 31}};
  Step(&state, 10, cars);
  EXPECT_EQ(Sectors(CarAt(state, 0)), "30.00/1/c/session_best - -");
  EXPECT_EQ(Sectors(CarAt(state, 1)), "31.00/1/c/personal_best - -");
  // Third sector: the second sectors; Bea's 28.5 s is the best.
  cars[0].metres = 700, cars[0].sector = 0, cars[0].s2 = 29;
  cars[1].metres = 690, cars[1].sector = 0, cars[1].s2 = 28.5f;
  Step(&state, 20, cars);
  EXPECT_EQ(Sectors(CarAt(state, 1)), "31.00/1/c/personal_best 28.50/1/c/session_best -");
  // Lap 2, first sector: the answer carries lap 1's sectors, and the third
  // is the lap less the other two: Ann 88 - 59 = 29, Bea 89 - 59.5 = 29.5.
  cars[0].laps = 1, cars[0].metres = 50, cars[0].sector = 1, cars[0].last = cars[0].best = 88;
  cars[1].laps = 1, cars[1].metres = 40, cars[1].sector = 1, cars[1].last = cars[1].best = 89;
  cars[1].behind = 1;
  Step(&state, 30, cars, 88.0f);
  EXPECT_EQ(Sectors(CarAt(state, 0)),
            "30.00/1/p/session_best 29.00/1/p/personal_best 29.00/1/p/session_best");
  EXPECT_EQ(Sectors(CarAt(state, 1)),
            "31.00/1/p/personal_best 28.50/1/p/session_best 29.50/1/p/personal_best");
  EXPECT_EQ(CarAt(state, 0).last_lap_mark, TimeMark::kSessionBest);
  EXPECT_EQ(CarAt(state, 1).last_lap_mark, TimeMark::kPersonalBest);
  // Lap 2, second sector: Ann's 30.5 s is slower than her own 30; Bea's
  // 29.9 s beats Ann's. The other sectors are still lap 1's.
  for (Spot& car : cars) car.metres += 350, car.sector = 2, car.s2 = -1;
  cars[0].s1 = 30.5f, cars[1].s1 = 29.9f;
  Step(&state, 40, cars, 88.0f);
  EXPECT_EQ(Sectors(CarAt(state, 0)),
            "30.50/2/c/slower 29.00/1/p/personal_best 29.00/1/p/session_best");
  EXPECT_EQ(Sectors(CarAt(state, 1)),
            "29.90/2/c/session_best 28.50/1/p/session_best 29.50/1/p/personal_best");
  const auto& bests = state.session().best_sectors;
  ASSERT_TRUE(bests[0] && bests[1] && bests[2]);
  EXPECT_EQ(bests[0]->index, 1);
  EXPECT_FLOAT_EQ(bests[0]->seconds, 29.9f);
  EXPECT_EQ(bests[1]->index, 1);
  EXPECT_EQ(bests[2]->index, 0);
  EXPECT_EQ(CarAt(state, 0).best_sectors_s,
            (std::array<std::optional<float>, 3>{30.0f, 29.0f, 29.0f}));
  // A new session forgets them.
  state.ApplyLive(LiveAnswer{kChangeSession, true, 1, -1, 0, {}}, 50);
  EXPECT_FALSE(state.session().best_sectors[0]);
}

TEST(TimingStateTest, PaceTrendPitLaneAndStintOverARace) {
  TimingState state;
  state.ApplySession(Session(3, 0, 10));
  // Ann leads; Bea follows, crossing the line with these intervals and lap
  // times. Her opening lap (95 s) is left out of her pace.
  const float intervals[] = {2.0f, 1.7f, 1.4f, 1.2f};
  const float times[] = {95, 90, 89, 88};
  Step(&state, 0, {{.index = 0, .place = 1}, {.index = 1, .place = 2, .metres = -10}});
  for (std::int16_t lap = 1; lap <= 4; ++lap) {
    const float t = 90.0f * lap;
    Step(&state, t,
         {{.index = 0, .place = 1, .laps = lap, .metres = 100, .last = 88},
          {.index = 1,
           .place = 2,
           .laps = lap,
           .metres = 50,
           .behind = intervals[lap - 1],
           .last = times[lap - 1]}});
  }
  const CarTiming& bea = CarAt(state, 1);
  ASSERT_TRUE(bea.pace_s);
  EXPECT_FLOAT_EQ(*bea.pace_s, 89.0f);
  EXPECT_EQ(bea.pace_laps, 3);
  ASSERT_TRUE(bea.interval_trend);
  // From 2.0 s to 1.2 s over three laps.
  EXPECT_EQ(bea.interval_trend->direction, IntervalTrend::Direction::kClosing);
  EXPECT_NEAR(bea.interval_trend->change_s_per_lap, -0.8f / 3, 1e-5);
  EXPECT_EQ(bea.interval_trend->laps, 3);
  EXPECT_EQ(bea.stint_laps, 4);
  EXPECT_FALSE(bea.pit_lane_s);
  EXPECT_FALSE(CarAt(state, 0).interval_trend);  // the leader has no interval

  // Bea goes into the pit lane on lap 5 and is there 12.5 s; her stint was
  // 4 laps.
  Step(&state, 400,
       {{.index = 0, .place = 1, .laps = 4, .metres = 900},
        {.index = 1, .place = 2, .laps = 4, .metres = 800, .behind = 1.5f, .pits = true}});
  Step(&state, 412.5f,
       {{.index = 0, .place = 1, .laps = 4, .metres = 990},
        {.index = 1, .place = 2, .laps = 4, .metres = 850, .behind = 14, .pits = true}});
  EXPECT_FLOAT_EQ(*CarAt(state, 1).pit_lane_s, 12.5f);
  EXPECT_EQ(CarAt(state, 1).stint_laps, 4);
  EXPECT_EQ(CarAt(state, 1).pit_stops, 1);
  // Out again; the lap she stopped in (120 s) is not pace, the next is.
  Step(&state, 420,
       {{.index = 0, .place = 1, .laps = 5, .metres = 100, .last = 88},
        {.index = 1, .place = 2, .laps = 4, .metres = 900, .behind = 20}});
  EXPECT_FALSE(CarAt(state, 1).pit_lane_s);
  EXPECT_EQ(CarAt(state, 1).stint_laps, 0);
  Step(&state, 430,
       {{.index = 0, .place = 1, .laps = 5, .metres = 200, .last = 88},
        {.index = 1, .place = 2, .laps = 5, .metres = 10, .behind = 22, .last = 120}});
  EXPECT_EQ(CarAt(state, 1).pace_laps, 3);
  // The interval grew from 1.7 s at lap 2 to 22 s at lap 5.
  ASSERT_TRUE(CarAt(state, 1).interval_trend);
  EXPECT_EQ(CarAt(state, 1).interval_trend->direction, IntervalTrend::Direction::kGrowing);
  EXPECT_NEAR(CarAt(state, 1).interval_trend->change_s_per_lap, (22.0f - 1.7f) / 3, 1e-4);
  Step(&state, 520,
       {{.index = 0, .place = 1, .laps = 6, .metres = 200, .last = 88},
        {.index = 1, .place = 2, .laps = 6, .metres = 10, .behind = 22, .last = 87}});
  EXPECT_FLOAT_EQ(*CarAt(state, 1).pace_s, (90.0f + 89 + 88 + 87) / 4);
  EXPECT_EQ(CarAt(state, 1).stint_laps, 2);

  // Places swapped: the car ahead is another, so no trend until two
  // crossings behind it.
  Step(&state, 610,
       {{.index = 1, .place = 1, .laps = 7, .metres = 300, .last = 80},
        {.index = 0, .place = 2, .laps = 7, .metres = 200, .behind = 1, .last = 95}});
  EXPECT_FALSE(CarAt(state, 0).interval_trend);
  EXPECT_FALSE(CarAt(state, 1).interval_trend);
}
