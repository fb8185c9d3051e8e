// The outline of one track: two closed strips of (x, z) points built from
// the track's AI waypoints, for clients that draw the track.
//
// Thread-safety: one thread, the loader, fills a TrackGeometry (LoadAiw(),
// or SetStripCount() and BuildStrips()) after it was named and before it is
// loaded; loaded() may be read by any thread at any time. A thread that sees
// loaded() true may then read strip_count(), strip(), waypoints() and
// track_name() without a lock: nothing changes them again. The track name is
// set before the geometry is handed to other threads.
#ifndef PITWALL_TRACK_TRACK_GEOMETRY_H_
#define PITWALL_TRACK_TRACK_GEOMETRY_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "pitwall/protocol.h"  // StripPoint: one outline point as clients receive it
#include "track/waypoints.h"

// A point or direction in the host's world; the outline uses x and z. Every
// operation computes and rounds in single precision.
struct Vec3 {
  float x = 0.0f;
  float y = 0.0f;
  float z = 0.0f;

  Vec3 Add(const Vec3& b) const { return {x + b.x, y + b.y, z + b.z}; }
  Vec3 Subtract(const Vec3& b) const { return {x - b.x, y - b.y, z - b.z}; }
  Vec3 Scale(float s) const { return {x * s, y * s, z * s}; }
};

// One strip of the outline. Its points alternate between the two edges of a
// band, in triangle-strip order, and its last two repeat its first two so
// the band closes.
struct TrackStrip {
  // Which widths built it: kDrivableKind from wp_dwidth, kTrackKind from
  // wp_width. Clients receive it as one byte.
  static constexpr int kDrivableKind = 1;
  static constexpr int kTrackKind = 0;

  int kind = kTrackKind;
  std::vector<StripPoint> points;

  std::int32_t point_count() const { return static_cast<std::int32_t>(points.size()); }
};

class TrackGeometry final {
 public:
  // After BuildStrips(): strip 0 of kDrivableKind, strip 1 of kTrackKind.
  static constexpr int kStripCount = 2;

  TrackGeometry() = default;
  TrackGeometry(const TrackGeometry&) = delete;
  TrackGeometry& operator=(const TrackGeometry&) = delete;

  // Gives the geometry its own copy of `name`; null or empty leaves it
  // without a name. Returns false, leaving it without a name, when memory
  // runs out.
  bool SetTrackName(const char* name);
  // The name, or "" when there is none.
  const char* track_name() const { return track_name_ ? track_name_.get() : ""; }

  // Does nothing when `count` equals strip_count(). Otherwise destroys all
  // strips and creates `count` new ones without points (none when count <=
  // 0). Returns false, leaving no strips, when memory runs out.
  bool SetStripCount(int count);
  std::int32_t strip_count() const { return static_cast<std::int32_t>(strips_.size()); }
  // REQUIRES: 0 <= index < strip_count().
  const TrackStrip& strip(int index) const { return strips_[static_cast<std::size_t>(index)]; }

  // Builds both strips from waypoints(): strip 0 from each waypoint's
  // wp_dwidth, strip 1 from its wp_width. Each walks the chain from waypoint
  // 0 along wp_ptrs[1] and, per waypoint visited with position p and
  // direction d, appends (p + d * w[1]) then (p - d * w[0]) as (x, z); the
  // walk ends when the next index is 0, negative or beyond the array, or
  // when as many waypoints as the array holds have been visited. Then the
  // first two points are appended again. No waypoints: both strips stay
  // empty. Returns false, leaving no strips, when memory runs out.
  bool BuildStrips();

  // Reads the ".aiw" file at `path` and builds the strips. Returns true when
  // the geometry is then loaded. False, and not loaded, when the file cannot
  // be opened, has no "[Waypoint]" section, or memory runs out. The file is
  // closed before it returns.
  // REQUIRES: called at most once, by the one loader thread, before any
  // other thread reads the strips.
  bool LoadAiw(const char* path);

  // True once both strips are complete; never false again afterwards.
  bool loaded() const { return loaded_.load(std::memory_order_acquire); }

  const WaypointList& waypoints() const { return waypoints_; }

 private:
  bool BuildStrip(int kind, TrackStrip* strip);

  // Release store after the strips are built, paired with the acquire load
  // in loaded(): a reader that sees true sees the complete strips.
  std::atomic<bool> loaded_{false};
  // Set by the geometry's creator before it hands the geometry on.
  std::unique_ptr<char[]> track_name_;
  // Written only by the loader, before loaded_ is set.
  std::vector<TrackStrip> strips_;
  WaypointList waypoints_;
};

#endif  // PITWALL_TRACK_TRACK_GEOMETRY_H_
