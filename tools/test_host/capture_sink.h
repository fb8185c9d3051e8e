// Test support: a sink that keeps a copy of every event it receives.
#ifndef PITWALL_TOOLS_TEST_HOST_CAPTURE_SINK_H_
#define PITWALL_TOOLS_TEST_HOST_CAPTURE_SINK_H_

#include <cstring>
#include <string>
#include <vector>

#include "pitwall/scoring_record.h"
#include "tools/test_host/host_sink.h"

class CaptureSink final : public HostSink {
 public:
  struct Event {
    char kind;                          // 's' start, 'e' end, 'u' update
    std::vector<unsigned char> header;  // the record up to the vehicle pointer
    std::vector<unsigned char> vehicles;
  };
  void SessionStart() override { events.push_back({'s', {}, {}}); }
  void SessionEnd() override { events.push_back({'e', {}, {}}); }
  void Scoring(const HostScoringInfo* info) override {
    const auto* r = reinterpret_cast<const unsigned char*>(info);
    Event e{'u', {r, r + HostScoringOffsets::kVehicleArray}, {}};
    const auto count = ReadAt<std::int32_t>(r, HostScoringOffsets::kVehicleCount);
    const auto* v = ReadAt<const unsigned char*>(r, HostScoringOffsets::kVehicleArray);
    if (v != nullptr && count > 0) {
      e.vehicles.assign(v, v + static_cast<std::size_t>(count) * HostVehicleOffsets::kRecordSize);
    }
    events.push_back(std::move(e));
  }
  std::string Kinds() const {
    std::string kinds;
    for (const Event& e : events) kinds += e.kind;
    return kinds;
  }
  std::vector<Event> events;
};

#endif  // PITWALL_TOOLS_TEST_HOST_CAPTURE_SINK_H_
