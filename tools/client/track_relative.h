// Where the cars are on track relative to one another: the relative box's
// cars just ahead and just behind each car by lap distance, across the
// line, with the gap on track in seconds and whether each is a lap up or
// down.
//
// The gap on track is the time since the car ahead passed the point where
// the car behind is now. Each car leaves a trace: the session time at which
// it last passed each of kMarks evenly spaced points of the lap, taken
// between the updates it is seen at. Where a trace does not reach (a car
// just joined, or it jumped: to the pits, a new session), the gap is the
// distance between them at the speed of the car behind, or at the pace of
// its best lap.
//
// Thread-safety: one thread at a time.
#ifndef PITWALL_TOOLS_CLIENT_TRACK_RELATIVE_H_
#define PITWALL_TOOLS_CLIENT_TRACK_RELATIVE_H_

#include <cstdint>
#include <map>
#include <vector>

// Another car seen from one car.
struct RelativeCar {
  std::uint8_t index = 0;
  float gap_s = 0.0f;  // on track, never negative
  // Whole laps the other car is up (positive) or down (negative) on this
  // one in the race, beyond where they are on track; 0 outside a race.
  int laps = 0;
};

struct Relative {
  std::vector<RelativeCar> ahead;   // nearest first
  std::vector<RelativeCar> behind;  // nearest first
};

class TrackRelative {
 public:
  static constexpr int kMarks = 256;      // points of the lap each trace keeps
  static constexpr int kCarsEachWay = 3;  // cars ahead and behind in a relative

  struct Position {
    std::uint8_t index = 0;
    int laps = 0;  // laps completed
    float lap_distance_m = 0.0f;
    bool running = true;      // not finished, retired or disqualified
    float best_lap_s = 0.0f;  // 0: none
  };

  // Takes where every car is at session time `time_s` on a lap of
  // `lap_length_m`. Cars are traced only between updates that move them
  // forward by less than half a lap.
  void Update(const std::vector<Position>& cars, double time_s, float lap_length_m);
  // Forgets every trace: a new session.
  void Clear();
  // The relative of each running car of the latest update, by index; a
  // lapped car is counted a lap up or down only when `race`.
  std::map<std::uint8_t, Relative> Relatives(bool race) const;

 private:
  struct Trace {
    std::vector<double> passed;  // session time at each mark; negative: not yet
    bool has_last = false;
    int laps = 0;
    float distance = 0.0f;
    double time = 0.0;
    float speed = 0.0f;  // metres a second between its latest two updates; 0: unknown
  };

  // When the car of `trace` passed `distance` on its latest pass of it; a
  // negative time when its trace does not say.
  double PassedAt(const Trace& trace, float distance) const;
  float GapOnTrack(const Position& ahead, const Position& behind) const;

  std::map<std::uint8_t, Trace> traces_;
  std::vector<Position> cars_;
  double time_s_ = 0.0;
  float lap_length_m_ = 0.0f;
};

#endif  // PITWALL_TOOLS_CLIENT_TRACK_RELATIVE_H_
