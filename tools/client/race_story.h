// The race story: what happened in a session, derived from consecutive
// timing states. A lap record at each line crossing, the pit stops, the
// events a broadcaster calls out (the start, lead changes overall and in
// each class, overtakes, pit in and out, fastest laps, retirements, the
// flag) and, on demand, the classification, overall and by class. Every view
// and the recorder read it from here.
//
// Cars carry what the league says of their driver (number, short name,
// team, nation, class) as the timing state gives it at each update; a
// league read again changes them from the next update on.
//
// The host's finish status: 0 running, 1 took the chequered flag, 2 retired
// (did not finish), 3 disqualified.
//
// What the story can know depends on what it saw. A lap is `complete` when
// the story saw the car cross the line at both its ends; a lap seen only at
// its end (the story began mid-lap, or the car crossed more than once
// between two updates) keeps the lap time the host gave and leaves out what
// needs the lap's start (whether it was an out-lap, its place at the line
// when the crossing was missed). Places and gaps at the line are read off
// the update in which the crossing shows, so their accuracy is the update
// period, as is the time in the pit lane.
//
// Sector times: the host gives each sector's own time (not running totals);
// the third is the lap time less the first two.
//
// Thread-safety: one thread at a time.
#ifndef PITWALL_TOOLS_CLIENT_RACE_STORY_H_
#define PITWALL_TOOLS_CLIENT_RACE_STORY_H_

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "timing_state.h"

inline constexpr std::uint8_t kFinishRunning = 0;
inline constexpr std::uint8_t kFinishFlag = 1;
inline constexpr std::uint8_t kFinishRetired = 2;
inline constexpr std::uint8_t kFinishDisqualified = 3;

// "1:23.456", or "59.876" under a minute.
std::string LapTimeText(double seconds);

// "running", "finished", "retired", "disqualified" (other values: "status N").
std::string FinishStatusName(std::uint8_t finish_status);

struct LapRecord {
  std::uint8_t car = 0;  // the host's vehicle index
  std::string driver;
  int lap = 0;                     // the lap completed, from 1
  std::optional<float> lap_s;      // absent when the host gave no time
  std::optional<float> sector1_s;  // each sector's own time
  std::optional<float> sector2_s;
  std::optional<float> sector3_s;
  int place = 0;                     // at the line; 0 when not placed
  std::optional<Gap> gap_to_leader;  // at the line; absent for the leader
  double at_s = 0;                   // session time of the update that showed the crossing
  bool in_lap = false;               // it entered the pit lane on this lap
  bool out_lap = false;              // it began this lap in the pit lane
  bool personal_best = false;        // its best lap so far, as this lap ended
  bool session_best = false;         // the session's fastest lap so far, as this lap ended
  int stint_lap = 0;      // laps since the last pit stop (or the start), this one included
  bool complete = false;  // both ends of the lap seen
  // The car's number and class from the league as the lap ended (the race
  // store does not keep them per lap: read back, they are the car's).
  std::optional<int> number;
  std::string car_class;
};

struct PitStop {
  std::uint8_t car = 0;
  std::string driver;
  int number = 0;                // the car's stops, from 1
  int lap = 0;                   // the lap on which it entered the pit lane
  double entry_s = 0;            // session time
  std::optional<double> exit_s;  // absent while still in the lane
  std::optional<double> lane_s;  // time in the pit lane, entry to exit
  int stint_laps = 0;            // laps of the stint that ended at this stop
};

enum class EventKind {
  kStart,
  kLeadChange,
  kOvertake,
  kPitIn,
  kPitOut,
  kFastestLap,
  kPersonalBest,
  kStopped,  // a running car not in the pits made no progress for a while
  kRetired,
  kDisqualified,
  kFinished,  // took the chequered flag
  kSessionEnd,
  kClassLeadChange,  // a car takes the lead of its class
};

// "start", "lead_change", "overtake", "pit_in", "pit_out", "fastest_lap",
// "personal_best", "stopped", "retired", "disqualified", "finished",
// "session_end", "class_lead_change".
const char* EventKindName(EventKind kind);

struct RaceEvent {
  EventKind kind = EventKind::kStart;
  double at_s = 0;                  // session time
  int lap = 0;                      // the leader's lap (1 on the opening lap); 0 before the start
  std::optional<std::uint8_t> car;  // absent for the start and the session end
  std::string driver;
  // Overtake: the car passed; lead change and class lead change: the old leader.
  std::optional<std::uint8_t> other_car;
  std::string other_driver;
  // Overtake and lead changes: the place gained (1 for the lead of a class
  // too); finished: its place.
  int place = 0;
  std::optional<double> seconds;  // pit out: time in the lane; laps: the lap time
  std::string text;  // a sentence for people, e.g. "Ada Lovelace passes Bob for P3 on lap 4."
  // Class lead change: the class; any other event about a car: the car's
  // class; empty when none.
  std::string car_class;
};

// What one update added to the story.
struct StoryUpdate {
  bool new_session = false;  // a session began: what came before belongs to the previous one
  std::vector<LapRecord> laps;
  std::vector<PitStop> pit_stops;  // stops begun or ended in this update, as they stand now
  std::vector<RaceEvent> events;
  bool empty() const { return !new_session && laps.empty() && pit_stops.empty() && events.empty(); }
};

// The last thing the story knows of a car, enough to carry on after a
// restart and to classify it.
struct CarStanding {
  std::uint8_t car = 0;
  std::string driver;
  int place = 0;        // latest; 0 when not placed
  int start_place = 0;  // at the start, when seen; else 0
  int laps = 0;         // laps completed, as the host counts them
  std::uint8_t finish_status = kFinishRunning;
  bool in_pits = false;
  std::optional<float> best_lap_s;  // of the laps recorded
  int best_lap = 0;                 // which lap that was
  int stint_laps = 0;
  int pit_stops = 0;
  int laps_led = 0;                   // laps it completed in the lead
  std::optional<double> finish_at_s;  // session time it took the flag
  std::optional<double> pit_entry_s;  // in the lane since
  int pit_entry_lap = 0;
  // What the league says of the driver, as of the latest update; empty or
  // absent when it does not name the driver, or without a league.
  std::optional<int> number;
  std::string short_name;
  std::string team;
  std::string nation;
  std::string car_class;  // empty: in no class
};

// What a session is, as the story and the recorder name it.
struct SessionFacts {
  std::string track;
  std::int32_t code = 0;
  std::string kind;
  std::optional<int> max_laps;
  std::optional<float> end_time_s;
  bool start_seen = false;          // the story saw the session begin (the grid or nothing timed)
  std::optional<double> started_s;  // race: session time of the start
  bool ended = false;
  double last_at_s = 0;  // session time of the latest update
};

// One line of the classification.
struct ResultRow {
  int position = 0;  // from 1
  std::uint8_t car = 0;
  std::string driver;
  int laps = 0;
  // Race: the sum of the lap times of a finished car whose every lap is
  // timed (a first lap from the grid is timed as the host times it).
  std::optional<double> total_s;
  // To the winner: laps behind, or on the winner's lap the host's time
  // behind the leader at the car's last crossing; to the fastest lap in
  // practice and qualifying. Absent for P1 and disqualified cars.
  std::optional<Gap> gap;
  std::optional<float> best_lap_s;
  int best_lap = 0;
  int laps_led = 0;
  int pit_stops = 0;
  std::optional<int> places_gained;  // race, when the start was seen
  std::string status;                // FinishStatusName
  // The car's league identity (CarStanding's).
  std::optional<int> number;
  std::string short_name;
  std::string team;
  std::string nation;
  std::string car_class;
  // Its place among the rows of its class, in this classification's order;
  // absent without a class.
  std::optional<int> class_position;
  // To the class's first: in a race the laps behind, or on the same lap
  // the difference of the times the two crossed the line completing it;
  // in practice and qualifying the best-lap difference. Absent for the
  // class's first, for disqualified cars, and when not known.
  std::optional<Gap> class_gap;
};

// Race: finished and running cars in the host's order, then retired cars by
// laps, then disqualified ones. Practice and qualifying: by best lap, cars
// without one last. `laps` are every lap of the session, in any order.
// The rows carry the cars' identities, and their class positions and gaps
// as ClassifyClasses gives them.
std::vector<ResultRow> Classify(const SessionFacts& session, const std::vector<CarStanding>& cars,
                                const std::vector<LapRecord>& laps);

// Fills in each row's class_position and class_gap from its car_class and
// its place in `rows`, which are in classification order (as Classify
// makes them). `laps` are every lap of the session, in any order. In a
// race, a car on its class leader's lap is behind by the difference of
// the host's times behind the race's leader as each completed that lap;
// where either was a lap or more behind the race's leader then, by the
// difference of the times of the updates that showed them cross the line
// (`at_s`), as exact as the update period.
void ClassifyClasses(std::vector<ResultRow>* rows, const std::vector<LapRecord>& laps,
                     const SessionFacts& session);

class RaceStory {
 public:
  // Seeds the story with a session recorded before, so that it carries on
  // without recording anything twice. Call before the first Update.
  void Resume(const SessionFacts& session, const std::vector<CarStanding>& cars);

  // Takes the timing state after each live answer it applied.
  StoryUpdate Update(const TimingState& state);

  const SessionFacts& session() const { return session_; }
  std::vector<CarStanding> standings() const;

 private:
  struct Car {
    CarStanding standing;
    bool seen = false;  // in an update of this session
    float lap_distance_m = 0;
    std::optional<float> running_sector1_s, running_sector2_s;  // of the lap under way
    bool lap_start_seen = false;  // the story saw the line crossing that began the lap under way
    bool lap_began_in_pits = false;
    bool entered_pits_this_lap = false;
    bool crossed = false;       // crossed the line in this update
    bool resumed = false;       // carried on from a record, not yet in an update of this story
    double still_since_s = -1;  // running, out of the pits, and not moving since; -1 moving
    bool stopped_told = false;
  };

  void BeginSession(const TimingState& state, StoryUpdate* update);
  void PitEntry(const CarTiming& now, Car* car, StoryUpdate* update);
  void Crossing(const CarTiming& now, Car* car, int laps_done, StoryUpdate* update);
  void PitExit(const CarTiming& now, Car* car, StoryUpdate* update);
  void FinishChange(const CarTiming& now, Car* car, StoryUpdate* update);
  void Passes(const TimingState& state, StoryUpdate* update);
  void ClassLeads(const TimingState& state, StoryUpdate* update);
  RaceEvent Event(EventKind kind, const CarTiming* car) const;
  int LeaderLap() const;

  SessionFacts session_;
  std::map<std::uint8_t, Car> cars_;
  std::vector<std::uint8_t> order_;  // the previous update's placed cars in place order
  // The previous update's class of each car (by index; empty: none) and
  // the leader of each class; kept only while there are classes.
  std::array<std::string, 256> classes_before_;
  std::map<std::string, std::uint8_t> class_leaders_before_;
  bool classes_kept_ = false;
  std::optional<float> fastest_lap_s_;
  int session_serial_ = -1;  // the timing state's session count this story belongs to
  bool have_previous_ = false;
  bool resumed_ = false;
};

#endif  // PITWALL_TOOLS_CLIENT_RACE_STORY_H_
