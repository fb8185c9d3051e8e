#include "tools/test_host/track_path.h"

#include <algorithm>
#include <cmath>

#include "platform/files.h"
#include "track/track_locate.h"
#include "track/waypoints.h"

bool TrackPath::Build(const WaypointList& list) {
  x_.clear();
  z_.clear();
  start_.clear();
  length_ = 0;
  list.WalkChain([this](const Waypoint& waypoint) {
    x_.push_back(waypoint.wp_pos[0]);
    z_.push_back(waypoint.wp_pos[2]);
  });
  if (x_.size() < 3) return false;
  for (std::size_t i = 0; i < x_.size(); ++i) {
    start_.push_back(length_);
    const std::size_t j = (i + 1) % x_.size();
    length_ += std::hypot(x_[j] - x_[i], z_[j] - z_[i]);
  }
  return length_ > 1.0;
}

bool TrackPath::Load(const std::string& game_dir, const std::string& track_name,
                     std::string* error) {
  std::string tracks_dir = kDefaultTracksDir;
  ReadTracksDir(game_dir + kPathSeparator + kHostConfigFile, &tracks_dir);
  const std::string root = game_dir + kPathSeparator + HostPathToNative(tracks_dir);
  TrackSearchOptions options;
  options.tracks_dir = root;
  AiwPathBuffer path = {};
  if (!LocateTrackAiw(track_name.c_str(), options, path)) {
    *error = "no track named '" + track_name +
             "' (a .gdb with its TrackName and an .aiw beside it) under " + root;
    return false;
  }
  UniqueFile file = OpenForReading(path);
  WaypointList list;
  if (file == nullptr || !list.ReadWaypoints(file.get())) {
    *error = std::string("cannot read the waypoints of ") + path;
    return false;
  }
  if (!Build(list)) {
    *error = std::string("the waypoints of ") + path + " do not form a lap";
    return false;
  }
  return true;
}

TrackPath::Pose TrackPath::At(double distance, double offset) const {
  Pose pose;
  if (start_.empty()) return pose;
  distance = std::fmod(distance, length_);
  if (distance < 0) distance += length_;
  const auto it = std::upper_bound(start_.begin(), start_.end(), distance);
  const std::size_t i = static_cast<std::size_t>(it - start_.begin()) - 1;
  const std::size_t j = (i + 1) % x_.size();
  const double seg_x = x_[j] - x_[i];
  const double seg_z = z_[j] - z_[i];
  const double seg = std::hypot(seg_x, seg_z);
  const double t = seg > 0 ? (distance - start_[i]) / seg : 0;
  pose.dx = seg > 0 ? seg_x / seg : 1;
  pose.dz = seg > 0 ? seg_z / seg : 0;
  // Left of the direction of travel, seen from above with z up the page.
  pose.x = x_[i] + seg_x * t - pose.dz * offset;
  pose.z = z_[i] + seg_z * t + pose.dx * offset;
  return pose;
}
