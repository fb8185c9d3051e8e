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

TimingData::Buffer* TimingData::SpareBuffer(std::uint8_t count) {
  Buffer* const current = current_.load();
  Buffer* spare = nullptr;
  for (const auto& buffer : buffers_) {
    if (buffer.get() != current && buffer->readers.load() == 0) {
      spare = buffer.get();
      break;
    }
  }
  try {
    if (spare == nullptr) {
      buffers_.push_back(std::make_unique<Buffer>());
      spare = buffers_.back().get();
    }
    // Both arrays at least `count`; a failure between the two leaves a
    // longer info array, which is harmless.
    if (spare->info.size() < count) spare->info.resize(count);
    if (spare->updates.size() < count) spare->updates.resize(count);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  capacity_ = std::max(capacity_, count);
  return spare;
}

void TimingData::Publish(Buffer* spare, std::uint8_t stamp_mask) {
  spare->session = working_.session;
  spare->live = working_.live;
  current_.store(spare);
  // Stamped after the publish, so a client told of a change sees it.
  pending_stamps_ |= stamp_mask;
  if (pending_stamps_ != 0) {
    stamps_->StampChanges(pending_stamps_);
    pending_stamps_ = 0;
  }
}

void TimingData::ClearSession(std::uint8_t stamp_mask) {
  working_.live.fastest_lap = -1.0f;
  working_.live.captured = 0;
  // The records stay: carry the current ones over.
  const Buffer* current = current_.load();
  const std::uint8_t n = working_.live.vehicle_count;
  Buffer* spare = SpareBuffer(n);
  if (spare == nullptr) {
    // Readers keep the previous state; the next update publishes this one.
    pending_stamps_ |= stamp_mask;
    return;
  }
  std::copy_n(current->info.data(), n, spare->info.data());
  std::copy_n(current->updates.data(), n, spare->updates.data());
  Publish(spare, stamp_mask);
}

void TimingData::SessionStarted() { ClearSession(kChangeSession); }

void TimingData::SessionEnded() { ClearSession(0); }

TimingData::IngestResult TimingData::IngestScoring(const HostScoringInfo* info) {
  IngestResult result;
  if (info == nullptr) return result;
  const auto* record = reinterpret_cast<const unsigned char*>(info);

  const std::int32_t reported = ReadAt<std::int32_t>(record, S::kVehicleCount);
  const auto* vehicles = ReadAt<const unsigned char*>(record, S::kVehicleArray);
  std::uint8_t count = static_cast<std::uint8_t>(std::clamp<std::int32_t>(reported, 0, 255));
  if (vehicles == nullptr) count = 0;
  // The update is written straight into a spare buffer, then published. If
  // memory runs out for it, nothing of this update is taken.
  Buffer* spare = SpareBuffer(count);
  if (spare == nullptr) return result;
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
    VehicleUpdateRecord& update = spare->updates[i];
    FillVehicle(v, i, &spare->info[i], &update);
    // The fastest lap carries over between updates; on equal times the
    // later vehicle takes it, and a negative best lap is taken as it comes.
    // A stored value that is not a number counts as none.
    if (live.fastest_lap >= update.best_lap || !(live.fastest_lap >= 0.0f)) {
      live.fastest_lap = update.best_lap;
      live.fastest_lap_vehicle = i;
    }
  }
  live.captured = 1;
  Publish(spare, stamp);
  return result;
}
