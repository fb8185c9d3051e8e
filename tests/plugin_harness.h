// Test support: loads a private copy of the built module the way a host
// does, in a fresh working directory, so every test gets its own module
// state (a second dlopen of one path would share the first one's).
#ifndef PITWALL_TESTS_PLUGIN_HARNESS_H_
#define PITWALL_TESTS_PLUGIN_HARNESS_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "pitwall/host_interface.h"
#include "platform/library.h"
#include "testing/temp_dir.h"

class PluginHarness {
 public:
  PluginHarness() {
    std::error_code ec;
    old_cwd_ = std::filesystem::current_path(ec);
    const std::filesystem::path built(PITWALL_PLUGIN_PATH);
    const std::string copy = dir_.File(built.filename().string());
    std::filesystem::copy_file(built, copy);
    // The host's working directory holds the configuration and the log.
    std::filesystem::current_path(dir_.path(), ec);
    EXPECT_FALSE(ec) << "cannot enter " << dir_.path();
    std::string error;
    if (!library_.Open(copy, &error)) {
      ADD_FAILURE() << "cannot load " << copy << ": " << error;
      return;
    }
    get_name = reinterpret_cast<GetPluginNameFn>(library_.Find("GetPluginName"));
    get_version = reinterpret_cast<GetPluginVersionFn>(library_.Find("GetPluginVersion"));
    get_count = reinterpret_cast<GetPluginObjectCountFn>(library_.Find("GetPluginObjectCount"));
    get_info = reinterpret_cast<GetPluginObjectInfoFn>(library_.Find("GetPluginObjectInfo"));
  }

  ~PluginHarness() {
    DestroyPlugin();
    library_.Close();
    std::error_code ec;
    std::filesystem::current_path(old_cwd_, ec);
    if (ec) ADD_FAILURE() << "cannot return to " << old_cwd_;
  }

  // Obtains the info object and creates the plug-in object, as a host does.
  InternalsPluginV3* CreatePlugin() {
    if (get_count == nullptr || get_info == nullptr) return nullptr;
    EXPECT_EQ(get_count(), 1);
    PluginObjectInfo* info = get_info(0);
    if (info == nullptr) return nullptr;
    plugin_ = static_cast<InternalsPluginV3*>(info->Create());
    return plugin_;
  }
  void DestroyPlugin() {
    DestroyHostObject(plugin_);
    plugin_ = nullptr;
  }

  // Drops the harness's reference on the module, as a host's unload does.
  void Unload() { library_.Close(); }
  // The loaded copy of the module.
  std::string module_path() const {
    return dir_.File(std::filesystem::path(PITWALL_PLUGIN_PATH).filename().string());
  }

  const TempDir& dir() const { return dir_; }
  bool loaded() const { return library_.is_open(); }

  GetPluginNameFn get_name = nullptr;
  GetPluginVersionFn get_version = nullptr;
  GetPluginObjectCountFn get_count = nullptr;
  GetPluginObjectInfoFn get_info = nullptr;

 private:
  TempDir dir_;
  std::filesystem::path old_cwd_;
  SharedLibrary library_;
  InternalsPluginV3* plugin_ = nullptr;
};

#endif  // PITWALL_TESTS_PLUGIN_HARNESS_H_
