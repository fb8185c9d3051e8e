// A load of event-stream viewers on `pitwall web`: N viewers read
// /api/events for a while; each state event's delay is the time from the
// answer's arrival at the bridge (its "received_unix_s") to the event's
// arrival here. Prints one line of the table: viewers, cars, p50 and p99
// delay, the web view's CPU time per update and its resident memory.
//
// Usage: pitwall_web_load HOST:PORT VIEWERS SECONDS WEB_PID
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace {

double UnixNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// utime + stime of a process, in seconds.
double CpuSeconds(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
  double utime = 0, stime = 0;
  fields >> utime >> stime;
  return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double ResidentMiB(const std::string& pid) {
  std::ifstream status("/proc/" + pid + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  }
  return 0;
}

// Reads one event stream from `port` on loopback, handing each decoded piece
// of the stream to `take` until it returns false or the stream ends.
template <typename Take>
void ReadStream(std::uint16_t port, Take take) {
  Socket socket = ConnectIPv4(LoopbackIPv4(), port);
  const std::string request = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  if (!socket.valid() || SendSome(socket.get(), request.data(), request.size()) <= 0) return;
  std::string raw;  // received, not yet decoded
  bool in_head = true;
  std::size_t chunk_left = 0;  // bytes of the current chunk still to come
  char buffer[65536];
  for (;;) {
    const long n = RecvSomeWithin(socket.get(), buffer, sizeof(buffer), 30000);
    if (n <= 0) return;
    raw.append(buffer, static_cast<std::size_t>(n));
    if (in_head) {
      const std::size_t end = raw.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      if (raw.compare(0, 12, "HTTP/1.1 200") != 0) return;  // refused
      raw.erase(0, end + 4);
      in_head = false;
    }
    // Chunks: a hexadecimal size line, the data, a line end.
    std::string data;
    for (;;) {
      if (chunk_left == 0) {
        const std::size_t line = raw.find("\r\n");
        if (line == std::string::npos) break;
        if (line == 0) {  // the line end after a chunk's data
          raw.erase(0, 2);
          continue;
        }
        chunk_left = std::strtoul(raw.c_str(), nullptr, 16);
        raw.erase(0, line + 2);
        if (chunk_left == 0) return;  // the last chunk
      }
      const std::size_t take_now = std::min(chunk_left, raw.size());
      if (take_now == 0) break;
      data.append(raw, 0, take_now);
      raw.erase(0, take_now);
      chunk_left -= take_now;
    }
    if (!data.empty() && !take(data)) return;
  }
}

struct Viewer {
  bool first = true;  // no state event yet
  std::vector<double> delays_ms;
  std::set<std::string> ids;
  int cars = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: pitwall_web_load HOST:PORT VIEWERS SECONDS WEB_PID\n");
    return 2;
  }
  const std::string endpoint = argv[1];
  const int port = std::atoi(endpoint.c_str() + endpoint.rfind(':') + 1);
  const int viewers = std::atoi(argv[2]);
  const double seconds = std::atof(argv[3]);
  const std::string pid = argv[4];

  std::atomic<bool> measuring{false}, stop{false};
  std::atomic<int> connected{0};  // viewers that have had a state event
  std::vector<Viewer> results(static_cast<std::size_t>(viewers));
  std::vector<std::thread> threads;
  for (int v = 0; v < viewers; ++v) {
    threads.emplace_back([&, v] {
      Viewer& me = results[static_cast<std::size_t>(v)];
      std::string pending;
      ReadStream(static_cast<std::uint16_t>(port), [&](const std::string& data) {
        const double now = UnixNow();
        pending += data;
        for (std::size_t end; (end = pending.find("\n\n")) != std::string::npos;) {
          const std::string event = pending.substr(0, end);
          pending.erase(0, end + 2);
          if (event.find("\nevent: state\n") == std::string::npos) continue;
          const std::size_t at = event.find("\"received_unix_s\":");
          connected.fetch_add(me.first ? 1 : 0);
          me.first = false;
          if (at == std::string::npos || !measuring) continue;
          me.delays_ms.push_back((now - std::atof(event.c_str() + at + 18)) * 1000.0);
          me.ids.insert(event.substr(4, event.find('\n') - 4));
          if (me.cars == 0) {
            // A field only car objects have.
            for (std::size_t i = event.find("\"heading_rad\":"); i != std::string::npos;
                 i = event.find("\"heading_rad\":", i + 1)) {
              ++me.cars;
            }
          }
        }
        return !stop.load();
      });
    });
  }
  // Until every viewer is reading (or 20 s have gone).
  for (int i = 0; i < 200 && connected.load() < viewers; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const double cpu_start = CpuSeconds(pid);
  measuring = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  measuring = false;
  const double cpu = CpuSeconds(pid) - cpu_start;
  const double rss = ResidentMiB(pid);
  stop = true;
  for (std::thread& t : threads) t.join();

  std::vector<double> all;
  std::size_t updates = 0;
  int cars = 0;
  for (const Viewer& v : results) {
    all.insert(all.end(), v.delays_ms.begin(), v.delays_ms.end());
    updates = std::max(updates, v.ids.size());
    cars = std::max(cars, v.cars);
  }
  std::sort(all.begin(), all.end());
  const auto at = [&](double q) {
    return all.empty() ? 0.0
                       : all[std::min(all.size() - 1, static_cast<std::size_t>(q * all.size()))];
  };
  std::printf("| %d | %d | %.1f | %.1f | %.2f | %.0f | %zu of %zu |\n", viewers, cars, at(0.5),
              at(0.99), updates > 0 ? cpu * 1000.0 / static_cast<double>(updates) : 0.0, rss,
              all.size(), updates * static_cast<std::size_t>(viewers));
  return all.empty() ? 1 : 0;
}
