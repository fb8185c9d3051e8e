// Checks of numeric options shared by the tools' command lines: a value out
// of range is refused with the range in the message ("--cars: '256' is not a
// whole number from 0 to 255").
#ifndef PITWALL_TOOLS_COMMON_CLI_CHECKS_H_
#define PITWALL_TOOLS_COMMON_CLI_CHECKS_H_

#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdint>
#include <string>

namespace cli_checks {

// The shortest decimal text of `value` ("0.001", "1000").
inline std::string Text(double value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return std::string(buffer, result.ptr);
}

// A whole number from `lo` to `hi`, decimal digits only.
inline CLI::Validator WholeNumber(std::int64_t lo, std::int64_t hi) {
  return CLI::Validator(
      [lo, hi](std::string& text) {
        std::int64_t value = 0;
        const char* end = text.data() + text.size();
        const auto result = std::from_chars(text.data(), end, value);
        if (result.ec == std::errc() && result.ptr == end && value >= lo && value <= hi) {
          return std::string();
        }
        return "'" + text + "' is not a whole number from " + std::to_string(lo) + " to " +
               std::to_string(hi);
      },
      "");
}

// A decimal number from `lo` to `hi` (no inf or nan).
inline CLI::Validator Number(double lo, double hi) {
  return CLI::Validator(
      [lo, hi](std::string& text) {
        double value = 0;
        const char* end = text.data() + text.size();
        const auto result = std::from_chars(text.data(), end, value);
        if (result.ec == std::errc() && result.ptr == end && value >= lo && value <= hi) {
          return std::string();
        }
        return "'" + text + "' is not a number from " + Text(lo) + " to " + Text(hi);
      },
      "");
}

}  // namespace cli_checks

#endif  // PITWALL_TOOLS_COMMON_CLI_CHECKS_H_
