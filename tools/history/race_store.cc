#include "race_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <functional>
#include <map>
#include <utility>

namespace {

constexpr int kApplicationId = 0x50574442;  // "PWDB"
constexpr int kBusyTimeoutMs = 2000;

// Each step takes the schema from the version before it to its own.
constexpr const char* kMigrations[] = {
    // Version 1.
    R"(CREATE TABLE sessions(
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
         status TEXT NOT NULL, PRIMARY KEY(session_id, position));)",
    // Version 2: the league's part of cars, results and events, and the
    // session's classes.
    R"(ALTER TABLE cars ADD COLUMN number INTEGER;
       ALTER TABLE cars ADD COLUMN short_name TEXT NOT NULL DEFAULT '';
       ALTER TABLE cars ADD COLUMN team TEXT NOT NULL DEFAULT '';
       ALTER TABLE cars ADD COLUMN nation TEXT NOT NULL DEFAULT '';
       ALTER TABLE cars ADD COLUMN class TEXT NOT NULL DEFAULT '';
       ALTER TABLE results ADD COLUMN number INTEGER;
       ALTER TABLE results ADD COLUMN short_name TEXT NOT NULL DEFAULT '';
       ALTER TABLE results ADD COLUMN team TEXT NOT NULL DEFAULT '';
       ALTER TABLE results ADD COLUMN nation TEXT NOT NULL DEFAULT '';
       ALTER TABLE results ADD COLUMN class TEXT NOT NULL DEFAULT '';
       ALTER TABLE results ADD COLUMN class_position INTEGER;
       ALTER TABLE results ADD COLUMN class_gap_laps INTEGER;
       ALTER TABLE results ADD COLUMN class_gap_s REAL;
       ALTER TABLE events ADD COLUMN class TEXT NOT NULL DEFAULT '';
       CREATE TABLE classes(
         session_id INTEGER NOT NULL REFERENCES sessions(id), name TEXT NOT NULL,
         colour TEXT NOT NULL, ord INTEGER NOT NULL, PRIMARY KEY(session_id, name));)",
};
constexpr int kMigrationCount = static_cast<int>(std::size(kMigrations));
static_assert(kMigrationCount == kRaceStoreSchemaVersion);

const std::map<std::string, EventKind>& EventKinds() {
  static const auto* kinds = [] {
    auto* m = new std::map<std::string, EventKind>;
    for (int k = 0; k <= static_cast<int>(EventKind::kClassLeadChange); ++k) {
      (*m)[EventKindName(static_cast<EventKind>(k))] = static_cast<EventKind>(k);
    }
    return m;
  }();
  return *kinds;
}

// A prepared statement, bound by position from 1 and read by column from 0.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  bool ok() const { return stmt_ != nullptr; }

  Statement& Bind(int i, std::int64_t v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  Statement& Bind(int i, int v) { return Bind(i, static_cast<std::int64_t>(v)); }
  Statement& Bind(int i, bool v) { return Bind(i, static_cast<std::int64_t>(v ? 1 : 0)); }
  Statement& Bind(int i, double v) {
    sqlite3_bind_double(stmt_, i, v);
    return *this;
  }
  Statement& Bind(int i, const std::string& v) {
    sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  template <typename T>
  Statement& Bind(int i, const std::optional<T>& v) {
    if (!v) {
      sqlite3_bind_null(stmt_, i);
      return *this;
    }
    if constexpr (std::is_floating_point_v<T>)
      return Bind(i, static_cast<double>(*v));
    else
      return Bind(i, static_cast<std::int64_t>(*v));
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return sqlite3_step(stmt_); }
  // Runs a statement that returns no rows and makes it ready again.
  int Run() {
    const int rc = sqlite3_step(stmt_);
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    return rc == SQLITE_ROW ? SQLITE_DONE : rc;
  }

  std::int64_t Int(int c) const { return sqlite3_column_int64(stmt_, c); }
  double Real(int c) const { return sqlite3_column_double(stmt_, c); }
  bool Null(int c) const { return sqlite3_column_type(stmt_, c) == SQLITE_NULL; }
  std::string Text(int c) const {
    const auto* t = sqlite3_column_text(stmt_, c);
    return t ? std::string(reinterpret_cast<const char*>(t),
                           static_cast<std::size_t>(sqlite3_column_bytes(stmt_, c)))
             : std::string();
  }
  std::optional<double> MaybeReal(int c) const {
    return Null(c) ? std::nullopt : std::optional<double>(Real(c));
  }
  std::optional<float> MaybeFloat(int c) const {
    return Null(c) ? std::nullopt : std::optional<float>(static_cast<float>(Real(c)));
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

std::optional<Gap> GapFrom(const Statement& s, int laps_column) {
  if (!s.Null(laps_column) && s.Int(laps_column) > 0) {
    return Gap{static_cast<int>(s.Int(laps_column)), 0.0f};
  }
  if (!s.Null(laps_column + 1)) return Gap{0, static_cast<float>(s.Real(laps_column + 1))};
  return std::nullopt;
}
std::optional<int> GapLaps(const std::optional<Gap>& gap) {
  return gap ? std::optional<int>(gap->laps) : std::nullopt;
}
std::optional<float> GapSeconds(const std::optional<Gap>& gap) {
  return gap && gap->laps == 0 ? std::optional<float>(gap->seconds) : std::nullopt;
}

}  // namespace

struct RaceStore::Db {
  sqlite3* handle = nullptr;
  sqlite3* lock = nullptr;                // the recorder's lock file, held open while recording
  int version = kRaceStoreSchemaVersion;  // of the file; older only when read as it is
  ~Db() {
    sqlite3_close_v2(handle);
    sqlite3_close_v2(lock);
  }
  bool Exec(const char* sql) {
    return sqlite3_exec(handle, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  }
};

RaceStore::RaceStore() = default;
RaceStore::~RaceStore() = default;

void RaceStore::Close() { db_.reset(); }

std::string RaceStore::Fail(const std::string& what) const {
  const char* reason = db_ && db_->handle ? sqlite3_errmsg(db_->handle) : "not open";
  const int code = db_ && db_->handle ? sqlite3_errcode(db_->handle) : SQLITE_MISUSE;
  std::string advice;
  switch (code & 0xff) {
    case SQLITE_FULL:
      advice = "; the disk is full: free some space";
      break;
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
      advice =
          "; the file or its folder cannot be written: give --db a file in a folder you can write";
      break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      advice = "; another program holds it locked: try again when it is done";
      break;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      advice = "; the file is damaged or not a database: give --db another file";
      break;
    default:
      break;
  }
  return path_ + ": " + what + " failed (" + reason + ")" + advice;
}

bool RaceStore::OpenForRecording(const std::string& path, std::string* error) {
  if (!Open(path, true, error)) return false;
  // The lock: an exclusive transaction on a file of its own, held until the
  // store closes or the process ends, however it ends.
  const std::string lock_path = path + ".lock";
  if (sqlite3_open_v2(lock_path.c_str(), &db_->lock,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK ||
      sqlite3_exec(db_->lock, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;", nullptr, nullptr,
                   nullptr) != SQLITE_OK) {
    const int code = db_->lock ? sqlite3_errcode(db_->lock) : SQLITE_CANTOPEN;
    *error = (code & 0xff) == SQLITE_BUSY
                 ? path + " is being recorded by another pitwall (it holds " + lock_path +
                       "): stop that one, or give this one another --db FILE"
                 : "cannot take the lock " + lock_path + " (" +
                       (db_->lock ? sqlite3_errmsg(db_->lock) : "out of memory") +
                       "): give --db a file in a folder you can write";
    Close();
    return false;
  }
  return true;
}

bool RaceStore::OpenForReading(const std::string& path, std::string* error) {
  return Open(path, false, error);
}

bool RaceStore::Open(const std::string& path, bool write, std::string* error) {
  Close();
  path_ = path;
  db_ = std::make_unique<Db>();
  const int flags = (write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) |
                    SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db_->handle, flags, nullptr) != SQLITE_OK) {
    *error = write ? Fail("opening it to record")
                   : path + ": no race history there (" + sqlite3_errmsg(db_->handle) +
                         "); record one with 'pitwall record' or give --db FILE";
    Close();
    return false;
  }
  sqlite3_busy_timeout(db_->handle, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db_->handle, 0);
  // A session's laps are read in (car, lap) order through the key's index
  // while the rows lie in the order they were recorded: with SQLite's
  // default 2 MiB cache a long race reads each page again for every car.
  // Pages are only allocated as they are read.
  db_->Exec("PRAGMA cache_size=-65536");
  if (!Migrate(error) ||
      (write && !db_->Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"))) {
    if (error->empty()) *error = Fail("setting it up");
    Close();
    return false;
  }
  return true;
}

// Checks that the file is ours and of a version this program reads; brings
// an older one (or a new, empty file) up to date.
bool RaceStore::Migrate(std::string* error) {
  error->clear();
  Statement header(db_->handle,
                   "SELECT (SELECT application_id FROM pragma_application_id), "
                   "(SELECT user_version FROM pragma_user_version), "
                   "(SELECT count(*) FROM sqlite_schema)");
  if (!header.ok() || header.Step() != SQLITE_ROW) {
    *error = Fail("reading it");
    return false;
  }
  const std::int64_t application = header.Int(0);
  const std::int64_t version = header.Int(1);
  const std::int64_t objects = header.Int(2);
  if (application != kApplicationId && !(application == 0 && objects == 0)) {
    *error = path_ + " is not a pitwall race history (it holds other data); give --db another file";
    return false;
  }
  if (version > kRaceStoreSchemaVersion) {
    *error = path_ + " was written by a newer pitwall (schema " + std::to_string(version) +
             "; this one reads up to " + std::to_string(kRaceStoreSchemaVersion) +
             "): update pitwall, or give --db another file";
    return false;
  }
  db_->version = static_cast<int>(version);
  if (version == kRaceStoreSchemaVersion) return true;
  // A reader takes an older file as it is, and leaves it so.
  if (sqlite3_db_readonly(db_->handle, "main") == 1 && version >= 1) return true;
  if (sqlite3_db_readonly(db_->handle, "main") == 1) {
    *error = path_ + " holds an older schema (" + std::to_string(version) +
             "): record into it once with this pitwall to bring it up to date";
    return false;
  }
  if (!db_->Exec("BEGIN IMMEDIATE")) {
    *error = Fail("updating its schema");
    return false;
  }
  bool ok = true;
  for (int step = static_cast<int>(version); ok && step < kMigrationCount; ++step) {
    ok = db_->Exec(kMigrations[step]);
  }
  const std::string set = "PRAGMA application_id=" + std::to_string(kApplicationId) +
                          "; PRAGMA user_version=" + std::to_string(kRaceStoreSchemaVersion);
  ok = ok && db_->Exec(set.c_str()) && db_->Exec("COMMIT");
  if (!ok) {
    *error = Fail("updating its schema");
    db_->Exec("ROLLBACK");
    return false;
  }
  db_->version = kRaceStoreSchemaVersion;
  return true;
}

namespace {

void SaveCar(Statement* s, std::int64_t session, const CarStanding& c) {
  s->Bind(1, session).Bind(2, static_cast<int>(c.car)).Bind(3, c.driver).Bind(4, c.place);
  s->Bind(5, c.start_place).Bind(6, c.laps).Bind(7, static_cast<int>(c.finish_status));
  s->Bind(8, c.in_pits).Bind(9, c.best_lap_s).Bind(10, c.best_lap).Bind(11, c.stint_laps);
  s->Bind(12, c.pit_stops).Bind(13, c.laps_led).Bind(14, c.finish_at_s).Bind(15, c.pit_entry_s);
  s->Bind(16, c.pit_entry_lap).Bind(17, c.number).Bind(18, c.short_name).Bind(19, c.team);
  s->Bind(20, c.nation).Bind(21, c.car_class);
}

constexpr char kSaveCar[] =
    "INSERT OR REPLACE INTO cars VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,?15,?16,"
    "?17,?18,?19,?20,?21)";
constexpr char kSaveFacts[] =
    "UPDATE sessions SET updated_unix_s=?2, max_laps=?3, end_time_s=?4, start_seen=?5, "
    "started_s=?6, ended=?7, last_at_s=?8, track=?9, kind=?10 WHERE id=?1";

void BindFacts(Statement* s, std::int64_t session, const SessionFacts& f, double unix_s) {
  s->Bind(1, session).Bind(2, unix_s).Bind(3, f.max_laps).Bind(4, f.end_time_s);
  s->Bind(5, f.start_seen).Bind(6, f.started_s).Bind(7, f.ended).Bind(8, f.last_at_s);
  s->Bind(9, f.track).Bind(10, f.kind);
}

}  // namespace

bool RaceStore::BeginSession(const SessionFacts& facts, double unix_s, std::int64_t* id,
                             std::string* error) {
  Statement insert(db_->handle,
                   "INSERT INTO sessions(started_unix_s, updated_unix_s, track, code, kind, "
                   "max_laps, end_time_s, start_seen, started_s, ended, last_at_s) "
                   "VALUES(?1,?1,?2,?3,?4,?5,?6,?7,?8,?9,?10)");
  insert.Bind(1, unix_s).Bind(2, facts.track).Bind(3, facts.code).Bind(4, facts.kind);
  insert.Bind(5, facts.max_laps).Bind(6, facts.end_time_s).Bind(7, facts.start_seen);
  insert.Bind(8, facts.started_s).Bind(9, facts.ended).Bind(10, facts.last_at_s);
  if (!insert.ok() || insert.Run() != SQLITE_DONE) {
    *error = Fail("starting a session in it");
    return false;
  }
  *id = sqlite3_last_insert_rowid(db_->handle);
  return true;
}

bool RaceStore::Save(std::int64_t session, const SessionFacts& facts, const StoryUpdate& update,
                     const std::vector<CarStanding>& cars, double unix_s,
                     std::vector<StoredEvent>* events, std::string* error,
                     const std::vector<LeagueClass>* classes) {
  events->clear();
  if (!db_->Exec("BEGIN IMMEDIATE")) {
    *error = Fail("saving an update");
    return false;
  }
  bool ok = true;
  {
    Statement lap(db_->handle,
                  "INSERT OR IGNORE INTO laps VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,"
                  "?14,?15,?16,?17,?18)");
    for (const LapRecord& l : update.laps) {
      lap.Bind(1, session).Bind(2, static_cast<int>(l.car)).Bind(3, l.lap).Bind(4, l.driver);
      lap.Bind(5, l.lap_s).Bind(6, l.sector1_s).Bind(7, l.sector2_s).Bind(8, l.sector3_s);
      lap.Bind(9, l.place).Bind(10, GapLaps(l.gap_to_leader)).Bind(11, GapSeconds(l.gap_to_leader));
      lap.Bind(12, l.at_s).Bind(13, l.in_lap).Bind(14, l.out_lap).Bind(15, l.personal_best);
      lap.Bind(16, l.session_best).Bind(17, l.stint_lap).Bind(18, l.complete);
      ok = ok && lap.ok() && lap.Run() == SQLITE_DONE;
    }
    Statement stop(db_->handle,
                   "INSERT OR REPLACE INTO pit_stops VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9)");
    for (const PitStop& p : update.pit_stops) {
      stop.Bind(1, session).Bind(2, static_cast<int>(p.car)).Bind(3, p.number).Bind(4, p.driver);
      stop.Bind(5, p.lap).Bind(6, p.entry_s).Bind(7, p.exit_s).Bind(8, p.lane_s);
      stop.Bind(9, p.stint_laps);
      ok = ok && stop.ok() && stop.Run() == SQLITE_DONE;
    }
    Statement event(db_->handle,
                    "INSERT INTO events(session_id, kind, at_s, lap, car, driver, other_car, "
                    "other_driver, place, seconds, text, class) "
                    "VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12)");
    for (const RaceEvent& e : update.events) {
      event.Bind(1, session).Bind(2, std::string(EventKindName(e.kind))).Bind(3, e.at_s);
      event.Bind(4, e.lap).Bind(5, e.car).Bind(6, e.driver).Bind(7, e.other_car);
      event.Bind(8, e.other_driver).Bind(9, e.place).Bind(10, e.seconds).Bind(11, e.text);
      event.Bind(12, e.car_class);
      ok = ok && event.ok() && event.Run() == SQLITE_DONE;
      if (ok) events->push_back({sqlite3_last_insert_rowid(db_->handle), session, e});
    }
    Statement car(db_->handle, kSaveCar);
    for (const CarStanding& c : cars) {
      SaveCar(&car, session, c);
      ok = ok && car.ok() && car.Run() == SQLITE_DONE;
    }
    if (classes != nullptr) {
      Statement clear(db_->handle, "DELETE FROM classes WHERE session_id=?1");
      clear.Bind(1, session);
      ok = ok && clear.ok() && clear.Run() == SQLITE_DONE;
      Statement add(db_->handle, "INSERT OR REPLACE INTO classes VALUES(?1,?2,?3,?4)");
      for (const LeagueClass& c : *classes) {
        add.Bind(1, session).Bind(2, c.name).Bind(3, c.colour).Bind(4, c.order);
        ok = ok && add.ok() && add.Run() == SQLITE_DONE;
      }
    }
    Statement f(db_->handle, kSaveFacts);
    BindFacts(&f, session, facts, unix_s);
    ok = ok && f.ok() && f.Run() == SQLITE_DONE;
  }
  if (ok && db_->Exec("COMMIT")) return true;
  *error = Fail("saving an update");
  db_->Exec("ROLLBACK");
  events->clear();
  return false;
}

bool RaceStore::EndSession(std::int64_t session, const SessionFacts& facts,
                           const std::vector<CarStanding>& cars, double unix_s,
                           std::string* error) {
  std::string read_error;
  std::optional<SessionRecord> record = Session(session, &read_error);
  if (!record) {
    *error = read_error.empty() ? Fail("ending a session") : read_error;
    return false;
  }
  SessionFacts ended = facts;
  ended.ended = true;
  const std::vector<ResultRow> rows = Classify(ended, cars, record->laps);
  if (!db_->Exec("BEGIN IMMEDIATE")) {
    *error = Fail("ending a session");
    return false;
  }
  bool ok = true;
  {
    Statement clear(db_->handle, "DELETE FROM results WHERE session_id=?1");
    clear.Bind(1, session);
    ok = clear.ok() && clear.Run() == SQLITE_DONE;
    Statement row(db_->handle,
                  "INSERT INTO results VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,?15,"
                  "?16,?17,?18,?19,?20,?21,?22)");
    for (const ResultRow& r : rows) {
      row.Bind(1, session).Bind(2, r.position).Bind(3, static_cast<int>(r.car)).Bind(4, r.driver);
      row.Bind(5, r.laps).Bind(6, r.total_s).Bind(7, GapLaps(r.gap)).Bind(8, GapSeconds(r.gap));
      row.Bind(9, r.best_lap_s).Bind(10, r.best_lap).Bind(11, r.laps_led).Bind(12, r.pit_stops);
      row.Bind(13, r.places_gained).Bind(14, r.status).Bind(15, r.number).Bind(16, r.short_name);
      row.Bind(17, r.team).Bind(18, r.nation).Bind(19, r.car_class).Bind(20, r.class_position);
      row.Bind(21, GapLaps(r.class_gap)).Bind(22, GapSeconds(r.class_gap));
      ok = ok && row.ok() && row.Run() == SQLITE_DONE;
    }
    Statement car(db_->handle, kSaveCar);
    for (const CarStanding& c : cars) {
      SaveCar(&car, session, c);
      ok = ok && car.ok() && car.Run() == SQLITE_DONE;
    }
    Statement f(db_->handle, kSaveFacts);
    BindFacts(&f, session, ended, unix_s);
    ok = ok && f.ok() && f.Run() == SQLITE_DONE;
  }
  if (ok && db_->Exec("COMMIT")) return true;
  *error = Fail("ending a session");
  db_->Exec("ROLLBACK");
  return false;
}

std::optional<SessionRecord> RaceStore::OpenSession(const std::string& track, std::int32_t code,
                                                    std::string* error) {
  Statement find(db_->handle,
                 "SELECT id FROM sessions WHERE track=?1 AND code=?2 AND ended=0 "
                 "ORDER BY id DESC LIMIT 1");
  find.Bind(1, track).Bind(2, code);
  if (!find.ok()) {
    *error = Fail("reading it");
    return std::nullopt;
  }
  if (find.Step() != SQLITE_ROW) return std::nullopt;
  return Session(find.Int(0), error);
}

namespace {

constexpr char kSummaries[] =
    "SELECT s.id, s.started_unix_s, s.track, s.kind, s.code, s.ended, "
    "(SELECT count(*) FROM cars c WHERE c.session_id=s.id), "
    "(SELECT coalesce(max(c.laps), 0) FROM cars c WHERE c.session_id=s.id) "
    "FROM sessions s";

SessionSummary SummaryFrom(const Statement& s) {
  SessionSummary summary;
  summary.id = s.Int(0);
  summary.started_unix_s = s.Real(1);
  summary.track = s.Text(2);
  summary.kind = s.Text(3);
  summary.code = static_cast<std::int32_t>(s.Int(4));
  summary.ended = s.Int(5) != 0;
  summary.cars = static_cast<int>(s.Int(6));
  summary.laps = static_cast<int>(s.Int(7));
  return summary;
}

}  // namespace

std::vector<SessionSummary> RaceStore::Sessions(std::string* error) {
  std::vector<SessionSummary> out;
  Statement s(db_->handle, (std::string(kSummaries) + " ORDER BY s.id DESC").c_str());
  if (!s.ok()) {
    *error = Fail("reading it");
    return out;
  }
  while (s.Step() == SQLITE_ROW) out.push_back(SummaryFrom(s));
  // The winner, or the fastest, from the classification.
  for (SessionSummary& summary : out) {
    std::string ignored;
    Statement w(db_->handle, "SELECT driver FROM results WHERE session_id=?1 AND position=1");
    w.Bind(1, summary.id);
    if (w.ok() && w.Step() == SQLITE_ROW) {
      summary.winner = w.Text(0);
    } else if (const auto record = Session(summary.id, &ignored);
               record && !record->results.empty()) {
      const ResultRow& first = record->results.front();
      if (first.best_lap_s || summary.code == 3) summary.winner = first.driver;
    }
  }
  return out;
}

std::optional<SessionRecord> RaceStore::Session(std::int64_t id, std::string* error) {
  error->clear();
  if (id == 0) {
    Statement latest(db_->handle, "SELECT max(id) FROM sessions");
    if (!latest.ok() || latest.Step() != SQLITE_ROW) {
      *error = Fail("reading it");
      return std::nullopt;
    }
    if (latest.Null(0)) return std::nullopt;
    id = latest.Int(0);
  }
  Statement s(db_->handle, (std::string(kSummaries) + " WHERE s.id=?1").c_str());
  Statement f(db_->handle,
              "SELECT max_laps, end_time_s, start_seen, started_s, ended, last_at_s "
              "FROM sessions WHERE id=?1");
  if (!s.ok() || !f.ok()) {
    *error = Fail("reading it");
    return std::nullopt;
  }
  s.Bind(1, id);
  f.Bind(1, id);
  if (s.Step() != SQLITE_ROW || f.Step() != SQLITE_ROW) return std::nullopt;
  SessionRecord r;
  r.summary = SummaryFrom(s);
  r.facts.track = r.summary.track;
  r.facts.code = r.summary.code;
  r.facts.kind = r.summary.kind;
  if (!f.Null(0)) r.facts.max_laps = static_cast<int>(f.Int(0));
  r.facts.end_time_s = f.MaybeFloat(1);
  r.facts.start_seen = f.Int(2) != 0;
  r.facts.started_s = f.MaybeReal(3);
  r.facts.ended = f.Int(4) != 0;
  r.facts.last_at_s = f.Real(5);
  r.provisional = !r.facts.ended;

  Statement cars(db_->handle, "SELECT * FROM cars WHERE session_id=?1 ORDER BY car");
  Statement laps(db_->handle, "SELECT * FROM laps WHERE session_id=?1 ORDER BY car, lap");
  Statement stops(db_->handle, "SELECT * FROM pit_stops WHERE session_id=?1 ORDER BY entry_s, car");
  Statement events(db_->handle, "SELECT * FROM events WHERE session_id=?1 ORDER BY id");
  Statement results(db_->handle, "SELECT * FROM results WHERE session_id=?1 ORDER BY position");
  if (!cars.ok() || !laps.ok() || !stops.ok() || !events.ok() || !results.ok()) {
    *error = Fail("reading it");
    return std::nullopt;
  }
  for (Statement* q : {&cars, &laps, &stops, &events, &results}) q->Bind(1, id);
  // A file of version 1, read as it is, has none of the league's columns.
  const bool league_columns = db_->version >= 2;
  while (cars.Step() == SQLITE_ROW) {
    CarStanding c;
    c.car = static_cast<std::uint8_t>(cars.Int(1));
    c.driver = cars.Text(2);
    c.place = static_cast<int>(cars.Int(3));
    c.start_place = static_cast<int>(cars.Int(4));
    c.laps = static_cast<int>(cars.Int(5));
    c.finish_status = static_cast<std::uint8_t>(cars.Int(6));
    c.in_pits = cars.Int(7) != 0;
    c.best_lap_s = cars.MaybeFloat(8);
    c.best_lap = static_cast<int>(cars.Int(9));
    c.stint_laps = static_cast<int>(cars.Int(10));
    c.pit_stops = static_cast<int>(cars.Int(11));
    c.laps_led = static_cast<int>(cars.Int(12));
    c.finish_at_s = cars.MaybeReal(13);
    c.pit_entry_s = cars.MaybeReal(14);
    c.pit_entry_lap = static_cast<int>(cars.Int(15));
    if (league_columns) {
      if (!cars.Null(16)) c.number = static_cast<int>(cars.Int(16));
      c.short_name = cars.Text(17);
      c.team = cars.Text(18);
      c.nation = cars.Text(19);
      c.car_class = cars.Text(20);
    }
    r.cars.push_back(std::move(c));
  }
  // A lap's number and class are its car's.
  std::map<std::uint8_t, const CarStanding*> car_of;
  for (const CarStanding& c : r.cars) car_of[c.car] = &c;
  while (laps.Step() == SQLITE_ROW) {
    LapRecord l;
    l.car = static_cast<std::uint8_t>(laps.Int(1));
    l.lap = static_cast<int>(laps.Int(2));
    l.driver = laps.Text(3);
    l.lap_s = laps.MaybeFloat(4);
    l.sector1_s = laps.MaybeFloat(5);
    l.sector2_s = laps.MaybeFloat(6);
    l.sector3_s = laps.MaybeFloat(7);
    l.place = static_cast<int>(laps.Int(8));
    l.gap_to_leader = GapFrom(laps, 9);
    l.at_s = laps.Real(11);
    l.in_lap = laps.Int(12) != 0;
    l.out_lap = laps.Int(13) != 0;
    l.personal_best = laps.Int(14) != 0;
    l.session_best = laps.Int(15) != 0;
    l.stint_lap = static_cast<int>(laps.Int(16));
    l.complete = laps.Int(17) != 0;
    if (const auto it = car_of.find(l.car); it != car_of.end()) {
      l.number = it->second->number;
      l.car_class = it->second->car_class;
    }
    r.laps.push_back(std::move(l));
  }
  while (stops.Step() == SQLITE_ROW) {
    PitStop p;
    p.car = static_cast<std::uint8_t>(stops.Int(1));
    p.number = static_cast<int>(stops.Int(2));
    p.driver = stops.Text(3);
    p.lap = static_cast<int>(stops.Int(4));
    p.entry_s = stops.Real(5);
    p.exit_s = stops.MaybeReal(6);
    p.lane_s = stops.MaybeReal(7);
    p.stint_laps = static_cast<int>(stops.Int(8));
    r.pit_stops.push_back(std::move(p));
  }
  const auto& kinds = EventKinds();
  while (events.Step() == SQLITE_ROW) {
    StoredEvent stored;
    stored.id = events.Int(0);
    stored.session_id = events.Int(1);
    RaceEvent& e = stored.event;
    const auto kind = kinds.find(events.Text(2));
    if (kind == kinds.end()) continue;  // a kind this program does not know
    e.kind = kind->second;
    e.at_s = events.Real(3);
    e.lap = static_cast<int>(events.Int(4));
    if (!events.Null(5)) e.car = static_cast<std::uint8_t>(events.Int(5));
    e.driver = events.Text(6);
    if (!events.Null(7)) e.other_car = static_cast<std::uint8_t>(events.Int(7));
    e.other_driver = events.Text(8);
    e.place = static_cast<int>(events.Int(9));
    e.seconds = events.MaybeReal(10);
    e.text = events.Text(11);
    if (league_columns) e.car_class = events.Text(12);
    r.events.push_back(std::move(stored));
  }
  while (results.Step() == SQLITE_ROW) {
    ResultRow row;
    row.position = static_cast<int>(results.Int(1));
    row.car = static_cast<std::uint8_t>(results.Int(2));
    row.driver = results.Text(3);
    row.laps = static_cast<int>(results.Int(4));
    row.total_s = results.MaybeReal(5);
    row.gap = GapFrom(results, 6);
    row.best_lap_s = results.MaybeFloat(8);
    row.best_lap = static_cast<int>(results.Int(9));
    row.laps_led = static_cast<int>(results.Int(10));
    row.pit_stops = static_cast<int>(results.Int(11));
    if (!results.Null(12)) row.places_gained = static_cast<int>(results.Int(12));
    row.status = results.Text(13);
    if (league_columns) {
      if (!results.Null(14)) row.number = static_cast<int>(results.Int(14));
      row.short_name = results.Text(15);
      row.team = results.Text(16);
      row.nation = results.Text(17);
      row.car_class = results.Text(18);
      if (!results.Null(19)) row.class_position = static_cast<int>(results.Int(19));
      row.class_gap = GapFrom(results, 20);
    }
    r.results.push_back(std::move(row));
  }
  if (league_columns) {
    Statement classes(
        db_->handle,
        "SELECT name, colour, ord FROM classes WHERE session_id=?1 ORDER BY ord, name");
    if (!classes.ok()) {
      *error = Fail("reading it");
      return std::nullopt;
    }
    classes.Bind(1, id);
    while (classes.Step() == SQLITE_ROW) {
      r.classes.push_back({classes.Text(0), classes.Text(1), static_cast<int>(classes.Int(2))});
    }
  }
  if (r.results.empty()) r.results = Classify(r.facts, r.cars, r.laps);
  return r;
}
