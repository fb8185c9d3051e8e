#include "tower.h"

#include "answer_text.h"

namespace {

constexpr std::size_t kNameColumns = 18;
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
    line = PrintableText(s.track.empty() ? "(no track)" : s.track) + " | " + s.kind;
  } else {
    line = "(waiting for session)";
  }
  if (state.has_live()) {
    if (s.time_left_s) {
      line += " | " + ClockText(*s.time_left_s) + " left";
    } else {
      line += " | time " + ClockText(s.current_time_s);
    }
  }
  if (s.max_laps && s.laps_left) {
    const int lap = std::min(*s.max_laps, *s.max_laps - *s.laps_left + 1);
    line += " | lap " + std::to_string(lap) + "/" + std::to_string(*s.max_laps);
  }
  if (s.finished) line += " | FINISHED";
  if (s.fastest_lap_s) {
    line +=
        " | fastest " + LapTimeText(*s.fastest_lap_s) + " " + PrintableText(s.fastest_lap_driver);
  }
  return TruncateColumns(line, kTowerColumns) + "\n";
}

std::string PitColumn(const CarTiming& car) {
  if (car.finished) return "fin";
  if (car.in_pits) return "PIT";
  return std::to_string(car.pit_stops);
}

std::string PlacesColumn(const CarTiming& car) {
  if (car.places_gained > 0) return "+" + std::to_string(car.places_gained);
  if (car.places_gained < 0) return std::to_string(car.places_gained);
  return "";
}

}  // namespace

std::string FormatTower(const TimingState& state, bool ansi) {
  std::string text = SessionLine(state);
  if (!state.has_live()) return text + "(waiting for live data)\n";
  text += PadLeft("P", 3) + "  " + PadRight("driver", kNameColumns) + " " + PadLeft("laps", 4) +
          "  " + PadLeft("last", 9) + "  " + PadLeft("best", 9) + "  " + PadLeft("gap", 8) + " " +
          PadLeft("interval", 8) + " " + PadLeft("pit", 3) + " " + PadLeft("+/-", 3) + "\n";
  for (const CarTiming& car : state.cars()) {
    std::string best = PadLeft(Seconds(car.best_lap_s), 9);
    if (car.holds_fastest_lap && ansi) {
      best = kFastestOn + best + kAttributesOff + " ";
    } else {
      best += car.holds_fastest_lap ? "*" : " ";
    }
    std::string gap = car.place == 1 ? "leader" : "";
    if (car.gap_to_leader) gap = GapText(*car.gap_to_leader);
    const std::string interval = car.interval ? GapText(*car.interval) : "";
    text += PadLeft(car.place == 0 ? "-" : std::to_string(car.place), 3) + "  " +
            PadRight(TruncateColumns(PrintableText(car.driver), kNameColumns), kNameColumns) + " " +
            PadLeft(std::to_string(car.laps), 4) + "  " + PadLeft(Seconds(car.last_lap_s), 9) +
            "  " + best + " " + PadLeft(gap, 8) + " " + PadLeft(interval, 8) + " " +
            TrimRight(PadLeft(PitColumn(car), 3) + " " + PadLeft(PlacesColumn(car), 3)) + "\n";
  }
  return text;
}
