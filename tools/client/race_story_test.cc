#include "race_story.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/league_of.h"
#include "tests/live_cars.h"

namespace {

// Moves every car but the first a metre on, so that none looks stopped.
void Creep(std::vector<Spot>* cars) {
  for (std::size_t i = 1; i < cars->size(); ++i) (*cars)[i].metres += 1;
}

// Four cars nose to tail on the grid, then moving.
std::vector<Spot> Grid(float metres = -10) {
  return {{.index = 0, .place = 1, .metres = metres},
          {.index = 1, .place = 2, .metres = metres - 8},
          {.index = 2, .place = 3, .metres = metres - 16},
          {.index = 3, .place = 4, .metres = metres - 24}};
}

// Drives a timing state and a story with hand-made answers, as the feed
// does: session and drivers first, then one live answer an update.
class StoryFeed {
 public:
  explicit StoryFeed(std::int32_t session = 3, std::int32_t laps = 5,
                     std::vector<std::string> drivers = {"Ada", "Bea", "Cy", "Dot"}) {
    state_.ApplySession(SessionAnswer{kChangeAll, "Test Ring", session, 0, laps, 1000.0f});
    DriversAnswer names{0, {}};
    for (std::size_t i = 0; i < drivers.size(); ++i) {
      names.drivers.push_back({static_cast<std::uint8_t>(i), drivers[i]});
    }
    state_.ApplyDrivers(names);
  }

  StoryUpdate Step(float at_s, const std::vector<Spot>& spots, std::uint8_t mask = 0) {
    state_.ApplyLive(LiveOf(at_s, spots, -1, mask), at_s);
    StoryUpdate update = story_.Update(state_);
    for (const RaceEvent& e : update.events) events_.push_back(e);
    for (const LapRecord& l : update.laps) laps_.push_back(l);
    return update;
  }
  // The grid, then the start at `at_s` with the cars `metres` on: those cars.
  std::vector<Spot> Start(float at_s = 1, float metres = 50) {
    Step(0, Grid());
    Step(at_s, Grid(metres));
    return Grid(metres);
  }

  // "kind driver>other Pn Ln" for each event so far, the parts that apply.
  std::vector<std::string> Events() const {
    std::vector<std::string> out;
    for (const RaceEvent& e : events_) {
      std::string line = EventKindName(e.kind);
      if (e.car) line += " " + e.driver;
      if (e.other_car) line += ">" + e.other_driver;
      if (e.place) line += " P" + std::to_string(e.place);
      line += " L" + std::to_string(e.lap);
      out.push_back(line);
    }
    return out;
  }

  TimingState state_;
  RaceStory story_;
  std::vector<RaceEvent> events_;
  std::vector<LapRecord> laps_;
};

CarStanding Standing(std::uint8_t car, const std::string& driver, int place, int start_place,
                     int laps, std::uint8_t finish = kFinishRunning) {
  CarStanding standing;
  standing.car = car;
  standing.driver = driver;
  standing.place = place;
  standing.start_place = start_place;
  standing.laps = laps;
  standing.finish_status = finish;
  return standing;
}

TEST(RaceStoryTest, GridPlacesSettleWithoutOvertakesUntilTheStart) {
  StoryFeed feed;
  StoryUpdate first = feed.Step(0, Grid());
  EXPECT_TRUE(first.new_session);
  // The host reorders the grid before anyone moves: no pass, no lead change.
  std::vector<Spot> grid = Grid();
  std::swap(grid[0].place, grid[1].place);
  feed.Step(1, grid);
  EXPECT_TRUE(feed.Events().empty());
  // Everyone moves: the start, and the grid order as it stood.
  std::vector<Spot> moving = grid;
  for (Spot& s : moving) s.metres += 5;
  feed.Step(2, moving);
  EXPECT_EQ(feed.Events(), std::vector<std::string>{"start L1"});
  const auto standings = feed.story_.standings();
  EXPECT_EQ(standings[0].start_place, 2);
  EXPECT_EQ(standings[1].start_place, 1);
  EXPECT_EQ(feed.story_.session().started_s, 2.0);
}

TEST(RaceStoryTest, OvertakesAndLeadChangesOnTrackOnly) {
  StoryFeed feed;
  std::vector<Spot> cars = feed.Start(10, 100);
  // Bea passes Ada for the lead; Dot passes Cy for P3.
  cars = {{.index = 0, .place = 2, .metres = 300},
          {.index = 1, .place = 1, .metres = 302},
          {.index = 2, .place = 4, .metres = 280},
          {.index = 3, .place = 3, .metres = 281}};
  feed.Step(20, cars);
  // Ada pits and drops to P4: no overtake for the cars that go by.
  cars = {{.index = 0, .place = 4, .metres = 500, .pits = true},
          {.index = 1, .place = 1, .metres = 520},
          {.index = 2, .place = 3, .metres = 505},
          {.index = 3, .place = 2, .metres = 510}};
  feed.Step(30, cars);
  EXPECT_EQ(feed.Events(),
            (std::vector<std::string>{"start L1", "overtake Bea>Ada P1 L1", "overtake Dot>Cy P3 L1",
                                      "lead_change Bea>Ada P1 L1", "pit_in Ada L1"}));
}

TEST(RaceStoryTest, PassingAStoppedOrRetiredCarIsNoOvertake) {
  StoryFeed feed;
  feed.Start(10, 100);
  // Ada stops on track at 100 m; the others go by over two updates.
  std::vector<Spot> cars = {{.index = 0, .place = 1, .metres = 100},
                            {.index = 1, .place = 2, .metres = 95},
                            {.index = 2, .place = 3, .metres = 90},
                            {.index = 3, .place = 4, .metres = 85}};
  feed.Step(12, cars);
  cars = {{.index = 0, .place = 4, .metres = 100},
          {.index = 1, .place = 1, .metres = 140},
          {.index = 2, .place = 2, .metres = 130},
          {.index = 3, .place = 3, .metres = 120}};
  feed.Step(14, cars);
  // Still for five seconds of session time: stopped; later the host retires it.
  cars[1].metres = 300, cars[2].metres = 290, cars[3].metres = 280;
  feed.Step(20, cars);
  cars[0].finish = kFinishRetired;
  cars[1].metres = 400, cars[2].metres = 390, cars[3].metres = 380;
  feed.Step(22, cars);
  EXPECT_EQ(feed.Events(), (std::vector<std::string>{"start L1", "lead_change Bea>Ada P1 L1",
                                                     "stopped Ada L1", "retired Ada L1"}));
}

TEST(RaceStoryTest, LapRecordAtTheLineWithSectorsPlaceGapAndBests) {
  StoryFeed feed;
  feed.Start(1, 20);
  // In sector 3 the running lap shows both of its sectors.
  std::vector<Spot> cars = Grid(900);
  cars[0].sector = 0, cars[0].s1 = 30.5f, cars[0].s2 = 31.25f;
  feed.Step(90, cars);
  // Ada and Bea cross in the same update; Ada's answer shows pair A.
  cars = {{.index = 0,
           .place = 1,
           .laps = 1,
           .metres = 15,
           .s1 = 30.5f,
           .s2 = 31.25f,
           .last = 92.0f,
           .best = 92.0f},
          {.index = 1,
           .place = 2,
           .laps = 1,
           .metres = 5,
           .behind = 0.75f,
           .last = 92.5f,
           .best = 92.5f},
          {.index = 2, .place = 3, .metres = 990, .behind = 1.5f},
          {.index = 3, .place = 4, .metres = 980, .behind = 2.5f}};
  const StoryUpdate crossing = feed.Step(92, cars);
  ASSERT_EQ(crossing.laps.size(), 2u);
  const LapRecord& ada = crossing.laps[0];
  EXPECT_EQ(ada.lap, 1);
  EXPECT_EQ(ada.lap_s, 92.0f);
  EXPECT_EQ(ada.sector1_s, 30.5f);
  EXPECT_EQ(ada.sector2_s, 31.25f);
  EXPECT_EQ(ada.sector3_s, 30.25f);
  EXPECT_EQ(ada.place, 1);
  EXPECT_FALSE(ada.gap_to_leader);
  EXPECT_TRUE(ada.complete && ada.personal_best && ada.session_best);
  EXPECT_EQ(ada.stint_lap, 1);
  const LapRecord& bea = crossing.laps[1];
  EXPECT_EQ(bea.place, 2);
  ASSERT_TRUE(bea.gap_to_leader);
  EXPECT_EQ(GapText(*bea.gap_to_leader), "+0.750");
  EXPECT_TRUE(bea.personal_best);
  EXPECT_FALSE(bea.session_best);
  EXPECT_FALSE(bea.sector1_s);  // never shown for its lap

  // Lap 2: Bea goes faster than anyone; Ada slower than her best.
  cars[0].laps = 2, cars[0].last = 93.0f;
  cars[1].laps = 2, cars[1].last = 91.5f;
  Creep(&cars);
  feed.Step(185, cars);
  // Lap 3: Ada improves on her own best, not the session's.
  cars[0].laps = 3, cars[0].last = 91.75f;
  cars[1].laps = 3, cars[1].last = 92.0f;
  Creep(&cars);
  feed.Step(277, cars);
  EXPECT_EQ(feed.Events(),
            (std::vector<std::string>{"start L1", "fastest_lap Ada L1", "fastest_lap Bea L2",
                                      "personal_best Ada L3"}));
  EXPECT_EQ(feed.events_[2].text, "Bea sets the fastest lap, 1:31.500 on lap 2.");
}

TEST(RaceStoryTest, PitStopInLapOutLapAndLaneTime) {
  StoryFeed feed;
  std::vector<Spot> cars = feed.Start();
  // Ada crosses the line for lap 1 as she turns into the lane (the box is
  // past the line): lap 1 is her in-lap, the stop is on lap 1.
  cars[0].laps = 1, cars[0].metres = 10, cars[0].last = 90.0f, cars[0].pits = true;
  Creep(&cars);
  const StoryUpdate in = feed.Step(90, cars);
  ASSERT_EQ(in.pit_stops.size(), 1u);
  EXPECT_EQ(in.pit_stops[0].lap, 1);
  EXPECT_EQ(in.pit_stops[0].number, 1);
  EXPECT_FALSE(in.pit_stops[0].exit_s);
  ASSERT_EQ(in.laps.size(), 1u);
  EXPECT_TRUE(in.laps[0].in_lap);
  EXPECT_FALSE(in.laps[0].out_lap);
  // Out after 24.5 s of session time.
  cars[0].metres = 200, cars[0].pits = false;
  Creep(&cars);
  const StoryUpdate out = feed.Step(114.5f, cars);
  ASSERT_EQ(out.pit_stops.size(), 1u);
  EXPECT_EQ(out.pit_stops[0].lane_s, 24.5);
  EXPECT_EQ(out.pit_stops[0].stint_laps, 1);
  ASSERT_EQ(out.events.size(), 1u);
  EXPECT_EQ(out.events[0].text, "Ada leaves the pits after 24.5 s in the lane.");
  // Lap 2 began in the lane: the out-lap, the first of a new stint.
  cars[0].laps = 2, cars[0].metres = 5, cars[0].last = 120.0f;
  Creep(&cars);
  const StoryUpdate next = feed.Step(210, cars);
  ASSERT_EQ(next.laps.size(), 1u);
  EXPECT_TRUE(next.laps[0].out_lap);
  EXPECT_FALSE(next.laps[0].in_lap);
  EXPECT_EQ(next.laps[0].stint_lap, 1);
  EXPECT_EQ(feed.story_.standings()[0].pit_stops, 1);
}

TEST(RaceStoryTest, LeavingTheLaneAtTheLineBeginsAFlyingLap) {
  StoryFeed feed;
  std::vector<Spot> cars = feed.Start();
  cars[0].metres = 800, cars[0].pits = true;  // into the lane on lap 1
  feed.Step(70, cars);
  // Out of the lane in the update that shows the crossing.
  cars[0].laps = 1, cars[0].metres = 3, cars[0].last = 110.0f, cars[0].pits = false;
  const StoryUpdate at_line = feed.Step(110, cars);
  ASSERT_EQ(at_line.laps.size(), 1u);
  EXPECT_TRUE(at_line.laps[0].in_lap);
  ASSERT_EQ(at_line.pit_stops.size(), 1u);
  EXPECT_EQ(at_line.pit_stops[0].stint_laps, 1);  // the in-lap ended the first stint
  cars[0].laps = 2, cars[0].last = 91.0f;
  const StoryUpdate flying = feed.Step(201, cars);
  ASSERT_EQ(flying.laps.size(), 1u);
  EXPECT_FALSE(flying.laps[0].out_lap);
  EXPECT_EQ(flying.laps[0].stint_lap, 1);
}

TEST(RaceStoryTest, JoiningMidRaceMarksTheFirstLapIncompleteAndKeepsMissedLapsUntimed) {
  StoryFeed feed;
  // The first answer the story sees: lap 3 under way, laps timed.
  std::vector<Spot> cars = {{.index = 0, .place = 1, .laps = 2, .metres = 400, .best = 90},
                            {.index = 1, .place = 2, .laps = 2, .metres = 300, .best = 91}};
  feed.Step(200, cars);
  cars[0].laps = 3, cars[0].metres = 2, cars[0].last = 90.5f;
  feed.Step(270, cars);
  // Bea's answer jumps two laps (an update lost on the way).
  cars[1].laps = 4, cars[1].metres = 1, cars[1].last = 91.25f;
  feed.Step(450, cars);
  ASSERT_EQ(feed.laps_.size(), 3u);
  EXPECT_EQ(feed.laps_[0].lap, 3);
  EXPECT_FALSE(feed.laps_[0].complete);
  EXPECT_EQ(feed.laps_[0].lap_s, 90.5f);
  EXPECT_EQ(feed.laps_[1].lap, 3);
  EXPECT_FALSE(feed.laps_[1].lap_s);
  EXPECT_EQ(feed.laps_[2].lap, 4);
  EXPECT_EQ(feed.laps_[2].lap_s, 91.25f);
  EXPECT_FALSE(feed.laps_[2].complete);
  // No start is told for a race joined under way, and no start places.
  EXPECT_FALSE(feed.story_.session().start_seen);
  EXPECT_EQ(feed.story_.standings()[0].start_place, 0);
}

TEST(RaceStoryTest, ResumedStoryCarriesOnWithoutTellingAnythingTwice) {
  SessionFacts facts;
  facts.track = "Test Ring";
  facts.code = 3;
  facts.start_seen = true;
  facts.started_s = 2;
  CarStanding ada = Standing(0, "Ada", 1, 2, 2);
  ada.best_lap_s = 90.0f;
  ada.best_lap = 2;
  ada.stint_laps = 2;
  ada.laps_led = 2;
  CarStanding bea = Standing(1, "Bea", 2, 1, 2);
  bea.pit_entry_s = 170;  // in the lane when the recorder stopped
  bea.in_pits = true;
  bea.pit_stops = 1;
  bea.pit_entry_lap = 2;
  StoryFeed feed(3, 5, {"Ada", "Bea"});
  feed.story_.Resume(facts, {ada, bea});
  // Same laps as recorded, Bea out of the lane: her stop ends, no lap is told.
  std::vector<Spot> cars = {{.index = 0, .place = 1, .laps = 2, .metres = 500},
                            {.index = 1, .place = 2, .laps = 2, .metres = 100}};
  const StoryUpdate first = feed.Step(230, cars);
  EXPECT_FALSE(first.new_session);
  EXPECT_TRUE(first.laps.empty());
  ASSERT_EQ(first.pit_stops.size(), 1u);
  EXPECT_EQ(first.pit_stops[0].lane_s, 60.0);
  // Ada's next lap: slower than her recorded best, so no best is told.
  cars[0].laps = 3, cars[0].metres = 1, cars[0].last = 95.0f;
  feed.Step(280, cars);
  ASSERT_EQ(feed.laps_.size(), 1u);
  EXPECT_EQ(feed.laps_[0].lap, 3);
  EXPECT_FALSE(feed.laps_[0].complete);
  EXPECT_FALSE(feed.laps_[0].personal_best);
  EXPECT_EQ(feed.laps_[0].stint_lap, 3);
  EXPECT_EQ(feed.story_.standings()[0].laps_led, 3);
  EXPECT_EQ(feed.Events(), std::vector<std::string>{"pit_out Bea L3"});
}

TEST(RaceStoryTest, FlagRetirementDisqualificationAndTheEnd) {
  StoryFeed feed(3, 1);
  std::vector<Spot> cars = feed.Start();
  cars[3].finish = kFinishDisqualified;
  feed.Step(20, cars);
  cars[0] = {.index = 0, .place = 1, .laps = 1, .metres = 5, .last = 80, .finish = 1};
  feed.Step(80, cars);
  cars[1] = {.index = 1, .place = 2, .laps = 1, .metres = 5, .behind = 2, .last = 82, .finish = 1};
  cars[2].finish = kFinishRetired;
  feed.Step(82, cars);
  EXPECT_FALSE(feed.story_.session().ended);  // a disqualified car is still placed and out
  cars[2].place = 0, cars[3].place = 0;
  feed.Step(83, cars);
  EXPECT_TRUE(feed.story_.session().ended);
  EXPECT_EQ(feed.Events(),
            (std::vector<std::string>{"start L1", "disqualified Dot L1", "fastest_lap Ada L1",
                                      "finished Ada P1 L1", "finished Bea P2 L1", "retired Cy L1",
                                      "session_end L1"}));
}

TEST(RaceStoryTest, ANewSessionStartsTheStoryAgain) {
  StoryFeed feed;
  std::vector<Spot> cars = feed.Start();
  cars[0].laps = 1, cars[0].last = 90;
  feed.Step(90, cars);
  // The same track again, as a new session: the grid, laps from 0.
  const StoryUpdate again = feed.Step(0, Grid(), kChangeSession);
  EXPECT_TRUE(again.new_session);
  EXPECT_TRUE(again.laps.empty());
  EXPECT_TRUE(feed.story_.session().start_seen);
  EXPECT_FALSE(feed.story_.session().started_s);
  EXPECT_EQ(feed.story_.standings()[0].laps, 0);
  EXPECT_FALSE(feed.story_.standings()[0].best_lap_s);
}

constexpr char kTwoClasses[] =
    "kind,name,number,class,nation,colour\n"
    "class,GT3,,,,#e4572e\n"
    "class,GT4,,,,#2e86de\n"
    "driver,Ada,7,GT3,IE,\n"
    "driver,Bea,9,GT4,,\n"
    "driver,Cy,11,GT3,,\n"
    "driver,Dot,4,GT4,,\n";

// "kind driver>other class" for each event about a class's lead.
std::vector<std::string> ClassLeads(const std::vector<RaceEvent>& events) {
  std::vector<std::string> out;
  for (const RaceEvent& e : events) {
    if (e.kind != EventKind::kClassLeadChange) continue;
    out.push_back(e.driver + ">" + e.other_driver + " " + e.car_class + " P" +
                  std::to_string(e.place) + " L" + std::to_string(e.lap) + ": " + e.text);
  }
  return out;
}

TEST(RaceStoryTest, ClassLeadChangesAfterTheStartAndNotFromALeagueReadAgain) {
  StoryFeed feed;
  feed.state_.SetLeague(LeagueOf(kTwoClasses));
  // Ada leads GT3, Bea GT4. Before the start the grid's order changes
  // within each class (Cy and Dot to the front): nothing to tell.
  std::vector<Spot> grid = Grid();
  std::swap(grid[0].place, grid[2].place);
  std::swap(grid[1].place, grid[3].place);
  feed.Step(0, Grid());
  feed.Step(1, grid);
  for (Spot& s : grid) s.metres += 110;
  feed.Step(2, grid);  // the start
  EXPECT_EQ(feed.Events(), std::vector<std::string>{"start L1"});
  // Ada takes the lead from Cy (of GT3 and overall); Bea passes Dot, the
  // leader of GT4.
  std::vector<Spot> cars = {{.index = 0, .place = 1, .metres = 302},
                            {.index = 1, .place = 3, .metres = 280},
                            {.index = 2, .place = 2, .metres = 300},
                            {.index = 3, .place = 4, .metres = 270}};
  const StoryUpdate passes = feed.Step(20, cars);
  EXPECT_EQ(ClassLeads(feed.events_),
            (std::vector<std::string>{"Ada>Cy GT3 P1 L1: Ada leads GT3 on lap 1.",
                                      "Bea>Dot GT4 P1 L1: Bea leads GT4 on lap 1."}));
  EXPECT_EQ(feed.Events(),
            (std::vector<std::string>{"start L1", "overtake Ada>Cy P1 L1", "overtake Ada>Dot P2 L1",
                                      "overtake Bea>Dot P3 L1", "lead_change Ada>Cy P1 L1",
                                      "class_lead_change Ada>Cy P1 L1",
                                      "class_lead_change Bea>Dot P1 L1"}));
  // Every event about a car carries its class.
  for (const RaceEvent& e : passes.events) {
    EXPECT_EQ(e.car_class, e.driver == "Ada" || e.driver == "Cy" ? "GT3" : "GT4") << e.text;
  }

  // The league read again puts Ada in GT4: GT3's leader is now Cy and
  // GT4's Ada, but neither took a lead on track.
  feed.state_.SetLeague(
      LeagueOf("kind,name,number,class,colour\n"
               "class,GT3,,,#e4572e\nclass,GT4,,,#2e86de\n"
               "driver,Ada,17,GT4,\ndriver,Bea,9,GT4,\ndriver,Cy,11,GT3,\ndriver,Dot,4,GT4,\n"));
  Creep(&cars);
  cars[0].metres += 1;
  feed.Step(21, cars);
  EXPECT_EQ(ClassLeads(feed.events_).size(), 2u);
  const std::vector<CarStanding> standings = feed.story_.standings();
  ASSERT_EQ(standings.size(), 4u);
  EXPECT_EQ(standings[0].car_class, "GT4");
  EXPECT_EQ(standings[0].number, 17);
  EXPECT_EQ(standings[0].nation, "");  // the new file gives no nations
  // On track again: Bea takes GT4 (and the lead) from Ada.
  cars = {{.index = 0, .place = 2, .metres = 400},
          {.index = 1, .place = 1, .metres = 402},
          {.index = 2, .place = 3, .metres = 390},
          {.index = 3, .place = 4, .metres = 370}};
  feed.Step(30, cars);
  EXPECT_EQ(ClassLeads(feed.events_).size(), 3u);
  EXPECT_EQ(ClassLeads(feed.events_).back(), "Bea>Ada GT4 P1 L1: Bea leads GT4 on lap 1.");
}

TEST(RaceStoryTest, CarsAndLapsCarryTheLeaguesIdentity) {
  StoryFeed feed;
  feed.state_.SetLeague(LeagueOf(kTwoClasses));
  std::vector<Spot> cars = feed.Start();
  cars[0].laps = 1, cars[0].metres = 5, cars[0].last = 90;
  Creep(&cars);
  const StoryUpdate crossing = feed.Step(90, cars);
  ASSERT_EQ(crossing.laps.size(), 1u);
  EXPECT_EQ(crossing.laps[0].number, 7);
  EXPECT_EQ(crossing.laps[0].car_class, "GT3");
  const std::vector<CarStanding> standings = feed.story_.standings();
  EXPECT_EQ(standings[0].number, 7);
  EXPECT_EQ(standings[0].short_name, "ADA");
  EXPECT_EQ(standings[0].nation, "IE");
  EXPECT_EQ(standings[1].car_class, "GT4");
  // Without a league from here on, the cars carry nothing of it.
  feed.state_.SetLeague(nullptr);
  Creep(&cars);
  feed.Step(91, cars);
  for (const CarStanding& c : feed.story_.standings()) {
    EXPECT_FALSE(c.number);
    EXPECT_EQ(c.car_class + c.short_name + c.team + c.nation, "");
  }
}

// A finished race as the recorder keeps it: each car's lap times, 0 for a
// lap not timed.
std::vector<LapRecord> Laps(const std::vector<std::pair<std::uint8_t, std::vector<float>>>& cars) {
  std::vector<LapRecord> laps;
  for (const auto& [car, times] : cars) {
    for (std::size_t i = 0; i < times.size(); ++i) {
      LapRecord lap;
      lap.car = car;
      lap.lap = static_cast<int>(i) + 1;
      if (times[i] > 0) lap.lap_s = times[i];
      laps.push_back(lap);
    }
  }
  return laps;
}

TEST(ClassifyTest, RaceOrderGapsTotalsAndStatuses) {
  SessionFacts race;
  race.code = 3;
  race.start_seen = true;
  std::vector<CarStanding> cars = {
      Standing(0, "Ada", 2, 1, 3, 1), Standing(1, "Bea", 1, 3, 3, 1),
      // Lapped: took the flag a lap down after crossing just ahead of the winner.
      Standing(2, "Cy", 3, 2, 2, 1), Standing(3, "Dot", 4, 0, 1, kFinishRetired),
      Standing(4, "Eve", 5, 0, 3, kFinishDisqualified),
      Standing(5, "Fay", 6, 0, 2, kFinishRetired)};
  cars[1].finish_at_s = 270;
  cars[0].finish_at_s = 271;
  // Cy's second lap not timed.
  const std::vector<LapRecord> laps =
      Laps({{0, {90, 91, 90.5f}}, {1, {89, 90, 91}}, {2, {100, 0}}});
  const std::vector<ResultRow> rows = Classify(race, cars, laps);
  std::vector<std::string> lines;
  for (const ResultRow& r : rows) {
    lines.push_back(std::to_string(r.position) + " " + r.driver + " " + std::to_string(r.laps) +
                    " " + r.status + " " + (r.gap ? GapText(*r.gap) : "-") + " " +
                    (r.total_s ? std::to_string(*r.total_s) : "-") + " " +
                    (r.places_gained ? std::to_string(*r.places_gained) : "-"));
  }
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "1 Bea 3 finished - 270.000000 2", "2 Ada 3 finished +1.500 271.500000 -1",
                       "3 Cy 2 finished +1 L - -1", "4 Fay 2 retired +1 L - -",
                       "5 Dot 1 retired +2 L - -", "6 Eve 3 disqualified - - -"}));
  EXPECT_EQ(rows[1].best_lap_s, 90.0f);
  EXPECT_EQ(rows[1].best_lap, 1);
}

TEST(ClassifyTest, PracticeByBestLapWithTheGapToTheFastest) {
  SessionFacts practice;
  practice.code = 1;
  std::vector<CarStanding> cars = {Standing(0, "Ada", 2, 0, 0), Standing(1, "Bea", 1, 0, 0),
                                   Standing(2, "Cy", 3, 0, 0)};
  const std::vector<LapRecord> laps = Laps({{0, {95, 90.25f}}, {1, {90}}});
  const std::vector<ResultRow> rows = Classify(practice, cars, laps);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].driver, "Bea");
  EXPECT_EQ(rows[1].driver, "Ada");
  EXPECT_EQ(GapText(*rows[1].gap), "+0.250");
  EXPECT_EQ(rows[1].best_lap, 2);
  EXPECT_EQ(rows[2].driver, "Cy");  // no time: last, no gap
  EXPECT_FALSE(rows[2].gap);
}

CarStanding InClass(CarStanding car, const std::string& car_class) {
  car.car_class = car_class;
  return car;
}

// Laps of 90 s as the recorder keeps them: `crossed` the session time at
// the line ending each, car by car.
std::vector<LapRecord> Crossings(
    const std::vector<std::pair<std::uint8_t, std::vector<double>>>& cars) {
  std::vector<LapRecord> laps;
  for (const auto& [car, crossed] : cars) {
    for (std::size_t i = 0; i < crossed.size(); ++i) {
      LapRecord lap;
      lap.car = car;
      lap.lap = static_cast<int>(i) + 1;
      lap.lap_s = 90.0f;
      lap.at_s = crossed[i];
      laps.push_back(lap);
    }
  }
  return laps;
}

TEST(ClassifyTest, ClassPositionsAndGapsWithinEachClass) {
  SessionFacts race;
  race.code = 3;
  race.start_seen = true;
  // Overall: Ada, Bea, Cy, Dot, Eve (no class), Fay (retired a lap down),
  // Gus (disqualified).
  std::vector<CarStanding> cars = {
      InClass(Standing(0, "Ada", 1, 1, 3, 1), "GT3"),
      InClass(Standing(1, "Bea", 2, 2, 3, 1), "GT4"),
      InClass(Standing(2, "Cy", 3, 3, 3, 1), "GT3"),
      InClass(Standing(3, "Dot", 4, 4, 2, 1), "GT3"),
      Standing(4, "Eve", 5, 5, 2, 1),
      InClass(Standing(5, "Fay", 0, 6, 2, kFinishRetired), "GT4"),
      InClass(Standing(6, "Gus", 7, 7, 3, kFinishDisqualified), "GT4")};
  std::vector<LapRecord> laps = Crossings({{0, {100, 200, 300.25}},
                                           {1, {101, 202, 303}},
                                           {2, {102, 204, 306.5}},
                                           {3, {110, 220}},
                                           {5, {120, 240}},
                                           {6, {99, 198, 297}}});
  std::vector<ResultRow> rows = Classify(race, cars, laps);
  const auto lines = [&rows] {
    std::vector<std::string> out;
    for (const ResultRow& r : rows) {
      out.push_back(std::to_string(r.position) + " " + r.driver + " " +
                    (r.car_class.empty() ? "-" : r.car_class) + " " +
                    (r.class_position ? std::to_string(*r.class_position) : "-") + " " +
                    (r.class_gap ? GapText(*r.class_gap) : "-"));
    }
    return out;
  };
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         "1 Ada GT3 1 -", "2 Bea GT4 1 -", "3 Cy GT3 2 +6.250", "4 Dot GT3 3 +1 L",
                         "5 Eve - - -", "6 Fay GT4 2 +1 L", "7 Gus GT4 3 -"}));
  // With the host's times behind the leader at those crossings, their
  // difference: exact where the updates' times are only as exact as their
  // period. Cy is 5.5 s behind Ada, the race's leader.
  for (LapRecord& l : laps) {
    if (l.car == 0 && l.lap == 3) l.place = 1;
    if (l.car == 2 && l.lap == 3) l.place = 3, l.gap_to_leader = Gap{0, 5.5f};
  }
  ClassifyClasses(&rows, laps, race);
  EXPECT_EQ(lines()[2], "3 Cy GT3 2 +5.500");
  // A lapped class leader's time behind says nothing of the lap: the
  // updates' times again.
  for (LapRecord& l : laps) {
    if (l.car == 0 && l.lap == 3) l.place = 2, l.gap_to_leader = Gap{1, 0.0f};
  }
  ClassifyClasses(&rows, laps, race);
  EXPECT_EQ(lines()[2], "3 Cy GT3 2 +6.250");
  // Without Ada's crossing of lap 3 Cy's gap is not known.
  std::erase_if(laps, [](const LapRecord& l) { return l.car == 0 && l.lap == 3; });
  ClassifyClasses(&rows, laps, race);
  EXPECT_EQ(lines()[2], "3 Cy GT3 2 -");
  // A row moved out of its class takes no place in it; the class's places
  // close up.
  rows[0].car_class.clear();
  ClassifyClasses(&rows, laps, race);
  EXPECT_EQ(lines(), (std::vector<std::string>{"1 Ada - - -", "2 Bea GT4 1 -", "3 Cy GT3 1 -",
                                               "4 Dot GT3 2 +1 L", "5 Eve - - -",
                                               "6 Fay GT4 2 +1 L", "7 Gus GT4 3 -"}));

  // Practice: the best-lap difference to the class's fastest.
  SessionFacts practice;
  practice.code = 1;
  std::vector<CarStanding> runners = {
      InClass(Standing(0, "Ada", 1, 0, 0), "GT4"), InClass(Standing(1, "Bea", 2, 0, 0), "GT3"),
      InClass(Standing(2, "Cy", 3, 0, 0), "GT3"), InClass(Standing(3, "Dot", 4, 0, 0), "GT3")};
  rows = Classify(practice, runners, Laps({{0, {95.5f}}, {1, {96}}, {2, {97.25f, 96.75f}}}));
  EXPECT_EQ(lines(), (std::vector<std::string>{"1 Ada GT4 1 -", "2 Bea GT3 1 -",
                                               "3 Cy GT3 2 +0.750", "4 Dot GT3 3 -"}));
}

}  // namespace
