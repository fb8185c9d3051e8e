#include "timing_state.h"

#include <algorithm>
#include <cstdio>
#include <type_traits>
#include <variant>

namespace {

// Session codes of the host's record whose meaning is known.
constexpr std::int32_t kPracticeCode = 1;
constexpr std::int32_t kQualifyingCode = 2;
constexpr std::int32_t kRaceCode = 3;
// The finish status the host gives a car that took the chequered flag.
constexpr std::uint8_t kFinishedStatus = 1;

std::optional<float> Timed(float seconds) {
  if (seconds > 0.0f) return seconds;
  return std::nullopt;
}

bool Finished(const CarState& car) { return car.finish_status == kFinishedStatus; }

// What the gap between two cars is worked out from, from an answer's car
// or from the timing state's.
struct Standing {
  int laps = 0;
  float lap_distance = 0;
  bool finished = false;
  float best_lap = 0;  // 0 without one
  float time_behind_leader = 0;

  static Standing Of(const CarState& car) {
    return {car.laps, car.lap_distance, Finished(car), car.best_lap, car.time_behind_leader};
  }
  static Standing Of(const CarTiming& car) {
    return {car.laps, car.lap_distance_m, car.finished, car.best_lap_s.value_or(0.0f),
            car.time_behind_leader_s};
  }
};

// Whole laps `car` is behind `ahead` in a race: the difference in laps
// completed, one fewer when `car` is further round its lap than `ahead` is
// round its own. Once either has taken the flag, lap distances mean nothing
// (a finished car is on its slowing-down lap): each is counted with the
// laps it takes the flag with, its laps completed if it has, one more if it
// is still on its last lap.
int LapsBehind(const Standing& car, const Standing& ahead) {
  int laps = ahead.laps - car.laps;
  if (ahead.finished || car.finished) {
    laps += (ahead.finished ? 0 : 1) - (car.finished ? 0 : 1);
  } else if (car.lap_distance > ahead.lap_distance) {
    --laps;
  }
  return std::max(laps, 0);
}

// In a race, laps or seconds from the time behind the leader; in practice
// and qualifying the difference of best laps, which the time behind the
// leader holds there, and nothing for a car without a timed lap.
std::optional<Gap> GapBetween(const Standing& car, const Standing& ahead, bool race) {
  Gap gap;
  if (race) {
    gap.laps = LapsBehind(car, ahead);
  } else if (!(car.best_lap > 0.0f && ahead.best_lap > 0.0f)) {
    return std::nullopt;
  }
  if (gap.laps == 0)
    gap.seconds = std::max(0.0f, car.time_behind_leader - ahead.time_behind_leader);
  return gap;
}

bool PlaceOrder(const CarState* a, const CarState* b) {
  const int place_a = a->place == 0 ? 256 : a->place;
  const int place_b = b->place == 0 ? 256 : b->place;
  return place_a != place_b ? place_a < place_b : a->index < b->index;
}

}  // namespace

std::string GapText(const Gap& gap) {
  if (gap.laps > 0) return "+" + std::to_string(gap.laps) + " L";
  char text[32];
  std::snprintf(text, sizeof(text), "+%.3f", static_cast<double>(gap.seconds));
  return text;
}

std::string SessionKindName(std::int32_t code) {
  switch (code) {
    case kPracticeCode:
      return "practice";
    case kQualifyingCode:
      return "qualifying";
    case kRaceCode:
      return "race";
    default:
      return "session " + std::to_string(code);
  }
}

void TimingState::Apply(const Answer& answer, double received_at_s) {
  std::visit(
      [&](const auto& a) {
        using T = std::decay_t<decltype(a)>;
        if constexpr (std::is_same_v<T, SessionAnswer>) {
          ApplySession(a);
        } else if constexpr (std::is_same_v<T, DriversAnswer>) {
          ApplyDrivers(a);
        } else if constexpr (std::is_same_v<T, LiveAnswer>) {
          ApplyLive(a, received_at_s);
        }
      },
      answer);
}

void TimingState::ApplySession(const SessionAnswer& s) {
  const bool other_session =
      session_.known && (s.track_name != session_.track || s.session != session_.code);
  // After a change bit the new session is already started; its answer only
  // describes it.
  if (NewSessionBegan(s.change_mask) || (other_session && session_described_)) StartNewSession();
  session_described_ = true;
  session_.known = true;
  session_.track = s.track_name;
  session_.code = s.session;
  session_.kind = SessionKindName(s.session);
  session_.lap_length_m = s.lap_distance;
  session_.end_time_s = Timed(s.end_time);
  session_.max_laps = s.max_laps > 0 ? std::optional<int>(s.max_laps) : std::nullopt;
}

void TimingState::ApplyDrivers(const DriversAnswer& drivers) {
  if (NewSessionBegan(drivers.change_mask)) {
    StartNewSession();
    session_described_ = false;
  }
  drivers_.clear();
  for (const DriverEntry& d : drivers.drivers) drivers_[d.index] = d.name;
  for (CarTiming& car : cars_) car.driver = DriverName(car.index);
  if (session_.fastest_lap_car) session_.fastest_lap_driver = DriverName(*session_.fastest_lap_car);
  // The league matches drivers by name.
  DeriveClasses();
}

void TimingState::SetLeague(std::shared_ptr<const League> league) {
  league_ = std::move(league);
  DeriveClasses();
}

void TimingState::DeriveClasses() {
  session_.classes.clear();
  if (league_ != nullptr) {
    for (const LeagueClass& c : league_->classes()) {
      ClassTiming timing;
      timing.name = c.name;
      timing.colour = c.colour;
      timing.order = c.order;
      session_.classes.push_back(std::move(timing));
    }
  }
  const bool race = !session_.known || session_.code == kRaceCode;
  // Per class: its leader and the last placed car seen, in place order.
  std::vector<const CarTiming*> leaders(session_.classes.size(), nullptr);
  std::vector<const CarTiming*> aheads(session_.classes.size(), nullptr);
  std::vector<std::size_t> class_of(cars_.size(), session_.classes.size());
  for (std::size_t i = 0; i < cars_.size(); ++i) {
    CarTiming& car = cars_[i];
    car.number.reset();
    car.short_name.clear();
    car.team.clear();
    car.nation.clear();
    car.car_class.clear();
    car.class_colour.clear();
    car.class_place.reset();
    car.class_gap.reset();
    car.class_interval.reset();
    car.holds_class_fastest_lap = false;
    const LeagueDriver* driver = league_ != nullptr ? league_->Find(car.driver) : nullptr;
    if (driver == nullptr) continue;
    car.number = driver->number;
    car.short_name = driver->short_name;
    car.team = driver->team;
    car.nation = driver->nation;
    std::size_t k = 0;
    while (k < session_.classes.size() && session_.classes[k].name != driver->class_name) ++k;
    if (k == session_.classes.size()) continue;
    class_of[i] = k;
    ClassTiming& timing = session_.classes[k];
    car.car_class = timing.name;
    car.class_colour = timing.colour;
    ++timing.cars;
    // The class's fastest lap; on a tie, the better placed car's.
    if (car.best_lap_s && (!timing.fastest_lap_s || *car.best_lap_s < *timing.fastest_lap_s)) {
      timing.fastest_lap_s = car.best_lap_s;
      timing.fastest_lap_car = car.index;
      timing.fastest_lap_driver = car.driver;
    }
    if (car.place == 0) continue;
    if (leaders[k] == nullptr) {
      leaders[k] = &car;
      timing.leader = car.index;
      car.class_place = 1;
    } else {
      car.class_place = *aheads[k]->class_place + 1;
      car.class_gap = GapBetween(Standing::Of(car), Standing::Of(*leaders[k]), race);
      car.class_interval = GapBetween(Standing::Of(car), Standing::Of(*aheads[k]), race);
    }
    aheads[k] = &car;
  }
  for (std::size_t i = 0; i < cars_.size(); ++i) {
    if (class_of[i] == session_.classes.size()) continue;
    const ClassTiming& timing = session_.classes[class_of[i]];
    cars_[i].holds_class_fastest_lap = timing.fastest_lap_car == cars_[i].index;
  }
}

void TimingState::ApplyLive(const LiveAnswer& live, double received_at_s) {
  if (NewSessionBegan(live.change_mask)) {
    StartNewSession();
    session_described_ = false;
  }
  has_live_ = true;
  captured_ = live.captured;
  received_at_s_ = received_at_s;
  ++updates_;
  Derive(live);
}

bool TimingState::NewSessionBegan(std::uint8_t change_mask) {
  // The server reports a change once, on whichever answer comes next.
  const bool first = answers_++ == 0;
  return (change_mask & kChangeSession) != 0 && !first;
}

void TimingState::StartNewSession() {
  memory_.clear();
  ++sessions_begun_;
  session_.finished = false;
  start_ = Start::kSeen;
}

std::string TimingState::DriverName(std::uint8_t index) const {
  const auto it = drivers_.find(index);
  return it != drivers_.end() ? it->second : "car " + std::to_string(index);
}

void TimingState::Derive(const LiveAnswer& live) {
  std::vector<const CarState*> order;
  for (const CarState& car : live.cars) order.push_back(&car);
  std::sort(order.begin(), order.end(), PlaceOrder);

  session_.current_time_s = live.current_time;
  session_.fastest_lap_s = Timed(live.fastest_lap);
  session_.fastest_lap_car.reset();
  session_.fastest_lap_driver.clear();
  if (session_.fastest_lap_s) {
    session_.fastest_lap_car = live.fastest_lap_vehicle;
    session_.fastest_lap_driver = DriverName(live.fastest_lap_vehicle);
  }

  if (live.captured && start_ == Start::kUndecided) {
    const bool nothing_counted = std::none_of(order.begin(), order.end(), [](const CarState* car) {
      return car->place > 0 && (car->laps > 0 || car->best_lap > 0.0f);
    });
    start_ = nothing_counted ? Start::kSeen : Start::kMissed;
  }

  cars_.clear();
  const CarState* leader = !order.empty() && order.front()->place == 1 ? order.front() : nullptr;
  const CarState* ahead = nullptr;
  // Without a session answer yet, gaps are read as a race's.
  const bool race = !session_.known || session_.code == kRaceCode;
  for (const CarState* state : order) {
    CarTiming car;
    car.index = state->index;
    car.driver = DriverName(state->index);
    car.place = state->place;
    car.laps = state->laps;
    car.lap_distance_m = state->lap_distance;
    car.sector = state->sector;
    car.last_lap_s = Timed(state->last_lap);
    car.best_lap_s = Timed(state->best_lap);
    car.holds_fastest_lap = session_.fastest_lap_car && *session_.fastest_lap_car == state->index;
    car.sector1_s = Timed(state->sector1);
    car.sector2_s = Timed(state->sector2);
    car.in_pits = state->in_pits;
    car.finished = Finished(*state);
    car.finish_status = state->finish_status;
    car.time_behind_leader_s = state->time_behind_leader;
    car.x = state->x;
    car.z = state->z;
    car.heading = state->heading;
    if (state->place > 1 && leader != nullptr) {
      car.gap_to_leader = GapBetween(Standing::Of(*state), Standing::Of(*leader), race);
      if (ahead != nullptr)
        car.interval = GapBetween(Standing::Of(*state), Standing::Of(*ahead), race);
    }

    CarMemory& memory = memory_[state->index];
    if (live.captured) {
      // Entering the pits is a stop; a car first seen in them has not made one.
      if (memory.seen && state->in_pits && !memory.in_pits) ++memory.pit_stops;
      memory.seen = true;
      memory.in_pits = state->in_pits;
      if (memory.start_place == 0) memory.start_place = state->place;
    }
    if (start_ == Start::kSeen) {
      car.pit_stops = memory.pit_stops;
      if (state->place > 0 && memory.start_place > 0) {
        car.places_gained = memory.start_place - state->place;
      }
    }

    if (state->place > 0) ahead = state;
    cars_.push_back(std::move(car));
  }

  session_.time_left_s.reset();
  if (session_.end_time_s)
    session_.time_left_s = std::max(0.0f, *session_.end_time_s - live.current_time);
  session_.laps_left.reset();
  if (session_.max_laps && leader != nullptr)
    session_.laps_left = std::max(0, *session_.max_laps - leader->laps);
  const bool leader_finished = leader != nullptr && leader->finish_status == kFinishedStatus;
  const bool clock_ran_out = session_.time_left_s && *session_.time_left_s <= 0.0f && live.captured;
  session_.finished = leader_finished || (session_.code != kRaceCode && clock_ran_out);
  session_.race = session_.code == kRaceCode;
  session_.lap.reset();
  if (session_.max_laps && session_.laps_left) {
    session_.lap = std::min(*session_.max_laps, *session_.max_laps - *session_.laps_left + 1);
  }
  session_.all_in = session_.finished && session_.race &&
                    std::all_of(cars_.begin(), cars_.end(), [](const CarTiming& car) {
                      return car.finished || car.place == 0;
                    });
  DeriveClasses();
}
