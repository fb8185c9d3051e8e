// The server's configuration file, "PitwallFeedPlugin.ini": a sequence of
// white-space separated tokens. Every token before the first one that
// begins with "[GENERAL]" is skipped; after it, "port=<n>" sets the
// starting port, "maxconnections=<n>" the connection limit, a token that
// begins with "#" is ignored, and anything else is reported as unknown. Key
// prefixes are compared without regard to letter case; a later key wins.
// A port value that is no usable starting port (no digits, below 1, or so
// high that the twenty ports run past 65535) leaves the starting port as it
// was, and says so; a connection limit out of range is clamped.
//
// Thread-safety: called on the host's thread only.
#ifndef PITWALL_SERVER_SERVER_CONFIG_H_
#define PITWALL_SERVER_SERVER_CONFIG_H_

#include <cstdint>
#include <cstdio>
#include <string>

#include "pitwall/protocol.h"

class LogFile;

inline constexpr char kConfigFileName[] = "PitwallFeedPlugin.ini";
inline constexpr std::int32_t kDefaultStartingPort = kDefaultPort;
inline constexpr std::int32_t kDefaultConnectionLimit = kMinConnectionLimit;
// kMaxConnectionLimit is the highest the file may set: limit + 1 clients,
// each with its own thread, is what the server will ever serve.
// The highest usable starting port: its kPortsToTry ports end at 65535.
inline constexpr std::int32_t kMaxStartingPort = 65535 - kPortsToTry + 1;

struct ServerConfig {
  std::int32_t starting_port = kDefaultStartingPort;
  std::int32_t connection_limit = kDefaultConnectionLimit;
};

// Longest token kept; the rest of a longer token is read and dropped.
inline constexpr int kMaxTokenLength = 255;

// Reads the next token into `token` (at most kMaxTokenLength characters and
// a NUL), skipping white space before it. False at the end of the file or on
// a read error, with no token read; a last token that the end of the file
// follows directly is still returned.
bool ReadConfigToken(std::FILE* file, char (&token)[kMaxTokenLength + 1]);

// The `atoi` rule without the locale: an optional sign, then the digits up
// to the first other character; 0 when there are none. Clamped to the
// 32-bit range.
std::int32_t ParseLeadingInt(const char* text);

// Reads the file at `path` into *config, logging as it goes. When the file
// does not exist it is created with "[GENERAL]\nPort=<starting port>\n",
// nothing is logged and *config stays as it is.
void ReadServerConfig(const std::string& path, ServerConfig* config, LogFile* log);

#endif  // PITWALL_SERVER_SERVER_CONFIG_H_
