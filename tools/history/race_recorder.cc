#include "race_recorder.h"

#include <algorithm>
#include <set>

namespace {

// How far the session clock may read earlier than the last recorded update
// of a session that is carried on (the recorded update and the state may
// straddle one host update).
constexpr double kClockSlackS = 1.0;

std::string Describe(const SessionFacts& facts) { return facts.kind + " at " + facts.track; }

}  // namespace

std::vector<std::string> RaceRecorder::TakeNotices() {
  std::vector<std::string> notices;
  notices.swap(notices_);
  return notices;
}

void RaceRecorder::Begin(const TimingState& state, double unix_s) {
  (void)unix_s;
  const SessionTiming& now = state.session();
  std::string error;
  std::optional<SessionRecord> open = store_->OpenSession(now.track, now.code, &error);
  if (!error.empty()) {
    error_ = error;
    return;
  }
  if (!open) return;
  bool carries_on = open->facts.last_at_s <= now.current_time_s + kClockSlackS;
  for (const CarTiming& car : state.cars()) {
    for (const CarStanding& recorded : open->cars) {
      if (recorded.car == car.index && car.laps < recorded.laps) carries_on = false;
    }
  }
  if (!carries_on) return;  // the new session's start ends it
  story_.Resume(open->facts, open->cars);
  saved_classes_ = open->classes;
  session_id_ = open->summary.id;
  last_cars_ = open->cars;
  last_facts_ = open->facts;
  notices_.push_back("carrying on session " + std::to_string(session_id_) + " (" +
                     Describe(open->facts) + ", " + std::to_string(open->laps.size()) +
                     " laps recorded before); each car's lap under way is kept marked incomplete");
}

void RaceRecorder::EndCurrent(const std::vector<CarStanding>& cars, const SessionFacts& facts,
                              double unix_s) {
  std::string error;
  if (!store_->EndSession(session_id_, facts, cars, unix_s, &error)) {
    error_ = error;
    return;
  }
  ended_ = true;
  notices_.push_back("session " + std::to_string(session_id_) + " (" + Describe(facts) +
                     ") ended; its results are stored");
}

bool RaceRecorder::ClassesChanged(const TimingState& state) const {
  const std::vector<ClassTiming>& now = state.session().classes;
  if (now.size() != saved_classes_.size()) return true;
  for (std::size_t i = 0; i < now.size(); ++i) {
    if (now[i].name != saved_classes_[i].name || now[i].colour != saved_classes_[i].colour ||
        now[i].order != saved_classes_[i].order) {
      return true;
    }
  }
  return false;
}

std::vector<StoredEvent> RaceRecorder::Update(const TimingState& state, double unix_s) {
  std::vector<StoredEvent> stored;
  if (!error_.empty() || !state.captured() || !state.session().known) return stored;
  if (!begun_) {
    begun_ = true;
    Begin(state, unix_s);
    if (!error_.empty()) return stored;
  }
  const StoryUpdate update = story_.Update(state);
  const SessionFacts& facts = story_.session();
  std::string error;
  if (update.new_session) {
    if (session_id_ != 0 && !ended_) EndCurrent(last_cars_, last_facts_, unix_s);
    // An earlier session of this track and kind left unfinished is over.
    std::optional<SessionRecord> open = store_->OpenSession(facts.track, facts.code, &error);
    if (open && error.empty()) {
      session_id_ = open->summary.id;
      EndCurrent(open->cars, open->facts, unix_s);
    }
    if (!error.empty() || !error_.empty()) {
      if (error_.empty()) error_ = error;
      return stored;
    }
    if (!store_->BeginSession(facts, unix_s, &session_id_, &error)) {
      error_ = error;
      return stored;
    }
    ended_ = false;
    saved_classes_.clear();
    const bool joined = !facts.start_seen;
    notices_.push_back("recording session " + std::to_string(session_id_) + " (" + Describe(facts) +
                       ")" +
                       (joined ? " joined under way: laps run before are not recorded, and each "
                                 "car's first lap is kept marked incomplete"
                               : " from its start"));
  }
  // A league read again (a new one in the state) changes every car's
  // identity and perhaps the classes.
  const bool league_changed = state.league().get() != league_seen_;
  league_seen_ = state.league().get();
  const bool classes_changed = !ended_ && ClassesChanged(state);
  // The story's cars are copied only for an update that brought something:
  // the stored rows change only then, and most updates bring nothing.
  if (update.empty() && !league_changed && !classes_changed) return stored;
  std::vector<CarStanding> cars = story_.standings();
  if (!ended_) {
    std::vector<LeagueClass> classes;
    if (classes_changed) {
      for (const ClassTiming& c : state.session().classes) {
        classes.push_back({c.name, c.colour, c.order});
      }
    }
    // Every car when the field matters as a whole; else the cars named.
    const bool all =
        update.new_session || league_changed ||
        std::any_of(update.events.begin(), update.events.end(), [](const RaceEvent& e) {
          return e.kind == EventKind::kStart || e.kind == EventKind::kSessionEnd;
        });
    std::vector<CarStanding> changed;
    if (all) {
      changed = cars;
    } else {
      std::set<std::uint8_t> named;
      for (const LapRecord& l : update.laps) named.insert(l.car);
      for (const PitStop& p : update.pit_stops) named.insert(p.car);
      for (const RaceEvent& e : update.events) {
        if (e.car) named.insert(*e.car);
      }
      for (const CarStanding& c : cars) {
        if (named.count(c.car)) changed.push_back(c);
      }
    }
    if (!store_->Save(session_id_, facts, update, changed, unix_s, &stored, &error,
                      classes_changed ? &classes : nullptr)) {
      error_ = error;
      return stored;
    }
    if (classes_changed) saved_classes_ = std::move(classes);
    if (facts.ended) EndCurrent(cars, facts, unix_s);
  }
  last_cars_ = std::move(cars);
  last_facts_ = facts;
  return stored;
}
