#include "tools/test_host/race_sim.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numeric>

namespace {

const char* const kDrivers[] = {
    "Ada Brennan",     "Yusuf Okafor",   "Lena Marchetti", "Tomas Varga",  "Mei Ishikawa",
    "Rafael Duarte",   "Ingrid Solberg", "Kofi Mensah",    "Clara Weiss",  "Arjun Rao",
    "Sofia Lindqvist", "Mateo Herrera",  "Hana Novak",     "Oliver Quist", "Amara Diallo",
    "Jonas Keller",    "Priya Nair",     "Luca Benedetti", "Elif Aydin",   "Sam Whitlock",
    "Nadia Petrova",   "Diego Alvarez",  "Freya Holm",     "Kenji Mori",   "Zara Mahmoud",
};
constexpr int kNamedDrivers = static_cast<int>(sizeof(kDrivers) / sizeof(kDrivers[0]));

constexpr double kPitStopSeconds = 22;
constexpr double kRepairStopSeconds = 160;  // one car's long stop: it goes a lap down
constexpr double kBackmarkerPace = 1.09;    // the last car's laps against the reference
// How fast a car that took the flag or was disqualified rolls on, m/s.
constexpr double kCrawlSpeed = 15;
// A car stopped on track before it is retired.
constexpr double kRetireDelaySeconds = 15;
// Where on the lap a stopping car stops, as fractions of the lap.
constexpr double kStopFrom = 0.35, kStopTo = 0.75;
// A box at the line: the pit lane begins this far before the line, the box
// this far before it.
constexpr double kLineLaneMetres = 150;
constexpr double kLineBoxMetres = 20;
constexpr std::int8_t kRetired = 2;
constexpr std::int8_t kDisqualified = 3;
// Spacing of the points at which each car's passing is timed, and a bound
// on how many are kept for the whole field.
constexpr double kTimingPointMetres = 5;
constexpr double kMaxTimingPoints = 2000000;
// Pit boxes: the first this far past the line, then one every few metres,
// so cars stopped together stand apart.
constexpr double kFirstPitBoxMetres = 30;
constexpr double kPitBoxSpacingMetres = 6;
constexpr int kPitBoxes = 40;

}  // namespace

std::string ReadClasses(const std::string& text, bool cars_given, SimOptions* options) {
  const std::string prefix = "--classes: '" + text + "': ";
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) {
    return prefix + "not A:B, the cars of the faster class and of the slower one";
  }
  int counts[2] = {0, 0};
  const std::string parts[2] = {text.substr(0, colon), text.substr(colon + 1)};
  for (int k = 0; k < 2; ++k) {
    const std::string& part = parts[k];
    const char* end = part.data() + part.size();
    const auto result = std::from_chars(part.data(), end, counts[k]);
    if (part.empty() || result.ec != std::errc() || result.ptr != end || counts[k] < 1 ||
        counts[k] > 254) {
      return prefix + "'" + part + "' is not a whole number from 1 to 254";
    }
  }
  const int cars = counts[0] + counts[1];
  const std::string sum = std::to_string(counts[0]) + " + " + std::to_string(counts[1]) +
                          " makes " + std::to_string(cars) + " cars";
  if (cars > 255) return prefix + sum + ", more than 255";
  if (cars_given && options->cars != cars) {
    return prefix + sum + ", not the " + std::to_string(options->cars) + " of --cars";
  }
  options->cars = cars;
  options->faster_class_cars = counts[0];
  return std::string();
}

RaceSimulation::RaceSimulation(const TrackPath& path, std::string track_name,
                               const SimOptions& options)
    : path_(path),
      track_name_(std::move(track_name)),
      options_(options),
      rng_(options.seed),
      scenario_rng_(options.seed ^ 0x5CE7A210u),
      timing_step_(std::max(kTimingPointMetres, path.length() * (options.race_laps + 2) *
                                                    std::clamp(options.cars, 1, 255) /
                                                    kMaxTimingPoints)),
      cars_(static_cast<std::size_t>(std::clamp(options.cars, 0, 255))),
      writer_(static_cast<int>(cars_.size())) {
  // About 100 km/h average on this track; the field spread over 2.5
  // seconds a lap, and in a field of six or more one backmarker well off the
  // pace. A slower class is the same spread out by its pace, its backmarker
  // off that class's pace.
  const double reference = path_.length() / 28.0;
  const auto class_pace = [&](int n) {
    return options_.faster_class_cars > 0 && n >= options_.faster_class_cars ? kSlowerClassPace
                                                                             : 1.0;
  };
  for (std::size_t i = 0; i < cars_.size(); ++i) {
    Car& car = cars_[i];
    const int n = static_cast<int>(i);
    car.driver = n < kNamedDrivers ? kDrivers[n] : "Driver " + std::to_string(n + 1);
    car.base_lap = (reference + Uniform(0.0, 2.5)) * class_pace(n);
    car.lateral = (n % 3 - 1) * 1.5;
    car.pit_box = kFirstPitBoxMetres + kPitBoxSpacingMetres * (n % kPitBoxes);
  }
  if (cars_.size() >= 6) {
    cars_.back().base_lap =
        reference * kBackmarkerPace * class_pace(static_cast<int>(cars_.size()) - 1);
  }
  ApplyScenarios();
}

void RaceSimulation::ApplyScenarios() {
  const auto car = [this](int index) {
    return index >= 0 && static_cast<std::size_t>(index) < cars_.size()
               ? &cars_[static_cast<std::size_t>(index)]
               : nullptr;
  };
  for (const SlowCar& slow : options_.slow) {
    if (Car* c = car(slow.car)) c->base_lap *= slow.factor;
  }
  for (const CarLap& dq : options_.disqualify) {
    if (Car* c = car(dq.car)) c->dq_lap = dq.lap;
  }
  for (int index : options_.pit_exit_at_line) {
    if (Car* c = car(index)) c->box_at_line = true;
  }
  const auto stop = [&](const CarLap& at, double retire_after) {
    Car* c = car(at.car);
    if (c == nullptr) return;
    c->stop_lap = at.lap;
    c->stop_at =
        path_.length() * std::uniform_real_distribution<double>(kStopFrom, kStopTo)(scenario_rng_);
    c->retire_after = retire_after;
  };
  for (const CarLap& at : options_.retire) stop(at, kRetireDelaySeconds);
  for (const CarLap& at : options_.stop_on_track) stop(at, -1);
}

double RaceSimulation::Uniform(double lo, double hi) {
  // From the raw generator output, so the sequence is the same with every
  // standard library.
  return lo + (hi - lo) * (static_cast<double>(rng_()) / 4294967296.0);
}

void RaceSimulation::StartSession() {
  time_ = 0;
  flag_ = false;
  const SessionKind kind = session();
  const int n = static_cast<int>(cars_.size());
  for (int i = 0; i < n; ++i) {
    Car& car = cars_[static_cast<std::size_t>(i)];
    car.laps = 0;
    car.lap_start = 0;
    car.s1 = car.s2 = car.last_s1 = car.last_s2 = car.last_lap = car.best_lap = -1;
    car.finished = false;
    car.out = 0;
    car.stopped_since = -1;
    car.in_lane = false;
    car.lap_time = car.base_lap * (1 + Uniform(-0.004, 0.004));
    car.pit_lap = -1;
    car.pit_until = -1;
    car.stop_seconds = kPitStopSeconds + Uniform(0, 4);
    if (kind == SessionKind::kRace) {
      // A grid behind the line, eight metres a slot; everyone stops once.
      car.distance = path_.length() - 8.0 * (i + 1);
      car.laps = -1;  // crossing the line starts lap 1
      if (options_.race_laps >= 3)
        car.pit_lap = 1 + static_cast<int>(Uniform(0, options_.race_laps - 2));
    } else {
      // Out of the pits one after another.
      car.distance = car.pit_box;
      car.pit_until = Uniform(0, 20);
    }
    car.place = i + 1;
  }
  over_time_ = -1;
  if (kind == SessionKind::kRace && n >= 6 && options_.race_laps >= 3) {
    // One car needs repairs at its stop.
    cars_[static_cast<std::size_t>(Uniform(1, n - 1))].stop_seconds = kRepairStopSeconds;
  }
  if (kind == SessionKind::kRace) {
    for (const ForcedStop& stop : options_.pit_stops) {
      if (stop.car < 0 || stop.car >= n) continue;
      Car& car = cars_[static_cast<std::size_t>(stop.car)];
      car.pit_lap = stop.lap - 1;  // the stop begins at the line that completes this many laps
      if (stop.seconds >= 0) car.stop_seconds = stop.seconds;
    }
  }
  for (Car& car : cars_) {
    // The race begins on the grid: the points behind a car's slot count as
    // passed as long before the start as the car takes to cover the gap, so
    // the grid reads as the time between slots.
    car.passed.clear();
    if (kind == SessionKind::kRace) {
      const double speed = path_.length() / car.base_lap;
      for (std::size_t k = 0; static_cast<double>(k) * timing_step_ <= RaceDistance(car); ++k) {
        double at = -(RaceDistance(car) - static_cast<double>(k) * timing_step_) / speed;
        if (options_.grid_seconds > 0) at += options_.grid_seconds;
        car.passed.push_back(at);
      }
    }
  }
  RankCars();
}

double RaceSimulation::RaceDistance(const Car& car) const {
  return (car.laps + 1) * path_.length() + car.distance;
}

void RaceSimulation::RecordPassing(Car* car, double from_m, double to_m, double t0, double t1) {
  if (to_m <= from_m) return;
  // Timing points in (from_m, to_m], at times linear in the distance
  // covered in the step.
  for (std::size_t k = car->passed.size(); static_cast<double>(k) * timing_step_ <= to_m; ++k) {
    const double at_m = static_cast<double>(k) * timing_step_;
    const double f = std::clamp((at_m - from_m) / (to_m - from_m), 0.0, 1.0);
    car->passed.push_back(t0 + f * (t1 - t0));
  }
}

double RaceSimulation::PassedAt(const Car& leader, double distance_m) const {
  if (leader.passed.empty()) return 0;
  const double at = distance_m / timing_step_;
  const std::size_t k =
      std::min(static_cast<std::size_t>(std::max(0.0, at)), leader.passed.size() - 1);
  double passed = leader.passed[k];
  if (k + 1 < leader.passed.size()) {
    const double f = std::clamp(at - static_cast<double>(k), 0.0, 1.0);
    passed += f * (leader.passed[k + 1] - leader.passed[k]);
  }
  return passed;
}

void RaceSimulation::CompleteLap(Car* car, double at) {
  if (car->laps >= 0) {
    const double lap = at - car->lap_start;
    car->last_lap = lap;
    car->last_s1 = car->s1;
    car->last_s2 = car->s2;
    if (car->best_lap < 0 || lap < car->best_lap) car->best_lap = lap;
  }
  ++car->laps;
  car->lap_start = at;
  car->s1 = car->s2 = -1;
  car->lap_time = car->base_lap * (1 + Uniform(-0.004, 0.006));
  if (session() != SessionKind::kRace) return;
  if (car->box_at_line) car->in_lane = false;  // out of the lane at the line
  if (car->laps == car->dq_lap) {
    // Shown the black flag at the line: into the pit lane, out of the race.
    car->out = kDisqualified;
    car->in_lane = true;
    return;
  }
  if (session() == SessionKind::kRace && car->laps >= options_.race_laps) {
    if (!flag_) {
      flag_ = true;
      flag_time_ = at;
    }
  }
  if (session() == SessionKind::kRace && flag_) {
    car->finished = true;
    car->finish_time = at;
  }
  if (session() == SessionKind::kRace && car->laps == car->pit_lap && !car->box_at_line &&
      !car->finished) {
    car->pit_until = at + car->stop_seconds;
  }
}

void RaceSimulation::MoveCar(Car* car, double dt) {
  double t = time_;
  const double end = time_ + dt;
  // A car in its pit box stands there until its stop is over.
  if (car->pit_until > t && car->distance >= car->pit_box) t = std::min(end, car->pit_until);
  if (car->finished) {
    // A slow lap after the flag, then parked.
    car->distance = std::min(path_.length() * 0.999, car->distance + dt * kCrawlSpeed);
    return;
  }
  const bool race = session() == SessionKind::kRace;
  if (race && car->out == kDisqualified) {
    car->distance =
        std::min(std::max(car->pit_box, car->distance), car->distance + dt * kCrawlSpeed);
    return;
  }
  if (race && car->stopped_since >= 0) return;  // stopped on track, retired or not
  if (race && t < options_.grid_seconds) t = std::min(end, options_.grid_seconds);
  const double speed = path_.length() / car->lap_time;
  const double third = path_.length() / 3;
  // Moves the car to `distance` into its lap at time `at`, timing the race's
  // points it passes on the way.
  const auto move_to = [&](double distance, double at) {
    const double from = RaceDistance(*car);
    car->distance = distance;
    if (race) RecordPassing(car, from, RaceDistance(*car), t, at);
    t = at;
  };
  // Reaches `x` into the lap in this step, with no sector line before it.
  const auto reaches = [&](double x, double next) {
    if (!(car->distance < x && next >= x)) return false;
    for (const double line : {third, 2 * third}) {
      if (car->distance < line && line < x && next >= line) return false;
    }
    return true;
  };
  const auto arrival = [&](double x) { return t + (x - car->distance) / speed; };
  while (t < end) {
    const double next = car->distance + speed * (end - t);
    if (race && car->laps == car->stop_lap - 1 && reaches(car->stop_at, next)) {
      move_to(car->stop_at, arrival(car->stop_at));
      car->stopped_since = t;
      return;
    }
    // A box at the line: into the lane before the line, a stop in the box,
    // and out of the lane at the line (CompleteLap).
    if (race && car->box_at_line && car->laps == car->pit_lap && car->pit_until < 0) {
      const double entry = path_.length() - kLineLaneMetres;
      const double box = path_.length() - kLineBoxMetres;
      if (!car->in_lane && reaches(entry, next)) {
        move_to(entry, arrival(entry));
        car->in_lane = true;
        continue;
      }
      if (car->in_lane && reaches(box, next)) {
        move_to(box, arrival(box));
        car->pit_until = t + car->stop_seconds;
        t = std::min(end, car->pit_until);
        continue;
      }
    }
    // Down the pit lane, timing its points like any others, into the box.
    if (car->pit_until > t && car->distance < car->pit_box && next >= car->pit_box) {
      move_to(car->pit_box, t + (car->pit_box - car->distance) / speed);
      t = std::min(end, std::max(t, car->pit_until));
      continue;
    }
    // Sector lines and the start line crossed in this step, in order.
    if (car->distance < third && next >= third) {
      const double at = t + (third - car->distance) / speed;
      move_to(third, at);
      if (car->laps >= 0) car->s1 = at - car->lap_start;
      continue;
    }
    if (car->distance < 2 * third && next >= 2 * third) {
      const double at = t + (2 * third - car->distance) / speed;
      move_to(2 * third, at);
      if (car->laps >= 0 && car->s1 >= 0) car->s2 = at - car->lap_start - car->s1;
      continue;
    }
    if (next >= path_.length()) {
      const double at = t + (path_.length() - car->distance) / speed;
      move_to(path_.length(), at);
      car->distance = 0;
      CompleteLap(car, at);  // counts the lap: the race distance stays the same
      if (car->finished || car->out != 0) return;
      continue;
    }
    move_to(next, end);
  }
}

void RaceSimulation::RankCars() {
  std::vector<std::size_t> order(cars_.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  const bool race = session() == SessionKind::kRace;
  auto key_less = [&](std::size_t a, std::size_t b) {
    const Car& x = cars_[a];
    const Car& y = cars_[b];
    if (race) {
      // Cars out of the race behind the rest, retired ones first.
      if (x.out != y.out) return x.out < y.out;
      // Distance covered, a finished car's counted to the line it took the
      // flag at (a lapped car that took it is behind one still on its last
      // lap); cars that took the flag on the same lap by their finish times.
      const double px = x.finished ? (x.laps + 1) * path_.length() : RaceDistance(x);
      const double py = y.finished ? (y.laps + 1) * path_.length() : RaceDistance(y);
      if (px != py) return px > py;
      if (x.finished != y.finished) return x.finished;
      if (x.finished && x.finish_time != y.finish_time) return x.finish_time < y.finish_time;
      return a < b;
    }
    const bool tx = x.best_lap > 0, ty = y.best_lap > 0;
    if (tx != ty) return tx;
    if (tx && x.best_lap != y.best_lap) return x.best_lap < y.best_lap;
    return a < b;
  };
  std::stable_sort(order.begin(), order.end(), key_less);
  if (order.empty()) return;
  const Car& leader = cars_[order[0]];
  for (std::size_t p = 0; p < order.size(); ++p) {
    Car& car = cars_[order[p]];
    car.place = static_cast<int>(p + 1);
    if (race) {
      // Cars that took the flag on the winner's lap by their finish times,
      // lapped ones by how long before them the winner passed the line they
      // took it at, running ones by how long ago the leader passed where
      // they are now. A car never reads closer than the one ahead of it.
      if (car.finished && leader.finished && car.laps == leader.laps) {
        car.behind = car.finish_time - leader.finish_time;
      } else if (car.finished) {
        car.behind = car.finish_time - PassedAt(leader, (car.laps + 1) * path_.length());
      } else {
        car.behind = time_ - PassedAt(leader, RaceDistance(car));
      }
      // The leader is 0 behind itself, also while it stands in its box.
      car.behind = p == 0 ? 0.0 : std::max(car.behind, cars_[order[p - 1]].behind);
    } else {
      car.behind = (car.best_lap > 0 && leader.best_lap > 0) ? car.best_lap - leader.best_lap : 0;
    }
  }
}

bool RaceSimulation::SessionOver() const {
  switch (session()) {
    case SessionKind::kPractice:
      return time_ >= options_.practice_seconds;
    case SessionKind::kQualifying:
      return time_ >= options_.qualifying_seconds;
    case SessionKind::kRace:
      if (!flag_ && over_time_ < 0) return cars_.empty() && time_ > 0;
      return over_time_ >= 0 && time_ >= over_time_ + options_.classification_hold_seconds;
  }
  return true;
}

void RaceSimulation::Fill() {
  const SessionKind kind = session();
  writer_.SetTrackName(track_name_);
  writer_.SetSession(static_cast<std::int32_t>(kind));
  writer_.SetCurrentTime(static_cast<float>(time_));
  writer_.SetEndTime(static_cast<float>(kind == SessionKind::kPractice ? options_.practice_seconds
                                        : kind == SessionKind::kQualifying
                                            ? options_.qualifying_seconds
                                            : 0.0));
  writer_.SetMaxLaps(kind == SessionKind::kRace ? options_.race_laps : 0);
  writer_.SetLapDistance(static_cast<float>(path_.length()));
  const double third = path_.length() / 3;
  for (std::size_t i = 0; i < cars_.size(); ++i) {
    const Car& car = cars_[i];
    auto v = writer_.vehicle(static_cast<int>(i));
    v.SetDriverName(car.driver);
    v.SetLaps(static_cast<std::int16_t>(std::max(car.laps, 0)));
    v.SetSector(static_cast<std::int8_t>(car.distance < third       ? 1
                                         : car.distance < 2 * third ? 2
                                                                    : 0));
    v.SetFinishStatus(car.out != 0 ? car.out : car.finished ? 1 : 0);
    v.SetLapDistance(static_cast<float>(car.distance));
    v.SetBestLap(static_cast<float>(car.best_lap));
    v.SetSectorTimesA(static_cast<float>(car.last_s1), static_cast<float>(car.last_s2));
    v.SetLastLap(static_cast<float>(car.last_lap));
    v.SetSectorTimesB(static_cast<float>(car.s1), static_cast<float>(car.s2));
    v.SetControl(i == 0 ? 0 : 1);
    v.SetInPits(car.pit_until > time_ || car.in_lane ? 1 : 0);
    v.SetPlace(static_cast<std::uint8_t>(car.place));
    v.SetTimeBehindLeader(static_cast<float>(car.behind));
    const TrackPath::Pose pose = path_.At(car.distance, car.lateral);
    v.SetPosition(static_cast<float>(pose.x), static_cast<float>(pose.z));
    v.SetHeadingInputs(static_cast<float>(pose.dx), static_cast<float>(pose.dz));
  }
}

bool RaceSimulation::Advance(double dt, HostSink* sink) {
  if (finished()) return false;
  if (!started_) {
    StartSession();
    started_ = true;
    sink->SessionStart();
  } else {
    const bool race = session() == SessionKind::kRace;
    for (Car& car : cars_) MoveCar(&car, dt);
    time_ += dt;
    for (Car& car : cars_) {
      if (race && car.out == 0 && car.stopped_since >= 0 && car.retire_after >= 0 &&
          time_ >= car.stopped_since + car.retire_after) {
        car.out = kRetired;
      }
    }
    // Over once every car took the flag or is out of the race, or the
    // overrun after the leader's flag ran out.
    const bool all_in = !cars_.empty() && std::all_of(cars_.begin(), cars_.end(), [](const Car& c) {
      return c.finished || c.out != 0;
    });
    if (race && over_time_ < 0 &&
        ((flag_ && time_ >= flag_time_ + options_.race_overrun_seconds) || all_in)) {
      over_time_ = time_;
    }
    RankCars();
  }
  Fill();
  sink->Scoring(writer_.record());
  if (SessionOver()) {
    sink->SessionEnd();
    started_ = false;
    ++session_index_;
  }
  return true;
}
