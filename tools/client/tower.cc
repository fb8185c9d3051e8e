#include "tower.h"

#include <algorithm>
#include <cctype>

#include "answer_text.h"
#include "text_safety.h"

namespace {

constexpr std::size_t kNameColumns = 18;
constexpr std::size_t kLeaderRows = 3;  // always shown when the field is cut
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

std::string TrimRight(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string Seconds(const std::optional<float>& seconds) {
  return seconds ? LapTimeText(*seconds) : LapTimeText(-1.0f);
}

std::string SessionLine(const TimingState& state) {
  const SessionTiming& s = state.session();
  std::string line;
  if (s.known) {
    line = DisplayText(s.track.empty() ? "(no track)" : s.track) + " | " + s.kind;
  } else {
    line = "(waiting for session)";
  }
  // A finished race needs no clock or lap count: its line says so instead.
  const bool race_over = s.finished && s.race;
  if (state.has_live() && !race_over) {
    if (s.time_left_s) {
      line += " | " + ClockText(*s.time_left_s) + " left";
    } else {
      line += " | time " + ClockText(s.current_time_s);
    }
  }
  if (s.lap && s.max_laps && !race_over) {
    line += " | lap " + std::to_string(*s.lap) + "/" + std::to_string(*s.max_laps);
  }
  if (s.finished) {
    line += !s.race ? " | finished" : s.all_in ? " | final classification" : " | chequered flag";
  }
  if (s.fastest_lap_s) {
    line += " | fastest " + LapTimeText(*s.fastest_lap_s) + " " + DisplayText(s.fastest_lap_driver);
  }
  return DisplayText(line, kTowerColumns) + "\n";
}

// A count not known (it began before the client joined) reads "-".
std::string PitColumn(const CarTiming& car) {
  if (car.finished) return "fin";
  if (car.in_pits) return "PIT";
  return car.pit_stops ? std::to_string(*car.pit_stops) : "-";
}

std::string PlacesColumn(const CarTiming& car) {
  if (!car.places_gained) return "-";
  if (*car.places_gained > 0) return "+" + std::to_string(*car.places_gained);
  if (*car.places_gained < 0) return std::to_string(*car.places_gained);
  return "";
}

bool ContainsIgnoringCase(const std::string& text, const std::string& part) {
  const auto lower = [](char c) { return std::tolower(static_cast<unsigned char>(c)); };
  return std::search(text.begin(), text.end(), part.begin(), part.end(),
                     [&](char a, char b) { return lower(a) == lower(b); }) != text.end();
}

std::string CarRow(const CarTiming& car, bool ansi, bool followed) {
  const std::string head =
      PadLeft(car.place == 0 ? "-" : std::to_string(car.place), 3) + (followed ? "> " : "  ") +
      PadRight(DisplayText(car.driver, kNameColumns), kNameColumns) + " " +
      PadLeft(std::to_string(car.laps), 4) + "  " + PadLeft(Seconds(car.last_lap_s), 9) + "  ";
  const std::string best = PadLeft(Seconds(car.best_lap_s), 9);
  // The marked best lap takes one column, coloured or starred.
  const std::string marked = car.holds_fastest_lap && ansi
                                 ? kFastestOn + best + kAttributesOff + " "
                             : car.holds_fastest_lap ? best + "*"
                                                     : best + " ";
  std::string gap = car.place == 1 ? "leader" : "";
  if (car.gap_to_leader) gap = GapText(*car.gap_to_leader);
  const std::string interval = car.interval ? GapText(*car.interval) : "";
  const std::string tail =
      " " + PadLeft(gap, 8) + " " + PadLeft(interval, 8) + " " +
      TrimRight(PadLeft(PitColumn(car), 3) + " " + PadLeft(PlacesColumn(car), 3));
  // Gaps of a thousand seconds and more outgrow their columns: the row's
  // end gives way rather than the line growing past the screen.
  const std::size_t used = DisplayWidth(head) + best.size() + 1;
  return head + marked + DisplayText(tail, kTowerColumns - std::min(used, kTowerColumns)) + "\n";
}

}  // namespace

std::string FormatTower(const TimingState& state, const TowerOptions& options) {
  std::string text = SessionLine(state);
  if (!state.has_live()) return text + "(waiting for live data)\n";
  text += PadLeft("P", 3) + "  " + PadRight("driver", kNameColumns) + " " + PadLeft("laps", 4) +
          "  " + PadLeft("last", 9) + "  " + PadLeft("best", 9) + "  " + PadLeft("gap", 8) + " " +
          PadLeft("interval", 8) + " " + PadLeft("pit", 3) + " " + PadLeft("+/-", 3) + "\n";
  const std::vector<CarTiming>& cars = state.cars();
  std::size_t followed = cars.size();
  if (!options.follow.empty()) {
    for (std::size_t i = 0; i < cars.size() && followed == cars.size(); ++i) {
      if (ContainsIgnoringCase(cars[i].driver, options.follow)) followed = i;
    }
  }
  const auto row = [&](std::size_t i) { return CarRow(cars[i], options.ansi, i == followed); };
  // Rows left for cars below the two title lines; never fewer than shows
  // the leaders, a separator and the followed car.
  const std::size_t room = options.rows == 0
                               ? cars.size()
                               : std::max(options.rows, std::size_t{2 + kLeaderRows + 2}) - 2;
  if (cars.size() <= room) {
    for (std::size_t i = 0; i < cars.size(); ++i) text += row(i);
    return text;
  }
  if (followed >= room - 1 && followed < cars.size()) {
    // The leaders, a separator, and a window around the followed car.
    const std::size_t window = room - kLeaderRows - 1;
    const std::size_t first =
        std::clamp(followed - std::min(followed, window / 2), kLeaderRows, cars.size() - window);
    for (std::size_t i = 0; i < kLeaderRows; ++i) text += row(i);
    text += PadLeft("...", 3) + "\n";
    for (std::size_t i = first; i < first + window; ++i) text += row(i);
    return text;
  }
  for (std::size_t i = 0; i + 1 < room; ++i) text += row(i);
  return text + PadLeft("...", 3) + "  " + std::to_string(cars.size() - (room - 1)) +
         " more car(s)\n";
}
