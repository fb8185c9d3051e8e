#include "track_svg.h"

#include <algorithm>
#include <cmath>

#include "answer_text.h"

namespace {

constexpr double kDrawSize = 960;  // the longer side of the drawing, margins excluded
constexpr double kMargin = 20;

bool Finite(float x, float z) { return std::isfinite(x) && std::isfinite(z); }

struct Frame {
  double min_x = 0;
  double max_z = 0;
  double scale = 1;
  double width = 2 * kMargin;
  double height = 2 * kMargin;

  std::string X(float x) const { return FixedText((x - min_x) * scale + kMargin, 1); }
  std::string Y(float z) const { return FixedText((max_z - z) * scale + kMargin, 1); }
};

Frame FitFrame(const TrackOutline& outline, const std::vector<SvgCar>& cars) {
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
  for (const SvgCar& car : cars) take(car.x, car.z);
  Frame frame;
  frame.min_x = min_x;
  frame.max_z = max_z;
  const double extent = std::max(max_x - min_x, max_z - min_z);
  if (extent > 0) frame.scale = kDrawSize / extent;
  frame.width = (max_x - min_x) * frame.scale + 2 * kMargin;
  frame.height = (max_z - min_z) * frame.scale + 2 * kMargin;
  return frame;
}

}  // namespace

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (const char c : PrintableText(text)) {
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

std::vector<SvgCar> CarsForSvg(const LiveAnswer& live, const DriversAnswer* drivers) {
  std::vector<SvgCar> cars;
  for (const CarState& car : live.cars) {
    std::string name = "car " + std::to_string(car.index);
    if (drivers != nullptr) {
      for (const DriverEntry& driver : drivers->drivers) {
        if (driver.index == car.index) name = driver.name;
      }
    }
    cars.push_back(SvgCar{car.x, car.z, std::to_string(car.place) + " " + name});
  }
  return cars;
}

std::string TrackSvg(const TrackOutline& outline, const std::vector<SvgCar>& cars) {
  const Frame frame = FitFrame(outline, cars);
  const std::string width = FixedText(frame.width, 0);
  const std::string height = FixedText(frame.height, 0);
  std::string svg =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
      width + "\" height=\"" + height + "\" viewBox=\"0 0 " + width + " " + height + "\">\n" +
      "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  // Each strip lists its points side to side as a triangle strip: the even
  // points run along one edge, the odd ones along the other. Going out along
  // one edge and back along the other outlines the band; for a closed lap the
  // inner edge then winds the other way and stays a hole.
  for (const OutlineStrip& strip : outline.strips) {
    const char* fill = strip.kind == 1 ? "#505050" : "#b0b0b0";
    svg += "<polygon class=\"strip kind" + std::to_string(strip.kind) + "\" fill=\"" + fill +
           "\" fill-opacity=\"0.6\" stroke=\"#303030\" stroke-width=\"1\" points=\"";
    std::string points;
    const auto add = [&](const OutlinePoint& p) {
      if (!Finite(p.x, p.z)) return;
      points += (points.empty() ? "" : " ") + frame.X(p.x) + "," + frame.Y(p.z);
    };
    for (std::size_t i = 0; i < strip.points.size(); i += 2) add(strip.points[i]);
    for (std::size_t i = strip.points.size(); i-- > 0;) {
      if (i % 2 == 1) add(strip.points[i]);
    }
    svg += points + "\"/>\n";
  }
  for (const SvgCar& car : cars) {
    if (!Finite(car.x, car.z)) continue;
    const std::string x = frame.X(car.x);
    const std::string y = frame.Y(car.z);
    svg += "<circle cx=\"" + x + "\" cy=\"" + y + "\" r=\"6\" fill=\"#d02020\"/>\n";
    svg += "<text x=\"" + x + "\" y=\"" + y + "\" dx=\"9\" dy=\"5\" font-family=\"sans-serif\" " +
           "font-size=\"14\">" + XmlEscape(car.label) + "</text>\n";
  }
  return svg + "</svg>\n";
}
