#include "timing/timing_data.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "pitwall/scoring_record.h"

namespace {

using V = HostVehicleOffsets;
using S = HostScoringOffsets;

void FillVehicle(const unsigned char* v, std::uint8_t index, VehicleInfoRecord* info,
                 VehicleUpdateRecord* update) {
  info->vehicle_index = index;
  std::memcpy(info->driver_name, v + V::kDriverName, V::kDriverNameSize);

  const auto sector = ReadAt<std::int8_t>(v, V::kSector);
  const auto finish = ReadAt<std::int8_t>(v, V::kFinishStatus);
  const auto in_pits = ReadAt<std::uint8_t>(v, V::kInPits);
  const auto control = ReadAt<std::int8_t>(v, V::kControl);
  // The sector byte goes in whole, unmasked.
  std::uint8_t status = static_cast<std::uint8_t>(sector);
  status |= static_cast<std::uint8_t>((finish & 0x3) << 2);
  if (in_pits != 0) status |= kStatusInPits;
  if (control == 1) status |= kStatusControlOne;

  *update = VehicleUpdateRecord{};
  update->vehicle_index = index;
  update->status = status;
  update->lap_distance = ReadAt<float>(v, V::kLapDistance);
  update->place = ReadAt<std::uint8_t>(v, V::kPlace);
  update->time_behind_leader = ReadAt<float>(v, V::kTimeBehindLeader);
  update->laps = ReadAt<std::int16_t>(v, V::kLaps);
  update->x = ReadAt<float>(v, V::kX);
  update->z = ReadAt<float>(v, V::kZ);
  const float a = ReadAt<float>(v, V::kHeadingA);
  const float b = ReadAt<float>(v, V::kHeadingB);
  update->heading = static_cast<float>(std::atan2(static_cast<double>(a), static_cast<double>(b)));
  update->best_lap = ReadAt<float>(v, V::kBestLap);
  update->last_lap = ReadAt<float>(v, V::kLastLap);
  // In sector 1 the host keeps the running lap's times in the first pair.
  const bool pair_a = sector == 1;
  update->sector1 = ReadAt<float>(v, pair_a ? V::kSector1A : V::kSector1B);
  update->sector2 = ReadAt<float>(v, pair_a ? V::kSector2A : V::kSector2B);
}

}  // namespace

TimingData::TimingData(ChangeStamps* stamps) : stamps_(stamps) {
  working_.live.fastest_lap = -1.0f;
  buffers_.push_back(std::make_unique<Buffer>());
  Buffer* first = buffers_.back().get();
  first->session = working_.session;
  first->live = working_.live;
  current_.store(first);
}

TimingData::~TimingData() = default;

TimingData::Reader::Reader(const TimingData& data) {
  // Pin the current buffer, then check it is still current: the writer only
  // refills buffers that are neither current nor pinned, and it checks the
  // pin count after moving current_ on, so a buffer that passes this check
  // stays untouched until it is unpinned. Sequentially consistent
  // operations on both sides make that reasoning hold.
  for (;;) {
    Buffer* buffer = data.current_.load();
    buffer->readers.fetch_add(1);
    if (data.current_.load() == buffer) {
      buffer_ = buffer;
      return;
    }
    buffer->readers.fetch_sub(1);
  }
}

bool TimingData::EnsureCapacity(std::uint8_t count) {
  if (count <= capacity_) return true;
  try {
    // Both arrays at least `count` before the capacity says so; a failure
    // leaves a larger info array, which is harmless.
    working_.info.resize(count);
    working_.updates.resize(count);
  } catch (const std::bad_alloc&) {
    return false;
  }
  capacity_ = count;
  return true;
}

bool TimingData::Publish(std::uint8_t stamp_mask) {
  pending_stamps_ |= stamp_mask;
  Buffer* const current = current_.load();
  Buffer* target = nullptr;
  for (const auto& buffer : buffers_) {
    if (buffer.get() != current && buffer->readers.load() == 0) {
      target = buffer.get();
      break;
    }
  }
  const std::uint8_t n = working_.live.vehicle_count;
  try {
    if (target == nullptr) {
      buffers_.push_back(std::make_unique<Buffer>());
      target = buffers_.back().get();
    }
    if (target->info.size() < n) target->info.resize(n);
    if (target->updates.size() < n) target->updates.resize(n);
  } catch (const std::bad_alloc&) {
    return false;
  }
  target->session = working_.session;
  target->live = working_.live;
  std::copy_n(working_.info.data(), n, target->info.data());
  std::copy_n(working_.updates.data(), n, target->updates.data());
  current_.store(target);

  if (pending_stamps_ != 0) {
    stamps_->StampChanges(pending_stamps_);
    pending_stamps_ = 0;
  }
  return true;
}

void TimingData::SessionStarted() {
  working_.live.fastest_lap = -1.0f;
  working_.live.captured = 0;
  Publish(kChangeSession);
}

void TimingData::SessionEnded() {
  working_.live.fastest_lap = -1.0f;
  working_.live.captured = 0;
  Publish(0);
}

TimingData::IngestResult TimingData::IngestScoring(const HostScoringInfo* info) {
  IngestResult result;
  if (info == nullptr) return result;
  const auto* record = reinterpret_cast<const unsigned char*>(info);

  const std::int32_t reported = ReadAt<std::int32_t>(record, S::kVehicleCount);
  const auto* vehicles = ReadAt<const unsigned char*>(record, S::kVehicleArray);
  std::uint8_t count = static_cast<std::uint8_t>(std::clamp<std::int32_t>(reported, 0, 255));
  if (vehicles == nullptr) count = 0;
  // Grow first: if memory runs out nothing of this update is taken.
  if (!EnsureCapacity(count)) return result;
  result.stored = true;

  LiveBlock& live = working_.live;
  if (live.captured != 1) {
    SessionBlock& session = working_.session;
    std::memcpy(session.track_name, record + S::kTrackName, S::kTrackNameSize);
    session.session = ReadAt<std::int32_t>(record, S::kSession);
    session.end_time = ReadAt<float>(record, S::kEndTime);
    session.max_laps = ReadAt<std::int32_t>(record, S::kMaxLaps);
    session.lap_distance = ReadAt<float>(record, S::kLapDistance);
    result.session_taken = true;
  }
  live.current_time = ReadAt<float>(record, S::kCurrentTime);

  std::uint8_t stamp = 0;
  if (count != live.vehicle_count) {
    live.vehicle_count = count;
    stamp |= kChangeVehicles;
  }

  for (std::uint8_t i = 0; i < count; ++i) {
    const unsigned char* v = vehicles + std::size_t{i} * V::kRecordSize;
    VehicleUpdateRecord& update = working_.updates[i];
    FillVehicle(v, i, &working_.info[i], &update);
    // The fastest lap carries over between updates; on equal times the
    // later vehicle takes it, and a negative best lap is taken as it comes.
    // A stored value that is not a number counts as none.
    if (live.fastest_lap >= update.best_lap || !(live.fastest_lap >= 0.0f)) {
      live.fastest_lap = update.best_lap;
      live.fastest_lap_vehicle = i;
    }
  }
  live.captured = 1;
  Publish(stamp);
  return result;
}
