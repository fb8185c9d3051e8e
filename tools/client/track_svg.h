// The SVG picture that `pitwall track` writes from the track outline and the
// timing state: a title with the track, session and time; the outline's
// strips as bands; each car as a dot in its own colour, the leader ringed;
// labels placed so that none overlaps another or a dot (the place and name,
// offset with a leader line where the field is close, the place alone in a
// pack, nothing where even that does not fit); and a legend of every car in
// place order with its colour and gap.
//
// With a league, a car in a class is drawn in the class colour, and cars
// with a number carry it on a larger dot (in black or white, whichever
// reads on the colour); the legend lists each class under its name, in the
// league's order, its cars with their gaps within the class, then the cars
// in no class with their gaps to the leader.
//
// Thread-safety: plain functions without state.
#ifndef PITWALL_TOOLS_CLIENT_TRACK_SVG_H_
#define PITWALL_TOOLS_CLIENT_TRACK_SVG_H_

#include <cstdint>
#include <string>
#include <vector>

#include "pitwall_client.h"
#include "svg_writer.h"
#include "timing_state.h"

// A box on the picture, in its units (y down).
struct SvgBox {
  double x = 0, y = 0, width = 0, height = 0;
  bool Overlaps(const SvgBox& other) const;
};

// A dot to label: where it is and the label's two forms.
struct LabelRequest {
  double x = 0, y = 0;     // the dot's centre
  std::string text;        // the whole label, e.g. "3 Lena Marchetti"
  std::string short_text;  // the place alone, e.g. "3"
};

struct PlacedLabel {
  enum class Form { kNone, kFull, kShort } form = Form::kNone;
  SvgBox box;                // where its text goes (form != kNone)
  bool leader_line = false;  // drawn away from the dot, joined by a line
};

// Places labels in request order (the leader first): each at the first spot
// around its dot, nearest first, that overlaps no dot, no label placed so
// far and stays inside `bounds`; the short form where the whole one finds
// none; none where neither does. `dot_radius` is the dots' radius.
std::vector<PlacedLabel> PlaceLabels(const std::vector<LabelRequest>& requests,
                                     const SvgBox& bounds, double dot_radius);

// A strip's band as one polygon in drawing order. The strip lists its
// points side to side as a triangle strip: the even points run along one
// edge, the odd ones along the other. The polygon goes out along the even
// ones and back along the odd ones; for a closed lap the inner edge then
// winds the other way and, filled even-odd, stays a hole. Non-finite
// points are left out.
std::vector<OutlinePoint> BandPolygon(const OutlineStrip& strip);

// A whole SVG document. The map is scaled by one factor so that the
// bounding box of all finite strip points and car positions fits 900 units
// on its longer side; the world's z axis points up the picture (north up),
// x to the right. Non-finite points and cars are left out of the map.
std::string TrackSvg(const TrackOutline& outline, const TimingState& state);

#endif  // PITWALL_TOOLS_CLIENT_TRACK_SVG_H_
