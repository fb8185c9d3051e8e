// pitwall: a command-line client for the PitwallFeed server. See UsageText()
// for the commands. Exit status: 0 done, 1 failed (no server, time-out, bad
// answer, file not written), 2 bad use, 3 server full.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "answer_text.h"
#include "cli_options.h"
#include "pitwall_client.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/terminal.h"
#include "timing_json.h"
#include "timing_state.h"
#include "tools/web/web_bridge.h"
#include "tools/web/web_server.h"
#include "tower.h"
#include "track_svg.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitServerFull = 3;

constexpr std::uint32_t kHandshakeTimeoutMs = 3000;
constexpr Millis kTowerLiveEvery{200};  // about five frames a second
constexpr Millis kTowerSessionEvery{1000};
constexpr Millis kTowerDriversEvery{1000};
constexpr Millis kSilenceLimit{3000};  // no answer for this long: the server is gone
constexpr std::uint32_t kFirstBackoffMs = 1000;
constexpr std::uint32_t kMaxBackoffMs = 8000;
constexpr std::uint32_t kForeverMs = 24u * 3600u * 1000u;

void PrintError(const std::string& message) {
  std::fprintf(stderr, "pitwall: %s\n", message.c_str());
}

std::uint32_t MillisUntil(SteadyClock::time_point when) {
  if (when == SteadyClock::time_point::max()) return kForeverMs;
  const auto left = std::chrono::duration_cast<Millis>(when - SteadyClock::now()).count();
  return static_cast<std::uint32_t>(std::clamp<long long>(left, 0, kForeverMs));
}

ClientResult<HandshakeAnswer> OpenServer(PitwallClient* client, const CliOptions& options) {
  return ConnectToServer(client, options.host, options.port,
                         options.port_given ? 1 : kServerPortsToTry, kHandshakeTimeoutMs);
}

ClientError Open(PitwallClient* client, const CliOptions& options) {
  return OpenServer(client, options).error;
}

int ExitFor(const ClientError& error) {
  return error.code == ClientErrorCode::kServerFull ? kExitServerFull : kExitFailed;
}

// One request type polled at its own period.
struct Poll {
  RequestType type;
  Millis every;
  SteadyClock::time_point next;
};

// Sends every poll that is due; returns the time the next one falls due.
ClientError SendDue(PitwallClient* client, std::vector<Poll>* polls,
                    SteadyClock::time_point* next_due) {
  const auto now = SteadyClock::now();
  *next_due = SteadyClock::time_point::max();
  for (Poll& poll : *polls) {
    if (poll.next <= now) {
      const ClientError sent = client->Send(poll.type);
      if (!sent.ok()) return sent;
      poll.next = now + poll.every;
    }
    *next_due = std::min(*next_due, poll.next);
  }
  return ClientError{};
}

void PollSoon(std::vector<Poll>* polls, RequestType type) {
  for (Poll& poll : *polls) {
    if (poll.type == type) poll.next = SteadyClock::now();
  }
}

void DrawTower(const TimingState& state, bool terminal, const std::string& follow) {
  TowerOptions options;
  options.ansi = terminal;
  options.follow = follow;
  int rows = 0, columns = 0;
  // One row fewer than the terminal has: a newline on the last row would
  // scroll the title away.
  if (terminal && TerminalSize(&rows, &columns)) options.rows = static_cast<std::size_t>(rows - 1);
  const std::string tower = FormatTower(state, options);
  if (terminal) {
    // Over the last frame without clearing it first, so nothing flickers:
    // home, each line cleared to its end, then everything below cleared.
    std::string frame = "\x1b[H";
    for (std::size_t begin = 0; begin < tower.size();) {
      const std::size_t end = tower.find('\n', begin);
      frame += tower.substr(begin, end - begin) + "\x1b[K\n";
      begin = end == std::string::npos ? tower.size() : end + 1;
    }
    frame += "\x1b[J";
    std::fputs(frame.c_str(), stdout);
  } else {
    std::fputs(tower.c_str(), stdout);
    std::fputs("\n", stdout);
  }
  std::fflush(stdout);
}

// Runs one connection until `stop_at`; returns why it ended (ok: time up).
ClientError WatchConnection(PitwallClient* client, SteadyClock::time_point stop_at, bool terminal,
                            const std::string& follow, int* frames) {
  const auto now = SteadyClock::now();
  std::vector<Poll> polls = {{kSessionInfo, kTowerSessionEvery, now},
                             {kVehicleInfo, kTowerDriversEvery, now},
                             {kUpdateData, kTowerLiveEvery, now}};
  TimingState state;
  auto last_answer = now;
  for (;;) {
    if (SteadyClock::now() >= stop_at) return ClientError{};
    SteadyClock::time_point next_due;
    const ClientError sent = SendDue(client, &polls, &next_due);
    if (!sent.ok()) return sent;
    ClientResult<Answer> answer =
        client->ReadAnswer(std::max<std::uint32_t>(1, MillisUntil(std::min(next_due, stop_at))));
    if (answer.error.code == ClientErrorCode::kTimeout) {
      if (SteadyClock::now() - last_answer >= kSilenceLimit) {
        return ClientError{ClientErrorCode::kTimeout,
                           "no answer from " + client->peer() + " for 3 s"};
      }
      continue;
    }
    if (!answer.ok()) return answer.error;
    last_answer = SteadyClock::now();
    state.Apply(answer.value,
                std::chrono::duration<double>(last_answer.time_since_epoch()).count());
    if (auto* live = std::get_if<LiveAnswer>(&answer.value)) {
      if (live->change_mask & kChangeSession) PollSoon(&polls, kSessionInfo);
      if (live->change_mask & kChangeVehicles) PollSoon(&polls, kVehicleInfo);
      DrawTower(state, terminal, follow);
      ++*frames;
    }
  }
}

int RunWatch(const CliOptions& options) {
  // Colour and redraws only on a terminal that understands escapes.
  const bool terminal = EnableTerminalEscapes();
  const auto stop_at = options.seconds == 0
                           ? SteadyClock::time_point::max()
                           : SteadyClock::now() + std::chrono::seconds(options.seconds);
  std::uint32_t backoff_ms = kFirstBackoffMs;
  int frames = 0;
  PitwallClient client;
  while (SteadyClock::now() < stop_at) {
    ClientError error = Open(&client, options);
    if (error.ok()) {
      std::fprintf(stderr, "pitwall: connected to %s\n", client.peer().c_str());
      backoff_ms = kFirstBackoffMs;
      error = WatchConnection(&client, stop_at, terminal, options.follow, &frames);
      client.Close();
      if (error.ok()) break;
      PrintError(error.message + "; reconnecting");
      SleepMillis(std::min<std::uint32_t>(500, MillisUntil(stop_at)));
      continue;
    }
    // Retrying cannot mend a name that does not resolve or a full server.
    if (error.code == ClientErrorCode::kBadAddress || error.code == ClientErrorCode::kServerFull) {
      PrintError(error.message);
      return ExitFor(error);
    }
    PrintError(error.message + "; retrying in " + std::to_string(backoff_ms / 1000) + " s");
    SleepMillis(std::min(backoff_ms, MillisUntil(stop_at)));
    backoff_ms = std::min(backoff_ms * 2, kMaxBackoffMs);
  }
  if (frames == 0) {
    PrintError("no live timing received from " + options.host + ":" + std::to_string(options.port));
    return kExitFailed;
  }
  return kExitOk;
}

double UnixSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// dump: every answer on a line of its own (plain, or --json --raw), or with
// --json the timing state after each live answer.
int RunDump(const CliOptions& options) {
  PitwallClient client;
  ClientError error;
  const bool timing = options.json && !options.raw;
  TimingState state;
  std::uint32_t printed = 0;
  const auto print = [&](const Answer& answer) {
    std::string line;
    if (timing) {
      const double now = UnixSeconds();
      state.Apply(answer, now);
      if (!std::holds_alternative<LiveAnswer>(answer)) return;
      line = TimingStateJson(state, now);
    } else {
      line = options.json ? AnswerJson(answer) : AnswerLine(answer);
    }
    std::fputs(line.c_str(), stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
    ++printed;
  };
  const ClientResult<HandshakeAnswer> handshake = OpenServer(&client, options);
  if (handshake.ok() || handshake.error.code == ClientErrorCode::kServerFull) {
    print(handshake.value);
  }
  if (!handshake.ok()) {
    PrintError(handshake.error.message);
    return ExitFor(handshake.error);
  }
  const auto now = SteadyClock::now();
  // The timing state needs the session and the drivers before the first
  // live answer, so that every line carries names.
  std::vector<Poll> polls = {{kSessionInfo, Millis(1000), now},
                             {kVehicleInfo, Millis(1000), now},
                             {kUpdateData, Millis(200), now}};
  if (!timing) {
    polls.push_back({kTrackstrip, Millis(10000), now});
    polls.push_back({kHandshakeInfo, Millis(5000), now + Millis(5000)});
  }
  auto last_answer = now;
  while (options.count == 0 || printed < options.count) {
    SteadyClock::time_point next_due;
    error = SendDue(&client, &polls, &next_due);
    if (!error.ok()) break;
    ClientResult<Answer> answer =
        client.ReadAnswer(std::max<std::uint32_t>(1, MillisUntil(next_due)));
    if (answer.error.code == ClientErrorCode::kTimeout) {
      if (SteadyClock::now() - last_answer < kSilenceLimit) continue;
      answer.error.message = "no answer from " + client.peer() + " for 3 s";
    }
    if (!answer.ok()) {
      error = answer.error;
      break;
    }
    last_answer = SteadyClock::now();
    if (auto* live = std::get_if<LiveAnswer>(&answer.value)) {
      if (live->change_mask & kChangeSession) PollSoon(&polls, kSessionInfo);
      if (live->change_mask & kChangeVehicles) PollSoon(&polls, kVehicleInfo);
    }
    print(answer.value);
  }
  if (!error.ok()) {
    PrintError(error.message);
    return kExitFailed;
  }
  return kExitOk;
}

int RunTrack(const CliOptions& options) {
  PitwallClient client;
  const ClientError opened = Open(&client, options);
  if (!opened.ok()) {
    PrintError(opened.message);
    return ExitFor(opened);
  }
  const ClientResult<TrackOutline> outline = client.FetchTrackOutline(options.timeout_s * 1000);
  if (!outline.ok()) {
    PrintError(outline.error.message);
    return kExitFailed;
  }
  TimingState state;
  const ClientResult<SessionAnswer> session = client.FetchSession(2000);
  if (session.ok()) state.ApplySession(session.value);
  const ClientResult<DriversAnswer> drivers = client.FetchDrivers(2000);
  if (drivers.ok()) state.ApplyDrivers(drivers.value);
  const ClientResult<LiveAnswer> live = client.FetchLive(2000);
  if (live.ok()) {
    state.ApplyLive(live.value, UnixSeconds());
  } else {
    PrintError("drawing the track without cars: " + live.error.message);
  }
  const std::string svg = TrackSvg(outline.value, state);
  std::ofstream file(options.svg_file, std::ios::binary | std::ios::trunc);
  file.write(svg.data(), static_cast<std::streamsize>(svg.size()));
  file.close();
  if (!file) {
    PrintError("cannot write " + options.svg_file);
    return kExitFailed;
  }
  std::size_t points = 0;
  for (const OutlineStrip& strip : outline.value.strips) points += strip.points.size();
  std::printf("wrote %s: %zu strip(s), %zu point(s), %zu car(s)\n", options.svg_file.c_str(),
              outline.value.strips.size(), points, state.cars().size());
  return kExitOk;
}

volatile std::sig_atomic_t g_interrupted = 0;
void OnSignal(int) { g_interrupted = 1; }

int RunWeb(const CliOptions& options, const char* argv0) {
  std::string address;
  std::uint16_t port = 0;
  std::string error;
  ParseListenAddress(options.listen, &address, &port, &error);
  std::string www = options.www_dir;
  if (www.empty()) {
    // Installed beside the program, else the source tree's.
    std::error_code ec;
    const auto beside = std::filesystem::absolute(argv0, ec).parent_path() / "www";
    www = std::filesystem::is_directory(beside, ec) ? beside.string() : PITWALL_WWW_DIR;
  }
  if (!std::filesystem::is_regular_file(std::filesystem::path(www) / "index.html")) {
    PrintError("no web page files in " + www + " (give --www DIR)");
    return kExitFailed;
  }
  const int ports = options.port_given ? 1 : kServerPortsToTry;
  WebBridge bridge(options.host, options.port, ports);
  WebServer server(&bridge, WebServerOptions{
                                .www_dir = www,
                                .max_viewers = static_cast<int>(options.max_viewers),
                                .max_per_address = static_cast<int>(options.max_per_address),
                                .allow_origin = options.allow_origin,
                                .allow_hosts = options.allow_hosts,
                            });
  if (!server.Listen(address, port, &error)) {
    PrintError(error);
    return kExitFailed;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  bridge.Start();
  const std::string plugin = ports == 1
                                 ? options.host + ":" + std::to_string(options.port)
                                 : options.host + " (ports " + std::to_string(options.port) +
                                       " to " + std::to_string(options.port + ports - 1) + ")";
  std::printf("pitwall: web view of %s on http://%s:%u/ (overlays: /overlay?view=tower|map|both)\n",
              plugin.c_str(), address.c_str(), server.port());
  std::fflush(stdout);
  // Signals only set a flag; this thread turns it into a stop, and says
  // when the bridge's connection to the plug-in changes (which port it
  // found, that it went away, why it cannot connect).
  std::thread watcher([&] {
    std::string said;
    std::uint64_t seen = 0;
    while (!g_interrupted) {
      const auto latest = bridge.WaitNewer(seen, 100);
      seen = latest->id;
      const std::string now =
          latest->status == "live" ? latest->message : latest->status + ": " + latest->message;
      if (latest->id == 0 || now == said) continue;
      said = now;
      std::printf("pitwall: %s\n", now.c_str());
      std::fflush(stdout);
    }
    bridge.Stop();
    server.Stop();
  });
  server.Serve();
  g_interrupted = 1;
  watcher.join();
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  CliOptions options;
  std::string error;
  if (!ParseCommandLine(args, &options, &error)) {
    PrintError(error);
    std::fputs("run 'pitwall --help' (or 'pitwall COMMAND --help') for the usage\n", stderr);
    return kExitUsage;
  }
  if (options.command == CliCommand::kHelp || options.command == CliCommand::kVersion) {
    std::fputs(options.output.c_str(), stdout);
    return kExitOk;
  }
  int socket_error = 0;
  if (!StartSocketLayer(&socket_error)) {
    PrintError("cannot start the socket layer (error " + std::to_string(socket_error) + ")");
    return kExitFailed;
  }
  int status = kExitFailed;
  switch (options.command) {
    case CliCommand::kWatch:
      status = RunWatch(options);
      break;
    case CliCommand::kDump:
      status = RunDump(options);
      break;
    case CliCommand::kTrack:
      status = RunTrack(options);
      break;
    case CliCommand::kWeb:
      status = RunWeb(options, argv[0]);
      break;
    case CliCommand::kHelp:
    case CliCommand::kVersion:
      break;
  }
  StopSocketLayer();
  return status;
}
