// A load of event-stream viewers on the web view, straight from `pitwall
// web` or fanned out through nginx: VIEWERS viewers read PATH from the given
// addresses (viewer i from address i mod their number) for SECONDS, on two
// threads that each poll their half of the sockets (epoll, non-blocking), so
// thousands of viewers fit beside the servers on a small machine.
//
// An update is one state the bridge published, known by its arrival at the
// bridge: a "state" event's received_unix_s, a "change" event's
// set.received_unix_s. The updates counted are those that arrived at the
// bridge within the window; the readers go on a moment longer so that the
// last of them can still come. Measured:
//   - delay p50/p99: from an update's arrival at the bridge to its event's
//     arrival at the viewer, over every viewer's updates;
//   - bytes per viewer per second: everything read in the window (answer
//     head, chunk framing, every event, pings);
//   - events received of sent: the updates viewers got of (updates sent x
//     viewers); sent is every distinct update any reader saw, the reference
//     reader (--sent, one more stream, e.g. the bridge's own) included;
//   - states skipped: changes whose base is not the received_unix_s of the
//     state the viewer held (it missed one and could not apply it; counted
//     once and then taken as held, as a page would after asking for a whole
//     state);
//   - per process group (--cpu NAME=PID,PID...): CPU time per update sent
//     and resident memory, summed over its processes; the last group,
//     "viewers", is this program itself.
// Prints one markdown table row (with --header, the header first):
//   | viewers | cars | p50 | p99 | bytes/viewer/s | received of sent |
//   | skipped | CPU per update per group ... | memory per group ... |
// Exit status 1 when no update was measured, 2 on bad use.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

double UnixNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// utime + stime of a process, in seconds (0 when it is gone).
double CpuSeconds(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
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

double ResidentMiB(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  }
  return 0;
}

struct Group {
  std::string name;
  std::vector<int> pids;
  double cpu_start = 0, cpu = 0, rss = 0;
  double Cpu() const {
    double sum = 0;
    for (int pid : pids) sum += CpuSeconds(pid);
    return sum;
  }
  double Rss() const {
    double sum = 0;
    for (int pid : pids) sum += ResidentMiB(pid);
    return sum;
  }
};

struct Endpoint {
  sockaddr_in address{};
  std::string host;  // as the Host header gives it
};

bool ParseEndpoint(const std::string& text, Endpoint* out) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  out->host = text;
  out->address.sin_family = AF_INET;
  out->address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(text.c_str() + colon + 1)));
  return inet_pton(AF_INET, text.substr(0, colon).c_str(), &out->address.sin_addr) == 1 &&
         out->address.sin_port != 0;
}

// The number after `key` in `text` (e.g. "\"base\":"), as text; empty when
// the key is not there.
std::string_view NumberAfter(std::string_view text, std::string_view key) {
  const std::size_t at = text.find(key);
  if (at == std::string_view::npos) return {};
  const std::size_t start = at + key.size();
  std::size_t end = start;
  while (end < text.size() && std::strchr("0123456789.eE+-", text[end]) != nullptr) ++end;
  return text.substr(start, end - start);
}

double ToDouble(std::string_view text) {
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

// What the main thread sets and the readers follow.
struct Clock {
  std::atomic<double> window_start{0}, window_end{0};  // 0: not yet
  std::atomic<bool> stop{false};
};

// One event stream: the answer's head, then the body (chunked or not),
// then events separated by a blank line.
struct Stream {
  int fd = -1;
  bool in_head = true, chunked = false, failed = false, ready = false;
  std::string raw;     // received, not yet taken apart into events
  std::string events;  // the body without chunk framing
  std::size_t chunk_left = 0;
  bool has_held = false;
  double held = 0;         // received_unix_s of the state held
  double last_update = 0;  // the newest update counted
  int cars = 0;            // in the first whole state seen
  // In the window:
  std::uint64_t bytes = 0, received = 0, skipped = 0;
};

struct Tally {
  std::vector<float> delays_ms;
  std::set<double> updates;  // every distinct update seen
  std::uint64_t bytes = 0, received = 0, skipped = 0;
  int ready = 0, failed = 0, cars = 0;
};

// Takes one complete event (without its blank line) seen at `now`.
void TakeEvent(Stream& s, std::string_view event, double now, const Clock& clock, Tally& tally,
               bool count) {
  std::string_view name, data;
  for (std::size_t at = 0; at < event.size();) {
    std::size_t end = event.find('\n', at);
    if (end == std::string_view::npos) end = event.size();
    const std::string_view line = event.substr(at, end - at);
    if (line.rfind("event: ", 0) == 0) name = line.substr(7);
    if (line.rfind("data: ", 0) == 0) data = line.substr(6);
    at = end + 1;
  }
  s.ready = true;
  const bool state = name == "state";
  if (!state && name != "change") return;
  const double received = ToDouble(NumberAfter(data, "\"received_unix_s\":"));
  if (received == 0) return;
  if (state) {
    if (s.cars == 0) {
      // A field only car objects have.
      for (std::size_t i = data.find("\"heading_rad\":"); i != std::string_view::npos;
           i = data.find("\"heading_rad\":", i + 1)) {
        ++s.cars;
      }
    }
  } else {
    const std::string_view base = NumberAfter(data, "\"base\":");
    const bool missed = s.has_held && (base.empty() || ToDouble(base) != s.held);
    const double start = clock.window_start.load(), end = clock.window_end.load();
    if (missed && start > 0 && received >= start && (end == 0 || received <= end)) ++s.skipped;
  }
  s.has_held = true;
  s.held = received;
  const double start = clock.window_start.load(), end = clock.window_end.load();
  if (start == 0 || received < start || (end > 0 && received > end)) return;
  if (received <= s.last_update) return;  // the same update again
  s.last_update = received;
  tally.updates.insert(received);
  if (!count) return;
  ++s.received;
  tally.delays_ms.push_back(static_cast<float>((now - received) * 1000.0));
}

// Takes what was read; false when the stream is refused or ended.
bool TakeBytes(Stream& s, const char* bytes, std::size_t n, double now, const Clock& clock,
               Tally& tally, bool count) {
  const double start = clock.window_start.load(), end = clock.window_end.load();
  if (start > 0 && now >= start && (end == 0 || now <= end)) s.bytes += n;
  std::string& raw = s.raw;
  raw.append(bytes, n);
  if (s.in_head) {
    const std::size_t head_end = raw.find("\r\n\r\n");
    if (head_end == std::string::npos) return raw.size() < 65536;
    if (raw.compare(0, 12, "HTTP/1.1 200") != 0) return false;  // refused
    std::string head = raw.substr(0, head_end);
    for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    s.chunked = head.find("\r\ntransfer-encoding: chunked") != std::string::npos;
    raw.erase(0, head_end + 4);
    s.in_head = false;
  }
  if (!s.chunked) {
    s.events.append(raw);
    raw.clear();
  } else {
    // Chunks: a hexadecimal size line, the data, a line end.
    std::size_t at = 0;
    for (;;) {
      if (s.chunk_left == 0) {
        const std::size_t line = raw.find("\r\n", at);
        if (line == std::string::npos) break;
        if (line == at) {  // the line end after a chunk's data
          at += 2;
          continue;
        }
        s.chunk_left = std::strtoul(raw.c_str() + at, nullptr, 16);
        at = line + 2;
        if (s.chunk_left == 0) return false;  // the last chunk
      }
      const std::size_t take = std::min(s.chunk_left, raw.size() - at);
      if (take == 0) break;
      s.events.append(raw, at, take);
      at += take;
      s.chunk_left -= take;
    }
    raw.erase(0, at);
  }
  std::size_t from = 0;
  const std::string_view all(s.events);
  for (std::size_t end_at; (end_at = all.find("\n\n", from)) != std::string_view::npos;) {
    TakeEvent(s, all.substr(from, end_at - from), now, clock, tally, count);
    from = end_at + 2;
  }
  s.events.erase(0, from);
  return true;
}

int Open(const Endpoint& endpoint) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (connect(fd, reinterpret_cast<const sockaddr*>(&endpoint.address), sizeof(endpoint.address)) !=
          0 &&
      errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads `count` streams (the i-th from endpoints[(first + i) % size]) until
// told to stop. With count_viewers false it only notes the updates (the
// reference reader).
void Readers(const std::vector<Endpoint>& endpoints, const std::string& path, int first, int count,
             const Clock& clock, Tally& tally, std::atomic<int>& ready, bool count_viewers) {
  const int poll = epoll_create1(EPOLL_CLOEXEC);
  std::vector<Stream> streams(static_cast<std::size_t>(count));
  std::vector<std::string> requests;
  for (const Endpoint& e : endpoints) {
    requests.push_back("GET " + path + " HTTP/1.1\r\nHost: " + e.host +
                       "\r\nAccept: text/event-stream\r\n\r\n");
  }
  std::vector<bool> sent(static_cast<std::size_t>(count), false);
  int opened = 0, connecting = 0, counted_ready = 0;
  std::vector<char> buffer(1 << 16);
  std::vector<epoll_event> got(256);
  const auto fail = [&](Stream& s) {
    if (s.fd >= 0) {
      epoll_ctl(poll, EPOLL_CTL_DEL, s.fd, nullptr);
      close(s.fd);
    }
    s.fd = -1;
    if (!s.failed && !s.ready) --connecting;
    s.failed = true;
  };
  while (!clock.stop.load()) {
    // A few newcomers at a time: a burst of thousands would overflow the
    // servers' listen queues.
    while (opened < count && connecting < 64) {
      const int i = opened++;
      const std::size_t e = static_cast<std::size_t>(first + i) % endpoints.size();
      Stream& s = streams[static_cast<std::size_t>(i)];
      s.fd = Open(endpoints[e]);
      ++connecting;
      if (s.fd < 0) {
        fail(s);
        continue;
      }
      epoll_event want{};
      want.events = EPOLLIN | EPOLLOUT;
      want.data.u32 = static_cast<std::uint32_t>(i);
      epoll_ctl(poll, EPOLL_CTL_ADD, s.fd, &want);
    }
    const int n = epoll_wait(poll, got.data(), static_cast<int>(got.size()), 20);
    for (int k = 0; k < n; ++k) {
      const std::size_t i = got[static_cast<std::size_t>(k)].data.u32;
      Stream& s = streams[i];
      if (s.fd < 0) continue;
      const std::uint32_t what = got[static_cast<std::size_t>(k)].events;
      if (!sent[i] && (what & EPOLLOUT) != 0) {
        // Connected (or failed: the send says which).
        const std::string& request =
            requests[(static_cast<std::size_t>(first) + i) % endpoints.size()];
        if (send(s.fd, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<long>(request.size())) {
          fail(s);
          continue;
        }
        sent[i] = true;
        epoll_event want{};
        want.events = EPOLLIN;
        want.data.u32 = static_cast<std::uint32_t>(i);
        epoll_ctl(poll, EPOLL_CTL_MOD, s.fd, &want);
      }
      if ((what & (EPOLLIN | EPOLLHUP | EPOLLERR)) == 0) continue;
      const long r = recv(s.fd, buffer.data(), buffer.size(), 0);
      if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
        fail(s);
        continue;
      }
      if (r < 0) continue;
      const double now = UnixNow();  // when these bytes came, not when the batch did
      const bool was_ready = s.ready;
      if (!TakeBytes(s, buffer.data(), static_cast<std::size_t>(r), now, clock, tally,
                     count_viewers)) {
        fail(s);
        continue;
      }
      if (!was_ready && s.ready) {
        --connecting;
        ++counted_ready;
        ready.fetch_add(1);
      }
    }
  }
  for (Stream& s : streams) {
    if (s.fd >= 0) close(s.fd);
    tally.bytes += s.bytes;
    tally.received += s.received;
    tally.skipped += s.skipped;
    tally.failed += s.failed ? 1 : 0;
    tally.cars = std::max(tally.cars, s.cars);
  }
  tally.ready = counted_ready;
  close(poll);
}

int Usage() {
  std::fprintf(
      stderr,
      "usage: pitwall_web_load --viewers N --seconds S --path PATH --at HOST:PORT[,HOST:PORT...]\n"
      "         [--sent HOST:PORT PATH] [--cpu NAME=PID[,PID...]]... [--header]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int viewers = 0;
  double seconds = 0;
  std::string path;
  std::vector<Endpoint> endpoints;
  std::vector<Endpoint> reference;
  std::string reference_path;
  std::vector<Group> groups;
  bool header = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool more = i + 1 < argc;
    if (arg == "--viewers" && more) {
      viewers = std::atoi(argv[++i]);
    } else if (arg == "--seconds" && more) {
      seconds = std::atof(argv[++i]);
    } else if (arg == "--path" && more) {
      path = argv[++i];
    } else if (arg == "--at" && more) {
      std::stringstream list(argv[++i]);
      for (std::string one; std::getline(list, one, ',');) {
        Endpoint e;
        if (!ParseEndpoint(one, &e)) return Usage();
        endpoints.push_back(e);
      }
    } else if (arg == "--sent" && i + 2 < argc) {
      Endpoint e;
      if (!ParseEndpoint(argv[++i], &e)) return Usage();
      reference.push_back(e);
      reference_path = argv[++i];
    } else if (arg == "--cpu" && more) {
      const std::string spec = argv[++i];
      const std::size_t eq = spec.find('=');
      if (eq == std::string::npos) return Usage();
      Group g;
      g.name = spec.substr(0, eq);
      std::stringstream list(spec.substr(eq + 1));
      for (std::string one; std::getline(list, one, ',');) {
        if (!one.empty()) g.pids.push_back(std::atoi(one.c_str()));
      }
      groups.push_back(g);
    } else if (arg == "--header") {
      header = true;
    } else {
      return Usage();
    }
  }
  if (viewers < 1 || seconds <= 0 || path.empty() || endpoints.empty()) return Usage();
  // The viewers' side shares the machine: what it takes is part of the picture.
  groups.push_back(Group{.name = "viewers", .pids = {static_cast<int>(getpid())}});

  if (header) {
    std::string line =
        "| viewers | cars | delay p50 (ms) | delay p99 (ms) | bytes per viewer per s |"
        " events received | states skipped |";
    std::string rule = "|---|---|---|---|---|---|---|";
    for (const Group& g : groups) {
      line += " CPU per update, " + g.name + " (ms) |";
      rule += "---|";
    }
    for (const Group& g : groups) {
      line += " memory, " + g.name + " (MiB) |";
      rule += "---|";
    }
    std::printf("%s\n%s\n", line.c_str(), rule.c_str());
  }

  Clock clock;
  std::atomic<int> ready{0}, reference_ready{0};
  const int threads = viewers >= 2 ? 2 : 1;
  std::vector<Tally> tallies(static_cast<std::size_t>(threads) + 1);
  std::vector<std::thread> running;
  int first = 0;
  for (int t = 0; t < threads; ++t) {
    const int count = viewers / threads + (t < viewers % threads ? 1 : 0);
    running.emplace_back(Readers, std::cref(endpoints), std::cref(path), first, count,
                         std::cref(clock), std::ref(tallies[static_cast<std::size_t>(t)]),
                         std::ref(ready), true);
    first += count;
  }
  if (!reference.empty()) {
    running.emplace_back(Readers, std::cref(reference), std::cref(reference_path), 0, 1,
                         std::cref(clock), std::ref(tallies.back()), std::ref(reference_ready),
                         false);
  }
  // Until every viewer is reading (or 60 s have gone), then a second more
  // for the newcomers' first bursts to pass.
  for (int i = 0; i < 600 && ready.load() < viewers; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  for (Group& g : groups) g.cpu_start = g.Cpu();
  const double start = UnixNow();
  clock.window_start = start;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double end = UnixNow();
  clock.window_end = end;
  for (Group& g : groups) {
    g.cpu = g.Cpu() - g.cpu_start;
    g.rss = g.Rss();
  }
  // The last updates of the window still on their way.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  clock.stop = true;
  for (std::thread& t : running) t.join();

  std::vector<float> all;
  std::set<double> updates;
  std::uint64_t bytes = 0, received = 0, skipped = 0;
  int failed = 0, cars = 0, up = 0;
  for (std::size_t t = 0; t < tallies.size(); ++t) {
    const Tally& tally = tallies[t];
    all.insert(all.end(), tally.delays_ms.begin(), tally.delays_ms.end());
    updates.insert(tally.updates.begin(), tally.updates.end());
    cars = std::max(cars, tally.cars);
    if (t < static_cast<std::size_t>(threads)) {  // not the reference reader
      bytes += tally.bytes;
      received += tally.received;
      skipped += tally.skipped;
      failed += tally.failed;
      up += tally.ready;
    }
  }
  std::sort(all.begin(), all.end());
  const auto at = [&](double q) {
    return all.empty()
               ? 0.0
               : static_cast<double>(
                     all[std::min(all.size() - 1, static_cast<std::size_t>(q * all.size()))]);
  };
  const std::size_t sent = updates.size();
  std::string row = "| " + std::to_string(viewers) + " | " + std::to_string(cars) + " | ";
  char cell[128];
  std::snprintf(cell, sizeof(cell), "%.1f | %.1f | %.0f | %llu of %llu | %llu |", at(0.5), at(0.99),
                static_cast<double>(bytes) / viewers / (end - start),
                static_cast<unsigned long long>(received),
                static_cast<unsigned long long>(sent * static_cast<std::size_t>(viewers)),
                static_cast<unsigned long long>(skipped));
  row += cell;
  for (const Group& g : groups) {
    std::snprintf(cell, sizeof(cell), " %.3f |", sent > 0 ? g.cpu * 1000.0 / sent : 0.0);
    row += cell;
  }
  for (const Group& g : groups) {
    std::snprintf(cell, sizeof(cell), " %.0f |", g.rss);
    row += cell;
  }
  std::printf("%s\n", row.c_str());
  if (up < viewers) {
    std::printf("(%d of %d viewers got going, %d streams failed or ended)\n", up, viewers, failed);
  }
  std::fflush(stdout);
  return all.empty() ? 1 : 0;
}
