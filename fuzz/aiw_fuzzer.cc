// Any bytes as an ".aiw" file: read, build both strips, never crash or hang.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "track/track_geometry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = "/tmp/pitwall_aiw_fuzz_" + std::to_string(getpid()) + ".aiw";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  TrackGeometry geometry;
  if (geometry.LoadAiw(path.c_str())) {
    // A loaded outline is whole: both strips, each closed (or empty).
    for (int i = 0; i < geometry.strip_count(); ++i) {
      const auto& points = geometry.strip(i).points;
      if (!points.empty() && (points.size() < 4 || points.size() % 2 != 0)) __builtin_trap();
    }
  }
  return 0;
}
