#include "session_headline.h"

#include "answer_text.h"

SessionHeadline Headline(const TimingState& state) {
  const SessionTiming& s = state.session();
  SessionHeadline headline;
  const bool race_over = s.finished && s.race;
  if (state.has_live() && !race_over) {
    if (s.lap && s.max_laps) {
      headline.lap = "lap " + std::to_string(*s.lap) + "/" + std::to_string(*s.max_laps);
    }
    headline.clock =
        s.time_left_s ? ClockText(*s.time_left_s) + " left" : "time " + ClockText(s.current_time_s);
  }
  if (s.finished) {
    headline.outcome = !s.race ? "finished" : s.all_in ? "final classification" : "chequered flag";
  }
  if (s.fastest_lap_s) {
    headline.fastest_time = LapTimeText(*s.fastest_lap_s);
    headline.fastest_driver = s.fastest_lap_driver;
  }
  return headline;
}
