// Reading the "[Waypoint]" section of a track's AI waypoint file (".aiw")
// into a WaypointList.
//
// The section begins after the first line that starts with "[Waypoint]"
// (blanks before it and letter case ignored) and runs to the end of the file.
// Within it, "number_waypoints" (allocating that many waypoints),
// "GrooveWidth" and the waypoint keys "wp_..." and "WP_PTRS" are read; keys
// match whole and without regard to letter case, and waypoint keys only count
// in column one. Each waypoint's block ends with its "WP_PTRS" line, after
// which the next waypoint is filled. Anything else is passed over.
//
// Numbers have the form: blanks, an optional sign, decimal digits with an
// optional point, an optional exponent; reading stops at the first character
// that does not fit. They are read without regard to the process locale.
//
// Thread-safety: nothing here keeps state outside its arguments; distinct
// objects may be used on distinct threads at once.
#ifndef PITWALL_TRACK_WAYPOINTS_H_
#define PITWALL_TRACK_WAYPOINTS_H_

#include <cstdint>
#include <cstdio>
#include <vector>

// Reads one number from `text` as single precision. On success stores it in
// *value and returns true. False, *value unchanged, when no number starts
// there (after blanks), and when the number lies beyond the range of a float;
// a number too small for a float reads as zero of its sign. "inf", "nan" and
// hexadecimal forms are no numbers here; a dangling exponent ("1e", "1e+")
// ends the number before the "e".
bool ScanFloat(const char* text, float* value);

// Rounds as floor(value + 0.5) in double precision (2.5 gives 3, -2.5 gives
// -2). On success stores the result in *result and returns true; false, with
// *result unchanged, when it lies outside the signed 32-bit range.
bool RoundToInt(float value, std::int32_t* result);

// Value parsers. Each takes a whole key=value line; the value is the text
// after the line's first "=", less its leading blanks. An empty value (or a
// line without "=") stores nothing and gives false. A number that cannot be
// read leaves its destination unchanged.
//
// A bare number from the start of the value; true when the value is not
// empty.
bool ParseFloat(const char* line, float* value);
// A number from the value's second character (the first, normally "(", is
// skipped whatever it is); true when the value is not empty.
bool ParseParenFloat(const char* line, float* value);
// A tuple "(" a "," b ...: the first number just after the first "(" of the
// value, each further one just after the next "," (searched from just after
// the previous separator). No closing parenthesis is needed. False when a
// separator is missing; the numbers before it are stored.
bool ParseFloat2(const char* line, float (&values)[2]);
bool ParseFloat3(const char* line, float (&values)[3]);
bool ParseFloat4(const char* line, float (&values)[4]);

// One waypoint: 33 four-byte values, each field named after the file key
// that fills it.
struct Waypoint {
  float wp_pos[3] = {0.0f, 0.0f, 0.0f};           // Position (x, y, z).
  float wp_perp[3] = {0.0f, 0.0f, 0.0f};          // Across the track; outlines are offset along it.
  float wp_normal[3] = {0.0f, 0.0f, 0.0f};        // Stored only.
  float wp_vect[3] = {0.0f, 0.0f, 0.0f};          // Stored only.
  float wp_width[4] = {0.0f, 0.0f, 0.0f, 0.0f};   // [0] against, [1] along wp_perp.
  float wp_dwidth[4] = {0.0f, 0.0f, 0.0f, 0.0f};  // As wp_width, for the wider outline.
  float wp_path[2] = {0.0f, 0.0f};
  float wp_galpha = 0.0f;
  float wp_groove_lat = 0.0f;
  float wp_score[2] = {0.0f, 0.0f};
  std::int32_t wp_branch_id = 0;
  std::int32_t wp_bitfields = 0;
  std::int32_t wp_pitlane = 0;
  std::int32_t wp_ptrs[4] = {-1, -1, -1, -1};  // [1] is the index of the next waypoint.

  // Stores one waypoint line (its key in any letter case) into this record.
  // Integer fields are read as floats and rounded with RoundToInt(); a value
  // it rejects, or that cannot be read, keeps the field as it was. Returns
  // true only for a "WP_PTRS" line, whether or not its numbers could be read:
  // that line completes the waypoint. An empty line, a line without a key,
  // and an unknown key change nothing and give false.
  bool ParseWaypointField(const char* line);
};
static_assert(sizeof(Waypoint) == 33 * 4, "33 four-byte values");

// The waypoints of one ".aiw" file.
class WaypointList final {
 public:
  // The most waypoints a file may ask for: several times what the longest
  // tracks use, and it keeps a hostile count from taking more than about
  // 13 MB. A larger count is treated like an allocation that failed.
  static constexpr int kMaxWaypoints = 100000;

  WaypointList() = default;

  // Rewinds `file` and reads its "[Waypoint]" section into this list.
  // Returns false, with the list unchanged, when the file has no such
  // section. Otherwise returns true whatever follows: each positive
  // "number_waypoints" value replaces the array with that many new waypoints
  // (if it is above kMaxWaypoints, or memory runs out, the list is left
  // without an array and waypoint lines are ignored); later blocks fill it
  // from waypoint 0; blocks beyond its length, and waypoint lines before any
  // count, are ignored. A value of 0 or less only sets count().
  bool ReadWaypoints(std::FILE* file);

  // The last "number_waypoints" value read, rounded; 0 before any.
  int count() const { return count_; }
  float groove_width() const { return groove_width_; }
  // The waypoint array; empty when there is none. Its length, not count(),
  // bounds every index into it.
  const std::vector<Waypoint>& waypoints() const { return waypoints_; }

  // Walks the lap from waypoint 0 along each waypoint's wp_ptrs[1], calling
  // visit(waypoint) for each one visited, waypoint 0 first. The walk ends
  // when the next index is 0, negative or beyond the array, or when as many
  // waypoints as the array holds have been visited, so a chain that loops
  // without passing waypoint 0 still ends. Returns how many were visited: 0
  // when there is no array.
  template <typename Visit>
  std::size_t WalkChain(Visit&& visit) const {
    std::size_t visited = 0;
    std::size_t index = 0;
    while (visited < waypoints_.size()) {
      visit(waypoints_[index]);
      ++visited;
      const std::int32_t next = waypoints_[index].wp_ptrs[1];
      if (next <= 0 || static_cast<std::size_t>(next) >= waypoints_.size()) break;
      index = static_cast<std::size_t>(next);
    }
    return visited;
  }
  // How many waypoints WalkChain() visits.
  std::size_t ChainLength() const {
    return WalkChain([](const Waypoint&) {});
  }

 private:
  int count_ = 0;
  float groove_width_ = 0.0f;
  std::vector<Waypoint> waypoints_;
};

#endif  // PITWALL_TRACK_WAYPOINTS_H_
