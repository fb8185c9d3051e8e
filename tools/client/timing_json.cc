#include "timing_json.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <type_traits>
#include <variant>

#include "json_parts.h"
#include "text_safety.h"

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

Json Text(std::string_view text) { return Utf8Text(text); }

Json GapJson(const std::optional<Gap>& gap) {
  if (!gap) return nullptr;
  return Json{{"laps", gap->laps},
              {"seconds", gap->laps > 0 ? Json(nullptr) : Float(gap->seconds)},
              {"text", GapText(*gap)}};
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

Json SessionJson(const SessionTiming& s) {
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
              {"classes", classes}};
}

// A text the league may leave empty: null then.
Json TextOrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Text(text); }

Json SectorsJson(const CarTiming& car) {
  Json sectors = Json::array();
  for (const std::optional<SectorTime>& sector : car.sectors) {
    sectors.push_back(sector ? Json{{"time_s", Float(sector->seconds)},
                                    {"lap", sector->lap},
                                    {"current", sector->current},
                                    {"mark", TimeMarkName(sector->mark)}}
                             : Json(nullptr));
  }
  return sectors;
}

Json RelativeJson(const std::vector<RelativeCar>& cars) {
  Json list = Json::array();
  for (const RelativeCar& other : cars) {
    list.push_back(
        Json{{"index", other.index}, {"gap_s", Float(other.gap_s)}, {"laps", other.laps}});
  }
  return list;
}

Json CarJson(const CarTiming& car) {
  Json trend = nullptr;
  if (car.interval_trend) {
    trend = Json{{"direction", TrendName(car.interval_trend->direction)},
                 {"change_s_per_lap", Float(car.interval_trend->change_s_per_lap)},
                 {"laps", car.interval_trend->laps}};
  }
  Json best_sectors = Json::array();
  for (const std::optional<float>& best : car.best_sectors_s) best_sectors.push_back(Maybe(best));
  return Json{
      {"index", car.index},
      {"driver", Text(car.driver)},
      {"place", car.place > 0 ? Json(car.place) : Json(nullptr)},
      {"laps", car.laps},
      {"lap_distance_m", Float(car.lap_distance_m)},
      {"sector", car.sector},
      {"last_lap_s", Maybe(car.last_lap_s)},
      {"best_lap_s", Maybe(car.best_lap_s)},
      {"holds_fastest_lap", car.holds_fastest_lap},
      {"sector1_s", Maybe(car.sector1_s)},
      {"sector2_s", Maybe(car.sector2_s)},
      {"gap_to_leader", GapJson(car.gap_to_leader)},
      {"interval", GapJson(car.interval)},
      {"in_pits", car.in_pits},
      {"pit_stops", Maybe(car.pit_stops)},
      {"places_gained", Maybe(car.places_gained)},
      {"finished", car.finished},
      {"x_m", Float(car.x)},
      {"z_m", Float(car.z)},
      {"heading_rad", Float(car.heading)},
      {"number", Maybe(car.number)},
      {"short_name", TextOrNull(car.short_name)},
      {"team", TextOrNull(car.team)},
      {"nation", TextOrNull(car.nation)},
      {"class", TextOrNull(car.car_class)},
      {"class_colour", TextOrNull(car.class_colour)},
      {"class_place", Maybe(car.class_place)},
      {"class_gap", GapJson(car.class_gap)},
      {"class_interval", GapJson(car.class_interval)},
      {"holds_class_fastest_lap", car.holds_class_fastest_lap},
      {"sectors", SectorsJson(car)},
      {"best_sectors_s", best_sectors},
      {"last_lap_mark", car.last_lap_mark ? Json(TimeMarkName(*car.last_lap_mark)) : Json(nullptr)},
      {"pace_s", Maybe(car.pace_s)},
      {"pace_laps", car.pace_laps},
      {"interval_trend", trend},
      {"pit_lane_s", Maybe(car.pit_lane_s)},
      {"stint_laps", Maybe(car.stint_laps)},
      {"relative", Json{{"ahead", RelativeJson(car.relative.ahead)},
                        {"behind", RelativeJson(car.relative.behind)}}}};
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
  Json cars = Json::array();
  for (const CarTiming& car : state.cars()) cars.push_back(CarJson(car));
  return Dump(Json{{"format", "pitwall-timing"},
                   {"version", kTimingJsonVersion},
                   {"received_unix_s", received_unix_s},
                   {"updates", state.updates()},
                   {"session", SessionJson(state.session())},
                   {"cars", cars}});
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
    strips.push_back(Json{{"kind", strip.kind}, {"points", points}});
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
