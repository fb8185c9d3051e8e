#include "tools/test_host/answer_feed.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "pitwall/scoring_record.h"
#include "tools/test_host/capture_sink.h"
#include "tools/test_host/race_sim.h"
#include "tools/test_host/recording.h"

namespace {

using V = HostVehicleOffsets;
using S = HostScoringOffsets;

struct Heard {
  Answer answer;
  double at_s;
};

std::uint8_t Mask(const Answer& answer) {
  return std::visit([](const auto& a) { return a.change_mask; }, answer);
}

TEST(AnswerFeedTest, AReplayedRaceGivesOneLiveAnswerPerUpdateWithTheHostsFields) {
  TrackPath path;
  std::string error;
  ASSERT_TRUE(path.Load(PITWALL_EXAMPLES_DIR "/game", "Pitwall Ring", &error)) << error;
  SimOptions options;
  options.cars = 4;
  options.race_laps = 2;
  options.sessions = {SessionKind::kRace, SessionKind::kRace};
  options.retire = {{3, 2}};
  RaceSimulation sim(path, "Pitwall Ring", options);
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  CaptureSink recorded;
  Recorder recorder(file, &recorded);
  while (sim.Advance(2.0, &recorder)) {
  }
  ASSERT_TRUE(recorder.ok());

  std::vector<Heard> heard;
  AnswerFeed feed([&](const Answer& answer, double at_s) { heard.push_back({answer, at_s}); });
  std::rewind(file);
  ASSERT_TRUE(Replay(file, &feed, ReplayOptions{.speed = 0, .interrupted = nullptr}, &error))
      << error;
  std::fclose(file);
  ASSERT_TRUE(feed.ok()) << feed.error();

  std::vector<const CaptureSink::Event*> updates;
  std::vector<bool> after_start;  // the update follows a session start
  for (std::size_t i = 0; i < recorded.events.size(); ++i) {
    if (recorded.events[i].kind != 'u') continue;
    updates.push_back(&recorded.events[i]);
    after_start.push_back(i > 0 && recorded.events[i - 1].kind == 's');
  }
  ASSERT_EQ(heard.size(), 3 * updates.size()) << "session, drivers and live for every update";
  int session_bits = 0;
  for (std::size_t u = 0; u < updates.size(); ++u) {
    SCOPED_TRACE("update " + std::to_string(u));
    const CaptureSink::Event& e = *updates[u];
    const Heard* three = &heard[3 * u];
    const auto* session = std::get_if<SessionAnswer>(&three[0].answer);
    const auto* drivers = std::get_if<DriversAnswer>(&three[1].answer);
    const auto* live = std::get_if<LiveAnswer>(&three[2].answer);
    ASSERT_TRUE(session && drivers && live) << "in the order session, drivers, live";
    const float now = ReadAt<float>(e.header.data(), S::kCurrentTime);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(three[k].at_s, now);
    // Every change bit on the first answer; a session start on the next
    // answer after it, once; nothing otherwise.
    const std::uint8_t expected = u == 0 ? kChangeAll : after_start[u] ? kChangeSession : 0;
    EXPECT_EQ(session->change_mask, expected);
    EXPECT_EQ(drivers->change_mask, 0);
    EXPECT_EQ(live->change_mask, 0);
    if (session->change_mask & kChangeSession) ++session_bits;
    EXPECT_EQ(session->track_name, "Pitwall Ring");
    EXPECT_EQ(session->session, 3);
    EXPECT_EQ(live->current_time, now);
    ASSERT_EQ(live->cars.size(), 4u);
    ASSERT_EQ(drivers->drivers.size(), 4u);
    for (const CarState& car : live->cars) {
      const unsigned char* v = e.vehicles.data() + car.index * V::kRecordSize;
      EXPECT_EQ(drivers->drivers[car.index].name, reinterpret_cast<const char*>(v));
      EXPECT_EQ(car.laps, ReadAt<std::int16_t>(v, V::kLaps));
      EXPECT_EQ(car.place, ReadAt<std::uint8_t>(v, V::kPlace));
      EXPECT_EQ(car.finish_status, ReadAt<std::int8_t>(v, V::kFinishStatus));
      EXPECT_EQ(car.in_pits, ReadAt<std::uint8_t>(v, V::kInPits) != 0);
      EXPECT_EQ(car.lap_distance, ReadAt<float>(v, V::kLapDistance));
      EXPECT_EQ(car.last_lap, ReadAt<float>(v, V::kLastLap));
    }
  }
  EXPECT_EQ(session_bits, 2) << "the first answer and the restart";
  const auto& last = std::get<LiveAnswer>(heard.back().answer);
  EXPECT_EQ(last.cars[3].finish_status, 2) << "the retirement reaches the answers";
}

TEST(AnswerFeedTest, EachChangeIsReportedOnceOnTheNextAnswer) {
  std::vector<std::uint8_t> masks;
  AnswerFeed feed([&](const Answer& answer, double) { masks.push_back(Mask(answer)); });
  ScoringRecordWriter writer(2);
  writer.SetTrackName("Harbour Loop");
  writer.SetSession(1);
  feed.Scoring(writer.record());  // joined mid-session: everything is new
  feed.Scoring(writer.record());
  writer.SetVehicles(3);
  feed.Scoring(writer.record());  // a car joins
  feed.SessionEnd();
  feed.SessionStart();
  writer.SetSession(2);
  feed.Scoring(writer.record());
  ASSERT_TRUE(feed.ok()) << feed.error();
  EXPECT_EQ(masks, (std::vector<std::uint8_t>{kChangeAll, 0, 0,       //
                                              0, 0, 0,                //
                                              kChangeVehicles, 0, 0,  //
                                              kChangeSession, 0, 0}));
}

}  // namespace
