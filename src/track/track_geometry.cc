#include "track/track_geometry.h"

#include <cstring>
#include <exception>
#include <new>
#include <utility>

#include "platform/files.h"

bool TrackGeometry::SetTrackName(const char* name) {
  track_name_.reset();
  if (name == nullptr || name[0] == '\0') return true;
  const std::size_t size = std::strlen(name) + 1;
  track_name_.reset(new (std::nothrow) char[size]);
  if (!track_name_) return false;
  std::memcpy(track_name_.get(), name, size);
  return true;
}

bool TrackGeometry::SetStripCount(int count) {
  if (count == strip_count()) return true;
  std::vector<TrackStrip>().swap(strips_);
  if (count <= 0) return true;
  try {
    strips_.resize(static_cast<std::size_t>(count));
  } catch (const std::exception&) {  // bad_alloc, or length_error for a huge count.
    std::vector<TrackStrip>().swap(strips_);
    return false;
  }
  return true;
}

bool TrackGeometry::BuildStrips() {
  if (!SetStripCount(kStripCount)) return false;
  if (!BuildStrip(TrackStrip::kDrivableKind, &strips_[0]) ||
      !BuildStrip(TrackStrip::kTrackKind, &strips_[1])) {
    std::vector<TrackStrip>().swap(strips_);
    return false;
  }
  return true;
}

bool TrackGeometry::BuildStrip(int kind, TrackStrip* strip) {
  strip->kind = kind;
  std::vector<StripPoint>().swap(strip->points);
  // Counting first lets the points take one allocation of their exact size.
  const std::size_t visited = waypoints_.ChainLength();
  if (visited == 0) return true;
  std::vector<StripPoint> points;
  try {
    points.reserve(2 * visited + 2);
  } catch (const std::bad_alloc&) {
    return false;
  }
  waypoints_.WalkChain([kind, &points](const Waypoint& waypoint) {
    const Vec3 position{waypoint.wp_pos[0], waypoint.wp_pos[1], waypoint.wp_pos[2]};
    const Vec3 across{waypoint.wp_perp[0], waypoint.wp_perp[1], waypoint.wp_perp[2]};
    const float* width = kind == TrackStrip::kDrivableKind ? waypoint.wp_dwidth : waypoint.wp_width;
    const Vec3 a = position.Add(across.Scale(width[1]));
    const Vec3 b = position.Subtract(across.Scale(width[0]));
    points.push_back({a.x, a.z});  // Reserved above: cannot throw.
    points.push_back({b.x, b.z});
  });
  const StripPoint first = points[0];
  const StripPoint second = points[1];
  points.push_back(first);
  points.push_back(second);
  strip->points = std::move(points);
  return true;
}

bool TrackGeometry::LoadAiw(const char* path) {
  loaded_.store(false, std::memory_order_relaxed);
  UniqueFile file = OpenForReading(path);
  if (!file) return false;
  const bool read = waypoints_.ReadWaypoints(file.get());
  file.reset();
  if (!read || !BuildStrips()) return false;
  loaded_.store(true, std::memory_order_release);
  return true;
}
