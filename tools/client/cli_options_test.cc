#include "cli_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(CliOptionsTest, GoodCommandLines) {
  const struct {
    std::vector<std::string> args;
    CliCommand command;
    const char* host;
    std::uint16_t port;
    std::uint32_t seconds, count, timeout_s;
    bool json;
    const char* svg;
  } kCases[] = {
      {{"watch"}, CliCommand::kWatch, "127.0.0.1", 34647, 0, 0, 5, false, ""},
      {{"watch", "10.0.0.2:5000", "--seconds", "5"},
       CliCommand::kWatch,
       "10.0.0.2",
       5000,
       5,
       0,
       5,
       false,
       ""},
      {{"dump", "--json", "--count=3", "localhost"},
       CliCommand::kDump,
       "localhost",
       34647,
       0,
       3,
       5,
       true,
       ""},
      {{"track", ":4100", "--svg", "out.svg", "--timeout", "2"},
       CliCommand::kTrack,
       "127.0.0.1",
       4100,
       0,
       0,
       2,
       false,
       "out.svg"},
      {{"--help"}, CliCommand::kHelp, "127.0.0.1", 34647, 0, 0, 5, false, ""},
  };
  for (const auto& c : kCases) {
    CliOptions o;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(c.args, &o, &error)) << c.args[0] << ": " << error;
    EXPECT_EQ(o.command, c.command) << c.args[0];
    EXPECT_EQ(o.host, c.host) << c.args[0];
    EXPECT_EQ(o.port, c.port) << c.args[0];
    EXPECT_EQ(o.seconds, c.seconds) << c.args[0];
    EXPECT_EQ(o.count, c.count) << c.args[0];
    EXPECT_EQ(o.timeout_s, c.timeout_s) << c.args[0];
    EXPECT_EQ(o.json, c.json) << c.args[0];
    EXPECT_EQ(o.svg_file, c.svg) << c.args[0];
  }
}

TEST(CliOptionsTest, BadCommandLines) {
  const struct {
    std::vector<std::string> args;
    const char* error_part;
  } kCases[] = {
      {{}, "no command"},
      {{"race"}, "unknown command 'race'"},
      {{"watch", "--seconds", "abc"}, "bad number 'abc' for --seconds"},
      {{"watch", "--seconds", "0"}, "bad number '0'"},
      {{"watch", "--seconds", "5x"}, "bad number '5x'"},
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
  for (const auto& c : kCases) {
    CliOptions o;
    std::string error;
    EXPECT_FALSE(ParseCommandLine(c.args, &o, &error)) << c.error_part;
    EXPECT_NE(error.find(c.error_part), std::string::npos) << "'" << error << "'";
  }
}

}  // namespace
