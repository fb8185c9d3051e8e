// pitwall-host: a test host. It loads the plug-in the way a simulator does,
// in a game folder, and feeds it a simulated race weekend (or a recorded
// session) at a set rate.
#include <CLI/CLI.hpp>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "pitwall/protocol.h"
#include "platform/library.h"
#include "tools/common/cli_checks.h"
#include "tools/test_host/plugin_host.h"
#include "tools/test_host/race_sim.h"
#include "tools/test_host/recording.h"
#include "tools/test_host/track_path.h"

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
void OnSignal(int) { g_interrupted = 1; }

struct Options {
  std::string plugin;
  std::string game_dir;
  std::string track = "Pitwall Ring";
  double rate = 5;
  double speed = 1;
  double duration = -1;
  std::string record, replay;
  SimOptions sim;
  // The scenario options as given, checked against the field and the race
  // distance once both are known.
  std::vector<std::string> retire, disqualify, stop_on_track, pit, pit_exit_at_line, slow;
};

// `text` whole as a number of type T.
template <typename T>
bool ParseNumber(const std::string& text, T* value) {
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, *value);
  return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

// The forms of a scenario item.
enum class ItemForm { kCar, kCarAtLap, kCarAtLapSeconds, kCarFactor };

// Reads one scenario item of `form` ("CAR", "CAR@LAP", "CAR@LAP[:SECONDS]",
// "CAR:FACTOR") into *car, *lap and *number (the ones the form has): the car
// in the field, the lap a race lap, seconds up to 3600, a factor from 0.5 to
// 10. Returns the mistake as a message naming `option`, or empty.
std::string ReadCarItem(const char* option, const std::string& item, ItemForm form,
                        const SimOptions& sim, int* car, int* lap, double* number) {
  const std::string prefix = std::string(option) + ": '" + item + "': ";
  std::string car_text = item, lap_text, number_text;
  const std::size_t colon = car_text.find(':');
  const bool has_number = colon != std::string::npos;
  if (has_number) {
    number_text = car_text.substr(colon + 1);
    car_text.resize(colon);
  }
  const std::size_t at = car_text.find('@');
  const bool has_lap = at != std::string::npos;
  if (has_lap) {
    lap_text = car_text.substr(at + 1);
    car_text.resize(at);
  }
  const bool wants_lap = form == ItemForm::kCarAtLap || form == ItemForm::kCarAtLapSeconds;
  if (has_lap != wants_lap) return prefix + (wants_lap ? "no @LAP" : "a lap does not belong here");
  if (form == ItemForm::kCarFactor && !has_number) return prefix + "no :FACTOR";
  if (has_number && form != ItemForm::kCarFactor && form != ItemForm::kCarAtLapSeconds) {
    return prefix + "a ':' part does not belong here";
  }
  if (!ParseNumber(car_text, car) || *car < 0 || *car >= sim.cars) {
    return prefix + "'" + car_text + "' is not a car of the field (" +
           (sim.cars == 0 ? std::string("there are no cars")
                          : "0 to " + std::to_string(sim.cars - 1)) +
           ")";
  }
  if (has_lap && (!ParseNumber(lap_text, lap) || *lap < 1 || *lap > sim.race_laps)) {
    return prefix + "'" + lap_text + "' is not a race lap (1 to " + std::to_string(sim.race_laps) +
           ")";
  }
  if (has_number) {
    const bool factor = form == ItemForm::kCarFactor;
    const double lo = factor ? 0.5 : 0, hi = factor ? 10 : 3600;
    if (!ParseNumber(number_text, number) || !(*number >= lo && *number <= hi)) {
      return prefix + "'" + number_text + "' is not " + (factor ? "a factor" : "a stop") +
             " from " + cli_checks::Text(lo) + " to " + cli_checks::Text(hi);
    }
  }
  return std::string();
}

// Turns the scenario options into the simulation's; the first mistake as a
// message, or empty.
std::string ScenarioOptions(Options* o) {
  SimOptions& sim = o->sim;
  std::string error;
  const auto car_laps = [&](const char* option, const std::vector<std::string>& items,
                            std::vector<CarLap>* out) {
    for (const std::string& item : items) {
      CarLap at;
      error = ReadCarItem(option, item, ItemForm::kCarAtLap, sim, &at.car, &at.lap, nullptr);
      if (!error.empty()) return false;
      out->push_back(at);
    }
    return true;
  };
  if (!car_laps("--retire", o->retire, &sim.retire) ||
      !car_laps("--disqualify", o->disqualify, &sim.disqualify) ||
      !car_laps("--stop-on-track", o->stop_on_track, &sim.stop_on_track)) {
    return error;
  }
  for (const std::string& item : o->pit) {
    ForcedStop stop;
    error = ReadCarItem("--pit", item, ItemForm::kCarAtLapSeconds, sim, &stop.car, &stop.lap,
                        &stop.seconds);
    if (!error.empty()) return error;
    sim.pit_stops.push_back(stop);
  }
  for (const std::string& item : o->pit_exit_at_line) {
    int car = 0;
    error = ReadCarItem("--pit-exit-at-line", item, ItemForm::kCar, sim, &car, nullptr, nullptr);
    if (!error.empty()) return error;
    sim.pit_exit_at_line.push_back(car);
  }
  for (const std::string& item : o->slow) {
    SlowCar slow;
    error =
        ReadCarItem("--slow", item, ItemForm::kCarFactor, sim, &slow.car, nullptr, &slow.factor);
    if (!error.empty()) return error;
    sim.slow.push_back(slow);
  }
  return std::string();
}

// "practice,qualifying,race" (or p,q,r) to the sessions it names.
std::string ParseSessions(const std::string& list, std::vector<SessionKind>* sessions) {
  sessions->clear();
  std::size_t begin = 0;
  while (begin <= list.size()) {
    const std::size_t comma = std::min(list.find(',', begin), list.size());
    const std::string name = list.substr(begin, comma - begin);
    if (name == "practice" || name == "p") {
      sessions->push_back(SessionKind::kPractice);
    } else if (name == "qualifying" || name == "q") {
      sessions->push_back(SessionKind::kQualifying);
    } else if (name == "race" || name == "r") {
      sessions->push_back(SessionKind::kRace);
    } else {
      return "'" + name + "' is not practice, qualifying or race";
    }
    begin = comma + 1;
  }
  return std::string();
}

// Parses the command line. Returns -1 to go on, or the exit status (0 after
// --help or --version, 2 after a mistake, which it has printed).
int ParseArgs(int argc, char** argv, Options* o) {
  CLI::App app(
      "A test host: loads the PitwallFeed plug-in as a simulator does and feeds it a "
      "simulated race weekend or a recorded session.",
      "pitwall-host");
  app.set_version_flag("--version", "pitwall-host " PITWALL_VERSION);
  app.add_option("--plugin", o->plugin, "the plug-in to load (default: the one beside this host)")
      ->type_name("PATH");
  app.add_option("--game-dir", o->game_dir,
                 "the simulator's working directory with Config.ini and tracks "
                 "(default: a fresh temporary copy of the sample game folder)")
      ->type_name("DIR");
  app.add_option("--track", o->track, "the track to race on (default: Pitwall Ring)")
      ->type_name("NAME");
  CLI::Option* cars =
      app.add_option("--cars", o->sim.cars, "cars in the race, 0 to 255 (default 20)")
          ->check(cli_checks::WholeNumber(0, 255))
          ->type_name("N");
  std::string classes;
  const std::string slower = std::to_string(std::lround((kSlowerClassPace - 1) * 100));
  CLI::Option* classes_option =
      app.add_option("--classes", classes,
                     "a two-class field of A+B cars: the first A (from car 0) the faster class, "
                     "the next B a class " +
                         slower + " % slower a lap (default: one class)")
          ->type_name("A:B");
  app.add_option("--rate", o->rate, "scoring updates a second, 0.001 to 1000 (default 5)")
      ->check(cli_checks::Number(0.001, 1000))
      ->type_name("HZ");
  app.add_option("--speed", o->speed,
                 "simulated seconds per real second, 0 to 1000 (default 1; at 0 a replay runs as "
                 "fast as it can, and a simulation runs one weekend as fast as it can, its "
                 "recording stamped with the simulated times)")
      ->check(cli_checks::Number(0, 1000))
      ->type_name("X");
  app.add_option("--duration", o->duration, "stop after this many seconds (default: until Ctrl-C)")
      ->check(cli_checks::Number(0, 1000000))
      ->type_name("SECONDS");
  app.add_option("--seed", o->sim.seed, "the weekend's random seed (default 1)")
      ->check(cli_checks::WholeNumber(0, 4294967295))
      ->type_name("N");
  std::string sessions;
  app.add_option("--sessions", sessions,
                 "comma-separated practice,qualifying,race or p,q,r (default: all three)")
      ->type_name("LIST")
      ->check([](const std::string& list) {
        std::vector<SessionKind> kinds;
        return ParseSessions(list, &kinds);
      });
  app.add_option("--race-laps", o->sim.race_laps, "race distance in laps, 1 to 1000 (default 5)")
      ->check(cli_checks::WholeNumber(1, 1000))
      ->type_name("N");
  app.add_option("--session-seconds", o->sim.practice_seconds,
                 "length of practice and qualifying, 1 to 86400 (default 180)")
      ->check(cli_checks::Number(1, 86400))
      ->type_name("S");
  app.add_option("--grid", o->sim.grid_seconds,
                 "seconds the race's grid stands before the start, 0 to 3600 (default 0)")
      ->check(cli_checks::Number(0, 3600))
      ->type_name("SECONDS");
  app.add_option("--overrun", o->sim.race_overrun_seconds,
                 "seconds the race waits after the leader's flag for the rest, 0 to 86400 "
                 "(default 240)")
      ->check(cli_checks::Number(0, 86400))
      ->type_name("SECONDS");
  app.add_option("--hold", o->sim.classification_hold_seconds,
                 "seconds the final classification stands before the race ends, 0 to 86400 "
                 "(default 90)")
      ->check(cli_checks::Number(0, 86400))
      ->type_name("SECONDS");
  const auto scenario = [&](const char* name, std::vector<std::string>* items, const char* help,
                            const char* type) {
    app.add_option(name, *items, help)->delimiter(',')->type_name(type);
  };
  scenario("--retire", &o->retire,
           "car CAR (from 0) stops on track during race lap LAP (from 1) and is retired "
           "(finish status 2) some seconds later",
           "CAR@LAP[,...]");
  scenario("--disqualify", &o->disqualify,
           "car CAR is disqualified (finish status 3) as it completes lap LAP and parks in its "
           "pit box",
           "CAR@LAP[,...]");
  scenario("--stop-on-track", &o->stop_on_track,
           "car CAR stops on track during lap LAP and stays there, never retired", "CAR@LAP[,...]");
  scenario("--pit", &o->pit,
           "car CAR makes its pit stop on lap LAP, standing SECONDS in its box (default: its "
           "usual stop)",
           "CAR@LAP[:SECONDS][,...]");
  scenario("--pit-exit-at-line", &o->pit_exit_at_line,
           "car CAR's box is just before the line: it leaves the pit lane as it crosses the line",
           "CAR[,...]");
  scenario("--slow", &o->slow, "car CAR laps FACTOR (0.5 to 10) times its usual time",
           "CAR:FACTOR[,...]");
  app.add_option("--record", o->record, "write every update sent to FILE")->type_name("FILE");
  app.add_option("--replay", o->replay, "send a recorded session instead of simulating")
      ->type_name("FILE");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {
      std::fputs(
          dynamic_cast<const CLI::CallForVersion*>(&e) != nullptr ? e.what() : app.help().c_str(),
          stdout);
      if (dynamic_cast<const CLI::CallForVersion*>(&e) != nullptr) std::fputs("\n", stdout);
      return 0;
    }
    std::fprintf(stderr, "pitwall-host: %s\nrun 'pitwall-host --help' for the usage\n", e.what());
    return 2;
  }
  if (!sessions.empty()) ParseSessions(sessions, &o->sim.sessions);
  o->sim.qualifying_seconds = o->sim.practice_seconds;
  // The field's size first: the scenarios name cars of it.
  if (const std::string error = classes_option->count() == 0
                                    ? std::string()
                                    : ReadClasses(classes, cars->count() > 0, &o->sim);
      !error.empty()) {
    std::fprintf(stderr, "pitwall-host: %s\nrun 'pitwall-host --help' for the usage\n",
                 error.c_str());
    return 2;
  }
  if (const std::string error = ScenarioOptions(o); !error.empty()) {
    std::fprintf(stderr, "pitwall-host: %s\nrun 'pitwall-host --help' for the usage\n",
                 error.c_str());
    return 2;
  }
  return -1;
}

// A fresh copy of the sample game folder; removed when the host ends.
class TempGameDir {
 public:
  bool Create(const std::filesystem::path& sample, std::string* error) {
    std::error_code ec;
    const std::filesystem::path root = std::filesystem::temp_directory_path(ec);
    std::random_device seed;
    std::mt19937 pick(seed());
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const auto dir = root / ("pitwall-game." + std::to_string(pick() % 1000000000u));
      if (std::filesystem::create_directory(dir, ec)) path_ = dir.string();
    }
    if (path_.empty()) {
      *error = "cannot create a temporary game folder in " + root.string();
      return false;
    }
    // Entry by entry: copying a directory onto one that exists fails on Windows.
    for (std::filesystem::directory_iterator it(sample, ec), end; !ec && it != end;
         it.increment(ec)) {
      std::filesystem::copy(it->path(), std::filesystem::path(path_) / it->path().filename(),
                            std::filesystem::copy_options::recursive, ec);
    }
    if (ec) {
      *error = "cannot copy the sample game folder " + sample.string() + ": " + ec.message();
      return false;
    }
    return true;
  }
  ~TempGameDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

bool Interrupted(std::chrono::steady_clock::time_point start, double duration) {
  if (g_interrupted) return true;
  return duration >= 0 &&
         std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >=
             duration;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "pitwall-host: %s\n", message.c_str());
  return 1;
}

// The plug-in's log files in the game folder and their sizes: it logs to
// "PitwallFeedPlugin_<port>.log" from the moment it has bound its port.
std::map<std::string, std::uintmax_t> LogSizes(const std::string& game_dir) {
  std::map<std::string, std::uintmax_t> sizes;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(game_dir, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind("PitwallFeedPlugin_", 0) == 0 && it->path().extension() == ".log") {
      sizes[name] = std::filesystem::file_size(it->path(), ec);
    }
  }
  return sizes;
}

// The port of the line "Bound to port N." that a log gained since `before`;
// 0 when none did (no port was free).
int BoundPort(const std::string& game_dir, const std::map<std::string, std::uintmax_t>& before) {
  for (const auto& [name, size] : LogSizes(game_dir)) {
    const auto old = before.find(name);
    const std::uintmax_t from = old == before.end() ? 0 : old->second;
    if (size <= from) continue;
    std::ifstream log(std::filesystem::path(game_dir) / name, std::ios::binary);
    log.seekg(static_cast<std::streamoff>(from));
    for (std::string line; std::getline(log, line);) {
      int port = 0;
      if (std::sscanf(line.c_str(), "Bound to port %d.", &port) == 1) return port;
    }
  }
  return 0;
}

// The starting port the plug-in's configuration names ("port=" under
// [GENERAL]; the default port when it names none).
int ConfiguredPort(const std::string& game_dir) {
  std::ifstream ini(std::filesystem::path(game_dir) / "PitwallFeedPlugin.ini", std::ios::binary);
  for (std::string line; std::getline(ini, line);) {
    std::string lower;
    for (const char c : line)
      lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.rfind("port=", 0) == 0) return std::atoi(line.c_str() + 5);
  }
  return kDefaultPort;
}

// Counts the scoring updates on their way to `next`.
class CountingSink : public HostSink {
 public:
  explicit CountingSink(HostSink* next) : next_(next) {}
  void SessionStart() override { next_->SessionStart(); }
  void SessionEnd() override { next_->SessionEnd(); }
  void Scoring(const HostScoringInfo* info) override {
    ++updates_;
    next_->Scoring(info);
  }
  long updates() const { return updates_; }

 private:
  HostSink* const next_;
  long updates_ = 0;
};

// Notes the simulated time of every event on its way to `next`: a
// simulation faster than real time is recorded with these times in place
// of the recorder's clock (see Restamp).
class EventTimes : public HostSink {
 public:
  explicit EventTimes(HostSink* next) : next_(next) {}
  void SessionStart() override {
    times_.push_back(now);
    next_->SessionStart();
  }
  void SessionEnd() override {
    times_.push_back(now);
    next_->SessionEnd();
  }
  void Scoring(const HostScoringInfo* info) override {
    times_.push_back(now);
    next_->Scoring(info);
  }
  const std::vector<double>& times() const { return times_; }

  double now = 0;  // simulated seconds since the recording began

 private:
  HostSink* const next_;
  std::vector<double> times_;
};

// Copies the recording `from` (read from its start) to `to`, the time of
// its n-th event replaced by times[n]. False when a read or write fails or
// the events outnumber the times.
bool Restamp(std::FILE* from, std::FILE* to, const std::vector<double>& times) {
  std::rewind(from);
  std::size_t event = 0;
  std::string line;
  bool ok = true;
  for (int c = 0; ok && (c = std::fgetc(from)) != EOF;) {
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    const std::size_t tab = line.find('\t');
    const std::string kind = line.substr(0, tab);
    if (tab != std::string::npos && (kind == "start" || kind == "end" || kind == "scoring")) {
      if (event >= times.size()) return false;
      const std::size_t next_tab = line.find('\t', tab + 1);
      char text[32];
      const auto r = std::to_chars(text, text + sizeof(text), times[event++]);
      line = kind + "\t" + std::string(text, r.ptr) +
             (next_tab == std::string::npos ? std::string() : line.substr(next_tab));
    }
    line += '\n';
    ok = std::fwrite(line.data(), 1, line.size(), to) == line.size();
    line.clear();
  }
  return ok && !std::ferror(from) && line.empty();
}

// `name` beside this program when it is there (an installed copy), else
// `built` (the file from this build tree).
std::filesystem::path BesideProgram(const char* argv0, const char* name, const char* built) {
  std::error_code ec;
  const auto beside = std::filesystem::absolute(argv0, ec).parent_path() / name;
  return std::filesystem::exists(beside, ec) ? beside : std::filesystem::path(built);
}

// The files a run uses: the game folder (a copy of the sample's when none
// was named), the recording to replay or the track to simulate, and the
// recording to write.
struct RunFiles {
  std::string plugin;
  TempGameDir temp;
  std::FILE* replay = nullptr;
  std::FILE* record = nullptr;
  TrackPath path;
};

// Finds and opens what the options name, making their paths absolute. 0
// when all is there, else the exit status after saying what is missing.
int OpenRunFiles(const char* argv0, Options* opt, RunFiles* files) {
  std::error_code ec;
  files->plugin = std::filesystem::absolute(opt->plugin, ec).string();
  if (!std::filesystem::is_regular_file(files->plugin, ec)) {
    return Fail("no plug-in file at " + files->plugin);
  }
  std::string error;
  if (opt->game_dir.empty()) {
    const auto sample = BesideProgram(argv0, "examples/game", PITWALL_EXAMPLES_DIR "/game");
    if (!files->temp.Create(sample, &error)) return Fail(error);
    opt->game_dir = files->temp.path();
  } else if (!std::filesystem::is_directory(opt->game_dir, ec)) {
    return Fail("no game folder at " + opt->game_dir);
  }
  opt->game_dir = std::filesystem::absolute(opt->game_dir, ec).string();
  if (!opt->replay.empty()) {
    opt->replay = std::filesystem::absolute(opt->replay, ec).string();
    files->replay = std::fopen(opt->replay.c_str(), "rb");
    if (files->replay == nullptr) return Fail("cannot open the recording " + opt->replay);
  }
  if (files->replay == nullptr && !files->path.Load(opt->game_dir, opt->track, &error)) {
    return Fail(error);
  }
  if (!opt->record.empty()) {
    opt->record = std::filesystem::absolute(opt->record, ec).string();
    files->record = std::fopen(opt->record.c_str(), "wb");
    if (files->record == nullptr) return Fail("cannot write the recording " + opt->record);
  }
  return 0;
}

// Says which port the plug-in serves on, from its log.
void SayPort(const std::string& game_dir,
             const std::map<std::string, std::uintmax_t>& logs_before) {
  const int port = BoundPort(game_dir, logs_before);
  const int configured = ConfiguredPort(game_dir);
  if (port == 0) {
    std::printf("pitwall-host: the plug-in serves no port: ports %d to %d are all busy\n",
                configured, configured + kPortsToTry - 1);
  } else if (port != configured) {
    std::printf("pitwall-host: the plug-in serves on port %d (port %d was busy)\n", port,
                configured);
  } else {
    std::printf("pitwall-host: the plug-in serves on port %d\n", port);
  }
  std::fflush(stdout);
}

// What the updates pass through on their way to the plug-in: the recorder
// when recording, the simulated clock when the recording is restamped, and
// the update count.
struct SinkChain {
  std::FILE* scratch = nullptr;  // a recording made flat out, before its times are stamped
  std::unique_ptr<Recorder> recorder;
  std::unique_ptr<EventTimes> event_times;
  std::unique_ptr<CountingSink> counter;
  HostSink* first = nullptr;
};

// 0, or the exit status when the scratch file cannot be made.
int BuildSinks(PluginHost* host, std::FILE* record, bool flat_out, SinkChain* chain) {
  if (record != nullptr && flat_out) {
    chain->scratch = std::tmpfile();
    if (chain->scratch == nullptr) return Fail("cannot create a scratch file for the recording");
  }
  HostSink* sink = host;
  if (record != nullptr) {
    chain->recorder =
        std::make_unique<Recorder>(chain->scratch != nullptr ? chain->scratch : record, host);
    sink = chain->recorder.get();
  }
  if (chain->scratch != nullptr) {
    chain->event_times = std::make_unique<EventTimes>(sink);
    sink = chain->event_times.get();
  }
  chain->counter = std::make_unique<CountingSink>(sink);
  chain->first = chain->counter.get();
  return 0;
}

// Race weekends one after another at the host's pace (flat out: one
// weekend, each update one period of simulated time), until interrupted.
void Simulate(const Options& opt, const TrackPath& path, bool flat_out, SinkChain* chain,
              std::chrono::steady_clock::time_point start) {
  const auto period = std::chrono::duration<double>(1.0 / opt.rate);
  const double step = period.count() * (flat_out ? 1.0 : opt.speed);
  auto next = start;
  std::uint32_t weekend = 0;
  long steps = 0;  // updates simulated so far
  while (!Interrupted(start, opt.duration) && !(flat_out && weekend > 0)) {
    SimOptions sim = opt.sim;
    sim.seed += weekend++;
    RaceSimulation race(path, opt.track, sim);
    const std::string field = sim.faster_class_cars > 0
                                  ? " (" + std::to_string(sim.faster_class_cars) + " + " +
                                        std::to_string(sim.cars - sim.faster_class_cars) +
                                        " in two classes)"
                                  : std::string();
    std::printf("pitwall-host: %d cars%s on %s (%.0f m), seed %u\n", sim.cars, field.c_str(),
                opt.track.c_str(), path.length(), sim.seed);
    std::fflush(stdout);
    for (;;) {
      if (chain->event_times) chain->event_times->now = static_cast<double>(steps) / opt.rate;
      if (Interrupted(start, opt.duration) || !race.Advance(step, chain->first)) break;
      ++steps;
      if (flat_out) continue;
      next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
      std::this_thread::sleep_until(next);
    }
  }
}

// Closes the recording, stamped with the simulated times when it was made
// flat out. The exit status: `status`, or 1 when writing failed.
int FinishRecording(const Options& opt, std::FILE* record, SinkChain* chain, int status) {
  if (record == nullptr) return status;
  bool ok = chain->recorder->ok();
  if (chain->scratch != nullptr) {
    ok = ok && Restamp(chain->scratch, record, chain->event_times->times());
    std::fclose(chain->scratch);
  }
  if (std::fclose(record) != 0 || !ok) return Fail("writing " + opt.record + " failed");
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  opt.plugin =
      BesideProgram(argv[0], ("PitwallFeedPlugin" + std::string(kSharedLibrarySuffix)).c_str(),
                    PITWALL_DEFAULT_PLUGIN)
          .string();
  if (const int status = ParseArgs(argc, argv, &opt); status >= 0) return status;
  RunFiles files;
  if (const int status = OpenRunFiles(argv[0], &opt, &files); status != 0) return status;

  // The simulator's working directory holds its Config.ini and tracks, and
  // receives the plug-in's configuration and log.
  std::error_code ec;
  std::filesystem::current_path(opt.game_dir, ec);
  if (ec) return Fail("cannot enter the game folder " + opt.game_dir + ": " + ec.message());
  PluginHost host;
  std::string error;
  if (!host.Load(files.plugin, &error)) return Fail(error);
  std::printf("pitwall-host: loaded %s\npitwall-host: game folder %s\n", host.description().c_str(),
              opt.game_dir.c_str());
  std::fflush(stdout);

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  const auto logs_before = LogSizes(opt.game_dir);
  host.Startup();
  SayPort(opt.game_dir, logs_before);
  // A simulation at speed 0 runs flat out: its recording is written to a
  // scratch file first and stamped with the simulated times at the end.
  const bool flat_out = files.replay == nullptr && opt.speed <= 0;
  SinkChain chain;
  if (const int status = BuildSinks(&host, files.record, flat_out, &chain); status != 0) {
    return status;
  }

  const auto start = std::chrono::steady_clock::now();
  int status = 0;
  if (files.replay != nullptr) {
    ReplayOptions options;
    options.speed = opt.speed;
    options.interrupted = [&] { return Interrupted(start, opt.duration); };
    if (!Replay(files.replay, chain.first, options, &error)) {
      status = Fail("replay of " + opt.replay + " stopped: " + error);
    }
    std::fclose(files.replay);
  } else {
    Simulate(opt, files.path, flat_out, &chain, start);
  }
  host.Shutdown();
  status = FinishRecording(opt, files.record, &chain, status);
  std::printf("pitwall-host: done after %ld %s updates\n", chain.counter->updates(),
              opt.replay.empty() ? "simulated" : "replayed");
  return status;
}
