// A race of two classes (tests/data/races/two_class.rec: four GT3 cars and
// three GT4 cars, the GT3 winner lapping GT4's slowest) replayed through the
// plug-in's own answers into a timing state that has the race's league
// (two_class.league.csv). Checked against what was worked out from the
// recording itself (two_class.expected.json, tests/data/races/README.md
// says how): the places, gaps and intervals within each class at chosen
// moments and at the end, each class's leader and fastest lap.
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

#include "timing_state.h"
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

}  // namespace
