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

// The host's calls end here: nothing may unwind into the simulator. The
// layers below handle their own failures; this is the last guard.
void ResultsServerPlugin::Startup() {
  try {
    server_->Start();
  } catch (...) {
  }
}
void ResultsServerPlugin::Shutdown() {
  try {
    server_->Stop();
  } catch (...) {
  }
}
void ResultsServerPlugin::SessionStart() {
  try {
    server_->SessionStarted();
  } catch (...) {
  }
}
void ResultsServerPlugin::SessionEnd() {
  try {
    server_->SessionEnded();
  } catch (...) {
  }
}
void ResultsServerPlugin::UpdateScoring(const HostScoringInfo* info) {
  try {
    server_->IngestScoring(info);
  } catch (...) {
  }
}
