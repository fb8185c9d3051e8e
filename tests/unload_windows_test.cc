// Unloading the DLL the ways a Windows host does: after Shutdown, and
// without one. Neither may hang the host's FreeLibrary() nor leave a thread
// running in code that is gone.
#include <gtest/gtest.h>

#include "platform/windows_api.h"
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "pitwall/host_interface.h"
#include "pitwall/protocol.h"
#include "platform/library.h"
#include "testing/eventually.h"
#include "tests/plugin_harness.h"
#include "tests/wire_client.h"

namespace {

int ThreadsOfThisProcess() {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  int count = 0;
  for (BOOL more = ::Thread32First(snapshot, &entry); more;
       more = ::Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++count;
  }
  ::CloseHandle(snapshot);
  return count;
}

bool IsMapped(const std::string& path) { return ::GetModuleHandleA(path.c_str()) != nullptr; }

// Starts a plug-in on a free port with a client connected and answered.
std::uint16_t StartWithAClient(PluginHarness& host, WireClient* client) {
  const std::uint16_t port = FreePort();
  host.dir().Write("PitwallFeedPlugin.ini", "[GENERAL]\nPort=" + std::to_string(port) + "\n");
  InternalsPluginV3* plugin = host.CreatePlugin();
  if (plugin == nullptr) return 0;
  plugin->Startup();
  Bytes answer;
  if (!client->Connect(port) || !client->Request(kHandshakeInfo) || !client->ReadMessage(&answer)) {
    ADD_FAILURE() << "no handshake from the started server";
  }
  return port;
}

TEST(UnloadWindowsTest, ShutdownThenUnloadLeavesNoThreadAndUnmaps) {
  const int before = ThreadsOfThisProcess();
  PluginHarness host;
  WireClient client;
  ASSERT_NE(StartWithAClient(host, &client), 0);
  EXPECT_GT(ThreadsOfThisProcess(), before) << "the accept and client threads";
  host.CreatePlugin();  // a second object of the same module
  host.DestroyPlugin();
  InternalsPluginV3* plugin = host.CreatePlugin();
  ASSERT_NE(plugin, nullptr);
  plugin->Shutdown();
  host.DestroyPlugin();
  EXPECT_TRUE(client.WaitClosed());
  host.Unload();
  EXPECT_TRUE(Eventually([&] { return !IsMapped(host.module_path()); }));
  EXPECT_TRUE(Eventually([&] { return ThreadsOfThisProcess() == before; }))
      << ThreadsOfThisProcess() << " threads, " << before << " before";
}

TEST(UnloadWindowsTest, UnloadWithoutShutdownReturnsAndTheServerLivesOnUntilStopped) {
  PluginHarness host;
  WireClient client;
  const std::uint16_t port = StartWithAClient(host, &client);
  ASSERT_NE(port, 0);
  host.DestroyPlugin();
  host.Unload();  // a hang here fails the test by its time-out
  ASSERT_TRUE(IsMapped(host.module_path())) << "its threads keep the module mapped";
  Bytes answer;
  ASSERT_TRUE(client.Request(kHandshakeInfo));
  ASSERT_TRUE(client.ReadMessage(&answer)) << "the server goes on serving";
  EXPECT_EQ(answer, (Bytes{8, 0, 0, 0, 1, 0, 0, 0}));

  // A host that loads the module again gets the same one and can stop it;
  // its unload then takes the module away.
  {
    SharedLibrary again;
    std::string error;
    ASSERT_TRUE(again.Open(host.module_path(), &error)) << error;
    auto get_info = reinterpret_cast<GetPluginObjectInfoFn>(again.Find("GetPluginObjectInfo"));
    ASSERT_NE(get_info, nullptr);
    auto* plugin = static_cast<InternalsPluginV3*>(get_info(0)->Create());
    ASSERT_NE(plugin, nullptr);
    plugin->Shutdown();
    DestroyHostObject(plugin);
  }
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_TRUE(Eventually([&] { return !IsMapped(host.module_path()); }));
  WireClient late;
  EXPECT_FALSE(late.Connect(port)) << "the listener is closed";
}

}  // namespace
