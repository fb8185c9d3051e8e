#include "platform/socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/thread.h"
#include "testing/wire_bytes.h"

namespace {

// The bytes of an address as they go on the wire.
std::string Bytes(std::uint32_t address) {
  unsigned char b[4];
  std::memcpy(b, &address, sizeof(b));
  return std::to_string(b[0]) + "," + std::to_string(b[1]) + "," + std::to_string(b[2]) + "," +
         std::to_string(b[3]);
}

// Dotted text is read as inet_aton() reads it, on every platform alike:
// fewer parts fill the last one's bytes, a leading 0 is octal, 0x hex.
TEST(SocketTest, DottedTextReadsAsTheSystemsDoAndPrintsBack) {
  const struct {
    const char* text;
    const char* bytes;
  } good[] = {
      {"10.1.2.3", "10,1,2,3"},
      {"255.255.255.255", "255,255,255,255"},
      {"0.0.0.0", "0,0,0,0"},
      {"127.1", "127,0,0,1"},
      {"10.1.515", "10,1,2,3"},
      {"167838211", "10,1,2,3"},
      {"0x7f.0.0.01", "127,0,0,1"},
      {"012.0X1.0.0", "10,1,0,0"},
      {"4294967295", "255,255,255,255"},
  };
  for (const auto& c : good) {
    std::uint32_t address = 0;
    ASSERT_TRUE(ParseIPv4(c.text, &address)) << c.text;
    EXPECT_EQ(Bytes(address), c.bytes) << c.text;
  }
  for (const char* bad : {"256.1.1.1", "1.2.3.256", "1.2.65536", "1.16777216", "4294967296",
                          "1.2.3.4.5", "1..2.3", ".1.2.3", "1.2.3.", "08.1.1.1", "0x", "1.2.3.4 ",
                          " 1.2.3.4", "1.2.3.4x", "not an address", "", "-1.2.3.4"}) {
    std::uint32_t address = 7;
    EXPECT_FALSE(ParseIPv4(bad, &address)) << "'" << bad << "'";
    EXPECT_EQ(address, 7u) << "'" << bad << "' changed the address";
  }
  EXPECT_FALSE(ParseIPv4(nullptr, nullptr));

  char text[16];
  for (const char* dotted : {"10.1.2.3", "255.255.255.255", "0.0.0.0", "192.168.100.200"}) {
    std::uint32_t address = 0;
    ASSERT_TRUE(ParseIPv4(dotted, &address));
    FormatIPv4(address, text);
    EXPECT_STREQ(text, dotted);
  }
  FormatIPv4(LoopbackIPv4(), text);
  EXPECT_STREQ(text, "127.0.0.1");
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
