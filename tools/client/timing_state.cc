#include "timing_state.h"

#include <algorithm>
#include <array>
#include <cmath>
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

const char* TimeMarkName(TimeMark mark) {
  switch (mark) {
    case TimeMark::kSessionBest:
      return "session_best";
    case TimeMark::kPersonalBest:
      return "personal_best";
    case TimeMark::kSlower:
      break;
  }
  return "slower";
}

const char* TrendName(IntervalTrend::Direction direction) {
  switch (direction) {
    case IntervalTrend::Direction::kClosing:
      return "closing";
    case IntervalTrend::Direction::kGrowing:
      return "growing";
    case IntervalTrend::Direction::kSteady:
      break;
  }
  return "steady";
}

std::string GapText(const Gap& gap) {
  if (gap.laps > 0) return "+" + std::to_string(gap.laps) + " L";
  char text[32];
  std::snprintf(text, sizeof(text), "+%.3f", static_cast<double>(gap.seconds));
  return text;
}

namespace {

// Hues a golden angle apart, at two lightnesses, so colours stay apart
// however many cars there are.
std::string WorkOutCarColour(std::uint8_t index) {
  const double hue = std::fmod(index * 137.508, 360.0) / 60.0;
  const double lightness = index % 2 == 0 ? 0.42 : 0.55;
  const double saturation = 0.75;
  const double chroma = (1 - std::fabs(2 * lightness - 1)) * saturation;
  const double x = chroma * (1 - std::fabs(std::fmod(hue, 2.0) - 1));
  double r = 0, g = 0, b = 0;
  switch (static_cast<int>(hue)) {
    case 0:
      r = chroma, g = x;
      break;
    case 1:
      r = x, g = chroma;
      break;
    case 2:
      g = chroma, b = x;
      break;
    case 3:
      g = x, b = chroma;
      break;
    case 4:
      r = x, b = chroma;
      break;
    default:
      r = chroma, b = x;
      break;
  }
  const double m = lightness - chroma / 2;
  char text[8];
  std::snprintf(text, sizeof(text), "#%02x%02x%02x", static_cast<int>(std::lround((r + m) * 255)),
                static_cast<int>(std::lround((g + m) * 255)),
                static_cast<int>(std::lround((b + m) * 255)));
  return text;
}

}  // namespace

std::string CarColour(std::uint8_t index) {
  // Every car's colour is taken again with each update: they are worked out
  // once.
  static const std::array<std::string, 256> kColours = [] {
    std::array<std::string, 256> colours;
    for (int i = 0; i < 256; ++i) colours[i] = WorkOutCarColour(static_cast<std::uint8_t>(i));
    return colours;
  }();
  return kColours[index];
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
  for (std::optional<SectorBest>& best : session_.best_sectors) {
    if (best) best->driver = DriverName(best->index);
  }
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
    car.colour = CarColour(car.index);
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
    car.colour = timing.colour;
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
  relative_.Clear();
  session_.best_sectors = {};
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
      if (memory.seen && state->in_pits && !memory.in_pits) {
        ++memory.pit_stops;
        memory.pit_entered_s = live.current_time;
        memory.stint_laps.reset();
        if (memory.stint_from) memory.stint_laps = state->laps - *memory.stint_from;
      }
      if (memory.seen && !state->in_pits && memory.in_pits) {
        memory.pit_entered_s.reset();
        memory.stint_from = state->laps;
      }
      // A stint is known from the start, or from a stop seen to its end.
      if (!memory.seen && !state->in_pits && start_ == Start::kSeen)
        memory.stint_from = state->laps;
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
  DeriveHistory(live);
  DeriveClasses();
}

void TimingState::TakeSector(CarMemory* memory, std::uint8_t index, int lap, int sector,
                             float seconds) {
  if (lap != memory->lap) {
    if (lap == memory->previous_lap) {
      // A late word on the lap before (none has come yet): only fills a gap.
      if (memory->previous_sectors[sector]) return;
      memory->previous_sectors[sector] = seconds;
    } else if (lap < memory->lap) {
      return;  // older than both: nothing to keep
    } else {
      memory->previous_lap = memory->lap;
      memory->previous_sectors = memory->sectors;
      memory->lap = lap;
      memory->sectors = {};
    }
  }
  if (lap == memory->lap) {
    if (memory->sectors[sector]) return;  // taken once, when the sector ended
    memory->sectors[sector] = seconds;
  }
  std::optional<float>& own = memory->best_sectors[sector];
  if (!own || seconds < *own) own = seconds;
  std::optional<SectorBest>& best = session_.best_sectors[sector];
  // On equal times the one who set it first keeps it.
  if (!best || seconds < best->seconds) best = SectorBest{seconds, index, DriverName(index)};
}

void TimingState::DeriveHistory(const LiveAnswer& live) {
  const bool race = !session_.known || session_.code == kRaceCode;
  std::vector<TrackRelative::Position> positions;
  const CarTiming* ahead = nullptr;  // the placed car one place ahead
  for (CarTiming& car : cars_) {
    CarMemory& memory = memory_[car.index];
    const int in_progress = car.laps + 1;
    if (live.captured) {
      // A lap completed since the last update: its time, the interval at
      // the line.
      if (memory.laps >= 0 && car.laps > memory.laps) {
        if (car.laps == memory.laps + 1 && car.last_lap_s) {
          const bool paced = !memory.lap_in_pits && !car.in_pits && !(race && car.laps == 1);
          if (paced) {
            memory.paced.push_back(*car.last_lap_s);
            if (memory.paced.size() > static_cast<std::size_t>(kPaceLaps))
              memory.paced.erase(memory.paced.begin());
          }
        }
        if (race && ahead != nullptr && car.interval && car.interval->laps == 0) {
          memory.crossings.push_back({car.laps, ahead->index, car.interval->seconds});
          if (memory.crossings.size() > static_cast<std::size_t>(kTrendLaps + 1))
            memory.crossings.erase(memory.crossings.begin());
        }
        memory.lap_in_pits = false;
      }
      if (car.in_pits) memory.lap_in_pits = true;
      memory.laps = car.laps;

      // The sectors the answer carries, each taken when it ends.
      if (car.sector == 1) {
        if (car.laps >= 1 && car.sector1_s && car.sector2_s && car.last_lap_s) {
          const float third = *car.last_lap_s - *car.sector1_s - *car.sector2_s;
          TakeSector(&memory, car.index, car.laps, 0, *car.sector1_s);
          TakeSector(&memory, car.index, car.laps, 1, *car.sector2_s);
          if (third > 0.0f) TakeSector(&memory, car.index, car.laps, 2, third);
        }
      } else if (car.sector == 2 || car.sector == 0) {
        if (car.sector1_s) TakeSector(&memory, car.index, in_progress, 0, *car.sector1_s);
        if (car.sector == 0 && car.sector2_s)
          TakeSector(&memory, car.index, in_progress, 1, *car.sector2_s);
      }
    }

    for (int k = 0; k < 3; ++k) {
      std::optional<float> seconds;
      int lap = 0;
      if (memory.sectors[k] && (memory.lap == in_progress || memory.lap == car.laps)) {
        seconds = memory.sectors[k];
        lap = memory.lap;
      } else if (memory.previous_sectors[k] && memory.lap == in_progress &&
                 memory.previous_lap == car.laps) {
        seconds = memory.previous_sectors[k];
        lap = memory.previous_lap;
      }
      car.best_sectors_s[k] = memory.best_sectors[k];
      if (!seconds) continue;
      TimeMark mark = TimeMark::kSlower;
      const std::optional<SectorBest>& best = session_.best_sectors[k];
      if (best && *seconds <= best->seconds) {
        mark = TimeMark::kSessionBest;
      } else if (memory.best_sectors[k] && *seconds <= *memory.best_sectors[k]) {
        mark = TimeMark::kPersonalBest;
      }
      car.sectors[k] = SectorTime{*seconds, lap, lap == in_progress, mark};
    }
    if (car.last_lap_s) {
      car.last_lap_mark = session_.fastest_lap_s && *car.last_lap_s <= *session_.fastest_lap_s
                              ? TimeMark::kSessionBest
                          : car.best_lap_s && *car.last_lap_s <= *car.best_lap_s
                              ? TimeMark::kPersonalBest
                              : TimeMark::kSlower;
    }

    if (!memory.paced.empty()) {
      float sum = 0.0f;
      for (float lap : memory.paced) sum += lap;
      car.pace_laps = static_cast<int>(memory.paced.size());
      car.pace_s = sum / static_cast<float>(car.pace_laps);
    }

    // The trend over the latest crossings in a row behind the car that is
    // still the one ahead.
    const auto& crossings = memory.crossings;
    if (ahead != nullptr && crossings.size() >= 2 && crossings.back().lap == car.laps &&
        crossings.back().ahead == ahead->index) {
      const auto& latest = crossings.back();
      int laps = 0;
      for (int j = 1; j <= kTrendLaps && j < static_cast<int>(crossings.size()); ++j) {
        const auto& earlier = crossings[crossings.size() - 1 - static_cast<std::size_t>(j)];
        if (earlier.lap != latest.lap - j || earlier.ahead != latest.ahead) break;
        laps = j;
      }
      if (laps > 0) {
        const auto& from = crossings[crossings.size() - 1 - static_cast<std::size_t>(laps)];
        IntervalTrend trend;
        trend.laps = laps;
        trend.change_s_per_lap = (latest.interval_s - from.interval_s) / static_cast<float>(laps);
        trend.direction =
            trend.change_s_per_lap <= -kSteadySPerLap  ? IntervalTrend::Direction::kClosing
            : trend.change_s_per_lap >= kSteadySPerLap ? IntervalTrend::Direction::kGrowing
                                                       : IntervalTrend::Direction::kSteady;
        car.interval_trend = trend;
      }
    }

    if (car.in_pits && memory.pit_entered_s) {
      car.pit_lane_s =
          std::max(0.0f, static_cast<float>(live.current_time - *memory.pit_entered_s));
    }
    if (car.in_pits) {
      car.stint_laps = memory.stint_laps;
    } else if (memory.stint_from) {
      car.stint_laps = car.laps - *memory.stint_from;
    }

    positions.push_back({car.index, car.laps, car.lap_distance_m, car.finish_status == 0,
                         car.best_lap_s.value_or(0.0f)});
    if (car.place > 0) ahead = &car;
  }

  if (live.captured) relative_.Update(positions, live.current_time, session_.lap_length_m);
  const std::map<std::uint8_t, Relative> relatives = relative_.Relatives(race);
  for (CarTiming& car : cars_) {
    const auto found = relatives.find(car.index);
    if (found != relatives.end()) car.relative = found->second;
  }
}
