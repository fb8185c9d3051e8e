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

struct TowerOptions {
  bool ansi = false;     // colour (for a terminal that understands escapes)
  std::size_t rows = 0;  // at most this many lines; 0: a row for every car
  std::string follow;    // the car to keep in view: part of its driver's name
  // With a league (the state has one): only the cars of this class, or
  // every class one after another (`split`); either way each class with
  // its own leader, gaps and intervals within the class.
  std::string only_class;
  bool split = false;
};

// The tower as lines ending in '\n', none wider than kTowerColumns. The best
// lap of the car holding the session's fastest lap is drawn bold magenta
// when `ansi`, else followed by '*'. A last lap that is the session's best
// is followed by '*', one that is the driver's own best by '+', and drawn
// bold magenta, green or (slower) yellow when `ansi`; no other escape
// sequence is written.
// Names are in their display form (text_safety.h), driver names cut to 18
// terminal columns and padded by their width, so wide characters line up.
// The "pit" column shows PIT while a car is in the pits, "fin" once it has
// finished, else its pit stops; "+/-" the places gained (+) or lost (-);
// either reads "-" when not known (the client joined after the start).
// The followed car (the first whose name contains `follow`, ignoring ASCII
// case) is marked '>' after its place.
//
// When the field is taller than `rows` allows, the tower shows the leaders
// and, when the followed car would be off the screen, a separator and the
// cars around it; otherwise a last line says how many more cars there are.
//
// With a league, each row also shows the car number, the class (its name
// cut to four columns, in the class colour when `ansi`) and the place in
// the class, and names are cut to 13 columns. Split by class, or with one
// class, each class has a title line (its name, cars, fastest lap) and its
// rows; the "gap" and "interval" columns are then within the class, and a
// field taller than `rows` is cut at the end.
std::string FormatTower(const TimingState& state, const TowerOptions& options);

#endif  // PITWALL_TOOLS_CLIENT_TOWER_H_
