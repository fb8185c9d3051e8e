// The results server: reads its configuration, owns the timing snapshot,
// binds the listening socket on the first free port of twenty and runs the
// network side (ClientConnections) until it is stopped.
//
// Thread-safety: Start(), Stop(), SessionStarted(), SessionEnded() and
// IngestScoring() are called on the host's thread, one at a time. The
// accessors are for that thread (and tests) too.
#ifndef PITWALL_SERVER_RESULTS_SERVER_H_
#define PITWALL_SERVER_RESULTS_SERVER_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "pitwall/host_interface.h"
#include "platform/socket.h"
#include "server/server_config.h"

class ChangeStamps;
class ClientConnections;
class CurrentTrack;
class Clock;
class LogFile;
class TimingData;

class ResultsServer {
 public:
  struct Options {
    // Prefixed to the configuration file's name; empty: the working
    // directory. Ends with a separator when not empty.
    std::string directory;
    std::string bind_address = "0.0.0.0";
    // Where track files are searched; none: the tracks directory that the
    // host's Config.ini names.
    std::optional<std::string> tracks_dir;
  };

  // `log`, `stamps` and `clock` must outlive the server.
  ResultsServer(Options options, LogFile* log, ChangeStamps* stamps, const Clock& clock);
  // Stops whatever still runs, so no thread outlives the server.
  ~ResultsServer();
  ResultsServer(const ResultsServer&) = delete;
  ResultsServer& operator=(const ResultsServer&) = delete;

  // Reads the configuration, creates the snapshot, binds and starts the
  // accept thread. Runs once in the server's life: a later call is logged
  // and ignored, so no second set of threads can outlive the one stop.
  // Never throws: a start that runs out of memory or threads is logged
  // (in the port's log, or "PitwallFeedPlugin.log" before a bind) and
  // leaves the server stopped.
  void Start();
  // The first call ends every thread, closes every socket, then destroys the
  // snapshot. Later calls do nothing.
  void Stop();

  // Routed to the snapshot; nothing happens while there is none.
  void SessionStarted();
  void SessionEnded();
  void IngestScoring(const HostScoringInfo* info);

  bool running() const;
  std::int32_t active_connections() const;
  const ServerConfig& config() const { return config_; }
  // The snapshot, or null.
  const TimingData* snapshot() const { return snapshot_.get(); }
  const CurrentTrack& track() const { return *track_; }
  // The log the server writes to.
  LogFile* log() const { return log_; }

 private:
  // Binds a socket to the first free port of start..start+19 (ports outside
  // 1..65535 are not tried) and makes it listen. Invalid on failure.
  Socket ProbePorts(std::int32_t start);
  void StartServing();
  void StartListener();
  // Ends what a failed start had begun and says what failed.
  void AbandonStart(const char* what);

  const Options options_;
  LogFile* const log_;
  ChangeStamps* const stamps_;
  const Clock& clock_;
  ServerConfig config_;
  bool started_ = false;
  bool stop_guard_ = true;
  bool socket_layer_ = false;  // a StartSocketLayer() to release
  std::unique_ptr<TimingData> snapshot_;
  std::unique_ptr<CurrentTrack> track_;
  std::unique_ptr<ClientConnections> connections_;
};

#endif  // PITWALL_SERVER_RESULTS_SERVER_H_
