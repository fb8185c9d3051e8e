// Putting a track outline together from the Trackstrip answer's chunks.
//
// Thread-safety: a TrackAssembler belongs to one thread.
#ifndef PITWALL_TOOLS_CLIENT_TRACK_ASSEMBLER_H_
#define PITWALL_TOOLS_CLIENT_TRACK_ASSEMBLER_H_

#include <cstddef>
#include <vector>

#include "answer_decoding.h"

// Puts an outline together from chunks in any order; repeated chunks are
// harmless. A chunk whose directory differs from the one held means the
// outline changed: what was gathered is dropped and gathering starts over.
class TrackAssembler {
 public:
  // At most this many points in all strips together; a directory claiming
  // more is refused rather than allocated.
  static constexpr std::size_t kMaxPoints = 1000000;

  // Places the chunk's points. kBadContent, leaving the state unchanged, for
  // a chunk outside its strip or a directory over kMaxPoints.
  ClientError Add(const TrackChunk& chunk);
  // True once a directory is known and every point of every strip arrived.
  bool complete() const { return started_ && missing_ == 0; }
  bool started() const { return started_; }
  std::size_t points_missing() const { return missing_; }
  std::size_t points_expected() const { return expected_; }
  // The strips, with points not yet received at (0, 0).
  const TrackOutline& outline() const { return outline_; }
  void Reset();

 private:
  bool started_ = false;
  std::vector<StripDirectoryItem> directory_;
  TrackOutline outline_;
  std::vector<std::vector<bool>> received_;  // per strip, per point
  std::size_t expected_ = 0;
  std::size_t missing_ = 0;
};

#endif  // PITWALL_TOOLS_CLIENT_TRACK_ASSEMBLER_H_
