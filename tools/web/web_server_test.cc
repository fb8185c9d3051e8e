#include "web_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "testing/eventually.h"
#include "testing/temp_dir.h"
#include "tests/wire_client.h"
#include "tools/web/race_feed.h"
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
  // An event stream, read up to its first events.
  std::unique_ptr<Client> OpenStream(const std::string& fields = "") {
    auto client = std::make_unique<Client>(port_);
    client->Send("GET /api/events HTTP/1.1\r\nHost: " + Host() + "\r\n" + fields + "\r\n");
    return client;
  }

  TempDir dir_;
  // Never started: its snapshot stays the first one, "connecting", id 0.
  std::unique_ptr<WebBridge> bridge_ = std::make_unique<WebBridge>("127.0.0.1", FreePort());
  std::unique_ptr<WebServer> server_;
  std::thread thread_;
  std::uint16_t port_ = 0;
};

TEST_F(WebServerTest, AnswersTheApiThePageAndItsFiles) {
  StartServer();
  const std::string status = R"({"status":"connecting","message":"","id":0})";
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
    auto stream = OpenStream("Origin: " + c.origin + "\r\n");
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
    EXPECT_EQ(StatusOf(held.back()->ReadUntil("\"id\":0}")), 200);
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
                         "{\"status\":\"connecting\",\"message\":\"\",\"id\":0}\n\n"),
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
  EXPECT_TRUE(
      Eventually([&] { return StatusOf(OpenStream()->ReadUntil("\r\n\r\n", 1000)) == 200; }, 5000));
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
  auto back = OpenStream("Last-Event-ID: " + last + "\r\n");
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
  EXPECT_EQ(StatusOf(OpenStream()->ReadUntil("\r\n\r\n")), 503) << "both places taken";
  EXPECT_TRUE(
      Eventually([&] { return StatusOf(OpenStream()->ReadUntil("\r\n\r\n", 500)) == 200; }, 30000))
      << "the stalled viewer's place never came back";
  reading = false;
  read_on.join();
  EXPECT_FALSE(reader->closed()) << "a viewer that reads stays";

  StopServer();
  bridge_->Stop();
  feed.Stop();
}

}  // namespace
