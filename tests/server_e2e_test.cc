// The server end to end: the built module driven through its slots as a
// host drives it, with clients on real loopback sockets.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "pitwall/protocol.h"
#include "pitwall/scoring_record.h"
#include "platform/clock.h"
#include "tests/plugin_harness.h"
#include "tests/wire_client.h"

namespace {

// The handshake answer is always these 8 bytes: version 1, status ok or full.
const Bytes kHandshakeOk = {8, 0, 0, 0, 1, 0, 0, 0};
const Bytes kHandshakeFull = {8, 0, 0, 0, 1, 0, 4, 0};
const std::string kClientClosed = "Connection closed by client (127.0.0.1).\n";

// A change made in the millisecond of an answer is stamped a millisecond
// later, so that the next answer reports it. Waits until the clock has
// reached every stamp made so far: the next answer then also consumes them.
void WaitPastTheStamps() {
  const std::uint32_t stamped_by = MonotonicMillis() + 1;
  while (static_cast<std::int32_t>(MonotonicMillis() - stamped_by) < 0) SleepMillis(1);
}

class ServerE2eTest : public ::testing::Test {
 protected:
  void Configure(std::uint16_t starting_port) {
    host_.dir().Write("PitwallFeedPlugin.ini",
                      "[GENERAL]\nPort=" + std::to_string(starting_port) + "\n");
  }
  // Starts the server on a port that was free, configured through the file.
  void StartOnFreePort() {
    port_ = FreePort();
    ASSERT_NE(port_, 0);
    Configure(port_);
    Start();
  }
  void Start() {
    plugin_ = host_.CreatePlugin();
    ASSERT_NE(plugin_, nullptr);
    plugin_->Startup();
  }
  std::string Log(int port = 0) const {
    const std::string text =
        host_.dir().ReadText("PitwallFeedPlugin_" + std::to_string(port ? port : port_) + ".log");
    return text == "<missing>" ? "" : text;
  }
  // Waits for `needle` to be logged; a line that never comes fails the test.
  void WaitForLog(const std::string& needle) {
    EXPECT_NE(WaitForText([this] { return Log(); }, needle).find(needle), std::string::npos)
        << "never logged: " << needle;
  }
  WireClient Connect() {
    WireClient c;
    EXPECT_TRUE(c.Connect(port_));
    return c;
  }
  // Sends one request and reads its answer.
  Bytes Ask(WireClient& c, std::uint8_t type) {
    Bytes answer;
    EXPECT_TRUE(c.Request(type));
    EXPECT_TRUE(c.ReadMessage(&answer)) << "no answer to type " << int{type};
    return answer;
  }
  std::vector<std::string> LogFiles() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(host_.dir().path())) {
      const std::string name = e.path().filename().string();
      if (name.rfind("PitwallFeedPlugin_", 0) == 0) names.push_back(name);
    }
    return names;
  }
  // Holds `count` listening ports in a row, with the port after them free,
  // and starts the server configured to begin at the first of them; returns
  // that port (0, and no start, when no such row was found).
  std::uint16_t StartOnHeldPorts(int count) {
    for (int tries = 0; tries < 200; ++tries) {
      held_.clear();
      const std::uint16_t p = FreePort();
      if (p == 0 || p >= 65535 - count) continue;
      bool all = true;
      for (int i = 0; i < count && all; ++i) {
        held_.push_back(OpenTcpSocket());
        all = BindIPv4(held_.back().get(), 0, static_cast<std::uint16_t>(p + i)) &&
              Listen(held_.back().get(), 1);
      }
      Socket next = OpenTcpSocket();
      if (all && BindIPv4(next.get(), 0, static_cast<std::uint16_t>(p + count))) {
        next.Close();
        Configure(p);
        Start();
        return p;
      }
    }
    return 0;
  }

  PluginHarness host_;
  InternalsPluginV3* plugin_ = nullptr;
  std::uint16_t port_ = 0;
  std::vector<Socket> held_;
};

TEST_F(ServerE2eTest, CreatesItsConfigurationLogsFromTheFirstBindOnAndStartsOnce) {
  Start();  // no configuration file: the default starting port
  EXPECT_EQ(host_.dir().ReadText("PitwallFeedPlugin.ini"), "[GENERAL]\nPort=34647\n");
  const auto files = LogFiles();
  ASSERT_EQ(files.size(), 1u);
  const int bound = std::stoi(files[0].substr(18));
  EXPECT_GE(bound, 34647);
  EXPECT_LE(bound, 34666);
  // Every line before the bind was dropped; a second start is refused.
  plugin_->Startup();
  const std::string started = "Bound to port " + std::to_string(bound) +
                              ".\nWaiting for connections...\n"
                              "Server start ignored: the server was already started.\n";
  EXPECT_EQ(Log(bound), started);
  plugin_->Shutdown();
  // The accept thread logs its failed accept only if the stop found it
  // waiting in accept.
  std::string log = Log(bound);
  const std::string accept_line = "ERROR: accept() failed.\n";
  if (log.find(accept_line) != std::string::npos)
    log.erase(log.find(accept_line), accept_line.size());
  EXPECT_EQ(log, started + "Server shutdown.\n");
}

TEST_F(ServerE2eTest, BusyStartingPortMovesToTheNextOne) {
  const std::uint16_t start = StartOnHeldPorts(1);
  ASSERT_NE(start, 0);
  port_ = static_cast<std::uint16_t>(start + 1);
  EXPECT_EQ(LogFiles(),
            std::vector<std::string>{"PitwallFeedPlugin_" + std::to_string(port_) + ".log"});
  EXPECT_EQ(Log(), "Bound to port " + std::to_string(port_) + ".\nWaiting for connections...\n");
  WireClient c = Connect();
  EXPECT_EQ(Ask(c, 0), kHandshakeOk);
}

TEST_F(ServerE2eTest, AllTwentyPortsBusyLeavesNoListenerAndOneFileSayingWhy) {
  const std::uint16_t start = StartOnHeldPorts(20);
  ASSERT_NE(start, 0);
  ScoringRecordWriter w(3);
  plugin_->UpdateScoring(w.record());  // the snapshot exists and takes it
  plugin_->Shutdown();
  EXPECT_TRUE(LogFiles().empty()) << "nothing was bound, so there is no port's log";
  EXPECT_EQ(host_.dir().ReadText("PitwallFeedPlugin.log"),
            "Server not started: no port from " + std::to_string(start) + " to " +
                std::to_string(start + 19) +
                " could be bound (each busy or not allowed). Set Port= in PitwallFeedPlugin.ini "
                "to another starting port.\n");
}

TEST_F(ServerE2eTest, ALogThatCannotBeWrittenChangesNothingElse) {
  // A folder where the log file should be: every write fails.
  port_ = FreePort();
  ASSERT_NE(port_, 0);
  ASSERT_TRUE(std::filesystem::create_directory(
      host_.dir().File("PitwallFeedPlugin_" + std::to_string(port_) + ".log")));
  Configure(port_);
  Start();
  ScoringRecordWriter w(3);
  plugin_->UpdateScoring(w.record());
  WireClient c = Connect();
  EXPECT_EQ(Ask(c, 0), kHandshakeOk);
  EXPECT_EQ(Ask(c, 3).size(), 4u + 3u * 33u) << "the drivers of the update";
  // A flood of bad requests still answers nothing and closes nothing.
  Bytes flood;
  for (int i = 0; i < 300; ++i) flood.insert(flood.end(), {3, 0, 9});
  ASSERT_TRUE(c.Send(flood));
  EXPECT_EQ(Ask(c, 1).size(), 4u + 20u + 3u * 48u);
  c.Close();
  plugin_->Shutdown();
  EXPECT_TRUE(std::filesystem::is_directory(
      host_.dir().File("PitwallFeedPlugin_" + std::to_string(port_) + ".log")));
}

TEST_F(ServerE2eTest, HandshakeStatusAndAdmissionWithALimitOfOne) {
  StartOnFreePort();
  WireClient a = Connect();
  EXPECT_EQ(Ask(a, 0), kHandshakeOk);
  WaitForLog("Accepted connection from 127.0.0.1. 1/1 active connection(s).\n");

  WireClient b = Connect();
  EXPECT_EQ(Ask(b, 0), kHandshakeFull) << "admitted above the limit";
  EXPECT_EQ(Ask(a, 0), kHandshakeFull) << "every client is told while full";
  WaitForLog("Accepted connection from 127.0.0.1. 2/1 active connection(s).\n");

  WireClient c = Connect();
  EXPECT_TRUE(c.WaitClosed()) << "a third client is closed at once";

  b.Close();
  WaitForLog(kClientClosed);
  WireClient d = Connect();
  EXPECT_EQ(Ask(d, 0), kHandshakeFull) << "admitted again once one left";
  a.Close();
  EXPECT_EQ(CountOf(WaitForCount([this] { return Log(); }, kClientClosed, 2), kClientClosed), 2);
  EXPECT_EQ(Ask(d, 0), kHandshakeOk);
  EXPECT_EQ(Log().find("3/1"), std::string::npos) << "the refused client logs nothing";
  plugin_->Shutdown();
}

TEST_F(ServerE2eTest, ChangeMasksAcrossAConnection) {
  StartOnFreePort();
  ScoringRecordWriter w(2);
  w.SetTrackName("Pitwall Ring");
  plugin_->SessionStart();
  plugin_->UpdateScoring(w.record());

  WireClient c = Connect();
  EXPECT_EQ(Ask(c, 1)[3], 0x1F) << "first answer on a connection";
  EXPECT_EQ(Ask(c, 1)[3], 0) << "nothing changed since";
  w.SetVehicles(3);
  plugin_->UpdateScoring(w.record());
  WaitPastTheStamps();
  EXPECT_EQ(Ask(c, 3)[3], kChangeVehicles);
  plugin_->SessionStart();
  WaitPastTheStamps();
  EXPECT_EQ(Ask(c, 2)[3], kChangeSession);
  EXPECT_EQ(Ask(c, 2)[3], 0);

  // A handshake first consumes the mask without carrying it.
  c.Close();
  WaitForLog(kClientClosed);
  WireClient d = Connect();
  EXPECT_EQ(Ask(d, 0), kHandshakeOk);
  EXPECT_EQ(Ask(d, 2)[3], 0);
}

TEST_F(ServerE2eTest, AnswersByteForByteForNoneAFewAndAllVehicles) {
  StartOnFreePort();
  WireClient c = Connect();

  // Before any update: zeros, with no fastest lap; the first answer on a
  // connection carries every change.
  Bytes session(84, 0);
  session[0] = 84;
  session[2] = 2;
  session[3] = 0x1F;
  EXPECT_EQ(Ask(c, 2), session);
  EXPECT_EQ(Ask(c, 3), (Bytes{4, 0, 3, 0}));
  EXPECT_EQ(Ask(c, 1), (Bytes{24, 0, 1, 0, 0,    0,    0,    0,    0, 0, 0, 0,
                              0,  0, 0, 0, 0x00, 0x00, 0x80, 0xBF, 0, 0, 0, 0}));

  ScoringRecordWriter w(3);
  w.SetTrackName("Pitwall Ring");
  w.SetSession(4);
  w.SetCurrentTime(2.0f);
  w.SetMaxLaps(10);
  for (int i = 0; i < 3; ++i) {
    auto v = w.vehicle(i);
    v.SetDriverName(std::string(1, static_cast<char>('A' + i)));
    v.SetPlace(static_cast<std::uint8_t>(3 - i));
    v.SetLaps(static_cast<std::int16_t>(i));
    v.SetBestLap(90.0f - static_cast<float>(i));
    v.SetSector(static_cast<std::int8_t>(i));
  }
  plugin_->UpdateScoring(w.record());
  WaitPastTheStamps();  // so that the session answer takes the whole mask
  session[3] = kChangeVehicles;
  std::memcpy(&session[4], "Pitwall Ring", 12);
  session[4 + 64] = 4;
  session[4 + 72] = 10;
  EXPECT_EQ(Ask(c, 2), session);

  Bytes expected_info = {103, 0, 3, 0};
  for (int i = 0; i < 3; ++i) {
    Bytes record(33, 0);
    record[0] = static_cast<std::uint8_t>(i);
    record[1] = static_cast<std::uint8_t>('A' + i);
    expected_info.insert(expected_info.end(), record.begin(), record.end());
  }
  EXPECT_EQ(Ask(c, 3), expected_info);

  // The records themselves are timing_data_test.cc's.
  const Bytes update = Ask(c, 1);
  ASSERT_EQ(update.size(), 24u + 3 * 48u);
  EXPECT_EQ(
      Bytes(update.begin(), update.begin() + 24),
      (Bytes{168, 0, 1, 0,    1,    0,    0,    0, 0x00, 0x00, 0x00, 0x40, 3,
             0,   0, 0, 0x00, 0x00, 0xB0, 0x42, 2, 0,    0,    0}));  // fastest 88.0 by vehicle 2
  EXPECT_EQ(update[24 + 48 * 2 + 8], 1) << "the third record's place";

  // Asked again within their intervals: held back to the end of the block,
  // then answered from the new state.
  w.SetVehicles(255);
  plugin_->UpdateScoring(w.record());
  const Bytes info = Ask(c, 3);
  ASSERT_EQ(info.size(), 8419u);
  EXPECT_EQ(info[0] | (info[1] << 8), 8419);
  EXPECT_EQ(info[4 + 33 * 254], 254);
  const Bytes big = Ask(c, 1);
  ASSERT_EQ(big.size(), 12264u);
  EXPECT_EQ(big[0] | (big[1] << 8), 12264);
  EXPECT_EQ(big[12], 255);
  EXPECT_EQ(big[24 + 48 * 254], 254);
}

TEST_F(ServerE2eTest, BadRequestsAreLoggedAndTheServerKeepsServing) {
  StartOnFreePort();
  // An unknown type and a wrong length: logged, and nothing is sent.
  WireClient c = Connect();
  ASSERT_TRUE(c.Send({3, 0, 9, 0, 0, 1}));
  WaitForLog(
      "Received unknown message type (9) from 127.0.0.1.\n"
      "Received message(s) with wrong length from 127.0.0.1.\n");
  EXPECT_TRUE(c.Quiet(200));
  EXPECT_EQ(Ask(c, 0), kHandshakeOk);

  // Garbage, then a reset in the middle of big answers, from other clients.
  c.Close();
  WaitForLog(kClientClosed);
  ScoringRecordWriter w(255);
  plugin_->UpdateScoring(w.record());
  {
    WireClient g = Connect();
    // Admitted before the reset: a connection reset while it waits to be
    // accepted is never served (Winsock's accept() then fails).
    WaitForCount([this] { return Log(); }, "Accepted connection", 2);
    Bytes junk(64 * 1024);
    for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<std::uint8_t>(i * 131 + 7);
    g.Send(junk);
    for (int i = 0; i < 50; ++i) g.Send({3, 0, 1, 3, 0, 3, 3, 0, 2});
    EXPECT_TRUE(SetResetOnClose(g.handle())) << "close with a reset";
  }
  EXPECT_EQ(CountOf(WaitForCount([this] { return Log(); }, kClientClosed, 2), kClientClosed), 2)
      << Log();
  WireClient fresh = Connect();
  EXPECT_EQ(Ask(fresh, 0), kHandshakeOk);
}

// Text from the host (a track name in a scoring update, a folder name in its
// tracks tree) that holds line breaks or terminal controls forges no line:
// each logged event is one line, with those characters escaped.
TEST_F(ServerE2eTest, TrackNamesAndPathsFromTheHostCannotForgeLogLines) {
  const std::string hostile =
      "Ring\nBound to port 1. (forged line)\r\x1B[2J\xC2\x9B"
      "1m";
  const std::string utf8 = "N\xC3\xBCrburgring \xCE\xA9";
  std::vector<std::string> names = {hostile, utf8};
  std::string expected_lines =
      "Failed to locate AIW for Track: Ring\\x0ABound to port 1. (forged line)\\x0D\\x1B[2J"
      "\\xC2\\x9B1m\n"
      "Failed to locate AIW for Track: " +
      utf8 + "\n";
#ifndef _WIN32
  // Names that no Windows file system allows: the folder of a track whose
  // waypoint file cannot be read.
  const std::string folder = "GameData/Locations/bad\nBound to port 1.\x1B[2J";
  host_.dir().Write(folder + "/evil.gdb", "TrackName = Evil\n");
  host_.dir().Write(folder + "/evil.aiw", "[Header]\nno waypoints here\n");
  names.push_back("Evil");
  expected_lines +=
      "Error reading AIW file: GameData/Locations/bad\\x0ABound to port 1.\\x1B[2J/evil.aiw\n";
#endif
  StartOnFreePort();
  ScoringRecordWriter w(1);
  for (std::size_t i = 0; i < names.size(); ++i) {
    w.SetTrackName(names[i]);
    plugin_->SessionStart();
    plugin_->UpdateScoring(w.record());
    // One load at a time, so the lines come in this order.
    WaitForCount([this] { return Log(); }, "AIW", static_cast<int>(i) + 1);
  }
  plugin_->Shutdown();
  std::string log = Log();
  const std::string accept_line = "ERROR: accept() failed.\n";
  if (log.find(accept_line) != std::string::npos)
    log.erase(log.find(accept_line), accept_line.size());
  EXPECT_EQ(log, "Bound to port " + std::to_string(port_) + ".\nWaiting for connections...\n" +
                     expected_lines + "Server shutdown.\n");
}

TEST_F(ServerE2eTest, ShutdownEndsEveryThreadWithClientsConnected) {
  StartOnFreePort();
  ScoringRecordWriter w(255);
  plugin_->UpdateScoring(w.record());

  WireClient idle = Connect();
  EXPECT_EQ(Ask(idle, 0).size(), 8u);
  // A client that asks for big answers and never reads: the server's send
  // to it fills the socket buffers and blocks.
  WireClient stuck;
  ASSERT_TRUE(stuck.Connect(port_));
  EXPECT_TRUE(SetReceiveBufferSize(stuck.handle(), 4096));
  for (int i = 0; i < 400; ++i) {
    stuck.Send({3, 0, 1});
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  plugin_->Shutdown();  // must return: a hang here fails the test by its time-out
  EXPECT_TRUE(idle.WaitClosed());
  WireClient late;
  EXPECT_FALSE(late.Connect(port_)) << "the listener is closed";
  plugin_->Shutdown();
  plugin_->Detach();
  EXPECT_EQ(CountOf(Log(), "Server shutdown.\n"), 1) << "later stops do nothing";
}

TEST_F(ServerE2eTest, UnloadWithoutShutdownStopsTheServer) {
  StartOnFreePort();
  WireClient c = Connect();
  EXPECT_EQ(Ask(c, 0), kHandshakeOk);
  host_.DestroyPlugin();  // frees the object only: the server keeps running
  EXPECT_EQ(Ask(c, 0), kHandshakeOk);
#ifndef _WIN32
  // The unload stops the server and joins its threads before the code goes
  // (a hang fails the test by its time-out). On Windows the threads keep
  // the module mapped and serving instead: unload_windows_test.cc.
  host_.Unload();
  EXPECT_TRUE(c.WaitClosed());
  EXPECT_EQ(CountOf(Log(), kClientClosed), 1) << "the client's thread ran to its end\n" << Log();
  WireClient late;
  EXPECT_FALSE(late.Connect(port_)) << "the listener is closed";
#endif
}

}  // namespace
