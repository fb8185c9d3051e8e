#include "cli_options.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

// The command, host and port read from `args`, then every option that is
// not at its default; or "error: " and the message.
std::string Parse(const std::vector<std::string>& args) {
  CliOptions o;
  std::string error;
  if (!ParseCommandLine(args, &o, &error)) return "error: " + error;
  const char* kCommands[] = {
      "help",   "version",  "watch",   "dump", "track", "web",
      "record", "sessions", "results", "laps", "events"};  // CliCommand order
  std::string line =
      kCommands[static_cast<int>(o.command)] + (" " + o.host) + ":" + std::to_string(o.port);
  const auto option = [&line](const char* name, const std::string& value, const char* usual) {
    if (value != usual) line += std::string(" ") + name + "=" + value;
  };
  option("seconds", std::to_string(o.seconds), "0");
  option("count", std::to_string(o.count), "0");
  option("timeout", std::to_string(o.timeout_s), "5");
  option("json", o.json ? "1" : "0", "0");
  option("raw", o.raw ? "1" : "0", "0");
  option("svg", o.svg_file, "");
  option("listen", o.listen, "127.0.0.1:8047");
  option("viewers", std::to_string(o.max_viewers), "200");
  option("per-address", std::to_string(o.max_per_address), "64");
  option("origin", o.allow_origin, "");
  for (const std::string& host : o.allow_hosts) line += " host=" + host;
  option("db", o.db, "pitwall.db");
  option("no-record", o.no_record ? "1" : "0", "0");
  option("session", std::to_string(o.session), "0");
  option("format", o.format, "");
  option("car", o.car, "");
  option("league", o.league, "");
  option("class", o.car_class, "");
  option("split", o.split ? "1" : "0", "0");
  return line;
}

TEST(CliOptionsTest, GoodCommandLines) {
  const std::pair<std::vector<std::string>, std::string> kCases[] = {
      {{"watch"}, "watch 127.0.0.1:34647"},
      {{"watch", "10.0.0.2:5000", "--seconds", "5"}, "watch 10.0.0.2:5000 seconds=5"},
      {{"watch", "--seconds=1000000"}, "watch 127.0.0.1:34647 seconds=1000000"},
      {{"dump", "--json", "--count=3", "localhost"}, "dump localhost:34647 count=3 json=1"},
      {{"dump", "--raw", "--json"}, "dump 127.0.0.1:34647 json=1 raw=1"},
      {{"track", ":4100", "--svg", "out.svg", "--timeout", "2"},
       "track 127.0.0.1:4100 timeout=2 svg=out.svg"},
      {{"web"}, "web 127.0.0.1:34647"},
      {{"web", "10.1.1.1", "--listen", "0.0.0.0:9000", "--max-viewers", "500"},
       "web 10.1.1.1:34647 listen=0.0.0.0:9000 viewers=500"},
      {{"web", "--max-per-address", "300", "--allow-origin", "https://league.example:8443",
        "--allow-host", "timing.league.example", "--allow-host", "pit-wall"},
       "web 127.0.0.1:34647 per-address=300 origin=https://league.example:8443 "
       "host=timing.league.example host=pit-wall"},
      {{"web", "--allow-origin", "*"}, "web 127.0.0.1:34647 origin=*"},
      {{"web", "--no-record", "--db", "league.db"}, "web 127.0.0.1:34647 db=league.db no-record=1"},
      {{"record", "10.0.0.9:34650", "--db", "r.db"}, "record 10.0.0.9:34650 db=r.db"},
      {{"sessions"}, "sessions 127.0.0.1:34647"},
      {{"results", "12", "--format", "html"}, "results 127.0.0.1:34647 session=12 format=html"},
      {{"laps", "--car", "ada", "--format=json"}, "laps 127.0.0.1:34647 format=json car=ada"},
      {{"events", "3"}, "events 127.0.0.1:34647 session=3"},
      {{"watch", "--league", "l.csv", "--split"}, "watch 127.0.0.1:34647 league=l.csv split=1"},
      {{"watch", "--league=l.csv", "--class", "GT4"},
       "watch 127.0.0.1:34647 league=l.csv class=GT4"},
      {{"results", "--league", "l.csv"}, "results 127.0.0.1:34647 league=l.csv"},
      {{"--help"}, "help 127.0.0.1:34647"},
      {{"--version"}, "version 127.0.0.1:34647"},
  };
  for (const auto& [args, expected] : kCases) EXPECT_EQ(Parse(args), expected);
}

TEST(CliOptionsTest, BadCommandLinesSayWhatIsWrong) {
  const std::pair<std::vector<std::string>, std::string> kCases[] = {
      {{},
       "no command given (commands: watch, dump, track, web, record, sessions, results, laps, "
       "events)"},
      {{"--seconds", "4"},
       "no command given (commands: watch, dump, track, web, record, sessions, results, laps, "
       "events)"},
      {{"race"},
       "unknown command 'race' (commands: watch, dump, track, web, record, sessions, results, "
       "laps, events)"},
      {{"dump", "--count", "-1"}, "dump: --count: '-1' is not a whole number from 1 to 1000000"},
      {{"track", "--timeout", "0", "--svg", "a"},
       "track: --timeout: '0' is not a whole number from 1 to 1000000"},
      {{"dump", "--raw"}, "dump: --raw requires --json"},
      {{"track"}, "track: --svg is required"},
      {{"web", "--listen", "8047"}, "web: --listen: '8047' is not ADDR:PORT"},
      {{"web", "--listen", "example.org:80"},
       "web: --listen: 'example.org' is not a dotted IPv4 address"},
      {{"web", "--listen", "localhost:0"},
       "web: --listen: port '0' is not a whole number from 1 to 65535"},
      {{"web", "--max-viewers", "0"},
       "web: --max-viewers: '0' is not a whole number from 1 to 5000"},
      {{"web", "--max-per-address", "0"},
       "web: --max-per-address: '0' is not a whole number from 1 to 100000"},
      {{"web", "--allow-origin", "https://league.example/"},
       "web: --allow-origin: 'https://league.example/' is not * nor an origin like "
       "https://host:port"},
      {{"web", "--allow-origin", "league.example"},
       "web: --allow-origin: 'league.example' is not * nor an origin like https://host:port"},
      {{"web", "--allow-origin", "http://a..b:80"},
       "web: --allow-origin: 'http://a..b:80' is not * nor an origin like https://host:port"},
      {{"web", "--allow-host", "timing.example:8047"},
       "web: --allow-host: 'timing.example:8047' is not a host name"},
      {{"watch", "h:99999"}, "watch: bad port '99999' (expected 1 to 65535)"},
      {{"results", "--format", "pdf"}, "results: --format: pdf not in {text,json,csv,html}"},
      {{"laps", "--format", "text"}, "laps: --format: text not in {csv,json}"},
      {{"events", "0"}, "events: session: '0' is not a whole number from 1 to 1000000000"},
      {{"record", "--db", ""}, "record: --db: needs a file name"},
      {{"sessions", "3"}, "sessions: The following argument was not expected: 3"},
      {{"watch", "--split"}, "watch: --split requires --league"},
      {{"watch", "--class", "GT3"}, "watch: --class requires --league"},
      {{"watch", "--league", "l.csv", "--split", "--class", "GT3"},
       "watch: --class excludes --split"},
      {{"dump", "--league", ""}, "dump: --league: needs a file name"},
      {{"sessions", "--league", "l.csv"},
       "sessions: The following arguments were not expected: l.csv --league"},
  };
  for (const auto& [args, expected] : kCases) EXPECT_EQ(Parse(args), "error: " + expected);
  for (const std::string seconds : {"abc", "0", "5x", "1000001", "99999999999"}) {
    EXPECT_EQ(Parse({"watch", "--seconds", seconds}),
              "error: watch: --seconds: '" + seconds + "' is not a whole number from 1 to 1000000");
  }
}

TEST(CliOptionsTest, HelpOfACommandIsThatCommandsHelp) {
  const std::pair<std::vector<std::string>, std::string> kCases[] = {
      {{"watch", "--help"}, "--seconds N"},
      {{"dump", "-h"}, "--raw"},
      {{"track", "--help"}, "--svg FILE"},
  };
  for (const auto& [args, option] : kCases) {
    CliOptions o;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(args, &o, &error)) << error;
    EXPECT_EQ(o.command, CliCommand::kHelp);
    EXPECT_NE(o.output.find(option), std::string::npos) << o.output;
    if (args[0] != "track") {
      EXPECT_EQ(o.output.find("--svg"), std::string::npos) << o.output;
    }
  }
  const std::string usage = UsageText();
  for (const char* command : {"watch", "dump", "track", "--version"}) {
    EXPECT_NE(usage.find(command), std::string::npos) << usage;
  }
}

}  // namespace
