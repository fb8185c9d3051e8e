#include "history_views.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>

#include "json_parts.h"
#include "text_safety.h"
#include "track_svg.h"

namespace {

using json_parts::Dump;
using json_parts::Float;
using json_parts::GapJson;
using json_parts::Json;
using json_parts::Maybe;
using json_parts::Millis;
using json_parts::Text;

Json SummaryJson(const SessionSummary& s) {
  return Json{{"id", s.id},
              {"started_unix_s", Millis(s.started_unix_s)},
              {"track", Text(s.track)},
              {"kind", s.kind},
              {"code", s.code},
              {"cars", s.cars},
              {"laps", s.laps},
              {"ended", s.ended},
              {"winner", s.winner.empty() ? Json(nullptr) : Text(s.winner)}};
}

Json Head(const char* format, const SessionRecord& record) {
  return Json{{"format", format},
              {"version", kHistoryJsonVersion},
              {"session", SummaryJson(record.summary)}};
}

Json OptionalCar(const std::optional<std::uint8_t>& car) {
  return car ? Json(*car) : Json(nullptr);
}

// A name, or null when empty.
Json TextOrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Text(text); }

Json EventObject(const StoredEvent& stored) {
  const RaceEvent& e = stored.event;
  return Json{{"id", stored.id},
              {"kind", EventKindName(e.kind)},
              {"at_s", Millis(e.at_s)},
              {"lap", e.lap},
              {"car", OptionalCar(e.car)},
              {"driver", e.car ? Text(e.driver) : Json(nullptr)},
              {"other_car", OptionalCar(e.other_car)},
              {"other_driver", e.other_car ? Text(e.other_driver) : Json(nullptr)},
              {"place", e.place > 0 ? Json(e.place) : Json(nullptr)},
              {"seconds", Maybe(e.seconds)},
              {"text", Text(e.text)},
              {"class", TextOrNull(e.car_class)}};
}

// `key` and a float in its shortest form (as Float writes it), or null.
void PutFloat(std::string* out, const char* key, const std::optional<float>& value) {
  *out += key;
  char text[32];
  if (!value || !std::isfinite(*value)) {
    *out += "null";
    return;
  }
  const auto [end, ec] = std::to_chars(text, text + sizeof(text), *value);
  out->append(text, ec == std::errc() ? end : text);
}

// `key` and seconds to the millisecond (as Millis writes them).
void PutMillis(std::string* out, const char* key, double seconds) {
  *out += key;
  if (!std::isfinite(seconds)) {
    *out += "null";
    return;
  }
  char text[32];
  const auto [end, ec] =
      std::to_chars(text, text + sizeof(text), std::round(seconds * 1000.0) / 1000.0);
  out->append(text, ec == std::errc() ? end : text);
}

// The fastest lap of the session (`car_class` empty) or of a class: the
// lowest lap time, the earlier on a tie.
const LapRecord* FastestLap(const SessionRecord& record, const std::string& car_class = "") {
  const LapRecord* best = nullptr;
  for (const LapRecord& lap : record.laps) {
    if (!car_class.empty() && lap.car_class != car_class) continue;
    if (lap.lap_s && (!best || *lap.lap_s < *best->lap_s ||
                      (*lap.lap_s == *best->lap_s && lap.at_s < best->at_s))) {
      best = &lap;
    }
  }
  return best;
}

// Whether the session shows classes: it has some, or a row is in one.
bool Classed(const SessionRecord& record) {
  if (!record.classes.empty()) return true;
  return std::any_of(record.results.begin(), record.results.end(),
                     [](const ResultRow& row) { return !row.car_class.empty(); });
}

// The session's classes in their order.
std::vector<LeagueClass> ClassesInOrder(const SessionRecord& record) {
  std::vector<LeagueClass> classes = record.classes;
  std::stable_sort(classes.begin(), classes.end(),
                   [](const LeagueClass& a, const LeagueClass& b) { return a.order < b.order; });
  return classes;
}

// The rows of one class, in its order.
std::vector<const ResultRow*> RowsOf(const SessionRecord& record, const std::string& car_class) {
  std::vector<const ResultRow*> rows;
  for (const ResultRow& row : record.results) {
    if (row.car_class == car_class) rows.push_back(&row);
  }
  return rows;
}

// "#rrggbb" or "#rgb" as it stands, anything else empty: a colour read
// back from a file goes into the page's markup.
std::string SafeColour(const std::string& colour) {
  if ((colour.size() != 7 && colour.size() != 4) || colour[0] != '#') return "";
  for (std::size_t i = 1; i < colour.size(); ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(colour[i]))) return "";
  }
  return colour;
}

// "#7 Ada Brennan", or the name alone without a number.
std::string NamedDriver(const std::optional<int>& number, const std::string& driver) {
  return number ? "#" + std::to_string(*number) + " " + driver : driver;
}

bool HoldsCaseless(const std::string& text, const std::string& part) {
  const auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  return lower(text).find(lower(part)) != std::string::npos;
}

// "12.345" (three decimals) or "12.3" (one).
std::string Decimals(double value, int places) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.*f", places, value);
  return text;
}

// "1:23:45.678", "23:45.678" or "45.678".
std::string DurationText(double seconds) {
  const long long millis = std::llround(seconds * 1000.0);
  const long long hours = millis / 3600000, minutes = millis / 60000 % 60;
  const double rest = static_cast<double>(millis % 60000) / 1000.0;
  char text[48];
  if (hours > 0) {
    std::snprintf(text, sizeof(text), "%lld:%02lld:%06.3f", hours, minutes, rest);
  } else if (minutes > 0) {
    std::snprintf(text, sizeof(text), "%lld:%06.3f", minutes, rest);
  } else {
    std::snprintf(text, sizeof(text), "%.3f", rest);
  }
  return text;
}

// The time for the winner, the gap or laps behind for the rest.
std::string TimeOrGap(const ResultRow& row, bool race) {
  if (row.position == 1) {
    if (race && row.total_s) return DurationText(*row.total_s);
    if (!race && row.best_lap_s) return LapTimeText(*row.best_lap_s);
    return "";
  }
  return row.gap ? GapText(*row.gap) : "";
}

// The same within the row's class: the class's first gets the time.
std::string ClassTimeOrGap(const ResultRow& row, bool race) {
  if (row.class_position == 1) {
    ResultRow first = row;
    first.position = 1;
    return TimeOrGap(first, race);
  }
  return row.class_gap ? GapText(*row.class_gap) : "";
}

std::string BestText(const ResultRow& row) {
  return row.best_lap_s ? LapTimeText(*row.best_lap_s) + " L" + std::to_string(row.best_lap) : "";
}

std::string GainedText(const std::optional<int>& gained) {
  if (!gained) return "";
  return *gained > 0 ? "+" + std::to_string(*gained) : std::to_string(*gained);
}

// `text` shown in exactly `columns` terminal columns.
std::string Column(const std::string& text, std::size_t columns, bool right = false) {
  const std::string shown = DisplayText(text, columns);
  const std::string pad(columns - std::min(columns, DisplayWidth(shown)), ' ');
  return right ? pad + shown : shown + pad;
}

std::string Title(const SessionRecord& r) {
  std::string kind = r.summary.kind;
  if (!kind.empty()) kind[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(kind[0])));
  return kind + " at " + DisplayText(r.summary.track) + ", " +
         LocalTimeText(r.summary.started_unix_s) + ", " + std::to_string(r.summary.laps) +
         " laps, " + std::to_string(r.summary.cars) + " cars (session " +
         std::to_string(r.summary.id) + (r.provisional ? ", provisional" : "") + ")";
}

// A CSV field: quoted when it must be, and never read as a formula by a
// spreadsheet (a leading = + - @ gets a quote mark before it).
std::string CsvField(const std::string& raw) {
  std::string text = Utf8Text(raw);
  if (!text.empty() && std::string("=+-@\t\r").find(text.front()) != std::string::npos &&
      !(text.front() == '-' && text.size() > 1 &&
        std::isdigit(static_cast<unsigned char>(text[1])))) {
    text = "'" + text;
  }
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string CsvNumber(const std::optional<float>& v) {
  return v ? Decimals(static_cast<double>(*v), 3) : "";
}

// Text in HTML: the display form with markup escaped, as in the SVG.
std::string Html(const std::string& raw) { return XmlEscape(raw); }

}  // namespace

std::string LocalTimeText(double unix_s) {
  const std::time_t t = static_cast<std::time_t>(unix_s);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &t);
#else
  localtime_r(&t, &local);
#endif
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M", &local);
  return text;
}

std::vector<LapRecord> LapsOf(const SessionRecord& record, const std::string& driver) {
  std::vector<LapRecord> laps;
  for (const LapRecord& lap : record.laps) {
    if (driver.empty() || HoldsCaseless(lap.driver, driver)) laps.push_back(lap);
  }
  return laps;
}

std::string SessionsJson(const std::vector<SessionSummary>& sessions) {
  Json list = Json::array();
  for (const SessionSummary& s : sessions) list.push_back(SummaryJson(s));
  return Dump(
      Json{{"format", "pitwall-sessions"}, {"version", kHistoryJsonVersion}, {"sessions", list}});
}

std::string ResultsJson(const SessionRecord& record) {
  Json json = Head("pitwall-results", record);
  json["provisional"] = record.provisional;
  Json rows = Json::array();
  for (const ResultRow& r : record.results) {
    rows.push_back(Json{{"position", r.position},
                        {"car", r.car},
                        {"driver", Text(r.driver)},
                        {"laps", r.laps},
                        {"total_s", Maybe(r.total_s)},
                        {"gap", GapJson(r.gap)},
                        {"best_lap_s", Maybe(r.best_lap_s)},
                        {"best_lap", r.best_lap_s ? Json(r.best_lap) : Json(nullptr)},
                        {"laps_led", r.laps_led},
                        {"pit_stops", r.pit_stops},
                        {"places_gained", Maybe(r.places_gained)},
                        {"status", r.status},
                        {"number", Maybe(r.number)},
                        {"short_name", TextOrNull(r.short_name)},
                        {"team", TextOrNull(r.team)},
                        {"nation", TextOrNull(r.nation)},
                        {"class", TextOrNull(r.car_class)},
                        {"class_position", Maybe(r.class_position)},
                        {"class_gap", GapJson(r.class_gap)},
                        // The car's own colour, as on the map of a car in no class.
                        {"colour", CarColour(static_cast<std::uint8_t>(r.car))}});
  }
  json["rows"] = rows;
  const auto lap_json = [](const LapRecord* lap) {
    return lap ? Json{{"car", lap->car},
                      {"driver", Text(lap->driver)},
                      {"lap", lap->lap},
                      {"lap_s", Float(*lap->lap_s)}}
               : Json(nullptr);
  };
  const bool race = record.summary.code == 3;
  Json classes = Json::array();
  for (const LeagueClass& c : ClassesInOrder(record)) {
    const std::vector<const ResultRow*> of_class = RowsOf(record, c.name);
    const ResultRow* first = of_class.empty() ? nullptr : of_class.front();
    classes.push_back(
        Json{{"name", Text(c.name)},
             {"colour", Text(c.colour)},
             {"order", c.order},
             {"cars", of_class.size()},
             {"winner", first && (race || first->best_lap_s)
                            ? Json{{"car", first->car}, {"driver", Text(first->driver)}}
                            : Json(nullptr)},
             {"fastest_lap", lap_json(FastestLap(record, c.name))}});
  }
  json["classes"] = classes;
  json["fastest_lap"] = lap_json(FastestLap(record));
  Json stops = Json::array();
  for (const PitStop& p : record.pit_stops) {
    stops.push_back(Json{{"car", p.car},
                         {"driver", Text(p.driver)},
                         {"number", p.number},
                         {"lap", p.lap},
                         {"entry_s", Millis(p.entry_s)},
                         {"exit_s", Maybe(p.exit_s)},
                         {"lane_s", Maybe(p.lane_s)},
                         {"stint_laps", p.stint_laps}});
  }
  json["pit_stops"] = stops;
  return Dump(json);
}

std::string LapsJson(const SessionRecord& record, const std::string& driver) {
  // Written straight out, not built as a tree first: a long race has tens
  // of thousands of laps. The same text the JSON writer makes of them.
  std::string head = Dump(Head("pitwall-laps", record));
  head.pop_back();  // the closing brace
  std::string out;
  out.reserve(head.size() + record.laps.size() * 340);  // a lap's object is about 310 bytes
  out += head;
  out += ",\"laps\":[";
  // Each car's driver (a car may change drivers) and the name as a JSON string.
  std::map<std::uint8_t, std::pair<std::string, std::string>> names;
  std::map<std::string, std::string> classes;  // each class's name as a JSON string
  bool first = true;
  for (const LapRecord& l : record.laps) {
    if (!driver.empty() && !HoldsCaseless(l.driver, driver)) continue;
    auto& [raw, name] = names[l.car];
    if (name.empty() || raw != l.driver) {
      raw = l.driver;
      name = Dump(Text(l.driver));
    }
    out += first ? "{\"car\":" : ",{\"car\":";
    first = false;
    out += std::to_string(l.car);
    out += ",\"driver\":" + name + ",\"lap\":" + std::to_string(l.lap);
    PutFloat(&out, ",\"lap_s\":", l.lap_s);
    PutFloat(&out, ",\"sector1_s\":", l.sector1_s);
    PutFloat(&out, ",\"sector2_s\":", l.sector2_s);
    PutFloat(&out, ",\"sector3_s\":", l.sector3_s);
    out += ",\"place\":" + (l.place > 0 ? std::to_string(l.place) : std::string("null"));
    out += ",\"gap\":";
    if (l.gap_to_leader) {
      out += "{\"laps\":" + std::to_string(l.gap_to_leader->laps);
      PutFloat(&out, ",\"seconds\":",
               l.gap_to_leader->laps > 0 ? std::nullopt
                                         : std::optional<float>(l.gap_to_leader->seconds));
      out += ",\"text\":\"" + GapText(*l.gap_to_leader) + "\"}";
    } else {
      out += "null";
    }
    PutMillis(&out, ",\"at_s\":", l.at_s);
    const auto flag = [&out](const char* key, bool value) {
      out += key;
      out += value ? "true" : "false";
    };
    flag(",\"in_lap\":", l.in_lap);
    flag(",\"out_lap\":", l.out_lap);
    flag(",\"personal_best\":", l.personal_best);
    flag(",\"session_best\":", l.session_best);
    out += ",\"stint_lap\":" + std::to_string(l.stint_lap);
    flag(",\"complete\":", l.complete);
    out += ",\"number\":" + (l.number ? std::to_string(*l.number) : std::string("null"));
    out += ",\"class\":";
    if (l.car_class.empty()) {
      out += "null";
    } else {
      std::string& class_name = classes[l.car_class];
      if (class_name.empty()) class_name = Dump(Text(l.car_class));
      out += class_name;
    }
    out += '}';
  }
  out += "]}";
  return out;
}

std::string EventsJson(const SessionRecord& record) {
  Json json = Head("pitwall-events", record);
  Json events = Json::array();
  for (const StoredEvent& e : record.events) events.push_back(EventObject(e));
  json["events"] = events;
  return Dump(json);
}

std::string EventJson(const StoredEvent& event) {
  Json json = EventObject(event);
  json["session_id"] = event.session_id;
  return Dump(json);
}

std::string SessionsText(const std::vector<SessionSummary>& sessions) {
  std::string out =
      "  ID  Start             Track                 Kind        Cars  Laps  Winner/fastest\n";
  for (const SessionSummary& s : sessions) {
    char head[64];
    std::snprintf(head, sizeof(head), "%4lld  %s  ", static_cast<long long>(s.id),
                  LocalTimeText(s.started_unix_s).c_str());
    char counts[32];
    std::snprintf(counts, sizeof(counts), "%4d  %4d  ", s.cars, s.laps);
    out += head + Column(s.track, 20) + "  " + Column(s.kind, 10) + "  " + counts +
           DisplayText(s.winner.empty() ? std::string("-") : s.winner, 14) + (s.ended ? "" : " *") +
           "\n";
  }
  if (sessions.empty()) out += "(no sessions recorded yet)\n";
  return out;
}

std::string ResultsText(const SessionRecord& r) {
  const bool race = r.summary.code == 3;
  const bool classed = Classed(r);
  std::string out = Title(r) + "\n";
  // 3 + 18 + 4 + 11 + 12 + 3 + 3 + 3 + 12 columns and the spaces between: 77.
  // With classes the class (7) and the place in it (3) stand where a race
  // shows laps led, stops and places gained: those are in each class's own
  // table below.
  const char* lead = race ? "Pos Driver             Laps Time/gap    Best lap     "
                          : "Pos Driver             Laps Best/gap    Best lap     ";
  out += std::string(lead) + (classed ? "Class   PIC Status\n"
                              : race  ? "Led Pit +/- Status\n"
                                      : "            Status\n");
  // Position, driver, laps, time or gap and best lap; then what follows.
  const auto head = [](const ResultRow& row, int position, const std::string& time_or_gap) {
    return Column(std::to_string(position), 3, true) + " " +
           Column(NamedDriver(row.number, row.driver), 18) + " " +
           Column(std::to_string(row.laps), 4, true) + " " + Column(time_or_gap, 11) + " " +
           Column(BestText(row), 12) + " ";
  };
  const auto race_columns = [](const ResultRow& row) {
    return Column(std::to_string(row.laps_led), 3, true) + " " +
           Column(std::to_string(row.pit_stops), 3, true) + " " +
           Column(GainedText(row.places_gained), 3, true) + " ";
  };
  for (const ResultRow& row : r.results) {
    out += head(row, row.position, TimeOrGap(row, race));
    if (classed) {
      out += Column(row.car_class, 7) + " " +
             Column(row.class_position ? std::to_string(*row.class_position) : "", 3, true) + " ";
    } else if (race) {
      out += race_columns(row);
    } else {
      out += std::string(12, ' ');
    }
    out += row.status + "\n";
  }
  const auto fastest_text = [](const LapRecord& lap) {
    return DisplayText(NamedDriver(lap.number, lap.driver), 30) + ", " + LapTimeText(*lap.lap_s) +
           " on lap " + std::to_string(lap.lap) + "\n";
  };
  if (const LapRecord* fastest = FastestLap(r)) out += "Fastest lap: " + fastest_text(*fastest);
  // Each class by itself: its place, its gaps.
  for (const LeagueClass& c : ClassesInOrder(r)) {
    const std::vector<const ResultRow*> rows = RowsOf(r, c.name);
    if (rows.empty()) continue;
    out += "\n" + DisplayText(c.name, 40) + "\n" + lead +
           (race ? "Led Pit +/- Status\n" : "            Status\n");
    for (const ResultRow* row : rows) {
      out += head(*row, row->class_position.value_or(0), ClassTimeOrGap(*row, race)) +
             (race ? race_columns(*row) : std::string(12, ' ')) + row->status + "\n";
    }
    if (const LapRecord* fastest = FastestLap(r, c.name)) {
      out += "Fastest lap in " + DisplayText(c.name, 12) + ": " + fastest_text(*fastest);
    }
  }
  if (!r.pit_stops.empty()) {
    out += classed ? "\nPit stops:\n" : "Pit stops:\n";
    for (const PitStop& p : r.pit_stops) {
      out += "  " + Column(p.driver, 20) + "  stop " + std::to_string(p.number) + " on lap " +
             std::to_string(p.lap) +
             (p.lane_s ? ", " + Decimals(*p.lane_s, 1) + " s in the lane" : ", still in the lane") +
             "\n";
    }
  }
  return out;
}

std::string ResultsCsv(const SessionRecord& r) {
  std::string out =
      "position,car,driver,laps,total_s,gap,best_lap_s,best_lap,laps_led,pit_stops,places_gained,"
      "status,number,short_name,team,nation,class,class_position,class_gap\n";
  for (const ResultRow& row : r.results) {
    out += std::to_string(row.position) + "," + std::to_string(row.car) + "," +
           CsvField(row.driver) + "," + std::to_string(row.laps) + "," +
           (row.total_s ? Decimals(*row.total_s, 3) : "") + "," +
           (row.gap ? GapText(*row.gap) : "") + "," + CsvNumber(row.best_lap_s) + "," +
           (row.best_lap_s ? std::to_string(row.best_lap) : "") + "," +
           std::to_string(row.laps_led) + "," + std::to_string(row.pit_stops) + "," +
           (row.places_gained ? std::to_string(*row.places_gained) : "") + "," + row.status + "," +
           (row.number ? std::to_string(*row.number) : "") + "," + CsvField(row.short_name) + "," +
           CsvField(row.team) + "," + CsvField(row.nation) + "," + CsvField(row.car_class) + "," +
           (row.class_position ? std::to_string(*row.class_position) : "") + "," +
           (row.class_gap ? GapText(*row.class_gap) : "") + "\n";
  }
  return out;
}

std::string LapsCsv(const SessionRecord& r, const std::string& driver) {
  std::string out =
      "car,driver,lap,lap_s,sector1_s,sector2_s,sector3_s,place,gap,at_s,in_lap,out_lap,"
      "personal_best,session_best,stint_lap,complete,number,class\n";
  const auto flag = [](bool b) { return b ? "1" : "0"; };
  for (const LapRecord& l : LapsOf(r, driver)) {
    out += std::to_string(l.car) + "," + CsvField(l.driver) + "," + std::to_string(l.lap) + "," +
           CsvNumber(l.lap_s) + "," + CsvNumber(l.sector1_s) + "," + CsvNumber(l.sector2_s) + "," +
           CsvNumber(l.sector3_s) + "," + (l.place > 0 ? std::to_string(l.place) : "") + "," +
           (l.gap_to_leader ? GapText(*l.gap_to_leader) : "") + "," + Decimals(l.at_s, 3) + "," +
           flag(l.in_lap) + "," + flag(l.out_lap) + "," + flag(l.personal_best) + "," +
           flag(l.session_best) + "," + std::to_string(l.stint_lap) + "," + flag(l.complete) + "," +
           (l.number ? std::to_string(*l.number) : "") + "," + CsvField(l.car_class) + "\n";
  }
  return out;
}

std::string EventsText(const SessionRecord& r) {
  std::string out = Title(r) + "\n";
  // With classes, the class each event is about before its text.
  const bool classed = !r.classes.empty() ||
                       std::any_of(r.events.begin(), r.events.end(),
                                   [](const StoredEvent& e) { return !e.event.car_class.empty(); });
  for (const StoredEvent& stored : r.events) {
    const RaceEvent& e = stored.event;
    char head[32];
    std::snprintf(head, sizeof(head), "%9s  L%-3d ", DurationText(e.at_s).c_str(), e.lap);
    out += head + (classed ? Column(e.car_class, 7) + " " : std::string()) + DisplayText(e.text) +
           "\n";
  }
  if (r.events.empty()) out += "(no events)\n";
  return out;
}

std::string ResultsHtml(const SessionRecord& r) {
  const bool race = r.summary.code == 3;
  const bool classed = Classed(r);
  std::map<std::string, std::string> colours;
  for (const LeagueClass& c : r.classes) colours[c.name] = SafeColour(c.colour);
  // A class's colour as a small square before its name.
  const auto chip = [&colours](const std::string& name) {
    const std::string& colour = colours[name];
    return colour.empty() ? std::string()
                          : "<span class=\"chip\" style=\"background:" + colour + "\"></span>";
  };
  const std::string columns = std::string("<th>Driver</th><th>Laps</th><th>") +
                              (race ? "Time/gap" : "Best/gap") + "</th><th>Best lap</th>" +
                              (race ? "<th>Led</th><th>Pit</th><th>+/-</th>" : "") +
                              "<th>Status</th></tr>\n";
  // Driver to status, as both tables show them.
  const auto cells = [race](const ResultRow& row, const std::string& time_or_gap) {
    std::string out = "<td><bdi>" + Html(NamedDriver(row.number, row.driver)) +
                      "</bdi></td><td class=\"n\">" + std::to_string(row.laps) +
                      "</td><td class=\"n\">" + Html(time_or_gap) + "</td><td class=\"n\">" +
                      Html(BestText(row)) + "</td>";
    if (race) {
      out += "<td class=\"n\">" + std::to_string(row.laps_led) + "</td><td class=\"n\">" +
             std::to_string(row.pit_stops) + "</td><td class=\"n\">" +
             GainedText(row.places_gained) + "</td>";
    }
    return out + "<td>" + row.status + "</td></tr>\n";
  };
  const auto fastest_text = [](const LapRecord& lap) {
    return "<bdi>" + Html(NamedDriver(lap.number, lap.driver)) + "</bdi>, " +
           LapTimeText(*lap.lap_s) + " on lap " + std::to_string(lap.lap);
  };
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>" +
      Html(Title(r)) +
      "</title>\n<style>\nbody{font:14px/1.4 system-ui,sans-serif;margin:2em;color:#111}\n"
      "h1{font-size:1.3em}h2{font-size:1.1em;margin-top:1.5em}\n"
      "table{border-collapse:collapse}th,td{padding:.2em .6em;border-bottom:1px solid #ccc;"
      "text-align:left}td.n{text-align:right;font-variant-numeric:tabular-nums}\n"
      "td bdi{unicode-bidi:isolate}\n" +
      (classed ? ".chip{display:inline-block;width:.8em;height:.8em;margin-right:.4em;"
                 "border-radius:2px;print-color-adjust:exact;-webkit-print-color-adjust:exact}\n"
               : "") +
      "@media print{body{margin:0}}\n</style></head><body>\n<h1>" + Html(Title(r)) +
      "</h1>\n<table>\n<tr><th>Pos</th>" + (classed ? "<th>Class</th><th>PIC</th>" : "") + columns;
  for (const ResultRow& row : r.results) {
    out += "<tr><td class=\"n\">" + std::to_string(row.position) + "</td>";
    if (classed) {
      out += "<td>" + chip(row.car_class) + Html(row.car_class) + "</td><td class=\"n\">" +
             (row.class_position ? std::to_string(*row.class_position) : "") + "</td>";
    }
    out += cells(row, TimeOrGap(row, race));
  }
  out += "</table>\n";
  if (const LapRecord* fastest = FastestLap(r)) {
    out += "<h2>Fastest lap</h2>\n<p>" + fastest_text(*fastest) + "</p>\n";
  }
  for (const LeagueClass& c : ClassesInOrder(r)) {
    const std::vector<const ResultRow*> rows = RowsOf(r, c.name);
    if (rows.empty()) continue;
    out += "<h2>" + chip(c.name) + Html(c.name) + "</h2>\n<table>\n<tr><th>Pos</th>" + columns;
    for (const ResultRow* row : rows) {
      out += "<tr><td class=\"n\">" + std::to_string(row->class_position.value_or(0)) + "</td>" +
             cells(*row, ClassTimeOrGap(*row, race));
    }
    out += "</table>\n";
    if (const LapRecord* fastest = FastestLap(r, c.name)) {
      out += "<p>Fastest lap in " + Html(c.name) + ": " + fastest_text(*fastest) + "</p>\n";
    }
  }
  if (!r.pit_stops.empty()) {
    out +=
        "<h2>Pit stops</h2>\n<table>\n<tr><th>Driver</th><th>Stop</th><th>Lap</th><th>In the "
        "lane</th><th>Stint</th></tr>\n";
    for (const PitStop& p : r.pit_stops) {
      out += "<tr><td><bdi>" + Html(p.driver) + "</bdi></td><td class=\"n\">" +
             std::to_string(p.number) + "</td><td class=\"n\">" + std::to_string(p.lap) +
             "</td><td class=\"n\">" +
             (p.lane_s ? Decimals(*p.lane_s, 1) + " s" : std::string("in the lane")) +
             "</td><td class=\"n\">" + std::to_string(p.stint_laps) + " laps</td></tr>\n";
    }
    out += "</table>\n";
  }
  return out + "</body></html>\n";
}

void ApplyLeague(const League& league, SessionRecord* record) {
  const auto identify = [&league](const std::string& driver, std::optional<int>* number,
                                  std::string* short_name, std::string* team, std::string* nation,
                                  std::string* car_class) {
    const LeagueDriver* d = league.Find(driver);
    *number = d ? d->number : std::nullopt;
    *car_class = d ? d->class_name : std::string();
    if (short_name) *short_name = d ? d->short_name : std::string();
    if (team) *team = d ? d->team : std::string();
    if (nation) *nation = d ? d->nation : std::string();
  };
  for (CarStanding& c : record->cars) {
    identify(c.driver, &c.number, &c.short_name, &c.team, &c.nation, &c.car_class);
  }
  for (ResultRow& row : record->results) {
    identify(row.driver, &row.number, &row.short_name, &row.team, &row.nation, &row.car_class);
  }
  for (LapRecord& lap : record->laps) {
    identify(lap.driver, &lap.number, nullptr, nullptr, nullptr, &lap.car_class);
  }
  for (StoredEvent& stored : record->events) {
    RaceEvent& e = stored.event;
    if (!e.car) continue;  // the start and the end are nobody's
    std::optional<int> number;
    identify(e.driver, &number, nullptr, nullptr, nullptr, &e.car_class);
  }
  record->classes = league.classes();
  ClassifyClasses(&record->results, record->laps, record->facts);
}
