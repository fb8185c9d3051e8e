// The pieces every JSON form of the pitwall tool is written with, so that
// numbers, names and gaps read the same in all of them.
//
// Thread-safety: plain functions without state.
#ifndef PITWALL_TOOLS_CLIENT_JSON_PARTS_H_
#define PITWALL_TOOLS_CLIENT_JSON_PARTS_H_

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "timing_state.h"

namespace json_parts {

using Json = nlohmann::ordered_json;  // fields in the order written

// A float as the double its shortest text reads back as, so the writer's
// shortest double text is the float's ("0.1", not "0.10000000149011612");
// whole values as integers; null when not finite.
Json Float(float value);
// Seconds kept as a double, to the millisecond; null when not finite.
Json Millis(double seconds);
// What Dump writes of Float(value).
std::string FloatText(float value);
// Valid UTF-8 for any bytes (see text_safety.h).
Json Text(std::string_view text);
// {"laps":N,"seconds":S|null,"text":"+1 L"}, or null.
Json GapJson(const std::optional<Gap>& gap);
// One line without newline; never throws.
std::string Dump(const Json& json);

// A value or null: floats through Float, doubles through Millis.
template <typename T>
Json Maybe(const std::optional<T>& value) {
  if (!value) return nullptr;
  if constexpr (std::is_same_v<T, float>) {
    return Float(*value);
  } else if constexpr (std::is_same_v<T, double>) {
    return Millis(*value);
  } else {
    return *value;
  }
}

}  // namespace json_parts

#endif  // PITWALL_TOOLS_CLIENT_JSON_PARTS_H_
