// The soak: the plug-in loaded as a simulator loads it, fed at 100 updates
// a second with 255 cars and a track change every few seconds, while 64
// clients of every kind use it (normal pollers, slow readers, clients that
// never read, floods of bad requests, connection churn, half requests, and
// bad clients that connect again and again, from one address and from more
// addresses than the server keeps log budgets for). It samples this
// process's memory, threads, open files and the plug-in's log (the file and
// its old copy), prints a table, and fails on malformed answers, on growth
// that does not level off, or on a log past its bound.
//
// Usage: pitwall_soak [--seconds N] [--clients N] [--cars N] [--rate HZ]
#include <netinet/in.h>
#include <sys/socket.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "pitwall_client.h"
#include "testing/temp_dir.h"
#include "tests/wire_client.h"
#include "tools/test_host/plugin_host.h"
#include "tools/test_host/race_sim.h"
#include "tools/test_host/track_path.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
  double rss_mib = 0;
  int threads = 0;
  int files = 0;
  std::uintmax_t log_bytes = 0;
};

double StatusField(const char* key) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(key, 0) == 0) return std::atof(line.c_str() + std::strlen(key));
  }
  return 0;
}

int OpenFiles() {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)e;
    ++n;
  }
  return n;
}

// The plug-in's log: every log file and old copy ("PitwallFeedPlugin*.log"
// and "PitwallFeedPlugin*.log.1").
std::uintmax_t LogBytes(const std::string& dir) {
  std::uintmax_t total = 0;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = e.path().filename().string();
    const auto ends_with = [&name](const std::string& end) {
      return name.size() >= end.size() &&
             name.compare(name.size() - end.size(), end.size(), end) == 0;
    };
    if (name.rfind("PitwallFeedPlugin", 0) == 0 && (ends_with(".log") || ends_with(".log.1"))) {
      const std::uintmax_t size = std::filesystem::file_size(e.path(), ec);
      if (!ec) total += size;
    }
  }
  return total;
}

// Times each scoring call on its way to the plug-in.
class TimedSink : public HostSink {
 public:
  explicit TimedSink(HostSink* next) : next_(next) {}
  void SessionStart() override {
    Time([&] { next_->SessionStart(); });
  }
  void SessionEnd() override {
    Time([&] { next_->SessionEnd(); });
  }
  void Scoring(const HostScoringInfo* info) override {
    Time([&] { next_->Scoring(info); });
  }
  std::vector<double> micros;

 private:
  template <typename F>
  void Time(F call) {
    const auto start = Clock::now();
    call();
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  HostSink* const next_;
};

struct Counters {
  std::atomic<long> answered{0};
  std::atomic<long> malformed{0};
  std::atomic<long> connections{0};
};

// Churn through tens of thousands of connections would otherwise leave as
// many ports in TIME_WAIT on this machine, where other programs (and tests)
// want them: these clients end with a reset.
void NoTimeWait(const WireClient& client) { SetResetOnClose(client.handle()); }

// A raw connection to the plug-in from the loopback address `source`
// (127.x.y.z, network byte order), ending with a reset; invalid on failure.
Socket ConnectFrom(std::uint32_t source, std::uint16_t port) {
  Socket socket = OpenTcpSocket();
  if (!socket.valid() || !BindIPv4(socket.get(), source, 0)) return Socket();
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(port);
  server.sin_addr.s_addr = LoopbackIPv4();
  if (connect(socket.get(), reinterpret_cast<const sockaddr*>(&server), sizeof(server)) != 0) {
    return Socket();
  }
  SetResetOnClose(socket.get());
  return socket;
}

// The addresses the bad clients of many addresses come from, in turn: four
// times as many as the server keeps log budgets for, so that each comes
// back after the server has let go of it.
constexpr std::uint32_t kBadAddresses = 1024;

// One client of `kind` until `stop`.
void RunClient(int kind, std::uint16_t port, const std::atomic<bool>& stop, Counters* counts) {
  const auto pause = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  // Connects a raw client that ends with a reset, and counts it.
  const auto connect = [port, counts](WireClient* client) {
    if (!client->Connect(port)) return false;
    NoTimeWait(*client);
    ++counts->connections;
    return true;
  };
  while (!stop) {
    switch (kind) {
      case 0:    // a normal poller of every answer
      case 1: {  // a slow reader
        PitwallClient client;
        if (!client.Connect("127.0.0.1", port, 2000).ok()) {
          pause(100);
          break;
        }
        ++counts->connections;
        for (int round = 0; !stop && round < 200; ++round) {
          for (RequestType type : {kUpdateData, kSessionInfo, kVehicleInfo, kTrackstrip}) {
            if (!client.Send(type).ok()) round = 200;
          }
          if (kind == 1) pause(400);
          for (;;) {
            const ClientResult<Answer> answer = client.ReadAnswer(kind == 1 ? 50 : 150);
            if (answer.error.code == ClientErrorCode::kTimeout) break;
            if (!answer.ok()) {
              // A full server closes or says so; anything else is a fault.
              if (answer.error.code != ClientErrorCode::kClosed) ++counts->malformed;
              round = 200;
              break;
            }
            ++counts->answered;
          }
        }
        break;
      }
      case 2: {  // never reads an answer
        WireClient client;
        if (!connect(&client)) {
          pause(100);
          break;
        }
        for (int i = 0; !stop && i < 300 && client.Request(static_cast<std::uint8_t>(i % 5)); ++i) {
          pause(20);
        }
        break;
      }
      case 3: {  // floods requests of unknown type
        WireClient client;
        if (!connect(&client)) {
          pause(100);
          break;
        }
        Bytes flood;
        for (int i = 0; i < 341; ++i) flood.insert(flood.end(), {3, 0, 77});
        for (int i = 0; !stop && i < 2000 && client.Send(flood); ++i) pause(1);
        break;
      }
      case 4: {  // connects, shakes hands, leaves, again
        WireClient client;
        if (connect(&client)) {
          Bytes hello;
          if (client.Request(0) && client.ReadMessage(&hello, 2000)) ++counts->answered;
        }
        pause(50);
        break;
      }
      case 5: {  // half a request, then gone
        WireClient client;
        if (connect(&client)) {
          client.Send({3});
          pause(200);
        }
        break;
      }
      case 6:     // a block of bad requests, gone, and again, from 127.0.0.1
      default: {  // the same from a new address each time, of many
        static std::atomic<std::uint32_t> next_address{0};
        const std::uint32_t n = next_address++ % kBadAddresses;
        // 127.1.<n / 256>.<n % 256>
        const std::uint32_t source =
            kind == 6 ? LoopbackIPv4() : htonl((127u << 24) | (1u << 16) | n);
        Socket socket = ConnectFrom(source, port);
        if (!socket.valid()) {
          pause(100);
          break;
        }
        ++counts->connections;
        std::uint8_t block[1023];
        for (std::size_t i = 0; i < sizeof(block); i += 3) {
          block[i] = 3;
          block[i + 1] = 0;
          block[i + 2] = 200;
        }
        SendSome(socket.get(), block, sizeof(block));
        pause(50);  // read by the server before the reset
        break;
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("The PitwallFeed soak: the plug-in under a busy host and hostile clients.",
               "pitwall_soak");
  double seconds = 120;
  int clients = 64;
  int cars = 255;
  double rate = 100;
  double track_every = 5;
  app.add_option("--seconds", seconds, "how long (default 120)")->check(CLI::Range(5.0, 86400.0));
  app.add_option("--clients", clients, "clients (default 64)")->check(CLI::Range(1, 64));
  app.add_option("--cars", cars, "cars (default 255)")->check(CLI::Range(0, 255));
  app.add_option("--rate", rate, "scoring updates a second (default 100)")
      ->check(CLI::Range(1.0, 1000.0));
  app.add_option("--track-every", track_every, "seconds between track changes (default 5)")
      ->check(CLI::Range(0.5, 3600.0));
  CLI11_PARSE(app, argc, argv);

  TempDir game;
  game.CopyFrom(PITWALL_EXAMPLES_DIR "/game");
  const std::uint16_t port = FreePort();
  game.Write("PitwallFeedPlugin.ini",
             "[GENERAL]\nPort=" + std::to_string(port) + "\nMaxConnections=64\n");
  const std::filesystem::path cwd = std::filesystem::current_path();
  std::filesystem::current_path(game.path());
  const char* kTracks[] = {"Pitwall Ring", "Harbour Loop"};
  TrackPath paths[2];
  for (int i = 0; i < 2; ++i) {
    std::string error;
    if (!paths[i].Load(game.path(), kTracks[i], &error)) {
      std::fprintf(stderr, "pitwall_soak: %s\n", error.c_str());
      return 1;
    }
  }
  PluginHost host;
  std::string error;
  if (!host.Load(PITWALL_PLUGIN_PATH, &error)) {
    std::fprintf(stderr, "pitwall_soak: %s\n", error.c_str());
    return 1;
  }
  host.Startup();
  TimedSink sink(&host);

  std::atomic<bool> stop{false};
  Counters counts;
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] { RunClient(i % 8, port, stop, &counts); });
  }

  std::vector<Sample> samples;
  const auto sample = [&] {
    samples.push_back(Sample{StatusField("VmRSS:") / 1024.0,
                             static_cast<int>(StatusField("Threads:")), OpenFiles(),
                             LogBytes(game.path())});
  };
  const auto start = Clock::now();
  const auto period = std::chrono::duration<double>(1.0 / rate);
  auto next_update = start, next_sample = start;
  int track = 0;
  SimOptions options;
  options.cars = cars;
  options.sessions = {SessionKind::kRace};
  options.race_laps = 1000;
  auto race = std::make_unique<RaceSimulation>(paths[track], kTracks[track], options);
  auto next_track = start + std::chrono::duration<double>(track_every);
  while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
    if (Clock::now() >= next_track) {
      // Another track: the session ends and a new one begins there.
      sink.SessionEnd();
      track = 1 - track;
      race = std::make_unique<RaceSimulation>(paths[track], kTracks[track], options);
      next_track +=
          std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(track_every));
    }
    race->Advance(period.count(), &sink);
    if (Clock::now() >= next_sample) {
      sample();
      next_sample += std::chrono::seconds(1);
    }
    next_update += std::chrono::duration_cast<Clock::duration>(period);
    std::this_thread::sleep_until(next_update);
  }
  sample();
  stop = true;
  for (std::thread& t : threads) t.join();
  const auto shutdown_start = Clock::now();
  host.Shutdown();
  const double shutdown_ms =
      std::chrono::duration<double, std::milli>(Clock::now() - shutdown_start).count();
  sample();
  std::filesystem::current_path(cwd);

  std::vector<double> calls = sink.micros;
  std::sort(calls.begin(), calls.end());
  const auto at = [&](double q) {
    return calls.empty()
               ? 0.0
               : calls[std::min(calls.size() - 1, static_cast<std::size_t>(q * calls.size()))];
  };
  // Growth that levels off: the last quarter's peak within a margin of the
  // second quarter's.
  const std::size_t n = samples.size() - 1;  // the last sample is after shutdown
  const auto peak = [&](std::size_t from, std::size_t to, auto field) {
    double best = 0;
    for (std::size_t i = from; i < to && i < n; ++i)
      best = std::max(best, static_cast<double>(field(samples[i])));
    return best;
  };
  const auto rss = [](const Sample& s) { return s.rss_mib; };
  const auto thr = [](const Sample& s) { return s.threads; };
  const auto fds = [](const Sample& s) { return s.files; };
  const auto log = [](const Sample& s) { return s.log_bytes; };
  const bool rss_ok = peak(3 * n / 4, n, rss) <= peak(n / 4, n / 2, rss) * 1.2 + 8;
  const bool thr_ok = peak(3 * n / 4, n, thr) <= peak(n / 4, n / 2, thr) + 16;
  const bool fds_ok = peak(3 * n / 4, n, fds) <= peak(n / 4, n / 2, fds) + 16;
  const double log_second_quarter = peak(n / 4, n / 2, log);
  const double log_last_quarter = peak(3 * n / 4, n, log);
  // A log that had reached its first renaming by the second quarter stays
  // between one and two files' limit from then on: the bound below is its
  // check (a short run may not reach that level before its last quarter).
  const bool log_growth_ok = log_last_quarter <= log_second_quarter * 1.2 + 65536 ||
                             log_second_quarter >= LogFile::kMaxFileBytes;
  // The file and its old copy, each at most the limit (a file is begun
  // anew before a text would take it past).
  const double log_bound = 2.0 * LogFile::kMaxFileBytes;
  const double log_peak = peak(0, n, log);
  const bool log_ok = log_growth_ok && log_peak <= log_bound;
  const Sample& first = samples.front();
  const Sample& last = samples[n - 1];
  const Sample& after = samples.back();

  std::printf("| measure | value |\n|---|---|\n");
  std::printf(
      "| run | %.0f s, %d clients, %d cars, %.0f updates/s, a track change every %.0f s |\n",
      seconds, clients, cars, rate, track_every);
  std::printf("| connections made | %ld |\n", counts.connections.load());
  std::printf("| answers read | %ld |\n", counts.answered.load());
  std::printf("| malformed answers | %ld |\n", counts.malformed.load());
  std::printf("| host calls | %zu; p99.9 %.0f us, max %.0f us; shutdown %.0f ms |\n", calls.size(),
              at(0.999), calls.empty() ? 0.0 : calls.back(), shutdown_ms);
  std::printf("| memory (MiB) | %.1f at start, %.1f at the end%s |\n", first.rss_mib, last.rss_mib,
              rss_ok ? "" : " (GROWING)");
  std::printf("| threads | %d at start, %d at the end, %d after shutdown%s |\n", first.threads,
              last.threads, after.threads, thr_ok ? "" : " (GROWING)");
  std::printf("| open files | %d at start, %d at the end, %d after shutdown%s |\n", first.files,
              last.files, after.files, fds_ok ? "" : " (GROWING)");
  std::printf(
      "| log bytes (file + old copy) | at most %.0f in the second quarter, %.0f in the last, %ju "
      "at the end; bound %.0f%s |\n",
      log_second_quarter, log_last_quarter, last.log_bytes, log_bound,
      log_peak > log_bound ? " (PAST THE BOUND)" : (log_growth_ok ? "" : " (GROWING)"));
  const bool ok =
      counts.malformed == 0 && counts.answered > 0 && rss_ok && thr_ok && fds_ok && log_ok;
  std::printf("%s\n", ok ? "soak: passed" : "soak: FAILED");
  return ok ? 0 : 1;
}
