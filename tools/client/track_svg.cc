#include "track_svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "answer_text.h"
#include "text_safety.h"

namespace {

constexpr double kDrawSize = 900;  // the map's longer side, margins excluded
constexpr double kMargin = 20;
constexpr double kTitleHeight = 56;
constexpr double kLegendWidth = 270;
constexpr double kLegendRow = 18;
constexpr double kDotRadius = 5;
constexpr double kNumberedDotRadius = 8;  // room for a car number of up to three digits
constexpr double kNumberFontSize = 8;
constexpr double kLabelFontSize = 12;
constexpr double kCharWidth = 7.0;  // a generous average for sans-serif at 12
constexpr double kLabelHeight = 15;
constexpr std::size_t kLabelNameColumns = 18;
constexpr double kPi = 3.14159265358979323846;

bool Finite(float x, float z) { return std::isfinite(x) && std::isfinite(z); }

struct Frame {
  double min_x = 0;
  double max_z = 0;
  double scale = 1;
  double width = 0;  // the map's, margins excluded
  double height = 0;
  double left = kMargin;
  double top = kTitleHeight + kMargin;

  double X(float x) const { return (x - min_x) * scale + left; }
  double Y(float z) const { return (max_z - z) * scale + top; }
};

Frame FitFrame(const TrackOutline& outline, const std::vector<CarTiming>& cars) {
  bool any = false;
  double min_x = 0, max_x = 0, min_z = 0, max_z = 0;
  const auto take = [&](float x, float z) {
    if (!Finite(x, z)) return;
    if (!any) {
      min_x = max_x = x;
      min_z = max_z = z;
      any = true;
    }
    min_x = std::min<double>(min_x, x);
    max_x = std::max<double>(max_x, x);
    min_z = std::min<double>(min_z, z);
    max_z = std::max<double>(max_z, z);
  };
  for (const OutlineStrip& strip : outline.strips) {
    for (const OutlinePoint& p : strip.points) take(p.x, p.z);
  }
  for (const CarTiming& car : cars) take(car.x, car.z);
  Frame frame;
  frame.min_x = min_x;
  frame.max_z = max_z;
  const double extent = std::max(max_x - min_x, max_z - min_z);
  if (extent > 0) frame.scale = kDrawSize / extent;
  frame.width = (max_x - min_x) * frame.scale;
  frame.height = (max_z - min_z) * frame.scale;
  return frame;
}

std::string Num(double value) { return FixedText(value, 1); }

// The label's width for its text: a fixed width a terminal column, which
// gives wide characters two and combining marks none.
double LabelWidth(const std::string& text) {
  return static_cast<double>(DisplayWidth(text)) * kCharWidth + 6;
}

std::string TitleLine(const TimingState& state) {
  const SessionTiming& s = state.session();
  std::string line = s.known ? s.kind : "session not known";
  if (state.has_live()) {
    if (s.finished && s.race) {
      line += s.all_in ? " | final classification" : " | chequered flag";
    } else {
      if (s.lap && s.max_laps) {
        line += " | lap " + std::to_string(*s.lap) + "/" + std::to_string(*s.max_laps);
      }
      line += s.time_left_s ? " | " + ClockText(*s.time_left_s) + " left"
                            : " | time " + ClockText(s.current_time_s);
      if (s.finished) line += " | finished";
    }
    for (const CarTiming& car : state.cars()) {
      if (car.place == 1) line += " | leader " + DisplayText(car.driver);
    }
  }
  if (s.fastest_lap_s) {
    line += " | fastest " + LapTimeText(*s.fastest_lap_s) + " " + DisplayText(s.fastest_lap_driver);
  }
  return line;
}

}  // namespace

bool SvgBox::Overlaps(const SvgBox& o) const {
  return x < o.x + o.width && o.x < x + width && y < o.y + o.height && o.y < y + height;
}

std::vector<PlacedLabel> PlaceLabels(const std::vector<LabelRequest>& requests,
                                     const SvgBox& bounds, double dot_radius) {
  // Nearest spots first; twelve directions, starting to the right.
  static constexpr double kDistances[] = {4, 14, 28, 46, 68, 94, 124, 160};
  constexpr int kDirections = 12;
  std::vector<SvgBox> taken;
  for (const LabelRequest& r : requests) {
    taken.push_back(
        SvgBox{r.x - dot_radius - 1, r.y - dot_radius - 1, 2 * dot_radius + 2, 2 * dot_radius + 2});
  }
  const auto inside = [&](const SvgBox& b) {
    return b.x >= bounds.x && b.y >= bounds.y && b.x + b.width <= bounds.x + bounds.width &&
           b.y + b.height <= bounds.y + bounds.height;
  };
  const auto fits = [&](const SvgBox& b) {
    if (!inside(b)) return false;
    // A little air around every label.
    const SvgBox padded{b.x - 1, b.y - 1, b.width + 2, b.height + 2};
    return std::none_of(taken.begin(), taken.end(),
                        [&](const SvgBox& t) { return padded.Overlaps(t); });
  };
  const auto find = [&](const LabelRequest& r, double width, double max_distance, SvgBox* out,
                        double* distance) {
    for (const double d : kDistances) {
      if (d > max_distance) break;
      for (int k = 0; k < kDirections; ++k) {
        const double angle = 2 * kPi * k / kDirections;
        const double ux = std::cos(angle), uy = std::sin(angle);
        // The box's edge nearest the dot sits `d` beyond the dot's rim.
        const double cx = r.x + ux * (dot_radius + d + width / 2);
        const double cy = r.y + uy * (dot_radius + d + kLabelHeight / 2);
        const SvgBox box{cx - width / 2, cy - kLabelHeight / 2, width, kLabelHeight};
        if (fits(box)) {
          *out = box;
          *distance = d;
          return true;
        }
      }
    }
    return false;
  };
  std::vector<PlacedLabel> placed;
  for (const LabelRequest& r : requests) {
    PlacedLabel label;
    double distance = 0;
    if (find(r, LabelWidth(r.text), 1e9, &label.box, &distance)) {
      label.form = PlacedLabel::Form::kFull;
    } else if (find(r, LabelWidth(r.short_text), 1e9, &label.box, &distance)) {
      label.form = PlacedLabel::Form::kShort;
    }
    if (label.form != PlacedLabel::Form::kNone) {
      label.leader_line = distance > 4;
      taken.push_back(label.box);
    }
    placed.push_back(label);
  }
  return placed;
}

std::string CarColour(std::uint8_t index) {
  // Hues a golden angle apart, at two lightnesses, so colours stay apart
  // however many cars there are.
  const double hue = std::fmod(index * 137.508, 360.0) / 60.0;
  const double lightness = index % 2 == 0 ? 0.42 : 0.55;
  const double saturation = 0.75;
  const double chroma = (1 - std::fabs(2 * lightness - 1)) * saturation;
  const double x = chroma * (1 - std::fabs(std::fmod(hue, 2.0) - 1));
  double r = 0, g = 0, b = 0;
  switch (static_cast<int>(hue)) {
    case 0:
      r = chroma, g = x;
      break;
    case 1:
      r = x, g = chroma;
      break;
    case 2:
      g = chroma, b = x;
      break;
    case 3:
      g = x, b = chroma;
      break;
    case 4:
      r = x, b = chroma;
      break;
    default:
      r = chroma, b = x;
      break;
  }
  const double m = lightness - chroma / 2;
  char text[8];
  std::snprintf(text, sizeof(text), "#%02x%02x%02x", static_cast<int>(std::lround((r + m) * 255)),
                static_cast<int>(std::lround((g + m) * 255)),
                static_cast<int>(std::lround((b + m) * 255)));
  return text;
}

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (const char c : DisplayText(text)) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

namespace {

// A car's colour on the map: its class's, else its own.
std::string MarkerColour(const CarTiming& car) {
  return car.class_colour.empty() ? CarColour(car.index) : car.class_colour;
}

// Black or white, whichever reads better on `colour` ("#rrggbb").
const char* TextOn(const std::string& colour) {
  if (colour.size() != 7) return "#000000";
  const auto channel = [&](std::size_t at) { return std::stoi(colour.substr(at, 2), nullptr, 16); };
  const double luminance =
      0.2126 * channel(1) / 255.0 + 0.7152 * channel(3) / 255.0 + 0.0722 * channel(5) / 255.0;
  return luminance > 0.5 ? "#000000" : "#ffffff";
}

// The legend's groups: every class with cars in the class order, then the
// cars in no class; one group of every car without a league's classes.
struct LegendGroup {
  const ClassTiming* car_class = nullptr;  // null: no class
  std::vector<const CarTiming*> cars;
};

std::vector<LegendGroup> LegendGroups(const TimingState& state) {
  std::vector<LegendGroup> groups;
  for (const ClassTiming& c : state.session().classes) {
    LegendGroup group{&c, {}};
    for (const CarTiming& car : state.cars()) {
      if (car.car_class == c.name) group.cars.push_back(&car);
    }
    if (!group.cars.empty()) groups.push_back(std::move(group));
  }
  LegendGroup rest;
  for (const CarTiming& car : state.cars()) {
    if (car.car_class.empty()) rest.cars.push_back(&car);
  }
  if (!rest.cars.empty()) groups.push_back(std::move(rest));
  return groups;
}

}  // namespace

std::string TrackSvg(const TrackOutline& outline, const TimingState& state) {
  const std::vector<CarTiming>& cars = state.cars();
  const Frame frame = FitFrame(outline, cars);
  const double map_right = frame.left + frame.width + kMargin;
  const double legend_left = map_right + kMargin;
  const double width = legend_left + kLegendWidth;
  const bool by_class = !state.session().classes.empty();
  const std::vector<LegendGroup> groups = LegendGroups(state);
  const double legend_rows =
      static_cast<double>(cars.size()) + 1 + (by_class ? static_cast<double>(groups.size()) : 0);
  const double legend_bottom = frame.top + kLegendRow * legend_rows;
  const double height = std::max(frame.top + frame.height + kMargin, legend_bottom + kMargin);
  const std::string w = FixedText(width, 0), h = FixedText(height, 0);
  std::string svg =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
      w + "\" height=\"" + h + "\" viewBox=\"0 0 " + w + " " + h +
      "\" font-family=\"DejaVu Sans, Arial, sans-serif\">\n"
      "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  const SessionTiming& session = state.session();
  svg += "<text class=\"title\" x=\"" + Num(kMargin) +
         "\" y=\"28\" font-size=\"20\" "
         "font-weight=\"bold\">" +
         XmlEscape(session.known ? session.track : "(track not known)") + "</text>\n";
  svg += "<text class=\"subtitle\" x=\"" + Num(kMargin) +
         "\" y=\"48\" font-size=\"13\" "
         "fill=\"#404040\">" +
         XmlEscape(TitleLine(state)) + "</text>\n";

  // Each strip lists its points side to side as a triangle strip: the even
  // points run along one edge, the odd ones along the other. Going out along
  // one edge and back along the other outlines the band; for a closed lap the
  // inner edge then winds the other way and stays a hole.
  for (const OutlineStrip& strip : outline.strips) {
    const char* fill = strip.kind == 1 ? "#6a6a6a" : "#c4c4c4";
    svg += "<polygon class=\"strip kind" + std::to_string(strip.kind) + "\" fill=\"" + fill +
           "\" fill-opacity=\"0.7\" fill-rule=\"evenodd\" stroke=\"#404040\" "
           "stroke-width=\"0.8\" points=\"";
    std::string points;
    const auto add = [&](const OutlinePoint& p) {
      if (!Finite(p.x, p.z)) return;
      points += (points.empty() ? "" : " ") + Num(frame.X(p.x)) + "," + Num(frame.Y(p.z));
    };
    for (std::size_t i = 0; i < strip.points.size(); i += 2) add(strip.points[i]);
    for (std::size_t i = strip.points.size(); i-- > 0;) {
      if (i % 2 == 1) add(strip.points[i]);
    }
    svg += points + "\"/>\n";
  }

  // Cars from last to first, so the leader's dot is drawn on top; labels
  // are placed leader first.
  std::vector<const CarTiming*> on_map;
  std::vector<LabelRequest> requests;
  const bool numbered = std::any_of(cars.begin(), cars.end(),
                                    [](const CarTiming& car) { return car.number.has_value(); });
  const double dot_radius = numbered ? kNumberedDotRadius : kDotRadius;
  for (const CarTiming& car : cars) {
    if (!Finite(car.x, car.z)) continue;
    on_map.push_back(&car);
    const std::string place = car.place > 0 ? std::to_string(car.place) : "-";
    requests.push_back(LabelRequest{frame.X(car.x), frame.Y(car.z),
                                    place + " " + DisplayText(car.driver, kLabelNameColumns),
                                    place});
  }
  const SvgBox bounds{0, kTitleHeight, map_right, height - kTitleHeight};
  const std::vector<PlacedLabel> labels = PlaceLabels(requests, bounds, dot_radius);
  std::string dots, texts;
  for (std::size_t i = on_map.size(); i-- > 0;) {
    const CarTiming& car = *on_map[i];
    const LabelRequest& r = requests[i];
    const std::string colour = MarkerColour(car);
    if (car.place == 1) {
      dots += "<circle class=\"leader\" cx=\"" + Num(r.x) + "\" cy=\"" + Num(r.y) + "\" r=\"" +
              Num(dot_radius + 4) + "\" fill=\"none\" stroke=\"#e0a800\" stroke-width=\"3\"/>\n";
    }
    dots += "<circle class=\"car\" cx=\"" + Num(r.x) + "\" cy=\"" + Num(r.y) + "\" r=\"" +
            Num(dot_radius) + "\" fill=\"" + colour +
            "\" stroke=\"#ffffff\" stroke-width=\"1\"/>\n";
    if (car.number) {
      dots += "<text class=\"number\" x=\"" + Num(r.x) + "\" y=\"" + Num(r.y + 3) +
              "\" font-size=\"" + Num(kNumberFontSize) +
              "\" font-weight=\"bold\" text-anchor=\"middle\" fill=\"" + TextOn(colour) + "\">" +
              std::to_string(*car.number) + "</text>\n";
    }
    const PlacedLabel& label = labels[i];
    if (label.form == PlacedLabel::Form::kNone) continue;
    const SvgBox& b = label.box;
    if (label.leader_line) {
      // From the dot's rim to the nearest point of the label.
      const double tx = std::clamp(r.x, b.x, b.x + b.width);
      const double ty = std::clamp(r.y, b.y, b.y + b.height);
      const double len = std::hypot(tx - r.x, ty - r.y);
      if (len > dot_radius) {
        const double sx = r.x + (tx - r.x) * dot_radius / len;
        const double sy = r.y + (ty - r.y) * dot_radius / len;
        texts += "<line class=\"leader-line\" x1=\"" + Num(sx) + "\" y1=\"" + Num(sy) + "\" x2=\"" +
                 Num(tx) + "\" y2=\"" + Num(ty) + "\" stroke=\"" + colour +
                 "\" stroke-width=\"1\"/>\n";
      }
    }
    texts += "<rect x=\"" + Num(b.x) + "\" y=\"" + Num(b.y) + "\" width=\"" + Num(b.width) +
             "\" height=\"" + Num(b.height) +
             "\" rx=\"3\" fill=\"#ffffff\" fill-opacity=\"0.85\" "
             "stroke=\"" +
             colour + "\" stroke-width=\"1\"/>\n";
    texts += "<text class=\"label\" x=\"" + Num(b.x + 3) + "\" y=\"" + Num(b.y + b.height - 4) +
             "\" font-size=\"" + Num(kLabelFontSize) + "\"" +
             (car.place == 1 ? " font-weight=\"bold\"" : "") + ">" +
             XmlEscape(label.form == PlacedLabel::Form::kFull ? r.text : r.short_text) +
             "</text>\n";
  }
  svg += dots + texts;

  // The legend: every car in place order; with classes, each class under
  // its name, its cars with their gaps within the class.
  const std::string heading_y = Num(frame.top + 4);
  svg += "<text class=\"legend-title\" x=\"" + Num(legend_left + 16) + "\" y=\"" + heading_y +
         "\" font-size=\"13\" font-weight=\"bold\">P driver</text>\n";
  svg += "<text class=\"legend-title\" x=\"" + Num(width - kMargin) + "\" y=\"" + heading_y +
         "\" font-size=\"13\" font-weight=\"bold\" text-anchor=\"end\">gap</text>\n";
  double y = frame.top + kLegendRow;
  for (const LegendGroup& group : groups) {
    if (by_class) {
      const std::string name =
          group.car_class != nullptr ? group.car_class->name : std::string("(no class)");
      const std::string colour = group.car_class != nullptr ? group.car_class->colour : "#808080";
      svg += "<rect class=\"legend-class\" x=\"" + Num(legend_left) + "\" y=\"" + Num(y - 6) +
             "\" width=\"10\" height=\"10\" fill=\"" + colour + "\"/>\n";
      svg += "<text class=\"legend-class\" x=\"" + Num(legend_left + 16) + "\" y=\"" + Num(y + 4) +
             "\" font-size=\"12\" font-weight=\"bold\" fill=\"#202020\">" +
             XmlEscape(name + " (" + std::to_string(group.cars.size()) + ")") + "</text>\n";
      y += kLegendRow;
    }
    for (const CarTiming* car : group.cars) {
      const bool in_class = group.car_class != nullptr;
      const std::string colour = MarkerColour(*car);
      const std::string place = car->place > 0 ? std::to_string(car->place) : "-";
      const bool leads = in_class ? car->class_place == 1 : car->place == 1;
      const std::optional<Gap>& to_leader = in_class ? car->class_gap : car->gap_to_leader;
      std::string gap = leads ? "leader" : "";
      if (to_leader) gap = GapText(*to_leader);
      if (car->finished) gap += gap.empty() ? "fin" : " fin";
      const std::string number = car->number ? "#" + std::to_string(*car->number) + " " : "";
      svg += "<circle cx=\"" + Num(legend_left + 5) + "\" cy=\"" + Num(y) + "\" r=\"" +
             Num(kDotRadius) + "\" fill=\"" + colour + "\"/>\n";
      svg += "<text class=\"legend\" x=\"" + Num(legend_left + 16) + "\" y=\"" + Num(y + 4) +
             "\" font-size=\"12\"" + (leads ? " font-weight=\"bold\"" : "") + ">" +
             XmlEscape(place + " " + number + DisplayText(car->driver, 20)) + "</text>\n";
      svg += "<text class=\"legend-gap\" x=\"" + Num(width - kMargin) + "\" y=\"" + Num(y + 4) +
             "\" font-size=\"12\" text-anchor=\"end\">" + XmlEscape(gap) + "</text>\n";
      y += kLegendRow;
    }
  }
  return svg + "</svg>\n";
}
