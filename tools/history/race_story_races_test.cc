// The race story on the test races: each recording replayed through the
// plug-in's own answers (every host update seen), its story compared with
// the classification, laps, pit stops and events worked out from the
// recording itself (tests/data/races/README.md says how).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "race_story.h"
#include "tools/test_host/answer_feed.h"
#include "tools/test_host/recording.h"

namespace {

using nlohmann::json;

struct SessionStory {
  SessionFacts facts;
  std::vector<CarStanding> cars;
  std::vector<LapRecord> laps;
  std::map<std::pair<int, int>, PitStop> stops;  // by car and number, as they last stood
  std::vector<RaceEvent> events;
};

// Replays `name`.rec and collects the story of each of its sessions.
std::vector<SessionStory> Tell(const std::string& name) {
  std::vector<SessionStory> sessions;
  TimingState state;
  RaceStory story;
  const auto keep = [&] {
    if (sessions.empty()) return;
    sessions.back().facts = story.session();
    sessions.back().cars = story.standings();
  };
  AnswerFeed feed([&](const Answer& answer, double at_s) {
    state.Apply(answer, at_s);
    if (!std::holds_alternative<LiveAnswer>(answer)) return;
    StoryUpdate update = story.Update(state);
    if (update.new_session) sessions.emplace_back();
    if (sessions.empty()) return;
    SessionStory& s = sessions.back();
    for (LapRecord& l : update.laps) s.laps.push_back(std::move(l));
    for (PitStop& p : update.pit_stops) s.stops[{p.car, p.number}] = std::move(p);
    for (RaceEvent& e : update.events) s.events.push_back(std::move(e));
    keep();
  });
  const std::string path = std::string(PITWALL_RACES_DIR) + "/" + name + ".rec";
  std::FILE* file = std::fopen(path.c_str(), "rb");
  EXPECT_NE(file, nullptr) << path;
  if (file == nullptr) return sessions;
  ReplayOptions options;
  options.speed = 0;
  std::string error;
  EXPECT_TRUE(Replay(file, &feed, options, &error)) << error;
  std::fclose(file);
  EXPECT_TRUE(feed.ok()) << feed.error();
  return sessions;
}

json Expected(const std::string& name) {
  std::ifstream file(std::string(PITWALL_RACES_DIR) + "/" + name + ".expected.json");
  return json::parse(file);
}

std::string Lap3(double seconds) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.3f", seconds);
  return text;
}

void Compare(const std::string& name) {
  SCOPED_TRACE(name);
  const std::vector<SessionStory> told = Tell(name);
  const json expected = Expected(name)["sessions"];
  ASSERT_EQ(told.size(), expected.size());
  for (std::size_t i = 0; i < told.size(); ++i) {
    SCOPED_TRACE("session " + std::to_string(i + 1));
    const SessionStory& s = told[i];
    const json& want = expected[i];
    EXPECT_EQ(s.facts.kind, want["kind"].get<std::string>());

    // The classification.
    std::vector<std::string> rows, want_rows;
    for (const ResultRow& r : Classify(s.facts, s.cars, s.laps)) {
      rows.push_back(std::to_string(r.position) + " " + r.driver + " laps " +
                     std::to_string(r.laps) + " " + r.status + " stops " +
                     std::to_string(r.pit_stops) + " best L" + std::to_string(r.best_lap));
    }
    for (const json& r : want["results"]) {
      want_rows.push_back(
          std::to_string(r["position"].get<int>()) + " " + r["driver"].get<std::string>() +
          " laps " + std::to_string(r["laps"].get<int>()) + " " + r["status"].get<std::string>() +
          " stops " + std::to_string(r["pit_stops"].get<int>()) + " best L" +
          std::to_string(r["best_lap"].is_null() ? 0 : r["best_lap"].get<int>()));
    }
    EXPECT_EQ(rows, want_rows);

    // Every lap once, with the host's time.
    std::map<std::string, std::vector<std::string>> laps, want_laps;
    for (const LapRecord& l : s.laps) {
      laps[l.driver].push_back(std::to_string(l.lap) + " " + (l.lap_s ? Lap3(*l.lap_s) : "-"));
    }
    for (const auto& [driver, list] : want["laps"].items()) {
      for (const json& l : list) {
        want_laps[driver].push_back(std::to_string(l["lap"].get<int>()) + " " +
                                    (l["lap_s"].is_null() ? "-" : Lap3(l["lap_s"].get<double>())));
      }
    }
    EXPECT_EQ(laps, want_laps);
    // Seen from the grid, every lap whole; joined under way, each car's
    // first lap seen only at its end.
    std::set<int> seen;
    for (const LapRecord& l : s.laps) {
      const bool first = seen.insert(l.car).second;
      EXPECT_EQ(l.complete, s.facts.start_seen || !first) << l.driver << " lap " << l.lap;
    }

    std::set<std::string> stops, want_stops;
    for (const auto& [key, p] : s.stops) {
      stops.insert(p.driver + " stop " + std::to_string(p.number) + " lap " +
                   std::to_string(p.lap));
    }
    for (const json& p : want["pit_stops"]) {
      want_stops.insert(p["driver"].get<std::string>() + " stop " +
                        std::to_string(p["number"].get<int>()) + " lap " +
                        std::to_string(p["lap"].get<int>()));
    }
    EXPECT_EQ(stops, want_stops);

    // The events of the kinds worked out by hand; within an update their
    // order is free, so both lists are compared sorted.
    std::set<std::string> kinds;
    for (const json& e : want["events"]) kinds.insert(e["kind"].get<std::string>());
    for (const char* k : {"overtake", "lead_change", "finished", "retired", "disqualified"}) {
      kinds.insert(k);
    }
    const auto line = [](const std::string& kind, const std::string& driver,
                         const std::string& other, int place, int lap) {
      std::string text = kind + " " + driver;
      if (!other.empty()) text += ">" + other;
      if (place > 0) text += " P" + std::to_string(place);
      if (lap > 0) text += " L" + std::to_string(lap);
      return text;
    };
    std::vector<std::string> events, want_events;
    for (const RaceEvent& e : s.events) {
      const std::string kind = EventKindName(e.kind);
      if (!kinds.count(kind)) continue;
      const bool lapped_kind = kind == "overtake" || kind == "lead_change";
      events.push_back(line(kind, e.driver, kind == "overtake" ? e.other_driver : "",
                            kind == "lead_change" ? 0 : e.place, lapped_kind ? e.lap : 0));
    }
    for (const json& e : want["events"]) {
      const std::string kind = e["kind"].get<std::string>();
      const bool lapped_kind = kind == "overtake" || kind == "lead_change";
      want_events.push_back(line(
          kind, e["driver"].get<std::string>(), e.value("other_driver", std::string()),
          kind == "lead_change" ? 0 : e.value("place", 0), lapped_kind ? e.value("lap", 0) : 0));
    }
    std::sort(events.begin(), events.end());
    std::sort(want_events.begin(), want_events.end());
    EXPECT_EQ(events, want_events);
  }
}

TEST(RaceStoryRacesTest, TheGridTheStartAndCarsCrossingTogether) { Compare("grid_and_start"); }
TEST(RaceStoryRacesTest, ALappedCarCrossingJustAheadOfTheWinner) { Compare("lapped_at_flag"); }
TEST(RaceStoryRacesTest, RetiredDisqualifiedAndStoppedCars) { Compare("retire_dq_stop"); }
TEST(RaceStoryRacesTest, LeavingThePitLaneAtTheLine) { Compare("pit_exit_at_line"); }
TEST(RaceStoryRacesTest, TheSameTrackRestartedIsANewSession) { Compare("restart"); }
TEST(RaceStoryRacesTest, JoiningMidSession) { Compare("mid_session"); }

}  // namespace
TEST(RaceStoryRacesTest, TwoClassesTheFasterLappingTheSlower) { Compare("two_class"); }
