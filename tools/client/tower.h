// The live timing tower that `pitwall watch` draws: a session line, then one
// row per car in place order.
//
// Thread-safety: plain functions without state.
#ifndef PITWALL_TOOLS_CLIENT_TOWER_H_
#define PITWALL_TOOLS_CLIENT_TOWER_H_

#include <optional>
#include <string>

#include "pitwall_client.h"

// The latest answer of each kind; absent ones are shown as missing.
struct TowerView {
  std::optional<SessionAnswer> session;
  std::optional<DriversAnswer> drivers;
  std::optional<LiveAnswer> live;
};

// The tower as lines ending in '\n'. Cars are ordered by place, place 0
// (not placed) last, ties by car index. While the fastest lap is above 0,
// the best lap of the car holding it is drawn bold magenta when `ansi`, else followed by '*'. Names
// come from `drivers` by car index ("car N" when missing) and are cut to 20
// columns.
std::string FormatTower(const TowerView& view, bool ansi);

#endif  // PITWALL_TOOLS_CLIENT_TOWER_H_
