// The module's only C entry points, and its module-wide single instances.
//
// The instances live from module load to module unload. Nothing runs at load
// beyond their constructors: the server, its threads and sockets start with
// the host's start-up call. At unload a server that the host never shut down
// is stopped, so no thread of ours outlives the code it runs.
#include <cstdint>

#include "log/log.h"
#include "pitwall/host_interface.h"
#include "platform/clock.h"
#include "plugin/plugin_objects.h"
#include "server/results_server.h"
#include "timing/change_stamps.h"

#if defined(_WIN32)
#define PW_EXPORT __declspec(dllexport)
#else
#define PW_EXPORT __attribute__((visibility("default")))
#endif

namespace {

struct Module {
  LogFile log;  // The working directory's PitwallFeedPlugin_<port>.log.
  ChangeStamps stamps{DefaultClock()};
  ResultsServer server{ResultsServer::Options{}, &log, &stamps, DefaultClock()};
  ResultsServerPluginInfo info{&server};
};

Module& TheModule() {
  static Module module;
  return module;
}

// Construct at load, not at the first host call.
[[maybe_unused]] const Module& kLoaded = TheModule();

}  // namespace

extern "C" {

PW_EXPORT const char* GetPluginName() { return kVersionText; }

PW_EXPORT std::int32_t GetPluginVersion() { return kModuleVersion; }

PW_EXPORT std::int32_t GetPluginObjectCount() { return kObjectCount; }

PW_EXPORT PluginObjectInfo* GetPluginObjectInfo(std::int32_t index) {
  return index == 0 ? &TheModule().info : nullptr;
}

}  // extern "C"
