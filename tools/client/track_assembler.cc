#include "track_assembler.h"

#include <cstdint>
#include <string>

void TrackAssembler::Reset() {
  started_ = false;
  directory_.clear();
  outline_.strips.clear();
  received_.clear();
  expected_ = 0;
  missing_ = 0;
}

ClientError TrackAssembler::Add(const TrackChunk& chunk) {
  const auto same_directory = [&] {
    if (chunk.directory.size() != directory_.size()) return false;
    for (std::size_t i = 0; i < directory_.size(); ++i) {
      if (chunk.directory[i].kind != directory_[i].kind ||
          chunk.directory[i].point_count != directory_[i].point_count) {
        return false;
      }
    }
    return true;
  };
  if (chunk.strip_index >= chunk.directory.size() ||
      std::uint64_t{chunk.first_point} + chunk.points.size() >
          chunk.directory[chunk.strip_index].point_count) {
    return MakeError(ClientErrorCode::kBadContent, "track chunk lies outside its strip");
  }
  if (!started_ || !same_directory()) {
    std::uint64_t total = 0;
    for (const StripDirectoryItem& item : chunk.directory) total += item.point_count;
    if (total > kMaxPoints) {
      return MakeError(ClientErrorCode::kBadContent,
                       "track outline of " + std::to_string(total) + " points is too large");
    }
    Reset();
    started_ = true;
    directory_ = chunk.directory;
    for (const StripDirectoryItem& item : directory_) {
      outline_.strips.push_back(
          OutlineStrip{item.kind, std::vector<OutlinePoint>(item.point_count)});
      received_.emplace_back(item.point_count, false);
    }
    expected_ = static_cast<std::size_t>(total);
    missing_ = expected_;
  }
  OutlineStrip& strip = outline_.strips[chunk.strip_index];
  std::vector<bool>& received = received_[chunk.strip_index];
  for (std::size_t i = 0; i < chunk.points.size(); ++i) {
    const std::size_t at = chunk.first_point + i;
    strip.points[at] = chunk.points[i];
    if (!received[at]) {
      received[at] = true;
      --missing_;
    }
  }
  return ClientError{};
}
