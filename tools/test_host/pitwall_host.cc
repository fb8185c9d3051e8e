// pitwall-host: loads the plug-in the way a simulator does and feeds it a
// session of scoring updates.
//
//   pitwall-host [--plugin PATH] [--cars N] [--rate HZ] [--duration SECONDS]
#include <dlfcn.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "pitwall/host_interface.h"
#include "pitwall/scoring_record.h"

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
void OnSignal(int) { g_interrupted = 1; }

struct Options {
  std::string plugin = "PitwallFeedPlugin.so";
  int cars = 20;
  double rate_hz = 5.0;
  double duration_s = -1.0;  // until interrupted
};

int Usage(const char* error) {
  if (error != nullptr) std::fprintf(stderr, "pitwall-host: %s\n", error);
  std::fprintf(stderr,
               "usage: pitwall-host [--plugin PATH] [--cars N] [--rate HZ] [--duration SECONDS]\n");
  return 2;
}

bool ParseArgs(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (arg == "--plugin" && (v = value())) {
      o->plugin = v;
    } else if (arg == "--cars" && (v = value())) {
      o->cars = std::atoi(v);
      if (o->cars < 0 || o->cars > 255) return false;
    } else if (arg == "--rate" && (v = value())) {
      o->rate_hz = std::atof(v);
      if (!(o->rate_hz > 0)) return false;
    } else if (arg == "--duration" && (v = value())) {
      o->duration_s = std::atof(v);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseArgs(argc, argv, &opt)) return Usage("bad arguments");

  void* lib = dlopen(opt.plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "pitwall-host: cannot load plug-in '%s': %s\n", opt.plugin.c_str(),
                 dlerror());
    return 1;
  }
  auto get_count = reinterpret_cast<GetPluginObjectCountFn>(dlsym(lib, "GetPluginObjectCount"));
  auto get_info = reinterpret_cast<GetPluginObjectInfoFn>(dlsym(lib, "GetPluginObjectInfo"));
  if (get_count == nullptr || get_info == nullptr) {
    std::fprintf(stderr, "pitwall-host: '%s' lacks the plug-in exports\n", opt.plugin.c_str());
    return 1;
  }
  PluginObjectInfo* info = get_count() > 0 ? get_info(0) : nullptr;
  PluginObject* object = info != nullptr ? info->Create() : nullptr;
  if (object == nullptr) {
    std::fprintf(stderr, "pitwall-host: the plug-in created no object\n");
    return 1;
  }
  auto* plugin = static_cast<InternalsPluginV3*>(object);
  std::printf("loaded %s (%s)\n", info->GetFullName(), info->GetDescription());

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  plugin->Startup();
  plugin->SessionStart();

  ScoringRecordWriter w(opt.cars);
  w.SetTrackName("Pitwall Ring");
  w.SetSession(1);
  w.SetEndTime(1800.0f);
  w.SetLapDistance(3000.0f);
  const auto start = std::chrono::steady_clock::now();
  const auto period = std::chrono::duration<double>(1.0 / opt.rate_hz);
  long updates = 0;
  while (!g_interrupted) {
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (opt.duration_s >= 0 && t >= opt.duration_s) break;
    w.SetCurrentTime(static_cast<float>(t));
    for (int i = 0; i < opt.cars; ++i) {
      auto v = w.vehicle(i);
      char name[32];
      std::snprintf(name, sizeof(name), "Driver %02d", i + 1);
      v.SetDriverName(name);
      const double distance = std::fmod(t * (50.0 - i * 0.5), 3000.0);
      v.SetLapDistance(static_cast<float>(distance));
      v.SetPlace(static_cast<std::uint8_t>(i + 1));
    }
    plugin->UpdateScoring(w.record());
    ++updates;
    std::this_thread::sleep_for(period);
  }
  plugin->SessionEnd();
  plugin->Shutdown();
  delete plugin;
  std::printf("sent %ld scoring updates\n", updates);
  dlclose(lib);
  return 0;
}
