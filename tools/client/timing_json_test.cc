#include "timing_json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "json_parts.h"

namespace {

// Two cars of a race and the answers around them, worked by hand; the
// client joined at lap 3, so pit stops and places gained are not known.
TimingState TwoCarRace() {
  TimingState state;
  state.ApplySession(SessionAnswer{0, "Test Ring", 3, 0.0f, 10, 1000.0f});
  state.ApplyDrivers(DriversAnswer{0, {{0, "Ann"}, {1, "Jos\xe9 \"JJ\""}}});
  CarState leader{.sector = 2, .lap_distance = 100, .place = 1, .laps = 2, .x = 1.5f, .z = -2};
  leader.heading = 0.1f;
  leader.best_lap = leader.last_lap = 86.0f;
  leader.sector1 = 30.1f;
  leader.sector2 = -1.0f;
  CarState second = leader;
  second.index = 1;
  second.place = 2;
  second.lap_distance = 20.0f;
  second.time_behind_leader = 3.456f;
  second.best_lap = second.last_lap = 85.25f;
  second.in_pits = true;
  state.ApplyLive(LiveAnswer{0, true, 250.5f, 85.25f, 1, {leader, second}}, 7.0);
  return state;
}

TEST(TimingJsonTest, TimingStateFieldByField) {
  EXPECT_EQ(
      TimingStateJson(TwoCarRace(), 1765000000.25),
      R"({"format":"pitwall-timing","version":1,"received_unix_s":1765000000.25,"updates":1,)"
      R"("session":{"track":"Test Ring","kind":"race","code":3,"lap_length_m":1000,"time_s":250.5,)"
      R"("end_time_s":null,"time_left_s":null,"max_laps":10,"laps_left":8,"lap":3,"finished":false,)"
      R"("flag":"green","best_sectors":[{"time_s":30.1,"index":0,"driver":"Ann"},null,null],)"
      R"("fastest_lap":{"time_s":85.25,"index":1,"driver":"José \"JJ\""},"classes":[],)"
      R"("headline":{"lap":"lap 3/10","clock":"time 4:10","outcome":null,)"
      R"("fastest":{"time":"1:25.250","driver":"José \"JJ\""}}},"cars":[)"
      R"({"index":0,"driver":"Ann","place":1,"laps":2,"lap_distance_m":100,"sector":2,)"
      R"("last_lap_s":86,"best_lap_s":86,"holds_fastest_lap":false,"sector1_s":30.1,)"
      R"("sector2_s":null,"gap_to_leader":null,"interval":null,"in_pits":false,"pit_stops":null,)"
      R"("places_gained":null,"finished":false,"x_m":1.5,"z_m":-2,"heading_rad":0.1,)"
      R"("number":null,"short_name":null,"team":null,"nation":null,"class":null,"class_colour":null,)"
      R"("colour":"#bb1b1b",)"
      R"("class_place":null,"class_gap":null,"class_interval":null,"holds_class_fastest_lap":false,)"
      // Both set the same first sector: both hold the session's best.
      R"("sectors":[{"time_s":30.1,"lap":3,"current":true,"mark":"session_best"},null,null],)"
      R"("best_sectors_s":[30.1,null,null],"last_lap_mark":"personal_best","pace_s":null,)"
      R"("pace_laps":0,"interval_trend":null,"pit_lane_s":null,"stint_laps":null,)"
      // 80 m at the pace of José's 85.25 s lap of 1000 m.
      R"("relative":{"ahead":[],"behind":[{"index":1,"gap_s":6.82,"laps":0}]}},)"
      R"({"index":1,"driver":"José \"JJ\"","place":2,"laps":2,"lap_distance_m":20,"sector":2,)"
      R"("last_lap_s":85.25,"best_lap_s":85.25,"holds_fastest_lap":true,"sector1_s":30.1,)"
      R"("sector2_s":null,"gap_to_leader":{"laps":0,"seconds":3.456,"text":"+3.456"},)"
      R"("interval":{"laps":0,"seconds":3.456,"text":"+3.456"},"in_pits":true,"pit_stops":null,)"
      R"("places_gained":null,"finished":false,"x_m":1.5,"z_m":-2,"heading_rad":0.1,)"
      R"("number":null,"short_name":null,"team":null,"nation":null,"class":null,"class_colour":null,)"
      R"("colour":"#36e268",)"
      R"("class_place":null,"class_gap":null,"class_interval":null,"holds_class_fastest_lap":false,)"
      R"("sectors":[{"time_s":30.1,"lap":3,"current":true,"mark":"session_best"},null,null],)"
      R"("best_sectors_s":[30.1,null,null],"last_lap_mark":"session_best","pace_s":null,)"
      R"("pace_laps":0,"interval_trend":null,"pit_lane_s":null,"stint_laps":null,)"
      R"("relative":{"ahead":[{"index":0,"gap_s":6.82,"laps":0}],"behind":[]}}]})");
}

// Counts from a session seen from its start; names as the network gave
// them: valid JSON, bytes outside UTF-8 read as Latin-1, nothing thrown.
TEST(TimingJsonTest, CountsFromTheStartAndHostileNames) {
  TimingState state;
  state.ApplyDrivers(
      DriversAnswer{0, {{0, "A\x1b\xe2\x80\xae\xff\"\\"}, {1, "\xef\xbf\xbe\xe2\x80"}}});
  state.ApplyLive(LiveAnswer{0, true, 1, -1, 0, {{.place = 1}, {.index = 1, .place = 2}}}, 0);
  state.ApplyLive(
      LiveAnswer{0,
                 true,
                 2,
                 -1,
                 0,
                 {{.place = 2, .laps = 1}, {.index = 1, .in_pits = true, .place = 1, .laps = 1}}},
      0);
  const std::string json = TimingStateJson(state, 0);
  EXPECT_FALSE(nlohmann::json::parse(json, nullptr, false).is_discarded()) << json;
  EXPECT_NE(json.find(std::string(R"({"index":1,"driver":")") + "\xef\xbf\xbe\xc3\xa2\xc2\x80" +
                      R"(","place":1,)"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find(std::string(R"({"index":0,"driver":"A\u001b)") + "\xe2\x80\xae\xc3\xbf" +
                      R"(\"\\","place":2,)"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find(R"("in_pits":true,"pit_stops":1,"places_gained":1,)"), std::string::npos);
  EXPECT_NE(json.find(R"("in_pits":false,"pit_stops":0,"places_gained":-1,)"), std::string::npos);
}

TEST(TimingJsonTest, NothingKnownYetIsNullAndEmpty) {
  EXPECT_EQ(TimingStateJson(TimingState{}, 0.0),
            R"({"format":"pitwall-timing","version":1,"received_unix_s":0.0,"updates":0,)"
            R"("session":null,"cars":[]})");
}

TEST(TimingJsonTest, LappedGapsHaveNoSeconds) {
  const std::vector<CarState> cars = {
      {.lap_distance = 500, .place = 1, .laps = 5},
      {.index = 1, .lap_distance = 600, .place = 2, .time_behind_leader = 170.0f, .laps = 3}};
  TimingState state;
  state.ApplyLive(LiveAnswer{0, false, 0, -1, 0, cars}, 0.0);
  const std::string json = TimingStateJson(state, 0.0);
  EXPECT_NE(json.find(R"("gap_to_leader":{"laps":1,"seconds":null,"text":"+1 L"})"),
            std::string::npos)
      << json;
}

TEST(TimingJsonTest, RawAnswersKeepShortestFloatsAndValidText) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(AnswerJson(SessionAnswer{31, "The \"Ring\"\n\x01", 3, 0.1f, 12, nan}),
            R"({"type":"session","change_mask":31,"track_name":"The \"Ring\"\n\u0001",)"
            R"("session":3,"end_time":0.1,"max_laps":12,"lap_distance":null})");
  EXPECT_EQ(AnswerJson(DriversAnswer{2, {{0, "Ann"}, {4, "Jos\xe9"}, {5, "\xc3\xa9\xc3"}}}),
            R"({"type":"drivers","change_mask":2,"drivers":[{"index":0,"name":"Ann"},)"
            R"({"index":4,"name":"José"},{"index":5,"name":"éÃ"}]})");
}

TEST(TimingJsonTest, TrackOutlineLeavesOutPointsThatCannotBeDrawn) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  TrackOutline outline;
  outline.strips.push_back(OutlineStrip{1, {{0.1f, -2.0f}, {nan, 1.0f}, {3.5f, 4.0f}}});
  outline.strips.push_back(OutlineStrip{0, {}});
  // The band: out along the even points, back along the odd ones.
  outline.strips.push_back(OutlineStrip{0, {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}}});
  EXPECT_EQ(
      TrackOutlineJson(outline),
      R"({"strips":[{"kind":1,"points":[[0.1,-2],[3.5,4]],"band":[[0.1,-2],[3.5,4]]},)"
      R"({"kind":0,"points":[],"band":[]},{"kind":0,"points":[[0,0],[0,1],[1,0],[1,1],[2,0]],)"
      R"("band":[[0,0],[1,0],[2,0],[1,1],[0,1]]}]})");
}

}  // namespace

TEST(TimingJsonTest, LeagueFieldsAndClasses) {
  std::string error;
  std::optional<League> league = League::Parse(
      "kind,name,number,short,team,class,nation,colour\n"
      "class,GT4,,,,,,#2e86de\n"
      "driver,Ann,7,ANN,\"A \"\"Team\"\"\",GT4,IE,\n"
      "driver,Bea,,,,GT4,,\n",
      "league.csv", &error);
  ASSERT_TRUE(league) << error;
  TimingState state;
  state.ApplySession(SessionAnswer{0, "Test Ring", 3, 0, 10, 1000});
  state.ApplyDrivers(DriversAnswer{0, {{0, "Ann"}, {1, "Bea"}, {2, "Cy"}}});
  state.SetLeague(std::make_shared<const League>(std::move(*league)));
  std::vector<CarState> cars = {{.index = 0, .lap_distance = 10, .place = 1, .laps = 2},
                                {.index = 2, .lap_distance = 8, .place = 2, .laps = 2},
                                {.index = 1, .lap_distance = 5, .place = 3, .laps = 2}};
  cars[0].best_lap = 80.5f;
  cars[2].time_behind_leader = 2.5f;
  state.ApplyLive(LiveAnswer{0, true, 100, 80.5f, 0, cars}, 0.0);
  const std::string json = TimingStateJson(state, 0.0);
  EXPECT_NE(
      json.find(R"("fastest_lap":{"time_s":80.5,"index":0,"driver":"Ann"},)"
                R"("classes":[{"name":"GT4","colour":"#2e86de","order":1,"cars":2,"leader":0,)"
                R"("fastest_lap":{"time_s":80.5,"index":0,"driver":"Ann"}}],)"
                R"("headline":{"lap":"lap 3/10","clock":"time 1:40","outcome":null,)"
                R"("fastest":{"time":"1:20.500","driver":"Ann"}}},)"),
      std::string::npos)
      << json;
  EXPECT_NE(
      json.find(
          R"("heading_rad":0,"number":7,"short_name":"ANN","team":"A \"Team\"",)"
          R"("nation":"IE","class":"GT4","class_colour":"#2e86de","colour":"#2e86de",)"
          R"("class_place":1,)"
          R"("class_gap":null,"class_interval":null,"holds_class_fastest_lap":true,"sectors":)"),
      std::string::npos)
      << json;
  EXPECT_NE(json.find(R"("heading_rad":0,"number":null,"short_name":"BEA","team":null,)"
                      R"("nation":null,"class":"GT4","class_colour":"#2e86de","colour":"#2e86de",)"
                      R"("class_place":2,)"
                      R"("class_gap":{"laps":0,"seconds":2.5,"text":"+2.500"},)"
                      R"("class_interval":{"laps":0,"seconds":2.5,"text":"+2.500"},)"
                      R"("holds_class_fastest_lap":false,"sectors":)"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find(R"({"index":2,"driver":"Cy",)"), std::string::npos);
  // In no class: its own colour.
  EXPECT_NE(json.find(R"("class":null,"class_colour":null,"colour":"#791bbb",)"),
            std::string::npos);
}

// The cars are written straight, not through the JSON library: each
// number must read back as the same value the library writes (which now
// and then writes seventeen digits where nine say it), and as the float.
TEST(TimingJsonTest, FloatsReadAsTheJsonLibraryWritesThem) {
  std::uint32_t bits = 12345;
  for (int i = 0; i < 200000; ++i) {
    bits = bits * 1664525u + 1013904223u;
    float value;
    std::memcpy(&value, &bits, sizeof(value));
    const std::string ours = json_parts::FloatText(value);
    const nlohmann::json read = nlohmann::json::parse(ours);
    ASSERT_EQ(read, nlohmann::json::parse(json_parts::Dump(json_parts::Float(value)))) << ours;
    if (std::isfinite(value)) {
      ASSERT_EQ(read.get<float>(), value) << ours;
    } else {
      ASSERT_EQ(ours, "null");
    }
  }
  const std::pair<float, const char*> kTexts[] = {
      {0.0f, "0"},     {-0.0f, "0"},  {1e-5f, "1e-05"},          {86.0f, "86"},
      {30.1f, "30.1"}, {0.1f, "0.1"}, {16777216.0f, "16777216"}, {3.456f, "3.456"}};
  for (const auto& [value, text] : kTexts) EXPECT_EQ(json_parts::FloatText(value), text);
}
