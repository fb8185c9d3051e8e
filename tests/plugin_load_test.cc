// The module as a host sees it: exports, info object, plug-in object slots.
#include <gtest/gtest.h>

#include <cstring>

#include "pitwall/scoring_record.h"
#include "tests/plugin_harness.h"

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
  EXPECT_STREQ(info->GetName(), "PitwallFeedPlugin");
  EXPECT_STREQ(info->GetFullName(), "PitwallFeedPlugin - 2007.09.18 - PitwallFeedPlugin");
  EXPECT_EQ(std::strlen(info->GetFullName()), 50u);
  EXPECT_EQ(info->GetFullName(), info->GetFullName()) << "the object's own buffer";
  EXPECT_STREQ(info->GetDescription(), "Pitwall Feed Server Plugin");
  EXPECT_EQ(info->GetType(), 9);
  EXPECT_STREQ(info->GetSubType(), "Internals");
  EXPECT_EQ(info->GetVersion(), 3);

  PluginObject* a = info->Create();
  PluginObject* b = info->Create();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b) << "every create allocates a new object";
  EXPECT_EQ(a->GetInfo(), info);
  DestroyHostObject(a);
  DestroyHostObject(b);
}

TEST(PluginLoadTest, EverySlotGivesItsAnswer) {
  PluginHarness host;
  InternalsPluginV3* p = host.CreatePlugin();
  ASSERT_NE(p, nullptr);

  EXPECT_EQ(p->GetInfo(), host.get_info(0));    // slot 2
  EXPECT_EQ(p->QueryOptionCount(), 0);          // slot 3
  EXPECT_EQ(p->QueryOption(5), 0);              // slot 4
  EXPECT_EQ(p->SetOption(-1), 0);               // slot 5
  p->Startup();                                 // slot 6
  p->ResumeSimulation();                        // slot 8
  p->PauseSimulation();                         // slot 9
  EXPECT_FALSE(p->WantsTelemetry());            // slot 10
  p->UpdateTelemetry(0);                        // slot 11
  EXPECT_FALSE(p->WantsGraphics());             // slot 12
  p->UpdateGraphics(0);                         // slot 13
  EXPECT_FALSE(p->WantsHardwareInput());        // slot 14
  p->UpdateHardwareInput(0);                    // slot 15
  p->EnterCockpit();                            // slot 16
  p->ExitCockpit();                             // slot 17
  EXPECT_FALSE(p->CheckHardwareControl(1, 2));  // slot 18
  EXPECT_FALSE(p->ForceFeedback(3));            // slot 19
  EXPECT_TRUE(p->WantsScoring());               // slot 20
  p->SetScoringRate(5);                         // slot 21
  p->SessionStart();                            // slot 22
  ScoringRecordWriter record(3);
  record.SetTrackName("Pitwall Ring");
  p->UpdateScoring(record.record());    // slot 26
  p->SessionEnd();                      // slot 23
  p->EnterGarage(0);                    // slot 24
  p->LeaveGarage(0);                    // slot 25
  EXPECT_FALSE(p->WantsCommentary(0));  // slot 27
  p->Shutdown();                        // slot 7
  p->Detach();                          // slot 1: a second stop does nothing
  p->Shutdown();
  host.DestroyPlugin();  // slot 0
}

TEST(PluginLoadTest, CallsBeforeStartupAndAfterShutdownDoNothing) {
  PluginHarness host;
  InternalsPluginV3* p = host.CreatePlugin();
  ASSERT_NE(p, nullptr);
  ScoringRecordWriter record(2);
  p->SessionStart();
  p->UpdateScoring(record.record());
  p->SessionEnd();
  p->UpdateScoring(nullptr);
  p->Startup();
  p->Detach();
  p->SessionStart();
  p->UpdateScoring(record.record());
  p->SessionEnd();
}

}  // namespace
