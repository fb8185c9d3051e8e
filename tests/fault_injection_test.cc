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
#include <map>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "pitwall/host_interface.h"
#include "pitwall/protocol.h"
#include "pitwall/scoring_record.h"
#include "platform/thread.h"
#include "plugin/plugin_objects.h"
#include "server/current_track.h"
#include "server/results_server.h"
#include "testing/temp_dir.h"
#include "tests/wire_client.h"

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
// The host call this thread is in; null on the plug-in's own threads.
thread_local const char* host_call = nullptr;
// Where the failing allocation was made: a host call's name, "a plug-in
// thread", or null while none has failed.
std::atomic<const char*> failed_in{nullptr};

bool AllocationFails() {
  if (!armed.load(std::memory_order_relaxed) || exempt) return false;
  if (allocations.fetch_add(1) + 1 != fail_allocation.load()) return false;
  failed_in = host_call != nullptr ? host_call : "a plug-in thread";
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
  explicit HostCall(const char* name) {
    fault::exempt = false;
    fault::host_call = name;
  }
  ~HostCall() {
    fault::host_call = nullptr;
    fault::exempt = true;
  }
  HostCall(const HostCall&) = delete;
  HostCall& operator=(const HostCall&) = delete;
};

// Runs `call` as the host's call `name`.
template <typename Call>
void InHostCall(const char* name, Call call) {
  HostCall in(name);
  call();
}

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

struct RunResult {
  bool served = false;      // the client had an answer to every request
  bool port_freed = false;  // nothing listens on the port after the unload
  int threads_left = 0;     // threads above the count before the run
  int leaks = 0;
  // A failure got as far as the last guard of the host's calls instead of
  // being handled where it happened.
  bool guard_reached = false;
  std::string failed_in;  // see fault::failed_in; empty: nothing failed
  // A log of the run, the port's or the unbound one, says what failed.
  bool said_what_failed = false;
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
    ScoringRecordWriter w(255);
    w.SetTrackName("Pitwall Ring");

    fault::allocations = 0;
    fault::thread_starts = 0;
    fault::fail_allocation = fail_allocation;
    fault::fail_thread_start = fail_thread_start;
    fault::armed = true;

    std::unique_ptr<PluginModule> module;
    try {
      HostCall call("the module's load");
      module = std::make_unique<PluginModule>(
          ResultsServer::Options{dir_.prefix(), "127.0.0.1", tracks});
    } catch (const std::bad_alloc&) {
      // A module that cannot be built is not offered to the host.
    }
    InternalsPluginV3* plugin = nullptr;
    if (module) {
      InHostCall("Create",
                 [&] { plugin = static_cast<InternalsPluginV3*>(module->info.Create()); });
    }
    if (plugin != nullptr) {
      InHostCall("Startup", [&] { plugin->Startup(); });
      InHostCall("SessionStart", [&] { plugin->SessionStart(); });
      InHostCall("UpdateScoring", [&] { plugin->UpdateScoring(w.record()); });
      // The outline loads on a thread of its own; its end is waited for
      // (it may also never have started).
      Eventually([&] { return !module->server.track().loading(); }, 20000, 1);
      WireClient client;
      int answers = 0;
      if (client.Connect(port)) {
        SetResetOnClose(client.handle());
        for (std::uint8_t type = 0; type < kRequestTypeCount; ++type) client.Request(type);
        for (int i = 0; i < 4; ++i) {
          InHostCall("UpdateScoring", [&] { plugin->UpdateScoring(w.record()); });
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
      InHostCall("SessionEnd", [&] { plugin->SessionEnd(); });
      InHostCall("Shutdown", [&] { plugin->Shutdown(); });
      InHostCall("the object's deletion", [&] { DestroyHostObject(plugin); });
      client.Close();
    }
    InHostCall("the module's unload", [&] { module.reset(); });
    fault::armed = false;
    if (const char* where = fault::failed_in.exchange(nullptr)) result.failed_in = where;

    // Each run starts with no log; what this one wrote is looked at, then
    // removed.
    for (const std::string& file : {std::string("PitwallFeedPlugin.log"),
                                    "PitwallFeedPlugin_" + std::to_string(port) + ".log"}) {
      const std::string text = dir_.Read(file);
      if (text.find("unexpected failure") != std::string::npos) result.guard_reached = true;
      if (text.find("ERROR: ") != std::string::npos ||
          text.find("Server not started: ") != std::string::npos) {
        result.said_what_failed = true;
      }
      std::filesystem::remove(dir_.File(file));
    }

    WireClient probe;
    result.port_freed = !probe.Connect(port);
    // A joined thread may take a moment to leave the system's list.
    Eventually([&] { return ThreadCount() <= threads_before; }, 1000, 5);
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
  // Whatever failed, the host is left whole and the failure was handled
  // where it happened, not by the last guard of the host's calls.
  const auto expect_whole = [](const RunResult& r, const std::string& what) {
    EXPECT_TRUE(r.port_freed) << what;
    EXPECT_EQ(r.threads_left, 0) << what;
    EXPECT_EQ(r.leaks, 0) << what;
    EXPECT_FALSE(r.guard_reached) << what << " in " << r.failed_in;
  };
  int served_despite = 0;
  std::map<std::string, int> failures_in;  // where the failing allocation was
  for (long n = 1; n <= allocations + 20; ++n) {
    const RunResult r = Run(n, 0);
    expect_whole(r, "allocation " + std::to_string(n));
    if (r.failed_in == "Startup" && !r.served) {
      EXPECT_TRUE(r.said_what_failed) << "allocation " << n << ": a start that failed says why";
    }
    if (r.served) ++served_despite;
    if (!r.failed_in.empty()) ++failures_in[r.failed_in];
  }
  for (long n = 1; n <= thread_starts + 2; ++n) {
    expect_whole(Run(0, n), "thread start " + std::to_string(n));
  }
  std::cout << served_despite << " of the runs with a failing allocation still served all\n";
  for (const auto& [where, count] : failures_in) {
    std::cout << "  " << count << " failing allocation(s) in " << where << "\n";
  }
  // Every boundary where a failure can start was made to fail at least once.
  for (const char* where : {"the module's load", "Startup", "UpdateScoring", "a plug-in thread"}) {
    EXPECT_GT(failures_in[where], 0) << where;
  }

  const RunResult after = Run(0, 0);
  EXPECT_TRUE(after.served) << "the faults left nothing behind that a later run notices";
}

}  // namespace
