#include "tower.h"

#include <algorithm>
#include <vector>

#include "answer_text.h"

namespace {

constexpr std::size_t kNameColumns = 20;
constexpr const char* kFastestOn = "\x1b[1;35m";
constexpr const char* kAttributesOff = "\x1b[0m";

std::string PadLeft(const std::string& text, std::size_t width) {
  const std::size_t used = DisplayWidth(text);
  return used >= width ? text : std::string(width - used, ' ') + text;
}

std::string PadRight(const std::string& text, std::size_t width) {
  const std::size_t used = DisplayWidth(text);
  return used >= width ? text : text + std::string(width - used, ' ');
}

std::string DriverName(const TowerView& view, std::uint8_t index) {
  if (view.drivers) {
    for (const DriverEntry& driver : view.drivers->drivers) {
      if (driver.index == index) return TruncateColumns(PrintableText(driver.name), kNameColumns);
    }
  }
  return "car " + std::to_string(index);
}

std::string SessionLine(const TowerView& view) {
  std::string line;
  if (view.session) {
    const SessionAnswer& s = *view.session;
    line = PrintableText(s.track_name.empty() ? "(no track)" : s.track_name) + " | session " +
           std::to_string(s.session);
  } else {
    line = "(waiting for session)";
  }
  if (view.live) {
    line += " | time " + ClockText(view.live->current_time);
    // A session without an end time (a race run to a lap count) shows none.
    if (view.session && view.session->end_time > 0) line += " / " + ClockText(view.session->end_time);
  }
  if (view.session && view.session->max_laps > 0) {
    line += " | laps " + std::to_string(view.session->max_laps);
  }
  if (view.live && view.live->fastest_lap > 0) {
    line += " | fastest " + LapTimeText(view.live->fastest_lap) + " (car " +
            std::to_string(view.live->fastest_lap_vehicle) + ")";
  }
  return line + "\n";
}

}  // namespace

std::string FormatTower(const TowerView& view, bool ansi) {
  std::string text = SessionLine(view);
  if (!view.live) return text + "(waiting for live data)\n";
  text += PadLeft("P", 3) + "  " + PadLeft("car", 3) + "  " + PadRight("driver", kNameColumns) +
          "  " + PadLeft("laps", 4) + "  " + PadLeft("last", 9) + "  " + PadLeft("best", 9) +
          "   " + PadLeft("gap", 10) + "  " + PadLeft("sec", 3) + "  pit\n";
  std::vector<const CarState*> cars;
  for (const CarState& car : view.live->cars) cars.push_back(&car);
  std::sort(cars.begin(), cars.end(), [](const CarState* a, const CarState* b) {
    const int place_a = a->place == 0 ? 256 : a->place;
    const int place_b = b->place == 0 ? 256 : b->place;
    return place_a != place_b ? place_a < place_b : a->index < b->index;
  });
  const LiveAnswer& live = *view.live;
  for (const CarState* car : cars) {
    const bool fastest = live.fastest_lap > 0 && car->index == live.fastest_lap_vehicle;
    std::string best = PadLeft(LapTimeText(car->best_lap), 9);
    if (fastest && ansi) {
      best = kFastestOn + best + kAttributesOff + " ";
    } else {
      best += fastest ? "*" : " ";
    }
    const std::string gap =
        car->place == 1 ? "leader" : "+" + FixedText(car->time_behind_leader, 3);
    text += PadLeft(car->place == 0 ? "-" : std::to_string(car->place), 3) + "  " +
            PadLeft(std::to_string(car->index), 3) + "  " +
            PadRight(DriverName(view, car->index), kNameColumns) + "  " +
            PadLeft(std::to_string(car->laps), 4) + "  " + PadLeft(LapTimeText(car->last_lap), 9) +
            "  " + best + "  " + PadLeft(gap, 10) + "  " + PadLeft(std::to_string(car->sector), 3) +
            (car->in_pits ? "  PIT" : "") + "\n";
  }
  return text;
}
