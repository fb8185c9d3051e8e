#include "plugin/plugin_objects.h"

#include <cstdio>
#include <new>

#include "server/results_server.h"

ResultsServerPluginInfo::ResultsServerPluginInfo(ResultsServer* server) : server_(server) {
  std::snprintf(full_name_, sizeof(full_name_), "%s - %s", kVersionText, kPluginName);
}

PluginObject* ResultsServerPluginInfo::Create() {
  return new (std::nothrow) ResultsServerPlugin(this, server_);
}

void ResultsServerPlugin::Startup() { server_->Start(); }
void ResultsServerPlugin::Shutdown() { server_->Stop(); }
void ResultsServerPlugin::SessionStart() { server_->SessionStarted(); }
void ResultsServerPlugin::SessionEnd() { server_->SessionEnded(); }
void ResultsServerPlugin::UpdateScoring(const HostScoringInfo* info) {
  server_->IngestScoring(info);
}
