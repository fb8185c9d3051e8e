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
              {"text", Text(e.text)}};
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

// The fastest lap of the session: the lowest lap time, the earlier on a tie.
const LapRecord* FastestLap(const SessionRecord& record) {
  const LapRecord* best = nullptr;
  for (const LapRecord& lap : record.laps) {
    if (lap.lap_s && (!best || *lap.lap_s < *best->lap_s ||
                      (*lap.lap_s == *best->lap_s && lap.at_s < best->at_s))) {
      best = &lap;
    }
  }
  return best;
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
                        {"status", r.status}});
  }
  json["rows"] = rows;
  const LapRecord* fastest = FastestLap(record);
  json["fastest_lap"] = fastest ? Json{{"car", fastest->car},
                                       {"driver", Text(fastest->driver)},
                                       {"lap", fastest->lap},
                                       {"lap_s", Float(*fastest->lap_s)}}
                                : Json(nullptr);
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
  std::map<std::uint8_t, std::string> names;  // each driver's name as a JSON string
  bool first = true;
  for (const LapRecord& l : record.laps) {
    if (!driver.empty() && !HoldsCaseless(l.driver, driver)) continue;
    std::string& name = names[l.car];
    if (name.empty()) name = Dump(Text(l.driver));
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
  std::string out = Title(r) + "\n";
  // 3 + 18 + 4 + 11 + 12 + 3 + 3 + 3 + 12 columns and the spaces between: 77.
  out += race ? "Pos Driver             Laps Time/gap    Best lap     Led Pit +/- Status\n"
              : "Pos Driver             Laps Best/gap    Best lap                 Status\n";
  for (const ResultRow& row : r.results) {
    out += Column(std::to_string(row.position), 3, true) + " " + Column(row.driver, 18) + " " +
           Column(std::to_string(row.laps), 4, true) + " " + Column(TimeOrGap(row, race), 11) +
           " " + Column(BestText(row), 12) + " ";
    if (race) {
      out += Column(std::to_string(row.laps_led), 3, true) + " " +
             Column(std::to_string(row.pit_stops), 3, true) + " " +
             Column(GainedText(row.places_gained), 3, true) + " ";
    } else {
      out += std::string(12, ' ');
    }
    out += row.status + "\n";
  }
  if (const LapRecord* fastest = FastestLap(r)) {
    out += "Fastest lap: " + DisplayText(fastest->driver, 30) + ", " +
           LapTimeText(*fastest->lap_s) + " on lap " + std::to_string(fastest->lap) + "\n";
  }
  if (!r.pit_stops.empty()) {
    out += "Pit stops:\n";
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
      "status\n";
  for (const ResultRow& row : r.results) {
    out += std::to_string(row.position) + "," + std::to_string(row.car) + "," +
           CsvField(row.driver) + "," + std::to_string(row.laps) + "," +
           (row.total_s ? Decimals(*row.total_s, 3) : "") + "," +
           (row.gap ? GapText(*row.gap) : "") + "," + CsvNumber(row.best_lap_s) + "," +
           (row.best_lap_s ? std::to_string(row.best_lap) : "") + "," +
           std::to_string(row.laps_led) + "," + std::to_string(row.pit_stops) + "," +
           (row.places_gained ? std::to_string(*row.places_gained) : "") + "," + row.status + "\n";
  }
  return out;
}

std::string LapsCsv(const SessionRecord& r, const std::string& driver) {
  std::string out =
      "car,driver,lap,lap_s,sector1_s,sector2_s,sector3_s,place,gap,at_s,in_lap,out_lap,"
      "personal_best,session_best,stint_lap,complete\n";
  const auto flag = [](bool b) { return b ? "1" : "0"; };
  for (const LapRecord& l : LapsOf(r, driver)) {
    out += std::to_string(l.car) + "," + CsvField(l.driver) + "," + std::to_string(l.lap) + "," +
           CsvNumber(l.lap_s) + "," + CsvNumber(l.sector1_s) + "," + CsvNumber(l.sector2_s) + "," +
           CsvNumber(l.sector3_s) + "," + (l.place > 0 ? std::to_string(l.place) : "") + "," +
           (l.gap_to_leader ? GapText(*l.gap_to_leader) : "") + "," + Decimals(l.at_s, 3) + "," +
           flag(l.in_lap) + "," + flag(l.out_lap) + "," + flag(l.personal_best) + "," +
           flag(l.session_best) + "," + std::to_string(l.stint_lap) + "," + flag(l.complete) + "\n";
  }
  return out;
}

std::string EventsText(const SessionRecord& r) {
  std::string out = Title(r) + "\n";
  for (const StoredEvent& stored : r.events) {
    const RaceEvent& e = stored.event;
    char head[32];
    std::snprintf(head, sizeof(head), "%9s  L%-3d ", DurationText(e.at_s).c_str(), e.lap);
    out += head + DisplayText(e.text) + "\n";
  }
  if (r.events.empty()) out += "(no events)\n";
  return out;
}

std::string ResultsHtml(const SessionRecord& r) {
  const bool race = r.summary.code == 3;
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>" +
      Html(Title(r)) +
      "</title>\n<style>\nbody{font:14px/1.4 system-ui,sans-serif;margin:2em;color:#111}\n"
      "h1{font-size:1.3em}h2{font-size:1.1em;margin-top:1.5em}\n"
      "table{border-collapse:collapse}th,td{padding:.2em .6em;border-bottom:1px solid #ccc;"
      "text-align:left}td.n{text-align:right;font-variant-numeric:tabular-nums}\n"
      "td bdi{unicode-bidi:isolate}\n@media print{body{margin:0}}\n</style></head><body>\n<h1>" +
      Html(Title(r)) + "</h1>\n<table>\n<tr><th>Pos</th><th>Driver</th><th>Laps</th><th>" +
      (race ? "Time/gap" : "Best/gap") + "</th><th>Best lap</th>" +
      (race ? "<th>Led</th><th>Pit</th><th>+/-</th>" : "") + "<th>Status</th></tr>\n";
  for (const ResultRow& row : r.results) {
    out += "<tr><td class=\"n\">" + std::to_string(row.position) + "</td><td><bdi>" +
           Html(row.driver) + "</bdi></td><td class=\"n\">" + std::to_string(row.laps) +
           "</td><td class=\"n\">" + Html(TimeOrGap(row, race)) + "</td><td class=\"n\">" +
           Html(BestText(row)) + "</td>";
    if (race) {
      out += "<td class=\"n\">" + std::to_string(row.laps_led) + "</td><td class=\"n\">" +
             std::to_string(row.pit_stops) + "</td><td class=\"n\">" +
             GainedText(row.places_gained) + "</td>";
    }
    out += "<td>" + row.status + "</td></tr>\n";
  }
  out += "</table>\n";
  if (const LapRecord* fastest = FastestLap(r)) {
    out += "<h2>Fastest lap</h2>\n<p><bdi>" + Html(fastest->driver) + "</bdi>, " +
           LapTimeText(*fastest->lap_s) + " on lap " + std::to_string(fastest->lap) + "</p>\n";
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
