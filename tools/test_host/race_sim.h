// A simulated race weekend on one track: practice, qualifying and a race,
// each car with its own pace and small lap-to-lap variation. Everything the
// plug-in reads is consistent with the motion: lap distance, x/z position
// and heading inputs, sectors and sector times, places, gaps, best and last
// laps, pit stops and the finish. A seed fixes every random choice, so the
// same options give the same race on every run.
//
// What the fields hold (the host's conventions, as this simulator uses them):
// - session: 1 practice, 2 qualifying, 3 race; current and end time in
//   seconds of the session; maximum laps is the race distance (0 otherwise).
// - sector byte: 1 and 2 for the first two thirds of the lap, 0 for the last.
// - sector times: pair A holds the last completed lap's first and second
//   sector times (shown while in sector 1), pair B the running lap's (shown
//   in sectors 2 and 3); -1 where there is none yet. Last and best lap: -1
//   until set.
// - finish status: 0 running, 1 once the car has taken the chequered flag,
//   2 retired, 3 disqualified. The final classification stands for a while
//   before the race session ends.
// - time behind the leader: in a race, how long ago the leader passed the
//   point where this car is now (finished cars: how long after the winner
//   they crossed that line), never less than the car ahead's; in practice
//   and qualifying the difference of best laps (0 without one).
// - control: 0 for car 0 (the local player), 1 for the AI cars.
// - in pits: 1 while in the pit lane (practice start, one race stop each).
//   The pit lane runs from the line to the car's box, so a car enters it in
//   the update that shows the lap it completed, and leaves it at the box.
// - heading inputs: a = x and b = z of the unit direction of travel, so
//   atan2(a, b) is the heading.
//
// Scenarios (SimOptions, each applied to every race of the weekend; laps
// count from 1, the lap under way after the start is lap 1):
// - a retiring car stops on track partway through its lap, stays at that
//   lap distance out of the pits, and some seconds later is given status 2.
// - a disqualified car is given status 3 as it completes the lap, turns
//   into the pit lane there and parks in its box (in pits 1 from then on),
//   its laps frozen: a host takes a black-flagged car off the track.
// - a car stopped on track stays where it stopped to the end, status 0.
// - retired and disqualified cars are placed behind every car still in the
//   race, retired ones first; a stopped car keeps its place by distance.
// - a forced stop enters the pit lane on the lap named (at the line that
//   completes the lap before it).
// - a car whose box is at the line enters the pit lane shortly before the
//   line, stops just before it, and leaves the pit lane as it crosses the
//   line: its exit and its lap count change in the same update.
// - a slow car's typical lap is its usual one times the factor.
// - a two-class field: the first `faster_class_cars` cars (by vehicle
//   index) race at the usual pace, the rest of the field is a slower class
//   whose typical laps are kSlowerClassPace times as long, the field's
//   backmarker the slowest of that class. The grid is by vehicle index, so
//   the faster class starts ahead. On the sample track (laps of about 2:15)
//   the overall leader laps the slower class's slowest cars in twelve laps.
// - cars wait on the grid for the grid time before the race starts.
#ifndef PITWALL_TOOLS_TEST_HOST_RACE_SIM_H_
#define PITWALL_TOOLS_TEST_HOST_RACE_SIM_H_

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "pitwall/scoring_record.h"
#include "tools/test_host/host_sink.h"
#include "tools/test_host/track_path.h"

enum class SessionKind { kPractice = 1, kQualifying = 2, kRace = 3 };

// A car (its vehicle index) and a race lap, from 1.
struct CarLap {
  int car = 0;
  int lap = 1;
};

struct ForcedStop {
  int car = 0;
  int lap = 1;          // the lap on which it enters the pit lane
  double seconds = -1;  // standing in the box; negative: the car's usual stop
};

// A slower class's typical lap against the faster class's.
inline constexpr double kSlowerClassPace = 1.07;

struct SlowCar {
  int car = 0;
  double factor = 1;
};

struct SimOptions {
  int cars = 20;  // 0 to 255
  std::uint32_t seed = 1;
  std::vector<SessionKind> sessions = {SessionKind::kPractice, SessionKind::kQualifying,
                                       SessionKind::kRace};
  double practice_seconds = 180;
  double qualifying_seconds = 180;
  int race_laps = 5;
  // After the leader's flag the race waits this long for the other cars,
  // then the final classification stands for `classification_hold_seconds`.
  double race_overrun_seconds = 240;
  double classification_hold_seconds = 90;
  double grid_seconds = 0;  // on the grid before the start
  std::vector<CarLap> retire = {};
  std::vector<CarLap> disqualify = {};
  std::vector<CarLap> stop_on_track = {};
  std::vector<ForcedStop> pit_stops = {};
  std::vector<int> pit_exit_at_line = {};  // cars whose box is at the line
  std::vector<SlowCar> slow = {};
  int faster_class_cars = 0;  // 0: one class; else the faster class, from car 0
};

// Reads `text`, the cars of a two-class field as "A:B" (the faster class's
// cars, then the slower one's, each at least 1, together at most 255), into
// options->cars and options->faster_class_cars. `cars_given`: --cars was
// given, with the value in options->cars, which A+B must then equal.
// Returns the mistake as a message ("--classes: '...': ..."), or empty.
std::string ReadClasses(const std::string& text, bool cars_given, SimOptions* options);

class RaceSimulation {
 public:
  // `path` must outlive the simulation.
  RaceSimulation(const TrackPath& path, std::string track_name, const SimOptions& options);

  // Advances `dt` seconds of simulated time and reports to `sink`: a
  // session start when a session begins, one scoring update, and a session
  // end when the session is over. Returns false once every session has
  // ended (nothing is reported then).
  bool Advance(double dt, HostSink* sink);

  bool finished() const { return session_index_ >= options_.sessions.size(); }
  SessionKind session() const { return options_.sessions[session_index_]; }
  double session_time() const { return time_; }

 private:
  struct Car {
    std::string driver;
    double base_lap = 0;      // seconds, this driver's typical lap
    double lap_time = 0;      // this lap's pace
    double lateral = 0;       // metres left of the racing line
    double distance = 0;      // into the current lap
    int laps = 0;             // completed laps
    double lap_start = 0;     // session time the lap began
    double s1 = -1, s2 = -1;  // running lap's sector times
    double last_s1 = -1, last_s2 = -1, last_lap = -1, best_lap = -1;
    double pit_until = -1;       // in the pits until this session time
    int pit_lap = -1;            // race lap on which it stops
    double stop_seconds = 0;     // how long that stop takes
    double pit_box = 0;          // metres past the line where it stops
    std::vector<double> passed;  // session time it passed each timing point of the race
    bool finished = false;
    double finish_time = 0;
    std::int8_t out = 0;        // 2 retired, 3 disqualified; 0 still in the race
    int dq_lap = -1;            // disqualified as it completes this lap
    int stop_lap = -1;          // stops on track during this lap
    double stop_at = 0;         // metres into that lap
    double retire_after = -1;   // seconds from the stop to retirement; -1 never
    double stopped_since = -1;  // session time it stopped on track; -1 moving
    bool box_at_line = false;   // its pit stop ends at the line
    bool in_lane = false;       // in the pit lane of a box at the line, or disqualified
    int place = 0;
    double behind = 0;
  };

  // Puts the scenario options on the cars they name.
  void ApplyScenarios();
  void StartSession();
  // Metres covered since the start of the race (the grid counts from 0).
  double RaceDistance(const Car& car) const;
  // Notes when a car passed the timing points it covered in a step.
  void RecordPassing(Car* car, double from_m, double to_m, double t0, double t1);
  // The session time `leader` passed `distance_m` of the race.
  double PassedAt(const Car& leader, double distance_m) const;
  void MoveCar(Car* car, double dt);
  void CompleteLap(Car* car, double at);
  void RankCars();
  bool SessionOver() const;
  void Fill();
  double Uniform(double lo, double hi);

  const TrackPath& path_;
  const std::string track_name_;
  const SimOptions options_;
  std::mt19937 rng_;
  // The scenarios' own choices, apart from rng_ so that a race without
  // scenarios is the same as before they existed.
  std::mt19937 scenario_rng_;
  const double timing_step_;  // metres between timing points
  std::vector<Car> cars_;
  std::size_t session_index_ = 0;
  bool started_ = false;
  double time_ = 0;
  bool flag_ = false;  // the leader has finished the race
  double flag_time_ = 0;
  double over_time_ = -1;  // when every car was in (or the overrun ran out); -1 before
  ScoringRecordWriter writer_;
};

#endif  // PITWALL_TOOLS_TEST_HOST_RACE_SIM_H_
