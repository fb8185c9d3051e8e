#include "pitwall_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "answer_text.h"
#include "platform/socket.h"
#include "tests/wire_client.h"
#include "timing_json.h"

namespace {

using Directory = std::vector<std::pair<std::uint8_t, std::uint32_t>>;

// Little-endian message builder for the bulkier canned answers.
struct Builder {
  Bytes b;
  Builder& U8(std::uint8_t v) {
    b.push_back(v);
    return *this;
  }
  Builder& U16(std::uint16_t v) { return U8(v & 0xFF).U8(v >> 8); }
  Builder& U32(std::uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
  Builder& F32(float v) { return U32(std::bit_cast<std::uint32_t>(v)); }
};

// One Trackstrip chunk; point i of strip 0 is (i, -i), of strip 1 (1000 + i, i / 2).
Bytes Chunk(const Directory& directory, std::uint8_t strip, std::uint32_t first, std::uint32_t n) {
  Builder m;
  m.U16(static_cast<std::uint16_t>(14 + 5 * directory.size() + 8 * n)).U8(4).U8(0);
  m.U8(static_cast<std::uint8_t>(directory.size()));
  for (const auto& [kind, count] : directory) m.U8(kind).U32(count);
  m.U8(strip).U32(first).U32(n);
  for (std::uint32_t i = first; i < first + n; ++i) {
    const auto f = static_cast<float>(i);
    strip == 0 ? m.F32(f).F32(-f) : m.F32(1000.0f + f).F32(f / 2);
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
const Bytes kHandshakeFullAnswer = {0x08, 0x00, 0x00, 0x1F, 0x01, 0x00, 0x04, 0x00};
const Bytes kEmptyLiveAnswer = {0x18, 0x00, 0x01, 0x00, 0x01, 0, 0, 0,
                                0x00, 0x00, 0xF7, 0x42, 0x00, 0, 0, 0,
                                0x00, 0x00, 0x80, 0xBF, 0x00, 0, 0, 0};
const std::string kSessionJson =
    R"({"type":"session","change_mask":31,"track_name":"Test Ring","session":3,)"
    R"("end_time":1800,"max_laps":12,"lap_distance":4321.5})";
const std::string kHandshakeOkJson =
    R"({"type":"handshake","change_mask":0,"version":1,"status":0})";
const std::string kHandshakeFullJson =
    R"({"type":"handshake","change_mask":31,"version":1,"status":4})";
const std::string kEmptyLiveJson =
    R"({"type":"live","change_mask":0,"captured":true,"current_time":123.5,)"
    R"("fastest_lap":-1,"fastest_lap_vehicle":0,"cars":[]})";

ClientResult<Answer> Decode(const Bytes& message) {
  return DecodeAnswer(message.data(), message.size());
}

// An answer as JSON, or the name of its error.
std::string Text(const ClientResult<Answer>& result) {
  return result.ok() ? AnswerJson(result.value) : ClientErrorName(result.error.code);
}

// A loopback server that accepts one connection per script, in order, and
// runs the script on it. Stops, and waits for its thread, when destroyed;
// declare it before the clients, so that they close first.
class FakeServer {
 public:
  struct Connection {
    Socket socket;
    // A blocking send of a few bytes hands them all over at once.
    void Send(const Bytes& b) {
      EXPECT_EQ(SendSome(socket.get(), b.data(), b.size()), static_cast<long>(b.size()));
    }
    // The next three-byte request; empty when the client closed or went quiet.
    Bytes Request() {
      Bytes request(3);
      for (std::size_t got = 0; got < 3;) {
        const long n = RecvSomeWithin(socket.get(), request.data() + got, 3 - got, 5000);
        if (n <= 0) return {};
        got += static_cast<std::size_t>(n);
      }
      return request;
    }
    void DrainUntilClosed() {
      while (!Request().empty()) {
      }
    }
  };
  using Script = std::function<void(Connection&)>;

  explicit FakeServer(std::vector<Script> scripts) : listener_(OpenTcpSocket()) {
    EXPECT_TRUE(BindIPv4(listener_.get(), LoopbackIPv4(), 0));
    EXPECT_TRUE(Listen(listener_.get(), 4));
    thread_ = std::thread([this, scripts = std::move(scripts)] {
      for (const Script& script : scripts) {
        std::uint32_t peer = 0;
        if (WaitReadable(listener_.get(), kWaitForever, &running_) != WaitResult::kReady) return;
        Connection connection{AcceptIPv4(listener_.get(), &peer)};
        if (!connection.socket.valid()) return;
        script(connection);
      }
    });
  }
  ~FakeServer() {
    running_.store(false);
    thread_.join();
  }
  std::uint16_t port() const { return LocalPort(listener_.get()); }

 private:
  Socket listener_;
  std::atomic<bool> running_{true};
  std::thread thread_;
};

TEST(PitwallClientTest, DecodesEveryTypeAndRejectsMalformedAnswers) {
  Builder drivers;  // A name with its NUL, then one that fills its field.
  drivers.U16(70).U8(3).U8(0x02).U8(0);
  for (char c : std::string("Ann Lee") + std::string(25, '\0')) drivers.U8(c);
  drivers.U8(7);
  for (int i = 0; i < 32; ++i) drivers.U8('B');
  // Two vehicles, with complementary status bits (0x16: sector 2, finish 1,
  // in pits; 0x29: sector 1, finish 2, control byte 1). A record: index,
  // status, distance, place, gap, laps, x, z, heading, best, last, sectors.
  Builder live;
  live.U16(120).U8(1).U8(3).U8(1).U8(0).U16(0).F32(123.5f);
  live.U8(2).U8(0).U16(0).F32(85.25f).U8(5).U8(0).U16(0);
  live.U8(5).U8(0x16).U16(0).F32(1000).U8(1).U8(0).U16(0).F32(10).U16(0xFFFE).U16(0);
  live.F32(-2.5f).F32(10).F32(1.5f).F32(85.25f).F32(86).F32(30).F32(60);
  live.U8(9).U8(0x29).U16(0).F32(5.5f).U8(2).U8(0).U16(0).F32(1.25f).U16(3).U16(0);
  live.F32(1).F32(2).F32(-1).F32(0).F32(-1).F32(0).F32(0);
  // Malformed: the length field fits the bytes but not the type or counts.
  const auto sized = [](std::size_t size, std::uint8_t type, std::size_t at, std::uint8_t v) {
    Bytes m(size, 0);
    m[0] = static_cast<std::uint8_t>(size);
    m[2] = type;
    m[at] = v;
    return m;
  };
  Bytes chunk_points_missing = Chunk({{1, 120}, {0, 51}}, 0, 0, 3);
  chunk_points_missing.resize(chunk_points_missing.size() - 8);
  chunk_points_missing[0] -= 8;  // the length fits the bytes, not the count of 3

  // {name, message, its JSON form or the name of the error}
  const std::tuple<const char*, Bytes, std::string> kCases[] = {
      {"handshake of a full server", kHandshakeFullAnswer, kHandshakeFullJson},
      {"session up to the first NUL", kSessionAnswer, kSessionJson},
      {"drivers", drivers.b,
       R"({"type":"drivers","change_mask":2,"drivers":[{"index":0,"name":"Ann Lee"},)"
       R"({"index":7,"name":"BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB"}]})"},
      {"no drivers", Bytes{4, 0, 3, 0}, R"({"type":"drivers","change_mask":0,"drivers":[]})"},
      {"live", live.b,
       R"({"type":"live","change_mask":3,"captured":true,"current_time":123.5,)"
       R"("fastest_lap":85.25,"fastest_lap_vehicle":5,"cars":[{"index":5,"place":1,"laps":-2,)"
       R"("lap_distance":1000,"time_behind_leader":10,"last_lap":86,"best_lap":85.25,)"
       R"("sector1":30,"sector2":60,"x":-2.5,"z":10,"heading":1.5,"status_bits":22,"sector":2,)"
       R"("finish_status":1,"in_pits":true,"control_one":false},{"index":9,"place":2,"laps":3,)"
       R"("lap_distance":5.5,"time_behind_leader":1.25,"last_lap":-1,"best_lap":0,"sector1":0,)"
       R"("sector2":0,"x":1,"z":2,"heading":-1,"status_bits":41,"sector":1,"finish_status":2,)"
       R"("in_pits":false,"control_one":true}]})"},
      {"live without cars", kEmptyLiveAnswer, kEmptyLiveJson},
      {"chunk up to the end of strip 1", Chunk({{1, 120}, {0, 51}}, 1, 49, 2),
       R"({"type":"trackstrip","change_mask":0,"strips":[{"kind":1,"point_count":120},)"
       R"({"kind":0,"point_count":51}],"strip_index":1,"first_point":49,)"
       R"("points":[[1049,24.5],[1050,25]]})"},
      {"handshake of 7", {7, 0, 0, 0, 1, 0, 0}, "bad length"},
      {"handshake of 9", {9, 0, 0, 0, 1, 0, 0, 0, 0}, "bad length"},
      {"session of 83", sized(83, 2, 4, 0), "bad length"},
      {"drivers of 4+33+1", sized(38, 3, 4, 0), "bad length"},
      {"live of 72 claiming 2 cars", sized(72, 1, 12, 2), "bad length"},
      {"live of 24 claiming 1 car", sized(24, 1, 12, 1), "bad length"},
      {"live of 72 claiming no car", sized(72, 1, 12, 0), "bad length"},
      {"live of 23", sized(23, 1, 4, 0), "bad length"},
      {"chunk short of its points", chunk_points_missing, "bad length"},
      {"chunk of header only", {4, 0, 4, 0}, "bad length"},
      {"chunk directory beyond message", {5, 0, 4, 0, 200}, "bad length"},
      {"chunk strip index 2 of 2", Chunk({{1, 120}, {0, 51}}, 2, 0, 1), "bad content"},
      {"chunk past strip end", Chunk({{1, 120}, {0, 51}}, 0, 100, 21), "bad content"},
      {"type 5", {4, 0, 5, 0}, "bad type"},
      {"length field above size", {10, 0, 0, 0, 1, 0, 0, 0}, "bad length"},
      {"length field below size", {7, 0, 0, 0, 1, 0, 0, 0}, "bad length"},
      {"shorter than header", {3, 0, 0}, "bad length"},
  };
  for (const auto& [name, message, expected] : kCases) {
    SCOPED_TRACE(name);
    const auto result = Decode(message);
    EXPECT_EQ(Text(result), expected) << result.error.message;
    EXPECT_EQ(result.error.message.empty(), result.ok());
  }
}

TEST(PitwallClientTest, ParsesEndpointsAndHosts) {
  // {text, the host and port after it; on failure they keep their values}.
  // The command line's tests read a host alone, a port alone and both.
  const std::pair<const char*, const char*> kCases[] = {
      {"localhost:65535", "localhost:65535"},
      {"", nullptr},
      {"h:0", nullptr},
      {"h:65536", nullptr},
      {"h:12x", nullptr},
      {"h:", nullptr},
      {"h:-5", nullptr},
  };
  for (const auto& [text, expected] : kCases) {
    std::string host = "127.0.0.1";
    std::uint16_t port = 34647;
    std::string error;
    EXPECT_EQ(ParseEndpoint(text, &host, &port, &error), expected != nullptr) << text;
    EXPECT_EQ(host + ":" + std::to_string(port), expected ? expected : "127.0.0.1:34647") << text;
    EXPECT_EQ(error.empty(), expected != nullptr) << text;
  }
  // Dotted text is resolved by every Connect() in these tests.
  EXPECT_EQ(ResolveHost("localhost").value, LoopbackIPv4());
  EXPECT_EQ(ResolveHost("timing.example").error.code, ClientErrorCode::kBadAddress);
  EXPECT_EQ(ResolveHost("timing.example").error.message,
            "unknown host 'timing.example' (no IPv4 address found for it)");
}

TEST(PitwallClientTest, FramesAnswersAcrossReceives) {
  Bytes bad = kEmptyLiveAnswer;
  bad[0] = 30;  // 24 + 6: no whole vehicle record
  bad.resize(30, 0xEE);
  Bytes rest(kSessionAnswer.begin() + 10, kSessionAnswer.end());
  for (const Bytes& part : {kHandshakeOkAnswer, bad, kHandshakeOkAnswer})
    rest.insert(rest.end(), part.begin(), part.end());
  // The server checks each request on the wire: length 3, then the type.
  FakeServer server({[&](FakeServer::Connection& c) {
    EXPECT_EQ(c.Request(), (Bytes{3, 0, 2}));
    c.Send(kEmptyLiveAnswer);  // a deferred UpdateData answer arriving first
    for (std::uint8_t byte : kSessionAnswer) c.Send({byte});
    c.Send(Bytes(kSessionAnswer.begin(), kSessionAnswer.begin() + 10));
    EXPECT_EQ(c.Request(), (Bytes{3, 0, 1}));  // the client's go-ahead
    c.Send(rest);
    c.DrainUntilClosed();
  }});
  PitwallClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()).ok());
  // The answer of another type that arrives first is held for ReadAnswer().
  const auto session = client.FetchSession(5000);
  ASSERT_TRUE(session.ok()) << session.error.message;
  EXPECT_EQ(AnswerJson(session.value), kSessionJson);
  EXPECT_EQ(Text(client.ReadAnswer(0)), kEmptyLiveJson);
  // A timeout keeps the part of an answer received so far.
  EXPECT_EQ(Text(client.ReadAnswer(50)), "timeout");
  EXPECT_EQ(Text(client.ReadAnswer(0)), "timeout");
  ASSERT_TRUE(client.Send(kUpdateData).ok());
  EXPECT_EQ(Text(client.ReadAnswer(5000)), kSessionJson);
  // Answers joined in one receive; a wrong length for the type is consumed
  // whole and the stream stays in step.
  EXPECT_EQ(Text(client.ReadAnswer(5000)), kHandshakeOkJson);
  EXPECT_EQ(Text(client.ReadAnswer(5000)), "bad length");
  EXPECT_TRUE(client.connected());
  EXPECT_EQ(Text(client.ReadAnswer(5000)), kHandshakeOkJson);
}

TEST(PitwallClientTest, ConnectionsThatEndOrFail) {
  FakeServer server({
      [](FakeServer::Connection& c) {
        c.Send(Bytes(kSessionAnswer.begin(), kSessionAnswer.begin() + 40));
      },
      [](FakeServer::Connection& c) { c.Send(kHandshakeOkAnswer); },
      [](FakeServer::Connection& c) {
        c.Send({0x02, 0x00, 0x01, 0x00, 0x08, 0x00});  // a length field below the header's 4
        c.DrainUntilClosed();
      },
      [](FakeServer::Connection& c) {
        EXPECT_EQ(c.Request(), (Bytes{3, 0, 0}));
        c.Send(kHandshakeFullAnswer);
        c.DrainUntilClosed();
      },
      [](FakeServer::Connection&) {},                           // over the limit: closed at once
      [](FakeServer::Connection& c) { c.DrainUntilClosed(); },  // no track loaded
  });
  PitwallClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()).ok());
  const auto truncated = client.ReadAnswer(5000);
  EXPECT_EQ(truncated.error.code, ClientErrorCode::kTruncated);
  EXPECT_NE(truncated.error.message.find("after 40 byte(s) of a 84-byte answer"), std::string::npos)
      << truncated.error.message;
  EXPECT_FALSE(client.connected());

  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()).ok());
  EXPECT_EQ(Text(client.ReadAnswer(5000)), kHandshakeOkJson);
  EXPECT_EQ(Text(client.ReadAnswer(5000)), "connection closed");

  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()).ok());
  EXPECT_EQ(Text(client.ReadAnswer(5000)), "bad length");
  EXPECT_FALSE(client.connected());
  EXPECT_EQ(Text(client.ReadAnswer(100)), "not connected");

  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()).ok());
  const auto full = client.Handshake(5000);
  EXPECT_EQ(full.error.code, ClientErrorCode::kServerFull);
  EXPECT_EQ(AnswerJson(full.value), kHandshakeFullJson);

  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()).ok());
  // Our request may meet the close (reset) or come too late to be sent.
  const ClientErrorCode code = client.Handshake(5000).error.code;
  EXPECT_TRUE(code == ClientErrorCode::kClosed || code == ClientErrorCode::kSendFailed)
      << ClientErrorName(code);

  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()).ok());
  const auto outline = client.FetchTrackOutline(200);
  EXPECT_EQ(outline.error.code, ClientErrorCode::kTimeout);
  EXPECT_NE(outline.error.message.find("no track outline"), std::string::npos);
}

TEST(PitwallClientTest, RefusedConnectionSaysSo) {
  const std::uint16_t port = FreePort();  // closed without listening: connections are refused
  PitwallClient client;
  const ClientError error = client.Connect("127.0.0.1", port);
  EXPECT_EQ(error.code, ClientErrorCode::kRefused);
  EXPECT_EQ(error.message,
            "cannot connect to 127.0.0.1:" + std::to_string(port) + ": connection refused");
  EXPECT_EQ(client.Connect("pit.example", 1).code, ClientErrorCode::kBadAddress);
  EXPECT_EQ(client.Send(kUpdateData).code, ClientErrorCode::kNotConnected);
}

TEST(PitwallClientTest, AssemblesOutlineOfTwoStripsFromChunks) {
  const Directory dir = {{1, 120}, {0, 51}};
  const std::vector<Bytes> chunks = {Chunk(dir, 0, 0, 50), Chunk(dir, 0, 50, 50),
                                     Chunk(dir, 0, 100, 20), Chunk(dir, 1, 0, 50),
                                     Chunk(dir, 1, 50, 1)};
  ASSERT_EQ(chunks[0].size(), 424u);
  ASSERT_EQ(chunks[4].size(), 32u);
  FakeServer server({[&](FakeServer::Connection& c) {
    EXPECT_EQ(c.Request(), (Bytes{3, 0, 4}));
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
  const auto& strips = outline.value.strips;
  ASSERT_EQ(strips.size(), 2u);
  EXPECT_EQ(strips[0].kind, 1);
  EXPECT_EQ(strips[1].kind, 0);
  ASSERT_EQ(strips[0].points.size(), 120u);
  ASSERT_EQ(strips[1].points.size(), 51u);
  const std::tuple<std::size_t, std::size_t, float, float> kPoints[] = {
      {0, 0, 0, 0},    {0, 49, 49, -49},     {0, 50, 50, -50}, {0, 119, 119, -119},
      {1, 0, 1000, 0}, {1, 49, 1049, 24.5f}, {1, 50, 1050, 25}};
  for (const auto& [strip, point, x, z] : kPoints) {
    EXPECT_EQ(strips[strip].points[point].x, x) << strip << "/" << point;
    EXPECT_EQ(strips[strip].points[point].z, z) << strip << "/" << point;
  }
  EXPECT_EQ(Text(client.ReadAnswer(0)), kEmptyLiveJson);
}

TrackChunk DecodedChunk(const Bytes& bytes) { return std::get<TrackChunk>(Decode(bytes).value); }

TEST(TrackAssemblerTest, OrderRepeatsAndChangedDirectory) {
  const Directory dir = {{1, 60}, {0, 10}};
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
