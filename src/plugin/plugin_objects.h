// The plug-in shell: the info object the host finds through the exports and
// the plug-in object it creates through it. Neither holds state of its own
// (beyond the info object's composed name): every plug-in object routes the
// host's calls to the one module-wide results server.
//
// Thread-safety: the host calls these on its own thread, one call at a time.
#ifndef PITWALL_PLUGIN_PLUGIN_OBJECTS_H_
#define PITWALL_PLUGIN_PLUGIN_OBJECTS_H_

#include <cstdint>

#include "log/log.h"
#include "pitwall/host_interface.h"
#include "server/results_server.h"
#include "timing/change_stamps.h"

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
#if PITWALL_MSVC_HOST_ABI
  // The info object has static storage and is never freed, whatever the
  // flags ask: destroying it releases nothing. Returns this.
  void* PITWALL_HOST_CALL ScalarDeletingDestructor(unsigned int flags) override;
#else
  ~ResultsServerPluginInfo() override = default;
#endif

  const char* PITWALL_HOST_CALL GetName() override { return kPluginName; }
  // "<version text> - <plug-in name>", composed once.
  const char* PITWALL_HOST_CALL GetFullName() override { return full_name_; }
  const char* PITWALL_HOST_CALL GetDescription() override { return kPluginDescription; }
  std::int32_t PITWALL_HOST_CALL GetType() override { return kObjectType; }
  const char* PITWALL_HOST_CALL GetSubType() override { return kPluginSubType; }
  std::int32_t PITWALL_HOST_CALL GetVersion() override { return kInterfaceVersion; }
  // A new plug-in object, which the host deletes. Null when out of memory.
  PluginObject* PITWALL_HOST_CALL Create() override;

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
#if PITWALL_MSVC_HOST_ABI
  // Destroys the object and, with kHostDeleteMemory in `flags`, frees it.
  // Returns this.
  void* PITWALL_HOST_CALL ScalarDeletingDestructor(unsigned int flags) override;
  ~ResultsServerPlugin() = default;
#else
  ~ResultsServerPlugin() override = default;
#endif

  void PITWALL_HOST_CALL Detach() override { Shutdown(); }
  PluginObjectInfo* PITWALL_HOST_CALL GetInfo() override { return info_; }
  std::int32_t PITWALL_HOST_CALL QueryOptionCount() override { return 0; }
  std::int32_t PITWALL_HOST_CALL QueryOption(std::int32_t) override { return 0; }
  std::int32_t PITWALL_HOST_CALL SetOption(std::int32_t) override { return 0; }

  void PITWALL_HOST_CALL Startup() override;
  void PITWALL_HOST_CALL Shutdown() override;
  void PITWALL_HOST_CALL ResumeSimulation() override {}
  void PITWALL_HOST_CALL PauseSimulation() override {}
  bool PITWALL_HOST_CALL WantsTelemetry() override { return false; }
  void PITWALL_HOST_CALL UpdateTelemetry(std::int32_t) override {}
  bool PITWALL_HOST_CALL WantsGraphics() override { return false; }
  void PITWALL_HOST_CALL UpdateGraphics(std::int32_t) override {}
  bool PITWALL_HOST_CALL WantsHardwareInput() override { return false; }
  void PITWALL_HOST_CALL UpdateHardwareInput(std::int32_t) override {}
  void PITWALL_HOST_CALL EnterCockpit() override {}
  void PITWALL_HOST_CALL ExitCockpit() override {}
  bool PITWALL_HOST_CALL CheckHardwareControl(std::int32_t, std::int32_t) override { return false; }
  bool PITWALL_HOST_CALL ForceFeedback(std::int32_t) override { return false; }
  bool PITWALL_HOST_CALL WantsScoring() override { return true; }
  void PITWALL_HOST_CALL SetScoringRate(std::int32_t) override {}

  void PITWALL_HOST_CALL SessionStart() override;
  void PITWALL_HOST_CALL SessionEnd() override;
  void PITWALL_HOST_CALL EnterGarage(std::int32_t) override {}
  void PITWALL_HOST_CALL LeaveGarage(std::int32_t) override {}

  void PITWALL_HOST_CALL UpdateScoring(const HostScoringInfo* info) override;
  bool PITWALL_HOST_CALL WantsCommentary(std::int32_t) override { return false; }

 private:
  PluginObjectInfo* const info_;
  ResultsServer* const server_;
};

// Everything the module holds from load to unload: the log, the change
// stamps, the one results server and the info object the host finds. The
// shipped module builds one with the default options (the working
// directory, every address, the host's tracks folder).
struct PluginModule {
  // Throws std::bad_alloc when memory runs out.
  explicit PluginModule(ResultsServer::Options options = {});

  LogFile log;  // <options.directory>PitwallFeedPlugin_<port>.log
  ChangeStamps stamps;
  ResultsServer server;
  ResultsServerPluginInfo info{&server};
};

#endif  // PITWALL_PLUGIN_PLUGIN_OBJECTS_H_
