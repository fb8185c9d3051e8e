#include "answer_text.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <tuple>

namespace {

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
  // Names quoted, one line whatever they hold.
  EXPECT_EQ(AnswerLine(DriversAnswer{0x1f, {{0, "Ann\tLee"}, {3, "\"Q\" \\ \xe2\x80\xaeZ"}}}),
            R"(drivers mask=0x1f count=2 [0 "Ann\x09Lee"] [3 "\"Q\" \\ \u202eZ"])");
  EXPECT_EQ(AnswerLine(SessionAnswer{0, "Ring\r\n\x1b]0;x\x07", 3, 0.0f, 5, 1000.0f}),
            R"(session mask=0x00 track="Ring\x0d\x0a\x1b]0;x\x07" session=3 end_time=0.000 )"
            R"(max_laps=5 lap_distance=1000.000)");
  TrackChunk chunk{0, {{1, 120}, {0, 51}}, 0, 100, {{100.0f, -100.0f}, {119.0f, -119.5f}}};
  EXPECT_EQ(AnswerLine(chunk),
            "trackstrip mask=0x00 strips=1:120,0:51 strip=0 first=100 n=2 from (100.00, -100.00) "
            "to (119.00, -119.50)");
}

}  // namespace
