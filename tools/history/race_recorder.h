// The recorder: tells the race story each timing state and keeps what it
// adds in the race store, one transaction per update that brought a lap, a
// pit stop or an event.
//
// A recorder started while a session it recorded before is still under way
// (the same track and session kind, not ended, the clock and every car's
// laps no earlier than recorded) carries that session on: nothing is
// recorded twice, and the laps it missed while it was away are kept by
// number, untimed when no answer showed their time. Otherwise it starts a
// new session, and an earlier one of that track and kind left unfinished
// is ended with the classification it had.
//
// The session's classes are saved as the league gives them when the session
// begins and again whenever they change; a league read again also saves
// every car, so that each keeps its driver's new number, names and class.
//
// When the store fails (a full disk, a file taken away), recording stops
// with one message and nothing already recorded is changed; the caller's
// live views go on.
//
// Thread-safety: one thread at a time.
#ifndef PITWALL_TOOLS_HISTORY_RACE_RECORDER_H_
#define PITWALL_TOOLS_HISTORY_RACE_RECORDER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "race_store.h"
#include "race_story.h"
#include "timing_state.h"

class RaceRecorder {
 public:
  // `store` is open for recording and outlives the recorder.
  explicit RaceRecorder(RaceStore* store) : store_(store) {}

  // Takes the timing state after each live answer; `unix_s` is now. Returns
  // the events stored for this update, with their ids.
  std::vector<StoredEvent> Update(const TimingState& state, double unix_s);

  bool recording() const { return error_.empty(); }
  // Why recording stopped; empty while it goes on.
  const std::string& error() const { return error_; }
  std::int64_t session_id() const { return session_id_; }
  // Sentences for the user since the last call: which session is being
  // recorded, carried on or ended.
  std::vector<std::string> TakeNotices();

 private:
  // The first state of a session: carry on a recorded one, or start anew.
  void Begin(const TimingState& state, double unix_s);
  void EndCurrent(const std::vector<CarStanding>& cars, const SessionFacts& facts, double unix_s);
  // Whether the state's classes differ from those saved last.
  bool ClassesChanged(const TimingState& state) const;

  RaceStore* const store_;
  RaceStory story_;
  std::int64_t session_id_ = 0;
  bool begun_ = false;
  bool ended_ = false;
  std::vector<CarStanding> last_cars_;  // the story's cars after the previous update
  SessionFacts last_facts_;
  std::vector<LeagueClass> saved_classes_;  // the session's classes in the store
  const League* league_seen_ = nullptr;     // the state's league at the previous update
  std::string error_;
  std::vector<std::string> notices_;
};

#endif  // PITWALL_TOOLS_HISTORY_RACE_RECORDER_H_
