// The server end to end: the built module driven through its slots as a
// host drives it, with clients on real loopback sockets.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "pitwall/protocol.h"
#include "pitwall/scoring_record.h"
#include "tests/plugin_harness.h"
#include "tests/wire_client.h"

namespace {

class ServerE2eTest : public ::testing::Test {
 protected:
  // Starts the server on a port that was free, configured through the file.
  void StartOnFreePort() {
    port_ = FreePort();
    ASSERT_NE(port_, 0);
    host_.dir().Write("PitwallFeedPlugin.ini", "[GENERAL]\nPort=" + std::to_string(port_) + "\n");
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
  std::string WaitForLog(const std::string& needle) {
    return WaitForText([this] { return Log(); }, needle);
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

  PluginHarness host_;
  InternalsPluginV3* plugin_ = nullptr;
  std::uint16_t port_ = 0;
};

TEST_F(ServerE2eTest, CreatesItsConfigurationAndLogsFromTheFirstBindOn) {
  Start();  // no configuration file: the default starting port
  EXPECT_EQ(host_.dir().ReadText("PitwallFeedPlugin.ini"), "[GENERAL]\nPort=34647\n");
  const auto files = LogFiles();
  ASSERT_EQ(files.size(), 1u);
  const int bound = std::stoi(files[0].substr(18));
  EXPECT_GE(bound, 34647);
  EXPECT_LE(bound, 34666);
  // Every line before the bind was dropped.
  EXPECT_EQ(Log(bound),
            "Bound to port " + std::to_string(bound) + ".\nWaiting for connections...\n");
  plugin_->Shutdown();
  // The accept thread logs its failed accept only if the stop found it
  // waiting in accept.
  std::string log = Log(bound);
  const std::string accept_line = "ERROR: accept() failed.\n";
  if (log.find(accept_line) != std::string::npos)
    log.erase(log.find(accept_line), accept_line.size());
  EXPECT_EQ(log, "Bound to port " + std::to_string(bound) +
                     ".\nWaiting for connections...\nServer shutdown.\n");
}

TEST_F(ServerE2eTest, BusyStartingPortMovesToTheNextOne) {
  // Hold a port, and make sure the one after it is free.
  Socket held;
  std::uint16_t start = 0;
  for (int tries = 0; tries < 200 && start == 0; ++tries) {
    held = OpenTcpSocket();
    const std::uint16_t p = FreePort();
    if (p == 0 || p == 65535 || !BindIPv4(held.get(), 0, p) || !Listen(held.get(), 1)) continue;
    Socket probe = OpenTcpSocket();
    if (BindIPv4(probe.get(), 0, static_cast<std::uint16_t>(p + 1))) start = p;
  }
  ASSERT_NE(start, 0);
  host_.dir().Write("PitwallFeedPlugin.ini", "[GENERAL]\nPort=" + std::to_string(start) + "\n");
  Start();
  port_ = static_cast<std::uint16_t>(start + 1);
  EXPECT_EQ(LogFiles(),
            std::vector<std::string>{"PitwallFeedPlugin_" + std::to_string(port_) + ".log"});
  EXPECT_EQ(Log(), "Bound to port " + std::to_string(port_) + ".\nWaiting for connections...\n");
  WireClient c = Connect();
  EXPECT_EQ(Ask(c, 0), (Bytes{8, 0, 0, 0, 1, 0, 0, 0}));
}

TEST_F(ServerE2eTest, AllTwentyPortsBusyLeavesNoListenerAndOneFileSayingWhy) {
  std::vector<Socket> held;
  std::uint16_t start = 0;
  for (int tries = 0; tries < 200 && start == 0; ++tries) {
    held.clear();
    const std::uint16_t p = FreePort();
    if (p == 0 || p > 65535 - 20) continue;
    bool all = true;
    for (int i = 0; i < 20 && all; ++i) {
      held.push_back(OpenTcpSocket());
      all = BindIPv4(held.back().get(), 0, static_cast<std::uint16_t>(p + i)) &&
            Listen(held.back().get(), 1);
    }
    if (all) start = p;
  }
  ASSERT_NE(start, 0);
  host_.dir().Write("PitwallFeedPlugin.ini", "[GENERAL]\nPort=" + std::to_string(start) + "\n");
  Start();
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
  host_.dir().Write("PitwallFeedPlugin.ini", "[GENERAL]\nPort=" + std::to_string(port_) + "\n");
  Start();
  ScoringRecordWriter w(3);
  plugin_->UpdateScoring(w.record());
  WireClient c = Connect();
  EXPECT_EQ(Ask(c, 0), (Bytes{8, 0, 0, 0, 1, 0, 0, 0}));
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

TEST_F(ServerE2eTest, UnusableStartingPortsKeepTheDefault) {
  for (const char* port : {"abc", "", "0", "-5", "65530", "2147483647"}) {
    SCOPED_TRACE(port);
    PluginHarness host;
    host.dir().Write("PitwallFeedPlugin.ini", std::string("[GENERAL]\nPort=") + port + "\n");
    InternalsPluginV3* p = host.CreatePlugin();
    ASSERT_NE(p, nullptr);
    p->Startup();  // must return: at most twenty ports are tried
    p->Shutdown();
    // Served from the default port, or the next free one after it.
    std::string log_name;
    for (const auto& e : std::filesystem::directory_iterator(host.dir().path())) {
      const std::string name = e.path().filename().string();
      if (name.rfind("PitwallFeedPlugin_", 0) == 0) log_name = name;
    }
    ASSERT_FALSE(log_name.empty());
    const int bound = std::atoi(log_name.c_str() + std::strlen("PitwallFeedPlugin_"));
    EXPECT_GE(bound, 34647);
    EXPECT_LT(bound, 34647 + 20);
  }
}

TEST_F(ServerE2eTest, HandshakeStatusAndAdmissionWithALimitOfOne) {
  StartOnFreePort();
  WireClient a = Connect();
  EXPECT_EQ(Ask(a, 0), (Bytes{8, 0, 0, 0, 1, 0, 0, 0}));
  WaitForLog("Accepted connection from 127.0.0.1. 1/1 active connection(s).\n");

  WireClient b = Connect();
  EXPECT_EQ(Ask(b, 0), (Bytes{8, 0, 0, 0, 1, 0, 4, 0})) << "admitted above the limit";
  EXPECT_EQ(Ask(a, 0), (Bytes{8, 0, 0, 0, 1, 0, 4, 0})) << "every client is told while full";
  WaitForLog("Accepted connection from 127.0.0.1. 2/1 active connection(s).\n");

  WireClient c = Connect();
  EXPECT_TRUE(c.WaitClosed()) << "a third client is closed at once";

  b.Close();
  WaitForLog("Connection closed by client (127.0.0.1).\n");
  WireClient d = Connect();
  EXPECT_EQ(Ask(d, 0), (Bytes{8, 0, 0, 0, 1, 0, 4, 0})) << "admitted again once one left";
  a.Close();
  const std::string closed = "Connection closed by client (127.0.0.1).\n";
  EXPECT_EQ(CountOf(WaitForCount([this] { return Log(); }, closed, 2), closed), 2);
  EXPECT_EQ(Ask(d, 0), (Bytes{8, 0, 0, 0, 1, 0, 0, 0}));

  const std::string log = Log();
  EXPECT_EQ(log.find("3/1"), std::string::npos) << "the refused client logs nothing";
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
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  w.SetVehicles(3);
  plugin_->UpdateScoring(w.record());
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(Ask(c, 3)[3], kChangeVehicles);
  plugin_->SessionStart();
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(Ask(c, 2)[3], kChangeSession);
  EXPECT_EQ(Ask(c, 2)[3], 0);

  // A handshake first consumes the mask without carrying it.
  WireClient d;
  c.Close();
  WaitForLog("Connection closed by client (127.0.0.1).\n");
  ASSERT_TRUE(d.Connect(port_));
  EXPECT_EQ(Ask(d, 0), (Bytes{8, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(Ask(d, 2)[3], 0);
}

TEST_F(ServerE2eTest, AnswersByteForByteForNoneAFewAndAllVehicles) {
  StartOnFreePort();
  WireClient c = Connect();

  // Before any update: zeros, with no fastest lap.
  Bytes session = Ask(c, 2);
  ASSERT_EQ(session.size(), 84u);
  EXPECT_EQ(Bytes(session.begin() + 4, session.end()), Bytes(80, 0));
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
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // past every interval

  session = Ask(c, 2);
  Bytes expected_session = {84, 0, 2, 0x02};
  expected_session.resize(84, 0);
  std::memcpy(&expected_session[4], "Pitwall Ring", 12);
  expected_session[4 + 64] = 4;
  expected_session[4 + 72] = 10;
  EXPECT_EQ(session, expected_session);

  Bytes expected_info = {103, 0, 3, 0};
  for (int i = 0; i < 3; ++i) {
    Bytes record(33, 0);
    record[0] = static_cast<std::uint8_t>(i);
    record[1] = static_cast<std::uint8_t>('A' + i);
    expected_info.insert(expected_info.end(), record.begin(), record.end());
  }
  EXPECT_EQ(Ask(c, 3), expected_info);

  const Bytes update = Ask(c, 1);
  ASSERT_EQ(update.size(), 24u + 3 * 48u);
  EXPECT_EQ(
      Bytes(update.begin(), update.begin() + 24),
      (Bytes{168, 0, 1, 0,    1,    0,    0,    0, 0x00, 0x00, 0x00, 0x40, 3,
             0,   0, 0, 0x00, 0x00, 0xB0, 0x42, 2, 0,    0,    0}));  // fastest 88.0 by vehicle 2
  for (int i = 0; i < 3; ++i) {
    const std::uint8_t* r = &update[24 + 48 * static_cast<std::size_t>(i)];
    EXPECT_EQ(r[0], i);
    EXPECT_EQ(r[1], i) << "status: the sector";
    EXPECT_EQ(r[8], 3 - i) << "place";
    EXPECT_EQ(r[16], i) << "laps";
  }

  w.SetVehicles(255);
  plugin_->UpdateScoring(w.record());
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
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
  WireClient c = Connect();
  ASSERT_TRUE(c.Send({3, 0, 9}));
  WaitForLog("Received unknown message type (9) from 127.0.0.1.\n");
  ASSERT_TRUE(c.Send({0, 0, 1}));
  WaitForLog("Received message(s) with wrong length from 127.0.0.1.\n");
  EXPECT_TRUE(c.Quiet(200)) << "nothing is sent for either";
  EXPECT_EQ(Ask(c, 0), (Bytes{8, 0, 0, 0, 1, 0, 0, 0}));

  // Garbage, then a reset in the middle of big answers, from other clients.
  c.Close();
  WaitForLog("Connection closed by client (127.0.0.1).\n");
  ScoringRecordWriter w(255);
  plugin_->UpdateScoring(w.record());
  {
    WireClient g = Connect();
    Bytes junk(64 * 1024);
    for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<std::uint8_t>(i * 131 + 7);
    g.Send(junk);
    for (int i = 0; i < 50; ++i) g.Send({3, 0, 1, 3, 0, 3, 3, 0, 2});
    EXPECT_TRUE(SetResetOnClose(g.handle())) << "close with a reset";
  }
  const std::string closed = "Connection closed by client (127.0.0.1).\n";
  EXPECT_EQ(CountOf(WaitForCount([this] { return Log(); }, closed, 2), closed), 2) << Log();
  WireClient fresh = Connect();
  EXPECT_EQ(Ask(fresh, 0), (Bytes{8, 0, 0, 0, 1, 0, 0, 0}));
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
  EXPECT_NE(Log().find("Server shutdown.\n"), std::string::npos);
  WireClient late;
  EXPECT_FALSE(late.Connect(port_)) << "the listener is closed";
  plugin_->Shutdown();
  plugin_->Detach();
  EXPECT_EQ(Log().rfind("Server shutdown.\n"), Log().find("Server shutdown.\n"))
      << "later stops do nothing";
}

TEST_F(ServerE2eTest, SecondStartupIsIgnored) {
  StartOnFreePort();
  plugin_->Startup();
  EXPECT_NE(Log().find("Server start ignored: the server was already started.\n"),
            std::string::npos);
  WireClient c = Connect();
  EXPECT_EQ(Ask(c, 0).size(), 8u);
  plugin_->Shutdown();
  EXPECT_TRUE(c.WaitClosed());
}

TEST_F(ServerE2eTest, UnloadWithoutShutdownStopsTheServer) {
  StartOnFreePort();
  WireClient c = Connect();
  EXPECT_EQ(Ask(c, 0).size(), 8u);
  host_.DestroyPlugin();  // frees the object only: the server keeps running
  EXPECT_EQ(Ask(c, 0).size(), 8u);
  // The harness unloads the module at the end of the test: on Linux the
  // unload stops the server, and its threads must be gone by then (a crash
  // or hang there fails the test); on Windows the threads keep the module
  // mapped and serving (unload_windows_test.cc).
}

}  // namespace
