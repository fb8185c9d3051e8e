#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <vector>

namespace {

TEST(ThreadTest, AnEscapingExceptionEndsOnlyThatThread) {
  std::atomic<int> ran{0};
  Thread t;
  ASSERT_TRUE(t.Start([&ran] {
    ran.fetch_add(1);
    throw std::bad_alloc();
  }));
  EXPECT_TRUE(t.joinable());
  t.Join();  // without the guard std::terminate would end the test process
  EXPECT_EQ(ran.load(), 1);
  EXPECT_FALSE(t.joinable());
  t.Join();  // a second join does nothing
}

}  // namespace
