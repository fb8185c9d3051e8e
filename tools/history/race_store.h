// The race history: every session's laps, pit stops, events, cars and
// classification in one SQLite database file ("pitwall.db" by default).
//
// Schema version 2 (PRAGMA user_version; PRAGMA application_id 0x50574442,
// "PWDB", marks the file as ours). Times in seconds: `*_s` on the session
// clock, `*_unix_s` since 1970. Gaps are a whole lap count (`*gap_laps` > 0)
// or seconds (`*gap_s`). What the league said of a driver (number,
// short_name, team, nation, class) is kept on its car, its result row and,
// as the class, its events; '' or NULL when the league did not name it or
// there was none.
//
//   sessions(id, started_unix_s, updated_unix_s, track, code, kind, max_laps,
//            end_time_s, start_seen, started_s, ended, last_at_s)
//   cars(session_id, car, driver, place, start_place, laps, finish_status,
//        in_pits, best_lap_s, best_lap, stint_laps, pit_stops, laps_led,
//        finish_at_s, pit_entry_s, pit_entry_lap,
//        number, short_name, team, nation, class)   -- one row a car, kept current
//   laps(session_id, car, lap, driver, lap_s, sector1_s, sector2_s,
//        sector3_s, place, gap_laps, gap_s, at_s, in_lap, out_lap,
//        personal_best, session_best, stint_lap, complete)  -- key (session_id, car, lap)
//   pit_stops(session_id, car, number, driver, lap, entry_s, exit_s, lane_s,
//             stint_laps)                              -- key (session_id, car, number)
//   events(id, session_id, kind, at_s, lap, car, driver, other_car,
//          other_driver, place, seconds, text, class)
//   results(session_id, position, car, driver, laps, total_s, gap_laps,
//           gap_s, best_lap_s, best_lap, laps_led, pit_stops,
//           places_gained, status, number, short_name, team, nation, class,
//           class_position, class_gap_laps, class_gap_s)  -- written when a session ends
//   classes(session_id, name, colour, ord)  -- the league's classes, as last read
//
// Version 2 added the league's columns and the classes table to version 1.
// A file of an older version is brought up to date when it is opened to
// record; opened to read, it is read as it is (nothing of the league).
//
// The file is in WAL mode, and each update that brought a lap, a stop or an
// event is one transaction: a recorder killed at any moment loses at most
// the update in flight. Only one recorder writes a file at a time: a second
// is refused (the first holds a lock on "FILE.lock" beside it while it
// records); readers are never blocked.
//
// Thread-safety: one thread at a time per store; several stores (in one or
// several processes) may read the file at once.
#ifndef PITWALL_TOOLS_HISTORY_RACE_STORE_H_
#define PITWALL_TOOLS_HISTORY_RACE_STORE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "race_story.h"

inline constexpr int kRaceStoreSchemaVersion = 2;
inline constexpr char kDefaultDatabase[] = "pitwall.db";

// A session as the lists show it.
struct SessionSummary {
  std::int64_t id = 0;
  double started_unix_s = 0;
  std::string track;
  std::string kind;
  std::int32_t code = 0;
  int cars = 0;
  int laps = 0;  // the leader's laps completed (the most laps of any car)
  bool ended = false;
  std::string winner;  // race: the winner; otherwise the fastest; empty when none
};

struct StoredEvent {
  std::int64_t id = 0;
  std::int64_t session_id = 0;
  RaceEvent event;
};

// Everything kept of one session.
struct SessionRecord {
  SessionSummary summary;
  SessionFacts facts;
  std::vector<CarStanding> cars;
  std::vector<LapRecord> laps;  // by car, then lap
  std::vector<PitStop> pit_stops;
  std::vector<StoredEvent> events;  // in the order they happened
  std::vector<ResultRow> results;   // the stored classification, else worked out now
  bool provisional = true;          // the session has not ended
  // The league's classes as the recorder last saw them, in their order;
  // empty when it recorded without a league.
  std::vector<LeagueClass> classes;
};

class RaceStore {
 public:
  RaceStore();
  ~RaceStore();
  RaceStore(const RaceStore&) = delete;
  RaceStore& operator=(const RaceStore&) = delete;

  // Opens the file to record into, creating it (and its tables) when it is
  // not there, and takes the recorder's lock. False with one sentence in
  // *error naming the file and what to do.
  bool OpenForRecording(const std::string& path, std::string* error);
  // Opens an existing file to read. False with *error as above.
  bool OpenForReading(const std::string& path, std::string* error);
  void Close();
  const std::string& path() const { return path_; }

  // Writing; each false with *error after a failure that left the file as
  // it was before the call.
  // The latest session of `track` and `code` that has not ended, with its
  // cars, for a recorder that may carry it on.
  std::optional<SessionRecord> OpenSession(const std::string& track, std::int32_t code,
                                           std::string* error);
  bool BeginSession(const SessionFacts& facts, double unix_s, std::int64_t* id, std::string* error);
  // One update's laps, stops and events, the cars they name and the
  // session's facts, in one transaction. `events` receive their ids.
  // `classes` not null: the session's classes from now on, in place of
  // those saved before.
  bool Save(std::int64_t session, const SessionFacts& facts, const StoryUpdate& update,
            const std::vector<CarStanding>& cars, double unix_s, std::vector<StoredEvent>* events,
            std::string* error, const std::vector<LeagueClass>* classes = nullptr);
  // Marks the session ended and stores its classification and every car.
  bool EndSession(std::int64_t session, const SessionFacts& facts,
                  const std::vector<CarStanding>& cars, double unix_s, std::string* error);

  // Reading.
  std::vector<SessionSummary> Sessions(std::string* error);
  // `id` 0: the latest session. Absent when there is none (error empty) or
  // on failure (error set). Each lap carries its car's number and class.
  std::optional<SessionRecord> Session(std::int64_t id, std::string* error);

 private:
  struct Db;
  bool Open(const std::string& path, bool write, std::string* error);
  bool Migrate(std::string* error);
  std::string Fail(const std::string& what) const;

  std::unique_ptr<Db> db_;
  std::string path_;
};

#endif  // PITWALL_TOOLS_HISTORY_RACE_STORE_H_
