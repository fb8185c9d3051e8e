#include "tools/test_host/race_sim.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

const char* const kDrivers[] = {
    "Ada Brennan",    "Yusuf Okafor",  "Lena Marchetti", "Tomas Varga",   "Mei Ishikawa",
    "Rafael Duarte",  "Ingrid Solberg", "Kofi Mensah",   "Clara Weiss",   "Arjun Rao",
    "Sofia Lindqvist", "Mateo Herrera", "Hana Novak",    "Oliver Quist",  "Amara Diallo",
    "Jonas Keller",   "Priya Nair",    "Luca Benedetti", "Elif Aydin",    "Sam Whitlock",
    "Nadia Petrova",  "Diego Alvarez", "Freya Holm",     "Kenji Mori",    "Zara Mahmoud",
};
constexpr int kNamedDrivers = static_cast<int>(sizeof(kDrivers) / sizeof(kDrivers[0]));

constexpr double kPitStopSeconds = 22;
constexpr double kRaceOverrunSeconds = 90;  // after the flag, then the race ends

}  // namespace

RaceSimulation::RaceSimulation(const TrackPath& path, std::string track_name,
                               const SimOptions& options)
    : path_(path),
      track_name_(std::move(track_name)),
      options_(options),
      rng_(options.seed),
      cars_(static_cast<std::size_t>(std::clamp(options.cars, 0, 255))),
      writer_(static_cast<int>(cars_.size())) {
  // About 100 km/h average on this track; the field spread over 2 seconds.
  const double reference = path_.length() / 28.0;
  for (std::size_t i = 0; i < cars_.size(); ++i) {
    Car& car = cars_[i];
    const int n = static_cast<int>(i);
    car.driver = n < kNamedDrivers ? kDrivers[n] : "Driver " + std::to_string(n + 1);
    car.base_lap = reference + Uniform(0.0, 2.0);
    car.lateral = (n % 3 - 1) * 1.5;
  }
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
    car.lap_time = car.base_lap * (1 + Uniform(-0.004, 0.004));
    car.pit_lap = -1;
    car.pit_until = -1;
    if (kind == SessionKind::kRace) {
      // A grid behind the line, eight metres a slot; everyone stops once.
      car.distance = path_.length() - 8.0 * (i + 1);
      car.laps = -1;  // crossing the line starts lap 1
      if (options_.race_laps >= 3) car.pit_lap = 1 + static_cast<int>(Uniform(0, options_.race_laps - 2));
    } else {
      // Out of the pits one after another.
      car.distance = 0;
      car.pit_until = Uniform(0, 20);
    }
    car.place = i + 1;
  }
  RankCars();
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
  if (session() == SessionKind::kRace && car->laps == car->pit_lap) {
    car->pit_until = at + kPitStopSeconds + Uniform(0, 4);
  }
}

void RaceSimulation::MoveCar(Car* car, double dt) {
  double t = time_;
  const double end = time_ + dt;
  if (car->pit_until > t) t = std::min(end, car->pit_until);
  if (car->finished) {
    // A slow lap after the flag, then parked.
    car->distance = std::min(path_.length() * 0.999, car->distance + dt * 15.0);
    return;
  }
  const double speed = path_.length() / car->lap_time;
  const double third = path_.length() / 3;
  while (t < end) {
    const double step_end = end;
    double next = car->distance + speed * (step_end - t);
    // Sector lines and the start line crossed in this step, in order.
    if (car->distance < third && next >= third) {
      const double at = t + (third - car->distance) / speed;
      if (car->laps >= 0) car->s1 = at - car->lap_start;
      car->distance = third;
      t = at;
      continue;
    }
    if (car->distance < 2 * third && next >= 2 * third) {
      const double at = t + (2 * third - car->distance) / speed;
      if (car->laps >= 0 && car->s1 >= 0) car->s2 = at - car->lap_start - car->s1;
      car->distance = 2 * third;
      t = at;
      continue;
    }
    if (next >= path_.length()) {
      const double at = t + (path_.length() - car->distance) / speed;
      car->distance = 0;
      t = at;
      CompleteLap(car, at);
      if (car->finished || car->pit_until > t) return;
      continue;
    }
    car->distance = next;
    t = step_end;
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
      if (x.finished != y.finished) return x.finished;
      if (x.finished) return x.finish_time < y.finish_time;
      if (x.laps != y.laps) return x.laps > y.laps;
      if (x.distance != y.distance) return x.distance > y.distance;
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
  const double leader_total = leader.laps * path_.length() + leader.distance;
  for (std::size_t p = 0; p < order.size(); ++p) {
    Car& car = cars_[order[p]];
    car.place = static_cast<int>(p + 1);
    if (race) {
      const double total = car.laps * path_.length() + car.distance;
      car.behind = std::max(0.0, (leader_total - total) / (path_.length() / car.base_lap));
      if (car.finished && leader.finished) car.behind = car.finish_time - leader.finish_time;
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
      if (!flag_) return cars_.empty() && time_ > 0;
      return time_ >= flag_time_ + kRaceOverrunSeconds ||
             std::all_of(cars_.begin(), cars_.end(), [](const Car& c) { return c.finished; });
  }
  return true;
}

void RaceSimulation::Fill() {
  const SessionKind kind = session();
  writer_.SetTrackName(track_name_);
  writer_.SetSession(static_cast<std::int32_t>(kind));
  writer_.SetCurrentTime(static_cast<float>(time_));
  writer_.SetEndTime(static_cast<float>(kind == SessionKind::kPractice     ? options_.practice_seconds
                                        : kind == SessionKind::kQualifying ? options_.qualifying_seconds
                                                                           : 0.0));
  writer_.SetMaxLaps(kind == SessionKind::kRace ? options_.race_laps : 0);
  writer_.SetLapDistance(static_cast<float>(path_.length()));
  const double third = path_.length() / 3;
  for (std::size_t i = 0; i < cars_.size(); ++i) {
    const Car& car = cars_[i];
    auto v = writer_.vehicle(static_cast<int>(i));
    v.SetDriverName(car.driver);
    v.SetLaps(static_cast<std::int16_t>(std::max(car.laps, 0)));
    v.SetSector(static_cast<std::int8_t>(car.distance < third ? 1 : car.distance < 2 * third ? 2 : 0));
    v.SetFinishStatus(car.finished ? 1 : 0);
    v.SetLapDistance(static_cast<float>(car.distance));
    v.SetBestLap(static_cast<float>(car.best_lap));
    v.SetSectorTimesA(static_cast<float>(car.last_s1), static_cast<float>(car.last_s2));
    v.SetLastLap(static_cast<float>(car.last_lap));
    v.SetSectorTimesB(static_cast<float>(car.s1), static_cast<float>(car.s2));
    v.SetControl(i == 0 ? 0 : 1);
    v.SetInPits(car.pit_until > time_ ? 1 : 0);
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
    for (Car& car : cars_) MoveCar(&car, dt);
    time_ += dt;
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
