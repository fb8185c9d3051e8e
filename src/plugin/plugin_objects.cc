#include "plugin/plugin_objects.h"

#include <cstdio>
#include <new>

#include "server/results_server.h"

ResultsServerPluginInfo::ResultsServerPluginInfo(ResultsServer* server) : server_(server) {
  std::snprintf(full_name_, sizeof(full_name_), "%s - %s", kVersionText, kPluginName);
}

#if PITWALL_MSVC_HOST_ABI
void* ResultsServerPluginInfo::ScalarDeletingDestructor(unsigned int) { return this; }

void* ResultsServerPlugin::ScalarDeletingDestructor(unsigned int flags) {
  this->~ResultsServerPlugin();
  // Created by Create() with this module's operator new.
  if ((flags & kHostDeleteMemory) != 0) ::operator delete(this);
  return this;
}
#endif

PluginObject* ResultsServerPluginInfo::Create() {
  return new (std::nothrow) ResultsServerPlugin(this, server_);
}

namespace {

// The host's calls end here: nothing may unwind into the simulator. The
// layers below handle their own failures; this is the last guard.
template <typename Call>
void Guarded(Call call) noexcept {
  try {
    call();
  } catch (...) {
  }
}

}  // namespace

void ResultsServerPlugin::Startup() {
  Guarded([this] { server_->Start(); });
}
void ResultsServerPlugin::Shutdown() {
  Guarded([this] { server_->Stop(); });
}
void ResultsServerPlugin::SessionStart() {
  Guarded([this] { server_->SessionStarted(); });
}
void ResultsServerPlugin::SessionEnd() {
  Guarded([this] { server_->SessionEnded(); });
}
void ResultsServerPlugin::UpdateScoring(const HostScoringInfo* info) {
  Guarded([this, info] { server_->IngestScoring(info); });
}
