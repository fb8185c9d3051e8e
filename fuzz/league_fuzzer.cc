// Any bytes as a league file: the reader never crashes, and what it takes
// holds together: every driver is found by each of its names, every class
// a driver names is defined, colours are "#rrggbb", short names at most
// three characters and car numbers 0 to 999.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tools/league/league.h"

namespace {

bool IsColour(const std::string& colour) {
  if (colour.size() != 7 || colour[0] != '#') return false;
  for (std::size_t i = 1; i < colour.size(); ++i) {
    const char c = colour[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::size_t CodePoints(const std::string& text) {
  std::size_t count = 0;
  for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  const std::optional<League> league = League::Parse(text, "fuzz.csv", &error);
  if (!league) {
    if (error.rfind("fuzz.csv:", 0) != 0) __builtin_trap();
    return 0;
  }
  for (const LeagueClass& c : league->classes()) {
    if (!IsColour(c.colour) || league->Class(c.name) == nullptr) __builtin_trap();
  }
  for (const LeagueDriver& d : league->drivers()) {
    if (league->Find(d.name) != &d) __builtin_trap();
    if (!d.also.empty() && league->Find(d.also) != &d) __builtin_trap();
    if (!d.class_name.empty() && league->Class(d.class_name) == nullptr) __builtin_trap();
    if (CodePoints(d.short_name) > 3) __builtin_trap();
    if (d.number && (*d.number < 0 || *d.number > 999)) __builtin_trap();
    if (!d.nation.empty() && d.nation.size() != 2) __builtin_trap();
  }
  return 0;
}
