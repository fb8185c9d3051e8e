#include "answer_text.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace {

TEST(AnswerTextTest, JsonEscape) {
  const struct {
    std::string in;
    std::string out;
  } kCases[] = {
      {"Ann Lee", "Ann Lee"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"back\\slash", "back\\\\slash"},
      {"a\nb\tc\rd\be\ff", "a\\nb\\tc\\rd\\be\\ff"},
      {std::string("\x01\x1f\x7f", 3), "\\u0001\\u001f\\u007f"},
      {std::string("nul\0in", 6), "nul\\u0000in"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},                        // é, two bytes
      {"\xe2\x82\xac", "\xe2\x82\xac"},                      // €, three bytes
      {"\xf0\x9f\x8f\x81", "\xf0\x9f\x8f\x81"},              // U+1F3C1, four bytes
      {"caf\xe9", "caf\\u00e9"},                             // Latin-1 é
      {"\xc3", "\\u00c3"},                                   // sequence cut short
      {"\xc3(", "\\u00c3("},                                 // bad continuation
      {"\xc0\xaf", "\\u00c0\\u00af"},                        // overlong '/'
      {"\xe0\x80\xaf", "\\u00e0\\u0080\\u00af"},             // overlong, three bytes
      {"\xed\xa0\x80", "\\u00ed\\u00a0\\u0080"},             // surrogate U+D800
      {"\xf4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080"},  // above U+10FFFF
      {"\xf5\x80", "\\u00f5\\u0080"},
      {"\x80", "\\u0080"},  // lone continuation byte
  };
  for (const auto& c : kCases) EXPECT_EQ(JsonEscape(c.in), c.out) << c.out;
}

TEST(AnswerTextTest, PrintableText) {
  const struct {
    std::string in;
    std::string out;
  } kCases[] = {
      {"Ann\x01Lee\x7f", "Ann?Lee?"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
      {"caf\xe9", "caf\xc3\xa9"},  // Latin-1 read as such
      {"\x85x", "?x"},             // a C1 control
      {"\xff", "\xc3\xbf"},
  };
  for (const auto& c : kCases) EXPECT_EQ(PrintableText(c.in), c.out) << c.in;
  EXPECT_EQ(DisplayWidth("caf\xc3\xa9!"), 5u);
  EXPECT_EQ(TruncateColumns("\xc3\xa9\xc3\xa9\xc3\xa9", 2), "\xc3\xa9\xc3\xa9");
  EXPECT_EQ(TruncateColumns("abc", 5), "abc");
}

TEST(AnswerTextTest, NumbersAndTimes) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    float seconds;
    const char* lap;
    const char* clock;
  } kTimes[] = {
      {85.25f, "1:25.250", "1:25"},
      {59.9996f, "1:00.000", "0:59"},
      {0.001f, "0:00.001", "0:00"},
      {3725.5f, "62:05.500", "1:02:05"},
      {0.0f, "--", "0:00"},
      {-1.0f, "--", "--"},
      {nan, "--", "--"},
      {inf, "--", "--"},
  };
  for (const auto& t : kTimes) {
    EXPECT_EQ(LapTimeText(t.seconds), t.lap) << t.seconds;
    EXPECT_EQ(ClockText(t.seconds), t.clock) << t.seconds;
  }
  EXPECT_EQ(JsonNumber(85.25f), "85.25");
  EXPECT_EQ(JsonNumber(-1.0f), "-1");
  EXPECT_EQ(JsonNumber(0.1f), "0.1");
  EXPECT_EQ(JsonNumber(nan), "null");
  EXPECT_EQ(JsonNumber(-inf), "null");
  EXPECT_EQ(FixedText(3.14159, 3), "3.142");
  EXPECT_EQ(FixedText(-0.5, 1), "-0.5");
  EXPECT_EQ(FixedText(nan, 2), "nan");
}

TEST(AnswerTextTest, JsonLines) {
  EXPECT_EQ(AnswerJson(HandshakeAnswer{0, 1, 4}),
            "{\"type\":\"handshake\",\"change_mask\":0,\"version\":1,\"status\":4}");

  SessionAnswer session{31, "The \"Ring\"\n", 3, 1800.0f, 12, 4321.5f};
  EXPECT_EQ(AnswerJson(session),
            "{\"type\":\"session\",\"change_mask\":31,\"track_name\":\"The \\\"Ring\\\"\\n\","
            "\"session\":3,\"end_time\":1800,\"max_laps\":12,\"lap_distance\":4321.5}");

  DriversAnswer drivers{2, {{0, "Ann"}, {4, "Jos\xe9"}}};
  EXPECT_EQ(AnswerJson(drivers),
            "{\"type\":\"drivers\",\"change_mask\":2,\"drivers\":[{\"index\":0,\"name\":\"Ann\"},"
            "{\"index\":4,\"name\":\"Jos\\u00e9\"}]}");

  LiveAnswer live;
  live.captured = true;
  live.current_time = 12.5f;
  live.fastest_lap = -1.0f;
  CarState car;
  car.index = 3;
  car.status_bits = 0x36;
  car.sector = 2;
  car.finish_status = 1;
  car.in_pits = true;
  car.control_one = true;
  car.place = 1;
  car.laps = 4;
  car.best_lap = std::numeric_limits<float>::quiet_NaN();
  car.last_lap = 90.5f;
  live.cars.push_back(car);
  EXPECT_EQ(AnswerJson(live),
            "{\"type\":\"live\",\"change_mask\":0,\"captured\":true,\"current_time\":12.5,"
            "\"fastest_lap\":-1,\"fastest_lap_vehicle\":0,\"cars\":[{\"index\":3,\"place\":1,"
            "\"laps\":4,\"lap_distance\":0,\"time_behind_leader\":0,\"last_lap\":90.5,"
            "\"best_lap\":null,\"sector1\":0,\"sector2\":0,\"x\":0,\"z\":0,\"heading\":0,"
            "\"status_bits\":54,\"sector\":2,\"finish_status\":1,\"in_pits\":true,"
            "\"control_one\":true}]}");

  TrackChunk chunk{0, {{1, 120}, {0, 51}}, 1, 50, {{1050.0f, 25.0f}}};
  EXPECT_EQ(AnswerJson(chunk),
            "{\"type\":\"trackstrip\",\"change_mask\":0,\"strips\":[{\"kind\":1,\"point_count\":"
            "120},{\"kind\":0,\"point_count\":51}],\"strip_index\":1,\"first_point\":50,"
            "\"points\":[[1050,25]]}");
}

TEST(AnswerTextTest, PlainLines) {
  EXPECT_EQ(AnswerLine(HandshakeAnswer{0, 1, 4}),
            "handshake mask=0x00 version=1 status=4 (server full)");
  EXPECT_EQ(AnswerLine(DriversAnswer{0x1f, {{0, "Ann\tLee"}}}),
            "drivers mask=0x1f count=1 [0 \"Ann?Lee\"]");
  TrackChunk chunk{0, {{1, 120}, {0, 51}}, 0, 100, {{100.0f, -100.0f}, {119.0f, -119.5f}}};
  EXPECT_EQ(AnswerLine(chunk),
            "trackstrip mask=0x00 strips=1:120,0:51 strip=0 first=100 n=2 from (100.00, -100.00) "
            "to (119.00, -119.50)");
}

}  // namespace
