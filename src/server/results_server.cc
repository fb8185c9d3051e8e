#include "server/results_server.h"

#include <new>

#include "log/log.h"
#include "timing/timing_data.h"

ResultsServer::ResultsServer(Options options, LogFile* log, ChangeStamps* stamps,
                             const Clock& clock)
    : options_(std::move(options)), log_(log), stamps_(stamps), clock_(clock) {}

ResultsServer::~ResultsServer() = default;

void ResultsServer::Start() {
  try {
    snapshot_ = std::make_unique<TimingData>(stamps_);
  } catch (const std::bad_alloc&) {
    snapshot_.reset();
  }
}

void ResultsServer::Stop() {
  if (!stop_guard_) return;
  stop_guard_ = false;
  snapshot_.reset();
}

void ResultsServer::SessionStarted() {
  if (snapshot_) snapshot_->SessionStarted();
}

void ResultsServer::SessionEnded() {
  if (snapshot_) snapshot_->SessionEnded();
}

void ResultsServer::IngestScoring(const HostScoringInfo* info) {
  if (snapshot_) snapshot_->IngestScoring(info);
}
