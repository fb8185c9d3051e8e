#include "timing/timing_data.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <thread>
#include <vector>

#include "pitwall/scoring_record.h"
#include "testing/fake_clock.h"

namespace {

// Bytes of a value as they must appear on the wire.
template <typename T>
std::vector<unsigned char> Bytes(const T& v) {
  std::vector<unsigned char> out(sizeof(T));
  std::memcpy(out.data(), &v, sizeof(T));
  return out;
}

class TimingDataTest : public ::testing::Test {
 protected:
  FakeClock clock_{10000};
  ChangeStamps stamps_{clock_};
  TimingData data_{&stamps_};

  // The change mask a fresh observer sees after the clock moves on.
  std::uint8_t ChangesSince(ChangeState* c) {
    clock_.Advance(1);
    stamps_.TakeChangeMask(c);
    return c->change_flags;
  }
};

TEST_F(TimingDataTest, EveryFieldLandsAtItsWireOffset) {
  ScoringRecordWriter w(2);
  w.SetTrackName("Pitwall Ring");
  w.SetSession(3);
  w.SetCurrentTime(123.5f);
  w.SetEndTime(1800.0f);
  w.SetMaxLaps(25);
  w.SetLapDistance(4321.0f);
  auto v = w.vehicle(1);
  v.SetDriverName("Ada Lovelace");
  v.SetLaps(0x1234);
  v.SetSector(2);
  v.SetFinishStatus(1);
  v.SetLapDistance(1000.25f);
  v.SetBestLap(88.5f);
  v.SetSectorTimesA(11.0f, 22.0f);
  v.SetLastLap(89.75f);
  v.SetSectorTimesB(30.5f, 60.25f);
  v.SetControl(1);
  v.SetInPits(7);
  v.SetPlace(3);
  v.SetTimeBehindLeader(4.5f);
  v.SetPosition(-12.5f, 640.0f);
  v.SetHeadingInputs(1.0f, 0.0f);

  const auto result = data_.IngestScoring(w.record());
  EXPECT_TRUE(result.stored);
  EXPECT_TRUE(result.session_taken);

  TimingData::Reader r(data_);
  const auto* s = reinterpret_cast<const unsigned char*>(&r.session());
  EXPECT_STREQ(reinterpret_cast<const char*>(s), "Pitwall Ring");
  EXPECT_EQ(std::vector<unsigned char>(s + 64, s + 80),
            (std::vector<unsigned char>{0x03, 0, 0, 0,              // session
                                        0x00, 0x00, 0xE1, 0x44,     // 1800.0f
                                        0x19, 0, 0, 0,              // 25 laps
                                        0x00, 0x08, 0x87, 0x45}));  // 4321.0f

  const auto* l = reinterpret_cast<const unsigned char*>(&r.live());
  EXPECT_EQ(std::vector<unsigned char>(l, l + 20),
            (std::vector<unsigned char>{1,    0,    0,    0,     // captured
                                        0x00, 0x00, 0xF7, 0x42,  // 123.5f
                                        2,    0,    0,    0,     // vehicles
                                        0x00, 0x00, 0x00, 0x00,  // fastest: vehicle 0's 0.0
                                        0,    0,    0,    0}));

  ASSERT_EQ(r.vehicle_count(), 2);
  const auto* info = reinterpret_cast<const unsigned char*>(r.info());
  EXPECT_EQ(info[33], 1) << "index of the second record, at stride 33";
  EXPECT_STREQ(reinterpret_cast<const char*>(info + 34), "Ada Lovelace");

  const auto* u = reinterpret_cast<const unsigned char*>(r.updates()) + 48;
  const std::vector<unsigned char> expected = {
      1,    0x36, 0,    0,      // index, status: sector 2 | finish 1<<2 | pits | control 1
      0x00, 0x10, 0x7A, 0x44,   // lap distance 1000.25f
      3,    0,    0,    0,      // place
      0x00, 0x00, 0x90, 0x40,   // behind leader 4.5f
      0x34, 0x12, 0,    0,      // laps
      0x00, 0x00, 0x48, 0xC1,   // x -12.5f
      0x00, 0x00, 0x20, 0x44,   // z 640.0f
      0xDB, 0x0F, 0xC9, 0x3F,   // heading pi/2
      0x00, 0x00, 0xB1, 0x42,   // best 88.5f
      0x00, 0x80, 0xB3, 0x42,   // last 89.75f
      0x00, 0x00, 0xF4, 0x41,   // sector 1 from pair B: 30.5f
      0x00, 0x00, 0x71, 0x42};  // sector 2 from pair B: 60.25f
  EXPECT_EQ(std::vector<unsigned char>(u, u + 48), expected);
}

TEST_F(TimingDataTest, StatusBitsSectorTimesAndHeading) {
  struct Case {
    std::int8_t sector, finish, control;
    std::uint8_t in_pits;
    std::uint8_t status;
  };
  const Case cases[] = {
      {0, 0, 0, 0, 0x00},  {3, 0, 0, 0, 0x03},
      {0, 3, 0, 0, 0x0C},  {0, 6, 0, 0, 0x08},
      {0, 0, 0, 1, 0x10},  {0, 0, 0, 255, 0x10},
      {0, 0, 1, 0, 0x20},  {0, 0, 2, 0, 0x00},
      {0, 0, -1, 0, 0x00}, {2, 1, 1, 1, 0x36},
      {1, 0, 0, 0, 0x01},  {-3, 0, 0, 0, 0xFD},  // the sector byte is ORed in whole
  };
  const int n = static_cast<int>(std::size(cases));
  ScoringRecordWriter w(n);
  for (int i = 0; i < n; ++i) {
    auto v = w.vehicle(i);
    v.SetSector(cases[i].sector);
    v.SetFinishStatus(cases[i].finish);
    v.SetControl(cases[i].control);
    v.SetInPits(cases[i].in_pits);
    v.SetSectorTimesA(1.0f, 2.0f);
    v.SetSectorTimesB(3.0f, 4.0f);
  }
  w.vehicle(0).SetHeadingInputs(1.0f, 0.0f);
  w.vehicle(1).SetHeadingInputs(0.0f, -1.0f);
  w.vehicle(2).SetHeadingInputs(-1.0f, -1.0f);
  data_.IngestScoring(w.record());
  TimingData::Reader r(data_);
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(r.updates()[i].status, cases[i].status) << "case " << i;
    // In sector 1 the sector times come from the first pair, else the second.
    const bool first_pair = cases[i].sector == 1;
    EXPECT_EQ(r.updates()[i].sector1, first_pair ? 1.0f : 3.0f) << "case " << i;
    EXPECT_EQ(r.updates()[i].sector2, first_pair ? 2.0f : 4.0f) << "case " << i;
  }
  EXPECT_FLOAT_EQ(r.updates()[0].heading, static_cast<float>(std::numbers::pi / 2));
  EXPECT_FLOAT_EQ(r.updates()[1].heading, static_cast<float>(std::numbers::pi));
  EXPECT_FLOAT_EQ(r.updates()[2].heading, static_cast<float>(-3 * std::numbers::pi / 4));
  EXPECT_EQ(r.updates()[3].heading, 0.0f) << "atan2(0, 0)";
}

TEST_F(TimingDataTest, FastestLapRule) {
  ScoringRecordWriter w(3);
  w.vehicle(0).SetBestLap(90.0f);
  w.vehicle(1).SetBestLap(85.0f);
  w.vehicle(2).SetBestLap(85.0f);
  data_.IngestScoring(w.record());
  EXPECT_EQ(data_.live().fastest_lap, 85.0f);
  EXPECT_EQ(data_.live().fastest_lap_vehicle, 2) << "a tie goes to the later vehicle";

  w.vehicle(0).SetBestLap(84.0f);
  data_.IngestScoring(w.record());
  EXPECT_EQ(data_.live().fastest_lap, 84.0f);
  EXPECT_EQ(data_.live().fastest_lap_vehicle, 0);

  w.vehicle(0).SetBestLap(95.0f);  // worse now: the stored value persists
  data_.IngestScoring(w.record());
  EXPECT_EQ(data_.live().fastest_lap, 84.0f);
  EXPECT_EQ(data_.live().fastest_lap_vehicle, 0);

  // A negative best lap after timed vehicles is taken; the next timed one
  // replaces it.
  data_.SessionStarted();
  w.vehicle(0).SetBestLap(90.0f);
  w.vehicle(1).SetBestLap(-1.0f);
  w.vehicle(2).SetBestLap(92.0f);
  data_.IngestScoring(w.record());
  EXPECT_EQ(data_.live().fastest_lap, 92.0f);
  EXPECT_EQ(data_.live().fastest_lap_vehicle, 2);
  data_.SessionEnded();
  w.SetVehicles(2);
  data_.IngestScoring(w.record());
  EXPECT_EQ(data_.live().fastest_lap, -1.0f);
  EXPECT_EQ(data_.live().fastest_lap_vehicle, 1);

  // A stored value that is not a number does not stick.
  data_.SessionStarted();
  w.vehicle(0).SetBestLap(std::nanf(""));
  w.vehicle(1).SetBestLap(80.0f);
  data_.IngestScoring(w.record());
  EXPECT_EQ(data_.live().fastest_lap, 80.0f);
  EXPECT_EQ(data_.live().fastest_lap_vehicle, 1);
}

TEST_F(TimingDataTest, SessionBlockIsTakenOncePerSession) {
  ChangeState observer;
  stamps_.TakeChangeMask(&observer);
  ScoringRecordWriter w(1);
  w.SetTrackName("Track A");
  w.SetSession(1);
  EXPECT_TRUE(data_.IngestScoring(w.record()).session_taken);
  w.SetSession(2);
  w.SetTrackName("Track B");
  w.SetCurrentTime(5.0f);
  EXPECT_FALSE(data_.IngestScoring(w.record()).session_taken);
  EXPECT_EQ(data_.session().session, 1);
  EXPECT_STREQ(data_.session().track_name, "Track A");
  EXPECT_EQ(data_.live().current_time, 5.0f) << "the live block follows every update";
  EXPECT_EQ(ChangesSince(&observer), kChangeVehicles);

  data_.SessionEnded();
  EXPECT_EQ(data_.live().captured, 0);
  EXPECT_EQ(ChangesSince(&observer), 0) << "a session end stamps nothing";
  EXPECT_TRUE(data_.IngestScoring(w.record()).session_taken);
  EXPECT_EQ(data_.session().session, 2);

  data_.SessionStarted();
  EXPECT_EQ(ChangesSince(&observer), kChangeSession);
  {
    TimingData::Reader r(data_);
    EXPECT_EQ(r.live().captured, 0);
    EXPECT_EQ(r.live().fastest_lap, -1.0f);
    EXPECT_EQ(r.vehicle_count(), 1) << "a session start leaves the vehicles";
    EXPECT_STREQ(r.session().track_name, "Track B");
  }
  w.SetSession(3);
  EXPECT_TRUE(data_.IngestScoring(w.record()).session_taken);
  EXPECT_EQ(data_.session().session, 3);
}

TEST_F(TimingDataTest, VehicleCountChangesStampAndCapacityOnlyGrows) {
  ChangeState observer;
  stamps_.TakeChangeMask(&observer);
  ScoringRecordWriter w(0);
  data_.IngestScoring(w.record());
  EXPECT_EQ(data_.live().captured, 1) << "also with no vehicles";
  EXPECT_EQ(ChangesSince(&observer), 0) << "0 equals the stored count";

  w.SetVehicles(10);
  data_.IngestScoring(w.record());
  EXPECT_EQ(data_.capacity(), 10);
  EXPECT_EQ(ChangesSince(&observer), kChangeVehicles);
  w.SetVehicles(20);
  for (int i = 0; i < 20; ++i) w.vehicle(i).SetPlace(static_cast<std::uint8_t>(i + 1));
  data_.IngestScoring(w.record());
  EXPECT_EQ(data_.capacity(), 20);
  EXPECT_EQ(ChangesSince(&observer), kChangeVehicles);
  data_.IngestScoring(w.record());
  EXPECT_EQ(ChangesSince(&observer), 0);
  w.SetVehicles(10);
  data_.IngestScoring(w.record());
  EXPECT_EQ(data_.capacity(), 20);
  EXPECT_EQ(ChangesSince(&observer), kChangeVehicles);
  TimingData::Reader r(data_);
  ASSERT_EQ(r.vehicle_count(), 10);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(r.updates()[i].vehicle_index, i);
    EXPECT_EQ(r.updates()[i].place, i + 1);
  }
}

TEST_F(TimingDataTest, OutOfRangeCountsNeverWritePastTheArrays) {
  ScoringRecordWriter w(300);
  for (int i = 0; i < 300; ++i) w.vehicle(i).SetPlace(static_cast<std::uint8_t>(i));
  data_.IngestScoring(w.record());
  {
    TimingData::Reader r(data_);
    ASSERT_EQ(r.vehicle_count(), 255) << "the first 255 of 300";
    EXPECT_EQ(r.updates()[254].vehicle_index, 254);
    EXPECT_EQ(r.updates()[254].place, 254);
  }
  EXPECT_EQ(data_.capacity(), 255);

  w.SetVehicleCountField(-7);
  data_.IngestScoring(w.record());
  EXPECT_EQ(data_.live().vehicle_count, 0);
  EXPECT_EQ(data_.live().captured, 1);

  w.SetVehicleCountField(3);
  w.SetVehicleArray(nullptr);
  data_.IngestScoring(w.record());
  EXPECT_EQ(data_.live().vehicle_count, 0) << "no array, no vehicles";

  EXPECT_FALSE(data_.IngestScoring(nullptr).stored);
}

TEST_F(TimingDataTest, ReadersAlwaysSeeOneWholeUpdate) {
  // Each update gives every vehicle the update's number as lap distance and
  // current time; a reader must never see two numbers mixed, nor a count
  // larger than the records it was given.
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::atomic<long> reads{0};
  auto reader = [&] {
    while (!done.load()) {
      TimingData::Reader r(data_);
      const float stamp = r.live().current_time;
      for (int i = 0; i < r.vehicle_count(); ++i) {
        if (r.updates()[i].lap_distance != stamp || r.updates()[i].vehicle_index != i ||
            r.info()[i].driver_name[0] != 'D') {
          torn.fetch_add(1);
        }
      }
      reads.fetch_add(1);
    }
  };
  std::thread r1(reader), r2(reader);
  ScoringRecordWriter w(0);
  // The writer goes on until the readers have had many looks during the
  // writing, however the threads are scheduled.
  const long reads_before = reads.load();
  for (int u = 1; u <= 3000 || reads.load() - reads_before < 200; ++u) {
    const int n = (u * 37) % 256;
    w.SetVehicles(n);
    w.SetCurrentTime(static_cast<float>(u));
    for (int i = 0; i < n; ++i) {
      w.vehicle(i).SetLapDistance(static_cast<float>(u));
      w.vehicle(i).SetDriverName("Driver");
    }
    data_.IngestScoring(w.record());
  }
  done.store(true);
  r1.join();
  r2.join();
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
