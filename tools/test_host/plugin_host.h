// Loads the plug-in the way a simulator does and calls it from one thread:
// GetPluginObjectCount(), GetPluginObjectInfo(0), the info object's Create(),
// then Startup(), session and scoring calls, Shutdown(), and deletion.
#ifndef PITWALL_TOOLS_TEST_HOST_PLUGIN_HOST_H_
#define PITWALL_TOOLS_TEST_HOST_PLUGIN_HOST_H_

#include <string>

#include "pitwall/host_interface.h"
#include "platform/library.h"
#include "tools/test_host/host_sink.h"

class PluginHost final : public HostSink {
 public:
  PluginHost() = default;
  // Deletes the plug-in object (after Shutdown() if it was started) and
  // unloads the library.
  ~PluginHost() override;
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;

  // Loads the library at `path` and creates the plug-in object. False with a
  // message in *error when the file, an export or the object is missing.
  bool Load(const std::string& path, std::string* error);
  std::string description() const;

  void Startup();
  void Shutdown();
  void SessionStart() override { plugin_->SessionStart(); }
  void SessionEnd() override { plugin_->SessionEnd(); }
  void Scoring(const HostScoringInfo* info) override { plugin_->UpdateScoring(info); }

 private:
  SharedLibrary library_;
  PluginObjectInfo* info_ = nullptr;
  InternalsPluginV3* plugin_ = nullptr;
  bool started_ = false;
};

#endif  // PITWALL_TOOLS_TEST_HOST_PLUGIN_HOST_H_
