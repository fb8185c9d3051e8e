// Test support: loads a private copy of the built module the way a host
// does, in a fresh working directory, so every test gets its own module
// state (a second dlopen of one path would share the first one's).
#ifndef PITWALL_TESTS_PLUGIN_HARNESS_H_
#define PITWALL_TESTS_PLUGIN_HARNESS_H_

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "pitwall/host_interface.h"
#include "testing/temp_dir.h"

class PluginHarness {
 public:
  PluginHarness() {
    char cwd[4096];
    old_cwd_ = getcwd(cwd, sizeof(cwd)) != nullptr ? cwd : "/";
    const std::string copy = dir_.File("PitwallFeedPlugin.so");
    std::filesystem::copy_file(PITWALL_PLUGIN_PATH, copy);
    // The host's working directory holds the configuration and the log.
    EXPECT_EQ(chdir(dir_.path().c_str()), 0);
    handle_ = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      ADD_FAILURE() << "dlopen: " << dlerror();
      return;
    }
    get_name = reinterpret_cast<GetPluginNameFn>(dlsym(handle_, "GetPluginName"));
    get_version = reinterpret_cast<GetPluginVersionFn>(dlsym(handle_, "GetPluginVersion"));
    get_count = reinterpret_cast<GetPluginObjectCountFn>(dlsym(handle_, "GetPluginObjectCount"));
    get_info = reinterpret_cast<GetPluginObjectInfoFn>(dlsym(handle_, "GetPluginObjectInfo"));
  }

  ~PluginHarness() {
    DestroyPlugin();
    if (handle_ != nullptr) dlclose(handle_);
    if (chdir(old_cwd_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << old_cwd_;
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
    delete plugin_;
    plugin_ = nullptr;
  }

  const TempDir& dir() const { return dir_; }
  bool loaded() const { return handle_ != nullptr; }

  GetPluginNameFn get_name = nullptr;
  GetPluginVersionFn get_version = nullptr;
  GetPluginObjectCountFn get_count = nullptr;
  GetPluginObjectInfoFn get_info = nullptr;

 private:
  TempDir dir_;
  std::string old_cwd_;
  void* handle_ = nullptr;
  InternalsPluginV3* plugin_ = nullptr;
};

#endif  // PITWALL_TESTS_PLUGIN_HARNESS_H_
