// The host's scoring record and vehicle record, read by byte offset.
//
// Offsets are those of the host's 32-bit layout. The one pointer in it, the
// vehicle array at offset 488, is a native pointer: 4 bytes in a 32-bit
// build, 8 in a 64-bit one. Nothing here depends on a compiler's struct
// packing.
//
// ScoringRecordWriter builds such records for test hosts and tests.
#ifndef PITWALL_SCORING_RECORD_H_
#define PITWALL_SCORING_RECORD_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "pitwall/host_interface.h"
#include "pitwall/read_at.h"

struct HostScoringOffsets {
  static constexpr std::size_t kTrackName = 0;  // 64 characters
  static constexpr std::size_t kTrackNameSize = 64;
  static constexpr std::size_t kSession = 64;        // i32
  static constexpr std::size_t kCurrentTime = 68;    // f32
  static constexpr std::size_t kEndTime = 72;        // f32
  static constexpr std::size_t kMaxLaps = 76;        // i32
  static constexpr std::size_t kLapDistance = 80;    // f32
  static constexpr std::size_t kVehicleCount = 88;   // i32
  static constexpr std::size_t kVehicleArray = 488;  // native pointer
  static constexpr std::size_t kRecordSize = kVehicleArray + sizeof(void*);
};

struct HostVehicleOffsets {
  static constexpr std::size_t kDriverName = 0;  // 32 characters
  static constexpr std::size_t kDriverNameSize = 32;
  static constexpr std::size_t kLaps = 96;               // i16
  static constexpr std::size_t kSector = 98;             // i8
  static constexpr std::size_t kFinishStatus = 99;       // i8
  static constexpr std::size_t kLapDistance = 100;       // f32
  static constexpr std::size_t kBestLap = 120;           // f32
  static constexpr std::size_t kSector1A = 124;          // f32, used in sector 1
  static constexpr std::size_t kSector2A = 128;          // f32, used in sector 1
  static constexpr std::size_t kLastLap = 132;           // f32
  static constexpr std::size_t kSector1B = 136;          // f32, used otherwise
  static constexpr std::size_t kSector2B = 140;          // f32, used otherwise
  static constexpr std::size_t kControl = 149;           // i8
  static constexpr std::size_t kInPits = 150;            // u8, not 0 = in the pits
  static constexpr std::size_t kPlace = 151;             // u8
  static constexpr std::size_t kTimeBehindLeader = 192;  // f32
  static constexpr std::size_t kX = 204;                 // f32
  static constexpr std::size_t kZ = 212;                 // f32
  static constexpr std::size_t kHeadingB = 240;          // f32
  static constexpr std::size_t kHeadingA = 264;          // f32
  static constexpr std::size_t kRecordSize = 428;
};

// Builds one scoring record with its vehicle array. The record points into
// this object: keep the writer alive while the record is in use.
class ScoringRecordWriter {
 public:
  // A record with `vehicles` zeroed vehicle records and that vehicle count.
  explicit ScoringRecordWriter(int vehicles = 0) { SetVehicles(vehicles); }
  ScoringRecordWriter(const ScoringRecordWriter&) = delete;
  ScoringRecordWriter& operator=(const ScoringRecordWriter&) = delete;

  // Resizes the vehicle array (new records zeroed) and sets the count field.
  void SetVehicles(int vehicles) {
    vehicles_.resize(static_cast<std::size_t>(std::max(vehicles, 0)) *
                     HostVehicleOffsets::kRecordSize);
    SetVehicleCountField(vehicles);
  }
  int vehicles() const {
    return static_cast<int>(vehicles_.size() / HostVehicleOffsets::kRecordSize);
  }

  // Session fields.
  void SetTrackName(std::string_view name) {
    PutText(record_, HostScoringOffsets::kTrackName, HostScoringOffsets::kTrackNameSize, name);
  }
  void SetSession(std::int32_t v) { Put(record_, HostScoringOffsets::kSession, v); }
  void SetCurrentTime(float v) { Put(record_, HostScoringOffsets::kCurrentTime, v); }
  void SetEndTime(float v) { Put(record_, HostScoringOffsets::kEndTime, v); }
  void SetMaxLaps(std::int32_t v) { Put(record_, HostScoringOffsets::kMaxLaps, v); }
  void SetLapDistance(float v) { Put(record_, HostScoringOffsets::kLapDistance, v); }
  // Writes the count field alone, e.g. a count the array does not back.
  void SetVehicleCountField(std::int32_t v) { Put(record_, HostScoringOffsets::kVehicleCount, v); }

  // Vehicle fields of vehicle i (0 <= i < vehicles()).
  class Vehicle {
   public:
    void SetDriverName(std::string_view name) {
      PutText(base_, HostVehicleOffsets::kDriverName, HostVehicleOffsets::kDriverNameSize, name);
    }
    void SetLaps(std::int16_t v) { Put(base_, HostVehicleOffsets::kLaps, v); }
    void SetSector(std::int8_t v) { Put(base_, HostVehicleOffsets::kSector, v); }
    void SetFinishStatus(std::int8_t v) { Put(base_, HostVehicleOffsets::kFinishStatus, v); }
    void SetLapDistance(float v) { Put(base_, HostVehicleOffsets::kLapDistance, v); }
    void SetBestLap(float v) { Put(base_, HostVehicleOffsets::kBestLap, v); }
    void SetSectorTimesA(float s1, float s2) {
      Put(base_, HostVehicleOffsets::kSector1A, s1);
      Put(base_, HostVehicleOffsets::kSector2A, s2);
    }
    void SetLastLap(float v) { Put(base_, HostVehicleOffsets::kLastLap, v); }
    void SetSectorTimesB(float s1, float s2) {
      Put(base_, HostVehicleOffsets::kSector1B, s1);
      Put(base_, HostVehicleOffsets::kSector2B, s2);
    }
    void SetControl(std::int8_t v) { Put(base_, HostVehicleOffsets::kControl, v); }
    void SetInPits(std::uint8_t v) { Put(base_, HostVehicleOffsets::kInPits, v); }
    void SetPlace(std::uint8_t v) { Put(base_, HostVehicleOffsets::kPlace, v); }
    void SetTimeBehindLeader(float v) { Put(base_, HostVehicleOffsets::kTimeBehindLeader, v); }
    void SetPosition(float x, float z) {
      Put(base_, HostVehicleOffsets::kX, x);
      Put(base_, HostVehicleOffsets::kZ, z);
    }
    // The heading is atan2(a, b).
    void SetHeadingInputs(float a, float b) {
      Put(base_, HostVehicleOffsets::kHeadingA, a);
      Put(base_, HostVehicleOffsets::kHeadingB, b);
    }
    unsigned char* bytes() { return base_; }

   private:
    friend class ScoringRecordWriter;
    explicit Vehicle(unsigned char* base) : base_(base) {}
    unsigned char* base_;
  };
  Vehicle vehicle(int i) {
    return Vehicle(vehicles_.data() +
                   static_cast<std::size_t>(i) * HostVehicleOffsets::kRecordSize);
  }

  // The record, with the vehicle pointer set to this writer's array (or to
  // `array` when SetVehicleArray() was called).
  const HostScoringInfo* record() {
    const void* array = override_array_ ? array_ : (vehicles_.empty() ? nullptr : vehicles_.data());
    std::memcpy(record_ + HostScoringOffsets::kVehicleArray, &array, sizeof(array));
    return reinterpret_cast<const HostScoringInfo*>(record_);
  }
  // Makes record() carry `array` as its vehicle pointer (e.g. null).
  void SetVehicleArray(const void* array) {
    override_array_ = true;
    array_ = array;
  }
  unsigned char* bytes() { return record_; }

 private:
  template <typename T>
  static void Put(unsigned char* base, std::size_t offset, T value) {
    std::memcpy(base + offset, &value, sizeof(T));
  }
  static void PutText(unsigned char* base, std::size_t offset, std::size_t size,
                      std::string_view text) {
    std::memset(base + offset, 0, size);
    std::memcpy(base + offset, text.data(), std::min(text.size(), size));
  }

  // Room for what follows the vehicle pointer in the host's record.
  alignas(void*) unsigned char record_[HostScoringOffsets::kRecordSize + 64] = {};
  std::vector<unsigned char> vehicles_;
  bool override_array_ = false;
  const void* array_ = nullptr;
};

#endif  // PITWALL_SCORING_RECORD_H_
