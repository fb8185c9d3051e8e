// The race history's views of a session with classes: exact texts, JSON,
// CSV and HTML for a small made-up race of two classes, and a league given
// to a session recorded without one.
#include "history_views.h"

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

CarStanding Car(std::uint8_t index, const std::string& driver, int place, int start_place, int laps,
                std::uint8_t finish, std::optional<int> number, const std::string& car_class) {
  CarStanding car;
  car.car = index;
  car.driver = driver;
  car.place = place;
  car.start_place = start_place;
  car.laps = laps;
  car.finish_status = finish;
  car.number = number;
  car.car_class = car_class;
  return car;
}

// Laps of one car: its times and when it crossed the line ending each.
void AddLaps(SessionRecord* r, const CarStanding& car, const std::vector<float>& times,
             const std::vector<double>& crossed, const std::vector<float>& behind) {
  for (std::size_t i = 0; i < times.size(); ++i) {
    LapRecord lap;
    lap.car = car.car;
    lap.driver = car.driver;
    lap.lap = static_cast<int>(i) + 1;
    lap.lap_s = times[i];
    lap.at_s = crossed[i];
    lap.place = car.place;
    if (behind[i] > 0) lap.gap_to_leader = Gap{0, behind[i]};
    lap.number = car.number;
    lap.car_class = car.car_class;
    lap.complete = true;
    r->laps.push_back(lap);
  }
}

// Five cars over three laps: Ada and Cy in GT3, Bea and Dot in GT4, Eve in
// no class (retired after a lap).
SessionRecord TwoClassRace() {
  SessionRecord r;
  r.summary = {.id = 3,
               .started_unix_s = 1765000000,
               .track = "Test Ring",
               .kind = "race",
               .code = 3,
               .cars = 5,
               .laps = 3,
               .ended = true,
               .winner = "Ada Brennan"};
  r.facts.track = "Test Ring";
  r.facts.code = 3;
  r.facts.kind = "race";
  r.facts.start_seen = true;
  r.facts.ended = true;
  r.provisional = false;
  r.classes = {{"GT3", "#e4572e", 1}, {"GT4", "#2e86de", 2}};
  r.cars = {Car(0, "Ada Brennan", 1, 2, 3, kFinishFlag, 7, "GT3"),
            Car(1, "Bea Tran", 3, 3, 3, kFinishFlag, 9, "GT4"),
            Car(2, "Cy Moss", 2, 1, 3, kFinishFlag, 11, "GT3"),
            Car(3, "Dot Ito", 4, 4, 3, kFinishFlag, 4, "GT4"),
            Car(4, "Eve", 5, 5, 1, kFinishRetired, std::nullopt, "")};
  r.cars[0].laps_led = 3;
  r.cars[0].short_name = "BRE";
  r.cars[0].team = "Brennan Racing";
  r.cars[0].nation = "IE";
  AddLaps(&r, r.cars[0], {100, 99.5f, 100}, {110, 209.5, 309.5}, {0, 0, 0});
  AddLaps(&r, r.cars[1], {101, 101, 101}, {111, 212, 313}, {1, 2.5f, 3.5f});
  // The host's gaps at the line give the gaps overall, and their
  // differences those within a class (Dot Ito 9.5 - 3.5 behind Bea Tran).
  AddLaps(&r, r.cars[2], {100.5f, 100.5f, 100.5f}, {110.5, 211, 311.5}, {0.5f, 1.5f, 1.75f});
  AddLaps(&r, r.cars[3], {102, 103, 104}, {112, 215, 320}, {2, 5.5f, 9.5f});
  AddLaps(&r, r.cars[4], {105}, {115}, {5});
  r.results = Classify(r.facts, r.cars, r.laps);
  const auto event = [&r](EventKind kind, double at_s, int lap, std::optional<std::uint8_t> car,
                          std::optional<std::uint8_t> other, int place, const std::string& text) {
    StoredEvent e;
    e.id = static_cast<std::int64_t>(r.events.size()) + 1;
    e.session_id = 3;
    e.event.kind = kind;
    e.event.at_s = at_s;
    e.event.lap = lap;
    e.event.car = car;
    if (car) e.event.driver = r.cars[*car].driver;
    if (car) e.event.car_class = r.cars[*car].car_class;
    e.event.other_car = other;
    if (other) e.event.other_driver = r.cars[*other].driver;
    e.event.place = place;
    e.event.text = text;
    r.events.push_back(e);
  };
  event(EventKind::kStart, 10, 1, std::nullopt, std::nullopt, 0, "The race starts.");
  event(EventKind::kOvertake, 150, 2, 2, 0, 1, "Cy Moss passes Ada Brennan for P1 on lap 2.");
  event(EventKind::kClassLeadChange, 150, 2, 2, 0, 1, "Cy Moss leads GT3 on lap 2.");
  event(EventKind::kClassLeadChange, 250.25, 3, 0, 2, 1, "Ada Brennan leads GT3 on lap 3.");
  event(EventKind::kRetired, 260, 3, 4, std::nullopt, 0, "Eve retires on lap 2.");
  event(EventKind::kSessionEnd, 315, 3, std::nullopt, std::nullopt, 0, "The race is over.");
  return r;
}

std::string Title() {
  return "Race at Test Ring, " + LocalTimeText(1765000000) + ", 3 laps, 5 cars (session 3)\n";
}

TEST(HistoryViewsTest, ResultsTextWithClassesShowsEachClassByItself) {
  EXPECT_EQ(ResultsText(TwoClassRace()),
            Title() +
                "Pos Driver             Laps Time/gap    Best lap     Class   PIC Status\n"
                "  1 #7 Ada Brennan        3 4:59.500    1:39.500 L2  GT3       1 finished\n"
                "  2 #11 Cy Moss           3 +1.750      1:40.500 L1  GT3       2 finished\n"
                "  3 #9 Bea Tran           3 +3.500      1:41.000 L1  GT4       1 finished\n"
                "  4 #4 Dot Ito            3 +9.500      1:42.000 L1  GT4       2 finished\n"
                "  5 Eve                   1 +2 L        1:45.000 L1              retired\n"
                "Fastest lap: #7 Ada Brennan, 1:39.500 on lap 2\n"
                "\n"
                "GT3\n"
                "Pos Driver             Laps Time/gap    Best lap     Led Pit +/- Status\n"
                "  1 #7 Ada Brennan        3 4:59.500    1:39.500 L2    3   0  +1 finished\n"
                "  2 #11 Cy Moss           3 +1.750      1:40.500 L1    0   0  -1 finished\n"
                "Fastest lap in GT3: #7 Ada Brennan, 1:39.500 on lap 2\n"
                "\n"
                "GT4\n"
                "Pos Driver             Laps Time/gap    Best lap     Led Pit +/- Status\n"
                "  1 #9 Bea Tran           3 5:03.000    1:41.000 L1    0   0   0 finished\n"
                "  2 #4 Dot Ito            3 +6.000      1:42.000 L1    0   0   0 finished\n"
                "Fastest lap in GT4: #9 Bea Tran, 1:41.000 on lap 1\n");
  // Practice: the best lap for each class's first, the difference for the rest.
  SessionRecord practice = TwoClassRace();
  practice.summary.kind = practice.facts.kind = "practice";
  practice.summary.code = practice.facts.code = 1;
  practice.results = Classify(practice.facts, practice.cars, practice.laps);
  const std::string text = ResultsText(practice);
  EXPECT_NE(
      text.find("Pos Driver             Laps Best/gap    Best lap     Class   PIC Status\n"
                "  1 #7 Ada Brennan        3 1:39.500    1:39.500 L2  GT3       1 finished\n"
                "  2 #11 Cy Moss           3 +1.000      1:40.500 L1  GT3       2 finished\n"),
      std::string::npos)
      << text;
  EXPECT_NE(
      text.find("GT4\n"
                "Pos Driver             Laps Best/gap    Best lap                 Status\n"
                "  1 #9 Bea Tran           3 1:41.000    1:41.000 L1              finished\n"
                "  2 #4 Dot Ito            3 +1.000      1:42.000 L1              finished\n"),
      std::string::npos)
      << text;
}

TEST(HistoryViewsTest, ResultsJsonAndCsvCarryTheLeagueAndTheClasses) {
  const SessionRecord r = TwoClassRace();
  const auto json = nlohmann::json::parse(ResultsJson(r));
  ASSERT_EQ(json["rows"].size(), 5u);
  const auto& ada = json["rows"][0];
  EXPECT_EQ(ada["number"], 7);
  EXPECT_EQ(ada["short_name"], "BRE");
  EXPECT_EQ(ada["team"], "Brennan Racing");
  EXPECT_EQ(ada["nation"], "IE");
  EXPECT_EQ(ada["class"], "GT3");
  EXPECT_EQ(ada["class_position"], 1);
  EXPECT_TRUE(ada["class_gap"].is_null());
  const auto& cy = json["rows"][1];
  EXPECT_EQ(cy["gap"].dump(), R"({"laps":0,"seconds":1.75,"text":"+1.750"})");
  EXPECT_EQ(cy["class_gap"].dump(), R"({"laps":0,"seconds":1.75,"text":"+1.750"})");
  EXPECT_TRUE(cy["short_name"].is_null());
  EXPECT_EQ(json["rows"][3]["gap"].dump(), R"({"laps":0,"seconds":9.5,"text":"+9.500"})");
  EXPECT_EQ(json["rows"][3]["class_gap"].dump(), R"({"laps":0,"seconds":6,"text":"+6.000"})");
  const auto& eve = json["rows"][4];
  for (const char* key :
       {"number", "short_name", "team", "nation", "class", "class_position", "class_gap"}) {
    EXPECT_TRUE(eve[key].is_null()) << key;
  }
  EXPECT_EQ(nlohmann::ordered_json::parse(ResultsJson(r))["classes"].dump(),
            R"([{"name":"GT3","colour":"#e4572e","order":1,"cars":2,)"
            R"("winner":{"car":0,"driver":"Ada Brennan"},)"
            R"("fastest_lap":{"car":0,"driver":"Ada Brennan","lap":2,"lap_s":99.5}},)"
            R"({"name":"GT4","colour":"#2e86de","order":2,"cars":2,)"
            R"("winner":{"car":1,"driver":"Bea Tran"},)"
            R"("fastest_lap":{"car":1,"driver":"Bea Tran","lap":1,"lap_s":101}}])");
  // No classes: an empty list, and every row's league fields null.
  SessionRecord plain = TwoClassRace();
  plain.classes.clear();
  for (CarStanding& c : plain.cars) {
    c.number.reset();
    c.short_name = c.team = c.nation = c.car_class = "";
  }
  plain.results = Classify(plain.facts, plain.cars, plain.laps);
  const auto bare = nlohmann::json::parse(ResultsJson(plain));
  EXPECT_EQ(bare["classes"].dump(), "[]");
  EXPECT_TRUE(bare["rows"][0]["class_position"].is_null());
  EXPECT_TRUE(bare["rows"][0]["number"].is_null());

  EXPECT_EQ(ResultsCsv(r),
            "position,car,driver,laps,total_s,gap,best_lap_s,best_lap,laps_led,pit_stops,"
            "places_gained,status,number,short_name,team,nation,class,class_position,class_gap\n"
            "1,0,Ada Brennan,3,299.500,,99.500,2,3,0,1,finished,7,BRE,Brennan Racing,IE,GT3,1,\n"
            "2,2,Cy Moss,3,301.500,+1.750,100.500,1,0,0,-1,finished,11,,,,GT3,2,+1.750\n"
            "3,1,Bea Tran,3,303.000,+3.500,101.000,1,0,0,0,finished,9,,,,GT4,1,\n"
            "4,3,Dot Ito,3,309.000,+9.500,102.000,1,0,0,0,finished,4,,,,GT4,2,+6.000\n"
            "5,4,Eve,1,,+2 L,105.000,1,0,0,0,retired,,,,,,,\n");
}

TEST(HistoryViewsTest, LapsCarryTheNumberAndClass) {
  const SessionRecord r = TwoClassRace();
  EXPECT_EQ(LapsCsv(r, "tRAN") + LapsCsv(r, "eve").substr(LapsCsv(r, "none").size()),
            "car,driver,lap,lap_s,sector1_s,sector2_s,sector3_s,place,gap,at_s,in_lap,out_lap,"
            "personal_best,session_best,stint_lap,complete,number,class\n"
            "1,Bea Tran,1,101.000,,,,3,+1.000,111.000,0,0,0,0,0,1,9,GT4\n"
            "1,Bea Tran,2,101.000,,,,3,+2.500,212.000,0,0,0,0,0,1,9,GT4\n"
            "1,Bea Tran,3,101.000,,,,3,+3.500,313.000,0,0,0,0,0,1,9,GT4\n"
            "4,Eve,1,105.000,,,,5,+5.000,115.000,0,0,0,0,0,1,,\n");
  const auto json = nlohmann::json::parse(LapsJson(r));
  ASSERT_EQ(json["laps"].size(), 13u);
  EXPECT_EQ(json["laps"][0]["number"], 7);
  EXPECT_EQ(json["laps"][0]["class"], "GT3");
  EXPECT_EQ(json["laps"][3]["class"], "GT4");
  EXPECT_TRUE(json["laps"][12]["number"].is_null());
  EXPECT_TRUE(json["laps"][12]["class"].is_null());
}

TEST(HistoryViewsTest, EventsShowTheirClassAndTheClassLeads) {
  SessionRecord r = TwoClassRace();
  EXPECT_EQ(EventsText(r),
            Title() +
                "   10.000  L1           The race starts.\n"
                " 2:30.000  L2   GT3     Cy Moss passes Ada Brennan for P1 on lap 2.\n"
                " 2:30.000  L2   GT3     Cy Moss leads GT3 on lap 2.\n"
                " 4:10.250  L3   GT3     Ada Brennan leads GT3 on lap 3.\n"
                " 4:20.000  L3           Eve retires on lap 2.\n"
                " 5:15.000  L3           The race is over.\n");
  const auto json = nlohmann::json::parse(EventsJson(r));
  ASSERT_EQ(json["events"].size(), 6u);
  EXPECT_TRUE(json["events"][0]["class"].is_null());
  EXPECT_EQ(nlohmann::ordered_json::parse(EventsJson(r))["events"][3].dump(),
            R"({"id":4,"kind":"class_lead_change","at_s":250.25,"lap":3,"car":0,)"
            R"("driver":"Ada Brennan","other_car":2,"other_driver":"Cy Moss","place":1,)"
            R"("seconds":null,"text":"Ada Brennan leads GT3 on lap 3.","class":"GT3"})");
  EXPECT_TRUE(json["events"][4]["class"].is_null());
  EXPECT_EQ(nlohmann::json::parse(EventJson(r.events[2]))["class"], "GT3");
  // Without classes the lines are as they always were.
  r.classes.clear();
  for (StoredEvent& e : r.events) e.event.car_class.clear();
  EXPECT_EQ(EventsText(r)
                .substr(Title().size())
                .rfind("   10.000  L1   The race starts.\n"
                       " 2:30.000  L2   Cy Moss passes Ada",
                       0),
            0u)
      << EventsText(r);
}

TEST(HistoryViewsTest, ResultsHtmlWithClassChipsAndATableForEachClass) {
  SessionRecord r = TwoClassRace();
  std::string html = ResultsHtml(r);
  for (const char* part :
       {"<tr><th>Pos</th><th>Class</th><th>PIC</th><th>Driver</th><th>Laps</th>"
        "<th>Time/gap</th><th>Best lap</th><th>Led</th><th>Pit</th><th>+/-</th>"
        "<th>Status</th></tr>\n",
        "<tr><td class=\"n\">2</td><td><span class=\"chip\" style=\"background:#e4572e\">"
        "</span>GT3</td><td class=\"n\">2</td><td><bdi>#11 Cy Moss</bdi></td><td class=\"n\">3"
        "</td><td class=\"n\">+1.750</td>",
        "<tr><td class=\"n\">5</td><td></td><td class=\"n\"></td><td><bdi>Eve</bdi></td>",
        "<h2><span class=\"chip\" style=\"background:#2e86de\"></span>GT4</h2>\n<table>\n"
        "<tr><th>Pos</th><th>Driver</th>",
        "<tr><td class=\"n\">1</td><td><bdi>#9 Bea Tran</bdi></td><td class=\"n\">3</td>"
        "<td class=\"n\">5:03.000</td>",
        "<tr><td class=\"n\">2</td><td><bdi>#4 Dot Ito</bdi></td><td class=\"n\">3</td>"
        "<td class=\"n\">+6.000</td>",
        "<p>Fastest lap in GT4: <bdi>#9 Bea Tran</bdi>, 1:41.000 on lap 1</p>\n"}) {
    EXPECT_NE(html.find(part), std::string::npos) << part << "\nin\n" << html;
  }
  // A class's name is markup-safe and a colour that is not one is left out.
  r.classes[1] = {"GT4", "red;x:url(y)", 2};
  for (CarStanding& c : r.cars) {
    if (c.car_class == "GT4") c.car_class = "<b>GT4";
  }
  r.classes[1].name = "<b>GT4";
  r.results = Classify(r.facts, r.cars, r.laps);
  html = ResultsHtml(r);
  EXPECT_EQ(html.find("red;x"), std::string::npos);
  EXPECT_EQ(html.find("<b>"), std::string::npos);
  EXPECT_NE(html.find("<h2>&lt;b&gt;GT4</h2>"), std::string::npos) << html;
  // Without classes, no class columns, chips or class tables.
  r.classes.clear();
  for (CarStanding& c : r.cars) c.car_class.clear();
  r.results = Classify(r.facts, r.cars, r.laps);
  html = ResultsHtml(r);
  EXPECT_EQ(html.find("chip"), std::string::npos);
  EXPECT_EQ(html.find("<th>Class</th>"), std::string::npos);
  EXPECT_EQ(html.find("Fastest lap in"), std::string::npos);
  EXPECT_NE(html.find("<tr><th>Pos</th><th>Driver</th>"), std::string::npos);
}

}  // namespace
