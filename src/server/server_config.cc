#include "server/server_config.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "log/log.h"
#include "platform/ascii.h"
#include "platform/files.h"

namespace {

bool IsWhiteSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

constexpr char kSectionMarker[] = "[GENERAL]";
constexpr char kPortKey[] = "port=";
constexpr char kMaxConnectionsKey[] = "maxconnections=";

}  // namespace

bool ReadConfigToken(std::FILE* file, char (&token)[kMaxTokenLength + 1]) {
  int c;
  do {
    c = std::fgetc(file);
  } while (c != EOF && IsWhiteSpace(c));
  if (c == EOF) return false;
  int n = 0;
  for (; c != EOF && !IsWhiteSpace(c); c = std::fgetc(file)) {
    if (n < kMaxTokenLength) token[n++] = static_cast<char>(c);
  }
  token[n] = '\0';
  return true;
}

std::int32_t ParseLeadingInt(const char* text) {
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  std::int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = std::min<std::int64_t>(value * 10 + (*text - '0'),
                                   std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1);
  }
  if (negative) value = -value;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

void ReadServerConfig(const std::string& path, ServerConfig* config, LogFile* log) {
  UniqueFile file(std::fopen(path.c_str(), "r"));
  if (file == nullptr) {
    // No file: leave one with the defaults for the user to edit.
    UniqueFile created(std::fopen(path.c_str(), "w"));
    if (created != nullptr)
      std::fprintf(created.get(), "[GENERAL]\nPort=%d\n", config->starting_port);
    return;
  }
  log->WriteLog("\nReading INI file...\n");

  char token[kMaxTokenLength + 1];
  bool found = false;
  while (ReadConfigToken(file.get(), token)) {
    if (StartsWithIgnoringCase(token, kSectionMarker)) {
      found = true;
      break;
    }
  }
  if (!found) {
    log->WriteLog("No [GENERAL] section found\n");
    return;
  }

  while (ReadConfigToken(file.get(), token)) {
    if (token[0] == '#') continue;
    if (StartsWithIgnoringCase(token, kPortKey)) {
      const char* value = token + std::strlen(kPortKey);
      const char* digits = value + (*value == '+' || *value == '-' ? 1 : 0);
      const std::int32_t port = ParseLeadingInt(value);
      if (*digits >= '0' && *digits <= '9' && port >= 1 && port <= kMaxStartingPort) {
        config->starting_port = port;
        log->Printf("StartingPort=%d\n", config->starting_port);
      } else {
        char shown[kMaxEscapedText];
        EscapeForLog(value, shown, sizeof(shown));
        log->Printf("Port value '%s' is not a starting port from 1 to %d; keeping %d.\n", shown,
                    static_cast<int>(kMaxStartingPort), static_cast<int>(config->starting_port));
      }
    } else if (StartsWithIgnoringCase(token, kMaxConnectionsKey)) {
      const std::int32_t wanted = ParseLeadingInt(token + std::strlen(kMaxConnectionsKey));
      config->connection_limit =
          wanted < 1 ? kDefaultConnectionLimit : std::min(wanted, kMaxConnectionLimit);
      log->Printf("MaxConnections=%d\n", config->connection_limit);
    } else {
      char shown[kMaxEscapedText];
      EscapeForLog(token, shown, sizeof(shown));
      log->Printf("Unknown INI field found: '%s'\n", shown);
    }
  }
}
