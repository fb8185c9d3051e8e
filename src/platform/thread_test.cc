#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>

#include "platform/socket.h"

namespace {

TEST(StartThreadTest, AnEscapingExceptionEndsOnlyThatThread) {
  std::atomic<int> ran{0};
  std::thread t;
  ASSERT_TRUE(StartThread(&t, [&ran] {
    ran.fetch_add(1);
    throw std::bad_alloc();
  }));
  t.join();  // without the guard std::terminate would end the test process
  EXPECT_EQ(ran.load(), 1);
}

TEST(SocketErrorTest, RefusedConnectionsAndTimeoutsHaveTheirOwnWords) {
  // A port that was bound a moment ago and is closed now refuses.
  std::uint16_t port;
  {
    Socket s = OpenTcpSocket();
    ASSERT_TRUE(BindIPv4(s.get(), LoopbackIPv4(), 0));
    port = LocalPort(s.get());
  }
  EXPECT_FALSE(ConnectIPv4(LoopbackIPv4(), port).valid());
  EXPECT_EQ(LastSocketError(), SocketError::kRefused);

  Socket listener = OpenTcpSocket();
  ASSERT_TRUE(BindIPv4(listener.get(), LoopbackIPv4(), 0));
  ASSERT_TRUE(Listen(listener.get(), 1));
  Socket client = ConnectIPv4(LoopbackIPv4(), LocalPort(listener.get()));
  ASSERT_TRUE(SetRecvTimeout(client.get(), 20));
  char byte;
  EXPECT_EQ(RecvSome(client.get(), &byte, 1), -1);
  EXPECT_EQ(LastSocketError(), SocketError::kTimedOut);

  char text[16];
  FormatIPv4(LoopbackIPv4(), text);
  EXPECT_STREQ(text, "127.0.0.1");
  std::uint32_t address = 0;
  EXPECT_TRUE(ParseIPv4("10.1.2.3", &address));
  FormatIPv4(address, text);
  EXPECT_STREQ(text, "10.1.2.3");
  EXPECT_FALSE(ParseIPv4("256.1.1.1", &address));
  EXPECT_FALSE(ParseIPv4("not an address", &address));
}

}  // namespace
