// The command line of the `pitwall` tool.
//
// Thread-safety: plain functions without state.
#ifndef PITWALL_TOOLS_CLIENT_CLI_OPTIONS_H_
#define PITWALL_TOOLS_CLIENT_CLI_OPTIONS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "pitwall_client.h"

enum class CliCommand { kHelp, kWatch, kDump, kTrack };

struct CliOptions {
  CliCommand command = CliCommand::kHelp;
  std::string host = kDefaultHost;
  std::uint16_t port = kDefaultPort;
  std::uint32_t seconds = 0;    // watch: stop after this many seconds; 0 runs on
  bool json = false;            // dump
  std::uint32_t count = 0;      // dump: stop after this many answers; 0 runs on
  std::string svg_file;         // track, required
  std::uint32_t timeout_s = 5;  // track: wait this long for the outline
};

// Reads the arguments after the program name:
//   watch [HOST[:PORT]] [--seconds N]
//   dump [--json] [--count N] [HOST[:PORT]]
//   track --svg FILE [HOST[:PORT]] [--timeout S]
//   help | --help | -h
// Options take their value as the next argument or after '='; numbers are
// plain digits from 1 to 1000000. False with *error set (one line) on an
// unknown command or option, a missing or bad value, or a second endpoint.
bool ParseCommandLine(const std::vector<std::string>& args, CliOptions* options,
                      std::string* error);

// The usage text, lines ending in '\n'.
const char* UsageText();

#endif  // PITWALL_TOOLS_CLIENT_CLI_OPTIONS_H_
