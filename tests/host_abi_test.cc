// The module called the way a host's compiled code calls it: by vtable
// entry, with the calling convention of the host's compiler, through plain
// function pointers that know nothing of this project's class declarations.
// A slot moved or a convention wrong in those declarations fails here even
// though the rest of the code (compiled from the same declarations) agrees
// with itself.
#include "pitwall/host_abi.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "pitwall/protocol.h"
#include "pitwall/scoring_record.h"
#include "tests/plugin_harness.h"
#include "tests/wire_client.h"

namespace {

// The vtable entry of host slot `slot`. A host built with Microsoft's
// compiler has one entry per slot; GCC's layout gives slot 0 (the virtual
// destructor) two entries, complete and deleting, so later slots sit one
// further on.
constexpr std::size_t Entry(int slot) {
  return PITWALL_MSVC_HOST_ABI || slot == 0 ? static_cast<std::size_t>(slot)
                                            : static_cast<std::size_t>(slot) + 1;
}

void* EntryOf(void* object, std::size_t entry) {
  void** vtable = nullptr;
  std::memcpy(&vtable, object, sizeof(vtable));
  return vtable[entry];
}

// Calls slot `slot` of `object` as a member function taking `args`.
template <typename R, typename... Args>
R Call(void* object, int slot, Args... args) {
  using Fn = R(PITWALL_HOST_CALL*)(void*, Args...);
  return reinterpret_cast<Fn>(EntryOf(object, Entry(slot)))(object, args...);
}

// Deletes an object through slot 0 as the host does.
void* DeleteThroughSlot0(void* object) {
#if PITWALL_MSVC_HOST_ABI
  return Call<void*>(object, 0, kHostDeleteMemory);
#else
  using Fn = void (*)(void*);
  reinterpret_cast<Fn>(EntryOf(object, 1))(object);  // the deleting destructor
  return object;
#endif
}

class HostAbiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(host_.get_info, nullptr);
    info_ = host_.get_info(0);
    ASSERT_NE(info_, nullptr);
  }
  PluginHarness host_;
  void* info_ = nullptr;
};

TEST_F(HostAbiTest, InfoObjectSlotsAnswerInOrder) {
  EXPECT_STREQ(Call<const char*>(info_, 1), "PitwallFeedPlugin");
  EXPECT_STREQ(Call<const char*>(info_, 2), "PitwallFeedPlugin - 2007.09.18 - PitwallFeedPlugin");
  EXPECT_STREQ(Call<const char*>(info_, 3), "Pitwall Feed Server Plugin");
  EXPECT_EQ(Call<std::int32_t>(info_, 4), 9);
  EXPECT_STREQ(Call<const char*>(info_, 5), "Internals");
  EXPECT_EQ(Call<std::int32_t>(info_, 6), 3);
  void* plugin = Call<void*>(info_, 7);
  ASSERT_NE(plugin, nullptr);
  EXPECT_EQ(Call<void*>(plugin, 2), info_) << "the plug-in's GetInfo";
  EXPECT_EQ(DeleteThroughSlot0(plugin), plugin);
}

#if PITWALL_MSVC_HOST_ABI
TEST_F(HostAbiTest, ScalarDeletingDestructorReturnsThisAndSparesTheStaticInfo) {
  // A host may "delete" the info object; it lives as long as the module.
  for (unsigned int flags : {0u, 1u}) {
    EXPECT_EQ(Call<void*>(info_, 0, flags), info_);
    EXPECT_STREQ(Call<const char*>(info_, 1), "PitwallFeedPlugin") << "still usable";
    EXPECT_EQ(host_.get_info(0), info_);
  }
  // The plug-in object's slot 0 frees it (the sanitizer builds see a leak
  // or a double free otherwise) and returns the address it was given.
  for (int i = 0; i < 3; ++i) {
    void* plugin = Call<void*>(info_, 7);
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(Call<void*>(plugin, 0, kHostDeleteMemory), plugin);
  }
}
#endif

TEST_F(HostAbiTest, EveryPluginSlotTakesItsArgumentsAndAnswers) {
  void* p = Call<void*>(info_, 7);
  ASSERT_NE(p, nullptr);
  const std::uint16_t port = FreePort();
  host_.dir().Write("PitwallFeedPlugin.ini", "[GENERAL]\nPort=" + std::to_string(port) + "\n");

  EXPECT_EQ(Call<void*>(p, 2), info_);         // GetInfo
  EXPECT_EQ(Call<std::int32_t>(p, 3), 0);      // QueryOptionCount
  EXPECT_EQ(Call<std::int32_t>(p, 4, 5), 0);   // QueryOption
  EXPECT_EQ(Call<std::int32_t>(p, 5, -1), 0);  // SetOption
  Call<void>(p, 6);                            // Startup
  Call<void>(p, 8);                            // ResumeSimulation
  Call<void>(p, 9);                            // PauseSimulation
  EXPECT_FALSE(Call<bool>(p, 10));             // WantsTelemetry
  Call<void>(p, 11, 0);                        // UpdateTelemetry
  EXPECT_FALSE(Call<bool>(p, 12));             // WantsGraphics
  Call<void>(p, 13, 0);                        // UpdateGraphics
  EXPECT_FALSE(Call<bool>(p, 14));             // WantsHardwareInput
  Call<void>(p, 15, 0);                        // UpdateHardwareInput
  Call<void>(p, 16);                           // EnterCockpit
  Call<void>(p, 17);                           // ExitCockpit
  EXPECT_FALSE(Call<bool>(p, 18, 1, 2));       // CheckHardwareControl
  EXPECT_FALSE(Call<bool>(p, 19, 3));          // ForceFeedback
  EXPECT_TRUE(Call<bool>(p, 20));              // WantsScoring
  Call<void>(p, 21, 5);                        // SetScoringRate
  Call<void>(p, 22);                           // SessionStart
  ScoringRecordWriter record(3);
  record.SetTrackName("Pitwall Ring");
  record.SetSession(5);
  record.SetMaxLaps(12);
  Call<void>(p, 26, static_cast<const void*>(record.record()));  // UpdateScoring
  Call<void>(p, 24, 0);                                          // EnterGarage
  Call<void>(p, 25, 0);                                          // LeaveGarage
  EXPECT_FALSE(Call<bool>(p, 27, 0));                            // WantsCommentary

  // The record given to slot 26 is the one the server now serves.
  WireClient client;
  ASSERT_TRUE(client.Connect(port));
  ASSERT_TRUE(client.Request(kSessionInfo));
  Bytes answer;
  ASSERT_TRUE(client.ReadMessage(&answer));
  ASSERT_EQ(answer.size(), kSessionInfoSize);
  SessionBlock session;
  std::memcpy(&session, answer.data() + sizeof(ResponseHeader), sizeof(session));
  EXPECT_STREQ(session.track_name, "Pitwall Ring");
  EXPECT_EQ(session.session, 5);
  EXPECT_EQ(session.max_laps, 12);

  Call<void>(p, 23);  // SessionEnd
  Call<void>(p, 7);   // Shutdown
  EXPECT_TRUE(client.WaitClosed()) << "slot 7 stopped the server";
  Call<void>(p, 1);  // Detach: a second stop does nothing
  EXPECT_EQ(DeleteThroughSlot0(p), p);
}

}  // namespace
