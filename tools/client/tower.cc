#include "tower.h"

#include <algorithm>
#include <cctype>

#include "answer_text.h"
#include "session_headline.h"
#include "text_safety.h"

namespace {

constexpr std::size_t kNameColumns = 18;
constexpr std::size_t kLeagueNameColumns = 13;
constexpr std::size_t kClassColumns = 4;
constexpr std::size_t kLeaderRows = 3;  // always shown when the field is cut
constexpr const char* kFastestOn = "\x1b[1;35m";
constexpr const char* kAttributesOff = "\x1b[0m";
constexpr const char* kPersonalBestOn = "\x1b[32m";
constexpr const char* kSlowerOn = "\x1b[33m";

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
  // The clock before the lap count, each part after " | ".
  const SessionHeadline headline = Headline(state);
  for (const std::optional<std::string>& part : {headline.clock, headline.lap, headline.outcome}) {
    if (part) line += " | " + *part;
  }
  if (headline.fastest_time) {
    line += " | fastest " + *headline.fastest_time + " " + DisplayText(headline.fastest_driver);
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

// How rows are drawn: as without a league, or with its columns, the gaps
// overall or within the class.
struct Layout {
  bool ansi = false;
  bool league = false;
  bool class_gaps = false;
};

// "\x1b[1;38;2;R;G;Bm" for "#rrggbb": bold, in that colour.
std::string ColourOn(const std::string& colour) {
  if (colour.size() != 7) return "";
  const auto channel = [&](std::size_t at) {
    return std::to_string(std::stoi(colour.substr(at, 2), nullptr, 16));
  };
  return "\x1b[1;38;2;" + channel(1) + ";" + channel(3) + ";" + channel(5) + "m";
}

// The league's columns: number, class (coloured) and place in class.
std::string LeagueColumns(const CarTiming& car, bool ansi) {
  const std::string number = car.number ? std::to_string(*car.number) : "";
  const std::string name = PadRight(DisplayText(car.car_class, kClassColumns), kClassColumns);
  const std::string coloured =
      ansi && !car.car_class.empty() ? ColourOn(car.class_colour) + name + kAttributesOff : name;
  const std::string place = car.class_place ? std::to_string(*car.class_place) : "";
  return PadLeft(number, 3) + " " + coloured + " " + PadLeft(place, 2) + " ";
}

// The last lap in nine columns and its mark in one: '*' the session's best
// lap, '+' the driver's own best; in purple, green or yellow when `ansi`.
std::string LastLap(const CarTiming& car, bool ansi) {
  const std::string time = PadLeft(Seconds(car.last_lap_s), 9);
  if (!car.last_lap_mark) return time + " ";
  const TimeMark mark = *car.last_lap_mark;
  const char* on = mark == TimeMark::kSessionBest    ? kFastestOn
                   : mark == TimeMark::kPersonalBest ? kPersonalBestOn
                                                     : kSlowerOn;
  const char* cue = mark == TimeMark::kSessionBest    ? "*"
                    : mark == TimeMark::kPersonalBest ? "+"
                                                      : " ";
  return (ansi ? on + time + kAttributesOff : time) + cue;
}

// The row up to the best lap: place, (league columns,) name, laps, last lap.
std::string RowHead(const CarTiming& car, const Layout& layout, bool ansi, bool followed) {
  const std::string place = PadLeft(car.place == 0 ? "-" : std::to_string(car.place), 3);
  if (!layout.league) {
    return place + (followed ? "> " : "  ") +
           PadRight(DisplayText(car.driver, kNameColumns), kNameColumns) + " " +
           PadLeft(std::to_string(car.laps), 4) + "  " + LastLap(car, ansi) + " ";
  }
  return place + (followed ? ">" : " ") + LeagueColumns(car, ansi) +
         PadRight(DisplayText(car.driver, kLeagueNameColumns), kLeagueNameColumns) + " " +
         PadLeft(std::to_string(car.laps), 3) + " " + LastLap(car, ansi);
}

std::string CarRow(const CarTiming& car, const Layout& layout, bool followed) {
  const std::string head = RowHead(car, layout, layout.ansi, followed);
  const std::string best = PadLeft(Seconds(car.best_lap_s), 9);
  // The marked best lap takes one column, coloured or starred; with gaps
  // within the class, the class's fastest lap.
  const bool fastest = layout.class_gaps ? car.holds_class_fastest_lap : car.holds_fastest_lap;
  const std::string marked = fastest && layout.ansi ? kFastestOn + best + kAttributesOff + " "
                             : fastest              ? best + "*"
                                                    : best + " ";
  const bool leads = layout.class_gaps ? car.class_place == 1 : car.place == 1;
  const std::optional<Gap>& to_leader = layout.class_gaps ? car.class_gap : car.gap_to_leader;
  const std::optional<Gap>& to_ahead = layout.class_gaps ? car.class_interval : car.interval;
  std::string gap = leads ? "leader" : "";
  if (to_leader) gap = GapText(*to_leader);
  const std::string interval = to_ahead ? GapText(*to_ahead) : "";
  const std::string tail =
      " " + PadLeft(gap, 8) + " " + PadLeft(interval, 8) + " " +
      TrimRight(PadLeft(PitColumn(car), 3) + " " + PadLeft(PlacesColumn(car), 3));
  // Gaps of a thousand seconds and more outgrow their columns: the row's
  // end gives way rather than the line growing past the screen. Colours
  // take no columns.
  const std::size_t used = DisplayWidth(RowHead(car, layout, false, followed)) + best.size() + 1;
  return head + marked + DisplayText(tail, kTowerColumns - std::min(used, kTowerColumns)) + "\n";
}

std::string HeaderLine(const Layout& layout) {
  if (layout.league) {
    return PadLeft("P", 3) + " " + PadLeft("#", 3) + " " + PadRight("cls", kClassColumns) + " " +
           PadLeft("PC", 2) + " " + PadRight("driver", kLeagueNameColumns) + " " +
           PadLeft("lap", 3) + " " + PadLeft("last", 9) + " " + PadLeft("best", 9) + "  " +
           PadLeft("gap", 8) + " " + PadLeft("interval", 8) + " " + PadLeft("pit", 3) + " " +
           PadLeft("+/-", 3) + "\n";
  }
  return PadLeft("P", 3) + "  " + PadRight("driver", kNameColumns) + " " + PadLeft("laps", 4) +
         "  " + PadLeft("last", 9) + "  " + PadLeft("best", 9) + "  " + PadLeft("gap", 8) + " " +
         PadLeft("interval", 8) + " " + PadLeft("pit", 3) + " " + PadLeft("+/-", 3) + "\n";
}

// A class's title: its name in its colour, its cars and its fastest lap.
std::string ClassTitle(const ClassTiming& c, bool ansi) {
  std::string rest = " | " + std::to_string(c.cars) + (c.cars == 1 ? " car" : " cars");
  if (c.fastest_lap_s) {
    rest += " | fastest " + LapTimeText(*c.fastest_lap_s) + " " + DisplayText(c.fastest_lap_driver);
  }
  rest += " | gaps within the class";
  const std::string name = DisplayText(c.name, kTowerColumns / 2);
  const std::string line = name + DisplayText(rest, kTowerColumns - DisplayWidth(name));
  if (!ansi) return line + "\n";
  return ColourOn(c.colour) + name + kAttributesOff +
         DisplayText(rest, kTowerColumns - DisplayWidth(name)) + "\n";
}

// The classes one after another (or the one asked for), each under its
// title; cut at the end when taller than `rows` allows.
std::string ClassSections(const TimingState& state, const TowerOptions& options,
                          const Layout& layout, std::size_t followed) {
  struct Line {
    std::string text;
    bool car = false;
  };
  std::vector<Line> lines;
  const std::vector<CarTiming>& cars = state.cars();
  const auto add_cars = [&](const std::string& car_class) {
    for (std::size_t i = 0; i < cars.size(); ++i) {
      if (cars[i].car_class == car_class) {
        lines.push_back({CarRow(cars[i], layout, i == followed), true});
      }
    }
  };
  for (const ClassTiming& c : state.session().classes) {
    const bool wanted = options.only_class.empty() ? c.cars > 0 : c.name == options.only_class;
    if (!wanted) continue;
    lines.push_back({ClassTitle(c, layout.ansi)});
    add_cars(c.name);
    if (c.cars == 0) lines.push_back({"(no cars of this class)\n"});
  }
  if (options.only_class.empty()) {
    // Cars the league puts in no class come last, under a title of their own.
    const auto classless = std::count_if(
        cars.begin(), cars.end(), [](const CarTiming& car) { return car.car_class.empty(); });
    if (classless > 0) {
      lines.push_back({"(no class) | " + std::to_string(classless) + " car(s)\n"});
      add_cars("");
    }
  } else if (state.league()->Class(options.only_class) == nullptr) {
    lines.push_back(
        {"(the league file has no class " + DisplayText(options.only_class, 40) + ")\n"});
  }
  const std::size_t room =
      options.rows == 0 ? lines.size() : std::max<std::size_t>(options.rows, 4) - 2;
  std::string text;
  if (lines.size() <= room) {
    for (const Line& line : lines) text += line.text;
    return text;
  }
  // A title whose cars are all cut goes too.
  std::size_t kept = room - 1;
  while (kept > 0 && !lines[kept - 1].car) --kept;
  std::size_t more = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i < kept) {
      text += lines[i].text;
    } else if (lines[i].car) {
      ++more;
    }
  }
  return text + PadLeft("...", 3) + "  " + std::to_string(more) + " more car(s)\n";
}

}  // namespace

std::string FormatTower(const TimingState& state, const TowerOptions& options) {
  std::string text = SessionLine(state);
  if (!state.has_live()) return text + "(waiting for live data)\n";
  Layout layout;
  layout.ansi = options.ansi;
  layout.league = state.league() != nullptr;
  layout.class_gaps = layout.league && (options.split || !options.only_class.empty());
  text += HeaderLine(layout);
  const std::vector<CarTiming>& cars = state.cars();
  std::size_t followed = cars.size();
  if (!options.follow.empty()) {
    for (std::size_t i = 0; i < cars.size() && followed == cars.size(); ++i) {
      if (ContainsIgnoringCase(cars[i].driver, options.follow)) followed = i;
    }
  }
  if (layout.class_gaps) return text + ClassSections(state, options, layout, followed);
  const auto row = [&](std::size_t i) { return CarRow(cars[i], layout, i == followed); };
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
