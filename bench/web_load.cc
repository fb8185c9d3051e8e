// A load of event-stream viewers on `pitwall web`: N viewers read
// /api/events for a while; each state event's delay is the time from the
// answer's arrival at the bridge (its "received_unix_s") to the event's
// arrival here. Prints one line of the table: viewers, cars, p50 and p99
// delay, the web view's CPU time per update and its resident memory.
//
// Usage: pitwall_web_load HOST:PORT VIEWERS SECONDS WEB_PID
#include <httplib.h>

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
  const std::string host = endpoint.substr(0, endpoint.rfind(':'));
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
      httplib::Client client(host, port);
      client.set_read_timeout(30, 0);
      std::string pending;
      client.Get("/api/events", [&](const char* data, std::size_t size) {
        const double now = UnixNow();
        pending.append(data, size);
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
