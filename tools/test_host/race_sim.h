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
// - finish status: 1 once the car has taken the chequered flag. The final
//   classification stands for a while before the race session ends.
// - time behind the leader: in a race, how long ago the leader passed the
//   point where this car is now (finished cars: how long after the winner
//   they crossed that line), never less than the car ahead's; in practice
//   and qualifying the difference of best laps (0 without one).
// - control: 0 for car 0 (the local player), 1 for the AI cars.
// - in pits: 1 while in the pit lane (practice start, one race stop each).
// - heading inputs: a = x and b = z of the unit direction of travel, so
//   atan2(a, b) is the heading.
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

struct SimOptions {
  int cars = 20;  // 0 to 255
  std::uint32_t seed = 1;
  std::vector<SessionKind> sessions = {SessionKind::kPractice, SessionKind::kQualifying,
                                       SessionKind::kRace};
  double practice_seconds = 180;
  double qualifying_seconds = 180;
  int race_laps = 5;
};

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
    int place = 0;
    double behind = 0;
  };

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
