// The main job end to end: the test host drives the plug-in with a simulated
// race and the client library and pitwall read it over the network.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "pitwall_client.h"
#include "platform/socket.h"
#include "testing/eventually.h"
#include "testing/temp_dir.h"
#include "tests/wire_client.h"

namespace {

// A game folder copied from the sample, with the server's port set.
std::uint16_t PrepareGameDir(const TempDir& dir) {
  dir.CopyFrom(PITWALL_EXAMPLES_DIR "/game");
  const std::uint16_t port = FreePort();
  dir.Write("PitwallFeedPlugin.ini", "[GENERAL]\nPort=" + std::to_string(port) + "\n");
  return port;
}

// Waits until the plug-in of the host in `game` listens on `port`, as its
// log says.
bool WaitUntilServing(const TempDir& game, int port) {
  const std::string log = "PitwallFeedPlugin_" + std::to_string(port) + ".log";
  return Eventually(
      [&] { return game.Read(log).find("Waiting for connections...\n") != std::string::npos; },
      10000);
}

// Runs the pitwall-host binary; stops it with SIGTERM when destroyed.
class HostProcess {
 public:
  explicit HostProcess(std::vector<std::string> args) {
    args.insert(args.begin(), PITWALL_HOST_PATH);
    pid_ = fork();
    if (pid_ == 0) {
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  // Ends the host and returns its exit status (or -1).
  int Stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ~HostProcess() { Stop(); }

 private:
  pid_t pid_ = -1;
};

TEST(DemoE2eTest, ClientFollowsASimulatedRace) {
  TempDir game;
  const std::uint16_t port = PrepareGameDir(game);
  HostProcess host({"--game-dir", game.path(), "--speed", "40", "--rate", "10", "--sessions",
                    "race", "--race-laps", "8", "--seed", "7"});
  ASSERT_TRUE(WaitUntilServing(game, port));
  PitwallClient client;
  const ClientError connected = client.Connect("127.0.0.1", port);
  ASSERT_TRUE(connected.ok()) << connected.message;
  ASSERT_TRUE(client.Handshake(3000).ok());

  // The plug-in serves from Startup on; the session is known from the
  // host's first scoring update, which may come a little later.
  ClientResult<SessionAnswer> session;
  ASSERT_TRUE(Eventually(
      [&] {
        session = client.FetchSession(3000);
        return !session.ok() || !session.value.track_name.empty();
      },
      10000));
  ASSERT_TRUE(session.ok()) << session.error.message;
  EXPECT_EQ(session.value.track_name, "Pitwall Ring");
  EXPECT_EQ(session.value.session, 3);
  EXPECT_EQ(session.value.max_laps, 8);
  const auto drivers = client.FetchDrivers(3000);
  ASSERT_TRUE(drivers.ok()) << drivers.error.message;
  ASSERT_EQ(drivers.value.drivers.size(), 20u);
  EXPECT_EQ(drivers.value.drivers[0].name, "Ada Brennan");

  const auto first = client.FetchLive(3000);
  ASSERT_TRUE(first.ok()) << first.error.message;
  ASSERT_EQ(first.value.cars.size(), 20u);
  // The race goes on: places, laps and positions change.
  bool places_changed = false, laps_changed = false, moved = false;
  Eventually(
      [&] {
        const auto later = client.FetchLive(3000);
        EXPECT_TRUE(later.ok()) << later.error.message;
        EXPECT_EQ(later.value.cars.size(), 20u);
        for (std::size_t c = 0; c < 20 && c < later.value.cars.size(); ++c) {
          const CarState& a = first.value.cars[c];
          const CarState& b = later.value.cars[c];
          places_changed |= a.place != b.place;
          laps_changed |= a.laps != b.laps;
          moved |= a.x != b.x || a.z != b.z;
        }
        return !later.ok() || (places_changed && laps_changed && moved);
      },
      20000, 100);
  EXPECT_TRUE(places_changed);
  EXPECT_TRUE(laps_changed);
  EXPECT_TRUE(moved);

  // The outline the host's track gives: two strips of 748 points.
  const auto outline = client.FetchTrackOutline(10000);
  ASSERT_TRUE(outline.ok()) << outline.error.message;
  ASSERT_EQ(outline.value.strips.size(), 2u);
  EXPECT_EQ(outline.value.strips[1].points.size(), 748u);
  EXPECT_EQ(host.Stop(), 0) << "the host shuts down cleanly on SIGTERM";
}

// Runs a shell command; returns its exit status and what it printed.
int RunCommand(const std::string& command, std::string* output) {
  output->clear();
  std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof(chunk), pipe)) > 0) output->append(chunk, n);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(DemoE2eTest, HostRefusesBadUseWithAMessage) {
  struct Case {
    std::string args;
    int status;
    std::string says;  // all of it for a status of 0
  };
  TempDir empty;
  const Case cases[] = {
      {"--plugin /no/such/PitwallFeedPlugin.so", 1,
       "pitwall-host: no plug-in file at /no/such/PitwallFeedPlugin.so\n"},
      {"--game-dir /no/such/game", 1, "pitwall-host: no game folder at /no/such/game\n"},
      {"--game-dir " + empty.path(), 1, "pitwall-host: no track named 'Pitwall Ring'"},
      {"--cars 256", 2, "--cars: '256' is not a whole number from 0 to 255"},
      {"--bogus", 2, "\nrun 'pitwall-host --help' for the usage\n"},
      {"--replay /no/such/recording", 1,
       "pitwall-host: cannot open the recording /no/such/recording\n"},
      {"--sessions race,warmup", 2, "'warmup' is not practice, qualifying or race"},
      {"--version", 0, "pitwall-host 1.0\n"},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(RunCommand(std::string(PITWALL_HOST_PATH) + " " + c.args, &out), c.status) << c.args;
    if (c.status == 0) {
      EXPECT_EQ(out, c.says);
    } else {
      EXPECT_NE(out.find(c.says), std::string::npos) << c.args << "\n" << out;
    }
  }
}

// The host says which port the plug-in serves on, and that it moved when the
// configured one was taken.
TEST(DemoE2eTest, HostSaysWhichPortThePluginServes) {
  TempDir game;
  const std::uint16_t port = PrepareGameDir(game);
  const std::string run = std::string(PITWALL_HOST_PATH) + " --game-dir " + game.path() +
                          " --duration 0.3 --sessions race";
  std::string out;
  ASSERT_EQ(RunCommand(run, &out), 0) << out;
  EXPECT_NE(out.find("pitwall-host: the plug-in serves on port " + std::to_string(port) + "\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("pitwall-host: done after "), std::string::npos) << out;

  Socket taken = OpenTcpSocket();
  ASSERT_TRUE(taken.valid() && BindIPv4(taken.get(), 0, port) && Listen(taken.get(), 1));
  ASSERT_EQ(RunCommand(run, &out), 0) << out;
  EXPECT_NE(out.find("pitwall-host: the plug-in serves on port " + std::to_string(port + 1) +
                     " (port " + std::to_string(port) + " was busy)\n"),
            std::string::npos)
      << out;
}

TEST(DemoE2eTest, PitwallCommandsAgainstARunningHost) {
  TempDir game;
  const std::uint16_t port = PrepareGameDir(game);
  HostProcess host({"--game-dir", game.path(), "--speed", "20", "--sessions", "race"});
  const std::string at = " 127.0.0.1:" + std::to_string(port);
  ASSERT_TRUE(WaitUntilServing(game, port));

  std::string out;
  ASSERT_EQ(RunCommand(std::string(PITWALL_CLI_PATH) + " dump --json --count 12" + at, &out), 0)
      << out;
  // The timing state, one object per live update, with the session known.
  int lines = 0;
  for (std::size_t pos = 0, end; (end = out.find('\n', pos)) != std::string::npos; pos = end + 1) {
    const std::string line = out.substr(pos, end - pos);
    if (line.rfind("pitwall:", 0) == 0) continue;  // progress on stderr
    ++lines;
    const nlohmann::json state = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    ASSERT_TRUE(state.is_object()) << line.substr(0, 200);
    EXPECT_EQ(state.value("format", ""), "pitwall-timing");
    EXPECT_TRUE(state["session"].is_object()) << line.substr(0, 200);
    EXPECT_EQ(state["cars"].size(), 20u);
  }
  EXPECT_EQ(lines, 12);

  const std::string svg = game.File("track.svg");
  ASSERT_EQ(RunCommand(std::string(PITWALL_CLI_PATH) + " track --svg " + svg + at, &out), 0) << out;
  const std::string picture = game.Read("track.svg");
  EXPECT_EQ(picture.rfind("<?xml", 0), 0u);
  EXPECT_NE(picture.find("</svg>"), std::string::npos);
  EXPECT_EQ(CountOf(picture, "<polygon"), 2) << "one band a strip";
  EXPECT_EQ(CountOf(picture, "<circle class=\"car\""), 20) << "one dot a car";
  EXPECT_EQ(CountOf(picture, "class=\"legend\""), 20) << "one legend row a car";

  // The exit status of every command: 3 while the server is full (one
  // client is inside the limit), 1 without a server or with a host name that
  // does not resolve (at once, without retrying), 2 on bad use.
  WireClient first;
  ASSERT_TRUE(first.Connect(port));
  Bytes hello;
  ASSERT_TRUE(first.Request(0) && first.ReadMessage(&hello));
  const std::string cli = PITWALL_CLI_PATH;
  const std::string nobody = " 127.0.0.1:" + std::to_string(FreePort());
  const std::string svg_file = " --svg " + game.File("other.svg");
  struct ExitCase {
    std::string args;
    int status;
    std::string says;
  };
  const ExitCase kExits[] = {
      {"watch --seconds 30" + at, 3, "MaxConnections= in the [GENERAL] section"},
      {"dump --count 1" + at, 3, "server full: 127.0.0.1:"},
      {"track" + svg_file + at, 3, "server full"},
      {"watch --seconds 2" + nobody, 1, "no live timing received from"},
      {"dump --count 1" + nobody, 1, "connection refused"},
      {"track" + svg_file + nobody, 1, "connection refused"},
      {"watch --seconds 600 no-such-host.invalid", 1,
       "unknown host 'no-such-host.invalid' (no IPv4 address found for it)"},
      {"dump no-such-host.invalid", 1, "unknown host"},
      {"track" + svg_file + " no-such-host.invalid", 1, "unknown host"},
      // The wording of every mistake is cli_options_test.cc's.
      {"frobnicate", 2, "unknown command 'frobnicate'"},
      {"--version", 0, "pitwall 1.0\n"},
  };
  for (const ExitCase& c : kExits) {
    EXPECT_EQ(RunCommand(cli + " " + c.args, &out), c.status) << c.args << "\n" << out;
    EXPECT_NE(out.find(c.says), std::string::npos) << c.args << "\n" << out;
    if (c.status == 3 || c.args.find(".invalid") != std::string::npos) {
      EXPECT_EQ(out.find("retrying"), std::string::npos) << c.args << "\n" << out;
    }
  }
  first.Close();
  EXPECT_EQ(host.Stop(), 0);
}

// Binds `socket` to any address and `port` without address reuse, so that
// no other bind can share the port (the plug-in's own would with reuse);
// without a listen, a connection to it is refused.
bool HoldPort(NativeSocket socket, int port) {
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(static_cast<std::uint16_t>(port));
  return bind(socket, reinterpret_cast<const sockaddr*>(&any), sizeof(any)) == 0;
}

// Holds a row of `count` ports that were all free (see HoldPort) in *held;
// returns the first of them, or 0 when no such row was found.
std::uint16_t HoldFreeRow(int count, std::vector<Socket>* held) {
  for (int tries = 0; tries < 200; ++tries) {
    held->clear();
    const std::uint16_t start = FreePort();
    if (start == 0 || start > 65535 - count) continue;
    bool all = true;
    for (int i = 0; i < count && all; ++i) {
      held->push_back(OpenTcpSocket());
      all = HoldPort(held->back().get(), start + i);
    }
    if (all) return start;
  }
  held->clear();
  return 0;
}

// The port the plug-in of the host in `game` serves on, as the name of its
// log says, once it is serving; 0 when it never does.
int ServingPort(const TempDir& game) {
  int port = 0;
  Eventually(
      [&] {
        for (const auto& e : std::filesystem::directory_iterator(game.path())) {
          const std::string name = e.path().filename().string();
          if (name.rfind("PitwallFeedPlugin_", 0) == 0 && e.path().extension() == ".log" &&
              game.Read(name).find("Waiting for connections...\n") != std::string::npos) {
            port = std::stoi(name.substr(18));
          }
        }
        return port != 0;
      },
      10000);
  return port;
}

// A client given no port looks for the server on its twenty ports (as
// pitwall does, from the default port); it says which it tried, and gives
// up on a host that does not answer. The twenty are a row this test holds
// itself, so another server on the machine changes nothing.
TEST(DemoE2eTest, ClientsLookForTheServerOnItsTwentyPortsAndNeverHang) {
  std::vector<Socket> held;
  const std::uint16_t first = HoldFreeRow(kPortsToTry, &held);
  ASSERT_NE(first, 0) << "no row of twenty free ports";
  const std::string last = std::to_string(first + kPortsToTry - 1);
  PitwallClient client;
  const auto none = ConnectToServer(&client, "127.0.0.1", first, kPortsToTry, 3000);
  EXPECT_EQ(none.error.message, "no PitwallFeed server at 127.0.0.1 on ports " +
                                    std::to_string(first) + " to " + last +
                                    " (connection refused on each)");

  // The first two ports still held (they refuse): the plug-in configured
  // for the first moves on to the third (or a later one, should another
  // program take the third in the moment it is let go), and the client
  // finds it there.
  held.resize(2);
  TempDir game;
  game.CopyFrom(PITWALL_EXAMPLES_DIR "/game");
  game.Write("PitwallFeedPlugin.ini", "[GENERAL]\nPort=" + std::to_string(first) + "\n");
  HostProcess host({"--game-dir", game.path(), "--speed", "20", "--sessions", "race"});
  const int serving = ServingPort(game);
  ASSERT_GE(serving, first + 2);
  ASSERT_LT(serving, first + kPortsToTry);
  const auto found = ConnectToServer(&client, "localhost", first, kPortsToTry, 3000);
  ASSERT_TRUE(found.ok()) << found.error.message;
  EXPECT_EQ(found.value.status, 0);
  EXPECT_EQ(found.value.version, 1);
  EXPECT_EQ(client.peer(), "localhost:" + std::to_string(serving));
  client.Close();
  EXPECT_EQ(host.Stop(), 0);

  const std::string cli = PITWALL_CLI_PATH;
  std::string out;
  // A host that takes connections into a full queue and never answers: the
  // connect gives up after its time-out with a message saying so.
  Socket listener = OpenTcpSocket();
  ASSERT_TRUE(BindIPv4(listener.get(), LoopbackIPv4(), 0) && Listen(listener.get(), 0));
  const std::uint16_t port = LocalPort(listener.get());
  std::vector<Socket> queued;
  for (int i = 0; i < 8; ++i) {
    Socket s = ConnectIPv4Within(LoopbackIPv4(), port, 300);
    if (!s.valid()) break;
    queued.push_back(std::move(s));
  }
  const std::string at = "127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(RunCommand(cli + " dump --count 1 " + at, &out), 1);
  EXPECT_NE(out.find("pitwall: cannot connect to " + at + ": no answer within 5 s\n"),
            std::string::npos)
      << out;
}

// pitwall given no port looks on the server's twenty default ports, from
// 34647. The test holds them itself for the run, so that no server can come
// up there meanwhile; with another server listening on one of them it has
// nothing to check and is skipped.
TEST(DemoE2eTest, PitwallWithoutAPortLooksOnTheTwentyDefaultPorts) {
  std::vector<Socket> held;
  int taken = -1;
  bool listened = false;
  // The ports lie in the system's range for outgoing connections, so an
  // earlier connection may still hold one in TIME_WAIT, which lasts a
  // minute: wait for that, but not for a listener.
  Eventually(
      [&] {
        held.clear();
        for (taken = kDefaultPort; taken < kDefaultPort + kPortsToTry; ++taken) {
          held.push_back(OpenTcpSocket());
          if (!HoldPort(held.back().get(), taken)) break;
        }
        if (taken == kDefaultPort + kPortsToTry) return true;
        listened =
            ConnectIPv4Within(LoopbackIPv4(), static_cast<std::uint16_t>(taken), 1000).valid();
        return listened;
      },
      75000, 200);
  if (listened) GTEST_SKIP() << "a server listens on port " << taken << " on this machine";
  ASSERT_EQ(taken, kDefaultPort + kPortsToTry) << "port " << taken << " stayed in use";
  std::string out;
  EXPECT_EQ(RunCommand(std::string(PITWALL_CLI_PATH) + " dump --count 1 127.0.0.1", &out), 1);
  EXPECT_NE(out.find("pitwall: no PitwallFeed server at 127.0.0.1 on ports 34647 to 34666 "
                     "(connection refused on each)\n"),
            std::string::npos)
      << out;
}

}  // namespace
