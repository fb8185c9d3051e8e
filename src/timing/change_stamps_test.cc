#include "timing/change_stamps.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "testing/fake_clock.h"

namespace {

class ChangeStampsTest : public ::testing::Test {
 protected:
  std::uint8_t Take(ChangeState* c) {
    stamps_.TakeChangeMask(c);
    return c->change_flags;
  }
  FakeClock clock_{5000};
  ChangeStamps stamps_{clock_};
};

TEST_F(ChangeStampsTest, FirstMaskHoldsEverythingStampedSinceLoadAndConsumes) {
  ChangeState fresh;
  EXPECT_EQ(Take(&fresh), 0) << "nothing stamped yet";

  clock_.Advance(100);
  stamps_.StampChanges(0x1F);  // what a starting accept thread does
  for (int k = 0; k < ChangeStamps::kCategories; ++k) EXPECT_EQ(stamps_.stamp(k), 5100u);
  ChangeState c;
  EXPECT_EQ(Take(&c), 0x1F);
  EXPECT_EQ(c.last_response_ms, 5100u);
  clock_.Advance(10);
  EXPECT_EQ(Take(&c), 0) << "a second computation reports nothing new";

  clock_.Advance(10);
  stamps_.StampChanges(0x02);
  clock_.Advance(10);
  EXPECT_EQ(Take(&c), 0x02);
  EXPECT_EQ(Take(&c), 0);
}

TEST_F(ChangeStampsTest, BitsAboveTheFiveCategoriesAreIgnored) {
  stamps_.StampChanges(0x20);
  stamps_.StampChanges(0x80);
  stamps_.StampChanges(0xE0);
  ChangeState c;
  EXPECT_EQ(Take(&c), 0);
  for (int k = 0; k < ChangeStamps::kCategories; ++k) EXPECT_EQ(stamps_.stamp(k), 0u);
  stamps_.StampChanges(0x21);
  EXPECT_EQ(Take(&c), 0x01);
}

TEST_F(ChangeStampsTest, StampsInTheMillisecondOfAComputationAreNotLost) {
  ChangeState c;
  Take(&c);
  clock_.Advance(1);
  stamps_.StampChanges(0x02);  // same millisecond, before the computation
  EXPECT_EQ(Take(&c), 0x02);
  EXPECT_EQ(Take(&c), 0) << "a stamp equal to the last computation time was seen by it";

  clock_.Advance(1);
  stamps_.StampChanges(0x1F);
  clock_.Advance(1);
  EXPECT_EQ(Take(&c), 0x1F);
  stamps_.StampChanges(0x02);  // after the computation, clock unchanged
  EXPECT_EQ(Take(&c), 0x02) << "must be reported by the next computation";
  clock_.Advance(5);
  // It may be reported once more (never less): then it stops.
  Take(&c);
  EXPECT_EQ(Take(&c), 0);
}

TEST_F(ChangeStampsTest, ComparisonSurvivesTheClockWrap) {
  clock_.Set(0xFFFFFFF0u);
  stamps_.StampChanges(0x1F);
  ChangeState c;
  EXPECT_EQ(Take(&c), 0x1F);

  clock_.Set(0xFFFFFFFAu);
  stamps_.StampChanges(0x01);  // before the wrap
  clock_.Set(0x00000005u);     // the 32-bit clock wrapped
  stamps_.StampChanges(0x02);  // after the wrap, a small number
  EXPECT_EQ(Take(&c), 0x03) << "both stamps came after the last computation";

  clock_.Set(0x00000010u);
  EXPECT_EQ(Take(&c), 0) << "nothing since, although 0xFFFFFFFA > 0x10 numerically";
  clock_.Set(0x00000020u);
  stamps_.StampChanges(0x04);
  clock_.Set(0x00000030u);
  EXPECT_EQ(Take(&c), 0x04);

  // A fresh connection past half the clock range: a plain signed comparison
  // against a last-response time of 0 would hide every stamp.
  clock_.Set(0x90000000u);
  stamps_.StampChanges(0x1F);
  clock_.Advance(100);
  ChangeState fresh;
  EXPECT_EQ(Take(&fresh), 0x1F);
}

TEST(ChangeStampsRaceTest, ConcurrentStampsAreNeverLost) {
  // A real clock, one stamping thread and one polling thread, many stamps
  // within the same millisecond as a computation: every stamp must be
  // reported by some computation after it was made.
  ChangeStamps stamps(DefaultClock());
  ChangeState c;
  stamps.TakeChangeMask(&c);
  constexpr int kStamps = 2000;
  std::atomic<int> made{0};      // stamps made so far
  std::atomic<int> consumed{0};  // stamps the poller has seen reported
  std::atomic<bool> stop{false};
  std::thread stamper([&] {
    for (int i = 1; i <= kStamps && !stop.load(); ++i) {
      stamps.StampChanges(0x02);
      made.store(i);
      while (consumed.load() < i && !stop.load()) std::this_thread::yield();
    }
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (consumed.load() < kStamps && std::chrono::steady_clock::now() < deadline) {
    const int m = made.load();
    if (m == consumed.load()) {
      std::this_thread::yield();
      continue;
    }
    stamps.TakeChangeMask(&c);
    if (c.change_flags & 0x02) consumed.store(m);
  }
  stop.store(true);
  stamper.join();
  EXPECT_EQ(consumed.load(), kStamps) << "a stamp was never reported";
}

}  // namespace
