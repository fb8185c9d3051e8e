#include "answer_text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "text_safety.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

std::string HexByte(std::uint8_t value) {
  std::string text = "0x";
  text += kHexDigits[value >> 4];
  text += kHexDigits[value & 0x0F];
  return text;
}

std::string CarLine(const CarState& car) {
  return "[" + std::to_string(car.index) + " P" + std::to_string(car.place) + " lap " +
         std::to_string(car.laps) + " dist " + FixedText(car.lap_distance, 1) + " gap " +
         FixedText(car.time_behind_leader, 3) + " last " + LapTimeText(car.last_lap) + " best " +
         LapTimeText(car.best_lap) + " s1 " + FixedText(car.sector1, 3) + " s2 " +
         FixedText(car.sector2, 3) + " x " + FixedText(car.x, 1) + " z " + FixedText(car.z, 1) +
         " hdg " + FixedText(car.heading, 3) + " sector " + std::to_string(car.sector) +
         " finish " + std::to_string(car.finish_status) + (car.in_pits ? " pits" : "") +
         (car.control_one ? " player" : "") + "]";
}

std::string DirectoryLine(const std::vector<StripDirectoryItem>& directory) {
  std::string text;
  for (const StripDirectoryItem& item : directory) {
    text += (text.empty() ? "" : ",") + std::to_string(item.kind) + ":" +
            std::to_string(item.point_count);
  }
  return text;
}

}  // namespace

std::string FixedText(double value, int decimals) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char text[400];  // DBL_MAX in fixed notation has 309 digits before the point
  const auto [end, ec] =
      std::to_chars(text, text + sizeof(text), value, std::chars_format::fixed, decimals);
  if (ec != std::errc()) return "?";
  return std::string(text, end);
}

std::string LapTimeText(float seconds) {
  if (!(seconds > 0.0f && seconds < 1e6f)) return "--";
  const long long ms = std::llround(static_cast<double>(seconds) * 1000.0);
  const std::string minutes = std::to_string(ms / 60000);
  const long long rest = ms % 60000;
  char tail[8];
  tail[0] = ':';
  tail[1] = static_cast<char>('0' + rest / 10000);
  tail[2] = static_cast<char>('0' + rest / 1000 % 10);
  tail[3] = '.';
  tail[4] = static_cast<char>('0' + rest / 100 % 10);
  tail[5] = static_cast<char>('0' + rest / 10 % 10);
  tail[6] = static_cast<char>('0' + rest % 10);
  tail[7] = '\0';
  return minutes + tail;
}

std::string ClockText(float seconds) {
  if (!(seconds >= 0.0f && seconds < 1e7f)) return "--";
  const long long total = static_cast<long long>(seconds);
  const auto two = [](long long v) {
    return std::string{static_cast<char>('0' + v / 10), static_cast<char>('0' + v % 10)};
  };
  if (total >= 3600) {
    return std::to_string(total / 3600) + ":" + two(total / 60 % 60) + ":" + two(total % 60);
  }
  return std::to_string(total / 60) + ":" + two(total % 60);
}

std::string AnswerLine(const Answer& answer) {
  return std::visit(
      [](const auto& a) -> std::string {
        using T = std::decay_t<decltype(a)>;
        const std::string mask = " mask=" + HexByte(a.change_mask);
        if constexpr (std::is_same_v<T, HandshakeAnswer>) {
          return "handshake" + mask + " version=" + std::to_string(a.version) +
                 " status=" + std::to_string(a.status) +
                 (a.status == kHandshakeServerFull ? " (server full)" : "");
        } else if constexpr (std::is_same_v<T, SessionAnswer>) {
          return "session" + mask + " track=" + QuotedText(a.track_name) +
                 " session=" + std::to_string(a.session) + " end_time=" + FixedText(a.end_time, 3) +
                 " max_laps=" + std::to_string(a.max_laps) +
                 " lap_distance=" + FixedText(a.lap_distance, 3);
        } else if constexpr (std::is_same_v<T, DriversAnswer>) {
          std::string line = "drivers" + mask + " count=" + std::to_string(a.drivers.size());
          for (const DriverEntry& d : a.drivers) {
            line += " [" + std::to_string(d.index) + " " + QuotedText(d.name) + "]";
          }
          return line;
        } else if constexpr (std::is_same_v<T, LiveAnswer>) {
          std::string line = "live" + mask + " captured=" + (a.captured ? "1" : "0") +
                             " time=" + FixedText(a.current_time, 3) +
                             " fastest=" + LapTimeText(a.fastest_lap);
          if (a.fastest_lap >= 0) line += " by=" + std::to_string(a.fastest_lap_vehicle);
          line += " cars=" + std::to_string(a.cars.size());
          for (const CarState& car : a.cars) line += " " + CarLine(car);
          return line;
        } else {
          std::string line = "trackstrip" + mask + " strips=" + DirectoryLine(a.directory) +
                             " strip=" + std::to_string(a.strip_index) +
                             " first=" + std::to_string(a.first_point) +
                             " n=" + std::to_string(a.points.size());
          if (!a.points.empty()) {
            line += " from (" + FixedText(a.points.front().x, 2) + ", " +
                    FixedText(a.points.front().z, 2) + ") to (" + FixedText(a.points.back().x, 2) +
                    ", " + FixedText(a.points.back().z, 2) + ")";
          }
          return line;
        }
      },
      answer);
}
