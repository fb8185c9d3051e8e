// Framing, pacing and the answers, driven in-process over a real loopback
// connection with a clock the test sets.
#include "server/connections.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "testing/fake_clock.h"
#include "testing/temp_dir.h"
#include "testing/wire_bytes.h"
#include "timing/change_stamps.h"
#include "timing/timing_data.h"

namespace {

int CountOf(const std::string& text, const std::string& needle) {
  int n = 0;
  for (std::size_t pos = text.find(needle); pos != std::string::npos;
       pos = text.find(needle, pos + needle.size())) {
    ++n;
  }
  return n;
}

TEST(PaceRequestTest, IntervalsPendingFlagsAndTheClockWrap) {
  ClientConnection c;
  struct Step {
    int type;
    std::uint32_t now;
    bool at_once;
  };
  const Step steps[] = {
      {1, 50, true},    // the first request of a type is always answered at once
      {1, 149, false},  // 99 ms later
      {1, 150, true},   // 100 ms after the last answer given at once
      {2, 150, true},   // types are paced independently
      {2, 649, false},         {2, 650, true},         {0, 650, true},   {0, 1649, false},
      {0, 1650, true},         {4, 1650, true},        {4, 3649, false}, {4, 3650, true},
      {3, 0xFFFFFFF0u, true},  // across the wrap: 0x1E4 is 500 ms later
      {3, 0x000001E3u, false}, {3, 0x000001E4u, true},
  };
  for (const Step& s : steps) {
    EXPECT_EQ(PaceRequest(&c, s.type, s.now), s.at_once) << s.type << " at " << s.now;
    EXPECT_EQ(c.pending[s.type], s.at_once ? 0 : 1);
  }
}

class WalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_.SetBoundPort(7);
    context_.log = &log_;
    context_.stamps = &stamps_;
    context_.snapshot = &data_;
    context_.connection_limit = 1;
    context_.active_connections = &active_;
    connections_ = std::make_unique<ClientConnections>(context_, clock_);

    ASSERT_TRUE(line_.Open());
    connection_.socket = line_.server.get();
    connection_.peer_address = LoopbackIPv4();
    std::strcpy(connection_.peer_text, "127.0.0.1");
    stamps_.StampChanges(kChangeAll);  // as a starting accept thread does
    clock_.Advance(1);
  }

  void Walk(const Bytes& block) { WalkOn(&connection_, block); }
  void WalkOn(ClientConnection* connection, const Bytes& block) {
    connections_->WalkRequests(connection, block.data(), static_cast<long>(block.size()), &buffer_);
  }
  // Another client's connection, from `dotted`; it sends nothing back.
  static ClientConnection From(const char* dotted) {
    ClientConnection c;
    EXPECT_TRUE(ParseIPv4(dotted, &c.peer_address));
    std::strcpy(c.peer_text, dotted);
    return c;
  }

  std::vector<Bytes> Answers() { return line_.Messages(); }
  static std::vector<int> Types(const std::vector<Bytes>& messages) {
    std::vector<int> types;
    for (const Bytes& m : messages) types.push_back(m[2]);
    return types;
  }
  std::string Log() {
    const std::string text = dir_.ReadText("PitwallFeedPlugin_7.log");
    return text == "<missing>" ? "" : text;
  }

  TempDir dir_;
  LogFile log_{dir_.prefix()};
  FakeClock clock_{100000};
  ChangeStamps stamps_{clock_};
  TimingData data_{&stamps_};
  // The answers' own view; ClientConnections counts its clients itself.
  ResponseContext context_;
  std::atomic<std::int32_t> active_{0};
  std::unique_ptr<ClientConnections> connections_;
  LoopbackPair line_;
  ClientConnection connection_;
  ResponseBuffer buffer_;
};

TEST_F(WalkTest, DueRequestsAnsweredInOrderAndHeldBackOnesAfterTheBlock) {
  Walk({3, 0, 1, 3, 0, 2, 3, 0, 1});
  EXPECT_EQ(Types(Answers()), (std::vector<int>{1, 2, 1}));
  EXPECT_EQ(connection_.pending[1], 0);

  // Many requests of one type in a block: one at once at most, one deferred.
  clock_.Advance(1000);
  Walk({3, 0, 1, 3, 0, 1, 3, 0, 1, 3, 0, 1, 3, 0, 3, 3, 0, 3});
  EXPECT_EQ(Types(Answers()), (std::vector<int>{1, 3, 1, 3}));
  EXPECT_EQ(Log(), "");
}

TEST_F(WalkTest, DeferredAnswerDoesNotMoveTheLastRequestTime) {
  Walk({3, 0, 1});  // answered at once at t
  clock_.Advance(50);
  Walk({3, 0, 1});  // t + 50: deferred to the end of the block
  EXPECT_EQ(Types(Answers()), (std::vector<int>{1, 1}));
  clock_.Advance(50);
  // t + 100: the interval counts from t, so the first is due at once and
  // the second is deferred: two answers, not one.
  Walk({3, 0, 1, 3, 0, 1});
  EXPECT_EQ(Types(Answers()), (std::vector<int>{1, 1}));
}

TEST_F(WalkTest, FramingErrorsDropTheRestOfTheBlockOnly) {
  const std::string wrong = "Received message(s) with wrong length from 127.0.0.1.\n";
  // Length 0 after a valid request: that request is answered, the rest
  // dropped, the line logged once.
  Walk({3, 0, 2, 0, 0, 1, 3, 0, 1});
  EXPECT_EQ(Types(Answers()), (std::vector<int>{2}));
  EXPECT_EQ(Log(), wrong);

  // A last request that claims 10 bytes when 4 remain is still paced and
  // answered.
  clock_.Advance(1000);
  Walk({3, 0, 2, 10, 0, 1, 0});
  EXPECT_EQ(Types(Answers()), (std::vector<int>{2, 1}));
  EXPECT_EQ(Log(), wrong + wrong);

  // Fewer than 3 bytes left; a length field of 2; a lone byte.
  clock_.Advance(1000);
  Walk({3, 0, 3, 3, 0});
  Walk({2, 0, 3});
  Walk({1});
  EXPECT_EQ(Types(Answers()), (std::vector<int>{3}));
  EXPECT_EQ(Log(), wrong + wrong + wrong + wrong + wrong);

  // Bytes after the header are ignored; a huge length only ends the walk.
  clock_.Advance(1000);
  Walk({5, 0, 2, 0xAA, 0xBB, 0xFF, 0xFF, 1});
  EXPECT_EQ(Types(Answers()), (std::vector<int>{2, 1}));
}

TEST_F(WalkTest, UnknownTypesAreLoggedEveryTimeAndTouchNoPacing) {
  Walk({3, 0, 9, 3, 0, 9, 3, 0, 255, 3, 0, 5});
  EXPECT_TRUE(Answers().empty());
  EXPECT_EQ(Log(),
            "Received unknown message type (9) from 127.0.0.1.\n"
            "Received unknown message type (9) from 127.0.0.1.\n"
            "Received unknown message type (255) from 127.0.0.1.\n"
            "Received unknown message type (5) from 127.0.0.1.\n");
  for (int t = 0; t < kRequestTypeCount; ++t) EXPECT_FALSE(connection_.answered[t]);
}

TEST(LogBudgetTest, BurstThenAFewASecondThenSilenceUntilQuiet) {
  // {milliseconds since the previous line, expected verdict}
  using V = LogVerdict;
  LogBudget budget;
  std::vector<std::pair<std::uint32_t, V>> steps;
  for (std::uint32_t i = 0; i < kLogBurstLines; ++i) steps.push_back({0, V::kWrite});
  steps.push_back({0, V::kDrop});                // the burst is spent
  steps.push_back({1999, V::kDrop});             // still counted: not quiet for 2 s
  steps.push_back({2000, V::kWriteAfterDrops});  // quiet: the count, then this line
  steps.push_back({0, V::kWrite});               // a fresh burst
  std::uint32_t dropped = 0;
  for (const auto& [gap, expected] : steps) {
    const std::uint32_t now = budget.last_ms + gap;
    EXPECT_EQ(SpendLogLine(&budget, now, &dropped), expected);
  }
  EXPECT_EQ(dropped, 2u) << "the two lines dropped before the quiet";
  EXPECT_EQ(budget.dropped, 0u);

  // Written at four a second, a slow trickle never runs out; across the
  // clock's wrap too.
  LogBudget slow;
  std::uint32_t now = 0xFFFFFF00u;
  for (int i = 0; i < 1000; ++i, now += 250) {
    EXPECT_EQ(SpendLogLine(&slow, now, &dropped), V::kWrite) << i;
  }
}

TEST_F(WalkTest, AFloodOfBadRequestsLogsABurstAndOneCount) {
  // 200,000 requests of an unknown type in full blocks, a block a
  // millisecond: the first lines as always, then one line with the count.
  Bytes block;
  for (int i = 0; i < 341; ++i) block.insert(block.end(), {3, 0, 9});
  int sent = 0;
  while (sent + 341 <= 200000) {
    Walk(block);
    sent += 341;
    clock_.Advance(1);
  }
  connections_->LogDroppedLines(&connection_);  // as at the close
  std::string expected;
  for (std::uint32_t i = 0; i < kLogBurstLines; ++i) {
    expected += "Received unknown message type (9) from 127.0.0.1.\n";
  }
  // The burst refills at four lines a second: the flood lasts 586 ms, so
  // the budget never comes back while it goes on.
  expected += "Dropped " + std::to_string(sent - kLogBurstLines) +
              " log line(s) about bad requests from 127.0.0.1.\n";
  EXPECT_EQ(Log(), expected);
  EXPECT_LT(Log().size(), 100000u);
  EXPECT_TRUE(Answers().empty());

  // Quiet for two seconds, then one more mistake: logged as before.
  clock_.Advance(2000);
  Walk({3, 0, 7});
  EXPECT_EQ(Log(), expected + "Received unknown message type (7) from 127.0.0.1.\n");
}

TEST_F(WalkTest, AClientThatConnectsAgainGoesOnWithTheBudgetItLeft) {
  const std::string bad = "Received unknown message type (9) from 127.0.0.1.\n";
  Bytes flood;
  for (std::uint32_t i = 0; i < kLogBurstLines + 60; ++i) flood.insert(flood.end(), {3, 0, 9});
  Walk(flood);
  connections_->LogDroppedLines(&connection_);  // its close
  std::string expected;
  for (std::uint32_t i = 0; i < kLogBurstLines; ++i) expected += bad;
  expected += "Dropped 60 log line(s) about bad requests from 127.0.0.1.\n";
  ASSERT_EQ(Log(), expected);

  // The same address, a new connection a moment later: no fresh burst.
  clock_.Advance(10);
  ClientConnection again = From("127.0.0.1");
  WalkOn(&again, {3, 0, 9, 3, 0, 9});
  connections_->LogDroppedLines(&again);
  expected += "Dropped 2 log line(s) about bad requests from 127.0.0.1.\n";
  // Another address has a budget of its own; a connection that made no
  // mistake reports nothing at its close.
  ClientConnection other = From("127.0.0.2");
  WalkOn(&other, {3, 0, 9});
  expected += "Received unknown message type (9) from 127.0.0.2.\n";
  ClientConnection good = From("127.0.0.1");
  connections_->LogDroppedLines(&good);
  EXPECT_EQ(Log(), expected);

  // The budget refills at four lines a second, across connections too.
  clock_.Advance(1000);
  ClientConnection later = From("127.0.0.1");
  for (int i = 0; i < 5; ++i) WalkOn(&later, {3, 0, 9});
  connections_->LogDroppedLines(&later);
  for (int i = 0; i < 4; ++i) expected += bad;
  expected += "Dropped 1 log line(s) about bad requests from 127.0.0.1.\n";
  EXPECT_EQ(Log(), expected);
}

TEST_F(WalkTest, AnAddressTheTableLetsGoOfStillHasItsCountWritten) {
  Bytes flood;
  for (std::uint32_t i = 0; i < kLogBurstLines + 5; ++i) flood.insert(flood.end(), {3, 0, 9});
  // 127.0.0.1: a burst, then five lines dropped: the first after asking the
  // table, the four after it within kLogAskAgainMs in the connection alone.
  Walk(flood);
  std::string expected;
  for (std::uint32_t i = 0; i < kLogBurstLines; ++i) {
    expected += "Received unknown message type (9) from 127.0.0.1.\n";
  }
  // One mistake each from as many other addresses as the table holds:
  // 127.0.0.1 is the one heard from longest ago when the last comes.
  for (int i = 0; i < AddressLogBudgets::kDefaultCapacity; ++i) {
    const std::string dotted = "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256);
    ClientConnection c = From(dotted.c_str());
    WalkOn(&c, {3, 0, 9});
    if (i + 1 == AddressLogBudgets::kDefaultCapacity) {
      expected += "Dropped 1 log line(s) about bad requests from 127.0.0.1.\n";
    }
    expected += "Received unknown message type (9) from " + dotted + ".\n";
  }
  connections_->LogDroppedLines(&connection_);  // its close: the rest
  expected += "Dropped 4 log line(s) about bad requests from 127.0.0.1.\n";
  EXPECT_EQ(Log(), expected);
}

TEST_F(WalkTest, ConnectionsFromOneAddressAtOnceShareItsBudget) {
  // Four clients of one address flood at once, with the clock standing
  // still: one burst between them, and every other line counted.
  constexpr int kClients = 4;
  constexpr int kBlocks = 50;
  Bytes block;
  for (int i = 0; i < 341; ++i) block.insert(block.end(), {3, 0, 9});
  std::vector<std::thread> clients;
  for (int t = 0; t < kClients; ++t) {
    clients.emplace_back([this, &block] {
      ClientConnection c = From("127.0.0.1");
      auto buffer = std::make_unique<ResponseBuffer>();
      for (int i = 0; i < kBlocks; ++i) {
        connections_->WalkRequests(&c, block.data(), static_cast<long>(block.size()), buffer.get());
      }
      connections_->LogDroppedLines(&c);
    });
  }
  for (std::thread& t : clients) t.join();
  const std::string log = Log();
  EXPECT_EQ(CountOf(log, "Received unknown message type (9) from 127.0.0.1.\n"),
            static_cast<int>(kLogBurstLines));
  long counted = 0;
  const std::string dropped = "Dropped ";
  for (std::size_t pos = log.find(dropped); pos != std::string::npos;
       pos = log.find(dropped, pos + 1)) {
    counted += std::stol(log.substr(pos + dropped.size()));
  }
  EXPECT_EQ(counted, kClients * kBlocks * 341L - static_cast<long>(kLogBurstLines));
  EXPECT_LE(CountOf(log, dropped), kClients) << "at most one count a close";
}

TEST_F(WalkTest, SendToAClosedClientLogsAndNeverRaisesSigpipe) {
  line_.client.Close();
  // The first sends may still be taken by the kernel; the peer's reset then
  // fails the later ones. None of this may raise SIGPIPE.
  for (int i = 0; i < 20; ++i) {
    clock_.Advance(1000);
    Walk({3, 0, 1});
  }
  EXPECT_NE(Log().find("Error processing UpdateData request.\n"), std::string::npos) << Log();
}

}  // namespace
