// The plug-in under failing allocations and refused threads: a whole host
// session (load, start, sessions, scoring updates with a track to load, a
// client asking for everything, shutdown, unload) is run once for every
// allocation and every thread start it makes, with exactly that one failing.
// Whatever fails, the host's calls return, the port is given back, no
// thread of the plug-in is left and nothing leaks.
//
// This executable replaces the global operator new, so it links the plug-in
// objects in rather than loading the module.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "pitwall/host_interface.h"
#include "pitwall/protocol.h"
#include "pitwall/scoring_record.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "plugin/plugin_objects.h"
#include "server/current_track.h"
#include "server/results_server.h"
#include "testing/temp_dir.h"
#include "tests/wire_client.h"
#include "timing/change_stamps.h"

// LeakSanitizer comes with AddressSanitizer (clang and gcc name it apart).
#if defined(__SANITIZE_ADDRESS__)
#define PITWALL_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PITWALL_LEAK_CHECK 1
#endif
#endif
#if defined(PITWALL_LEAK_CHECK)
#include <sanitizer/lsan_interface.h>
#endif

namespace fault {

// Counting happens only while armed, and never on a thread that has set
// `exempt` (the test's own work between the host's calls).
std::atomic<bool> armed{false};
std::atomic<long> allocations{0};
std::atomic<long> fail_allocation{0};  // 1-based; 0: none fails
std::atomic<long> thread_starts{0};
std::atomic<long> fail_thread_start{0};
thread_local bool exempt = false;

bool AllocationFails() {
  if (!armed.load(std::memory_order_relaxed) || exempt) return false;
  if (allocations.fetch_add(1) + 1 != fail_allocation.load()) return false;
  return true;
}

bool ThreadStartFails() {
  if (!armed.load(std::memory_order_relaxed) || exempt) return false;
  if (thread_starts.fetch_add(1) + 1 != fail_thread_start.load()) return false;
  return true;
}

void* Allocate(std::size_t size) {
  if (AllocationFails()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void* AllocateAligned(std::size_t size, std::align_val_t align) {
  if (AllocationFails()) return nullptr;
  const std::size_t a = static_cast<std::size_t>(align);
  return std::aligned_alloc(a, (size + a - 1) / a * a);
}

}  // namespace fault

void* operator new(std::size_t size) {
  if (void* p = fault::Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return fault::Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return fault::Allocate(size);
}
void* operator new(std::size_t size, std::align_val_t align) {
  if (void* p = fault::AllocateAligned(size, align)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align) {
  return ::operator new(size, align);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

// The test's own work is never counted; only what runs inside a host call
// (on this thread) and on the plug-in's threads is.
class HostCall {
 public:
  HostCall() { fault::exempt = false; }
  ~HostCall() { fault::exempt = true; }
  HostCall(const HostCall&) = delete;
  HostCall& operator=(const HostCall&) = delete;
};

// The threads of this process, from the system's own list.
int ThreadCount() {
  std::error_code ec;
  int n = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/task", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++n;
  }
  return n;
}

// What the module holds from load to unload.
struct Module {
  explicit Module(const std::string& dir, const std::string& tracks)
      : log(dir), server({dir, "127.0.0.1", tracks}, &log, &stamps, DefaultClock()) {}
  LogFile log;
  ChangeStamps stamps{DefaultClock()};
  ResultsServer server;
  ResultsServerPluginInfo info{&server};
};

struct RunResult {
  bool loaded = false;
  bool created = false;
  bool served = false;      // the client had an answer to every request
  bool port_freed = false;  // nothing listens on the port after the unload
  int threads_left = 0;     // threads above the count before the run
  int leaks = 0;
};

class FaultInjectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fault::exempt = true;
    dir_.CopyFrom(PITWALL_EXAMPLES_DIR "/game");
    SetThreadStartFaultForTesting(&fault::ThreadStartFails);
  }
  void TearDown() override {
    SetThreadStartFaultForTesting(nullptr);
    fault::exempt = false;
  }

  // One whole session. `fail_allocation` and `fail_thread_start` pick the
  // one call that fails (0: none).
  RunResult Run(long fail_allocation, long fail_thread_start) {
    RunResult result;
    const int threads_before = ThreadCount();
    const std::uint16_t port = FreePort();
    dir_.Write("PitwallFeedPlugin.ini", "[GENERAL]\nPort=" + std::to_string(port) + "\n");
    const std::string tracks = dir_.File("GameData/Locations");
    ScoringRecordWriter w(20);
    w.SetTrackName("Pitwall Ring");

    fault::allocations = 0;
    fault::thread_starts = 0;
    fault::fail_allocation = fail_allocation;
    fault::fail_thread_start = fail_thread_start;
    fault::armed = true;

    std::unique_ptr<Module> module;
    try {
      HostCall call;
      module = std::make_unique<Module>(dir_.prefix(), tracks);
    } catch (const std::bad_alloc&) {
      // A module that cannot be built is not offered to the host.
    }
    result.loaded = module != nullptr;
    InternalsPluginV3* plugin = nullptr;
    if (module) {
      HostCall call;
      plugin = static_cast<InternalsPluginV3*>(module->info.Create());
    }
    result.created = plugin != nullptr;
    if (plugin != nullptr) {
      {
        HostCall call;
        plugin->Startup();
        plugin->SessionStart();
        plugin->UpdateScoring(w.record());
      }
      // The outline loads on a thread of its own; its end is waited for
      // (it may also never have started).
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (module->server.track().loading() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      WireClient client;
      int answers = 0;
      if (client.Connect(port)) {
        SetResetOnClose(client.handle());
        for (std::uint8_t type = 0; type < kRequestTypeCount; ++type) client.Request(type);
        for (int i = 0; i < 4; ++i) {
          HostCall call;
          plugin->UpdateScoring(w.record());
        }
        Bytes m;
        bool trackstrip = false;
        while (client.ReadMessage(&m, 300)) {
          if (m.size() > 2 && m[2] == kTrackstrip) {
            trackstrip = true;
          } else {
            ++answers;
          }
        }
        result.served = answers >= kRequestTypeCount - 1 && trackstrip;
      }
      {
        HostCall call;
        plugin->SessionEnd();
        plugin->Shutdown();
        DestroyHostObject(plugin);
      }
      client.Close();
    }
    {
      HostCall call;
      module.reset();
    }
    fault::armed = false;

    WireClient probe;
    result.port_freed = !probe.Connect(port);
    // A joined thread may take a moment to leave the system's list.
    for (int i = 0; i < 200 && ThreadCount() > threads_before; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.threads_left = ThreadCount() - threads_before;
#if defined(PITWALL_LEAK_CHECK)
    result.leaks = __lsan_do_recoverable_leak_check();
#endif
    return result;
  }

  TempDir dir_;
};

// A run with no fault serves everything; it also counts the calls a run
// makes, which the runs with faults then go through one by one.
TEST_F(FaultInjectionTest, EveryFailingAllocationAndThreadStartLeavesTheHostWhole) {
  const RunResult clean = Run(0, 0);
  ASSERT_TRUE(clean.served) << "a run without faults answers every request";
  ASSERT_TRUE(clean.port_freed);
  ASSERT_EQ(clean.threads_left, 0);
  ASSERT_EQ(clean.leaks, 0);
  const long allocations = fault::allocations.load();
  const long thread_starts = fault::thread_starts.load();
  ASSERT_GT(allocations, 10);
  ASSERT_GE(thread_starts, 3) << "accept, client and track-load threads";
  std::cout << "a run makes " << allocations << " allocations and " << thread_starts
            << " thread starts\n";

  // The network threads' share of the calls varies a little from run to
  // run, so the range goes a little past the clean run's count.
  int served_despite = 0;
  for (long n = 1; n <= allocations + 20; ++n) {
    const RunResult r = Run(n, 0);
    EXPECT_TRUE(r.port_freed) << "allocation " << n;
    EXPECT_EQ(r.threads_left, 0) << "allocation " << n;
    EXPECT_EQ(r.leaks, 0) << "allocation " << n;
    if (r.served) ++served_despite;
  }
  for (long n = 1; n <= thread_starts + 2; ++n) {
    const RunResult r = Run(0, n);
    EXPECT_TRUE(r.port_freed) << "thread start " << n;
    EXPECT_EQ(r.threads_left, 0) << "thread start " << n;
    EXPECT_EQ(r.leaks, 0) << "thread start " << n;
  }
  std::cout << served_despite << " of the runs with a failing allocation still served all\n";

  const RunResult after = Run(0, 0);
  EXPECT_TRUE(after.served) << "the faults left nothing behind that a later run notices";
}

}  // namespace
