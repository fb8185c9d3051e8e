#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <vector>

#include "platform/clock.h"
#include "platform/socket.h"
#include "testing/wire_bytes.h"

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

TEST(SocketTest, TimeoutsAndWouldBlockHaveTheirOwnWords) {
  LoopbackPair line;
  ASSERT_TRUE(line.Open());
  char byte;
  EXPECT_EQ(RecvSomeWithin(line.client.get(), &byte, 1, 20), -1);
  EXPECT_EQ(LastSocketError(), SocketError::kTimedOut);
  // After a time-out the socket still works: the wait is no socket option.
  ASSERT_EQ(SendSome(line.server.get(), "x", 1), 1);
  EXPECT_EQ(RecvSomeWithin(line.client.get(), &byte, 1, 2000), 1);
  EXPECT_EQ(byte, 'x');

  ASSERT_TRUE(SetNonBlocking(line.server.get()));
  EXPECT_EQ(RecvSome(line.server.get(), &byte, 1), -1);
  EXPECT_EQ(LastSocketError(), SocketError::kWouldBlock);

  char text[16];
  std::uint32_t address = 0;
  EXPECT_TRUE(ParseIPv4("10.1.2.3", &address));
  FormatIPv4(address, text);
  EXPECT_STREQ(text, "10.1.2.3");
  EXPECT_TRUE(ParseIPv4("255.255.255.255", &address));
  EXPECT_EQ(address, 0xFFFFFFFFu);
  EXPECT_FALSE(ParseIPv4("256.1.1.1", &address));
  EXPECT_FALSE(ParseIPv4("not an address", &address));
}

TEST(SocketTest, WaitsReportReadinessTimeOutsAndStops) {
  LoopbackPair line;
  ASSERT_TRUE(line.Open());
  std::atomic<bool> running{true};
  EXPECT_EQ(WaitReadable(line.client.get(), 0), WaitResult::kTimedOut);
  EXPECT_EQ(WaitReadable(line.client.get(), 30, &running), WaitResult::kTimedOut);
  EXPECT_EQ(WaitWritable(line.client.get(), 0), WaitResult::kReady);
  running.store(false);
  EXPECT_EQ(WaitReadable(line.client.get(), kWaitForever, &running), WaitResult::kStopped);
  // A closed peer reads as ready: the receive then says 0.
  line.server.Close();
  EXPECT_EQ(WaitReadable(line.client.get(), 2000), WaitResult::kReady);
  char byte;
  EXPECT_EQ(RecvSome(line.client.get(), &byte, 1), 0);
}

// The wake-up a server stop relies on: a thread waiting for a connection
// that never comes, or for room to send to a client that never reads, ends
// once its running flag is cleared, on every platform.
TEST(SocketTest, ClearingTheRunningFlagEndsWaitsOnOtherThreads) {
  LoopbackPair line;
  ASSERT_TRUE(line.Open());
  Socket listener = OpenTcpSocket();
  ASSERT_TRUE(BindIPv4(listener.get(), LoopbackIPv4(), 0) && Listen(listener.get(), 1));
  ASSERT_TRUE(SetNonBlocking(line.server.get()));
  std::atomic<bool> running{true};
  std::atomic<int> accept_result{-1}, send_result{-1};
  Thread acceptor, sender;
  ASSERT_TRUE(acceptor.Start([&] {
    accept_result.store(static_cast<int>(WaitReadable(listener.get(), kWaitForever, &running)));
  }));
  ASSERT_TRUE(sender.Start([&] {
    static char block[65536];
    for (;;) {  // fill the client's window and our send buffer
      if (SendSome(line.server.get(), block, sizeof(block)) >= 0) continue;
      if (LastSocketError() != SocketError::kWouldBlock) return;  // leaves -1: fails below
      const WaitResult r = WaitWritable(line.server.get(), kWaitForever, &running);
      if (r != WaitResult::kReady) {
        send_result.store(static_cast<int>(r));
        return;
      }
    }
  }));
  SleepMillis(200);
  EXPECT_EQ(accept_result.load(), -1) << "no connection came: still waiting";
  EXPECT_EQ(send_result.load(), -1) << "the client never reads: still waiting";
  running.store(false);
  acceptor.Join();  // a wait that missed the flag hangs here until the test's time-out
  sender.Join();
  EXPECT_EQ(accept_result.load(), static_cast<int>(WaitResult::kStopped));
  EXPECT_EQ(send_result.load(), static_cast<int>(WaitResult::kStopped));
}

}  // namespace
