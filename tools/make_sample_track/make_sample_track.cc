// Writes the sample game folder used by the tests and for trying the plug-in
// without the simulator: a Config.ini, and under GameData\Locations\ two
// tracks, each a ".gdb" file with its ".aiw" waypoint file.
//
//   make_sample_track <game folder>
//
// "Pitwall Ring" is a closed club circuit of about 3.8 km: a long main
// straight, corners of several radii, a left-hand hairpin and a few kinks.
// "Harbour Loop" is a small stadium oval that a search for the ring must pass
// over. The output depends on nothing but this program, so running it again
// gives the same bytes. Files use CR LF line ends, as the host's files do.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Point2 {
  double x = 0.0;
  double z = 0.0;
};

Point2 Plus(Point2 a, Point2 b) { return {a.x + b.x, a.z + b.z}; }
Point2 Minus(Point2 a, Point2 b) { return {a.x - b.x, a.z - b.z}; }
Point2 Times(Point2 a, double s) { return {a.x * s, a.z * s}; }
double Length(Point2 a) { return std::hypot(a.x, a.z); }
Point2 Unit(Point2 a) { return Times(a, 1.0 / Length(a)); }
// The direction 90 degrees to the left of `a` as a driver heading along `a`
// sees it from above (x to the right, z ahead).
Point2 LeftOf(Point2 a) { return {-a.z, a.x}; }

// A corner of the layout: the track runs from corner to corner in straight
// lines, each corner rounded off by an arc of the given radius.
struct Corner {
  Point2 at;
  double radius = 0.0;
};

// A piece of the centre line: a straight, or an arc about `centre`.
struct Piece {
  bool is_arc = false;
  Point2 start;
  Point2 direction;  // Straight: unit heading.
  Point2 centre;     // Arc only.
  double start_angle = 0.0;
  double turn = 0.0;  // Arc only: signed angle, positive to the left.
  double radius = 0.0;
  double length = 0.0;
};

struct Sample {
  Point2 position;
  Point2 heading;    // Unit.
  double turn_sign;  // +1 in a left-hand corner, -1 in a right-hand one, 0 on a straight.
};

class Circuit {
 public:
  // Builds the centre line through `corners`, starting `start_offset` metres
  // into the straight that leaves the last corner. False when two corners
  // are too close for their arcs.
  bool Build(const std::vector<Corner>& corners, double start_offset) {
    const std::size_t n = corners.size();
    std::vector<Point2> arc_start(n);
    std::vector<Point2> arc_end(n);
    std::vector<Piece> arcs(n);
    for (std::size_t i = 0; i < n; ++i) {
      const Corner& c = corners[i];
      const Point2 in = Unit(Minus(c.at, corners[(i + n - 1) % n].at));
      const Point2 out = Unit(Minus(corners[(i + 1) % n].at, c.at));
      const double turn = std::atan2(in.x * out.z - in.z * out.x, in.x * out.x + in.z * out.z);
      const double tangent = c.radius * std::tan(std::fabs(turn) / 2.0);
      arc_start[i] = Minus(c.at, Times(in, tangent));
      arc_end[i] = Plus(c.at, Times(out, tangent));
      Piece& arc = arcs[i];
      arc.is_arc = true;
      arc.start = arc_start[i];
      arc.radius = c.radius;
      arc.turn = turn;
      arc.centre = Plus(arc_start[i], Times(LeftOf(in), turn > 0 ? c.radius : -c.radius));
      const Point2 spoke = Minus(arc_start[i], arc.centre);
      arc.start_angle = std::atan2(spoke.z, spoke.x);
      arc.length = c.radius * std::fabs(turn);
    }
    pieces_.clear();
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t from = (n - 1 + k) % n;
      const std::size_t to = k;
      Piece straight;
      straight.start = arc_end[from];
      const Point2 span = Minus(arc_start[to], arc_end[from]);
      straight.length = Length(span);
      const Point2 chord = Minus(corners[to].at, corners[from].at);
      // The arcs must leave a straight of zero length or more between them.
      if (span.x * chord.x + span.z * chord.z < -1e-9) return false;
      straight.direction = Unit(chord);
      pieces_.push_back(straight);
      pieces_.push_back(arcs[to]);
    }
    length_ = 0.0;
    for (const Piece& piece : pieces_) length_ += piece.length;
    start_offset_ = start_offset;
    return true;
  }

  double length() const { return length_; }

  // The centre line `s` metres after the start, wrapping at the lap.
  Sample At(double s) const {
    double along = std::fmod(s + start_offset_, length_);
    for (const Piece& piece : pieces_) {
      if (along <= piece.length || &piece == &pieces_.back()) {
        if (!piece.is_arc)
          return {Plus(piece.start, Times(piece.direction, along)), piece.direction, 0.0};
        const double sign = piece.turn > 0 ? 1.0 : -1.0;
        const double angle = piece.start_angle + sign * along / piece.radius;
        const Point2 spoke{std::cos(angle), std::sin(angle)};
        const Point2 heading = Times(LeftOf(spoke), sign);
        return {Plus(piece.centre, Times(spoke, piece.radius)), heading, sign};
      }
      along -= piece.length;
    }
    return {};
  }

 private:
  std::vector<Piece> pieces_;
  double length_ = 0.0;
  double start_offset_ = 0.0;
};

// Rounds values that print as zero to +0, so no "-0.000000" appears.
double Tidy(double value) { return std::fabs(value) < 5e-7 ? 0.0 : value; }

// Writes a text file line by line with CR LF line ends.
class TextFile {
 public:
  bool Open(const std::filesystem::path& path) {
    file_.reset(std::fopen(path.string().c_str(), "wb"));
    return file_ != nullptr;
  }
  void Line(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    std::fputs(text, file_.get());
    std::fputs("\r\n", file_.get());
  }
  void BlankLine() { std::fputs("\r\n", file_.get()); }
  bool Close() {
    const bool ok = std::ferror(file_.get()) == 0;
    return std::fclose(file_.release()) == 0 && ok;
  }

 private:
  struct Closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  std::unique_ptr<std::FILE, Closer> file_;
};

struct TrackLayout {
  const char* folder;     // Below GameData/Locations.
  const char* file_stem;  // Of the .gdb and .aiw files.
  const char* track_name;
  const char* venue;
  std::vector<Corner> corners;
  double start_offset;   // Metres into the straight after the last corner.
  double spacing;        // Wanted distance between waypoints.
  double half_width;     // Track edge from the centre line, on straights.
  double runoff;         // Drivable width beyond the edge, on straights.
  double corner_runoff;  // On the outside of corners.
  double hill;           // Height of the main rise.
};

double Height(const TrackLayout& layout, double fraction) {
  return layout.hill * std::sin(2.0 * kPi * fraction) +
         0.35 * layout.hill * std::sin(6.0 * kPi * fraction + 1.0);
}

bool WriteAiw(const TrackLayout& layout, const Circuit& circuit, const std::filesystem::path& path,
              int* waypoint_count) {
  const double lap = circuit.length();
  const int n = static_cast<int>(std::lround(lap / layout.spacing));
  const double step = lap / n;
  TextFile out;
  if (!out.Open(path)) return false;
  out.Line("// %s: AI waypoints of the PitwallFeed sample track.", layout.track_name);
  out.Line("// Written by make_sample_track; run it again rather than editing this file.");
  out.Line("[Header]");
  out.Line("version=2");
  out.Line("lap_length=%.3f", lap);
  out.BlankLine();
  out.Line("[Waypoint]");
  out.Line("trackstate=1");
  out.Line("number_waypoints=%d", n);
  out.Line("GrooveWidth=1.500000");
  for (int i = 0; i < n; ++i) {
    const double s = i * step;
    const Sample here = circuit.At(s);
    const Sample next = circuit.At(s + step);
    const double y = Height(layout, s / lap);
    const double next_y = Height(layout, (s + step) / lap);
    const Point2 left = LeftOf(here.heading);
    // Surface normal of a road that climbs along its heading and is level
    // across it.
    const double slope = (next_y - y) / step;
    const double norm = std::sqrt(1.0 + slope * slope);
    // Corners are a little wider, with more run-off on their outside: the
    // right for a left-hand corner (w[0]), the left for a right-hand one.
    const double width = layout.half_width + (here.turn_sign != 0.0 ? 1.0 : 0.0);
    const double right_runoff = here.turn_sign > 0 ? layout.corner_runoff : layout.runoff;
    const double left_runoff = here.turn_sign < 0 ? layout.corner_runoff : layout.runoff;
    out.Line("wp_pos=(%.6f,%.6f,%.6f)", Tidy(here.position.x), Tidy(y), Tidy(here.position.z));
    out.Line("wp_perp=(%.6f,%.6f,%.6f)", Tidy(left.x), 0.0, Tidy(left.z));
    out.Line("wp_normal=(%.6f,%.6f,%.6f)", Tidy(-slope * here.heading.x / norm), 1.0 / norm,
             Tidy(-slope * here.heading.z / norm));
    out.Line("wp_vect=(%.6f,%.6f,%.6f)", Tidy(next.position.x - here.position.x), Tidy(next_y - y),
             Tidy(next.position.z - here.position.z));
    out.Line("wp_width=(%.6f,%.6f,%.6f,%.6f)", width, width, 0.0, 0.0);
    out.Line("wp_dwidth=(%.6f,%.6f,%.6f,%.6f)", width + right_runoff, width + left_runoff, 0.0,
             0.0);
    out.Line("wp_path=(%.6f,%.6f)", 0.0, 0.0);
    out.Line("wp_galpha=(%.6f)", 1.0);
    out.Line("wp_groove_lat=(%.6f)", Tidy(-1.5 * here.turn_sign));
    out.Line("wp_score=(%.6f,%.6f)", s, lap - s);
    out.Line("wp_branchID=(0)");
    out.Line("wp_bitfields=(%d)", here.turn_sign != 0.0 ? 1 : 0);
    out.Line("wp_pitlane=(0)");
    out.Line("WP_PTRS=(%d,%d,-1,0)", (i + n - 1) % n, (i + 1) % n);
  }
  out.BlankLine();
  out.Line("[Lights]");
  out.Line("start_lights=4");
  *waypoint_count = n;
  return out.Close();
}

bool WriteGdb(const TrackLayout& layout, double lap, const std::filesystem::path& path) {
  TextFile out;
  if (!out.Open(path)) return false;
  out.Line("// %s: track description of the PitwallFeed sample track.", layout.track_name);
  out.Line("TrackName = %s", layout.track_name);
  out.Line("VenueName = %s", layout.venue);
  out.Line("Location = Nowhere in particular");
  out.Line("Length = %.2f km", lap / 1000.0);
  out.Line("TrackType = Road course");
  out.Line("Direction = Anticlockwise");
  out.Line("MaxVehicles = 24");
  out.Line("PitSpeedLimit = 60 km/h");
  return out.Close();
}

bool WriteConfig(const std::filesystem::path& path) {
  TextFile out;
  if (!out.Open(path)) return false;
  out.Line("// Host settings for the PitwallFeed sample game folder.");
  out.Line("[GENERAL]");
  out.Line("PlayerName=Sample Driver");
  out.Line("Units=Metric");
  out.BlankLine();
  out.Line("[COMPONENTS]");
  out.Line("VehiclesDir=GameData\\Vehicles\\");
  out.Line("TracksDir=GameData\\Locations\\");
  out.Line("SoundsDir=GameData\\Sounds\\");
  return out.Close();
}

bool WriteTrack(const TrackLayout& layout, const std::filesystem::path& locations) {
  Circuit circuit;
  if (!circuit.Build(layout.corners, layout.start_offset)) {
    std::fprintf(stderr, "make_sample_track: corners of %s overlap.\n", layout.track_name);
    return false;
  }
  const std::filesystem::path folder = locations / layout.folder;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    std::fprintf(stderr, "make_sample_track: cannot create %s: %s\n", folder.string().c_str(),
                 error.message().c_str());
    return false;
  }
  int waypoints = 0;
  const std::string stem = layout.file_stem;
  if (!WriteAiw(layout, circuit, folder / (stem + ".aiw"), &waypoints) ||
      !WriteGdb(layout, circuit.length(), folder / (stem + ".gdb"))) {
    std::fprintf(stderr, "make_sample_track: cannot write the files of %s.\n", layout.track_name);
    return false;
  }
  std::printf("%s: %.1f m, %d waypoints\n", layout.track_name, circuit.length(), waypoints);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_sample_track <game folder>\n");
    return 2;
  }
  const std::filesystem::path game = argv[1];
  const std::filesystem::path locations = game / "GameData" / "Locations";

  // Anticlockwise seen from above. The main straight runs along z = 0 and
  // the lap starts at (0, 0) on it.
  const TrackLayout ring{
      "PitwallRing",
      "Pitwall_Ring",
      "Pitwall Ring",
      "Pitwall Ring Club Circuit",
      {
          {{1100.0, 0.0}, 120.0},   // Turn 1: long, fast left.
          {{1100.0, 500.0}, 60.0},  // Turn 2: medium left onto the back straight.
          {{700.0, 500.0}, 40.0},   // Turn 3: tight left.
          {{700.0, 350.0}, 30.0},   // Turn 4: short right.
          {{300.0, 350.0}, 30.0},   // Turns 5 and 6: the hairpin, ...
          {{300.0, 290.0}, 30.0},   // ... 180 degrees at 30 m.
          {{550.0, 290.0}, 40.0},   // Turn 7: right kink.
          {{600.0, 150.0}, 40.0},   // Turn 8: right, onto the long return.
          {{-100.0, 150.0}, 60.0},  // Turn 9: left.
          {{-100.0, 0.0}, 50.0},    // Turn 10: left onto the main straight.
      },
      50.0,
      10.0,
      6.0,
      3.0,
      9.0,
      4.0};

  const TrackLayout harbour{"HarbourLoop",
                            "Harbour_Loop",
                            "Harbour Loop",
                            "Harbour Loop Oval",
                            {
                                {{300.0, 0.0}, 60.0},
                                {{300.0, 120.0}, 60.0},
                                {{0.0, 120.0}, 60.0},
                                {{0.0, 0.0}, 60.0},
                            },
                            0.0,
                            12.0,
                            7.0,
                            4.0,
                            6.0,
                            0.0};

  if (!WriteTrack(ring, locations) || !WriteTrack(harbour, locations)) return 1;
  if (!WriteConfig(game / "Config.ini")) {
    std::fprintf(stderr, "make_sample_track: cannot write Config.ini.\n");
    return 1;
  }
  return 0;
}
