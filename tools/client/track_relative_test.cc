#include "track_relative.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Position = TrackRelative::Position;

// "index:gap+laps ..." nearest first.
std::string Describe(const std::vector<RelativeCar>& cars) {
  std::string text;
  for (const RelativeCar& car : cars) {
    char one[64];
    std::snprintf(one, sizeof(one), "%s%d:%.2f%+d", text.empty() ? "" : " ", car.index,
                  static_cast<double>(car.gap_s), car.laps);
    text += one;
  }
  return text;
}

// Cars driving at even speeds round a lap of 1000 m, seen ten times a
// second from time 0.1 s on.
struct Drive {
  TrackRelative relative;
  std::vector<double> start_m;  // race distance at time 0
  std::vector<double> speed;    // metres a second
  double time = 0.0;

  void Run(double seconds) {
    for (const double end = time + seconds; time < end - 1e-9;) {
      time += 0.1;
      std::vector<Position> cars;
      for (std::size_t i = 0; i < start_m.size(); ++i) {
        const double covered = start_m[i] + speed[i] * time;
        cars.push_back({static_cast<std::uint8_t>(i), static_cast<int>(covered / 1000.0),
                        static_cast<float>(std::fmod(covered, 1000.0)), true, 0.0f});
      }
      relative.Update(cars, time, 1000.0f);
    }
  }
};

TEST(TrackRelativeTest, GapsOnTrackAreTheTimeSinceTheCarAheadPassedWithLapsUpAndDown) {
  // At 10 s, hand-worked: car 0 at race distance 1500 m (lap 1, 500 m);
  // car 1 at 1300 m (lap 1, 300 m), 200 m behind it on the same lap;
  // car 2 at 530 m (lap 0), 30 m ahead of car 0 on track but a lap down.
  Drive drive;
  drive.start_m = {1000.0, 900.0, 30.0};
  drive.speed = {50.0, 40.0, 50.0};
  drive.Run(10.0);
  const auto relatives = drive.relative.Relatives(true);
  // Car 0: car 2 passed 500 m at 9.4 s; car 0 passed 300 m at 6 s. Car 1
  // (800 m round from car 0) is behind, not ahead.
  EXPECT_EQ(Describe(relatives.at(0).ahead), "2:0.60-1");
  EXPECT_EQ(Describe(relatives.at(0).behind), "1:4.00+0");
  // Car 1: car 0 passed 300 m at 6 s, car 2 at 5.4 s.
  EXPECT_EQ(Describe(relatives.at(1).ahead), "0:4.00+0 2:4.60-1");
  EXPECT_EQ(Describe(relatives.at(1).behind), "");
  // Car 2 sees both behind it, each a lap up.
  EXPECT_EQ(Describe(relatives.at(2).ahead), "");
  EXPECT_EQ(Describe(relatives.at(2).behind), "0:0.60+1 1:4.60+1");
  // Outside a race nobody is a lap up or down.
  EXPECT_EQ(Describe(drive.relative.Relatives(false).at(2).behind), "0:0.60+0 1:4.60+0");
}

TEST(TrackRelativeTest, AcrossTheLineAndAtMostThreeEachWay) {
  // Car 0 has crossed the line and is 20 m into lap 1 at 3 s; car 1 is at
  // 980 m of lap 0, 40 m behind: car 0 passed 980 m at 2 s.
  Drive drive;
  drive.start_m = {900.0, 860.0};
  drive.speed = {40.0, 40.0};
  drive.Run(3.0);
  auto relatives = drive.relative.Relatives(true);
  EXPECT_EQ(Describe(relatives.at(1).ahead), "0:1.00+0");
  EXPECT_EQ(Describe(relatives.at(0).behind), "1:1.00+0");

  // Nine cars 50 m apart at 50 m/s: a second between each; three each way.
  Drive field;
  for (int i = 0; i < 9; ++i) {
    field.start_m.push_back(2000.0 - 50.0 * i);
    field.speed.push_back(50.0);
  }
  field.Run(20.0);
  relatives = field.relative.Relatives(true);
  EXPECT_EQ(Describe(relatives.at(4).ahead), "3:1.00+0 2:2.00+0 1:3.00+0");
  EXPECT_EQ(Describe(relatives.at(4).behind), "5:1.00+0 6:2.00+0 7:3.00+0");
  EXPECT_EQ(Describe(relatives.at(0).ahead), "");  // the rest are 400 m or more round
  EXPECT_EQ(Describe(relatives.at(0).behind), "1:1.00+0 2:2.00+0 3:3.00+0");
}

TEST(TrackRelativeTest, WithoutATraceTheGapIsTheDistanceAtTheCarsPace) {
  TrackRelative relative;
  // One update: nobody has been seen moving. The car behind's best lap of
  // 100 s on 1000 m is 10 m/s: 100 m is 10 s; with no lap time at all, a
  // 100 s lap is assumed.
  relative.Update({{0, 2, 500.0f, true, 0.0f}, {1, 2, 400.0f, true, 100.0f}}, 50.0, 1000.0f);
  EXPECT_EQ(Describe(relative.Relatives(true).at(1).ahead), "0:10.00+0");
  relative.Update({{0, 2, 500.0f, true, 0.0f}, {1, 2, 450.0f, true, 0.0f}}, 51.0, 1000.0f);
  // Car 1 is now seen at 50 m/s; car 0 did not move, so its trace holds no
  // mark between 450 m and 500 m: 50 m at 50 m/s.
  EXPECT_EQ(Describe(relative.Relatives(true).at(1).ahead), "0:1.00+0");
  // A jump (the car was put in the pits) says nothing of speed: back to
  // the assumed pace.
  relative.Update({{0, 2, 500.0f, true, 0.0f}, {1, 2, 10.0f, true, 0.0f}}, 52.0, 1000.0f);
  EXPECT_EQ(Describe(relative.Relatives(true).at(1).ahead), "0:49.00+0");
}

TEST(TrackRelativeTest, CarsNotRunningAreLeftOutAndANewSessionForgets) {
  Drive drive;
  drive.start_m = {200.0, 150.0, 100.0};
  drive.speed = {50.0, 50.0, 50.0};
  drive.Run(4.0);
  // Car 0 passed 305 m at 2.1 s.
  std::vector<Position> cars = {{0, 0, 405.0f, true, 0.0f},
                                {1, 0, 350.0f, false, 0.0f},  // retired
                                {2, 0, 305.0f, true, 0.0f}};
  drive.relative.Update(cars, 4.1, 1000.0f);
  auto relatives = drive.relative.Relatives(true);
  EXPECT_EQ(relatives.count(1), 0u);
  EXPECT_EQ(Describe(relatives.at(2).ahead), "0:2.00+0");
  // The clock going back is another session: no trace, so the assumed pace.
  drive.relative.Update(cars, 1.0, 1000.0f);
  EXPECT_EQ(Describe(drive.relative.Relatives(true).at(2).ahead), "0:10.00+0");
  // Nor is there a relative without a lap length.
  drive.relative.Update(cars, 2.0, 0.0f);
  EXPECT_TRUE(drive.relative.Relatives(true).empty());
}

}  // namespace
