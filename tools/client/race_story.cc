#include "race_story.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <tuple>

namespace {

// A running car out of the pits that has not moved for this long has
// stopped on track.
constexpr double kStoppedAfterS = 5.0;
constexpr std::int32_t kRaceCode = 3;

bool Running(std::uint8_t finish_status) { return finish_status == kFinishRunning; }

}  // namespace

std::string LapTimeText(double seconds) {
  char text[32];
  const int minutes = static_cast<int>(seconds / 60.0);
  if (minutes > 0) {
    std::snprintf(text, sizeof(text), "%d:%06.3f", minutes, seconds - 60.0 * minutes);
  } else {
    std::snprintf(text, sizeof(text), "%.3f", seconds);
  }
  return text;
}

std::string FinishStatusName(std::uint8_t finish_status) {
  switch (finish_status) {
    case kFinishRunning:
      return "running";
    case kFinishFlag:
      return "finished";
    case kFinishRetired:
      return "retired";
    case kFinishDisqualified:
      return "disqualified";
    default:
      return "status " + std::to_string(finish_status);
  }
}

const char* EventKindName(EventKind kind) {
  switch (kind) {
    case EventKind::kStart:
      return "start";
    case EventKind::kLeadChange:
      return "lead_change";
    case EventKind::kOvertake:
      return "overtake";
    case EventKind::kPitIn:
      return "pit_in";
    case EventKind::kPitOut:
      return "pit_out";
    case EventKind::kFastestLap:
      return "fastest_lap";
    case EventKind::kPersonalBest:
      return "personal_best";
    case EventKind::kStopped:
      return "stopped";
    case EventKind::kRetired:
      return "retired";
    case EventKind::kDisqualified:
      return "disqualified";
    case EventKind::kFinished:
      return "finished";
    case EventKind::kSessionEnd:
      return "session_end";
    case EventKind::kClassLeadChange:
      return "class_lead_change";
  }
  return "event";
}

void RaceStory::Resume(const SessionFacts& session, const std::vector<CarStanding>& cars) {
  session_ = session;
  cars_.clear();
  fastest_lap_s_.reset();
  for (const CarStanding& standing : cars) {
    Car& car = cars_[standing.car];
    car.standing = standing;
    car.seen = true;
    car.resumed = true;
    if (standing.best_lap_s && (!fastest_lap_s_ || *standing.best_lap_s < *fastest_lap_s_)) {
      fastest_lap_s_ = standing.best_lap_s;
    }
  }
  resumed_ = true;
  have_previous_ = false;
}

std::vector<CarStanding> RaceStory::standings() const {
  std::vector<CarStanding> out;
  out.reserve(cars_.size());
  for (const auto& [index, car] : cars_) out.push_back(car.standing);
  return out;
}

int RaceStory::LeaderLap() const {
  if (session_.code == kRaceCode && session_.start_seen && !session_.started_s) return 0;
  int laps = 0;
  for (const auto& [index, car] : cars_) {
    if (car.standing.place == 1) laps = car.standing.laps;
  }
  int lap = laps + 1;
  if (session_.max_laps) lap = std::min(lap, *session_.max_laps);
  return lap;
}

RaceEvent RaceStory::Event(EventKind kind, const CarTiming* car) const {
  RaceEvent event;
  event.kind = kind;
  event.at_s = session_.last_at_s;
  event.lap = LeaderLap();
  if (car != nullptr) {
    event.car = car->index;
    event.driver = car->driver;
    event.car_class = car->car_class;
  }
  return event;
}

void RaceStory::BeginSession(const TimingState& state, StoryUpdate* update) {
  update->new_session = true;
  cars_.clear();
  order_.clear();
  classes_before_.fill(std::string());
  class_leaders_before_.clear();
  classes_kept_ = false;
  fastest_lap_s_.reset();
  have_previous_ = false;
  session_ = SessionFacts{};
  session_.start_seen = state.start_seen();
}

StoryUpdate RaceStory::Update(const TimingState& state) {
  StoryUpdate update;
  // Answers that still carry the previous session's records say nothing
  // of this one.
  if (!state.has_live() || !state.captured()) return update;
  if (session_serial_ != state.sessions_begun()) {
    if (!(resumed_ && session_serial_ == -1)) BeginSession(state, &update);
    session_serial_ = state.sessions_begun();
  }
  const SessionTiming& facts = state.session();
  session_.track = facts.track;
  session_.code = facts.code;
  session_.kind = facts.kind;
  session_.max_laps = facts.max_laps;
  session_.end_time_s = facts.end_time_s;
  session_.last_at_s = facts.current_time_s;
  const bool race = facts.race;
  const double now_s = facts.current_time_s;

  // The start: the first update of a race in which a car moves, when the
  // grid was seen.
  if (race && session_.start_seen && !session_.started_s && have_previous_) {
    bool moved = false;
    for (const CarTiming& now : state.cars()) {
      const auto it = cars_.find(now.index);
      if (it != cars_.end() && it->second.seen &&
          (now.laps != it->second.standing.laps ||
           now.lap_distance_m != it->second.lap_distance_m)) {
        moved = true;
      }
    }
    if (moved) {
      session_.started_s = now_s;
      RaceEvent event = Event(EventKind::kStart, nullptr);
      event.lap = 1;
      event.text = "The race starts.";
      update.events.push_back(std::move(event));
    }
  }
  const bool under_way = !race || session_.started_s || !session_.start_seen;

  if (race && under_way && have_previous_) Passes(state, &update);

  for (const CarTiming& now : state.cars()) {
    Car& car = cars_[now.index];
    CarStanding& standing = car.standing;
    standing.car = now.index;
    standing.driver = now.driver;
    standing.number = now.number;
    standing.short_name = now.short_name;
    standing.team = now.team;
    standing.nation = now.nation;
    standing.car_class = now.car_class;
    if (!car.seen) {
      // First sight in this session: nothing has happened yet that the
      // story could tell, but the lap under way began at the start when
      // the grid was seen.
      car.seen = true;
      standing.laps = now.laps;
      standing.in_pits = now.in_pits;
      standing.finish_status = now.finish_status;
      standing.place = now.place;
      if (session_.start_seen && now.laps == 0) {
        car.lap_start_seen = true;
        car.lap_began_in_pits = now.in_pits;
        standing.start_place = now.place;
      }
      car.lap_distance_m = now.lap_distance_m;
      continue;
    }
    // Places on the grid settle until the start.
    if (race && session_.start_seen && !session_.started_s) standing.start_place = now.place;

    // Into the pit lane: counted on the lap under way, before a crossing
    // shown in the same update, which the car then made in the lane. A car
    // out of the race (flagged, retired, disqualified) makes no stop.
    if (now.in_pits && !standing.in_pits && Running(now.finish_status)) {
      PitEntry(now, &car, &update);
    }
    if (now.laps > standing.laps) {
      Crossing(now, &car, now.laps - standing.laps, &update);
    } else if (now.laps < standing.laps) {
      standing.laps = now.laps;  // the host counted again; nothing to tell
    }
    // Out of it, after the crossing: a car that leaves the lane in the
    // update that shows its crossing left at the line, so the lap it began
    // is not an out-lap and the lap it completed ends the stint.
    if (!now.in_pits && standing.in_pits && standing.pit_entry_s) PitExit(now, &car, &update);
    standing.in_pits = now.in_pits;

    // The running lap's sector times show from sector 2 on.
    if (now.sector != 1) {
      if (now.sector1_s) car.running_sector1_s = now.sector1_s;
      if (now.sector == 0 && now.sector2_s) car.running_sector2_s = now.sector2_s;
    }
    if (now.finish_status != standing.finish_status) FinishChange(now, &car, &update);

    // Stopped on track: running, out of the pits, under way and still.
    const bool still = now.lap_distance_m == car.lap_distance_m && !car.crossed;
    if (under_way && race && still && !now.in_pits && Running(now.finish_status) &&
        !facts.finished) {
      if (car.still_since_s < 0) car.still_since_s = now_s;
      if (!car.stopped_told && now_s - car.still_since_s >= kStoppedAfterS) {
        car.stopped_told = true;
        RaceEvent event = Event(EventKind::kStopped, &now);
        event.text = now.driver + " has stopped on track.";
        update.events.push_back(std::move(event));
      }
    } else if (!still) {
      car.still_since_s = -1;
      car.stopped_told = false;
    }
    car.crossed = false;
    car.resumed = false;
    car.lap_distance_m = now.lap_distance_m;
    standing.place = now.place;
  }

  // The lead, after the crossings so that the leader's lap is current.
  if (race && under_way && have_previous_ && !order_.empty()) {
    const CarTiming* leader = nullptr;
    for (const CarTiming& now : state.cars()) {
      if (now.place == 1) leader = &now;
    }
    if (leader != nullptr && leader->index != order_.front()) {
      RaceEvent event = Event(EventKind::kLeadChange, leader);
      event.other_car = order_.front();
      event.other_driver = cars_[order_.front()].standing.driver;
      event.place = 1;
      event.text = leader->driver + " takes the lead from " + event.other_driver + " on lap " +
                   std::to_string(event.lap) + ".";
      update.events.push_back(std::move(event));
    }
  }
  if (race && under_way && have_previous_) ClassLeads(state, &update);

  // The end: every car in after a race, the clock run out otherwise.
  if (!session_.ended && (race ? facts.all_in : facts.finished)) {
    session_.ended = true;
    RaceEvent event = Event(EventKind::kSessionEnd, nullptr);
    event.text = race ? "The race is over." : "The " + facts.kind + " is over.";
    update.events.push_back(std::move(event));
  }

  order_.clear();
  for (const CarTiming& now : state.cars()) {
    if (now.place > 0) order_.push_back(now.index);
  }
  // Most sessions have no league: nothing to keep then.
  if (classes_kept_ || !state.session().classes.empty()) {
    classes_before_.fill(std::string());
    class_leaders_before_.clear();
    for (const CarTiming& now : state.cars()) {
      classes_before_[now.index] = now.car_class;
      if (!now.car_class.empty() && now.class_place == 1) {
        class_leaders_before_[now.car_class] = now.index;
      }
    }
    classes_kept_ = !state.session().classes.empty();
  }
  have_previous_ = true;
  return update;
}

void RaceStory::PitEntry(const CarTiming& now, Car* car, StoryUpdate* update) {
  CarStanding& standing = car->standing;
  standing.pit_entry_s = session_.last_at_s;
  standing.pit_entry_lap = standing.laps + 1;
  ++standing.pit_stops;
  car->entered_pits_this_lap = true;
  PitStop stop;
  stop.car = now.index;
  stop.driver = now.driver;
  stop.number = standing.pit_stops;
  stop.lap = standing.pit_entry_lap;
  stop.entry_s = session_.last_at_s;
  stop.stint_laps = standing.stint_laps;
  update->pit_stops.push_back(stop);
  RaceEvent event = Event(EventKind::kPitIn, &now);
  event.lap = stop.lap;
  event.text = now.driver + " pits on lap " + std::to_string(stop.lap) + ".";
  update->events.push_back(std::move(event));
}

void RaceStory::PitExit(const CarTiming& now, Car* car, StoryUpdate* update) {
  CarStanding& standing = car->standing;
  PitStop stop;
  stop.car = now.index;
  stop.driver = now.driver;
  stop.number = standing.pit_stops;
  stop.lap = standing.pit_entry_lap;
  stop.entry_s = *standing.pit_entry_s;
  stop.exit_s = session_.last_at_s;
  stop.lane_s = session_.last_at_s - *standing.pit_entry_s;
  stop.stint_laps = standing.stint_laps;
  // Entry and exit in one update: one stop, as it stands at the exit.
  std::erase_if(update->pit_stops,
                [&](const PitStop& p) { return p.car == stop.car && p.number == stop.number; });
  update->pit_stops.push_back(stop);
  char lane[32];
  std::snprintf(lane, sizeof(lane), "%.1f", *stop.lane_s);
  RaceEvent event = Event(EventKind::kPitOut, &now);
  event.seconds = stop.lane_s;
  event.text = now.driver + " leaves the pits after " + lane + " s in the lane.";
  update->events.push_back(std::move(event));
  standing.pit_entry_s.reset();
  standing.stint_laps = 0;
}

void RaceStory::FinishChange(const CarTiming& now, Car* car, StoryUpdate* update) {
  CarStanding& standing = car->standing;
  standing.finish_status = now.finish_status;
  if (now.finish_status == kFinishFlag) {
    standing.finish_at_s = session_.last_at_s;
    RaceEvent event = Event(EventKind::kFinished, &now);
    event.place = now.place;
    event.text = now.driver + " takes the chequered flag in P" + std::to_string(now.place) + ".";
    update->events.push_back(std::move(event));
  } else if (now.finish_status == kFinishRetired) {
    RaceEvent event = Event(EventKind::kRetired, &now);
    event.lap = now.laps + 1;
    event.text = now.driver + " retires on lap " + std::to_string(now.laps + 1) + ".";
    update->events.push_back(std::move(event));
  } else if (now.finish_status == kFinishDisqualified) {
    RaceEvent event = Event(EventKind::kDisqualified, &now);
    event.text = now.driver + " is disqualified.";
    update->events.push_back(std::move(event));
  }
}

void RaceStory::Crossing(const CarTiming& now, Car* car, int laps_done, StoryUpdate* update) {
  CarStanding& standing = car->standing;
  car->crossed = true;
  // Laps crossed between two updates are known only by their number.
  for (int missed = 1; missed < laps_done; ++missed) {
    LapRecord lap;
    lap.car = now.index;
    lap.driver = now.driver;
    lap.lap = standing.laps + missed;
    lap.at_s = session_.last_at_s;
    lap.stint_lap = ++standing.stint_laps;
    lap.number = now.number;
    lap.car_class = now.car_class;
    update->laps.push_back(std::move(lap));
  }
  LapRecord lap;
  lap.car = now.index;
  lap.driver = now.driver;
  lap.lap = now.laps;
  lap.lap_s = now.last_lap_s;
  // In sector 1 the answer shows the completed lap's sector times.
  if (now.sector == 1 && now.sector1_s) {
    lap.sector1_s = now.sector1_s;
    lap.sector2_s = now.sector2_s;
  } else {
    lap.sector1_s = car->running_sector1_s;
    lap.sector2_s = car->running_sector2_s;
  }
  if (lap.lap_s && lap.sector1_s && lap.sector2_s) {
    const float third = *lap.lap_s - *lap.sector1_s - *lap.sector2_s;
    if (third > 0.0f) lap.sector3_s = third;
  }
  // A crossing made while the story was away was not seen at the line.
  if (!car->resumed) {
    lap.place = now.place;
    lap.gap_to_leader = now.gap_to_leader;
  }
  lap.at_s = session_.last_at_s;
  lap.complete = laps_done == 1 && car->lap_start_seen;
  lap.in_lap = car->entered_pits_this_lap;
  lap.out_lap = lap.complete && car->lap_began_in_pits;
  lap.stint_lap = ++standing.stint_laps;
  lap.number = now.number;
  lap.car_class = now.car_class;
  if (lap.lap_s) {
    const float t = *lap.lap_s;
    const bool first_timed = !standing.best_lap_s;
    if (first_timed || t < *standing.best_lap_s) {
      lap.personal_best = true;
      standing.best_lap_s = t;
      standing.best_lap = lap.lap;
    }
    if (!fastest_lap_s_ || t < *fastest_lap_s_) {
      lap.session_best = true;
      fastest_lap_s_ = t;
    }
    const std::string on_lap = " on lap " + std::to_string(lap.lap) + ".";
    if (lap.session_best || (lap.personal_best && !first_timed)) {
      RaceEvent event =
          Event(lap.session_best ? EventKind::kFastestLap : EventKind::kPersonalBest, &now);
      event.lap = lap.lap;
      event.seconds = t;
      event.text = now.driver + (lap.session_best ? " sets the fastest lap, " : " improves to ") +
                   LapTimeText(t) + on_lap;
      update->events.push_back(std::move(event));
    }
  }
  if (lap.place == 1 && session_.code == kRaceCode) ++standing.laps_led;
  standing.laps = now.laps;
  update->laps.push_back(std::move(lap));
  // The crossing begins the next lap.
  car->lap_start_seen = !car->resumed;
  car->lap_began_in_pits = now.in_pits;
  car->entered_pits_this_lap = false;
  car->running_sector1_s.reset();
  car->running_sector2_s.reset();
}

// Overtakes: a car that was behind another in the previous update and is
// ahead of it now, both on track, running and moving in both.
void RaceStory::Passes(const TimingState& state, StoryUpdate* update) {
  // Per car index, looked up for every pair of a full field: its place in
  // the previous update (0: not placed) and whether it races in both.
  std::array<int, 256> before{};
  for (std::size_t i = 0; i < order_.size(); ++i) before[order_[i]] = static_cast<int>(i) + 1;
  std::array<bool, 256> racing{};
  std::vector<const CarTiming*> placed;
  for (const CarTiming& now : state.cars()) {
    if (now.place == 0) continue;
    placed.push_back(&now);
    const auto it = cars_.find(now.index);
    if (it == cars_.end() || !it->second.seen || before[now.index] == 0) continue;
    const Car& car = it->second;
    const bool moving = now.laps != car.standing.laps || now.lap_distance_m != car.lap_distance_m;
    racing[now.index] = !now.in_pits && !car.standing.in_pits && Running(now.finish_status) &&
                        Running(car.standing.finish_status) && moving;
  }
  std::vector<RaceEvent> passes;
  for (std::size_t a = 0; a < placed.size(); ++a) {
    const CarTiming& passer = *placed[a];
    if (!racing[passer.index]) continue;
    for (std::size_t b = a + 1; b < placed.size(); ++b) {
      const CarTiming& passed = *placed[b];
      if (!racing[passed.index] || before[passed.index] >= before[passer.index]) continue;
      RaceEvent event = Event(EventKind::kOvertake, &passer);
      event.other_car = passed.index;
      event.other_driver = passed.driver;
      // At best the passed car's old place, never better than the
      // passer's place now: of two cars passed in one update the first
      // gave the place behind.
      event.place = std::max(before[passed.index], static_cast<int>(passer.place));
      event.text = passer.driver + " passes " + passed.driver + " for P" +
                   std::to_string(event.place) + " on lap " + std::to_string(event.lap) + ".";
      passes.push_back(std::move(event));
    }
  }
  std::stable_sort(passes.begin(), passes.end(),
                   [](const RaceEvent& x, const RaceEvent& y) { return x.place < y.place; });
  for (RaceEvent& event : passes) update->events.push_back(std::move(event));
}

// The lead of each class: a class whose best-placed car is another than in
// the previous update, when both cars were of that class then and are now
// (a league read again that moves drivers between classes tells nothing).
void RaceStory::ClassLeads(const TimingState& state, StoryUpdate* update) {
  if (class_leaders_before_.empty()) return;
  std::array<const CarTiming*, 256> by_index{};
  for (const CarTiming& now : state.cars()) by_index[now.index] = &now;
  for (const ClassTiming& c : state.session().classes) {
    const auto before = class_leaders_before_.find(c.name);
    if (before == class_leaders_before_.end()) continue;
    // The class's leader: its car with class place 1.
    const CarTiming* leader = c.leader ? by_index[*c.leader] : nullptr;
    if (leader == nullptr || leader->index == before->second) continue;
    // The old leader was of the class then, the new one is now: each must
    // also be of it in the other update.
    const CarTiming* old = by_index[before->second];
    if (old == nullptr || old->car_class != c.name || classes_before_[leader->index] != c.name) {
      continue;
    }
    RaceEvent event = Event(EventKind::kClassLeadChange, leader);
    event.other_car = old->index;
    event.other_driver = old->driver;
    event.place = 1;
    event.car_class = c.name;
    event.text = leader->driver + " leads " + c.name + " on lap " + std::to_string(event.lap) + ".";
    update->events.push_back(std::move(event));
  }
}

std::vector<ResultRow> Classify(const SessionFacts& session, const std::vector<CarStanding>& cars,
                                const std::vector<LapRecord>& laps) {
  const bool race = session.code == kRaceCode;
  struct Timed {
    std::optional<float> best;
    int best_lap = 0;
    std::map<int, std::optional<float>> times;
    std::map<int, std::optional<Gap>> gaps;  // to the leader at the line
  };
  std::map<std::uint8_t, Timed> timed;
  for (const LapRecord& lap : laps) {
    Timed& t = timed[lap.car];
    t.times[lap.lap] = lap.lap_s;
    t.gaps[lap.lap] = lap.gap_to_leader;
    if (lap.lap_s && (!t.best || *lap.lap_s < *t.best)) {
      t.best = lap.lap_s;
      t.best_lap = lap.lap;
    }
  }
  // Sort keys: the group (running or finished, retired, disqualified),
  // then two orders within it, then the row.
  std::vector<std::tuple<int, int, int, std::size_t>> keys;
  std::vector<ResultRow> rows;
  for (const CarStanding& car : cars) {
    ResultRow row;
    row.car = car.car;
    row.driver = car.driver;
    row.laps = car.laps;
    row.status = FinishStatusName(car.finish_status);
    row.laps_led = car.laps_led;
    row.pit_stops = car.pit_stops;
    row.number = car.number;
    row.short_name = car.short_name;
    row.team = car.team;
    row.nation = car.nation;
    row.car_class = car.car_class;
    const Timed& t = timed[car.car];
    row.best_lap_s = t.best ? t.best : car.best_lap_s;
    row.best_lap = t.best ? t.best_lap : car.best_lap;
    if (race && car.finish_status == kFinishFlag && car.laps > 0) {
      double total = 0;
      bool whole = true;
      for (int lap = 1; lap <= car.laps && whole; ++lap) {
        const auto it = t.times.find(lap);
        whole = it != t.times.end() && it->second.has_value();
        if (whole) total += *it->second;
      }
      if (whole) row.total_s = total;
    }
    if (race && session.start_seen && car.start_place > 0 && car.place > 0) {
      row.places_gained = car.start_place - car.place;
    }
    const int place = car.place > 0 ? car.place : 1000;
    if (race) {
      const int group = car.finish_status == kFinishRetired        ? 1
                        : car.finish_status == kFinishDisqualified ? 2
                                                                   : 0;
      keys.emplace_back(group, group == 1 ? -car.laps : place, place, rows.size());
    } else {
      const int millis =
          row.best_lap_s ? static_cast<int>(std::lround(*row.best_lap_s * 1000.0f)) : 1 << 30;
      keys.emplace_back(0, millis, place, rows.size());
    }
    rows.push_back(std::move(row));
  }
  std::sort(keys.begin(), keys.end());
  std::map<std::uint8_t, const CarStanding*> by_car;
  for (const CarStanding& car : cars) by_car[car.car] = &car;
  std::vector<ResultRow> ordered;
  for (const auto& key : keys) ordered.push_back(rows[std::get<3>(key)]);
  for (std::size_t i = 0; i < ordered.size(); ++i) {
    ResultRow& row = ordered[i];
    row.position = static_cast<int>(i) + 1;
    if (i == 0) continue;
    const ResultRow& first = ordered.front();
    if (!race) {
      if (row.best_lap_s && first.best_lap_s) {
        row.gap = Gap{0, std::max(0.0f, *row.best_lap_s - *first.best_lap_s)};
      }
      continue;
    }
    if (row.status == FinishStatusName(kFinishDisqualified)) continue;
    // On the winner's lap: the host's time behind the leader as the car
    // crossed the line for the last time, else the difference of totals.
    const auto& gaps = timed[row.car].gaps;
    const auto last = gaps.find(row.laps);
    if (first.laps > row.laps) {
      row.gap = Gap{first.laps - row.laps, 0.0f};
    } else if (last != gaps.end() && last->second && last->second->laps == 0) {
      row.gap = last->second;
    } else if (row.total_s && first.total_s) {
      row.gap = Gap{0, static_cast<float>(std::max(0.0, *row.total_s - *first.total_s))};
    } else {
      const CarStanding* a = by_car[first.car];
      const CarStanding* b = by_car[row.car];
      if (a->finish_at_s && b->finish_at_s) {
        row.gap = Gap{0, static_cast<float>(std::max(0.0, *b->finish_at_s - *a->finish_at_s))};
      }
    }
  }
  ClassifyClasses(&ordered, laps, session);
  return ordered;
}

void ClassifyClasses(std::vector<ResultRow>* rows, const std::vector<LapRecord>& laps,
                     const SessionFacts& session) {
  const bool race = session.code == kRaceCode;
  std::map<std::string, const ResultRow*> firsts;  // each class's first row
  std::map<std::string, int> counts;
  bool any = false;
  for (ResultRow& row : *rows) {
    row.class_position.reset();
    row.class_gap.reset();
    if (row.car_class.empty()) continue;
    any = true;
    row.class_position = ++counts[row.car_class];
  }
  if (!any) return;
  // When each car crossed the line completing each lap, and the lap's time.
  std::map<std::pair<std::uint8_t, int>, const LapRecord*> crossed;
  if (race) {
    for (const LapRecord& lap : laps) crossed[{lap.car, lap.lap}] = &lap;
  }
  const auto at = [&crossed](std::uint8_t car, int lap) -> std::optional<double> {
    const auto it = crossed.find({car, lap});
    return it == crossed.end() ? std::nullopt : std::optional<double>(it->second->at_s);
  };
  // How far the car was behind the race's leader as it completed the lap,
  // by the host's clock; absent when it was a lap or more behind (or the
  // crossing was not seen). The leader itself is 0 behind.
  const auto behind = [&crossed](std::uint8_t car, int lap) -> std::optional<double> {
    const auto it = crossed.find({car, lap});
    if (it == crossed.end()) return std::nullopt;
    const LapRecord& record = *it->second;
    if (!record.gap_to_leader) return record.place == 1 ? std::optional<double>(0.0) : std::nullopt;
    if (record.gap_to_leader->laps > 0) return std::nullopt;
    return record.gap_to_leader->seconds;
  };
  for (ResultRow& row : *rows) {
    if (row.car_class.empty()) continue;
    const auto [it, first] = firsts.try_emplace(row.car_class, &row);
    if (first || row.status == FinishStatusName(kFinishDisqualified)) continue;
    const ResultRow& leader = *it->second;
    if (!race) {
      if (row.best_lap_s && leader.best_lap_s) {
        row.class_gap = Gap{0, std::max(0.0f, *row.best_lap_s - *leader.best_lap_s)};
      }
    } else if (row.laps < leader.laps) {
      row.class_gap = Gap{leader.laps - row.laps, 0.0f};
    } else if (row.laps == leader.laps && row.laps > 0) {
      // The host's times behind the leader say to the millisecond how far
      // apart the two crossed the line; the updates that showed the
      // crossings only to their period.
      std::optional<double> a = behind(leader.car, row.laps), b = behind(row.car, row.laps);
      if (!a || !b) a = at(leader.car, row.laps), b = at(row.car, row.laps);
      if (a && b) row.class_gap = Gap{0, static_cast<float>(std::max(0.0, *b - *a))};
    }
  }
}
