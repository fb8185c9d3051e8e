// Where a test host's session events go: the plug-in, a recording, or both.
#ifndef PITWALL_TOOLS_TEST_HOST_HOST_SINK_H_
#define PITWALL_TOOLS_TEST_HOST_HOST_SINK_H_

#include "pitwall/host_interface.h"

class HostSink {
 public:
  virtual ~HostSink() = default;
  virtual void SessionStart() = 0;
  virtual void SessionEnd() = 0;
  // `info` is valid only during the call.
  virtual void Scoring(const HostScoringInfo* info) = 0;
};

#endif  // PITWALL_TOOLS_TEST_HOST_HOST_SINK_H_
