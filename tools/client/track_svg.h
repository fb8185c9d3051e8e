// The SVG picture that `pitwall track` writes: each of the track's strips as
// a filled band and each car as a labelled dot.
//
// Thread-safety: plain functions without state.
#ifndef PITWALL_TOOLS_CLIENT_TRACK_SVG_H_
#define PITWALL_TOOLS_CLIENT_TRACK_SVG_H_

#include <string>
#include <vector>

#include "pitwall_client.h"

struct SvgCar {
  float x = 0;
  float z = 0;
  std::string label;  // any bytes; made printable and XML-escaped on output
};

// One dot per car, labelled "<place> <driver name>" (the name from `drivers`
// by car index, "car N" when missing). `drivers` may be null.
std::vector<SvgCar> CarsForSvg(const LiveAnswer& live, const DriversAnswer* drivers);

// A whole SVG document. Everything is scaled by one factor so that the
// bounding box of all finite strip points and car positions fits 960 units
// on its longer side, with a margin of 20 on each side; the world's z axis
// points up the picture (north up), x to the right. Non-finite points are
// left out.
std::string TrackSvg(const TrackOutline& outline, const std::vector<SvgCar>& cars);

// `text` made printable (valid UTF-8, no control characters) with & < > " '
// as XML entities.
std::string XmlEscape(const std::string& text);

#endif  // PITWALL_TOOLS_CLIENT_TRACK_SVG_H_
