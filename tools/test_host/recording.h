// Recorded sessions: every event a host sends the plug-in, with every field
// the plug-in reads, as text lines, so overlay makers can replay a session
// without the simulator.
//
// Format, version 1 (UTF-8 text, one event a line, fields separated by one
// tab; text fields percent-encoded: bytes below 0x21, '%' and bytes from
// 0x7F up are written %XX; numbers in the C locale, floats in the shortest
// form that reads back exactly):
//
//   PITWALL-HOST-RECORDING<TAB>1
//   start<TAB>T                         a session start
//   end<TAB>T                           a session end
//   scoring<TAB>T<TAB>track<TAB>session<TAB>current_time<TAB>end_time<TAB>
//          max_laps<TAB>lap_distance<TAB>vehicle_count
//   vehicle<TAB>driver<TAB>laps<TAB>sector<TAB>finish_status<TAB>
//          lap_distance<TAB>best_lap<TAB>sector1_a<TAB>sector2_a<TAB>
//          last_lap<TAB>sector1_b<TAB>sector2_b<TAB>control<TAB>in_pits<TAB>
//          place<TAB>time_behind_leader<TAB>x<TAB>z<TAB>heading_a<TAB>heading_b
//
// T is seconds since the recording began. Each scoring line is followed by
// exactly vehicle_count vehicle lines. Lines starting with '#' and empty
// lines are ignored.
#ifndef PITWALL_TOOLS_TEST_HOST_RECORDING_H_
#define PITWALL_TOOLS_TEST_HOST_RECORDING_H_

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include "tools/test_host/host_sink.h"

inline constexpr char kRecordingMagic[] = "PITWALL-HOST-RECORDING";
inline constexpr int kRecordingVersion = 1;

// Writes every event to a file, then passes it on to `next` (may be null).
class Recorder final : public HostSink {
 public:
  // `file` and `next` must outlive the recorder; the file stays open.
  Recorder(std::FILE* file, HostSink* next);
  void SessionStart() override;
  void SessionEnd() override;
  void Scoring(const HostScoringInfo* info) override;
  // False once a write has failed.
  bool ok() const { return ok_; }

 private:
  double Now() const;
  void Put(const std::string& line);

  std::FILE* const file_;
  HostSink* const next_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  bool ok_ = true;
};

struct ReplayOptions {
  // 1 plays at the recorded pace, 2 twice as fast; 0 as fast as possible.
  double speed = 1;
  // Asked between events; true stops the replay early.
  std::function<bool()> interrupted;
};

// Sends the recorded events of `file` to `sink`. False with a message naming
// the line in *error when the file is not a recording or a line is bad; the
// events before it have been sent.
bool Replay(std::FILE* file, HostSink* sink, const ReplayOptions& options, std::string* error);

#endif  // PITWALL_TOOLS_TEST_HOST_RECORDING_H_
