#include "answer_text.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <tuple>
#include <utility>

namespace {

TEST(AnswerTextTest, Utf8TextKeepsValidSequencesAndReadsTheRestAsLatin1) {
  const std::pair<std::string, std::string> kCases[] = {
      {"Ann \"Lee\"\n", "Ann \"Lee\"\n"},
      {std::string("nul\0in", 6), std::string("nul\0in", 6)},
      {"caf\xc3\xa9", "caf\xc3\xa9"},                            // é, two bytes
      {"\xe2\x82\xac", "\xe2\x82\xac"},                          // €, three bytes
      {"\xf0\x9f\x8f\x81", "\xf0\x9f\x8f\x81"},                  // U+1F3C1, four bytes
      {"caf\xe9", "caf\xc3\xa9"},                                // Latin-1 é
      {"\xc3", "\xc3\x83"},                                      // sequence cut short
      {"\xc3(", "\xc3\x83("},                                    // bad continuation
      {"\xc0\xaf", "\xc3\x80\xc2\xaf"},                          // overlong '/'
      {"\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},              // surrogate U+D800
      {"\xf4\x90\x80\x80", "\xc3\xb4\xc2\x90\xc2\x80\xc2\x80"},  // above U+10FFFF
      {"\x80", "\xc2\x80"},                                      // lone continuation byte
  };
  for (const auto& [in, out] : kCases) EXPECT_EQ(Utf8Text(in), out) << out;
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
  EXPECT_EQ(FixedText(3.14159, 3), "3.142");
  EXPECT_EQ(FixedText(-0.5, 1), "-0.5");
  EXPECT_EQ(FixedText(nan, 2), "nan");
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
