#include "web_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "testing/eventually.h"
#include "testing/temp_dir.h"
#include "tests/wire_client.h"
#include "tools/web/delay_test_clock.h"
#include "tools/web/race_feed.h"
#include "tools/web/state_change.h"
#include "web_bridge.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kPage[] = "<!doctype html><title>page</title>\n";
constexpr char kScript[] = "\"use strict\";\n";

// One HTTP client connection, bytes as they are.
class Client {
 public:
  explicit Client(std::uint16_t port) : socket_(ConnectIPv4(LoopbackIPv4(), port)) {}
  bool connected() const { return socket_.valid(); }
  bool Send(const std::string& text) {
    for (std::size_t sent = 0; sent < text.size();) {
      const long n = SendSome(socket_.get(), text.data() + sent, text.size() - sent);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }
  // What arrives until the server closes or `timeout_ms` pass; closed()
  // tells which.
  std::string ReadToEnd(int timeout_ms = 5000) { return ReadUntil("", timeout_ms); }
  // What arrives until it holds `needle` (empty: until closed).
  std::string ReadUntil(const std::string& needle, int timeout_ms = 5000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (needle.empty() || got_.find(needle) == std::string::npos) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      char buffer[16384];
      const long n =
          RecvSomeWithin(socket_.get(), buffer, sizeof(buffer), static_cast<std::uint32_t>(left));
      if (n == 0 || (n < 0 && LastSocketError() != SocketError::kTimedOut)) {
        closed_ = true;
        break;
      }
      if (n > 0) got_.append(buffer, static_cast<std::size_t>(n));
    }
    return got_;
  }
  bool closed() const { return closed_; }
  Socket& socket() { return socket_; }

 private:
  Socket socket_;
  std::string got_;
  bool closed_ = false;
};

int StatusOf(const std::string& answer) {
  int status = 0;
  return std::sscanf(answer.c_str(), "HTTP/1.1 %d ", &status) == 1 ? status : 0;
}
std::string HeadOf(const std::string& answer) { return answer.substr(0, answer.find("\r\n\r\n")); }
std::string BodyOf(const std::string& answer) {
  const std::size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? "" : answer.substr(end + 4);
}
std::optional<std::string> FieldOf(const std::string& answer, const std::string& name) {
  const std::string head = HeadOf(answer);
  const std::size_t at = head.find("\r\n" + name + ": ");
  if (at == std::string::npos) return std::nullopt;
  const std::size_t from = at + name.size() + 4;
  return head.substr(from, head.find("\r\n", from) - from);
}

// One event of a stream, stamped with the bridge's clock when it was read.
struct StreamEvent {
  std::uint64_t id = 0;
  std::string name;
  std::string data;
  Clock::time_point read_at{};
};

// Reads an event stream and takes its events apart as they come.
class EventReader {
 public:
  EventReader(Client* client, const DelayTestClock* clock) : client_(client), clock_(clock) {}
  // Reads for `ms`, or until `done` holds for what has come; what has come.
  template <typename Done>
  const std::vector<StreamEvent>& ReadUntil(Done done, int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!done(events_) && Clock::now() < deadline && !client_->closed()) {
      const std::string& got = client_->ReadUntil("", 20);
      const Clock::time_point at = clock_->Now();
      for (;;) {
        const std::size_t from = got.find("id: ", parsed_);
        const std::size_t end = from == std::string::npos ? from : got.find("\n\n", from);
        if (end == std::string::npos) break;
        StreamEvent e;
        const std::string text = got.substr(from, end - from);
        const std::size_t name = text.find("\nevent: ");
        const std::size_t data = text.find("\ndata: ");
        e.id = std::stoull(text.substr(4, name - 4));
        e.name = text.substr(name + 8, data - name - 8);
        e.data = text.substr(data + 7);
        e.read_at = at;
        events_.push_back(std::move(e));
        parsed_ = end + 2;
      }
    }
    return events_;
  }
  const std::vector<StreamEvent>& ReadFor(int ms) {
    return ReadUntil([](const std::vector<StreamEvent>&) { return false; }, ms);
  }
  // Reads until an event named `name` has come; its first such event.
  const StreamEvent* First(const std::string& name, int ms = 5000) {
    const auto named = [&](const std::vector<StreamEvent>& events) {
      for (const StreamEvent& e : events) {
        if (e.name == name) return &e;
      }
      return static_cast<const StreamEvent*>(nullptr);
    };
    ReadUntil([&](const std::vector<StreamEvent>& events) { return named(events) != nullptr; }, ms);
    return named(events_);
  }
  std::vector<StreamEvent> Named(const std::string& name) const {
    std::vector<StreamEvent> named;
    for (const StreamEvent& e : events_) {
      if (e.name == name) named.push_back(e);
    }
    return named;
  }

 private:
  Client* const client_;
  const DelayTestClock* const clock_;
  std::vector<StreamEvent> events_;
  std::size_t parsed_ = 0;
};

// A state of the timing state's shape whose car has done `laps`, padded
// with `pad` bytes that never change.
std::string LapsState(int laps, std::size_t pad = 0) {
  return R"({"format":"pitwall-timing","version":1,"received_unix_s":)" + std::to_string(laps) +
         R"(.5,"updates":)" + std::to_string(laps) + R"(,"pad":")" + std::string(pad, 'x') +
         R"(","session":null,"cars":[{"index":0,"laps":)" + std::to_string(laps) + "}]}";
}

class WebServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Write("www/index.html", kPage);
    dir_.Write("www/app.js", kScript);
    dir_.Write("www/overlays/ticker.css", "p{}\n");
    dir_.Write("secret.txt", "not for the web\n");
  }
  void TearDown() override { StopServer(); }

  void StartServer(WebServerOptions options = {}) {
    options.www_dir = dir_.File("www");
    server_ = std::make_unique<WebServer>(bridge_.get(), options);
    std::string error;
    ASSERT_TRUE(server_->Listen("127.0.0.1", 0, &error)) << error;
    port_ = server_->port();
    thread_ = std::thread([this] { server_->Serve(); });
  }
  void StopServer() {
    if (server_) server_->Stop();
    if (thread_.joinable()) thread_.join();
    server_.reset();
  }
  std::string Host() const { return "127.0.0.1:" + std::to_string(port_); }
  // One request on a connection of its own; the whole answer.
  std::string Exchange(const std::string& request) {
    Client client(port_);
    EXPECT_TRUE(client.connected());
    client.Send(request);
    return client.ReadToEnd();
  }
  std::string Get(const std::string& target, const std::string& fields = "") {
    return Exchange("GET " + target + " HTTP/1.1\r\nHost: " + Host() + "\r\n" + fields +
                    "Connection: close\r\n\r\n");
  }
  // An event stream, with a query such as "?delay=10" and header fields.
  std::unique_ptr<Client> OpenStream(const std::string& query = "",
                                     const std::string& fields = "") {
    auto client = std::make_unique<Client>(port_);
    client->Send("GET /api/events" + query + " HTTP/1.1\r\nHost: " + Host() + "\r\n" + fields +
                 "\r\n");
    return client;
  }
  // What a new stream's head answers: its HTTP status.
  int StreamStatus(const std::string& query = "", int timeout_ms = 5000) {
    return StatusOf(OpenStream(query)->ReadUntil("\r\n\r\n", timeout_ms));
  }
  // A live snapshot whose state is LapsState(laps, pad).
  void PublishLaps(int laps, std::size_t pad = 0, const char* message = "") {
    BridgeSnapshot s;
    s.status = "live";
    s.message = message;
    s.state_json = LapsState(laps, pad);
    bridge_->PublishContent(std::move(s));
  }

  // Publishes `count` snapshots, one every `step` after the bridge's start,
  // the clock standing at each: snapshot k's state is {"updates":k}, its
  // status "live" with the message "first part" before k = 25, "second
  // part" from there; the outline comes with the first, and race events
  // 1 and 2 with snapshots 15 and 20. `state_bytes` pads the states.
  void PublishPast(int count, Clock::duration step, std::size_t state_bytes = 0) {
    const auto track = std::make_shared<const std::string>(R"({"strips":[]})");
    std::shared_ptr<const std::vector<RaceEventText>> race;
    for (int k = 1; k <= count; ++k) {
      clock_.Set(start_ + k * step);
      BridgeSnapshot s;
      s.status = "live";
      s.message = k < 25 ? "first part" : "second part";
      s.state_json = "{\"updates\":" + std::to_string(k) + "}";
      if (state_bytes > s.state_json.size())
        s.state_json.insert(1, state_bytes - s.state_json.size(), ' ');
      s.track_json = track;
      if (k == 15 || k == 20) {
        auto next = std::make_shared<std::vector<RaceEventText>>(
            race ? *race : std::vector<RaceEventText>());
        const int n = k == 15 ? 1 : 2;
        next->push_back({n, "{\"kind\":\"overtake\",\"n\":" + std::to_string(n) + "}"});
        race = std::move(next);
      }
      s.race_events = race;
      bridge_->PublishContent(std::move(s));
    }
  }
  // When snapshot k of PublishPast was published.
  Clock::time_point PublishedAt(std::uint64_t k, Clock::duration step) const {
    return start_ + static_cast<int>(k) * step;
  }

  TempDir dir_;
  // The bridge's clock: standing at the bridge's start until a test moves it.
  const Clock::time_point start_ = Clock::now();
  DelayTestClock clock_{start_};
  // Never started: its snapshot stays the first one, "connecting", id 0,
  // unless a test publishes others.
  std::unique_ptr<WebBridge> bridge_ =
      std::make_unique<WebBridge>("127.0.0.1", FreePort(), 1, nullptr, nullptr, nullptr,
                                  WebBridgeOptions{.clock = clock_.Function()});
  std::unique_ptr<WebServer> server_;
  std::thread thread_;
  std::uint16_t port_ = 0;
};

TEST_F(WebServerTest, AnswersTheApiThePageAndItsFiles) {
  StartServer();
  const std::string status =
      R"({"status":"connecting","message":"","id":0,"delay_s":0,"kept_s":0})";
  EXPECT_EQ(Get("/api/status"),
            "HTTP/1.1 200 OK\r\n"
            "Content-Type: application/json\r\n"
            "Content-Length: " +
                std::to_string(status.size()) +
                "\r\n"
                "X-Content-Type-Options: nosniff\r\n"
                "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src "
                "'self'; img-src 'self' data:; connect-src 'self'; base-uri 'none'; "
                "form-action 'none'\r\n"
                "Referrer-Policy: no-referrer\r\n"
                "Cache-Control: no-store\r\n"
                "Connection: close\r\n\r\n" +
                status);
  // Nothing to show yet: the status, with 503.
  for (const char* path : {"/api/state", "/api/track"}) {
    const std::string answer = Get(path);
    EXPECT_EQ(StatusOf(answer), 503) << path;
    EXPECT_EQ(BodyOf(answer), status) << path;
  }

  // Requests one after another on one connection, sent in one piece.
  Client client(port_);
  const std::string get = "GET / HTTP/1.1\r\nHost: localhost:8047\r\n\r\n";
  client.Send(get + "GET /overlay?view=tower HTTP/1.1\r\nHost: " + Host() +
              "\r\n\r\nHEAD /static/app.js HTTP/1.1\r\nHost: " + Host() + "\r\n\r\n");
  const std::string three = client.ReadUntil(std::string(kPage) + "HTTP/1.1 200", 5000);
  const std::string page = "Content-Type: text/html; charset=utf-8\r\nContent-Length: " +
                           std::to_string(sizeof(kPage) - 1) + "\r\n";
  EXPECT_EQ(CountOf(three, page), 2) << three;
  EXPECT_EQ(CountOf(three, kPage), 2) << three;
  const std::string head = client.ReadUntil("Cache-Control: no-cache\r\n\r\n");
  EXPECT_NE(head.find("Content-Type: text/javascript; charset=utf-8\r\nContent-Length: " +
                      std::to_string(sizeof(kScript) - 1) + "\r\n"),
            std::string::npos);
  EXPECT_EQ(head.find(kScript), std::string::npos) << "a HEAD answer has no body";
  EXPECT_FALSE(client.closed());

  // Only the page's own folder, nothing hidden, only known kinds of file.
  const struct {
    const char* target;
    int status;
  } files[] = {
      {"/static/app.js", 200},        {"/static/overlays/ticker.css", 200},
      {"/static/../secret.txt", 404}, {"/static/%2e%2e/secret.txt", 404},
      {"/static/.app.js", 404},       {"/static//app.js", 404},
      {"/static/overlays/", 404},     {"/static/index.exe", 404},
      {"/static/missing.js", 404},    {"/secret.txt", 404},
  };
  for (const auto& file : files) EXPECT_EQ(StatusOf(Get(file.target)), file.status) << file.target;

  // Ranges are not served: every answer is whole, once.
  const std::string whole = Get("/static/app.js", "Range: bytes=0-,0-,0-,0-\r\n");
  EXPECT_EQ(StatusOf(whole), 200);
  EXPECT_EQ(BodyOf(whole), kScript);
  EXPECT_FALSE(FieldOf(whole, "Content-Range").has_value());
}

TEST_F(WebServerTest, RefusesBodiesFloodsAndWhatItDoesNotServe) {
  StartServer();
  const std::string host = "Host: " + Host() + "\r\n";
  const struct {
    std::string request;
    int status;
  } cases[] = {
      // A body, however announced, is refused on the head: none of it is sent here.
      {"POST /api/state HTTP/1.1\r\n" + host + "Content-Length: 10485760\r\n\r\n", 413},
      {"POST /api/state HTTP/1.1\r\n" + host + "Expect: 100-continue\r\nContent-Length: 9\r\n\r\n",
       413},
      {"GET / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n", 413},
      {"POST /api/state HTTP/1.1\r\n" + host + "Content-Length: 0\r\n\r\n", 405},
      {"DELETE / HTTP/1.1\r\n" + host + "\r\n", 405},
      {"GET / HTTP/1.1\r\n" + host + std::string(20000, 'x') + ": y\r\n\r\n", 431},
      {"GET / HTTP/1.1\r\n" + host +
           [] {
             std::string many;
             for (int i = 0; i < 101; ++i) many += "X-" + std::to_string(i) + ": y\r\n";
             return many;
           }() +
           "\r\n",
       431},
      {"HELLO\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nHost: \r\n\r\n", 403},
      {"GET / HTTP/1.1\r\n\r\n", 403},
      {"GET / HTTP/1.0\r\n\r\n", 200},
  };
  for (const auto& c : cases) {
    const std::string answer = Exchange(c.request);
    EXPECT_EQ(StatusOf(answer), c.status) << c.request.substr(0, 60) << "\n" << answer;
    if (c.status != 200) {
      EXPECT_EQ(FieldOf(answer, "Connection"), "close") << c.request;
    }
  }
  EXPECT_EQ(FieldOf(Exchange("PUT / HTTP/1.1\r\n" + host + "\r\n"), "Allow"), "GET, HEAD");

  // A flood of header lines is cut off after the limit, answered, and the
  // connection ended; what the client still sends is not kept.
  Client flood(port_);
  std::string lines = "GET / HTTP/1.1\r\n" + host;
  for (int i = 0; i < 100000; ++i) lines += "X-Flood: 1\r\n";
  std::thread sender([&] { flood.Send(lines); });  // fails part way once the server closes
  const std::string answer = flood.ReadToEnd();
  sender.join();
  EXPECT_EQ(StatusOf(answer), 431) << answer;
  EXPECT_TRUE(flood.closed());
}

TEST_F(WebServerTest, AnswersOnlyForAddressesLocalhostAndAllowedNames) {
  StartServer({.allow_hosts = {"timing.league.example"}});
  const struct {
    const char* host;
    int status;
  } hosts[] = {
      {"127.0.0.1", 200},
      {"127.0.0.1:8047", 200},
      {"192.168.1.20:80", 200},
      {"[::1]:8047", 200},
      {"[::1]", 200},
      {"localhost", 200},
      {"LocalHost:8047", 200},
      {"Timing.League.Example", 200},
      {"timing.league.example:443", 200},
      {"evil.example", 403},
      {"evil.example:8047", 403},
      {"127.0.0.1.evil.example", 403},
      {"league.example", 403},
      {"localhost.evil", 403},
      {"[::1]evil", 403},
      {"127.0.0.1:http", 403},
  };
  for (const auto& h : hosts) {
    const std::string answer = Exchange(std::string("GET /api/status HTTP/1.1\r\nHost: ") + h.host +
                                        "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(StatusOf(answer), h.status) << h.host;
    if (h.status == 403) {
      EXPECT_NE(answer.find("--allow-host"), std::string::npos) << answer;
    }
  }
}

TEST_F(WebServerTest, OtherOriginsReadTheApiOnlyWhenAllowed) {
  const struct {
    std::string allow;
    std::string origin;
    std::optional<std::string> answer;
  } cases[] = {
      {"", "https://evil.example", std::nullopt},
      {"*", "https://evil.example", "*"},
      {"https://league.example", "https://league.example", "https://league.example"},
      {"https://league.example", "https://evil.example", std::nullopt},
  };
  for (const auto& c : cases) {
    StartServer({.allow_origin = c.allow});
    for (const char* path : {"/api/status", "/api/state"}) {
      const std::string answer = Get(path, "Origin: " + c.origin + "\r\n");
      EXPECT_EQ(FieldOf(answer, "Access-Control-Allow-Origin"), c.answer)
          << c.allow << " " << c.origin << " " << path;
    }
    // The stream too; it is not read further.
    auto stream = OpenStream("", "Origin: " + c.origin + "\r\n");
    EXPECT_EQ(FieldOf(stream->ReadUntil("retry: 1000"), "Access-Control-Allow-Origin"), c.answer);
    EXPECT_EQ(FieldOf(Get("/"), "Access-Control-Allow-Origin"), std::nullopt) << "the page never";
    StopServer();
  }
}

TEST_F(WebServerTest, SlowAndSilentClientsAreCutOffAtTheDeadline) {
  StartServer({.head_deadline = std::chrono::milliseconds(300)});
  // A byte every 50 ms keeps the connection busy but never finishes the
  // head: the deadline is for the whole head, not between bytes.
  Client slow(port_);
  const auto start = Clock::now();
  const std::string head = "GET / HTTP/1.1\r\nHost: " + Host() + "\r\nX-Slow: ";
  std::string answer;
  for (std::size_t i = 0; i < 200 && !slow.closed(); ++i) {
    slow.Send(std::string(1, i < head.size() ? head[i] : 'z'));
    answer = slow.ReadUntil("\r\n\r\n", 50);
  }
  answer = slow.ReadToEnd();
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  EXPECT_EQ(StatusOf(answer), 408) << answer;
  EXPECT_TRUE(slow.closed());
  EXPECT_LT(took.count(), 5000) << "closed after " << took.count() << " ms";

  // Silent from the start, or after an answer: closed without one.
  Client silent(port_);
  EXPECT_EQ(silent.ReadToEnd(), "");
  EXPECT_TRUE(silent.closed());
  Client idle(port_);
  idle.Send("GET /api/status HTTP/1.1\r\nHost: " + Host() + "\r\n\r\n");
  const std::string one = idle.ReadToEnd();
  EXPECT_EQ(StatusOf(one), 200);
  EXPECT_EQ(CountOf(one, "HTTP/1.1"), 1);
  EXPECT_TRUE(idle.closed());
}

TEST_F(WebServerTest, ConnectionsFromOneAddressAreCapped) {
  StartServer({.max_per_address = 4});
  std::vector<std::unique_ptr<Client>> held;
  for (int i = 0; i < 4; ++i) {
    held.push_back(std::make_unique<Client>(port_));
    // Served: each answers (and stays open).
    held.back()->Send("GET /api/status HTTP/1.1\r\nHost: " + Host() + "\r\n\r\n");
    EXPECT_EQ(StatusOf(held.back()->ReadUntil("\"kept_s\":0}")), 200);
  }
  // The fifth is told at once, without being read.
  Client fifth(port_);
  const std::string refused = fifth.ReadToEnd();
  EXPECT_EQ(StatusOf(refused), 503) << refused;
  EXPECT_EQ(FieldOf(refused, "Retry-After"), "5");
  EXPECT_NE(refused.find("too many connections from your address (127.0.0.1)"), std::string::npos);
  // One goes, and a new one is served.
  held.pop_back();
  EXPECT_TRUE(Eventually([&] { return StatusOf(Get("/api/status")) == 200; }, 5000));
}

TEST_F(WebServerTest, StreamsOverTheLimitAreToldToRetryWhileThePageStaysAnswered) {
  StartServer({.max_viewers = 3});
  std::vector<std::unique_ptr<Client>> viewers;
  for (int i = 0; i < 3; ++i) {
    viewers.push_back(OpenStream());
    const std::string first = viewers.back()->ReadUntil("event: status");
    EXPECT_EQ(first.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(FieldOf(first, "Content-Type"), "text/event-stream");
    EXPECT_EQ(FieldOf(first, "Transfer-Encoding"), "chunked");
    EXPECT_NE(first.find("retry: 1000\n\nid: 0\nevent: status\ndata: "
                         "{\"status\":\"connecting\",\"message\":\"\",\"id\":0,"
                         "\"delay_s\":0,\"kept_s\":0}\n\n"),
              std::string::npos)
        << first;
  }
  auto extra = OpenStream();
  const std::string refused = extra->ReadUntil("}");
  EXPECT_EQ(StatusOf(refused), 503) << refused;
  EXPECT_EQ(FieldOf(refused, "Retry-After"), "5");
  EXPECT_EQ(nlohmann::json::parse(BodyOf(refused))["status"], "too_many_viewers");
  EXPECT_FALSE(extra->closed()) << "a refused viewer keeps its connection for the retry";

  // The page, the API and the files keep their own capacity.
  for (const char* path : {"/", "/api/state", "/api/status", "/static/app.js"}) {
    const auto start = Clock::now();
    const std::string answer = Get(path);
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    EXPECT_NE(StatusOf(answer), 0) << path;
    EXPECT_LT(took.count(), 2000000) << path;  // an answer, not a wait (the time is printed)
    std::printf("%s answered in %.2f ms with 3 of 3 streams open\n", path, took.count() / 1000.0);
  }
  // A viewer leaves: its place is given back.
  viewers.erase(viewers.begin());
  EXPECT_TRUE(Eventually([&] { return StreamStatus("", 1000) == 200; }, 5000));
}

TEST_F(WebServerTest, ASecondListenerOnAPortInUseFails) {
  StartServer();
  WebServer second(bridge_.get(), {.www_dir = dir_.File("www")});
  std::string error;
  EXPECT_FALSE(second.Listen("127.0.0.1", port_, &error));
  EXPECT_EQ(error, "cannot listen on " + Host() + " (in use, or not an address of this machine)");
  EXPECT_FALSE(second.Listen("10.255.255.1x", 0, &error));
  EXPECT_EQ(error, "'10.255.255.1x' is not a dotted IPv4 address");
}

TEST_F(WebServerTest, StreamsFollowTheRaceResumeAndAStalledViewerIsClosed) {
  const SampleGame game;
  RaceFeed feed(game.path());
  feed.Start();
  bridge_ = std::make_unique<WebBridge>("127.0.0.1", game.port());
  bridge_->Start();
  StartServer({.max_viewers = 2, .stream_stall = std::chrono::milliseconds(500)});

  // The outline once, then states, each numbered after the one before.
  auto viewer = OpenStream();
  const std::string more =
      WaitForCount([&] { return viewer->ReadUntil("", 50); }, "event: state", 4, 20000);
  std::vector<unsigned long long> ids;
  for (std::size_t at = more.find("event: state"); at != std::string::npos;
       at = more.find("event: state", at + 1)) {
    ids.push_back(std::stoull(more.substr(more.rfind("id: ", at) + 4)));
  }
  ASSERT_GE(ids.size(), 3u) << more.substr(0, 2000);
  for (std::size_t i = 1; i < ids.size(); ++i) EXPECT_GT(ids[i], ids[i - 1]);
  EXPECT_EQ(CountOf(more, "event: track"), 1);

  // Coming back with the last id it had: status and outline again, and
  // only states after that id.
  const std::string last = std::to_string(ids.back());
  auto back = OpenStream("", "Last-Event-ID: " + last + "\r\n");
  const std::string resumed = back->ReadUntil("event: state", 5000);
  EXPECT_NE(resumed.find("event: status"), std::string::npos);
  EXPECT_NE(resumed.find("event: track"), std::string::npos);
  const std::size_t state = resumed.find("event: state");
  ASSERT_NE(state, std::string::npos);
  EXPECT_GT(std::stoull(resumed.substr(resumed.rfind("id: ", state) + 4)), ids.back());
  back.reset();
  viewer.reset();

  // A viewer that stops reading fills its connection and is closed: its
  // place comes back.
  auto stalled = OpenStream();
  SetReceiveBufferSize(stalled->socket().get(), 4096);
  auto reader = OpenStream();
  std::atomic<bool> reading{true};
  std::thread read_on([&] {
    while (reading && !reader->closed()) reader->ReadUntil("", 50);
  });
  EXPECT_EQ(StreamStatus(), 503) << "both places taken";
  EXPECT_TRUE(Eventually([&] { return StreamStatus("", 500) == 200; }, 30000))
      << "the stalled viewer's place never came back";
  reading = false;
  read_on.join();
  EXPECT_FALSE(reader->closed()) << "a viewer that reads stays";

  StopServer();
  bridge_->Stop();
  feed.Stop();
}

// A delay is a plain decimal number of seconds from 0 to 300; anything else
// is refused with the reason, before a stream's place is taken.
TEST_F(WebServerTest, ABadDelayIsRefusedWithTheReason) {
  StartServer({.max_viewers = 1});
  const std::string refused =
      R"({"status":"bad_delay","message":"delay must be a number of seconds from 0 to 300, such as 10 or 2.5"})";
  const char* bad[] = {
      "delay=-1",
      "delay=301",
      "delay=abc",
      "delay=1e400",
      "delay=",
      "delay",
      "delay=1.",
      "delay=.5",
      "delay=1.5.5",
      "delay=+5",
      "delay=0x10",
      "delay=1%2E5",
      "delay=10%20",
      "delay=300.000001",
      "delay=10&delay=10",
      "delay=9999999999999999999999",
      "x=1&delay=NaN",
      "delay=inf",
      "delay=1,5",
  };
  for (const char* query : bad) {
    for (const char* path : {"/api/events", "/api/state", "/api/status", "/api/track"}) {
      const std::string answer = Get(std::string(path) + "?" + query);
      EXPECT_EQ(StatusOf(answer), 400) << path << "?" << query;
      EXPECT_EQ(FieldOf(answer, "Content-Type"), "application/json");
      EXPECT_EQ(BodyOf(answer), refused) << path << "?" << query;
    }
  }
  const struct {
    const char* query;
    const char* delay_s;
  } good[] = {
      {"", "0"},
      {"delay=0", "0"},
      {"delay=300", "300"},
      {"delay=300.000", "300"},
      {"delay=007", "7"},
      {"delay=2.5", "2.5"},
      {"delay=0.125", "0.125"},
      {"delay=12.0000009", "12"},
      {"view=tower&delay=10&follow=Ada", "10"},
      {"delayed=abc", "0"},
  };
  for (const auto& g : good) {
    const std::string answer = Get(std::string("/api/status?") + g.query);
    EXPECT_EQ(StatusOf(answer), 200) << g.query;
    const nlohmann::json status = nlohmann::json::parse(BodyOf(answer));
    EXPECT_EQ(status["delay_s"].dump(), g.delay_s) << g.query;
  }
  // The one place was never taken by the refused streams.
  EXPECT_EQ(StreamStatus("?delay=5"), 200);
}

// /api/state and /api/status as they were S seconds ago, the status saying
// which delay and how far back the web view holds; 503 while it holds less.
TEST_F(WebServerTest, DelayedStateAndStatusAreThoseOfThePast) {
  const auto step = std::chrono::milliseconds(100);
  PublishPast(300, step);
  clock_.Set(start_ + std::chrono::milliseconds(30050));  // stands 50 ms after the last
  StartServer();
  const struct {
    const char* delay;
    int status;
    std::string state;
  } states[] = {
      {"0", 200, R"({"updates":300})"},
      {"10", 200, R"({"updates":200})"},
      {"10.05", 200, R"({"updates":200})"},  // published at that very time
      {"10.051", 200, R"({"updates":199})"},
      {"29.95", 200, R"({"updates":1})"},
      // The first snapshot, before any state.
      {"30.05", 503, R"({"status":"connecting","message":"","id":0,"delay_s":30.05,"kept_s":30})"},
      {"31", 503,
       R"({"status":"gathering","message":"delayed 31 s: 1 s still to gather","id":0,"delay_s":31,"kept_s":30})"},
      {"300", 503,
       R"({"status":"gathering","message":"delayed 300 s: 270 s still to gather","id":0,"delay_s":300,"kept_s":30})"},
  };
  for (const auto& c : states) {
    const std::string answer = Get(std::string("/api/state?delay=") + c.delay);
    EXPECT_EQ(StatusOf(answer), c.status) << c.delay;
    EXPECT_EQ(BodyOf(answer), c.state) << c.delay;
  }
  const struct {
    const char* delay;
    std::string status;
  } statuses[] = {
      {"0", R"({"status":"live","message":"second part","id":300,"delay_s":0,"kept_s":30})"},
      {"28", R"({"status":"live","message":"first part","id":20,"delay_s":28,"kept_s":30})"},
      {"31",
       R"({"status":"gathering","message":"delayed 31 s: 1 s still to gather","id":0,"delay_s":31,"kept_s":30})"},
  };
  for (const auto& c : statuses) {
    const std::string answer = Get(std::string("/api/status?delay=") + c.delay);
    EXPECT_EQ(StatusOf(answer), 200) << c.delay;
    EXPECT_EQ(BodyOf(answer), c.status) << c.delay;
  }
  EXPECT_EQ(BodyOf(Get("/api/track?delay=20")), R"({"strips":[]})");
  EXPECT_EQ(StatusOf(Get("/api/track?delay=30.05")), 503);
}

// A delayed stream starts from the snapshot current S seconds ago and then
// sends each later one S seconds after it was published, never sooner, in
// order and once, with the status and race events of its time, and plays
// on when no more are published.
TEST_F(WebServerTest, ADelayedStreamPlaysThePastAtItsPace) {
  const auto step = std::chrono::milliseconds(100);
  const auto delay = std::chrono::seconds(29);
  PublishPast(300, step);
  clock_.Set(start_ + std::chrono::seconds(30));
  clock_.Run();  // from here on nothing is published
  StartServer();
  const Clock::time_point opened = clock_.Now();
  auto client = OpenStream("?delay=29");
  EventReader stream(client.get(), &clock_);
  const StreamEvent* first = stream.First("state");
  ASSERT_NE(first, nullptr) << client->ReadUntil("", 10);
  // The one current 29 s before it opened, or the next if that became due
  // while it opened.
  const auto due_at_open = (opened - delay - start_) / step;
  EXPECT_GE(first->id, static_cast<std::uint64_t>(due_at_open));
  EXPECT_LE(first->id, static_cast<std::uint64_t>(due_at_open) + 1);
  EXPECT_EQ(first->data, "{\"updates\":" + std::to_string(first->id) + "}");
  const std::uint64_t first_id = first->id;
  ASSERT_LT(first_id, 12u);

  stream.ReadFor(2500);
  const std::vector<StreamEvent> states = stream.Named("state");
  ASSERT_GE(states.size(), 10u) << "it stopped when the publications did";
  EXPECT_GE(states.back().id, first_id + 15) << "it did not keep the pace";
  // A state may be skipped when the one before was still being written
  // (the machine busy), as on a live stream; never sent twice or out of
  // order.
  for (std::size_t i = 0; i < states.size(); ++i) {
    const StreamEvent& e = states[i];
    if (i > 0) {
      EXPECT_GT(e.id, states[i - 1].id) << "in order, each once";
    }
    EXPECT_EQ(e.data, "{\"updates\":" + std::to_string(e.id) + "}");
    const Clock::time_point due = PublishedAt(e.id, step) + delay;
    if (i > 0) {
      EXPECT_GE(e.read_at, due) << "snapshot " << e.id << " was sent before it was due";
    }
    EXPECT_LT(e.read_at - due, std::chrono::seconds(2)) << "snapshot " << e.id << " came late";
  }
  // Nothing later than what was due when the reading ended.
  EXPECT_LE(PublishedAt(states.back().id, step) + delay, clock_.Now());

  // The status of each time: "first part" up to snapshot 24, then "second part".
  const std::vector<StreamEvent> status = stream.Named("status");
  ASSERT_EQ(status.size(), 2u);
  EXPECT_EQ(status[0].id, first_id);
  const std::string said = R"({"status":"live","message":"first part","id":)" +
                           std::to_string(first_id) + R"(,"delay_s":29,"kept_s":)";
  EXPECT_EQ(status[0].data.substr(0, said.size()), said);
  // With snapshot 25 (or the first sent after it, had it been skipped).
  EXPECT_GE(status[1].id, 25u);
  EXPECT_LE(status[1].id, 27u);
  const std::string then = R"({"status":"live","message":"second part","id":)" +
                           std::to_string(status[1].id) + R"(,"delay_s":29,"kept_s":)";
  EXPECT_EQ(status[1].data.substr(0, then.size()), then);
  EXPECT_GE(status[1].read_at, PublishedAt(25, step) + delay);
  EXPECT_EQ(stream.Named("track").size(), 1u);

  // The race events of their time, each once: the one of snapshot 15, and
  // of the list at 20 only the new one.
  const std::vector<StreamEvent> race = stream.Named("race");
  ASSERT_EQ(race.size(), 2u);
  EXPECT_GE(race[0].id, 15u);
  EXPECT_LT(race[0].id, 20u);
  EXPECT_EQ(race[0].data, R"({"kind":"overtake","n":1})");
  EXPECT_GE(race[0].read_at, PublishedAt(15, step) + delay);
  EXPECT_GE(race[1].id, 20u);
  EXPECT_LE(race[1].id, 22u);
  EXPECT_EQ(race[1].data, R"({"kind":"overtake","n":2})");
  EXPECT_GE(race[1].read_at, PublishedAt(20, step) + delay);
}

// A viewer that changes its delay opens a new stream: it begins at once
// with the snapshot of the new delay. A delayed stream resumes after the
// last id it had, and counts against the viewer limit.
TEST_F(WebServerTest, ANewDelayStartsThereAtOnceAndAResumeGoesOnAfterItsId) {
  const auto step = std::chrono::milliseconds(100);
  PublishPast(300, step);
  clock_.Set(start_ + std::chrono::seconds(30));
  clock_.Run();
  StartServer({.max_viewers = 4});
  std::vector<std::unique_ptr<Client>> open;
  for (const double delay : {10.0, 20.0, 2.5}) {
    const Clock::time_point opened = clock_.Now();
    std::ostringstream query;
    query << "?delay=" << delay;
    open.push_back(OpenStream(query.str()));
    EventReader stream(open.back().get(), &clock_);
    const StreamEvent* first = stream.First("state", 2000);
    ASSERT_NE(first, nullptr) << "delay " << delay << ": no state at once";
    const auto due_at_open = static_cast<std::uint64_t>(
        (opened -
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(delay)) -
         start_) /
        step);
    EXPECT_GE(first->id, due_at_open) << delay;
    EXPECT_LE(first->id, due_at_open + 1) << delay;
  }
  open.pop_back();

  // Back with the id it had: the status and outline again, then the states
  // after it, each when due.
  const std::uint64_t had = (clock_.Now() - std::chrono::seconds(10) - start_) / step + 3;
  auto back = OpenStream("?delay=10", "Last-Event-ID: " + std::to_string(had) + "\r\n");
  EventReader resumed(back.get(), &clock_);
  const StreamEvent* state = resumed.First("state");
  ASSERT_NE(state, nullptr);
  EXPECT_EQ(state->id, had + 1);
  EXPECT_GE(state->read_at, PublishedAt(had + 1, step) + std::chrono::seconds(10));
  ASSERT_GE(resumed.Named("status").size(), 1u);
  EXPECT_EQ(resumed.Named("track").size(), 1u);
  EXPECT_LT(resumed.Named("status")[0].id, had + 1);

  // Four streams are all there are.
  open.push_back(OpenStream("?delay=1"));
  EXPECT_EQ(StatusOf(open.back()->ReadUntil("\r\n\r\n")), 200);
  const std::string refused = OpenStream("?delay=3")->ReadUntil("}");
  EXPECT_EQ(StatusOf(refused), 503) << refused;
  EXPECT_EQ(nlohmann::json::parse(BodyOf(refused))["status"], "too_many_viewers");
}

// While the web view holds less of the past than a stream's delay, the
// stream says so and how long still, and begins once it does.
TEST_F(WebServerTest, ADelayedStreamWaitsUntilThePastIsGathered) {
  StartServer();
  const std::string gathering =
      R"({"status":"gathering","message":"delayed 2 s: 2 s still to gather","id":0,"delay_s":2,"kept_s":0})";
  EXPECT_EQ(BodyOf(Get("/api/status?delay=2")), gathering);
  const std::string state = Get("/api/state?delay=2");
  EXPECT_EQ(StatusOf(state), 503);
  EXPECT_EQ(BodyOf(state), gathering);

  auto client = OpenStream("?delay=2");
  const std::string opening = "retry: 1000\n\nid: 0\nevent: status\ndata: " + gathering + "\n\n";
  EXPECT_NE(client->ReadUntil(opening).find(opening), std::string::npos)
      << client->ReadUntil("", 10);
  EventReader stream(client.get(), &clock_);
  clock_.Set(start_ + std::chrono::milliseconds(1500));
  const auto said = [](const std::string& text) {
    return [text](const std::vector<StreamEvent>& events) {
      return !events.empty() && events.back().data == text;
    };
  };
  const std::string one_more =
      R"({"status":"gathering","message":"delayed 2 s: 1 s still to gather","id":0,"delay_s":2,"kept_s":1.5})";
  stream.ReadUntil(said(one_more), 5000);
  ASSERT_FALSE(stream.Named("status").empty());
  EXPECT_EQ(stream.Named("status").back().data, one_more);

  // Something is published; at 2 s the stream begins with what was there
  // at the start, and not with that, which is due at 4 s.
  clock_.Set(start_ + std::chrono::seconds(2));
  BridgeSnapshot live;
  live.status = "live";
  live.state_json = R"({"updates":1})";
  bridge_->PublishContent(live);
  const std::string begun = R"({"status":"connecting","message":"","id":0,"delay_s":2,"kept_s":2})";
  stream.ReadUntil(said(begun), 5000);
  EXPECT_EQ(stream.Named("status").back().data, begun);
  stream.ReadFor(1500);
  EXPECT_TRUE(stream.Named("state").empty()) << "a state sent before it was due";
  clock_.Set(start_ + std::chrono::seconds(4));
  const StreamEvent* first = stream.First("state");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->id, 1u);
  EXPECT_EQ(first->data, R"({"updates":1})");
  EXPECT_EQ(stream.Named("status").back().data,
            R"({"status":"live","message":"","id":1,"delay_s":2,"kept_s":4})");
}

// When memory, not time, bounds the past, a longer delay is told so.
TEST_F(WebServerTest, ADelayPastWhatMemoryHoldsIsToldSo) {
  bridge_ = std::make_unique<WebBridge>(
      "127.0.0.1", FreePort(), 1, nullptr, nullptr, nullptr,
      WebBridgeOptions{.kept_bytes = 50 * 1000, .clock = clock_.Function()});
  PublishPast(100, std::chrono::milliseconds(100), 10000);
  StartServer();
  const KeptPast past = bridge_->Past();
  ASSERT_TRUE(past.memory_bound);
  // Some snapshots of 10 kB, a tenth of a second apart.
  ASSERT_GT(past.snapshots, 1u);
  ASSERT_LT(past.snapshots, 10u);
  const std::string kept = "0." + std::to_string(past.snapshots - 1);
  EXPECT_EQ(BodyOf(Get("/api/status?delay=10")),
            R"({"status":"gathering","message":"delayed 10 s: the web view holds only the last )" +
                kept +
                R"( s, as much as its memory for the past takes","id":0,"delay_s":10,"kept_s":)" +
                kept + "}");
}

// A delayed viewer that stops reading is closed like a live one, and its
// place given back.
TEST_F(WebServerTest, AStalledDelayedViewerIsClosed) {
  PublishPast(300, std::chrono::milliseconds(100), 20000);
  clock_.Set(start_ + std::chrono::seconds(30));
  clock_.Run();
  StartServer({.max_viewers = 1, .stream_stall = std::chrono::milliseconds(500)});
  auto stalled = OpenStream("?delay=29");
  SetReceiveBufferSize(stalled->socket().get(), 4096);
  EXPECT_EQ(StatusOf(stalled->ReadUntil("\r\n\r\n")), 200);
  EXPECT_EQ(StreamStatus("?delay=29"), 503) << "its place is taken";
  EXPECT_TRUE(Eventually([&] { return StreamStatus("?delay=29", 500) == 200; }, 20000))
      << "the stalled viewer's place never came back";
}

}  // namespace

// A viewer that comes back with Last-Event-ID is sent what it has not seen;
// an id from an earlier run of the web view (past any it has published) or
// one that is no number starts it afresh with the newest state at once,
// not after the next publication.
TEST_F(WebServerTest, ALastEventIdOfAnotherRunStartsTheViewerAfresh) {
  for (int laps = 1; laps <= 3; ++laps) PublishLaps(laps);
  const std::uint64_t newest = bridge_->Latest()->id;
  StartServer();
  const std::string newest_id = std::to_string(newest);
  const std::string earlier_run = std::to_string(newest + 1000);
  for (const std::string& id : {earlier_run, std::string("x1"), std::string("")}) {
    auto viewer = OpenStream("", "Last-Event-ID: " + id + "\r\n");
    const std::string got = viewer->ReadUntil(LapsState(3), 2000);
    EXPECT_NE(got.find("id: " + newest_id + "\nevent: state\ndata: " + LapsState(3)),
              std::string::npos)
        << "'" << id << "': " << got.substr(0, 400);
  }
  // Coming back with the newest id: status and outline again, no state.
  auto seen = OpenStream("", "Last-Event-ID: " + newest_id + "\r\n");
  const std::string got = seen->ReadUntil("event: state", 1000);
  EXPECT_NE(got.find("event: status"), std::string::npos) << got;
  EXPECT_EQ(got.find("event: state"), std::string::npos) << got;
}

// A viewer that asks for changes holds a whole state first and then each
// change turns it into the state published; one that fell behind is sent
// the whole state again, and one that comes back too.
TEST_F(WebServerTest, AViewerOfChangesHoldsExactlyEveryStateItIsSent) {
  // A whole state far larger than what the viewer's connection can hold,
  // so that the server is still writing it while the next ones come.
  constexpr std::size_t kBig = 1 << 20;
  PublishLaps(1, kBig);
  StartServer();
  auto viewer = OpenStream("?changes=1");
  EXPECT_TRUE(viewer->ReadUntil("\r\n\r\n", 2000).find("200 OK") != std::string::npos);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  PublishLaps(2, kBig);
  PublishLaps(3, kBig);
  EventReader reader(viewer.get(), &clock_);
  ASSERT_NE(reader.First("state", 20000), nullptr);
  // Read through the first whole state, then more come one at a time.
  reader.ReadUntil([](const auto& events) { return events.size() >= 3; }, 20000);
  for (int laps = 4; laps <= 6; ++laps) {
    PublishLaps(laps, kBig, laps == 5 ? "a word" : "");
    const std::size_t want = reader.Named("state").size() + reader.Named("change").size() + 1;
    reader.ReadUntil(
        [&](const auto&) {
          return reader.Named("state").size() + reader.Named("change").size() >= want;
        },
        20000);
  }
  // The status alone changes: no state again.
  BridgeSnapshot status_only = *bridge_->Latest();
  status_only.message = "another word";
  bridge_->PublishContent(status_only);
  reader.ReadUntil([](const auto& events) { return events.size() >= 12; }, 1000);

  std::optional<nlohmann::json> held;
  std::vector<int> held_laps;
  int wholes = 0;
  for (const StreamEvent& e : reader.ReadFor(0)) {
    if (e.name == "state") {
      held = nlohmann::json::parse(e.data);
      ++wholes;
    } else if (e.name == "change") {
      ASSERT_TRUE(held.has_value()) << "a change before any state";
      held = ApplyStateChange(*held, nlohmann::json::parse(e.data));
      ASSERT_TRUE(held.has_value()) << "a change that does not follow: " << e.data;
    } else {
      continue;
    }
    EXPECT_EQ(*held, nlohmann::json::parse(LapsState(held->at("updates").get<int>(), kBig)));
    held_laps.push_back(held->at("updates").get<int>());
  }
  // 1 whole; 2 skipped while 1 was still being written, so 3 whole; then
  // changes for 4, 5 and 6, and nothing for the status alone.
  EXPECT_EQ(held_laps, (std::vector<int>{1, 3, 4, 5, 6}));
  EXPECT_EQ(wholes, 2);
  EXPECT_EQ(reader.Named("status").back().data.find("another word") != std::string::npos, true);

  // Coming back with the last id it had: the whole state again.
  const std::string last = std::to_string(reader.Named("change").back().id);
  auto back = OpenStream("?changes=1", "Last-Event-ID: " + last + "\r\n");
  EventReader again(back.get(), &clock_);
  again.ReadUntil(
      [](const auto& events) { return !events.empty() && events.back().name != "status"; }, 20000);
  ASSERT_FALSE(again.Named("state").empty());
  EXPECT_TRUE(again.Named("change").empty());
  PublishLaps(7);
  const StreamEvent* change = again.First("change", 20000);
  ASSERT_NE(change, nullptr);
  EXPECT_EQ(ApplyStateChange(nlohmann::json::parse(again.Named("state").back().data),
                             nlohmann::json::parse(change->data)),
            nlohmann::json::parse(LapsState(7)));
}

// A delayed viewer of changes is sent the past one change at a time, as it
// was published.
TEST_F(WebServerTest, ADelayedViewerOfChangesIsSentThePastChangeByChange) {
  const auto step = std::chrono::milliseconds(100);
  for (int k = 1; k <= 30; ++k) {
    clock_.Set(start_ + k * step);
    PublishLaps(k);
  }
  StartServer();
  auto viewer = OpenStream("?delay=2&changes=1");
  EventReader reader(viewer.get(), &clock_);
  // Now is snapshot 30's time: 2 s ago was snapshot 10's.
  ASSERT_NE(reader.First("state"), nullptr);
  // The clock moves on one publication at a time: each is sent as it
  // falls due.
  for (std::uint64_t k = 11; k <= 30; ++k) {
    clock_.Set(start_ + static_cast<int>(k + 20) * step);
    reader.ReadUntil(
        [&](const std::vector<StreamEvent>& events) {
          return !events.empty() && events.back().id >= k;
        },
        5000);
  }
  const auto states = reader.Named("state");
  const auto changes = reader.Named("change");
  ASSERT_EQ(states.size(), 1u);
  EXPECT_EQ(states[0].id, 10u);
  ASSERT_EQ(changes.size(), 20u);
  nlohmann::json held = nlohmann::json::parse(states[0].data);
  for (std::size_t i = 0; i < changes.size(); ++i) {
    EXPECT_EQ(changes[i].id, 11 + i);
    auto next = ApplyStateChange(held, nlohmann::json::parse(changes[i].data));
    ASSERT_TRUE(next.has_value()) << changes[i].data;
    held = *next;
  }
  EXPECT_EQ(held, nlohmann::json::parse(LapsState(30)));
}
