#include "server/server_config.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "log/log.h"
#include "testing/temp_dir.h"

namespace {

// Runs the reader on `content` and returns the log it wrote.
struct ConfigRun {
  ServerConfig config;
  std::string log;
};
ConfigRun Read(const std::string& content) {
  TempDir dir;
  dir.Write("PitwallFeedPlugin.ini", content);
  LogFile log(dir.prefix());
  log.SetBoundPort(1);  // make every line visible
  ConfigRun run;
  ReadServerConfig(dir.File("PitwallFeedPlugin.ini"), &run.config, &log);
  run.log = dir.ReadText("PitwallFeedPlugin_1.log");
  if (run.log == "<missing>") run.log.clear();
  return run;
}

TEST(ServerConfigTest, MissingFileIsCreatedWithTheStartingPort) {
  TempDir dir;
  LogFile log(dir.prefix());
  log.SetBoundPort(1);
  ServerConfig config;
  ReadServerConfig(dir.File("PitwallFeedPlugin.ini"), &config, &log);
  EXPECT_EQ(dir.ReadText("PitwallFeedPlugin.ini"), "[GENERAL]\nPort=34647\n");
  EXPECT_EQ(config.starting_port, 34647);
  EXPECT_FALSE(dir.Exists("PitwallFeedPlugin_1.log")) << "creating the file logs nothing";

  // A changed starting port is what a created file carries.
  TempDir other;
  config.starting_port = 40100;
  ReadServerConfig(other.File("PitwallFeedPlugin.ini"), &config, &log);
  EXPECT_EQ(other.ReadText("PitwallFeedPlugin.ini"), "[GENERAL]\nPort=40100\n");

  // Neither readable nor creatable: nothing happens.
  ReadServerConfig(dir.File("no-such-dir/PitwallFeedPlugin.ini"), &config, &log);
  EXPECT_EQ(config.starting_port, 40100);
}

TEST(ServerConfigTest, TokenRules) {
  struct Case {
    const char* content;
    std::int32_t port;
    std::int32_t limit;
    const char* log;
  };
  const Case cases[] = {
      {"[general]\nPORT=40000\n", 40000, 1, "\nReading INI file...\nStartingPort=40000\n"},
      {"[GENERAL]\r\nPort=40001\r\n", 40001, 1, "\nReading INI file...\nStartingPort=40001\n"},
      // Blanks around the equals sign: three unknown tokens.
      {"[GENERAL]\nPort = 40002\n", 34647, 1,
       "\nReading INI file...\nUnknown INI field found: 'Port'\n"
       "Unknown INI field found: '='\nUnknown INI field found: '40002'\n"},
      // A blank after the equals sign: no port, and the number is unknown.
      {"[GENERAL]\nPort= 40003\n", 34647, 1,
       "\nReading INI file...\nPort value '' is not a starting port from 1 to 65516; keeping "
       "34647.\nUnknown INI field found: '40003'\n"},
      // Only the token that begins with # is a comment.
      {"[GENERAL]\n# the port\nPort=40004\n", 40004, 1,
       "\nReading INI file...\nUnknown INI field found: 'the'\n"
       "Unknown INI field found: 'port'\nStartingPort=40004\n"},
      {"[GENERAL]\n#comment\tPort=40005\n", 40005, 1,
       "\nReading INI file...\nStartingPort=40005\n"},
      // Keys before the marker are skipped unread.
      {"Port=1234 junk\n[GENERAL]\n", 34647, 1, "\nReading INI file...\n"},
      {"Port=1234\n", 34647, 1, "\nReading INI file...\nNo [GENERAL] section found\n"},
      {"", 34647, 1, "\nReading INI file...\nNo [GENERAL] section found\n"},
      // A second marker is just an unknown token; later keys still apply,
      // and the later of two keys wins.
      {"[GENERAL]\nPort=1\n[OTHER]\nport=40006\n", 40006, 1,
       "\nReading INI file...\nStartingPort=1\nUnknown INI field found: '[OTHER]'\n"
       "StartingPort=40006\n"},
      // Prefix matches: the marker and the key may be followed by anything.
      {"[GENERAL]ITIES portable=7x\n", 34647, 1,
       "\nReading INI file...\nUnknown INI field found: 'portable=7x'\n"},
      // Values that are no usable starting port keep the one before.
      {"[GENERAL]x port=-12abc\n", 34647, 1,
       "\nReading INI file...\nPort value '-12abc' is not a starting port from 1 to 65516; "
       "keeping 34647.\n"},
      {"[GENERAL] port=abc\n", 34647, 1,
       "\nReading INI file...\nPort value 'abc' is not a starting port from 1 to 65516; "
       "keeping 34647.\n"},
      {"[GENERAL] port=0 port=40010 port=65517\n", 40010, 1,
       "\nReading INI file...\nPort value '0' is not a starting port from 1 to 65516; keeping "
       "34647.\nStartingPort=40010\nPort value '65517' is not a starting port from 1 to 65516; "
       "keeping 40010.\n"},
      {"[GENERAL] port=65516 port=+7x\n", 7, 1,
       "\nReading INI file...\nStartingPort=65516\nStartingPort=7\n"},
      {"[GENERAL] port=99999999999\n", 34647, 1,
       "\nReading INI file...\nPort value '99999999999' is not a starting port from 1 to 65516; "
       "keeping 34647.\n"},
      // A last token with no line end after it is still read.
      {"[GENERAL]\nPort=40007", 40007, 1, "\nReading INI file...\nStartingPort=40007\n"},
      {"[GENERAL]", 34647, 1, "\nReading INI file...\n"},
      // Percent signs reach the log literally; control characters as
      // escapes, so a token can neither end its line nor steer a terminal.
      {"[GENERAL] 100%s%d\n", 34647, 1,
       "\nReading INI file...\nUnknown INI field found: '100%s%d'\n"},
      {"[GENERAL] \x1B[2J\x7F\xC2\x9B Port=\x01\n", 34647, 1,
       "\nReading INI file...\nUnknown INI field found: '\\x1B[2J\\x7F\\xC2\\x9B'\nPort value "
       "'\\x01' is not a starting port from 1 to 65516; keeping 34647.\n"},
      // The connection limit: applied, kept at 1 for 0 or less, capped.
      {"[GENERAL] MaxConnections=4\n", 34647, 4, "\nReading INI file...\nMaxConnections=4\n"},
      {"[GENERAL] maxconnections=0\n", 34647, 1, "\nReading INI file...\nMaxConnections=1\n"},
      {"[GENERAL] maxconnections=-3\n", 34647, 1, "\nReading INI file...\nMaxConnections=1\n"},
      {"[GENERAL] maxconnections=100000\n", 34647, 64,
       "\nReading INI file...\nMaxConnections=64\n"},
      // Numbers are read as atoi() reads them, clamped to 32 bits.
      {"[GENERAL] maxconnections=3.9 port=4,5\n", 4, 3,
       "\nReading INI file...\nMaxConnections=3\nStartingPort=4\n"},
      {"[GENERAL] maxconnections=-99999999999999999999\n", 34647, 1,
       "\nReading INI file...\nMaxConnections=1\n"},
  };
  for (const Case& c : cases) {
    const ConfigRun run = Read(c.content);
    EXPECT_EQ(run.config.starting_port, c.port) << c.content;
    EXPECT_EQ(run.config.connection_limit, c.limit) << c.content;
    EXPECT_EQ(run.log, c.log) << c.content;
  }
}

TEST(ServerConfigTest, OverlongTokenIsCutNotOverrun) {
  const std::string long_key = "[GENERAL] " + std::string(300, 'k') + " Port=40008\n";
  const ConfigRun run = Read(long_key);
  EXPECT_EQ(run.config.starting_port, 40008) << "the rest of the long token is not a new token";
  EXPECT_EQ(run.log, "\nReading INI file...\nUnknown INI field found: '" + std::string(255, 'k') +
                         "'\nStartingPort=40008\n");
}

}  // namespace
