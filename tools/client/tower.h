// The live timing tower that `pitwall watch` draws from the timing state: a
// session line, a header, then one row per car in place order, all within
// 80 columns.
//
// Thread-safety: plain functions without state.
#ifndef PITWALL_TOOLS_CLIENT_TOWER_H_
#define PITWALL_TOOLS_CLIENT_TOWER_H_

#include <cstddef>
#include <string>

#include "timing_state.h"

inline constexpr std::size_t kTowerColumns = 80;

// The tower as lines ending in '\n', none wider than kTowerColumns. The best
// lap of the car holding the session's fastest lap is drawn bold magenta
// when `ansi`, else followed by '*'. Driver names are cut to 18 columns.
// The "pit" column shows PIT while a car is in the pits, "fin" once it has
// finished, else its pit stops; "+/-" the places gained (+) or lost (-).
std::string FormatTower(const TimingState& state, bool ansi);

#endif  // PITWALL_TOOLS_CLIENT_TOWER_H_
