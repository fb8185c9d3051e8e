// The module's only C entry points, and its module-wide single instances.
//
// The instances live from module load to module unload. Nothing runs at load
// beyond their constructors: the server, its threads and sockets start with
// the host's start-up call.
//
// What a host may rely on at unload:
// - Shutdown (or Detach), then unload: the stop ends and joins every thread
//   of the module on the host's thread; the unload itself has nothing left
//   to do.
// - Unload without a shutdown call on Linux: the module's destructor runs
//   the same stop, so no thread of ours outlives the code it runs.
// - Unload without a shutdown call on Windows: each running thread of the
//   module holds a reference on the DLL, so FreeLibrary() only drops the
//   host's reference. Nothing waits under the loader lock and nothing runs
//   in unmapped code; the server goes on serving until the process ends.
//   The DLL unmaps once its threads are gone, which only a stop brings
//   about. A host that wants its port back calls Shutdown first.
//   Should the module's last thread end on its own, the unload it sets off
//   runs on that thread and only lets go of the memory and sockets with the
//   process.
// - Process exit with the server still running: the system has ended our
//   threads; the module neither waits for them nor takes their locks.
#include <cstdint>
#include <new>

#include "pitwall/host_interface.h"
#include "platform/module.h"
#include "plugin/plugin_objects.h"

namespace {

// Built at load. Torn down at unload, which stops a server still running,
// unless the process is exiting (see above). A module that cannot be built
// (memory ran out at load) offers the host no object instead of ending the
// host's process.
class ModuleInstance {
 public:
  ModuleInstance() {
    try {
      new (storage_) PluginModule;
      built_ = true;
    } catch (...) {
    }
  }
  ~ModuleInstance() {
    if (built_ && !UnloadMustNotWait()) get()->~PluginModule();
  }
  ModuleInstance(const ModuleInstance&) = delete;
  ModuleInstance& operator=(const ModuleInstance&) = delete;

  // Null when the module could not be built.
  PluginModule* get() {
    return built_ ? std::launder(reinterpret_cast<PluginModule*>(storage_)) : nullptr;
  }

 private:
  alignas(PluginModule) unsigned char storage_[sizeof(PluginModule)];
  bool built_ = false;
};

PluginModule* TheModule() {
  static ModuleInstance module;
  return module.get();
}

// Construct at load, not at the first host call.
[[maybe_unused]] PluginModule* const kLoaded = TheModule();

}  // namespace

extern "C" {

PITWALL_EXPORT const char* GetPluginName() { return kVersionText; }

PITWALL_EXPORT std::int32_t GetPluginVersion() { return kModuleVersion; }

PITWALL_EXPORT std::int32_t GetPluginObjectCount() {
  return TheModule() != nullptr ? kObjectCount : 0;
}

PITWALL_EXPORT PluginObjectInfo* GetPluginObjectInfo(std::int32_t index) {
  PluginModule* module = TheModule();
  return index == 0 && module != nullptr ? &module->info : nullptr;
}

}  // extern "C"
