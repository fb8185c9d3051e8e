#include "race_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "history_views.h"
#include "race_recorder.h"
#include "testing/temp_dir.h"
#include "tests/league_of.h"
#include "text_safety.h"

namespace {

// Runs SQL on a file with SQLite itself, as another program would.
void Sql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* message = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
      << (message ? message : "");
  sqlite3_free(message);
  sqlite3_close(db);
}

// A race fed through a timing state, as a live feed would: two cars, laps
// of 100 s on a 1000 m lap, Bea stopping once.
class RaceFeed {
 public:
  RaceFeed() {
    state.ApplySession(SessionAnswer{kChangeAll, "Test Ring", 3, 0, 3, 1000.0f});
    state.ApplyDrivers(DriversAnswer{0, {{0, "Ada"}, {1, "Bea"}}});
  }
  // Both cars at `t` seconds; Ada 1 s a lap faster.
  void At(float t, std::uint8_t mask = 0) {
    LiveAnswer live{mask, true, t, -1.0f, 0, {}};
    for (std::uint8_t i = 0; i < 2; ++i) {
      CarState car;
      car.index = i;
      const float lap = 100.0f + i;
      const float run = std::max(0.0f, t - 10.0f);  // the start at 10 s
      car.laps = static_cast<std::int16_t>(std::min(3.0f, std::floor(run / lap)));
      car.lap_distance = car.laps >= 3 ? 0.0f : std::fmod(run, lap) * 1000.0f / lap - 20.0f * i;
      car.place = static_cast<std::uint8_t>(i + 1);
      car.time_behind_leader = static_cast<float>(i * car.laps);  // a second a lap
      car.last_lap = car.laps > 0 ? lap : -1.0f;
      car.sector = 1;
      car.finish_status = car.laps >= 3 ? 1 : 0;
      car.in_pits = i == 1 && run > 150.0f && run < 170.0f;
      live.cars.push_back(car);
    }
    state.ApplyLive(live, t);
  }
  // The race from `from` to `to` seconds, every half second, into the
  // recorder, at wall-clock time `wall` + t.
  void Record(RaceRecorder* recorder, float from, float to, double wall = 1765000000.0) {
    for (float t = from; t <= to; t += 0.5f) {
      At(t);
      recorder->Update(state, wall + t);
    }
  }
  TimingState state;
};

class RaceStoreTest : public ::testing::Test {
 protected:
  // Session `id` of `store` (0: the newest); the test fails without it.
  SessionRecord Read(RaceStore* store, std::int64_t id = 0) {
    std::optional<SessionRecord> race = store->Session(id, &error_);
    EXPECT_TRUE(race) << error_;
    return race.value_or(SessionRecord{});
  }
  // The whole race recorded into a store of its own at path_; what the
  // recorder told, to `notices`.
  void RecordRace(std::vector<std::string>* notices = nullptr) {
    RaceStore store;
    ASSERT_TRUE(store.OpenForRecording(path_, &error_)) << error_;
    RaceRecorder recorder(&store);
    RaceFeed().Record(&recorder, 0, 330);
    ASSERT_TRUE(recorder.recording()) << recorder.error();
    if (notices) *notices = recorder.TakeNotices();
  }
  // `store` opened at path_ to record, or the test ends.
  void OpenToRecord(RaceStore* store) {
    ASSERT_TRUE(store->OpenForRecording(path_, &error_)) << error_;
  }

  TempDir dir_;
  const std::string path_ = dir_.File("pitwall.db");
  std::string error_;
};

TEST_F(RaceStoreTest, RecordsARaceAndReadsItBack) {
  std::vector<std::string> notices;
  ASSERT_NO_FATAL_FAILURE(RecordRace(&notices));
  EXPECT_EQ(notices, (std::vector<std::string>{
                         "recording session 1 (race at Test Ring) from its start",
                         "session 1 (race at Test Ring) ended; its results are stored"}));
  RaceStore reader;
  ASSERT_TRUE(reader.OpenForReading(path_, &error_)) << error_;
  const std::optional<SessionRecord> race = reader.Session(0, &error_);
  ASSERT_TRUE(race) << error_;
  EXPECT_FALSE(race->provisional);
  EXPECT_EQ(race->summary.laps, 3);
  EXPECT_EQ(race->summary.cars, 2);
  ASSERT_EQ(race->laps.size(), 6u);
  ASSERT_EQ(race->results.size(), 2u);
  EXPECT_EQ(race->results[0].driver, "Ada");
  EXPECT_EQ(race->results[0].total_s, 300.0);
  EXPECT_EQ(race->results[1].total_s, 303.0);
  EXPECT_EQ(GapText(*race->results[1].gap), "+3.000");
  ASSERT_EQ(race->pit_stops.size(), 1u);
  EXPECT_EQ(race->pit_stops[0].lap, 2);
  EXPECT_EQ(race->pit_stops[0].lane_s, 19.5);  // in the lane from 160.5 s to 180 s
  std::vector<std::string> kinds;
  for (const StoredEvent& e : race->events) kinds.push_back(EventKindName(e.event.kind));
  EXPECT_EQ(kinds, (std::vector<std::string>{"start", "fastest_lap", "pit_in", "pit_out",
                                             "finished", "finished", "session_end"}));
  const std::vector<SessionSummary> sessions = reader.Sessions(&error_);
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0].winner, "Ada");
  EXPECT_TRUE(sessions[0].ended);
}

TEST_F(RaceStoreTest, ARecorderStartedAgainCarriesOnWithoutRecordingTwice) {
  {
    // Killed in the lane on lap 2: the store is dropped without an end.
    RaceStore store;
    ASSERT_NO_FATAL_FAILURE(OpenToRecord(&store));
    RaceRecorder recorder(&store);
    RaceFeed().Record(&recorder, 0, 170);
  }
  // Away for 60 s, then a new program with a new timing state.
  RaceStore store;
  ASSERT_NO_FATAL_FAILURE(OpenToRecord(&store));
  RaceRecorder recorder(&store);
  RaceFeed().Record(&recorder, 230, 330);
  const std::vector<std::string> notices = recorder.TakeNotices();
  ASSERT_FALSE(notices.empty());
  EXPECT_EQ(notices[0].rfind("carrying on session 1 (race at Test Ring, 2 laps recorded", 0), 0u)
      << notices[0];
  const std::optional<SessionRecord> race = store.Session(0, &error_);
  ASSERT_TRUE(race) << error_;
  EXPECT_EQ(race->summary.id, 1);
  ASSERT_EQ(race->laps.size(), 6u);  // each lap once
  for (const LapRecord& lap : race->laps) {
    // Lap 2 was under way when the first recorder went; lap 3 began unseen.
    EXPECT_EQ(lap.complete, lap.lap == 1) << lap.driver << " lap " << lap.lap;
  }
  ASSERT_EQ(race->pit_stops.size(), 1u);
  EXPECT_EQ(race->pit_stops[0].lane_s, 69.5);  // entry seen at 160.5 s, exit at 230 s
  EXPECT_EQ(race->results[0].total_s, 300.0);
}

TEST_F(RaceStoreTest, TheSameTrackRunAgainIsANewSessionAndEndsTheOldOne) {
  RaceStore store;
  ASSERT_NO_FATAL_FAILURE(OpenToRecord(&store));
  {
    RaceRecorder recorder(&store);
    RaceFeed().Record(&recorder, 0, 150);
  }
  // A new recorder sees the clock at 20 s: not the session it recorded.
  RaceRecorder recorder(&store);
  RaceFeed().Record(&recorder, 0, 20, 1765001000.0);
  const std::vector<SessionSummary> sessions = store.Sessions(&error_);
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_EQ(sessions[0].id, 2);
  EXPECT_FALSE(sessions[0].ended);
  EXPECT_TRUE(sessions[1].ended);
  EXPECT_EQ(sessions[1].laps, 1);
}

TEST_F(RaceStoreTest, FilesItCannotUseAreRefusedWithAMessageAndLeftAlone) {
  RaceStore store;
  // Another program's database.
  const std::string other = dir_.File("other.db");
  Sql(other, "CREATE TABLE invoices(id INTEGER)");
  EXPECT_FALSE(store.OpenForRecording(other, &error_));
  EXPECT_EQ(error_, other +
                        " is not a pitwall race history (it holds other data); give --db "
                        "another file");
  // Not a database at all.
  const std::string text = dir_.File("notes.txt");
  dir_.Write("notes.txt", std::string(4096, 'x'));
  EXPECT_FALSE(store.OpenForReading(text, &error_));
  EXPECT_NE(error_.find(text + ": reading it failed (file is not a database); the file is damaged "
                               "or not a database"),
            std::string::npos)
      << error_;
  // A newer schema.
  const std::string newer = dir_.File("newer.db");
  Sql(newer, "PRAGMA application_id=1347896386; PRAGMA user_version=7; CREATE TABLE t(x)");
  EXPECT_FALSE(store.OpenForRecording(newer, &error_));
  EXPECT_EQ(error_, newer +
                        " was written by a newer pitwall (schema 7; this one reads up to 2): "
                        "update pitwall, or give --db another file");
  // A file that does not exist, to read.
  EXPECT_FALSE(store.OpenForReading(dir_.File("none.db"), &error_));
  EXPECT_EQ(error_.rfind(dir_.File("none.db") + ": no race history there", 0), 0u) << error_;
  // Nothing of the refused files was changed.
  Sql(other, "INSERT INTO invoices VALUES(1)");
  EXPECT_EQ(std::filesystem::file_size(text), 4096u);
}

TEST_F(RaceStoreTest, ASecondRecorderIsRefusedUntilTheFirstLetsGo) {
  auto first = std::make_unique<RaceStore>();
  ASSERT_NO_FATAL_FAILURE(OpenToRecord(first.get()));
  RaceStore second;
  EXPECT_FALSE(second.OpenForRecording(path_, &error_));
  EXPECT_EQ(error_, path_ + " is being recorded by another pitwall (it holds " + path_ +
                        ".lock): stop that one, or give this one another --db FILE");
  // Readers are not blocked.
  RaceStore reader;
  EXPECT_TRUE(reader.OpenForReading(path_, &error_)) << error_;
  first.reset();
  EXPECT_TRUE(second.OpenForRecording(path_, &error_)) << error_;
}

TEST_F(RaceStoreTest, AFolderItCannotWriteStopsRecordingWithAMessage) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes any folder";
  const std::string folder = dir_.File("locked");
  std::filesystem::create_directory(folder);
  chmod(folder.c_str(), 0500);
  RaceStore store;
  EXPECT_FALSE(store.OpenForRecording(folder + "/pitwall.db", &error_));
  EXPECT_NE(error_.find("give --db a file in a folder you can write"), std::string::npos) << error_;
  chmod(folder.c_str(), 0700);
}

TEST_F(RaceStoreTest, AFileMadeReadOnlyMidRaceStopsRecordingAndKeepsWhatWasRecorded) {
  RaceStore store;
  ASSERT_NO_FATAL_FAILURE(OpenToRecord(&store));
  RaceRecorder recorder(&store);
  RaceFeed feed;
  feed.Record(&recorder, 0, 120);
  // Another program takes a write lock and keeps it.
  sqlite3* blocker = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &blocker), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(blocker, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  for (float t = 120.5f; t <= 220 && recorder.recording(); t += 0.5f) {
    feed.At(t);
    recorder.Update(feed.state, 1765000000.0 + t);
  }
  EXPECT_FALSE(recorder.recording());
  EXPECT_NE(recorder.error().find(path_ + ": saving an update failed (database is locked); another "
                                          "program holds it locked"),
            std::string::npos)
      << recorder.error();
  sqlite3_exec(blocker, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(blocker);
  EXPECT_EQ(Read(&store).laps.size(), 2u);  // lap 1 of both cars, as recorded before
}

// A file as pitwall wrote it before the league: schema version 1, one
// ended race of two cars.
constexpr char kVersion1File[] = R"(
  CREATE TABLE sessions(
    id INTEGER PRIMARY KEY, started_unix_s REAL NOT NULL, updated_unix_s REAL NOT NULL,
    track TEXT NOT NULL, code INTEGER NOT NULL, kind TEXT NOT NULL, max_laps INTEGER,
    end_time_s REAL, start_seen INTEGER NOT NULL, started_s REAL, ended INTEGER NOT NULL,
    last_at_s REAL NOT NULL);
  CREATE TABLE cars(
    session_id INTEGER NOT NULL REFERENCES sessions(id), car INTEGER NOT NULL,
    driver TEXT NOT NULL, place INTEGER NOT NULL, start_place INTEGER NOT NULL,
    laps INTEGER NOT NULL, finish_status INTEGER NOT NULL, in_pits INTEGER NOT NULL,
    best_lap_s REAL, best_lap INTEGER NOT NULL, stint_laps INTEGER NOT NULL,
    pit_stops INTEGER NOT NULL, laps_led INTEGER NOT NULL, finish_at_s REAL,
    pit_entry_s REAL, pit_entry_lap INTEGER NOT NULL,
    PRIMARY KEY(session_id, car));
  CREATE TABLE laps(
    session_id INTEGER NOT NULL REFERENCES sessions(id), car INTEGER NOT NULL,
    lap INTEGER NOT NULL, driver TEXT NOT NULL, lap_s REAL, sector1_s REAL, sector2_s REAL,
    sector3_s REAL, place INTEGER NOT NULL, gap_laps INTEGER, gap_s REAL,
    at_s REAL NOT NULL, in_lap INTEGER NOT NULL, out_lap INTEGER NOT NULL,
    personal_best INTEGER NOT NULL, session_best INTEGER NOT NULL,
    stint_lap INTEGER NOT NULL, complete INTEGER NOT NULL,
    PRIMARY KEY(session_id, car, lap));
  CREATE TABLE pit_stops(
    session_id INTEGER NOT NULL REFERENCES sessions(id), car INTEGER NOT NULL,
    number INTEGER NOT NULL, driver TEXT NOT NULL, lap INTEGER NOT NULL,
    entry_s REAL NOT NULL, exit_s REAL, lane_s REAL, stint_laps INTEGER NOT NULL,
    PRIMARY KEY(session_id, car, number));
  CREATE TABLE events(
    id INTEGER PRIMARY KEY, session_id INTEGER NOT NULL REFERENCES sessions(id),
    kind TEXT NOT NULL, at_s REAL NOT NULL, lap INTEGER NOT NULL, car INTEGER,
    driver TEXT NOT NULL, other_car INTEGER, other_driver TEXT NOT NULL,
    place INTEGER NOT NULL, seconds REAL, text TEXT NOT NULL);
  CREATE INDEX events_by_session ON events(session_id, id);
  CREATE TABLE results(
    session_id INTEGER NOT NULL REFERENCES sessions(id), position INTEGER NOT NULL,
    car INTEGER NOT NULL, driver TEXT NOT NULL, laps INTEGER NOT NULL, total_s REAL,
    gap_laps INTEGER, gap_s REAL, best_lap_s REAL, best_lap INTEGER NOT NULL,
    laps_led INTEGER NOT NULL, pit_stops INTEGER NOT NULL, places_gained INTEGER,
    status TEXT NOT NULL, PRIMARY KEY(session_id, position));
  PRAGMA application_id=1347896386;
  PRAGMA user_version=1;
  INSERT INTO sessions VALUES(1, 1765000000, 1765000400, 'Old Ring', 3, 'race', 2, NULL, 1, 10,
                              1, 215);
  INSERT INTO cars VALUES(1, 0, 'Ada', 1, 1, 2, 1, 0, 100, 1, 2, 0, 2, 210, NULL, 0);
  INSERT INTO cars VALUES(1, 1, 'Bea', 2, 2, 2, 1, 0, 101, 2, 2, 0, 0, 214, NULL, 0);
  INSERT INTO laps VALUES(1, 0, 1, 'Ada', 100, NULL, NULL, NULL, 1, NULL, NULL, 110, 0, 0, 1, 1,
                          1, 1);
  INSERT INTO laps VALUES(1, 0, 2, 'Ada', 100, NULL, NULL, NULL, 1, NULL, NULL, 210, 0, 0, 0, 0,
                          2, 1);
  INSERT INTO laps VALUES(1, 1, 1, 'Bea', 102, NULL, NULL, NULL, 2, NULL, 2, 112, 0, 0, 1, 0,
                          1, 1);
  INSERT INTO laps VALUES(1, 1, 2, 'Bea', 101, NULL, NULL, NULL, 2, NULL, 4, 214, 0, 0, 1, 0,
                          2, 1);
  INSERT INTO events VALUES(1, 1, 'start', 10, 1, NULL, '', NULL, '', 0, NULL, 'The race starts.');
  INSERT INTO events VALUES(2, 1, 'finished', 210, 2, 0, 'Ada', NULL, '', 1, NULL,
                            'Ada takes the chequered flag in P1.');
  INSERT INTO results VALUES(1, 1, 0, 'Ada', 2, 200, NULL, NULL, 100, 1, 2, 0, 0, 'finished');
  INSERT INTO results VALUES(1, 2, 1, 'Bea', 2, 203, 0, 4, 101, 2, 0, 0, 0, 'finished');
)";

int UserVersion(const std::string& path) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &s, nullptr);
  const int version = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int(s, 0) : -1;
  sqlite3_finalize(s);
  sqlite3_close(db);
  return version;
}

constexpr char kLeague[] =
    "kind,name,number,team,class,nation,colour\n"
    "class,GT3,,,,,#e4572e\n"
    "class,GT4,,,,,#2e86de\n"
    "driver,Ada,7,Brennan Racing,GT3,IE,\n"
    "driver,Bea,9,,GT4,,\n";

TEST_F(RaceStoreTest, AVersion1FileIsReadAsItIsAndBroughtUpToDateToRecord) {
  Sql(path_, kVersion1File);
  {
    // A reader takes it as it is and leaves it at version 1.
    RaceStore reader;
    ASSERT_TRUE(reader.OpenForReading(path_, &error_)) << error_;
    const std::optional<SessionRecord> old = reader.Session(1, &error_);
    ASSERT_TRUE(old) << error_;
    ASSERT_EQ(old->results.size(), 2u);
    EXPECT_EQ(old->results[1].driver, "Bea");
    EXPECT_EQ(GapText(*old->results[1].gap), "+4.000");
    EXPECT_FALSE(old->results[1].class_position);
    EXPECT_TRUE(old->classes.empty());
    ASSERT_EQ(old->events.size(), 2u);
    EXPECT_EQ(old->events[1].event.car_class, "");
  }
  EXPECT_EQ(UserVersion(path_), 1);
  {
    RaceStore store;
    ASSERT_NO_FATAL_FAILURE(OpenToRecord(&store));
    EXPECT_EQ(UserVersion(path_), 2);
    // What was there reads as before, with nothing of a league.
    const std::optional<SessionRecord> old = store.Session(1, &error_);
    ASSERT_TRUE(old) << error_;
    ASSERT_EQ(old->cars.size(), 2u);
    EXPECT_FALSE(old->cars[0].number);
    EXPECT_EQ(old->cars[0].car_class, "");
    ASSERT_EQ(old->laps.size(), 4u);
    EXPECT_EQ(old->laps[3].gap_to_leader->seconds, 4.0f);
    ASSERT_EQ(old->results.size(), 2u);
    EXPECT_EQ(old->results[0].total_s, 200.0);
    EXPECT_EQ(old->results[1].car_class, "");
    EXPECT_FALSE(old->results[1].class_gap);
    EXPECT_EQ(old->events[1].event.text, "Ada takes the chequered flag in P1.");
    // A race with a league recorded into it keeps the league's part.
    RaceRecorder recorder(&store);
    RaceFeed feed;
    feed.state.SetLeague(LeagueOf(kLeague));
    feed.Record(&recorder, 0, 330);
    ASSERT_TRUE(recorder.recording()) << recorder.error();
  }
  RaceStore reader;
  ASSERT_TRUE(reader.OpenForReading(path_, &error_)) << error_;
  const std::optional<SessionRecord> race = reader.Session(0, &error_);
  ASSERT_TRUE(race) << error_;
  EXPECT_EQ(race->summary.id, 2);
  ASSERT_EQ(race->classes.size(), 2u);
  EXPECT_EQ(race->classes[1].name, "GT4");
  EXPECT_EQ(race->classes[1].colour, "#2e86de");
  EXPECT_EQ(race->classes[1].order, 2);
  ASSERT_EQ(race->results.size(), 2u);
  EXPECT_EQ(race->results[0].number, 7);
  EXPECT_EQ(race->results[0].team, "Brennan Racing");
  EXPECT_EQ(race->results[0].nation, "IE");
  EXPECT_EQ(race->results[0].short_name, "ADA");
  EXPECT_EQ(race->results[1].car_class, "GT4");
  EXPECT_EQ(race->results[1].class_position, 1);  // alone in its class
  EXPECT_FALSE(race->results[1].class_gap);
  EXPECT_EQ(race->laps[0].number, 7);
  EXPECT_EQ(race->laps.back().car_class, "GT4");
  for (const StoredEvent& e : race->events) {
    EXPECT_EQ(e.event.car_class, !e.event.car        ? ""
                                 : *e.event.car == 0 ? "GT3"
                                                     : "GT4")
        << e.event.text;
  }
}

TEST_F(RaceStoreTest, ALeagueReadAgainMidRaceIsRecordedForTheCarsAndClasses) {
  RaceStore store;
  ASSERT_NO_FATAL_FAILURE(OpenToRecord(&store));
  RaceRecorder recorder(&store);
  RaceFeed feed;
  feed.state.SetLeague(LeagueOf(kLeague));
  feed.Record(&recorder, 0, 150);
  // Bea moves to GT3 with a new number; GT4 goes away and GT3 changes colour.
  feed.state.SetLeague(
      LeagueOf("kind,name,number,class,colour\n"
               "class,GT3,,,#112233\n"
               "driver,Ada,7,GT3,\n"
               "driver,Bea,99,GT3,\n"));
  feed.At(150.5f);
  recorder.Update(feed.state, 1765000150.5);
  ASSERT_TRUE(recorder.recording()) << recorder.error();
  // Read while the race is under way: the cars and classes as they are now.
  SessionRecord race = Read(&store);
  ASSERT_EQ(race.classes.size(), 1u);
  EXPECT_EQ(race.classes[0].colour, "#112233");
  ASSERT_EQ(race.cars.size(), 2u);
  EXPECT_EQ(race.cars[1].number, 99);
  EXPECT_EQ(race.cars[1].car_class, "GT3");
  EXPECT_TRUE(race.provisional);
  ASSERT_EQ(race.results.size(), 2u);
  EXPECT_EQ(race.results[1].class_position, 2);
  // Without a league from here on: no classes, no numbers.
  feed.state.SetLeague(nullptr);
  feed.Record(&recorder, 151, 330);
  race = Read(&store);
  EXPECT_FALSE(race.provisional);
  EXPECT_TRUE(race.classes.empty());
  EXPECT_FALSE(race.results[1].number);
  EXPECT_FALSE(race.results[1].class_position);
}

TEST_F(RaceStoreTest, ALeagueGivenWhenReadingIdentifiesARaceRecordedWithoutOne) {
  ASSERT_NO_FATAL_FAILURE(RecordRace());
  RaceStore reader;
  ASSERT_TRUE(reader.OpenForReading(path_, &error_)) << error_;
  SessionRecord race = Read(&reader);
  ASSERT_TRUE(race.classes.empty());
  const std::string plain = ResultsText(race);
  // Both in GT3: Bea crossed the line 3 s after Ada at the end of lap 3.
  ApplyLeague(*LeagueOf("kind,name,number,class,colour\n"
                        "class,GT3,,,#e4572e\n"
                        "class,GT4,,,#2e86de\n"
                        "driver, ADA ,7,GT3,\n"
                        "driver,Bea,9,GT3,\n"),
              &race);
  ASSERT_EQ(race.classes.size(), 2u);
  EXPECT_EQ(race.classes[0].colour, "#e4572e");
  ASSERT_EQ(race.results.size(), 2u);
  EXPECT_EQ(race.results[0].number, 7);
  EXPECT_EQ(race.results[0].short_name, "ADA");
  EXPECT_EQ(race.results[1].class_position, 2);
  EXPECT_EQ(GapText(*race.results[1].class_gap), "+3.000");
  EXPECT_EQ(race.cars[1].number, 9);
  for (const LapRecord& lap : race.laps) EXPECT_EQ(lap.car_class, "GT3");
  for (const StoredEvent& e : race.events) EXPECT_EQ(e.event.car_class, e.event.car ? "GT3" : "");
  const std::string text = ResultsText(race);
  EXPECT_NE(
      text.find("  1 #7 Ada                3 5:00.000    1:40.000 L1  GT3       1 finished\n"
                "  2 #9 Bea                3 +3.000      1:41.000 L1  GT3       2 finished\n"),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("\nGT3\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("\nGT4\n"), std::string::npos) << text;  // a class without cars
  // Another league that names only Bea, in GT4: Ada has no number, no class.
  ApplyLeague(*LeagueOf("kind,name,number,class,colour\n"
                        "class,GT4,,,#2e86de\n"
                        "driver,Bea,19,GT4,\n"),
              &race);
  EXPECT_FALSE(race.results[0].number);
  EXPECT_EQ(race.results[0].short_name, "");
  EXPECT_EQ(race.results[0].car_class, "");
  EXPECT_FALSE(race.results[0].class_position);
  EXPECT_EQ(race.results[1].class_position, 1);
  EXPECT_FALSE(race.results[1].class_gap);
  EXPECT_EQ(race.laps[0].car_class, "");
  EXPECT_FALSE(race.laps[0].number);
  EXPECT_EQ(race.laps.back().number, 19);
  // A league that names nobody and has no classes: the views as without one.
  ApplyLeague(*LeagueOf("kind,name\ndriver,Cy\n"), &race);
  EXPECT_EQ(ResultsText(race), plain);
}

TEST(HistoryViewsTest, TextFitsEightyColumnsAndHostileNamesStayInert) {
  SessionRecord record;
  record.summary = {.id = 4,
                    .started_unix_s = 1765000000,
                    .track = "Test Ring",
                    .kind = "race",
                    .code = 3,
                    .cars = 2,
                    .laps = 3,
                    .ended = true,
                    .winner = "x"};
  record.facts.code = 3;
  ResultRow first;
  first.position = 1;
  first.driver = "=HYPERLINK(\"http://x\") <script>alert(1)</script> with a very long name";
  first.laps = 3;
  first.total_s = 3723.5;
  first.best_lap_s = 88.25f;
  first.best_lap = 2;
  first.places_gained = 2;
  first.status = "finished";
  ResultRow second = first;
  second.position = 2;
  second.driver = "Bea\x1b[2J";
  second.gap = Gap{1, 0};
  second.places_gained = -2;
  second.status = "retired";
  record.results = {first, second};
  const std::string text = ResultsText(record);
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t end = text.find('\n', begin);
    EXPECT_LE(DisplayWidth(text.substr(begin, end - begin)), 80u)
        << text.substr(begin, end - begin);
    begin = end + 1;
  }
  EXPECT_NE(
      text.find("  1 =HYPERLINK(\"http:/    3 1:02:03.500 1:28.250 L2    0   0  +2 finished\n"),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("Bea\\x1b[2J"), std::string::npos) << text;
  EXPECT_NE(text.find("+1 L"), std::string::npos);
  const std::string csv = ResultsCsv(record);
  EXPECT_NE(csv.find("1,0,\"'=HYPERLINK(\"\"http://x\"\")"), std::string::npos) << csv;
  const std::string html = ResultsHtml(record);
  EXPECT_EQ(html.find("<script>"), std::string::npos);
  EXPECT_NE(html.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
}

TEST(HistoryViewsTest, LapsJsonCarriesEveryFieldAsTheSchemaSays) {
  SessionRecord record;
  record.summary = {.id = 2,
                    .started_unix_s = 1765000000.25,
                    .track = "Ring \"A\"",
                    .kind = "race",
                    .code = 3,
                    .cars = 2,
                    .laps = 1,
                    .ended = false,
                    .winner = ""};
  LapRecord ada;
  ada.car = 0;
  ada.driver = "Ada \x1b";
  ada.lap = 1;
  ada.lap_s = 92.125f;
  ada.sector1_s = 30.5f;
  ada.place = 1;
  ada.at_s = 95.30000001;
  ada.personal_best = ada.session_best = ada.complete = true;
  ada.stint_lap = 1;
  LapRecord bea = ada;
  bea.car = 7;
  bea.driver = "Bea";
  bea.lap_s.reset();
  bea.place = 0;
  bea.gap_to_leader = Gap{1, 0};
  bea.complete = false;
  LapRecord cy = ada;
  cy.car = 9;
  cy.driver = "Cy";
  cy.gap_to_leader = Gap{0, 0.75f};
  record.laps = {ada, bea, cy};
  const auto json = nlohmann::json::parse(LapsJson(record));
  EXPECT_EQ(json["format"], "pitwall-laps");
  EXPECT_EQ(json["session"]["track"], "Ring \"A\"");
  ASSERT_EQ(json["laps"].size(), 3u);
  const auto& first = json["laps"][0];
  EXPECT_EQ(first["driver"], "Ada \x1b");
  EXPECT_EQ(first["lap_s"].dump(), "92.125");
  EXPECT_EQ(first["sector1_s"].dump(), "30.5");
  EXPECT_TRUE(first["sector2_s"].is_null());
  EXPECT_EQ(first["at_s"].dump(), "95.3");
  EXPECT_TRUE(first["gap"].is_null());
  EXPECT_EQ(first["complete"], true);
  EXPECT_EQ(json["laps"][1]["gap"].dump(), R"({"laps":1,"seconds":null,"text":"+1 L"})");
  EXPECT_TRUE(json["laps"][1]["place"].is_null());
  EXPECT_TRUE(json["laps"][1]["lap_s"].is_null());
  EXPECT_EQ(json["laps"][2]["gap"].dump(), R"({"laps":0,"seconds":0.75,"text":"+0.750"})");
  // Only one driver's laps, by part of the name in any case.
  EXPECT_EQ(nlohmann::json::parse(LapsJson(record, "bE"))["laps"].size(), 1u);
}

}  // namespace
