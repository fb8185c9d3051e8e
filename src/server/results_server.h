// The results server: owns the timing snapshot for the time the server runs
// and routes the host's session and scoring calls to it.
//
// Thread-safety: Start(), Stop(), SessionStarted(), SessionEnded() and
// IngestScoring() are called on the host's thread, one at a time.
#ifndef PITWALL_SERVER_RESULTS_SERVER_H_
#define PITWALL_SERVER_RESULTS_SERVER_H_

#include <memory>
#include <string>

#include "pitwall/host_interface.h"

class ChangeStamps;
class Clock;
class LogFile;
class TimingData;

class ResultsServer {
 public:
  struct Options {
    // Prefixed to the configuration file's name; empty: the working
    // directory. Ends with a separator when not empty.
    std::string directory;
  };

  // `log`, `stamps` and `clock` must outlive the server.
  ResultsServer(Options options, LogFile* log, ChangeStamps* stamps, const Clock& clock);
  ~ResultsServer();
  ResultsServer(const ResultsServer&) = delete;
  ResultsServer& operator=(const ResultsServer&) = delete;

  // Creates the snapshot.
  void Start();
  // Destroys the snapshot; only the first call of the server's life acts.
  void Stop();

  // Routed to the snapshot; nothing happens while there is none.
  void SessionStarted();
  void SessionEnded();
  void IngestScoring(const HostScoringInfo* info);

  // The snapshot, or null (host's thread).
  const TimingData* snapshot() const { return snapshot_.get(); }

 private:
  const Options options_;
  LogFile* const log_;
  ChangeStamps* const stamps_;
  const Clock& clock_;
  bool stop_guard_ = true;
  std::unique_ptr<TimingData> snapshot_;
};

#endif  // PITWALL_SERVER_RESULTS_SERVER_H_
