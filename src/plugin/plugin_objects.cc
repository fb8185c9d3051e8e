#include "plugin/plugin_objects.h"

#include <cstdio>
#include <exception>
#include <new>

#include "platform/clock.h"

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

PluginModule::PluginModule(ResultsServer::Options options)
    : log(options.directory),
      stamps(DefaultClock()),
      server(std::move(options), &log, &stamps, DefaultClock()) {}

PluginObject* ResultsServerPluginInfo::Create() {
  return new (std::nothrow) ResultsServerPlugin(this, server_);
}

namespace {

// The host's calls end here: nothing may unwind into the simulator. The
// layers below handle their own failures; this is the last guard, and what
// it catches is logged with the call it ended.
template <typename Call>
void Guarded(ResultsServer* server, const char* name, Call call) noexcept {
  const char* what = "an unknown exception";
  try {
    call();
    return;
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
  }
  LogFile* log = server->log();
  if (log->bound_port() > 0) {
    log->Printf("ERROR: %s ended by an unexpected failure (%s).\n", name, what);
  } else {
    log->PrintfUnbound("%s ended by an unexpected failure (%s).\n", name, what);
  }
}

}  // namespace

void ResultsServerPlugin::Startup() {
  Guarded(server_, "Startup", [this] { server_->Start(); });
}
void ResultsServerPlugin::Shutdown() {
  Guarded(server_, "Shutdown", [this] { server_->Stop(); });
}
void ResultsServerPlugin::SessionStart() {
  Guarded(server_, "SessionStart", [this] { server_->SessionStarted(); });
}
void ResultsServerPlugin::SessionEnd() {
  Guarded(server_, "SessionEnd", [this] { server_->SessionEnded(); });
}
void ResultsServerPlugin::UpdateScoring(const HostScoringInfo* info) {
  Guarded(server_, "UpdateScoring", [this, info] { server_->IngestScoring(info); });
}
