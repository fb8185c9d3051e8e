#include "pitwall_client.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Little-endian message builder for the bulkier canned answers.
struct Builder {
  Bytes b;
  Builder& U8(std::uint8_t v) {
    b.push_back(v);
    return *this;
  }
  Builder& U16(std::uint16_t v) { return U8(v & 0xFF).U8(v >> 8); }
  Builder& U32(std::uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
  Builder& F32(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, 4);
    return U32(bits);
  }
};

// One Trackstrip chunk; point i of strip 0 is (i, -i), of strip 1 (1000 + i, i / 2).
Bytes Chunk(const std::vector<std::pair<std::uint8_t, std::uint32_t>>& directory,
            std::uint8_t strip, std::uint32_t first, std::uint32_t n) {
  Builder m;
  m.U16(static_cast<std::uint16_t>(14 + 5 * directory.size() + 8 * n)).U8(4).U8(0);
  m.U8(static_cast<std::uint8_t>(directory.size()));
  for (const auto& [kind, count] : directory) m.U8(kind).U32(count);
  m.U8(strip).U32(first).U32(n);
  for (std::uint32_t i = first; i < first + n; ++i) {
    if (strip == 0) {
      m.F32(static_cast<float>(i)).F32(-static_cast<float>(i));
    } else {
      m.F32(1000.0f + static_cast<float>(i)).F32(static_cast<float>(i) / 2);
    }
  }
  return m.b;
}

const Bytes kSessionAnswer = [] {
  Builder m;
  m.U16(84).U8(2).U8(0x1F);
  const char name[] = "Test Ring";
  for (std::size_t i = 0; i < 64; ++i) m.U8(i < sizeof(name) ? name[i] : 'X');  // junk after NUL
  m.U32(3).F32(1800.0f).U32(12).F32(4321.5f);
  return m.b;
}();

const Bytes kHandshakeOkAnswer = {0x08, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
const Bytes kHandshakeFullAnswer = {0x08, 0x00, 0x00, 0x00, 0x01, 0x00, 0x04, 0x00};
const Bytes kEmptyLiveAnswer = {0x18, 0x00, 0x01, 0x00, 0x01, 0, 0, 0,
                                0x00, 0x00, 0xF7, 0x42, 0x00, 0, 0, 0,
                                0x00, 0x00, 0x80, 0xBF, 0x00, 0, 0, 0};

ClientResult<Answer> Decode(const Bytes& message) {
  return DecodeAnswer(message.data(), message.size());
}

// A loopback server that accepts one connection per script, in order, and
// runs the script on it. Stops, and waits for its thread, when destroyed.
class FakeServer {
 public:
  struct Connection {
    Socket socket;
    bool Send(const Bytes& bytes) {
      std::size_t sent = 0;
      while (sent < bytes.size()) {
        const long n = SendSome(socket.get(), bytes.data() + sent, bytes.size() - sent);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
      }
      return true;
    }
    // The next three-byte request; empty when the client closed or went quiet.
    Bytes Request() {
      Bytes request(3);
      std::size_t got = 0;
      while (got < 3) {
        const long n = RecvSome(socket.get(), request.data() + got, 3 - got);
        if (n <= 0) return {};
        got += static_cast<std::size_t>(n);
      }
      return request;
    }
    // Keeps reading until the client closes.
    void DrainUntilClosed() {
      while (!Request().empty()) {
      }
    }
  };
  using Script = std::function<void(Connection&)>;

  explicit FakeServer(std::vector<Script> scripts) : listener_(OpenTcpSocket()) {
    EXPECT_TRUE(BindIPv4(listener_.get(), LoopbackIPv4(), 0));
    EXPECT_TRUE(Listen(listener_.get(), 4));
    port_ = LocalPort(listener_.get());
    thread_ = std::thread([this, scripts = std::move(scripts)] {
      for (const Script& script : scripts) {
        std::uint32_t peer = 0;
        Connection connection{AcceptIPv4(listener_.get(), &peer)};
        if (!connection.socket.valid()) return;
        SetRecvTimeout(connection.socket.get(), 5000);
        {
          std::lock_guard<std::mutex> lock(mu_);
          if (stopping_) return;
          current_ = connection.socket.get();
        }
        script(connection);
        std::lock_guard<std::mutex> lock(mu_);
        current_ = kInvalidSocket;
      }
    });
  }
  ~FakeServer() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping_ = true;
      ShutdownSocket(listener_.get());
      if (current_ != kInvalidSocket) ShutdownSocket(current_);
    }
    thread_.join();
  }
  std::uint16_t port() const { return port_; }

 private:
  Socket listener_;
  std::uint16_t port_ = 0;
  std::mutex mu_;
  bool stopping_ = false;                  // guarded by mu_
  NativeSocket current_ = kInvalidSocket;  // guarded by mu_
  std::thread thread_;
};

TEST(PitwallClientTest, RequestsOnTheWireAreThreeBytes) {
  std::vector<Bytes> received;
  {
    FakeServer server({[&](FakeServer::Connection& c) {
      for (int i = 0; i < 5; ++i) received.push_back(c.Request());
      c.Send(kHandshakeOkAnswer);  // all five read
      c.DrainUntilClosed();
    }});
    PitwallClient client;
    ASSERT_TRUE(client.Connect("localhost", server.port()).ok());
    for (RequestType type :
         {kHandshakeInfo, kUpdateData, kSessionInfo, kVehicleInfo, kTrackstrip}) {
      EXPECT_TRUE(client.Send(type).ok());
    }
    EXPECT_TRUE(client.ReadAnswer(5000).ok());
  }
  const std::vector<Bytes> expected = {{3, 0, 0}, {3, 0, 1}, {3, 0, 2}, {3, 0, 3}, {3, 0, 4}};
  EXPECT_EQ(received, expected);
}

TEST(PitwallClientTest, DecodesSessionUpToFirstNul) {
  const auto result = Decode(kSessionAnswer);
  ASSERT_TRUE(result.ok()) << result.error.message;
  const auto& s = std::get<SessionAnswer>(result.value);
  EXPECT_EQ(s.change_mask, 0x1F);
  EXPECT_EQ(s.track_name, "Test Ring");
  EXPECT_EQ(s.session, 3);
  EXPECT_EQ(s.end_time, 1800.0f);
  EXPECT_EQ(s.max_laps, 12);
  EXPECT_EQ(s.lap_distance, 4321.5f);
}

TEST(PitwallClientTest, DecodesDriversWithAndWithoutNul) {
  Builder m;
  m.U16(70).U8(3).U8(0x02);
  m.U8(0);
  const char ann[] = "Ann Lee";
  for (std::size_t i = 0; i < 32; ++i) m.U8(i < sizeof(ann) ? ann[i] : 0);
  m.U8(7);
  for (int i = 0; i < 32; ++i) m.U8('B');  // a name filling its field, no NUL
  const auto result = Decode(m.b);
  ASSERT_TRUE(result.ok()) << result.error.message;
  const auto& d = std::get<DriversAnswer>(result.value);
  EXPECT_EQ(d.change_mask, 0x02);
  ASSERT_EQ(d.drivers.size(), 2u);
  EXPECT_EQ(d.drivers[0].index, 0);
  EXPECT_EQ(d.drivers[0].name, "Ann Lee");
  EXPECT_EQ(d.drivers[1].index, 7);
  EXPECT_EQ(d.drivers[1].name, std::string(32, 'B'));
  const Bytes no_vehicles = {0x04, 0x00, 0x03, 0x00};
  const auto empty = Decode(no_vehicles);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(std::get<DriversAnswer>(empty.value).drivers.empty());
}

TEST(PitwallClientTest, DecodesLiveStateAndStatusBits) {
  const Bytes message = {
      0x48, 0x00, 0x01, 0x03,                          // 72 bytes, UpdateData, mask 3
      0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF7, 0x42,  // captured, time 123.5
      0x01, 0x00, 0x00, 0x00, 0x00, 0x80, 0xAA, 0x42,  // 1 vehicle, fastest 85.25
      0x05, 0x00, 0x00, 0x00,                          // by vehicle 5
      0x05, 0x36, 0x00, 0x00, 0x00, 0x00, 0x7A, 0x44,  // index 5, status 0x36, distance 1000
      0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x41,  // place 1, gap 10
      0xFE, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x20, 0xC0,  // laps -2, x -2.5
      0x00, 0x00, 0x20, 0x41, 0x00, 0x00, 0xC0, 0x3F,  // z 10, heading 1.5
      0x00, 0x80, 0xAA, 0x42, 0x00, 0x00, 0xAC, 0x42,  // best 85.25, last 86
      0x00, 0x00, 0xF0, 0x41, 0x00, 0x00, 0x70, 0x42,  // sectors 30, 60
  };
  const auto result = Decode(message);
  ASSERT_TRUE(result.ok()) << result.error.message;
  const auto& live = std::get<LiveAnswer>(result.value);
  EXPECT_EQ(live.change_mask, 3);
  EXPECT_TRUE(live.captured);
  EXPECT_EQ(live.current_time, 123.5f);
  EXPECT_EQ(live.fastest_lap, 85.25f);
  EXPECT_EQ(live.fastest_lap_vehicle, 5);
  ASSERT_EQ(live.cars.size(), 1u);
  const CarState& car = live.cars[0];
  EXPECT_EQ(car.index, 5);
  EXPECT_EQ(car.status_bits, 0x36);
  EXPECT_EQ(car.sector, 2);
  EXPECT_EQ(car.finish_status, 1);
  EXPECT_TRUE(car.in_pits);
  EXPECT_TRUE(car.control_one);
  EXPECT_EQ(car.lap_distance, 1000.0f);
  EXPECT_EQ(car.place, 1);
  EXPECT_EQ(car.time_behind_leader, 10.0f);
  EXPECT_EQ(car.laps, -2);
  EXPECT_EQ(car.x, -2.5f);
  EXPECT_EQ(car.z, 10.0f);
  EXPECT_EQ(car.heading, 1.5f);
  EXPECT_EQ(car.best_lap, 85.25f);
  EXPECT_EQ(car.last_lap, 86.0f);
  EXPECT_EQ(car.sector1, 30.0f);
  EXPECT_EQ(car.sector2, 60.0f);

  const auto empty = Decode(kEmptyLiveAnswer);
  ASSERT_TRUE(empty.ok()) << empty.error.message;
  EXPECT_TRUE(std::get<LiveAnswer>(empty.value).cars.empty());
  EXPECT_EQ(std::get<LiveAnswer>(empty.value).fastest_lap, -1.0f);
}

TEST(PitwallClientTest, RejectsMalformedAnswers) {
  Bytes live_claims_two(72, 0);
  live_claims_two[0] = 72;
  live_claims_two[2] = 1;
  live_claims_two[12] = 2;  // two vehicles need 120 bytes
  Bytes live_claims_none(72, 0);
  live_claims_none[0] = 72;
  live_claims_none[2] = 1;
  Bytes live_claims_one(24, 0);
  live_claims_one[0] = 24;
  live_claims_one[2] = 1;
  live_claims_one[12] = 1;
  Bytes drivers_odd(38, 0);
  drivers_odd[0] = 38;
  drivers_odd[2] = 3;
  Bytes session_short(83, 0);
  session_short[0] = 83;
  session_short[2] = 2;
  Bytes chunk_points_missing = Chunk({{1, 120}, {0, 51}}, 0, 0, 3);
  chunk_points_missing.resize(chunk_points_missing.size() - 8);
  chunk_points_missing[0] -= 8;  // the length fits the bytes, not the count of 3
  const struct {
    const char* name;
    Bytes message;
    ClientErrorCode code;
  } kCases[] = {
      {"handshake of 7", {7, 0, 0, 0, 1, 0, 0}, ClientErrorCode::kBadLength},
      {"handshake of 9", {9, 0, 0, 0, 1, 0, 0, 0, 0}, ClientErrorCode::kBadLength},
      {"session of 83", session_short, ClientErrorCode::kBadLength},
      {"drivers of 4+33+1", drivers_odd, ClientErrorCode::kBadLength},
      {"live of 72 claiming 2 cars", live_claims_two, ClientErrorCode::kBadLength},
      {"live of 24 claiming 1 car", live_claims_one, ClientErrorCode::kBadLength},
      {"live of 72 claiming no car", live_claims_none, ClientErrorCode::kBadLength},
      {"live of 23",
       {23, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       ClientErrorCode::kBadLength},
      {"chunk short of its points", chunk_points_missing, ClientErrorCode::kBadLength},
      {"chunk of header only", {4, 0, 4, 0}, ClientErrorCode::kBadLength},
      {"chunk directory beyond message", {5, 0, 4, 0, 200}, ClientErrorCode::kBadLength},
      {"chunk strip index 2 of 2", Chunk({{1, 120}, {0, 51}}, 2, 0, 1),
       ClientErrorCode::kBadContent},
      {"chunk past strip end", Chunk({{1, 120}, {0, 51}}, 0, 100, 21),
       ClientErrorCode::kBadContent},
      {"type 5", {4, 0, 5, 0}, ClientErrorCode::kBadType},
      {"length field not size", {10, 0, 0, 0, 1, 0, 0, 0}, ClientErrorCode::kBadLength},
      {"shorter than header", {3, 0, 0}, ClientErrorCode::kBadLength},
  };
  for (const auto& c : kCases) {
    const auto result = Decode(c.message);
    EXPECT_EQ(result.error.code, c.code)
        << c.name << ": got " << ClientErrorName(result.error.code) << " " << result.error.message;
    EXPECT_FALSE(result.error.message.empty()) << c.name;
  }
}

TEST(PitwallClientTest, ParsesEndpointsAndHosts) {
  const struct {
    const char* text;
    bool ok;
    const char* host;
    std::uint16_t port;
  } kCases[] = {
      {"10.0.0.7", true, "10.0.0.7", 34647},
      {"10.0.0.7:4000", true, "10.0.0.7", 4000},
      {":4001", true, "127.0.0.1", 4001},
      {"localhost:65535", true, "localhost", 65535},
      {"", false, "", 0},
      {"h:0", false, "", 0},
      {"h:65536", false, "", 0},
      {"h:12x", false, "", 0},
      {"h:", false, "", 0},
      {"h:-5", false, "", 0},
  };
  for (const auto& c : kCases) {
    std::string host = "127.0.0.1";
    std::uint16_t port = 34647;
    std::string error;
    EXPECT_EQ(ParseEndpoint(c.text, &host, &port, &error), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(host, c.host) << c.text;
      EXPECT_EQ(port, c.port) << c.text;
    } else {
      EXPECT_FALSE(error.empty()) << c.text;
      EXPECT_EQ(host, "127.0.0.1") << c.text;
    }
  }
  EXPECT_EQ(ResolveHost("localhost").value, LoopbackIPv4());
  EXPECT_EQ(ResolveHost("127.0.0.1").value, LoopbackIPv4());
  EXPECT_EQ(ResolveHost("timing.example").error.code, ClientErrorCode::kBadAddress);
}

TEST(PitwallClientTest, ReadsAnswersSplitAndJoinedAcrossReceives) {
  FakeServer server({[](FakeServer::Connection& c) {
    c.Request();
    for (std::uint8_t byte : kSessionAnswer) c.Send({byte});
    Bytes joined = kHandshakeOkAnswer;
    joined.insert(joined.end(), kEmptyLiveAnswer.begin(), kEmptyLiveAnswer.end());
    c.Send(joined);
    c.DrainUntilClosed();
  }});
  PitwallClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()).ok());
  ASSERT_TRUE(client.Send(kSessionInfo).ok());
  const auto session = client.ReadAnswer(5000);
  ASSERT_TRUE(session.ok()) << session.error.message;
  EXPECT_EQ(std::get<SessionAnswer>(session.value).track_name, "Test Ring");
  const auto handshake = client.ReadAnswer(5000);
  ASSERT_TRUE(handshake.ok()) << handshake.error.message;
  EXPECT_EQ(std::get<HandshakeAnswer>(handshake.value).version, 1);
  EXPECT_EQ(std::get<HandshakeAnswer>(handshake.value).status, 0);
  const auto live = client.ReadAnswer(5000);
  ASSERT_TRUE(live.ok()) << live.error.message;
  EXPECT_EQ(std::get<LiveAnswer>(live.value).current_time, 123.5f);
}

TEST(PitwallClientTest, AnswerOfOtherTypeIsHeldForReadAnswer) {
  FakeServer server({[](FakeServer::Connection& c) {
    c.Request();
    c.Send(kEmptyLiveAnswer);  // a deferred UpdateData answer arriving first
    c.Send(kSessionAnswer);
    c.DrainUntilClosed();
  }});
  PitwallClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()).ok());
  const auto session = client.FetchSession(5000);
  ASSERT_TRUE(session.ok()) << session.error.message;
  EXPECT_EQ(session.value.max_laps, 12);
  const auto held = client.ReadAnswer(0);
  ASSERT_TRUE(held.ok()) << held.error.message;
  EXPECT_TRUE(std::holds_alternative<LiveAnswer>(held.value));
}

TEST(PitwallClientTest, WrongLengthForTypeIsConsumedAndStreamStaysInStep) {
  FakeServer server({[](FakeServer::Connection& c) {
    Bytes bad = kEmptyLiveAnswer;
    bad[0] = 30;  // 24 + 6: no whole vehicle record
    bad.resize(30, 0xEE);
    c.Send(bad);
    c.Send(kHandshakeOkAnswer);
    c.DrainUntilClosed();
  }});
  PitwallClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()).ok());
  EXPECT_EQ(client.ReadAnswer(5000).error.code, ClientErrorCode::kBadLength);
  EXPECT_TRUE(client.connected());
  const auto next = client.ReadAnswer(5000);
  ASSERT_TRUE(next.ok()) << next.error.message;
  EXPECT_TRUE(std::holds_alternative<HandshakeAnswer>(next.value));
}

TEST(PitwallClientTest, LengthBelowHeaderDropsConnection) {
  FakeServer server({[](FakeServer::Connection& c) {
    c.Send({0x02, 0x00, 0x01, 0x00, 0x08, 0x00});
    c.DrainUntilClosed();
  }});
  PitwallClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()).ok());
  EXPECT_EQ(client.ReadAnswer(5000).error.code, ClientErrorCode::kBadLength);
  EXPECT_FALSE(client.connected());
  EXPECT_EQ(client.ReadAnswer(100).error.code, ClientErrorCode::kNotConnected);
}

TEST(PitwallClientTest, ConnectionEndingInsideAndBetweenAnswers) {
  FakeServer server({[](FakeServer::Connection& c) {
                       c.Send(Bytes(kSessionAnswer.begin(), kSessionAnswer.begin() + 40));
                     },
                     [](FakeServer::Connection& c) { c.Send(kHandshakeOkAnswer); }});
  PitwallClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()).ok());
  const auto truncated = client.ReadAnswer(5000);
  EXPECT_EQ(truncated.error.code, ClientErrorCode::kTruncated);
  EXPECT_NE(truncated.error.message.find("after 40 byte(s) of a 84-byte answer"), std::string::npos)
      << truncated.error.message;
  EXPECT_FALSE(client.connected());

  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()).ok());
  EXPECT_TRUE(client.ReadAnswer(5000).ok());
  EXPECT_EQ(client.ReadAnswer(5000).error.code, ClientErrorCode::kClosed);
}

TEST(PitwallClientTest, TimeOutKeepsPartialAnswer) {
  FakeServer server({[](FakeServer::Connection& c) {
    c.Send(Bytes(kSessionAnswer.begin(), kSessionAnswer.begin() + 10));
    c.Request();  // the client's go-ahead
    c.Send(Bytes(kSessionAnswer.begin() + 10, kSessionAnswer.end()));
    c.DrainUntilClosed();
  }});
  PitwallClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()).ok());
  EXPECT_EQ(client.ReadAnswer(50).error.code, ClientErrorCode::kTimeout);
  EXPECT_EQ(client.ReadAnswer(0).error.code, ClientErrorCode::kTimeout);
  ASSERT_TRUE(client.Send(kUpdateData).ok());
  const auto session = client.ReadAnswer(5000);
  ASSERT_TRUE(session.ok()) << session.error.message;
  EXPECT_EQ(std::get<SessionAnswer>(session.value).session, 3);
}

TEST(PitwallClientTest, RefusedConnectionSaysSo) {
  std::uint16_t port;
  {
    Socket probe = OpenTcpSocket();
    ASSERT_TRUE(BindIPv4(probe.get(), LoopbackIPv4(), 0));
    port = LocalPort(probe.get());
  }  // closed without listening: connections to it are refused
  PitwallClient client;
  const ClientError error = client.Connect("127.0.0.1", port);
  EXPECT_EQ(error.code, ClientErrorCode::kRefused);
  EXPECT_EQ(error.message,
            "cannot connect to 127.0.0.1:" + std::to_string(port) + ": connection refused");
  EXPECT_EQ(client.Connect("pit.example", 1).code, ClientErrorCode::kBadAddress);
  EXPECT_EQ(client.Send(kUpdateData).code, ClientErrorCode::kNotConnected);
}

TEST(PitwallClientTest, ServerFullAndClosedAtOnce) {
  FakeServer server({[](FakeServer::Connection& c) {
                       c.Request();
                       c.Send(kHandshakeFullAnswer);
                       c.DrainUntilClosed();
                     },
                     [](FakeServer::Connection&) {}});  // over the limit: closed at once
  PitwallClient full;
  ASSERT_TRUE(full.Connect("127.0.0.1", server.port()).ok());
  const auto answer = full.Handshake(5000);
  EXPECT_EQ(answer.error.code, ClientErrorCode::kServerFull);
  EXPECT_EQ(answer.value.version, 1);
  EXPECT_EQ(answer.value.status, 4);
  full.Close();

  PitwallClient third;
  ASSERT_TRUE(third.Connect("127.0.0.1", server.port()).ok());
  // Our request may meet the close (reset) or come too late to be sent.
  const ClientErrorCode code = third.Handshake(5000).error.code;
  EXPECT_TRUE(code == ClientErrorCode::kClosed || code == ClientErrorCode::kSendFailed)
      << ClientErrorName(code);
}

TEST(PitwallClientTest, AssemblesOutlineOfTwoStripsFromChunks) {
  const std::vector<std::pair<std::uint8_t, std::uint32_t>> dir = {{1, 120}, {0, 51}};
  const std::vector<Bytes> chunks = {Chunk(dir, 0, 0, 50), Chunk(dir, 0, 50, 50),
                                     Chunk(dir, 0, 100, 20), Chunk(dir, 1, 0, 50),
                                     Chunk(dir, 1, 50, 1)};
  ASSERT_EQ(chunks[0].size(), 424u);
  ASSERT_EQ(chunks[2].size(), 184u);
  ASSERT_EQ(chunks[4].size(), 32u);
  Bytes first_request;
  FakeServer server({[&](FakeServer::Connection& c) {
    first_request = c.Request();
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      c.Send(chunks[i]);
      if (i == 2) c.Send(kEmptyLiveAnswer);  // an answer of another type in between
    }
    c.DrainUntilClosed();
  }});
  PitwallClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()).ok());
  const auto outline = client.FetchTrackOutline(5000);
  ASSERT_TRUE(outline.ok()) << outline.error.message;
  EXPECT_EQ(first_request, (Bytes{3, 0, 4}));
  const auto& strips = outline.value.strips;
  ASSERT_EQ(strips.size(), 2u);
  EXPECT_EQ(strips[0].kind, 1);
  EXPECT_EQ(strips[1].kind, 0);
  ASSERT_EQ(strips[0].points.size(), 120u);
  ASSERT_EQ(strips[1].points.size(), 51u);
  const struct {
    std::size_t strip, point;
    float x, z;
  } kPoints[] = {{0, 0, 0, 0},    {0, 49, 49, -49},     {0, 50, 50, -50}, {0, 119, 119, -119},
                 {1, 0, 1000, 0}, {1, 49, 1049, 24.5f}, {1, 50, 1050, 25}};
  for (const auto& p : kPoints) {
    EXPECT_EQ(strips[p.strip].points[p.point].x, p.x) << p.strip << "/" << p.point;
    EXPECT_EQ(strips[p.strip].points[p.point].z, p.z) << p.strip << "/" << p.point;
  }
  const auto held = client.ReadAnswer(0);
  ASSERT_TRUE(held.ok()) << held.error.message;
  EXPECT_TRUE(std::holds_alternative<LiveAnswer>(held.value));
}

TEST(PitwallClientTest, NoOutlineWhileTrackNotLoaded) {
  FakeServer server({[](FakeServer::Connection& c) { c.DrainUntilClosed(); }});
  PitwallClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()).ok());
  const auto outline = client.FetchTrackOutline(200);
  EXPECT_EQ(outline.error.code, ClientErrorCode::kTimeout);
  EXPECT_NE(outline.error.message.find("no track outline"), std::string::npos);
  client.Close();
}

TrackChunk DecodedChunk(const Bytes& bytes) { return std::get<TrackChunk>(Decode(bytes).value); }

TEST(TrackAssemblerTest, OrderRepeatsAndChangedDirectory) {
  const std::vector<std::pair<std::uint8_t, std::uint32_t>> dir = {{1, 60}, {0, 10}};
  TrackAssembler assembler;
  EXPECT_FALSE(assembler.complete());
  EXPECT_TRUE(assembler.Add(DecodedChunk(Chunk(dir, 1, 0, 10))).ok());
  EXPECT_TRUE(assembler.Add(DecodedChunk(Chunk(dir, 0, 50, 10))).ok());
  EXPECT_TRUE(assembler.Add(DecodedChunk(Chunk(dir, 0, 50, 10))).ok());  // repeated
  EXPECT_FALSE(assembler.complete());
  EXPECT_EQ(assembler.points_missing(), 50u);
  EXPECT_TRUE(assembler.Add(DecodedChunk(Chunk(dir, 0, 0, 50))).ok());
  EXPECT_TRUE(assembler.complete());
  EXPECT_EQ(assembler.outline().strips[0].points[59].x, 59.0f);

  // Another track: the directory differs, gathering starts over.
  EXPECT_TRUE(assembler.Add(DecodedChunk(Chunk({{1, 5}}, 0, 0, 2))).ok());
  EXPECT_FALSE(assembler.complete());
  EXPECT_EQ(assembler.points_expected(), 5u);
  EXPECT_EQ(assembler.outline().strips.size(), 1u);

  TrackChunk huge = DecodedChunk(Chunk({{1, 5}}, 0, 0, 2));
  huge.directory[0].point_count = 0xFFFFFFFFu;
  EXPECT_EQ(assembler.Add(huge).code, ClientErrorCode::kBadContent);
  EXPECT_EQ(assembler.points_expected(), 5u);
}

}  // namespace
