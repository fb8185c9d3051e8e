// The timing state: what a timing screen reads off, built from the server's
// answers and updated with each one. Every view (tower, JSON, track picture)
// reads this state; none decodes answers or derives values itself.
//
// Derived once here: each car's driver name, place order, gap to the leader
// and interval to the car ahead (in whole laps when a lap or more behind),
// the session's fastest lap marked on its holder, pit stops counted from the
// in-pits flag, places gained since the first placed update of the session,
// finished cars and sessions, time and laps left; each sector's time and
// whether it is the session's or the car's best, the pace of the last laps,
// how the interval moves, the time in the pit lane and the laps of the
// stint, and the cars just ahead and behind on track (track_relative.h).
//
// Sector times are each sector's own. The answer carries the lap in
// progress's first two while a car is in its second or third sector, and
// the lap it completed last while it is in its first, whose third sector is
// the lap time less the other two. The bests are those of the laps the state
// saw: a client that joins mid-session knows the sectors from then on.
//
// Pit stops and places gained count from the start of the session, so they
// are known only when the state saw that start; a client that joins at lap
// 21 of 50 cannot know the stops made before it came. The state saw the
// start of a session when
// - the session began while it was taking answers (a session change after
//   its first answer, or a session answer naming another session), or
// - the first live answer that carries the session's own data (`captured`)
//   shows nothing counted yet: no placed car has completed a lap or holds a
//   best lap. In a race the field is on the grid or its opening lap; in
//   practice and qualifying nobody has completed a lap, and without lap
//   times the places still stand as the session began.
// Otherwise both counts are absent for every car until the next session.
// A client joining during a race's opening lap counts places from where the
// cars were when it joined: the grid itself is not in the answers, and a
// rule on the session clock would fail hosts that start the clock long
// before the green flag. Live answers that are not captured (the previous
// session's records, which the server keeps until the host's first update
// of the new one) are shown but change no count.
//
// Thread-safety: one thread at a time.
#ifndef PITWALL_TOOLS_CLIENT_TIMING_STATE_H_
#define PITWALL_TOOLS_CLIENT_TIMING_STATE_H_

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "pitwall_client.h"
#include "tools/league/league.h"
#include "track_relative.h"

// How far one car is behind another: whole laps, or seconds when less than
// a lap behind.
struct Gap {
  int laps = 0;          // 1 or more: `seconds` is not used
  float seconds = 0.0f;  // never negative
};

// "+1 L", "+2 L", or "+3.456".
std::string GapText(const Gap& gap);

// How a time compares: the session's best (purple on a screen), the car's
// own best (green), or slower (yellow).
enum class TimeMark { kSessionBest, kPersonalBest, kSlower };

// "session_best", "personal_best" or "slower".
const char* TimeMarkName(TimeMark mark);

struct SectorTime {
  float seconds = 0.0f;
  int lap = 0;           // the lap it belongs to, from 1
  bool current = false;  // of the lap in progress
  TimeMark mark = TimeMark::kSlower;
};

// The direction of a car's interval to the car ahead over its last laps.
struct IntervalTrend {
  enum class Direction { kClosing, kGrowing, kSteady };
  Direction direction = Direction::kSteady;
  float change_s_per_lap = 0.0f;  // negative: closing
  int laps = 0;                   // over how many laps, 1 to kTrendLaps
};

// "closing", "growing" or "steady".
const char* TrendName(IntervalTrend::Direction direction);

struct CarTiming {
  std::uint8_t index = 0;  // the host's vehicle index
  std::string driver;      // from the drivers answer; "car N" until it is known
  int place = 0;           // 0: not placed
  int laps = 0;            // laps completed
  float lap_distance_m = 0.0f;
  std::uint8_t sector = 0;
  std::optional<float> last_lap_s;  // absent until a lap is timed
  std::optional<float> best_lap_s;
  bool holds_fastest_lap = false;  // its best lap is the session's fastest
  std::optional<float> sector1_s;  // as the answer carries them, absent when not set
  std::optional<float> sector2_s;
  // In a race, laps or seconds; in practice and qualifying the best-lap
  // difference in seconds. Absent for the leader, for unplaced cars and,
  // outside a race, for cars (or a leader) without a timed lap.
  std::optional<Gap> gap_to_leader;
  std::optional<Gap> interval;  // to the car one place ahead; absent likewise
  bool in_pits = false;
  // Both absent when not known: the state did not see the session start.
  std::optional<int> pit_stops;  // times it entered the pits during this session
  // Its place at its first placed update of the session minus its place now
  // (negative: places lost); absent also while it has no place.
  std::optional<int> places_gained;
  bool finished = false;  // took the chequered flag
  std::uint8_t finish_status =
      0;  // as the host gives it: 0 running, 1 flag, 2 retired, 3 disqualified
  float time_behind_leader_s = 0.0f;  // as the answer carries it
  float x = 0.0f, z = 0.0f, heading = 0.0f;

  // What the league file says of the driver; all empty or absent for a
  // driver it does not name, or without a league.
  std::optional<int> number;
  std::string short_name;
  std::string team;
  std::string nation;
  std::string car_class;     // the class's name; empty: in no class
  std::string class_colour;  // "#rrggbb" when in a class
  // Its colour on a map, "#rrggbb": its class's, else CarColour(index).
  std::string colour;
  // Within its class, as the overall ones are within the field: the place
  // among the class's placed cars, the gap to the class leader and the
  // interval to the class's car ahead (absent for the class leader).
  std::optional<int> class_place;
  std::optional<Gap> class_gap;
  std::optional<Gap> class_interval;
  bool holds_class_fastest_lap = false;  // its best lap is its class's fastest

  // The latest time in each sector: the lap in progress's once the car is
  // past that sector, else its previous lap's; absent before either.
  std::array<std::optional<SectorTime>, 3> sectors;
  std::array<std::optional<float>, 3> best_sectors_s;  // its own best in each
  std::optional<TimeMark> last_lap_mark;               // absent without a last lap
  // The mean of its last laps (up to kPaceLaps), leaving out laps begun or
  // ended in the pit lane and a race's opening lap; absent before one.
  std::optional<float> pace_s;
  int pace_laps = 0;
  // Absent without an interval in seconds to the same car ahead at two
  // crossings of the line in a row.
  std::optional<IntervalTrend> interval_trend;
  std::optional<float> pit_lane_s;  // in the pit lane: for how long; absent when not or not known
  // Laps completed since it last left the pit lane, or since the start; in
  // the pit lane, the stint it has just ended. Absent when not known.
  std::optional<int> stint_laps;
  Relative relative;  // the cars just ahead and behind it on track; empty when not running
};

// A session's best time in one sector, and who set it.
struct SectorBest {
  float seconds = 0.0f;
  std::uint8_t index = 0;
  std::string driver;
};

// A class of the league, as it stands in the latest live answer.
struct ClassTiming {
  std::string name;
  std::string colour;                  // "#rrggbb"
  int order = 0;                       // from 1
  int cars = 0;                        // cars of the class in the answer
  std::optional<std::uint8_t> leader;  // the index of its best-placed car
  std::optional<float> fastest_lap_s;  // the best lap of any of its cars
  std::optional<std::uint8_t> fastest_lap_car;
  std::string fastest_lap_driver;
};

struct SessionTiming {
  bool known = false;  // a session answer arrived
  std::string track;
  std::int32_t code = 0;
  std::string kind;  // "practice", "qualifying", "race", or "session N" for other codes
  float lap_length_m = 0.0f;
  float current_time_s = 0.0f;
  std::optional<float> end_time_s;  // absent for a session run to a lap count only
  std::optional<float> time_left_s;
  std::optional<int> max_laps;
  std::optional<int> laps_left;  // the leader's laps still to run
  std::optional<int> lap;        // the leader's lap, 1 to max_laps, where there is a lap count
  bool finished = false;         // the leader took the flag, or the clock ran out
  bool race = false;             // the session code says race
  bool all_in = false;           // a finished race in which every placed car took the flag
  std::optional<float> fastest_lap_s;
  std::optional<std::uint8_t> fastest_lap_car;
  std::string fastest_lap_driver;
  // Every class the league defines, in its order; empty without a league.
  std::vector<ClassTiming> classes;
  std::array<std::optional<SectorBest>, 3> best_sectors;  // absent until timed
};

class TimingState {
 public:
  static constexpr int kPaceLaps = 5;   // laps a car's pace is the mean of
  static constexpr int kTrendLaps = 3;  // laps an interval's trend is taken over
  // A trend of less than this many seconds a lap either way is steady.
  static constexpr float kSteadySPerLap = 0.1f;

  // Takes one decoded answer received at `received_at_s` (any clock the
  // caller keeps, in seconds). Handshakes and track chunks change nothing.
  void Apply(const Answer& answer, double received_at_s);
  void ApplySession(const SessionAnswer& session);
  void ApplyDrivers(const DriversAnswer& drivers);
  void ApplyLive(const LiveAnswer& live, double received_at_s);
  // The league whose numbers, names and classes the cars carry from the
  // next live answer on (null: none). The cars of the latest answer are
  // derived again at once.
  void SetLeague(std::shared_ptr<const League> league);
  const std::shared_ptr<const League>& league() const { return league_; }

  const SessionTiming& session() const { return session_; }
  // Every car of the latest live answer, placed cars first in place order,
  // then unplaced ones by index.
  const std::vector<CarTiming>& cars() const { return cars_; }
  bool has_live() const { return has_live_; }
  // The latest live answer carries the current session's own data (not the
  // previous session's records, kept until the host's first update).
  bool captured() const { return captured_; }
  double received_at_s() const { return received_at_s_; }
  // Live answers taken since the state was made.
  int updates() const { return updates_; }
  // Sessions begun since the state was made: grows by one each time the
  // answers say a new session began (not for the state's first session).
  int sessions_begun() const { return sessions_begun_; }
  // Whether pit stops and places gained count from the session's start.
  bool start_seen() const { return start_ == Start::kSeen; }

 private:
  // What the state remembers of a car between answers of one session.
  struct CarMemory {
    bool seen = false;
    bool in_pits = false;
    int pit_stops = 0;
    int start_place = 0;  // 0 until first placed

    // Sector times of the lap in progress and of the one before, by lap.
    int lap = 0;  // the lap `sectors` belongs to
    std::array<std::optional<float>, 3> sectors;
    int previous_lap = 0;
    std::array<std::optional<float>, 3> previous_sectors;
    std::array<std::optional<float>, 3> best_sectors;
    // Laps counted as it completed them.
    int laps = -1;             // laps completed at its latest update; -1: none yet
    bool lap_in_pits = false;  // the lap in progress began or went in the pit lane
    std::vector<float> paced;  // the latest laps of its pace, oldest first
    struct Crossing {
      int lap = 0;
      std::uint8_t ahead = 0;
      float interval_s = 0.0f;
    };
    std::vector<Crossing> crossings;      // the latest, oldest first
    std::optional<double> pit_entered_s;  // session time it entered the pit lane, if seen
    std::optional<int> stint_from;        // laps completed as its stint began, if known
    std::optional<int> stint_laps;        // frozen in the pit lane
  };

  // Whether the counts of the current session run from its start.
  enum class Start { kUndecided, kSeen, kMissed };

  // True when `change_mask` says a session began since the previous answer
  // (every answer but a state's first; that one carries every change bit).
  bool NewSessionBegan(std::uint8_t change_mask);
  void StartNewSession();
  void Derive(const LiveAnswer& live);
  // Sectors, pace, interval trend, pit lane and stint of each car from the
  // latest answer, and the relative of each.
  void DeriveHistory(const LiveAnswer& live);
  // Takes `seconds` as the car's time in `sector` (0-2) of `lap`.
  void TakeSector(CarMemory* memory, std::uint8_t index, int lap, int sector, float seconds);
  std::string DriverName(std::uint8_t index) const;

  // The league's part of each car and the classes, from cars_.
  void DeriveClasses();

  SessionTiming session_;
  std::shared_ptr<const League> league_;
  std::map<std::uint8_t, std::string> drivers_;
  std::map<std::uint8_t, CarMemory> memory_;
  TrackRelative relative_;
  std::vector<CarTiming> cars_;
  bool has_live_ = false;
  bool captured_ = false;
  double received_at_s_ = 0.0;
  int updates_ = 0;
  int sessions_begun_ = 0;
  int answers_ = 0;  // session, drivers and live answers taken
  Start start_ = Start::kUndecided;
  // The held session answer describes the session the memory belongs to;
  // false after a change bit, until the new session's answer arrives.
  bool session_described_ = false;
};

// The colour of a car by its index, "#rrggbb": hues a golden angle apart
// at two lightnesses, so neighbouring indices get colours far apart.
std::string CarColour(std::uint8_t index);

// "practice", "qualifying", "race", or "session N".
std::string SessionKindName(std::int32_t code);

#endif  // PITWALL_TOOLS_CLIENT_TIMING_STATE_H_
