#include "timing_json.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>

#include "json_parts.h"
#include "session_headline.h"
#include "text_safety.h"
#include "track_svg.h"

namespace json_parts {

Json Float(float value) {
  if (!std::isfinite(value)) return nullptr;
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof(text) - 1, value);
  if (ec != std::errc()) return nullptr;
  double shortest = 0;
  std::from_chars(text, end, shortest);
  // A whole value goes out as an integer: "86", not "86.0".
  if (std::trunc(shortest) == shortest && std::fabs(shortest) < 9007199254740992.0) {
    return static_cast<std::int64_t>(shortest);
  }
  return shortest;
}

std::string FloatText(float value) {
  const Json json = Float(value);
  if (json.is_null()) return "null";
  if (json.is_number_integer()) return std::to_string(json.get<std::int64_t>());
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof(text), value);
  return std::string(text, ec == std::errc() ? end : text);
}

Json Text(std::string_view text) { return Utf8Text(text); }

// A gap's seconds to the millisecond, as its text says them: no estimate is
// finer, and a gap that holds to the millisecond is then not sent again to
// a viewer of changes.
Gap ToTheMillisecond(Gap gap) {
  gap.seconds = std::round(gap.seconds * 1000.0f) / 1000.0f;
  return gap;
}

Json GapJson(const std::optional<Gap>& given) {
  if (!given) return nullptr;
  const Gap gap = ToTheMillisecond(*given);
  return Json{{"laps", gap.laps},
              {"seconds", gap.laps > 0 ? Json(nullptr) : Float(gap.seconds)},
              {"text", GapText(gap)}};
}

Json Millis(double seconds) {
  if (!std::isfinite(seconds)) return nullptr;
  return std::round(seconds * 1000.0) / 1000.0;
}

std::string Dump(const Json& json) {
  // Text is made valid UTF-8 before it goes in; the replacement is only a
  // safety net, so that a dump never throws.
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace json_parts

namespace {

using json_parts::Dump;
using json_parts::Float;
using json_parts::GapJson;
using json_parts::Json;
using json_parts::Maybe;
using json_parts::Text;

Json BestSectorsJson(const SessionTiming& s) {
  Json bests = Json::array();
  for (const std::optional<SectorBest>& best : s.best_sectors) {
    bests.push_back(best ? Json{{"time_s", Float(best->seconds)},
                                {"index", best->index},
                                {"driver", Text(best->driver)}}
                         : Json(nullptr));
  }
  return bests;
}

Json HeadlineJson(const SessionHeadline& h) {
  const auto text = [](const std::optional<std::string>& part) {
    return part ? Json(*part) : Json(nullptr);
  };
  Json fastest = nullptr;
  if (h.fastest_time) fastest = Json{{"time", *h.fastest_time}, {"driver", Text(h.fastest_driver)}};
  return Json{{"lap", text(h.lap)},
              {"clock", text(h.clock)},
              {"outcome", text(h.outcome)},
              {"fastest", fastest}};
}

Json SessionJson(const TimingState& state) {
  const SessionTiming& s = state.session();
  if (!s.known) return nullptr;
  Json fastest = nullptr;
  if (s.fastest_lap_s && s.fastest_lap_car) {
    fastest = Json{{"time_s", Float(*s.fastest_lap_s)},
                   {"index", *s.fastest_lap_car},
                   {"driver", Text(s.fastest_lap_driver)}};
  }
  Json classes = Json::array();
  for (const ClassTiming& c : s.classes) {
    Json class_fastest = nullptr;
    if (c.fastest_lap_s && c.fastest_lap_car) {
      class_fastest = Json{{"time_s", Float(*c.fastest_lap_s)},
                           {"index", *c.fastest_lap_car},
                           {"driver", Text(c.fastest_lap_driver)}};
    }
    classes.push_back(Json{{"name", Text(c.name)},
                           {"colour", c.colour},
                           {"order", c.order},
                           {"cars", c.cars},
                           {"leader", Maybe(c.leader)},
                           {"fastest_lap", class_fastest}});
  }
  return Json{{"track", Text(s.track)},
              {"kind", s.kind},
              {"code", s.code},
              {"lap_length_m", Float(s.lap_length_m)},
              {"time_s", Float(s.current_time_s)},
              {"end_time_s", Maybe(s.end_time_s)},
              {"time_left_s", Maybe(s.time_left_s)},
              {"max_laps", Maybe(s.max_laps)},
              {"laps_left", Maybe(s.laps_left)},
              {"lap", Maybe(s.lap)},
              {"finished", s.finished},
              {"flag", s.finished ? "chequered" : "green"},
              {"best_sectors", BestSectorsJson(s)},
              {"fastest_lap", fastest},
              {"classes", classes},
              {"headline", HeadlineJson(Headline(state))}};
}

// The car objects are most of every state and are written straight into
// the text: building them as JSON values first took most of the bridge's
// time per update. The output is what Dump makes of the same values.
class CarWriter {
 public:
  explicit CarWriter(std::string* out) : out_(*out) {}

  void Begin() {
    out_ += '{';
    first_ = true;
  }
  void End() {
    out_ += '}';
    first_ = false;
  }
  void BeginArray(const char* key) {
    Key(key);
    out_ += '[';
    first_ = true;
  }
  void EndArray() {
    out_ += ']';
    first_ = false;
  }
  void BeginObject(const char* key) {
    Key(key);
    Begin();
  }
  // Opens an object as the next item of an array.
  void Item() {
    Comma();
    Begin();
  }

  void Null(const char* key) {
    Key(key);
    out_ += "null";
  }
  void Bool(const char* key, bool value) {
    Key(key);
    out_ += value ? "true" : "false";
  }
  void Int(const char* key, long long value) {
    Key(key);
    out_ += std::to_string(value);
  }
  void Int(const char* key, const std::optional<int>& value) {
    value ? Int(key, *value) : Null(key);
  }
  void Float(const char* key, float value) {
    Key(key);
    FloatValue(value);
  }
  void Float(const char* key, const std::optional<float>& value) {
    value ? Float(key, *value) : Null(key);
  }
  // Any bytes, as valid UTF-8 (text_safety.h).
  void Text(const char* key, std::string_view text) {
    Key(key);
    TextValue(Utf8Text(text));
  }
  // Text the league may leave empty: null then.
  void TextOrNull(const char* key, const std::string& text) {
    text.empty() ? Null(key) : Text(key, text);
  }
  // A name of our own, plain ASCII.
  void Word(const char* key, const char* word) {
    Key(key);
    out_ += '"';
    out_ += word;
    out_ += '"';
  }
  void Gap(const char* key, const std::optional<::Gap>& given) {
    if (!given) return Null(key);
    const ::Gap gap = json_parts::ToTheMillisecond(*given);
    Key(key);
    Begin();
    Int("laps", gap.laps);
    gap.laps > 0 ? Null("seconds") : Float("seconds", gap.seconds);
    Word("text", GapText(gap).c_str());
    End();
  }
  // A bare float as an array's item.
  void FloatItem(const std::optional<float>& value) {
    Comma();
    value ? FloatValue(*value) : (void)(out_ += "null");
  }
  void NullItem() {
    Comma();
    out_ += "null";
  }

 private:
  void Comma() {
    if (!first_) out_ += ',';
    first_ = false;
  }
  void Key(const char* key) {
    Comma();
    out_ += '"';
    out_ += key;
    out_ += "\":";
  }
  // As Float and Dump write it: the float's shortest text, whole values as
  // integers, nothing that is not finite.
  void FloatValue(float value) { out_ += json_parts::FloatText(value); }
  // Escaped as Dump escapes: quote, backslash and control characters.
  void TextValue(const std::string& text) {
    out_ += '"';
    for (const char c : text) {
      switch (c) {
        case '"':
          out_ += "\\\"";
          break;
        case '\\':
          out_ += "\\\\";
          break;
        case '\b':
          out_ += "\\b";
          break;
        case '\f':
          out_ += "\\f";
          break;
        case '\n':
          out_ += "\\n";
          break;
        case '\r':
          out_ += "\\r";
          break;
        case '\t':
          out_ += "\\t";
          break;
        default:
          if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
            out_ += escaped;
          } else {
            out_ += c;
          }
      }
    }
    out_ += '"';
  }

  std::string& out_;
  bool first_ = true;
};

void WriteRelative(CarWriter* w, const char* key, const std::vector<RelativeCar>& cars) {
  w->BeginArray(key);
  for (const RelativeCar& other : cars) {
    w->Item();
    w->Int("index", other.index);
    // To the millisecond: the estimate is no finer, and a gap that holds
    // to the millisecond is then not sent again to a viewer of changes.
    w->Float("gap_s", std::round(other.gap_s * 1000.0f) / 1000.0f);
    w->Int("laps", other.laps);
    w->End();
  }
  w->EndArray();
}

void WriteCar(CarWriter* w, const CarTiming& car) {
  w->Item();
  w->Int("index", car.index);
  w->Text("driver", car.driver);
  car.place > 0 ? w->Int("place", car.place) : w->Null("place");
  w->Int("laps", car.laps);
  w->Float("lap_distance_m", car.lap_distance_m);
  w->Int("sector", car.sector);
  w->Float("last_lap_s", car.last_lap_s);
  w->Float("best_lap_s", car.best_lap_s);
  w->Bool("holds_fastest_lap", car.holds_fastest_lap);
  w->Float("sector1_s", car.sector1_s);
  w->Float("sector2_s", car.sector2_s);
  w->Gap("gap_to_leader", car.gap_to_leader);
  w->Gap("interval", car.interval);
  w->Bool("in_pits", car.in_pits);
  w->Int("pit_stops", car.pit_stops);
  w->Int("places_gained", car.places_gained);
  w->Bool("finished", car.finished);
  w->Float("x_m", car.x);
  w->Float("z_m", car.z);
  w->Float("heading_rad", car.heading);
  w->Int("number", car.number);
  w->TextOrNull("short_name", car.short_name);
  w->TextOrNull("team", car.team);
  w->TextOrNull("nation", car.nation);
  w->TextOrNull("class", car.car_class);
  w->TextOrNull("class_colour", car.class_colour);
  w->Word("colour", car.colour.c_str());
  w->Int("class_place", car.class_place);
  w->Gap("class_gap", car.class_gap);
  w->Gap("class_interval", car.class_interval);
  w->Bool("holds_class_fastest_lap", car.holds_class_fastest_lap);
  w->BeginArray("sectors");
  for (const std::optional<SectorTime>& sector : car.sectors) {
    if (!sector) {
      w->NullItem();
      continue;
    }
    w->Item();
    w->Float("time_s", sector->seconds);
    w->Int("lap", sector->lap);
    w->Bool("current", sector->current);
    w->Word("mark", TimeMarkName(sector->mark));
    w->End();
  }
  w->EndArray();
  w->BeginArray("best_sectors_s");
  for (const std::optional<float>& best : car.best_sectors_s) w->FloatItem(best);
  w->EndArray();
  car.last_lap_mark ? w->Word("last_lap_mark", TimeMarkName(*car.last_lap_mark))
                    : w->Null("last_lap_mark");
  w->Float("pace_s", car.pace_s);
  w->Int("pace_laps", car.pace_laps);
  if (car.interval_trend) {
    w->BeginObject("interval_trend");
    w->Word("direction", TrendName(car.interval_trend->direction));
    w->Float("change_s_per_lap", car.interval_trend->change_s_per_lap);
    w->Int("laps", car.interval_trend->laps);
    w->End();
  } else {
    w->Null("interval_trend");
  }
  w->Float("pit_lane_s", car.pit_lane_s);
  w->Int("stint_laps", car.stint_laps);
  w->BeginObject("relative");
  WriteRelative(w, "ahead", car.relative.ahead);
  WriteRelative(w, "behind", car.relative.behind);
  w->End();
  w->End();
}

Json RawCar(const CarState& car) {
  return Json{{"index", car.index},
              {"place", car.place},
              {"laps", car.laps},
              {"lap_distance", Float(car.lap_distance)},
              {"time_behind_leader", Float(car.time_behind_leader)},
              {"last_lap", Float(car.last_lap)},
              {"best_lap", Float(car.best_lap)},
              {"sector1", Float(car.sector1)},
              {"sector2", Float(car.sector2)},
              {"x", Float(car.x)},
              {"z", Float(car.z)},
              {"heading", Float(car.heading)},
              {"status_bits", car.status_bits},
              {"sector", car.sector},
              {"finish_status", car.finish_status},
              {"in_pits", car.in_pits},
              {"control_one", car.control_one}};
}

}  // namespace

std::string TimingStateJson(const TimingState& state, double received_unix_s) {
  // The head as Dump writes it, then the cars written straight.
  std::string text = Dump(Json{{"format", "pitwall-timing"},
                               {"version", kTimingJsonVersion},
                               {"received_unix_s", received_unix_s},
                               {"updates", state.updates()},
                               {"session", SessionJson(state)}});
  text.pop_back();  // the closing brace
  text += ",\"cars\":[";
  CarWriter writer(&text);
  for (const CarTiming& car : state.cars()) WriteCar(&writer, car);
  text += "]}";
  return text;
}

std::string TrackOutlineJson(const TrackOutline& outline) {
  Json strips = Json::array();
  for (const OutlineStrip& strip : outline.strips) {
    Json points = Json::array();
    for (const OutlinePoint& p : strip.points) {
      // Non-finite points cannot be drawn, and JSON has no word for them.
      if (std::isfinite(p.x) && std::isfinite(p.z)) {
        points.push_back(Json::array({Float(p.x), Float(p.z)}));
      }
    }
    Json band = Json::array();
    for (const OutlinePoint& p : BandPolygon(strip))
      band.push_back(Json::array({Float(p.x), Float(p.z)}));
    strips.push_back(Json{{"kind", strip.kind}, {"points", points}, {"band", band}});
  }
  return Dump(Json{{"strips", strips}});
}

std::string AnswerJson(const Answer& answer) {
  return Dump(std::visit(
      [](const auto& a) -> Json {
        using T = std::decay_t<decltype(a)>;
        if constexpr (std::is_same_v<T, HandshakeAnswer>) {
          return Json{{"type", "handshake"},
                      {"change_mask", a.change_mask},
                      {"version", a.version},
                      {"status", a.status}};
        } else if constexpr (std::is_same_v<T, SessionAnswer>) {
          return Json{{"type", "session"},
                      {"change_mask", a.change_mask},
                      {"track_name", Text(a.track_name)},
                      {"session", a.session},
                      {"end_time", Float(a.end_time)},
                      {"max_laps", a.max_laps},
                      {"lap_distance", Float(a.lap_distance)}};
        } else if constexpr (std::is_same_v<T, DriversAnswer>) {
          Json drivers = Json::array();
          for (const DriverEntry& d : a.drivers) {
            drivers.push_back(Json{{"index", d.index}, {"name", Text(d.name)}});
          }
          return Json{{"type", "drivers"}, {"change_mask", a.change_mask}, {"drivers", drivers}};
        } else if constexpr (std::is_same_v<T, LiveAnswer>) {
          Json cars = Json::array();
          for (const CarState& car : a.cars) cars.push_back(RawCar(car));
          return Json{{"type", "live"},
                      {"change_mask", a.change_mask},
                      {"captured", a.captured},
                      {"current_time", Float(a.current_time)},
                      {"fastest_lap", Float(a.fastest_lap)},
                      {"fastest_lap_vehicle", a.fastest_lap_vehicle},
                      {"cars", cars}};
        } else {
          Json strips = Json::array();
          for (const StripDirectoryItem& item : a.directory) {
            strips.push_back(Json{{"kind", item.kind}, {"point_count", item.point_count}});
          }
          Json points = Json::array();
          for (const auto& p : a.points) points.push_back(Json::array({Float(p.x), Float(p.z)}));
          return Json{
              {"type", "trackstrip"},         {"change_mask", a.change_mask}, {"strips", strips},
              {"strip_index", a.strip_index}, {"first_point", a.first_point}, {"points", points}};
        }
      },
      answer));
}
