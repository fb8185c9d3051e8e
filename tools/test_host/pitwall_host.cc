// pitwall-host: a test host. It loads the plug-in the way a simulator does,
// in a game folder, and feeds it a simulated race weekend (or a recorded
// session) at a set rate.
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "platform/library.h"
#include "tools/test_host/plugin_host.h"
#include "tools/test_host/race_sim.h"
#include "tools/test_host/recording.h"
#include "tools/test_host/track_path.h"

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
void OnSignal(int) { g_interrupted = 1; }

constexpr char kUsage[] =
    "usage: pitwall-host [options]\n"
    "  --plugin PATH          the plug-in to load (default: the one built with this host)\n"
    "  --game-dir DIR         the simulator's working directory with Config.ini and tracks\n"
    "                         (default: a fresh temporary copy of the sample game folder)\n"
    "  --track NAME           the track to race on (default: Pitwall Ring)\n"
    "  --cars N               cars, 0 to 255 (default 20)\n"
    "  --rate HZ              scoring updates a second (default 5)\n"
    "  --speed X              simulated seconds per real second (default 1)\n"
    "  --duration SECONDS     stop after this long (default: until interrupted)\n"
    "  --seed N               the race's random seed (default 1)\n"
    "  --sessions LIST        comma-separated practice,qualifying,race (default: all three)\n"
    "  --race-laps N          race distance (default 5)\n"
    "  --session-seconds S    length of practice and qualifying (default 180)\n"
    "  --record FILE          write every update sent to FILE\n"
    "  --replay FILE          send a recorded session instead of simulating\n";

struct Options {
  std::string plugin;
  std::string game_dir;
  std::string track = "Pitwall Ring";
  double rate = 5;
  double speed = 1;
  double duration = -1;
  std::string record, replay;
  SimOptions sim;
};

template <typename T>
bool Number(const char* text, T* value) {
  const char* end = text + std::char_traits<char>::length(text);
  const auto r = std::from_chars(text, end, *value);
  return r.ec == std::errc() && r.ptr == end;
}

bool ParseSessions(const std::string& list, std::vector<SessionKind>* sessions) {
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
      return false;
    }
    begin = comma + 1;
  }
  return !sessions->empty();
}

// Parses the command line; on a mistake prints why and returns false.
bool ParseArgs(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "pitwall-host: %s needs a value (or is unknown)\n", arg.c_str());
      return false;
    }
    const char* v = argv[++i];
    bool ok = true;
    if (arg == "--plugin") {
      o->plugin = v;
    } else if (arg == "--game-dir") {
      o->game_dir = v;
    } else if (arg == "--track") {
      o->track = v;
    } else if (arg == "--cars") {
      ok = Number(v, &o->sim.cars) && o->sim.cars >= 0 && o->sim.cars <= 255;
    } else if (arg == "--rate") {
      ok = Number(v, &o->rate) && o->rate > 0 && o->rate <= 1000;
    } else if (arg == "--speed") {
      ok = Number(v, &o->speed) && o->speed >= 0 && o->speed <= 1000;
    } else if (arg == "--duration") {
      ok = Number(v, &o->duration) && o->duration >= 0;
    } else if (arg == "--seed") {
      ok = Number(v, &o->sim.seed);
    } else if (arg == "--sessions") {
      ok = ParseSessions(v, &o->sim.sessions);
    } else if (arg == "--race-laps") {
      ok = Number(v, &o->sim.race_laps) && o->sim.race_laps >= 1 && o->sim.race_laps <= 1000;
    } else if (arg == "--session-seconds") {
      ok = Number(v, &o->sim.practice_seconds) && o->sim.practice_seconds > 0;
      o->sim.qualifying_seconds = o->sim.practice_seconds;
    } else if (arg == "--record") {
      o->record = v;
    } else if (arg == "--replay") {
      o->replay = v;
    } else {
      std::fprintf(stderr, "pitwall-host: unknown option %s\n%s", arg.c_str(), kUsage);
      return false;
    }
    if (!ok) {
      std::fprintf(stderr, "pitwall-host: bad value '%s' for %s\n", v, arg.c_str());
      return false;
    }
  }
  return true;
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

// `name` beside this program when it is there (an installed copy), else
// `built` (the file from this build tree).
std::filesystem::path BesideProgram(const char* argv0, const char* name, const char* built) {
  std::error_code ec;
  const auto beside = std::filesystem::absolute(argv0, ec).parent_path() / name;
  return std::filesystem::exists(beside, ec) ? beside : std::filesystem::path(built);
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  opt.plugin =
      BesideProgram(argv[0], ("PitwallFeedPlugin" + std::string(kSharedLibrarySuffix)).c_str(),
                    PITWALL_DEFAULT_PLUGIN)
          .string();
  if (!ParseArgs(argc, argv, &opt)) return 2;

  std::error_code ec;
  const std::string plugin = std::filesystem::absolute(opt.plugin, ec).string();
  if (!std::filesystem::is_regular_file(plugin, ec)) return Fail("no plug-in file at " + plugin);
  TempGameDir temp;
  std::string error;
  if (opt.game_dir.empty()) {
    const auto sample = BesideProgram(argv[0], "examples/game", PITWALL_EXAMPLES_DIR "/game");
    if (!temp.Create(sample, &error)) return Fail(error);
    opt.game_dir = temp.path();
  } else if (!std::filesystem::is_directory(opt.game_dir, ec)) {
    return Fail("no game folder at " + opt.game_dir);
  }
  opt.game_dir = std::filesystem::absolute(opt.game_dir, ec).string();

  std::FILE* replay = nullptr;
  if (!opt.replay.empty()) {
    opt.replay = std::filesystem::absolute(opt.replay, ec).string();
    replay = std::fopen(opt.replay.c_str(), "rb");
    if (replay == nullptr) return Fail("cannot open the recording " + opt.replay);
  }
  TrackPath path;
  if (replay == nullptr && !path.Load(opt.game_dir, opt.track, &error)) return Fail(error);
  std::FILE* record = nullptr;
  if (!opt.record.empty()) {
    opt.record = std::filesystem::absolute(opt.record, ec).string();
    record = std::fopen(opt.record.c_str(), "wb");
    if (record == nullptr) return Fail("cannot write the recording " + opt.record);
  }

  // The simulator's working directory holds its Config.ini and tracks, and
  // receives the plug-in's configuration and log.
  std::filesystem::current_path(opt.game_dir, ec);
  if (ec) return Fail("cannot enter the game folder " + opt.game_dir + ": " + ec.message());
  PluginHost host;
  if (!host.Load(plugin, &error)) return Fail(error);
  std::printf("pitwall-host: loaded %s\npitwall-host: game folder %s\n", host.description().c_str(),
              opt.game_dir.c_str());
  std::fflush(stdout);

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  host.Startup();
  std::unique_ptr<Recorder> recorder;
  HostSink* sink = &host;
  if (record != nullptr) {
    recorder = std::make_unique<Recorder>(record, &host);
    sink = recorder.get();
  }

  const auto start = std::chrono::steady_clock::now();
  long updates = 0;
  int status = 0;
  if (replay != nullptr) {
    ReplayOptions options;
    options.speed = opt.speed;
    options.interrupted = [&] { return Interrupted(start, opt.duration); };
    if (!Replay(replay, sink, options, &error)) {
      status = Fail("replay of " + opt.replay + " stopped: " + error);
    }
    std::fclose(replay);
  } else {
    const auto period = std::chrono::duration<double>(1.0 / opt.rate);
    auto next = start;
    std::uint32_t weekend = 0;
    while (!Interrupted(start, opt.duration)) {
      SimOptions sim = opt.sim;
      sim.seed += weekend++;
      RaceSimulation race(path, opt.track, sim);
      std::printf("pitwall-host: %d cars on %s (%.0f m), seed %u\n", sim.cars, opt.track.c_str(),
                  path.length(), sim.seed);
      std::fflush(stdout);
      while (!Interrupted(start, opt.duration) && race.Advance(period.count() * opt.speed, sink)) {
        ++updates;
        next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
        std::this_thread::sleep_until(next);
      }
    }
  }
  host.Shutdown();
  if (record != nullptr) {
    if (!recorder->ok() || std::fclose(record) != 0)
      status = Fail("writing " + opt.record + " failed");
  }
  std::printf("pitwall-host: done after %ld simulated updates\n", updates);
  return status;
}
