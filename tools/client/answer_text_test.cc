#include "answer_text.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <tuple>
#include <utility>

namespace {

TEST(AnswerTextTest, JsonEscape) {
  const std::pair<std::string, std::string> kCases[] = {
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
  for (const auto& [in, out] : kCases) EXPECT_EQ(JsonEscape(in), out) << out;
}

TEST(AnswerTextTest, PrintableText) {
  const std::pair<std::string, std::string> kCases[] = {
      {"Ann\x01Lee\x7f", "Ann?Lee?"}, {"caf\xc3\xa9", "caf\xc3\xa9"},
      {"caf\xe9", "caf\xc3\xa9"},  // Latin-1 read as such
      {"\x85\x9fx", "??x"},        // C1 controls
      {"\xff", "\xc3\xbf"},
  };
  for (const auto& [in, out] : kCases) EXPECT_EQ(PrintableText(in), out) << in;
  EXPECT_EQ(DisplayWidth("caf\xc3\xa9!"), 5u);
  EXPECT_EQ(TruncateColumns("\xc3\xa9\xc3\xa9\xc3\xa9", 2), "\xc3\xa9\xc3\xa9");
  EXPECT_EQ(TruncateColumns("abc", 5), "abc");
}

TEST(AnswerTextTest, NumbersAndTimes) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  // {seconds, lap time, clock}
  const std::tuple<float, const char*, const char*> kTimes[] = {
      {85.25f, "1:25.250", "1:25"},
      {59.9996f, "1:00.000", "0:59"},
      {0.001f, "0:00.001", "0:00"},
      {3600.0f, "60:00.000", "1:00:00"},
      {3725.5f, "62:05.500", "1:02:05"},
      {0.0f, "--", "0:00"},
      {-1.0f, "--", "--"},
      {nan, "--", "--"},
      {inf, "--", "--"},
  };
  for (const auto& [seconds, lap, clock] : kTimes) {
    EXPECT_EQ(LapTimeText(seconds), lap) << seconds;
    EXPECT_EQ(ClockText(seconds), clock) << seconds;
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

// The JSON form of every answer type, field by field, is checked on decoded
// answers in pitwall_client_test.cc; here, the names it escapes.
TEST(AnswerTextTest, JsonLinesEscapeNames) {
  EXPECT_EQ(AnswerJson(SessionAnswer{31, "The \"Ring\"\n", 3, 1800.0f, 12, 4321.5f}),
            R"({"type":"session","change_mask":31,"track_name":"The \"Ring\"\n",)"
            R"("session":3,"end_time":1800,"max_laps":12,"lap_distance":4321.5})");
  EXPECT_EQ(AnswerJson(DriversAnswer{2, {{0, "Ann"}, {4, "Jos\xe9"}}}),
            R"({"type":"drivers","change_mask":2,"drivers":[{"index":0,"name":"Ann"},)"
            R"({"index":4,"name":"Jos\u00e9"}]})");
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
