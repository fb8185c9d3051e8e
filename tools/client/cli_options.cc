#include "cli_options.h"

#include <charconv>
#include <string_view>

namespace {

constexpr std::uint32_t kMaxNumber = 1000000;

bool ParseNumber(const std::string& option, std::string_view text, std::uint32_t* value,
                 std::string* error) {
  std::uint32_t parsed = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || parsed == 0 ||
      parsed > kMaxNumber) {
    *error = "bad number '" + std::string(text) + "' for " + option + " (expected 1 to " +
             std::to_string(kMaxNumber) + ")";
    return false;
  }
  *value = parsed;
  return true;
}

}  // namespace

const char* UsageText() {
  return "usage: pitwall COMMAND [ARGS]\n"
         "  watch [HOST[:PORT]] [--seconds N]          live timing tower\n"
         "  dump [--json] [--count N] [HOST[:PORT]]    every answer, one line each\n"
         "  track --svg FILE [HOST[:PORT]] [--timeout S]  track outline and cars as SVG\n"
         "HOST is a dotted IPv4 address or localhost (default 127.0.0.1), PORT defaults to "
         "34647.\n";
}

bool ParseCommandLine(const std::vector<std::string>& args, CliOptions* options,
                      std::string* error) {
  *options = CliOptions{};
  if (args.empty()) {
    *error = "no command given";
    return false;
  }
  const std::string& command = args[0];
  if (command == "help" || command == "--help" || command == "-h") {
    options->command = CliCommand::kHelp;
    return true;
  }
  if (command == "watch") {
    options->command = CliCommand::kWatch;
  } else if (command == "dump") {
    options->command = CliCommand::kDump;
  } else if (command == "track") {
    options->command = CliCommand::kTrack;
  } else {
    *error = "unknown command '" + command + "'";
    return false;
  }
  bool have_endpoint = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool inline_value = false;
    if (name.rfind("--", 0) == 0) {
      const std::size_t equals = name.find('=');
      if (equals != std::string::npos) {
        value = name.substr(equals + 1);
        name.resize(equals);
        inline_value = true;
      }
    }
    const auto allowed = [&](CliCommand only) {
      if (options->command == only) return true;
      *error = "option " + name + " does not belong to " + command;
      return false;
    };
    const auto take_value = [&] {
      if (inline_value) return true;
      if (i + 1 >= args.size()) {
        *error = "option " + name + " needs a value";
        return false;
      }
      value = args[++i];
      return true;
    };
    if (name == "--seconds") {
      if (!allowed(CliCommand::kWatch) || !take_value() ||
          !ParseNumber(name, value, &options->seconds, error)) {
        return false;
      }
    } else if (name == "--count") {
      if (!allowed(CliCommand::kDump) || !take_value() ||
          !ParseNumber(name, value, &options->count, error)) {
        return false;
      }
    } else if (name == "--timeout") {
      if (!allowed(CliCommand::kTrack) || !take_value() ||
          !ParseNumber(name, value, &options->timeout_s, error)) {
        return false;
      }
    } else if (name == "--svg") {
      if (!allowed(CliCommand::kTrack) || !take_value()) return false;
      if (value.empty()) {
        *error = "option --svg needs a file name";
        return false;
      }
      options->svg_file = value;
    } else if (name == "--json") {
      if (!allowed(CliCommand::kDump)) return false;
      if (inline_value) {
        *error = "option --json takes no value";
        return false;
      }
      options->json = true;
    } else if (name.size() > 1 && name[0] == '-') {
      *error = "unknown option '" + name + "'";
      return false;
    } else if (have_endpoint) {
      *error = "more than one server given ('" + name + "')";
      return false;
    } else {
      if (!ParseEndpoint(name, &options->host, &options->port, error)) return false;
      have_endpoint = true;
    }
  }
  if (options->command == CliCommand::kTrack && options->svg_file.empty()) {
    *error = "track needs --svg FILE";
    return false;
  }
  return true;
}
