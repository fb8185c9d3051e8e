#include "cli_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <memory>

#include "platform/socket.h"
#include "tools/common/cli_checks.h"

namespace {

constexpr std::uint32_t kMaxNumber = 1000000;
const std::string kEndpointHelp =
    "the server: a dotted IPv4 address, localhost or a host name (default 127.0.0.1), port 1 "
    "to 65535 (default: the first of " +
    std::to_string(kDefaultPort) + " to " + std::to_string(kDefaultPort + kPortsToTry - 1) +
    " that a server answers on)";

constexpr const char* kCommands[] = {"watch",    "dump",    "track", "web",   "record",
                                     "sessions", "results", "laps",  "events"};
constexpr char kCommandList[] = "watch, dump, track, web, record, sessions, results, laps, events";
constexpr char kDbHelp[] = "the race history's SQLite file (default pitwall.db in this folder)";

// A host name as DNS writes one: labels of letters, digits and '-', joined
// by dots; no port.
bool WebHostNameOk(const std::string& text) {
  if (text.empty() || text.size() > 253 || text.front() == '.' || text.back() == '.') return false;
  char previous = '.';
  for (const char c : text) {
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!word && c != '-' && c != '.') return false;
    if (c == '.' && previous == '.') return false;
    previous = c;
  }
  return true;
}

// "*", or an origin as a browser sends it: http:// or https://, a host
// name or address, and a port; no path.
bool WebOriginOk(const std::string& text) {
  if (text == "*") return true;
  std::string rest;
  if (text.rfind("http://", 0) == 0) {
    rest = text.substr(7);
  } else if (text.rfind("https://", 0) == 0) {
    rest = text.substr(8);
  } else {
    return false;
  }
  const std::size_t colon = rest.rfind(':');
  if (colon != std::string::npos) {
    const std::string port = rest.substr(colon + 1);
    if (!cli_checks::WholeNumber(1, 65535)(port).empty()) return false;
    rest.resize(colon);
  }
  return WebHostNameOk(rest);
}

CLI::Option* AddLeague(CLI::App* command, CliOptions* o) {
  return command
      ->add_option("--league", o->league,
                   "the league file (CSV: each driver's number, short name, team, class and "
                   "nation; each class's colour), read again when it changes")
      ->type_name("FILE")
      ->check([](const std::string& f) {
        return f.empty() ? std::string("needs a file name") : std::string();
      });
}

void AddDb(CLI::App* command, CliOptions* o) {
  command->add_option("--db", o->db, kDbHelp)->type_name("FILE")->check([](const std::string& f) {
    return f.empty() ? std::string("needs a file name") : std::string();
  });
}

// The tool's command line. `endpoint` receives the positional server.
std::unique_ptr<CLI::App> MakeApp(CliOptions* o, std::string* endpoint) {
  auto app = std::make_unique<CLI::App>("Live timing from a PitwallFeed server.", "pitwall");
  app->set_version_flag("--version", VersionText());
  app->require_subcommand(1);
  app->fallthrough(false);

  CLI::App* watch =
      app->add_subcommand("watch", "live timing tower; reconnects when the server goes away");
  watch->add_option("server", *endpoint, kEndpointHelp)->type_name("HOST[:PORT]");
  watch->add_option("--seconds", o->seconds, "stop after N seconds (default: run until Ctrl-C)")
      ->check(cli_checks::WholeNumber(1, kMaxNumber))
      ->type_name("N");
  watch
      ->add_option("--follow", o->follow,
                   "keep this driver's car in view when the field is taller than the terminal "
                   "(part of the name, any case)")
      ->type_name("NAME");
  CLI::Option* league = AddLeague(watch, o);
  CLI::Option* only_class =
      watch->add_option("--class", o->car_class, "with --league: only the cars of this class")
          ->type_name("NAME")
          ->needs(league);
  watch
      ->add_flag("--split", o->split,
                 "with --league: the classes one after another, each with its own leader")
      ->needs(league)
      ->excludes(only_class);

  CLI::App* dump = app->add_subcommand("dump", "every update on its own line");
  dump->add_option("server", *endpoint, kEndpointHelp)->type_name("HOST[:PORT]");
  CLI::Option* json =
      dump->add_flag("--json", o->json, "the timing state as one JSON object per update");
  dump->add_flag("--raw", o->raw, "with --json: every decoded answer as it came instead")
      ->needs(json);
  dump->add_option("--count", o->count, "stop after N lines")
      ->check(cli_checks::WholeNumber(1, kMaxNumber))
      ->type_name("N");
  AddLeague(dump, o);

  CLI::App* track =
      app->add_subcommand("track", "the track outline and the cars as an SVG picture");
  track->add_option("server", *endpoint, kEndpointHelp)->type_name("HOST[:PORT]");
  track->add_option("--svg", o->svg_file, "the file to write")
      ->type_name("FILE")
      ->required()
      ->check([](const std::string& name) {
        return name.empty() ? std::string("needs a file name") : std::string();
      });
  track->add_option("--timeout", o->timeout_s, "wait up to N seconds for the outline (default 5)")
      ->check(cli_checks::WholeNumber(1, kMaxNumber))
      ->type_name("N");
  AddLeague(track, o);

  CLI::App* web = app->add_subcommand(
      "web",
      "a live web page, overlays and a JSON API, for any number of viewers on one connection");
  web->add_option("server", *endpoint, kEndpointHelp)->type_name("HOST[:PORT]");
  web->add_option("--listen", o->listen,
                  "where to serve, a dotted IPv4 address (0.0.0.0: every address) and a port "
                  "(default 127.0.0.1:8047, this machine only)")
      ->type_name("ADDR:PORT")
      ->check([](const std::string& text) {
        std::string address, error;
        std::uint16_t port = 0;
        return ParseListenAddress(text, &address, &port, &error) ? std::string() : error;
      });
  web->add_option("--max-viewers", o->max_viewers,
                  "event streams served at once, 1 to 5000 (default 200)")
      ->check(cli_checks::WholeNumber(1, 5000))
      ->type_name("N");
  web->add_option("--max-per-address", o->max_per_address,
                  "connections at once from one client address, 1 to 100000 (default 64; "
                  "behind a proxy every viewer comes from its address)")
      ->check(cli_checks::WholeNumber(1, 100000))
      ->type_name("N");
  web->add_option("--allow-origin", o->allow_origin,
                  "let pages of ORIGIN (scheme://host[:port]), or of any origin with *, read the "
                  "API (default: only the web view's own pages)")
      ->type_name("ORIGIN|*")
      ->check([](const std::string& text) {
        return WebOriginOk(text) ? std::string()
                                 : "'" + text + "' is not * nor an origin like https://host:port";
      });
  web->add_option("--allow-host", o->allow_hosts,
                  "a host name the web view answers for besides addresses and localhost, e.g. the "
                  "name viewers or a proxy use (repeatable)")
      ->type_name("NAME")
      ->check([](const std::string& text) {
        return WebHostNameOk(text) ? std::string() : "'" + text + "' is not a host name";
      });
  web->add_option("--www", o->www_dir, "the page's files (default: those installed with pitwall)")
      ->type_name("DIR");
  web->add_option("--publish", o->publish_url,
                  "also send every update to a pub/sub server (nginx with its pub/sub module: "
                  "docs/nginx-fanout.conf) at URL/<channel>, e.g. http://127.0.0.1:8090/pub")
      ->type_name("URL");
  web->add_option("--publish-token", o->publish_token,
                  "sent with each message as a bearer token, for a publisher location that "
                  "checks one (or set PITWALL_PUBLISH_TOKEN)")
      ->envname("PITWALL_PUBLISH_TOKEN")
      ->type_name("TOKEN");
  AddDb(web, o);
  web->add_flag("--no-record", o->no_record, "keep no race history");
  AddLeague(web, o);

  CLI::App* record = app->add_subcommand(
      "record", "keep every lap, pit stop, event and result in the race history");
  record->add_option("server", *endpoint, kEndpointHelp)->type_name("HOST[:PORT]");
  AddDb(record, o);
  AddLeague(record, o);

  AddDb(app->add_subcommand("sessions", "the recorded sessions, newest first"), o);
  const auto history = [&](const char* name, const char* about, std::vector<std::string> formats) {
    CLI::App* command = app->add_subcommand(name, about);
    command->add_option("session", o->session, "the session's id (default: the latest)")
        ->check(cli_checks::WholeNumber(1, 1000000000))
        ->type_name("SESSION");
    AddDb(command, o);
    std::string list;
    for (const std::string& f : formats) list += (list.empty() ? "" : "|") + f;
    command
        ->add_option("--format", o->format, "the output: " + list + " (default " + formats[0] + ")")
        ->check(CLI::IsMember(formats))
        ->type_name(list);
    AddLeague(command, o);
    return command;
  };
  history("results", "a session's classification, fastest lap and pit stops",
          {"text", "json", "csv", "html"});
  history("laps", "every lap of a session", {"csv", "json"})
      ->add_option("--car", o->car, "only this driver's laps (part of the name, any case)")
      ->type_name("NAME");
  history("events", "what happened in a session, in order", {"text", "json"});
  return app;
}

}  // namespace

bool ParseListenAddress(const std::string& text, std::string* address, std::uint16_t* port,
                        std::string* error) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) {
    *error = "'" + text + "' is not ADDR:PORT";
    return false;
  }
  std::string host = text.substr(0, colon);
  if (host == "localhost") host = "127.0.0.1";
  std::uint32_t parsed = 0;
  if (!ParseIPv4(host.c_str(), &parsed)) {
    *error = "'" + host + "' is not a dotted IPv4 address";
    return false;
  }
  std::string port_text = text.substr(colon + 1);
  if (!cli_checks::WholeNumber(1, 65535)(port_text).empty()) {
    *error = "port '" + text.substr(colon + 1) + "' is not a whole number from 1 to 65535";
    return false;
  }
  *address = host;
  *port = static_cast<std::uint16_t>(std::stoi(port_text));
  return true;
}

std::string VersionText() { return "pitwall " PITWALL_VERSION; }

std::string UsageText() {
  CliOptions options;
  std::string endpoint;
  return MakeApp(&options, &endpoint)->help();
}

bool ParseCommandLine(const std::vector<std::string>& args, CliOptions* options,
                      std::string* error) {
  *options = CliOptions{};
  std::string endpoint;
  std::unique_ptr<CLI::App> app = MakeApp(options, &endpoint);
  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  if (args.empty() || args.front().empty() || args.front().front() != '-') {
    const bool known = !args.empty() && std::find(std::begin(kCommands), std::end(kCommands),
                                                  args.front()) != std::end(kCommands);
    if (!known) {
      *error = (args.empty() ? std::string("no command given")
                             : "unknown command '" + args.front() + "'") +
               " (commands: " + kCommandList + ")";
      return false;
    }
  }
  try {
    app->parse(reversed);
  } catch (const CLI::CallForHelp&) {
    const std::vector<CLI::App*> chosen = app->get_subcommands();
    options->command = CliCommand::kHelp;
    options->output = chosen.empty() ? app->help() : chosen.front()->help();
    return true;
  } catch (const CLI::CallForAllHelp&) {
    options->command = CliCommand::kHelp;
    options->output = app->help("", CLI::AppFormatMode::All);
    return true;
  } catch (const CLI::CallForVersion&) {
    options->command = CliCommand::kVersion;
    options->output = VersionText() + "\n";
    return true;
  } catch (const CLI::ParseError& e) {
    const std::vector<CLI::App*> chosen = app->get_subcommands();
    if (chosen.empty()) {
      *error = dynamic_cast<const CLI::RequiredError*>(&e) != nullptr
                   ? std::string("no command given (commands: ") + kCommandList + ")"
                   : std::string(e.what());
    } else {
      *error = chosen.front()->get_name() + ": " + e.what();
    }
    return false;
  }
  const std::string name = app->get_subcommands().front()->get_name();
  static const std::pair<const char*, CliCommand> kNames[] = {
      {"watch", CliCommand::kWatch},     {"dump", CliCommand::kDump},
      {"track", CliCommand::kTrack},     {"web", CliCommand::kWeb},
      {"record", CliCommand::kRecord},   {"sessions", CliCommand::kSessions},
      {"results", CliCommand::kResults}, {"laps", CliCommand::kLaps},
      {"events", CliCommand::kEvents}};
  for (const auto& [text, command] : kNames) {
    if (name == text) options->command = command;
  }
  options->port_given = endpoint.find(':') != std::string::npos;
  if (!endpoint.empty() && !ParseEndpoint(endpoint, &options->host, &options->port, error)) {
    *error = name + ": " + *error;
    return false;
  }
  return true;
}
