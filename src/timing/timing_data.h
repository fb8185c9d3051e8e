// The timing snapshot: the latest session and vehicle state as the host
// reported it, kept in the exact byte layouts the answers carry.
//
// Writer: the host's thread alone calls SessionStarted(), SessionEnded() and
// IngestScoring(), one at a time, and reads the latest state through
// session() and live().
//
// Readers: any thread takes a TimingData::Reader, which pins one complete,
// published state (session block, live block and at least vehicle_count
// records of each array, all from the same update) until it is destroyed.
//
// The writer never waits for a reader: each update is written into a spare
// buffer that no reader holds (the session and live blocks come from a
// small private copy that persists between updates) and becomes current
// with one atomic store. A reader that is preempted while it copies only
// keeps its own buffer out of use; when every spare buffer is held, the
// writer adds one. So the host's thread takes no lock and, in steady state,
// allocates nothing.
#ifndef PITWALL_TIMING_TIMING_DATA_H_
#define PITWALL_TIMING_TIMING_DATA_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "pitwall/host_interface.h"
#include "pitwall/protocol.h"
#include "timing/change_stamps.h"

class TimingData {
  struct Buffer;  // One published state; defined below.

 public:
  // `stamps` must outlive this object. A new snapshot is zero-filled with a
  // fastest lap of -1.0 and no vehicles, and is published at once.
  // Throws std::bad_alloc only from here, when not even one buffer fits.
  explicit TimingData(ChangeStamps* stamps);
  ~TimingData();
  TimingData(const TimingData&) = delete;
  TimingData& operator=(const TimingData&) = delete;

  // Session start: clears the fastest lap and the captured flag, so that the
  // next update takes in the session block again, and stamps category 0.
  void SessionStarted();
  // Session end: the same clearing, without a stamp.
  void SessionEnded();

  struct IngestResult {
    bool stored = false;         // false: update dropped whole (no memory)
    bool session_taken = false;  // the session block was taken in
  };
  // Copies one scoring update in. A vehicle count below 0 counts as 0, above
  // 255 the first 255 vehicles are taken, and a null vehicle array as no
  // vehicles: the count sent always matches the records sent. When the
  // arrays cannot grow the whole update is dropped and readers keep the
  // previous one.
  IngestResult IngestScoring(const HostScoringInfo* info);

  // The latest state (writer's thread only).
  const SessionBlock& session() const { return working_.session; }
  const LiveBlock& live() const { return working_.live; }
  // The most records any buffer has been asked to hold; never shrinks.
  std::uint8_t capacity() const { return capacity_; }

  class Reader {
   public:
    // `data` must outlive the reader.
    explicit Reader(const TimingData& data);
    ~Reader() { buffer_->readers.fetch_sub(1); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    const SessionBlock& session() const { return buffer_->session; }
    const LiveBlock& live() const { return buffer_->live; }
    std::uint8_t vehicle_count() const { return buffer_->live.vehicle_count; }
    // vehicle_count() records each.
    const VehicleInfoRecord* info() const { return buffer_->info.data(); }
    const VehicleUpdateRecord* updates() const { return buffer_->updates.data(); }

   private:
    const Buffer* buffer_;
  };

 private:
  struct Buffer {
    SessionBlock session{};
    LiveBlock live{};
    // At least live.vehicle_count records each.
    std::vector<VehicleInfoRecord> info;
    std::vector<VehicleUpdateRecord> updates;
    mutable std::atomic<int> readers{0};  // Readers currently pinning this buffer.
  };

  // A buffer that is neither current nor pinned, with room for `count`
  // records; null when memory runs out.
  Buffer* SpareBuffer(std::uint8_t count);
  // Gives `spare` the session and live blocks, makes it current, then
  // stamps what is pending.
  void Publish(Buffer* spare, std::uint8_t stamp_mask);
  // Session start or end: no fastest lap, captured flag 0, same records.
  void ClearSession(std::uint8_t stamp_mask);

  ChangeStamps* const stamps_;
  // The blocks that persist between updates (writer's thread only).
  struct {
    SessionBlock session{};
    LiveBlock live{};
  } working_;
  std::uint8_t capacity_ = 0;
  std::uint8_t pending_stamps_ = 0;
  // All buffers ever made; touched by the writer only. Readers reach a
  // buffer only through current_.
  std::vector<std::unique_ptr<Buffer>> buffers_;
  std::atomic<Buffer*> current_{nullptr};
};

#endif  // PITWALL_TIMING_TIMING_DATA_H_
