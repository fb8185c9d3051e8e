// A race of two classes (tests/data/races/two_class.rec: four GT3 cars and
// three GT4 cars, the GT3 winner lapping GT4's slowest) replayed through the
// plug-in's own answers into a timing state that has the race's league
// (two_class.league.csv). Checked against what was worked out from the
// recording itself (two_class.expected.json, tests/data/races/README.md
// says how): the places, gaps and intervals within each class at chosen
// moments and at the end, each class's leader and fastest lap; the story's
// classification of each class and its class lead changes; and the race
// history's results of each class, recorded and read back.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "history_views.h"
#include "race_recorder.h"
#include "race_store.h"
#include "race_story.h"
#include "testing/temp_dir.h"
#include "tools/league/league.h"
#include "tools/test_host/answer_feed.h"
#include "tools/test_host/recording.h"

namespace {

using nlohmann::json;

std::string RacesFile(const std::string& name) {
  return std::string(PITWALL_RACES_DIR) + "/" + name;
}

std::shared_ptr<const League> RaceLeague() {
  std::string error;
  std::optional<League> league = League::Load(RacesFile("two_class.league.csv"), &error);
  EXPECT_TRUE(league) << error;
  return league ? std::make_shared<const League>(std::move(*league)) : nullptr;
}

// The race's one session as worked out from the recording.
json Expected() {
  std::ifstream file(RacesFile("two_class.expected.json"));
  const json all = json::parse(file);
  EXPECT_EQ(all["sessions"].size(), 1u);
  return all["sessions"][0];
}

// Replays the recording into `state`, calling `each` after every live
// answer it applied.
void Replay(TimingState* state, const std::function<void()>& each) {
  AnswerFeed feed([&](const Answer& answer, double at_s) {
    state->Apply(answer, at_s);
    if (std::holds_alternative<LiveAnswer>(answer)) each();
  });
  std::FILE* file = std::fopen(RacesFile("two_class.rec").c_str(), "rb");
  ASSERT_NE(file, nullptr);
  ReplayOptions options;
  options.speed = 0;
  std::string error;
  EXPECT_TRUE(Replay(file, &feed, options, &error)) << error;
  std::fclose(file);
  EXPECT_TRUE(feed.ok()) << feed.error();
}

std::string Text(const std::optional<Gap>& gap) { return gap ? GapText(*gap) : "-"; }

// A gap of the expected file: null, {"laps": n} or {"seconds": x}.
std::string Text(const json& gap) {
  if (gap.is_null()) return "-";
  if (gap.contains("laps")) return "+" + std::to_string(gap["laps"].get<int>()) + " L";
  char text[32];
  std::snprintf(text, sizeof(text), "+%.3f", gap["seconds"].get<double>());
  return text;
}

std::string Seconds3(double seconds) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.3f", seconds);
  return text;
}

// One line a car of `car_class` in the state, by class place: "1 Tomas
// Varga P3 laps 3 gap - interval -".
std::vector<std::string> ClassLines(const std::vector<CarTiming>& cars,
                                    const std::string& car_class) {
  std::map<int, std::string> lines;
  for (const CarTiming& car : cars) {
    if (car.car_class != car_class) continue;
    EXPECT_TRUE(car.class_place) << car.driver;
    lines[car.class_place.value_or(0)] = std::to_string(car.class_place.value_or(0)) + " " +
                                         car.driver + " P" + std::to_string(car.place) + " laps " +
                                         std::to_string(car.laps) + " gap " + Text(car.class_gap) +
                                         " interval " + Text(car.class_interval);
  }
  std::vector<std::string> out;
  for (const auto& [place, line] : lines) out.push_back(line);
  return out;
}

std::vector<std::string> ExpectedLines(const json& standing) {
  std::vector<std::string> out;
  for (const json& r : standing) {
    out.push_back(std::to_string(r["class_place"].get<int>()) + " " +
                  r["driver"].get<std::string>() + " P" + std::to_string(r["place"].get<int>()) +
                  " laps " + std::to_string(r["laps"].get<int>()) + " gap " + Text(r["class_gap"]) +
                  " interval " + Text(r["class_interval"]));
  }
  return out;
}

// What the state showed at a moment of the race.
struct Moment {
  float at_s = -1;
  std::vector<CarTiming> cars;
  std::vector<ClassTiming> classes;
};

const CarTiming* ByDriver(const std::vector<CarTiming>& cars, const std::string& driver) {
  for (const CarTiming& car : cars) {
    if (car.driver == driver) return &car;
  }
  return nullptr;
}

TEST(ClassRaceTest, TheTimingStatePlacesEveryCarWithinItsClass) {
  const json expected = Expected();
  const std::shared_ptr<const League> league = RaceLeague();
  ASSERT_NE(league, nullptr);
  TimingState state;
  state.SetLeague(league);
  // The first update at or after each chosen time, and the last update.
  const json& classes = expected["classes"];
  ASSERT_EQ(classes.size(), 2u);
  std::vector<float> times;
  for (const json& moment : classes[0]["standing_at"]) times.push_back(moment["at_s"].get<float>());
  ASSERT_EQ(times.size(), 2u);
  std::vector<Moment> moments(times.size() + 1);
  Replay(&state, [&] {
    const float now = state.session().current_time_s;
    for (std::size_t i = 0; i < times.size(); ++i) {
      if (moments[i].at_s < 0 && now >= times[i] - 0.01f) {
        moments[i] = {now, state.cars(), state.session().classes};
      }
    }
    moments.back() = {now, state.cars(), state.session().classes};
  });

  for (std::size_t i = 0; i < moments.size(); ++i) {
    const Moment& m = moments[i];
    const bool last = i == times.size();
    SCOPED_TRACE(last ? std::string("the last update") : "at " + Seconds3(m.at_s) + " s");
    if (!last) {
      EXPECT_NEAR(m.at_s, times[i], 0.01);
    }
    ASSERT_EQ(m.classes.size(), classes.size());
    for (std::size_t k = 0; k < classes.size(); ++k) {
      const json& want = classes[k];
      const ClassTiming& c = m.classes[k];
      const std::string name = want["name"].get<std::string>();
      SCOPED_TRACE(name);
      EXPECT_EQ(c.name, name);
      EXPECT_EQ(c.colour, want["colour"].get<std::string>());
      EXPECT_EQ(c.order, want["order"].get<int>());
      EXPECT_EQ(c.cars, want["cars"].get<int>());
      const json& standing = last ? want["standing"] : want["standing_at"][i]["cars"];
      EXPECT_EQ(ClassLines(m.cars, name), ExpectedLines(standing));
      // The class's leader is its first car, whatever its place overall.
      const CarTiming* first = ByDriver(m.cars, standing[0]["driver"].get<std::string>());
      ASSERT_NE(first, nullptr);
      EXPECT_EQ(c.leader, first->index);
    }
  }

  // At the end: each class's fastest lap, its holder marked, and every car
  // with what the league says of it.
  const Moment& end = moments.back();
  for (std::size_t k = 0; k < classes.size(); ++k) {
    const json& fastest = classes[k]["fastest_lap"];
    const ClassTiming& c = end.classes[k];
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(c.fastest_lap_s);
    EXPECT_EQ(Seconds3(*c.fastest_lap_s), Seconds3(fastest["lap_s"].get<double>()));
    EXPECT_EQ(c.fastest_lap_car, fastest["car"].get<int>());
    EXPECT_EQ(c.fastest_lap_driver, fastest["driver"].get<std::string>());
  }
  ASSERT_TRUE(end.classes[0].fastest_lap_s && end.classes[1].fastest_lap_s);
  EXPECT_GT(*end.classes[1].fastest_lap_s, *end.classes[0].fastest_lap_s)
      << "GT4's fastest lap is slower than GT3's";
  ASSERT_EQ(end.cars.size(), 7u);
  for (const CarTiming& car : end.cars) {
    SCOPED_TRACE(car.driver);
    const LeagueDriver* driver = league->Find(car.driver);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(car.car_class, driver->class_name);
    EXPECT_EQ(car.class_colour, league->Class(driver->class_name)->colour);
    EXPECT_EQ(car.number, driver->number);
    EXPECT_EQ(car.short_name, driver->short_name);
    EXPECT_EQ(car.team, driver->team);
    EXPECT_EQ(car.nation, driver->nation);
    EXPECT_EQ(car.holds_class_fastest_lap,
              car.index == end.classes[car.car_class == "GT3" ? 0 : 1].fastest_lap_car);
  }
}

// The story of the race told from the state with the league.
struct Told {
  SessionFacts facts;
  std::vector<CarStanding> cars;
  std::vector<LapRecord> laps;
  std::vector<RaceEvent> events;
};

Told Tell() {
  Told told;
  TimingState state;
  state.SetLeague(RaceLeague());
  RaceStory story;
  Replay(&state, [&] {
    StoryUpdate update = story.Update(state);
    for (LapRecord& l : update.laps) told.laps.push_back(std::move(l));
    for (RaceEvent& e : update.events) told.events.push_back(std::move(e));
  });
  told.facts = story.session();
  told.cars = story.standings();
  return told;
}

TEST(ClassRaceTest, TheStoryClassifiesEachClassAndTellsWhoTookItsLead) {
  const json expected = Expected();
  const Told told = Tell();
  const std::vector<ResultRow> rows = Classify(told.facts, told.cars, told.laps);
  for (const json& want : expected["classes"]) {
    const std::string name = want["name"].get<std::string>();
    SCOPED_TRACE(name);
    // The class's rows in the classification's order: "1 Rafael Duarte P5
    // laps 7 finished gap -".
    std::vector<std::string> got, wanted;
    for (const ResultRow& r : rows) {
      if (r.car_class != name) continue;
      got.push_back(std::to_string(r.class_position.value_or(0)) + " " + r.driver + " P" +
                    std::to_string(r.position) + " laps " + std::to_string(r.laps) + " " +
                    r.status + " gap " + Text(r.class_gap));
    }
    for (const json& r : want["results"]) {
      wanted.push_back(std::to_string(r["class_position"].get<int>()) + " " +
                       r["driver"].get<std::string>() + " P" +
                       std::to_string(r["position"].get<int>()) + " laps " +
                       std::to_string(r["laps"].get<int>()) + " " + r["status"].get<std::string>() +
                       " gap " + Text(r["class_gap"]));
    }
    EXPECT_EQ(got, wanted);

    // Its lead changes, with the old leader and the overall leader's lap.
    std::vector<std::string> changes, wanted_changes;
    for (const RaceEvent& e : told.events) {
      if (e.kind != EventKind::kClassLeadChange || e.car_class != name) continue;
      char at[16];
      std::snprintf(at, sizeof(at), "%.1f", e.at_s);
      changes.push_back(std::string(at) + " " + e.driver + " from " + e.other_driver + " L" +
                        std::to_string(e.lap) + " P" + std::to_string(e.place) + ": " + e.text);
    }
    for (const json& e : want["lead_changes"]) {
      char at[16];
      std::snprintf(at, sizeof(at), "%.1f", e["at_s"].get<double>());
      const std::string driver = e["driver"].get<std::string>();
      const std::string lap = std::to_string(e["lap"].get<int>());
      wanted_changes.push_back(std::string(at) + " " + driver + " from " +
                               e["other_driver"].get<std::string>() + " L" + lap +
                               " P1: " + driver + " leads " + name + " on lap " + lap + ".");
    }
    EXPECT_EQ(changes, wanted_changes);
  }
  // Every other event about a car carries the car's class; the start and
  // the end none.
  const std::shared_ptr<const League> league = RaceLeague();
  ASSERT_NE(league, nullptr);
  int with_car = 0;
  for (const RaceEvent& e : told.events) {
    if (e.kind == EventKind::kClassLeadChange) continue;
    SCOPED_TRACE(std::string(EventKindName(e.kind)) + " " + e.driver);
    if (!e.car) {
      EXPECT_EQ(e.car_class, "");
      continue;
    }
    ++with_car;
    const LeagueDriver* driver = league->Find(e.driver);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(e.car_class, driver->class_name);
  }
  EXPECT_GT(with_car, 0);
}

TEST(ClassRaceTest, TheHistoryGivesEachClassItsResultsWinnerAndFastestLap) {
  const json expected = Expected();
  TempDir dir;
  const std::string path = dir.File("pitwall.db");
  std::string error;
  {
    RaceStore store;
    ASSERT_TRUE(store.OpenForRecording(path, &error)) << error;
    RaceRecorder recorder(&store);
    TimingState state;
    state.SetLeague(RaceLeague());
    Replay(&state, [&] { recorder.Update(state, 1765000000.0 + state.session().current_time_s); });
    EXPECT_TRUE(recorder.recording()) << recorder.error();
  }
  RaceStore store;
  ASSERT_TRUE(store.OpenForReading(path, &error)) << error;
  const std::optional<SessionRecord> record = store.Session(0, &error);
  ASSERT_TRUE(record) << error;
  EXPECT_FALSE(record->provisional) << "the race ended and its classification was stored";
  const json results = json::parse(ResultsJson(*record));

  const json& want_classes = expected["classes"];
  ASSERT_EQ(results["classes"].size(), want_classes.size());
  std::map<std::string, int> car_of;  // the cars' indices, from the rows
  for (const json& row : results["rows"]) car_of[row["driver"]] = row["car"].get<int>();
  for (std::size_t k = 0; k < want_classes.size(); ++k) {
    const json& want = want_classes[k];
    const json& got = results["classes"][k];
    const std::string name = want["name"].get<std::string>();
    SCOPED_TRACE(name);
    EXPECT_EQ(got["name"], name);
    EXPECT_EQ(got["colour"], want["colour"]);
    EXPECT_EQ(got["order"], want["order"]);
    EXPECT_EQ(got["cars"], want["cars"]);
    ASSERT_TRUE(got["winner"].is_object());
    EXPECT_EQ(got["winner"]["driver"], want["winner"]);
    EXPECT_EQ(got["winner"]["car"], car_of[want["winner"].get<std::string>()]);
    const json& fastest = want["fastest_lap"];
    ASSERT_TRUE(got["fastest_lap"].is_object());
    EXPECT_EQ(got["fastest_lap"]["driver"], fastest["driver"]);
    EXPECT_EQ(got["fastest_lap"]["car"], fastest["car"]);
    EXPECT_EQ(got["fastest_lap"]["lap"], fastest["lap"]) << "the faster of two laps alike to 1 ms";
    EXPECT_EQ(Seconds3(got["fastest_lap"]["lap_s"].get<double>()),
              Seconds3(fastest["lap_s"].get<double>()));

    // The class's rows as stored: position in class and gap to its winner.
    std::vector<std::string> rows, wanted;
    for (const json& row : results["rows"]) {
      if (row["class"] != name) continue;
      rows.push_back(
          std::to_string(row["class_position"].get<int>()) + " " +
          row["driver"].get<std::string>() + " P" + std::to_string(row["position"].get<int>()) +
          " gap " +
          (row["class_gap"].is_null() ? "-" : row["class_gap"]["text"].get<std::string>()));
    }
    for (const json& r : want["results"]) {
      wanted.push_back(std::to_string(r["class_position"].get<int>()) + " " +
                       r["driver"].get<std::string>() + " P" +
                       std::to_string(r["position"].get<int>()) + " gap " + Text(r["class_gap"]));
    }
    EXPECT_EQ(rows, wanted);
  }
  // The class lead changes are in the history too, each with its class.
  int stored = 0, wanted = 0;
  for (const StoredEvent& e : record->events) {
    if (e.event.kind == EventKind::kClassLeadChange) {
      ++stored;
      EXPECT_TRUE(e.event.car_class == "GT3" || e.event.car_class == "GT4") << e.event.text;
    }
  }
  for (const json& c : want_classes) wanted += static_cast<int>(c["lead_changes"].size());
  EXPECT_EQ(stored, wanted);
}

}  // namespace
