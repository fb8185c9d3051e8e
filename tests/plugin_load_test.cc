// The module as a host sees it: exports, info object, and a plug-in object
// that does nothing before its start or after its stop. (Every slot's
// answer is checked through the vtable as a host calls it in
// host_abi_test.cc.)
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "pitwall/scoring_record.h"
#include "tests/plugin_harness.h"
#include "tests/wire_client.h"

namespace {

TEST(PluginLoadTest, ExportsAndInfoObjectAnswerAsTheHostExpects) {
  PluginHarness host;
  ASSERT_TRUE(host.loaded());
  ASSERT_NE(host.get_name, nullptr);
  ASSERT_NE(host.get_version, nullptr);
  ASSERT_NE(host.get_count, nullptr);
  ASSERT_NE(host.get_info, nullptr);

  EXPECT_STREQ(host.get_name(), "PitwallFeedPlugin - 2007.09.18");
  EXPECT_EQ(host.get_version(), 1);
  EXPECT_EQ(host.get_count(), 1);
  EXPECT_EQ(host.get_info(1), nullptr);
  EXPECT_EQ(host.get_info(-1), nullptr);
  EXPECT_EQ(host.get_info(0x7FFFFFFF), nullptr);

  PluginObjectInfo* info = host.get_info(0);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(host.get_info(0), info) << "one info object";
  const char* full_name = info->GetFullName();

  PluginObject* a = info->Create();
  PluginObject* b = info->Create();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b) << "every create allocates a new object";
  DestroyHostObject(a);
  DestroyHostObject(b);
  // The full name lives in the info object's own buffer, composed once: the
  // host may keep the pointer, and no later call moves or rewrites it.
  EXPECT_EQ(info->GetFullName(), full_name);
  EXPECT_STREQ(full_name, "PitwallFeedPlugin - 2007.09.18 - PitwallFeedPlugin");
}

TEST(PluginLoadTest, CallsBeforeStartupAndAfterShutdownDoNothing) {
  PluginHarness host;
  const std::uint16_t port = FreePort();
  host.dir().Write("PitwallFeedPlugin.ini", "[GENERAL]\nPort=" + std::to_string(port) + "\n");
  const auto files = [&host] {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(host.dir().path())) {
      names.insert(e.path().filename().string());
    }
    return names;
  };
  const std::set<std::string> before = files();
  InternalsPluginV3* p = host.CreatePlugin();
  ASSERT_NE(p, nullptr);
  ScoringRecordWriter record(2);
  record.SetTrackName("Pitwall Ring");
  p->SessionStart();
  p->UpdateScoring(record.record());
  p->SessionEnd();
  p->UpdateScoring(nullptr);
  EXPECT_EQ(files(), before) << "no configuration, log or track search before the start";
  WireClient early;
  EXPECT_FALSE(early.Connect(port)) << "nothing listens before the start";

  p->Startup();
  WireClient client;
  ASSERT_TRUE(client.Connect(port));
  p->Detach();
  EXPECT_TRUE(client.WaitClosed());
  const std::string log_name = "PitwallFeedPlugin_" + std::to_string(port) + ".log";
  const std::string log = host.dir().ReadText(log_name);
  EXPECT_EQ(CountOf(log, "Server shutdown.\n"), 1) << log;
  const std::set<std::string> after = files();
  p->SessionStart();
  p->UpdateScoring(record.record());
  p->SessionEnd();
  p->Shutdown();
  EXPECT_EQ(host.dir().ReadText(log_name), log) << "nothing logged after the stop";
  EXPECT_EQ(files(), after);
  WireClient late;
  EXPECT_FALSE(late.Connect(port)) << "the listener stays closed";
}

}  // namespace
