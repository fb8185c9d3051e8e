// The plug-in shell: the info object the host finds through the exports and
// the plug-in object it creates through it. Neither holds state of its own
// (beyond the info object's composed name): every plug-in object routes the
// host's calls to the one module-wide results server.
//
// Thread-safety: the host calls these on its own thread, one call at a time.
#ifndef PITWALL_PLUGIN_PLUGIN_OBJECTS_H_
#define PITWALL_PLUGIN_PLUGIN_OBJECTS_H_

#include <cstdint>

#include "pitwall/host_interface.h"

class ResultsServer;

// Texts and codes the host reads.
inline constexpr char kVersionText[] = "PitwallFeedPlugin - 2007.09.18";
inline constexpr char kPluginName[] = "PitwallFeedPlugin";
inline constexpr char kPluginDescription[] = "Pitwall Feed Server Plugin";
inline constexpr char kPluginSubType[] = "Internals";
inline constexpr std::int32_t kModuleVersion = 1;
inline constexpr std::int32_t kObjectCount = 1;
inline constexpr std::int32_t kObjectType = 9;
inline constexpr std::int32_t kInterfaceVersion = 3;

class ResultsServerPluginInfo final : public PluginObjectInfo {
 public:
  // `server` must outlive every plug-in object this info object creates.
  explicit ResultsServerPluginInfo(ResultsServer* server);
  ~ResultsServerPluginInfo() override = default;

  const char* GetName() override { return kPluginName; }
  // "<version text> - <plug-in name>", composed once.
  const char* GetFullName() override { return full_name_; }
  const char* GetDescription() override { return kPluginDescription; }
  std::int32_t GetType() override { return kObjectType; }
  const char* GetSubType() override { return kPluginSubType; }
  std::int32_t GetVersion() override { return kInterfaceVersion; }
  // A new plug-in object, which the host deletes. Null when out of memory.
  PluginObject* Create() override;

 private:
  ResultsServer* const server_;
  char full_name_[64];
};

class ResultsServerPlugin final : public InternalsPluginV3 {
 public:
  // `info` and `server` must outlive this object.
  ResultsServerPlugin(PluginObjectInfo* info, ResultsServer* server)
      : info_(info), server_(server) {}
  // Frees the object only; a running server keeps running.
  ~ResultsServerPlugin() override = default;

  void Detach() override { Shutdown(); }
  PluginObjectInfo* GetInfo() override { return info_; }
  std::int32_t QueryOptionCount() override { return 0; }
  std::int32_t QueryOption(std::int32_t) override { return 0; }
  std::int32_t SetOption(std::int32_t) override { return 0; }

  void Startup() override;
  void Shutdown() override;
  void ResumeSimulation() override {}
  void PauseSimulation() override {}
  bool WantsTelemetry() override { return false; }
  void UpdateTelemetry(std::int32_t) override {}
  bool WantsGraphics() override { return false; }
  void UpdateGraphics(std::int32_t) override {}
  bool WantsHardwareInput() override { return false; }
  void UpdateHardwareInput(std::int32_t) override {}
  void EnterCockpit() override {}
  void ExitCockpit() override {}
  bool CheckHardwareControl(std::int32_t, std::int32_t) override { return false; }
  bool ForceFeedback(std::int32_t) override { return false; }
  bool WantsScoring() override { return true; }
  void SetScoringRate(std::int32_t) override {}

  void SessionStart() override;
  void SessionEnd() override;
  void EnterGarage(std::int32_t) override {}
  void LeaveGarage(std::int32_t) override {}

  void UpdateScoring(const HostScoringInfo* info) override;
  bool WantsCommentary(std::int32_t) override { return false; }

 private:
  PluginObjectInfo* const info_;
  ResultsServer* const server_;
};

#endif  // PITWALL_PLUGIN_PLUGIN_OBJECTS_H_
