// pitwall: a command-line client for the PitwallFeed server. See UsageText()
// for the commands. Exit status: 0 done, 1 failed (no server, time-out, bad
// answer, file not written), 2 bad use, 3 server full.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "answer_text.h"
#include "cli_options.h"
#include "history_views.h"
#include "live_feed.h"
#include "pitwall_client.h"
#include "platform/socket.h"
#include "platform/terminal.h"
#include "race_recorder.h"
#include "race_store.h"
#include "text_safety.h"
#include "timing_json.h"
#include "timing_state.h"
#include "tools/web/publisher.h"
#include "tools/web/web_bridge.h"
#include "tools/web/web_server.h"
#include "tower.h"
#include "track_svg.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitServerFull = 3;

constexpr std::uint32_t kHandshakeTimeoutMs = 3000;

void PrintError(const std::string& message) {
  std::fprintf(stderr, "pitwall: %s\n", message.c_str());
}

ClientError Open(PitwallClient* client, const CliOptions& options) {
  return ConnectToServer(client, options.host, options.port, options.port_given ? 1 : kPortsToTry,
                         kHandshakeTimeoutMs)
      .error;
}

int ExitFor(const ClientError& error) {
  return error.code == ClientErrorCode::kServerFull ? kExitServerFull : kExitFailed;
}

// The feed's defaults poll as the tower and the dump want: session and
// drivers every second, live data about five times a second.
LiveFeedOptions FeedOptions(const CliOptions& options, FeedFailure on_failure) {
  LiveFeedOptions feed;
  feed.host = options.host;
  feed.port = options.port;
  feed.ports = options.port_given ? 1 : kPortsToTry;
  feed.on_failure = on_failure;
  return feed;
}

// The league file of --league, read at start-up (null without one). False
// after saying why it cannot be taken: the command then exits with the
// usage code.
bool OpenLeague(const CliOptions& options, std::unique_ptr<LeagueWatch>* league) {
  if (options.league.empty()) return true;
  auto watch = std::make_unique<LeagueWatch>(options.league);
  std::string error;
  if (!watch->Load(&error)) {
    PrintError(error);
    return false;
  }
  if (!options.car_class.empty() && watch->current()->Class(options.car_class) == nullptr) {
    std::string classes;
    for (const LeagueClass& c : watch->current()->classes()) {
      classes += (classes.empty() ? "" : ", ") + c.name;
    }
    PrintError("watch: --class: " + options.league + " defines no class " + options.car_class +
               (classes.empty() ? " (it defines none)" : " (its classes: " + classes + ")"));
    return false;
  }
  *league = std::move(watch);
  return true;
}

void DrawTower(const TimingState& state, bool terminal, const CliOptions& cli) {
  TowerOptions options;
  options.ansi = terminal;
  options.follow = cli.follow;
  options.only_class = cli.car_class;
  options.split = cli.split;
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

// watch: the tower after each live answer until the time is up, through
// outages; only a host that does not resolve or a full server ends it early.
int RunWatch(const CliOptions& options, LeagueWatch* league) {
  // Colour and redraws only on a terminal that understands escapes.
  const bool terminal = EnableTerminalEscapes();
  LiveFeedOptions feed_options = FeedOptions(options, FeedFailure::kRetryUnlessHopeless);
  feed_options.league = league;
  if (options.seconds != 0) {
    feed_options.stop_at = std::chrono::steady_clock::now() + std::chrono::seconds(options.seconds);
  }
  LiveFeed feed(std::move(feed_options));
  int frames = 0;
  LiveFeedEvents events;
  events.on_connected = [](const std::string& peer) {
    std::fprintf(stderr, "pitwall: connected to %s\n", peer.c_str());
  };
  events.on_league = PrintError;
  events.on_status = [](const FeedStatus& status) {
    if (status.error.ok()) return;
    if (status.ends_run) {
      PrintError(status.message);
    } else if (status.connection_lost) {
      PrintError(status.message + "; reconnecting");
    } else {
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(status.retry_in);
      PrintError(status.message + "; retrying in " + std::to_string(seconds.count()) + " s");
    }
  };
  events.on_answer = [&](const Answer& answer, double) {
    if (!std::holds_alternative<LiveAnswer>(answer)) return;
    DrawTower(feed.state(), terminal, options);
    ++frames;
  };
  const ClientError error = feed.Run(events);
  if (!error.ok()) return ExitFor(error);
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
// --json the timing state after each live answer. The first failure ends it.
int RunDump(const CliOptions& options, LeagueWatch* league) {
  const bool timing = options.json && !options.raw;
  std::uint32_t printed = 0;
  LiveFeedOptions feed_options = FeedOptions(options, FeedFailure::kEndRun);
  feed_options.league = league;
  feed_options.should_stop = [&] { return options.count != 0 && printed >= options.count; };
  // The timing state needs only the session, the drivers and live data;
  // every answer's dump shows the outline and the handshake too.
  if (!timing) {
    feed_options.extra_polls = {{kTrackstrip, std::chrono::seconds(10), {}},
                                {kHandshakeInfo, std::chrono::seconds(5), std::chrono::seconds(5)}};
  }
  LiveFeed feed(std::move(feed_options));
  LiveFeedEvents events;
  events.on_league = PrintError;
  events.on_answer = [&](const Answer& answer, double received_unix_s) {
    std::string line;
    if (timing) {
      if (!std::holds_alternative<LiveAnswer>(answer)) return;
      line = TimingStateJson(feed.state(), received_unix_s);
    } else {
      line = options.json ? AnswerJson(answer) : AnswerLine(answer);
    }
    std::fputs(line.c_str(), stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
    ++printed;
  };
  const ClientError error = feed.Run(events);
  if (!error.ok()) {
    PrintError(error.message);
    return ExitFor(error);
  }
  return kExitOk;
}

int RunTrack(const CliOptions& options, const LeagueWatch* league) {
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
  if (league != nullptr) state.SetLeague(league->current());
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

void PrintLine(const std::string& line) {
  std::printf("pitwall: %s\n", line.c_str());
  std::fflush(stdout);
}

// record: the race story of every session the server goes through, kept in
// the history, each event printed as it happens. Runs through outages until
// Ctrl-C; ends when the history cannot be written.
int RunRecord(const CliOptions& options, LeagueWatch* league) {
  RaceStore store;
  std::string error;
  if (!store.OpenForRecording(options.db, &error)) {
    PrintError(error);
    return kExitFailed;
  }
  RaceRecorder recorder(&store);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  LiveFeedOptions feed_options = FeedOptions(options, FeedFailure::kRetryUnlessHopeless);
  feed_options.should_stop = [&] { return g_interrupted != 0 || !recorder.recording(); };
  feed_options.league = league;
  LiveFeed feed(std::move(feed_options));
  LiveFeedEvents events;
  events.on_league = PrintLine;
  events.on_connected = [](const std::string& peer) { PrintLine("connected to " + peer); };
  events.on_status = [](const FeedStatus& status) {
    if (!status.error.ok()) PrintError(status.message + (status.ends_run ? "" : "; trying again"));
  };
  events.on_answer = [&](const Answer& answer, double received_unix_s) {
    if (!std::holds_alternative<LiveAnswer>(answer)) return;
    const std::vector<StoredEvent> stored = recorder.Update(feed.state(), received_unix_s);
    for (const StoredEvent& e : stored) {
      std::printf("L%-3d %s\n", e.event.lap, DisplayText(e.event.text).c_str());
    }
    for (const std::string& notice : recorder.TakeNotices()) {
      PrintLine(notice + " in " + options.db);
    }
    std::fflush(stdout);
  };
  const ClientError ended = feed.Run(events);
  if (!recorder.recording()) {
    PrintError(recorder.error());
    return kExitFailed;
  }
  if (!ended.ok()) return ExitFor(ended);
  PrintLine("stopped; the race history is in " + options.db);
  return kExitOk;
}

// sessions, results, laps and events: read the history and print it; with
// a league, the session's cars as that file names them.
int RunHistory(const CliOptions& options, const LeagueWatch* league) {
  RaceStore store;
  std::string error;
  if (!store.OpenForReading(options.db, &error)) {
    PrintError(error);
    return kExitFailed;
  }
  std::string out;
  if (options.command == CliCommand::kSessions) {
    const std::vector<SessionSummary> sessions = store.Sessions(&error);
    out = SessionsText(sessions);
  } else {
    std::optional<SessionRecord> record = store.Session(options.session, &error);
    if (!record) {
      PrintError(!error.empty() ? error
                 : options.session == 0
                     ? options.db + " holds no session yet"
                     : options.db + " holds no session " + std::to_string(options.session) +
                           " (see pitwall sessions)");
      return kExitFailed;
    }
    if (league != nullptr) ApplyLeague(*league->current(), &*record);
    const std::string& f = options.format;
    switch (options.command) {
      case CliCommand::kResults:
        out = f == "json"   ? ResultsJson(*record) + "\n"
              : f == "csv"  ? ResultsCsv(*record)
              : f == "html" ? ResultsHtml(*record)
                            : ResultsText(*record);
        break;
      case CliCommand::kLaps:
        out = f == "json" ? LapsJson(*record, options.car) + "\n" : LapsCsv(*record, options.car);
        break;
      default:
        out = f == "json" ? EventsJson(*record) + "\n" : EventsText(*record);
        break;
    }
  }
  if (!error.empty()) {
    PrintError(error);
    return kExitFailed;
  }
  std::fputs(out.c_str(), stdout);
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
}

int RunWeb(const CliOptions& options, const char* argv0, LeagueWatch* league) {
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
  const int ports = options.port_given ? 1 : kPortsToTry;
  // The history: a file that cannot be recorded into leaves the live view
  // as it is, without recording.
  RaceStore store;
  std::unique_ptr<RaceRecorder> recorder;
  if (!options.no_record) {
    if (store.OpenForRecording(options.db, &error)) {
      recorder = std::make_unique<RaceRecorder>(&store);
    } else {
      PrintError(error + "; the web view goes on without recording");
    }
  }
  WebBridge bridge(options.host, options.port, ports, recorder.get(), league, PrintLine);
  WebServer server(&bridge, WebServerOptions{
                                .www_dir = www,
                                .max_viewers = static_cast<int>(options.max_viewers),
                                .max_per_address = static_cast<int>(options.max_per_address),
                                .allow_origin = options.allow_origin,
                                .allow_hosts = options.allow_hosts,
                                .db_path = options.no_record ? std::string() : options.db,
                            });
  if (!server.Listen(address, port, &error)) {
    PrintError(error);
    return kExitFailed;
  }
  std::unique_ptr<Publisher> publisher;
  if (!options.publish_url.empty()) {
    PublishTarget target;
    if (!ParsePublishUrl(options.publish_url, &target, &error)) {
      PrintError(error);
      return kExitFailed;
    }
    publisher = std::make_unique<Publisher>(&bridge, PublisherOptions{
                                                         .url = options.publish_url,
                                                         .token = options.publish_token,
                                                         .say = PrintLine,
                                                     });
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
  if (publisher) {
    std::printf("pitwall: publishing every update to %s\n", options.publish_url.c_str());
    publisher->Start();
  }
  std::fflush(stdout);
  // Signals only set a flag; this thread turns it into a stop, and says
  // when the bridge's connection to the plug-in changes (which port it
  // found, that it went away, why it cannot connect).
  std::thread watcher([&] {
    std::string said, history;
    std::uint64_t seen = 0;
    while (!g_interrupted) {
      const auto latest = bridge.WaitNewer(seen, 100);
      seen = latest->id;
      if (latest->history_message != history) {
        history = latest->history_message;
        std::printf("pitwall: %s\n", history.c_str());
        std::fflush(stdout);
      }
      const std::string now =
          latest->status == kStatusLive ? latest->message : latest->status + ": " + latest->message;
      if (latest->id == 0 || now == said) continue;
      said = now;
      std::printf("pitwall: %s\n", now.c_str());
      std::fflush(stdout);
    }
    if (publisher) publisher->Stop();
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
  std::unique_ptr<LeagueWatch> league;
  if (!OpenLeague(options, &league)) {
    StopSocketLayer();
    return kExitUsage;
  }
  int status = kExitFailed;
  switch (options.command) {
    case CliCommand::kWatch:
      status = RunWatch(options, league.get());
      break;
    case CliCommand::kDump:
      status = RunDump(options, league.get());
      break;
    case CliCommand::kTrack:
      status = RunTrack(options, league.get());
      break;
    case CliCommand::kWeb:
      status = RunWeb(options, argv[0], league.get());
      break;
    case CliCommand::kRecord:
      status = RunRecord(options, league.get());
      break;
    case CliCommand::kSessions:
    case CliCommand::kResults:
    case CliCommand::kLaps:
    case CliCommand::kEvents:
      status = RunHistory(options, league.get());
      break;
    case CliCommand::kHelp:
    case CliCommand::kVersion:
      break;
  }
  StopSocketLayer();
  return status;
}
