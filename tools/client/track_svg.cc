#include "track_svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "answer_text.h"
#include "session_headline.h"
#include "svg_writer.h"
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

// The kind, then the lap count, the clock, how it ended, the leader and
// the fastest lap, each after " | ".
std::string TitleLine(const TimingState& state) {
  const SessionTiming& s = state.session();
  const SessionHeadline headline = Headline(state);
  std::string line = s.known ? s.kind : "session not known";
  for (const std::optional<std::string>& part : {headline.lap, headline.clock, headline.outcome}) {
    if (part) line += " | " + *part;
  }
  if (state.has_live()) {
    for (const CarTiming& car : state.cars()) {
      if (car.place == 1) line += " | leader " + DisplayText(car.driver);
    }
  }
  if (headline.fastest_time) {
    line += " | fastest " + *headline.fastest_time + " " + DisplayText(headline.fastest_driver);
  }
  return line;
}

}  // namespace

bool SvgBox::Overlaps(const SvgBox& o) const {
  return x < o.x + o.width && o.x < x + width && y < o.y + o.height && o.y < y + height;
}

std::vector<OutlinePoint> BandPolygon(const OutlineStrip& strip) {
  std::vector<OutlinePoint> band;
  const auto add = [&](const OutlinePoint& p) {
    if (Finite(p.x, p.z)) band.push_back(p);
  };
  for (std::size_t i = 0; i < strip.points.size(); i += 2) add(strip.points[i]);
  for (std::size_t i = strip.points.size(); i-- > 0;) {
    if (i % 2 == 1) add(strip.points[i]);
  }
  return band;
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

namespace {

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

namespace {

// Where the picture's parts go.
struct Layout {
  Frame frame;
  double map_right = 0;  // the map's right edge, its margin included
  double legend_left = 0;
  double width = 0;
  double height = 0;
  bool by_class = false;
  std::vector<LegendGroup> groups;
};

Layout LayOut(const TrackOutline& outline, const TimingState& state) {
  Layout layout;
  layout.frame = FitFrame(outline, state.cars());
  const Frame& frame = layout.frame;
  layout.map_right = frame.left + frame.width + kMargin;
  layout.legend_left = layout.map_right + kMargin;
  layout.width = layout.legend_left + kLegendWidth;
  layout.by_class = !state.session().classes.empty();
  layout.groups = LegendGroups(state);
  const double legend_rows = static_cast<double>(state.cars().size()) + 1 +
                             (layout.by_class ? static_cast<double>(layout.groups.size()) : 0);
  const double legend_bottom = frame.top + kLegendRow * legend_rows;
  layout.height = std::max(frame.top + frame.height + kMargin, legend_bottom + kMargin);
  return layout;
}

// The document's start, its white ground, the track's name and the
// session's line.
void WriteHead(const TimingState& state, const Layout& layout, std::string* svg) {
  const std::string w = FixedText(layout.width, 0), h = FixedText(layout.height, 0);
  *svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  SvgElement(svg, "svg")
      .Attr("xmlns", "http://www.w3.org/2000/svg")
      .Attr("width", w)
      .Attr("height", h)
      .Attr("viewBox", "0 0 " + w + " " + h)
      .Attr("font-family", "DejaVu Sans, Arial, sans-serif")
      .Open();
  SvgElement(svg, "rect")
      .Attr("width", "100%")
      .Attr("height", "100%")
      .Attr("fill", "#ffffff")
      .Close();
  const SessionTiming& session = state.session();
  SvgElement(svg, "text")
      .Attr("class", "title")
      .Attr("x", kMargin)
      .Attr("y", "28")
      .Attr("font-size", "20")
      .Attr("font-weight", "bold")
      .Text(session.known ? session.track : "(track not known)");
  SvgElement(svg, "text")
      .Attr("class", "subtitle")
      .Attr("x", kMargin)
      .Attr("y", "48")
      .Attr("font-size", "13")
      .Attr("fill", "#404040")
      .Text(TitleLine(state));
}

void WriteStrips(const TrackOutline& outline, const Frame& frame, std::string* svg) {
  for (const OutlineStrip& strip : outline.strips) {
    std::string points;
    for (const OutlinePoint& p : BandPolygon(strip)) {
      points += (points.empty() ? "" : " ") + Num(frame.X(p.x)) + "," + Num(frame.Y(p.z));
    }
    SvgElement(svg, "polygon")
        .Attr("class", "strip kind" + std::to_string(strip.kind))
        .Attr("fill", strip.kind == 1 ? "#6a6a6a" : "#c4c4c4")
        .Attr("fill-opacity", "0.7")
        .Attr("fill-rule", "evenodd")
        .Attr("stroke", "#404040")
        .Attr("stroke-width", "0.8")
        .Attr("points", points)
        .Close();
  }
}

// A car's dot (ringed for the leader) and its number, into *dots.
void WriteDot(const CarTiming& car, const LabelRequest& r, double dot_radius,
              const std::string& colour, std::string* dots) {
  if (car.place == 1) {
    SvgElement(dots, "circle")
        .Attr("class", "leader")
        .Attr("cx", r.x)
        .Attr("cy", r.y)
        .Attr("r", dot_radius + 4)
        .Attr("fill", "none")
        .Attr("stroke", "#e0a800")
        .Attr("stroke-width", "3")
        .Close();
  }
  SvgElement(dots, "circle")
      .Attr("class", "car")
      .Attr("cx", r.x)
      .Attr("cy", r.y)
      .Attr("r", dot_radius)
      .Attr("fill", colour)
      .Attr("stroke", "#ffffff")
      .Attr("stroke-width", "1")
      .Close();
  if (car.number) {
    SvgElement(dots, "text")
        .Attr("class", "number")
        .Attr("x", r.x)
        .Attr("y", r.y + 3)
        .Attr("font-size", kNumberFontSize)
        .Attr("font-weight", "bold")
        .Attr("text-anchor", "middle")
        .Attr("fill", TextOn(colour))
        .Text(std::to_string(*car.number));
  }
}

// A placed label: its line from the dot when it sits away, its box and its
// text, into *texts.
void WriteLabel(const CarTiming& car, const LabelRequest& r, const PlacedLabel& label,
                double dot_radius, const std::string& colour, std::string* texts) {
  const SvgBox& b = label.box;
  if (label.leader_line) {
    // From the dot's rim to the nearest point of the label.
    const double tx = std::clamp(r.x, b.x, b.x + b.width);
    const double ty = std::clamp(r.y, b.y, b.y + b.height);
    const double len = std::hypot(tx - r.x, ty - r.y);
    if (len > dot_radius) {
      SvgElement(texts, "line")
          .Attr("class", "leader-line")
          .Attr("x1", r.x + (tx - r.x) * dot_radius / len)
          .Attr("y1", r.y + (ty - r.y) * dot_radius / len)
          .Attr("x2", tx)
          .Attr("y2", ty)
          .Attr("stroke", colour)
          .Attr("stroke-width", "1")
          .Close();
    }
  }
  SvgElement(texts, "rect")
      .Attr("x", b.x)
      .Attr("y", b.y)
      .Attr("width", b.width)
      .Attr("height", b.height)
      .Attr("rx", "3")
      .Attr("fill", "#ffffff")
      .Attr("fill-opacity", "0.85")
      .Attr("stroke", colour)
      .Attr("stroke-width", "1")
      .Close();
  SvgElement text(texts, "text");
  text.Attr("class", "label")
      .Attr("x", b.x + 3)
      .Attr("y", b.y + b.height - 4)
      .Attr("font-size", kLabelFontSize);
  if (car.place == 1) text.Attr("font-weight", "bold");
  text.Text(label.form == PlacedLabel::Form::kFull ? r.text : r.short_text);
}

// Cars from last to first, so the leader's dot is drawn on top, and every
// label above every dot; labels are placed leader first.
void WriteCars(const TimingState& state, const Layout& layout, std::string* svg) {
  const std::vector<CarTiming>& cars = state.cars();
  std::vector<const CarTiming*> on_map;
  std::vector<LabelRequest> requests;
  const bool numbered = std::any_of(cars.begin(), cars.end(),
                                    [](const CarTiming& car) { return car.number.has_value(); });
  const double dot_radius = numbered ? kNumberedDotRadius : kDotRadius;
  for (const CarTiming& car : cars) {
    if (!Finite(car.x, car.z)) continue;
    on_map.push_back(&car);
    const std::string place = car.place > 0 ? std::to_string(car.place) : "-";
    requests.push_back(LabelRequest{layout.frame.X(car.x), layout.frame.Y(car.z),
                                    place + " " + DisplayText(car.driver, kLabelNameColumns),
                                    place});
  }
  const SvgBox bounds{0, kTitleHeight, layout.map_right, layout.height - kTitleHeight};
  const std::vector<PlacedLabel> labels = PlaceLabels(requests, bounds, dot_radius);
  std::string dots, texts;
  for (std::size_t i = on_map.size(); i-- > 0;) {
    const std::string colour = on_map[i]->colour;
    WriteDot(*on_map[i], requests[i], dot_radius, colour, &dots);
    if (labels[i].form != PlacedLabel::Form::kNone) {
      WriteLabel(*on_map[i], requests[i], labels[i], dot_radius, colour, &texts);
    }
  }
  *svg += dots + texts;
}

// The legend: every car in place order; with classes, each class under
// its name, its cars with their gaps within the class.
void WriteLegend(const Layout& layout, std::string* svg) {
  const double left = layout.legend_left;
  const double gap_x = layout.width - kMargin;
  const double heading_y = layout.frame.top + 4;
  SvgElement(svg, "text")
      .Attr("class", "legend-title")
      .Attr("x", left + 16)
      .Attr("y", heading_y)
      .Attr("font-size", "13")
      .Attr("font-weight", "bold")
      .Text("P driver");
  SvgElement(svg, "text")
      .Attr("class", "legend-title")
      .Attr("x", gap_x)
      .Attr("y", heading_y)
      .Attr("font-size", "13")
      .Attr("font-weight", "bold")
      .Attr("text-anchor", "end")
      .Text("gap");
  double y = layout.frame.top + kLegendRow;
  for (const LegendGroup& group : layout.groups) {
    const bool in_class = group.car_class != nullptr;
    if (layout.by_class) {
      SvgElement(svg, "rect")
          .Attr("class", "legend-class")
          .Attr("x", left)
          .Attr("y", y - 6)
          .Attr("width", "10")
          .Attr("height", "10")
          .Attr("fill", in_class ? group.car_class->colour : "#808080")
          .Close();
      const std::string name = in_class ? group.car_class->name : std::string("(no class)");
      SvgElement(svg, "text")
          .Attr("class", "legend-class")
          .Attr("x", left + 16)
          .Attr("y", y + 4)
          .Attr("font-size", "12")
          .Attr("font-weight", "bold")
          .Attr("fill", "#202020")
          .Text(name + " (" + std::to_string(group.cars.size()) + ")");
      y += kLegendRow;
    }
    for (const CarTiming* car : group.cars) {
      const std::string place = car->place > 0 ? std::to_string(car->place) : "-";
      const bool leads = in_class ? car->class_place == 1 : car->place == 1;
      const std::optional<Gap>& to_leader = in_class ? car->class_gap : car->gap_to_leader;
      std::string gap = leads ? "leader" : "";
      if (to_leader) gap = GapText(*to_leader);
      if (car->finished) gap += gap.empty() ? "fin" : " fin";
      const std::string number = car->number ? "#" + std::to_string(*car->number) + " " : "";
      SvgElement(svg, "circle")
          .Attr("cx", left + 5)
          .Attr("cy", y)
          .Attr("r", kDotRadius)
          .Attr("fill", car->colour)
          .Close();
      SvgElement name(svg, "text");
      name.Attr("class", "legend").Attr("x", left + 16).Attr("y", y + 4).Attr("font-size", "12");
      if (leads) name.Attr("font-weight", "bold");
      name.Text(place + " " + number + DisplayText(car->driver, 20));
      SvgElement(svg, "text")
          .Attr("class", "legend-gap")
          .Attr("x", gap_x)
          .Attr("y", y + 4)
          .Attr("font-size", "12")
          .Attr("text-anchor", "end")
          .Text(gap);
      y += kLegendRow;
    }
  }
}

}  // namespace

std::string TrackSvg(const TrackOutline& outline, const TimingState& state) {
  const Layout layout = LayOut(outline, state);
  std::string svg;
  WriteHead(state, layout, &svg);
  WriteStrips(outline, layout.frame, &svg);
  WriteCars(state, layout, &svg);
  WriteLegend(layout, &svg);
  SvgEndTag(&svg, "svg");
  return svg;
}
