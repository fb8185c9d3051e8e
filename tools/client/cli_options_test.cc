#include "cli_options.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

// The options read from `args` in one line, or "error: " and the message.
std::string Parse(const std::vector<std::string>& args) {
  CliOptions o;
  std::string error;
  if (!ParseCommandLine(args, &o, &error)) return "error: " + error;
  const char* kCommands[] = {"help", "watch", "dump", "track"};  // In CliCommand order.
  return kCommands[static_cast<int>(o.command)] + (" " + o.host) + ":" + std::to_string(o.port) +
         " seconds=" + std::to_string(o.seconds) + " count=" + std::to_string(o.count) +
         " timeout=" + std::to_string(o.timeout_s) + " json=" + (o.json ? "1" : "0") +
         " svg=" + o.svg_file;
}

TEST(CliOptionsTest, GoodCommandLines) {
  const std::pair<std::vector<std::string>, std::string> kCases[] = {
      {{"watch"}, "watch 127.0.0.1:34647 seconds=0 count=0 timeout=5 json=0 svg="},
      {{"watch", "10.0.0.2:5000", "--seconds", "5"},
       "watch 10.0.0.2:5000 seconds=5 count=0 timeout=5 json=0 svg="},
      {{"dump", "--json", "--count=3", "localhost"},
       "dump localhost:34647 seconds=0 count=3 timeout=5 json=1 svg="},
      {{"track", ":4100", "--svg", "out.svg", "--timeout", "2"},
       "track 127.0.0.1:4100 seconds=0 count=0 timeout=2 json=0 svg=out.svg"},
      {{"--help"}, "help 127.0.0.1:34647 seconds=0 count=0 timeout=5 json=0 svg="},
  };
  for (const auto& [args, expected] : kCases) EXPECT_EQ(Parse(args), expected);
}

TEST(CliOptionsTest, BadCommandLines) {
  const std::pair<std::vector<std::string>, std::string> kCases[] = {
      {{}, "no command"},
      {{"race"}, "unknown command 'race'"},
      {{"watch", "--seconds", "abc"}, "bad number 'abc' for --seconds"},
      {{"watch", "--seconds", "0"}, "bad number '0'"},
      {{"watch", "--seconds", "5x"}, "bad number '5x'"},
      {{"watch", "--seconds", "1000001"}, "bad number '1000001'"},
      {{"watch", "--seconds", "99999999999"}, "bad number"},
      {{"watch", "--seconds"}, "needs a value"},
      {{"dump", "--count", "-1"}, "bad number '-1' for --count"},
      {{"dump", "--json=yes"}, "takes no value"},
      {{"dump", "--verbose"}, "unknown option '--verbose'"},
      {{"track"}, "track needs --svg FILE"},
      {{"track", "--svg="}, "needs a file name"},
      {{"watch", "--json"}, "does not belong to watch"},
      {{"watch", "a", "b"}, "more than one server"},
      {{"watch", "h:99999"}, "bad port '99999'"},
  };
  for (const auto& [args, error_part] : kCases) {
    const std::string result = Parse(args);
    EXPECT_EQ(result.rfind("error: ", 0), 0u) << result;
    EXPECT_NE(result.find(error_part), std::string::npos) << "'" << result << "'";
  }
}

}  // namespace
