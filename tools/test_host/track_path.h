// A track's racing line as a closed polyline with distances along it, built
// from the waypoint chain of the track's ".aiw" file.
#ifndef PITWALL_TOOLS_TEST_HOST_TRACK_PATH_H_
#define PITWALL_TOOLS_TEST_HOST_TRACK_PATH_H_

#include <string>
#include <vector>

class WaypointList;

class TrackPath {
 public:
  struct Pose {
    double x = 0, z = 0;    // position
    double dx = 1, dz = 0;  // unit direction of travel
  };

  // Follows the chain from waypoint 0 along each waypoint's next pointer
  // until it returns to 0 (or leaves the array). False when fewer than three
  // points or a zero-length lap result.
  bool Build(const WaypointList& waypoints);

  // Finds the track named `track_name` below the game folder `game_dir` (the
  // tracks directory its Config.ini names) and builds the path from it.
  // False with a message in *error when the track or its file is missing.
  bool Load(const std::string& game_dir, const std::string& track_name, std::string* error);

  double length() const { return length_; }
  // The pose at `distance` metres from the start line (wrapped into the
  // lap), moved `offset` metres to the left of the direction of travel.
  Pose At(double distance, double offset = 0) const;

 private:
  std::vector<double> x_, z_;
  std::vector<double> start_;  // distance of each point from the start line
  double length_ = 0;
};

#endif  // PITWALL_TOOLS_TEST_HOST_TRACK_PATH_H_
