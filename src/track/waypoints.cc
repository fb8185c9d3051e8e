#include "track/waypoints.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <system_error>

#include "track/text_lines.h"

namespace {

constexpr char kWaypointSection[] = "[Waypoint]";
constexpr char kNumberWaypoints[] = "number_waypoints";
constexpr char kGrooveWidth[] = "GrooveWidth";
// Waypoint keys only count on lines that begin with this in column one.
constexpr char kWaypointKeyPrefix[] = "wp_";

constexpr char kWpPos[] = "wp_pos";
constexpr char kWpPerp[] = "wp_perp";
constexpr char kWpNormal[] = "wp_normal";
constexpr char kWpVect[] = "wp_vect";
constexpr char kWpWidth[] = "wp_width";
constexpr char kWpDwidth[] = "wp_dwidth";
constexpr char kWpPath[] = "wp_path";
constexpr char kWpGalpha[] = "wp_galpha";
constexpr char kWpGrooveLat[] = "wp_groove_lat";
constexpr char kWpScore[] = "wp_score";
constexpr char kWpBranchId[] = "wp_branchID";
constexpr char kWpBitfields[] = "wp_bitfields";
constexpr char kWpPitlane[] = "wp_pitlane";
constexpr char kWpPtrs[] = "WP_PTRS";

// Marks "no number read": ScanFloat() never yields a NaN, and RoundToInt()
// refuses one, so a rounded field parsed into a NaN-initialised float keeps
// its value when its number is missing.
constexpr float kNotRead = std::numeric_limits<float>::quiet_NaN();

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Whether the well-formed unsigned decimal number in [begin, end), which a
// float cannot hold, is too small (rather than too large) for one: its
// decimal order of magnitude is below zero.
bool IsUnderflow(const char* begin, const char* end) {
  const char* p = begin;
  long magnitude = 0;
  bool seen_digit = false;  // A non-zero digit, which fixes the magnitude.
  for (; p < end && IsDigit(*p); ++p) {
    if (seen_digit || *p != '0') {
      magnitude = seen_digit ? magnitude + 1 : 0;
      seen_digit = true;
    }
  }
  if (p < end && *p == '.') {
    long zeros = 0;
    for (++p; p < end && IsDigit(*p); ++p) {
      if (!seen_digit && *p != '0') {
        magnitude = -(zeros + 1);
        seen_digit = true;
      } else if (!seen_digit) {
        ++zeros;
      }
    }
  }
  long exponent = 0;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) ++p;
    // Saturate far beyond any float exponent plus the digits a line holds.
    for (; p < end && IsDigit(*p); ++p) {
      if (exponent < 100000) exponent = exponent * 10 + (*p - '0');
    }
    if (negative) exponent = -exponent;
  }
  return magnitude + exponent < 0;
}

bool ParseTuple(const char* line, float* values, int arity) {
  const char* value = LineValue(line);
  if (value == nullptr) return false;
  const char* separator = FindChar(value, '(');
  for (int i = 0; i < arity; ++i) {
    if (i > 0) separator = FindChar(separator + 1, ',');
    if (*separator == '\0') return false;
    ScanFloat(separator + 1, &values[i]);
  }
  return true;
}

// An integer field written as a single number in parentheses; the field
// keeps its value when the number is missing or out of range.
void ParseRoundedParen(const char* line, std::int32_t* field) {
  float value = kNotRead;
  ParseParenFloat(line, &value);
  RoundToInt(value, field);
}

}  // namespace

bool ScanFloat(const char* text, float* value) {
  const char* p = SkipBlanks(text);
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  // from_chars would also take "inf", "nan" and a second sign.
  if (!IsDigit(*p) && *p != '.') return false;
  float parsed = 0.0f;
  const char* end = p + std::strlen(p);
  const std::from_chars_result result = std::from_chars(p, end, parsed, std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) {
    if (!IsUnderflow(p, result.ptr)) return false;
    parsed = 0.0f;
  } else if (result.ec != std::errc()) {
    return false;
  }
  *value = negative ? -parsed : parsed;
  return true;
}

bool RoundToInt(float value, std::int32_t* result) {
  const double rounded = std::floor(static_cast<double>(value) + 0.5);
  // Written so that a NaN fails too.
  if (!(rounded >= std::numeric_limits<std::int32_t>::min() &&
        rounded <= std::numeric_limits<std::int32_t>::max())) {
    return false;
  }
  *result = static_cast<std::int32_t>(rounded);
  return true;
}

bool ParseFloat(const char* line, float* value) {
  const char* text = LineValue(line);
  if (text == nullptr) return false;
  ScanFloat(text, value);
  return true;
}

bool ParseParenFloat(const char* line, float* value) {
  const char* text = LineValue(line);
  if (text == nullptr) return false;
  ScanFloat(text + 1, value);
  return true;
}

bool ParseFloat2(const char* line, float (&values)[2]) { return ParseTuple(line, values, 2); }
bool ParseFloat3(const char* line, float (&values)[3]) { return ParseTuple(line, values, 3); }
bool ParseFloat4(const char* line, float (&values)[4]) { return ParseTuple(line, values, 4); }

bool Waypoint::ParseWaypointField(const char* line) {
  KeyBuffer key;
  if (line[0] == '\0' || !SplitKey(line, key)) return false;
  if (EqualsIgnoringCase(key, kWpPos)) {
    ParseFloat3(line, wp_pos);
  } else if (EqualsIgnoringCase(key, kWpPerp)) {
    ParseFloat3(line, wp_perp);
  } else if (EqualsIgnoringCase(key, kWpNormal)) {
    ParseFloat3(line, wp_normal);
  } else if (EqualsIgnoringCase(key, kWpVect)) {
    ParseFloat3(line, wp_vect);
  } else if (EqualsIgnoringCase(key, kWpWidth)) {
    ParseFloat4(line, wp_width);
  } else if (EqualsIgnoringCase(key, kWpDwidth)) {
    ParseFloat4(line, wp_dwidth);
  } else if (EqualsIgnoringCase(key, kWpPath)) {
    ParseFloat2(line, wp_path);
  } else if (EqualsIgnoringCase(key, kWpGalpha)) {
    ParseParenFloat(line, &wp_galpha);
  } else if (EqualsIgnoringCase(key, kWpGrooveLat)) {
    ParseParenFloat(line, &wp_groove_lat);
  } else if (EqualsIgnoringCase(key, kWpScore)) {
    ParseFloat2(line, wp_score);
  } else if (EqualsIgnoringCase(key, kWpBranchId)) {
    ParseRoundedParen(line, &wp_branch_id);
  } else if (EqualsIgnoringCase(key, kWpBitfields)) {
    ParseRoundedParen(line, &wp_bitfields);
  } else if (EqualsIgnoringCase(key, kWpPitlane)) {
    ParseRoundedParen(line, &wp_pitlane);
  } else if (EqualsIgnoringCase(key, kWpPtrs)) {
    float values[4] = {kNotRead, kNotRead, kNotRead, kNotRead};
    ParseFloat4(line, values);
    for (int i = 0; i < 4; ++i) RoundToInt(values[i], &wp_ptrs[i]);
    return true;
  }
  return false;
}

bool WaypointList::ReadWaypoints(std::FILE* file) {
  std::rewind(file);
  if (!FindSection(kWaypointSection, file)) return false;
  std::size_t current = 0;
  LineBuffer line;
  KeyBuffer key;
  while (ReadKeyLine(file, line, key)) {
    if (EqualsIgnoringCase(key, kNumberWaypoints)) {
      float value = kNotRead;
      std::int32_t count = 0;
      ParseFloat(line, &value);
      if (RoundToInt(value, &count)) {
        count_ = count;
        if (count > 0) {
          std::vector<Waypoint>().swap(waypoints_);  // Frees the old array first.
          if (count <= kMaxWaypoints) {
            try {
              waypoints_.resize(static_cast<std::size_t>(count));
            } catch (const std::bad_alloc&) {
              std::vector<Waypoint>().swap(waypoints_);
            }
          }
          current = 0;
        }
      }
    } else if (EqualsIgnoringCase(key, kGrooveWidth)) {
      ParseFloat(line, &groove_width_);
    } else if (StartsWithIgnoringCase(line, kWaypointKeyPrefix) && current < waypoints_.size()) {
      if (waypoints_[current].ParseWaypointField(line)) ++current;
    }
  }
  return true;
}
