#include "tools/test_host/plugin_host.h"

PluginHost::~PluginHost() {
  if (plugin_ != nullptr) {
    if (started_) plugin_->Shutdown();
    DestroyHostObject(plugin_);
  }
  library_.Close();
}

bool PluginHost::Load(const std::string& path, std::string* error) {
  std::string reason;
  if (!library_.Open(path, &reason)) {
    *error = "cannot load the plug-in '" + path + "': " + reason;
    return false;
  }
  auto count = reinterpret_cast<GetPluginObjectCountFn>(library_.Find("GetPluginObjectCount"));
  auto get_info = reinterpret_cast<GetPluginObjectInfoFn>(library_.Find("GetPluginObjectInfo"));
  if (count == nullptr || get_info == nullptr) {
    *error = "'" + path + "' is not a plug-in: it lacks " +
             (count == nullptr ? "GetPluginObjectCount" : "GetPluginObjectInfo");
    return false;
  }
  if (count() < 1 || (info_ = get_info(0)) == nullptr) {
    *error = "'" + path + "' offers no plug-in object";
    return false;
  }
  PluginObject* object = info_->Create();
  if (object == nullptr || info_->GetVersion() < 3) {
    DestroyHostObject(object);
    *error = "'" + path + "' did not create a scoring plug-in object";
    return false;
  }
  plugin_ = static_cast<InternalsPluginV3*>(object);
  return true;
}

std::string PluginHost::description() const {
  return info_ != nullptr ? std::string(info_->GetFullName()) + " (" + info_->GetDescription() + ")"
                          : "";
}

void PluginHost::Startup() {
  plugin_->Startup();
  started_ = true;
}

void PluginHost::Shutdown() {
  if (started_) plugin_->Shutdown();
  started_ = false;
}
