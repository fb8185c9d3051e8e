// The session's headline: the parts every view's session line is made of
// (the lap count, the clock, how the session ended, the fastest lap),
// worked out once from the timing state. The terminal tower, the SVG
// picture and the web page (through the timing JSON) each join them in
// their own order with their own separators and extras.
//
// Thread-safety: plain functions without state.
#ifndef PITWALL_TOOLS_CLIENT_SESSION_HEADLINE_H_
#define PITWALL_TOOLS_CLIENT_SESSION_HEADLINE_H_

#include <optional>
#include <string>

#include "timing_state.h"

struct SessionHeadline {
  // "lap 3/10": with a live answer, a lap count and the race not over.
  std::optional<std::string> lap;
  // "12:34 left" for a session with an end time, else "time 1:02:03": with
  // a live answer and the race not over (a finished race needs no clock).
  std::optional<std::string> clock;
  // "chequered flag" (a race's leader took the flag), "final
  // classification" (every placed car took it), "finished" (any other
  // session); absent while the session runs.
  std::optional<std::string> outcome;
  // The session's fastest lap, "1:23.456", and its holder's name as the
  // state has it (views make it safe to show); absent until a lap is timed.
  std::optional<std::string> fastest_time;
  std::string fastest_driver;
};

SessionHeadline Headline(const TimingState& state);

#endif  // PITWALL_TOOLS_CLIENT_SESSION_HEADLINE_H_
