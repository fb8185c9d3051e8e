#include "track_relative.h"

#include <algorithm>
#include <cmath>

namespace {

// A lap's pace to reckon a gap with while no car's speed is known: only the
// first update of a session, before any car has been seen to move.
constexpr float kUnknownLapS = 100.0f;

// `metres` into a lap of `length`, in [0, length).
float Wrap(float metres, float length) {
  const float wrapped = std::fmod(metres, length);
  return wrapped < 0.0f ? wrapped + length : wrapped;
}

}  // namespace

void TrackRelative::Clear() {
  traces_.clear();
  cars_.clear();
}

void TrackRelative::Update(const std::vector<Position>& cars, double time_s, float lap_length_m) {
  // The clock going back or another lap length is another session.
  if (time_s < time_s_ || lap_length_m != lap_length_m_) Clear();
  time_s_ = time_s;
  lap_length_m_ = lap_length_m;
  cars_.clear();
  if (!(lap_length_m > 0.0f) || !std::isfinite(lap_length_m)) return;
  const double step = static_cast<double>(lap_length_m) / kMarks;

  std::map<std::uint8_t, Trace> seen;
  for (const Position& car : cars) {
    if (!std::isfinite(car.lap_distance_m)) continue;
    Position at = car;
    at.lap_distance_m = Wrap(car.lap_distance_m, lap_length_m);
    cars_.push_back(at);

    auto found = traces_.find(car.index);
    Trace trace = found != traces_.end() ? std::move(found->second) : Trace{};
    if (trace.passed.empty()) trace.passed.assign(kMarks, -1.0);
    if (trace.has_last) {
      const double travelled = static_cast<double>(car.laps - trace.laps) * lap_length_m +
                               at.lap_distance_m - trace.distance;
      const double dt = time_s - trace.time;
      if (dt > 0.0 && travelled >= 0.0 && travelled < lap_length_m / 2.0) {
        // Every mark passed since the last update, at the time it was
        // passed, the car's speed taken as even in between.
        const double from = trace.distance;
        for (auto k = static_cast<long long>(std::floor(from / step)) + 1;
             static_cast<double>(k) * step <= from + travelled; ++k) {
          const double t = trace.time + (static_cast<double>(k) * step - from) / travelled * dt;
          trace.passed[static_cast<std::size_t>(k % kMarks)] = t;
        }
        trace.speed = static_cast<float>(travelled / dt);
      } else if (dt > 0.0) {
        trace.speed = 0.0f;  // it jumped: where it was says nothing of its speed
      }
    }
    trace.has_last = true;
    trace.laps = car.laps;
    trace.distance = at.lap_distance_m;
    trace.time = time_s;
    seen[car.index] = std::move(trace);
  }
  traces_ = std::move(seen);  // cars gone from the field leave no trace
}

double TrackRelative::PassedAt(const Trace& trace, float distance) const {
  const double step = static_cast<double>(lap_length_m_) / kMarks;
  const auto k0 = std::min(static_cast<int>(distance / step), kMarks - 1);
  const int k1 = (k0 + 1) % kMarks;
  const double t0 = trace.passed[static_cast<std::size_t>(k0)];
  const double t1 = trace.passed[static_cast<std::size_t>(k1)];
  if (t0 < 0.0) return -1.0;
  const double into = distance - k0 * step;
  if (t1 >= t0) return t0 + into / step * (t1 - t0);
  // The car has passed the mark before `distance` but not yet the one
  // after: it is between them now.
  const double beyond = trace.distance - k0 * step;
  if (trace.has_last && beyond >= into && beyond > 0.0 && beyond < step) {
    return t0 + into / beyond * (trace.time - t0);
  }
  return -1.0;
}

float TrackRelative::GapOnTrack(const Position& ahead, const Position& behind) const {
  const auto found = traces_.find(ahead.index);
  if (found != traces_.end()) {
    const double passed = PassedAt(found->second, behind.lap_distance_m);
    if (passed >= 0.0 && passed <= time_s_) return static_cast<float>(time_s_ - passed);
  }
  // No trace reaches: the distance at the speed of the car behind.
  const float metres = Wrap(ahead.lap_distance_m - behind.lap_distance_m, lap_length_m_);
  const auto behind_trace = traces_.find(behind.index);
  float speed = behind_trace != traces_.end() ? behind_trace->second.speed : 0.0f;
  if (!(speed > 1.0f)) {
    const float lap_s = behind.best_lap_s > 0.0f  ? behind.best_lap_s
                        : ahead.best_lap_s > 0.0f ? ahead.best_lap_s
                                                  : kUnknownLapS;
    speed = lap_length_m_ / lap_s;
  }
  return metres / speed;
}

std::map<std::uint8_t, Relative> TrackRelative::Relatives(bool race) const {
  std::map<std::uint8_t, Relative> relatives;
  std::vector<const Position*> round;  // running cars by lap distance
  for (const Position& car : cars_) {
    if (car.running) round.push_back(&car);
  }
  std::sort(round.begin(), round.end(), [](const Position* a, const Position* b) {
    return a->lap_distance_m != b->lap_distance_m ? a->lap_distance_m < b->lap_distance_m
                                                  : a->index < b->index;
  });
  const auto n = static_cast<int>(round.size());
  const float length = lap_length_m_;
  for (int i = 0; i < n; ++i) {
    const Position& me = *round[static_cast<std::size_t>(i)];
    Relative& relative = relatives[me.index];
    // How far round the lap another car is from this one: ahead up to half
    // a lap, behind beyond that.
    auto offset = [&](const Position& other) {
      return Wrap(other.lap_distance_m - me.lap_distance_m, length);
    };
    auto laps_up = [&](const Position& other, float on_track_laps) {
      if (!race) return 0;
      const double lead =
          (other.laps - me.laps) + (other.lap_distance_m - me.lap_distance_m) / length;
      return static_cast<int>(std::lround(lead - on_track_laps));
    };
    for (int k = 1; k < n && static_cast<int>(relative.ahead.size()) < kCarsEachWay; ++k) {
      const Position& other = *round[static_cast<std::size_t>((i + k) % n)];
      const float off = offset(other);
      if (off > length / 2.0f) break;
      relative.ahead.push_back({other.index, GapOnTrack(other, me), laps_up(other, off / length)});
    }
    for (int k = 1; k < n && static_cast<int>(relative.behind.size()) < kCarsEachWay; ++k) {
      const Position& other = *round[static_cast<std::size_t>((i - k + n) % n)];
      const float off = offset(other);
      if (off <= length / 2.0f) break;
      relative.behind.push_back(
          {other.index, GapOnTrack(me, other), laps_up(other, (off - length) / length)});
    }
  }
  return relatives;
}
