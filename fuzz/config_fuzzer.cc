// Any bytes as PitwallFeedPlugin.ini: the reader never overruns its token
// buffer and keeps the connection limit within bounds.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "log/log.h"
#include "server/server_config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = "/tmp/pitwall_ini_fuzz_" + std::to_string(getpid()) + ".ini";
  static LogFile log;  // no port bound: lines are dropped
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  ServerConfig config;
  ReadServerConfig(path, &config, &log);
  if (config.connection_limit < 1 || config.connection_limit > kMaxConnectionLimit)
    __builtin_trap();
  return 0;
}
