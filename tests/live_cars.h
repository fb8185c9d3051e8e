// Test support: cars of a live answer built from the fields a test names.
#ifndef PITWALL_TESTS_LIVE_CARS_H_
#define PITWALL_TESTS_LIVE_CARS_H_

#include <cstdint>
#include <vector>

#include "tools/client/answer_decoding.h"

// A car as a live answer carries it. Times of -1 are not set; sector 1, 2,
// or 0 for the third.
struct Spot {
  std::uint8_t index = 0;
  std::uint8_t place = 0;
  std::int16_t laps = 0;
  float metres = 0;
  float behind = 0;
  std::uint8_t sector = 1;
  float s1 = -1, s2 = -1, last = -1, best = -1;
  bool pits = false;
  std::uint8_t finish = 0;
};

inline CarState CarOf(const Spot& s) {
  CarState car;
  car.index = s.index;
  car.place = s.place;
  car.laps = s.laps;
  car.lap_distance = s.metres;
  car.time_behind_leader = s.behind;
  car.sector = s.sector;
  car.sector1 = s.s1;
  car.sector2 = s.s2;
  car.last_lap = s.last;
  car.best_lap = s.best;
  car.in_pits = s.pits;
  car.finish_status = s.finish;
  return car;
}

// A captured live answer at `time` seconds of session time.
inline LiveAnswer LiveOf(float time, const std::vector<Spot>& spots, float fastest = -1,
                         std::uint8_t mask = 0) {
  LiveAnswer live{mask, true, time, fastest, 0, {}};
  for (const Spot& s : spots) live.cars.push_back(CarOf(s));
  return live;
}

#endif  // PITWALL_TESTS_LIVE_CARS_H_
