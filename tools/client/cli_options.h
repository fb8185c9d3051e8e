// The command line of the `pitwall` tool, read with CLI11.
//
// Thread-safety: plain functions without state.
#ifndef PITWALL_TOOLS_CLIENT_CLI_OPTIONS_H_
#define PITWALL_TOOLS_CLIENT_CLI_OPTIONS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "pitwall_client.h"

// kHelp and kVersion: print `output` to standard output and exit 0.
enum class CliCommand {
  kHelp,
  kVersion,
  kWatch,
  kDump,
  kTrack,
  kWeb,
  kRecord,
  kSessions,
  kResults,
  kLaps,
  kEvents,
};

struct CliOptions {
  CliCommand command = CliCommand::kHelp;
  std::string output;  // kHelp, kVersion: the text to print
  std::string host = kDefaultHost;
  std::uint16_t port = kDefaultPort;
  bool port_given = false;      // false: look for the server on its twenty ports from `port`
  std::uint32_t seconds = 0;    // watch: stop after this many seconds; 0 runs on
  std::string follow;           // watch: keep the car of this driver in view
  bool json = false;            // dump: the timing state as JSON, one object per update
  bool raw = false;             // dump --json --raw: every decoded answer instead
  std::uint32_t count = 0;      // dump: stop after this many lines; 0 runs on
  std::string svg_file;         // track, required
  std::uint32_t timeout_s = 5;  // track: wait this long for the outline
  std::string listen = "127.0.0.1:8047";  // web: where to serve
  std::uint32_t max_viewers = 200;        // web: event streams at once
  std::string www_dir;                    // web: the page's files; empty: the installed ones
  std::uint32_t max_per_address = 64;     // web: connections at once from one address
  std::string allow_origin;               // web: "" same-origin only; "*" or an origin
  std::vector<std::string> allow_hosts;   // web: Host names served besides addresses, localhost
  std::string db = "pitwall.db";          // record, web and the history commands: the database
  bool no_record = false;                 // web: keep no history
  std::string publish_url;                // web: the pub/sub server to publish to; empty: none
  std::string publish_token;              // web: the bearer token it takes; empty: none
  std::int64_t session = 0;               // results, laps, events: the session id; 0 the latest
  std::string format;                     // results, laps, events: empty for the command's default
  std::string car;                        // laps: only this driver's (part of the name, any case)
  std::string league;                     // the league file; empty: none
  std::string car_class;                  // watch: only this class's cars
  bool split = false;                     // watch: the classes one after another
};

// Reads the arguments after the program name:
//   watch [HOST[:PORT]] [--seconds N] [--follow NAME] [--league FILE [--class NAME] [--split]]
//   dump [--json [--raw]] [--count N] [HOST[:PORT]] [--league FILE]
//   track --svg FILE [HOST[:PORT]] [--timeout S] [--league FILE]
//   web [HOST[:PORT]] [--listen ADDR:PORT] [--max-viewers N] [--max-per-address N]
//       [--allow-origin ORIGIN|*] [--allow-host NAME]... [--www DIR]
//       [--publish URL [--publish-token TOKEN]] [--db FILE] [--no-record] [--league FILE]
//   record [HOST[:PORT]] [--db FILE] [--league FILE]
//   sessions [--db FILE]
//   results [SESSION] [--db FILE] [--format text|json|csv|html] [--league FILE]
//   laps [SESSION] [--db FILE] [--car NAME] [--format csv|json] [--league FILE]
//   events [SESSION] [--db FILE] [--format text|json] [--league FILE]
//   --help, --version; --help after any command for that command
// Numbers are 1 to 1000000. False with *error set (one line) on a mistake;
// the usage of the command concerned then goes to stderr with it.
bool ParseCommandLine(const std::vector<std::string>& args, CliOptions* options,
                      std::string* error);

// "ADDR:PORT" with a dotted IPv4 address (or localhost) and a port 1 to
// 65535. False with *error set.
bool ParseListenAddress(const std::string& text, std::string* address, std::uint16_t* port,
                        std::string* error);

// The whole tool's help text, lines ending in '\n'.
std::string UsageText();

// "pitwall <version>".
std::string VersionText();

#endif  // PITWALL_TOOLS_CLIENT_CLI_OPTIONS_H_
