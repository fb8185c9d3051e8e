// JSON forms for the pitwall tool, written with nlohmann-json: the timing
// state as one object per update (its layout is docs/timing-state.schema.json)
// and, for tools that want the protocol itself, each decoded answer as it
// came. Floats keep their shortest text ("85.25", not "85.25000000001");
// "none" is null; text is valid UTF-8 (bytes outside it are read as Latin-1).
//
// Thread-safety: plain functions without state.
#ifndef PITWALL_TOOLS_CLIENT_TIMING_JSON_H_
#define PITWALL_TOOLS_CLIENT_TIMING_JSON_H_

#include <string>

#include "pitwall_client.h"
#include "timing_state.h"

// The version of the timing-state object; it grows when a field changes
// meaning or goes away (new fields do not change it).
inline constexpr int kTimingJsonVersion = 1;

// One JSON object without newline, e.g.
// {"format":"pitwall-timing","version":1,"received_unix_s":...,"session":{...},"cars":[...]}.
// `received_unix_s` is the time the state's latest live answer arrived.
std::string TimingStateJson(const TimingState& state, double received_unix_s);

// The track outline as one JSON object without newline:
// {"strips":[{"kind":1,"points":[[x,z],...],"band":[[x,z],...]},...]}: each
// strip's points as they came and its band polygon in drawing order
// (BandPolygon, track_svg.h), non-finite points left out.
std::string TrackOutlineJson(const TrackOutline& outline);

// One decoded answer as a JSON object without newline, e.g.
// {"type":"handshake","change_mask":0,"version":1,"status":0}.
std::string AnswerJson(const Answer& answer);

#endif  // PITWALL_TOOLS_CLIENT_TIMING_JSON_H_
