#include "server/results_server.h"

#include <new>
#include <system_error>

#include "log/log.h"
#include "server/connections.h"
#include "server/current_track.h"
#include "timing/timing_data.h"

namespace {

// The largest backlog the platforms accept; they lower it to their own cap.
constexpr int kListenBacklog = 0x7FFFFFFF;

}  // namespace

ResultsServer::ResultsServer(Options options, LogFile* log, ChangeStamps* stamps,
                             const Clock& clock)
    : options_(std::move(options)),
      log_(log),
      stamps_(stamps),
      clock_(clock),
      track_(std::make_unique<CurrentTrack>(log, options_.tracks_dir)) {}

ResultsServer::~ResultsServer() {
  if (connections_) connections_->Stop();
  connections_.reset();
  track_->Stop();
  if (socket_layer_) StopSocketLayer();
}

bool ResultsServer::running() const { return connections_ && connections_->running(); }

std::int32_t ResultsServer::active_connections() const {
  return connections_ ? connections_->active() : 0;
}

void ResultsServer::Start() {
  if (started_) {
    log_->WriteLog("Server start ignored: the server was already started.\n");
    return;
  }
  started_ = true;
  try {
    StartServing();
  } catch (const std::bad_alloc&) {
    AbandonStart("out of memory");
  } catch (const std::system_error& e) {
    AbandonStart(e.what());
  }
}

void ResultsServer::StartServing() {
  ReadServerConfig(options_.directory + kConfigFileName, &config_, log_);
  log_->WriteLog("\nNew server running up...\n");
  snapshot_ = std::make_unique<TimingData>(stamps_);
  int error = 0;
  socket_layer_ = StartSocketLayer(&error);
  if (!socket_layer_) log_->Printf("ERROR: WSAStartup() returned error code %d.\n", error);
  StartListener();
}

void ResultsServer::AbandonStart(const char* what) {
  // Whatever had started is ended, so the server is plainly not running and
  // a later stop finds nothing half-made.
  if (connections_) connections_->Stop();
  connections_.reset();
  snapshot_.reset();
  if (socket_layer_) {
    StopSocketLayer();
    socket_layer_ = false;
  }
  if (log_->bound_port() > 0) {
    log_->Printf("ERROR: Server start failed (%s); the server is not running.\n", what);
  } else {
    log_->PrintfUnbound("Server not started: %s while starting.\n", what);
  }
}

void ResultsServer::StartListener() {
  Socket listener = socket_layer_ ? ProbePorts(config_.starting_port) : Socket();
  if (!listener.valid()) {
    log_->WriteLog("ERROR: Failed to estabish listener!\n");
    if (log_->bound_port() < 1) {
      // No port log can exist: the reason goes where the user can find it.
      if (!socket_layer_) {
        log_->PrintfUnbound("Server not started: the socket layer did not start.\n");
      } else {
        log_->PrintfUnbound(
            "Server not started: no port from %d to %d could be bound (each busy or not "
            "allowed). Set Port= in PitwallFeedPlugin.ini to another starting port.\n",
            static_cast<int>(config_.starting_port),
            static_cast<int>(config_.starting_port + kPortsToTry - 1));
      }
    }
    return;
  }
  log_->WriteLog("Waiting for connections...\n");
  ResponseSources sources;
  sources.log = log_;
  sources.stamps = stamps_;
  sources.snapshot = snapshot_.get();
  sources.track = track_.get();
  sources.connection_limit = config_.connection_limit;
  try {
    connections_ = std::make_unique<ClientConnections>(sources, clock_);
  } catch (const std::bad_alloc&) {
    log_->WriteLog("ERROR: Out of memory starting the listener.\n");
    return;
  }
  if (!connections_->Start(std::move(listener))) {
    log_->WriteLog("ERROR: Failed to start the accept thread.\n");
    connections_.reset();
  }
}

Socket ResultsServer::ProbePorts(std::int32_t start) {
  std::uint32_t address = 0;
  if (!ParseIPv4(options_.bind_address.c_str(), &address)) return Socket();
  Socket socket = OpenTcpSocket();
  if (!socket.valid()) return Socket();
  for (int i = 0; i < kPortsToTry; ++i) {
    const std::int64_t port = std::int64_t{start} + i;
    if (port < 1 || port > 65535) continue;
    if (!BindIPv4(socket.get(), address, static_cast<std::uint16_t>(port))) {
      log_->Printf("Port %d busy. Trying another...\n", static_cast<int>(port));
      continue;
    }
    log_->SetBoundPort(static_cast<int>(port));
    log_->Printf("Bound to port %d.\n", static_cast<int>(port));
    if (!Listen(socket.get(), kListenBacklog)) {
      log_->Printf("ERROR: listen() failed on port %d.\n", static_cast<int>(port));
      return Socket();
    }
    return socket;
  }
  log_->Printf("ERROR: No free port found (%lld to %lld)\n", static_cast<long long>(start),
               static_cast<long long>(start) + kPortsToTry - 1);
  return Socket();
}

void ResultsServer::Stop() {
  if (!stop_guard_) return;
  stop_guard_ = false;
  if (running()) {
    connections_->Stop();
    StopSocketLayer();
    socket_layer_ = false;
    log_->WriteLog("Server shutdown.\n");
  }
  // No client thread is left; end the loads too. Then nothing can reach the
  // snapshot or a geometry.
  connections_.reset();
  track_->Stop();
  if (socket_layer_) {
    StopSocketLayer();
    socket_layer_ = false;
  }
  snapshot_.reset();
}

void ResultsServer::SessionStarted() {
  if (snapshot_) snapshot_->SessionStarted();
}

void ResultsServer::SessionEnded() {
  if (snapshot_) snapshot_->SessionEnded();
}

void ResultsServer::IngestScoring(const HostScoringInfo* info) {
  if (!snapshot_) return;
  // A new session's track is compared with the current outline's.
  if (snapshot_->IngestScoring(info).session_taken) {
    try {
      track_->OnSessionTrack(snapshot_->session().track_name);
    } catch (const std::bad_alloc&) {
      log_->WriteLog("ERROR: Out of memory loading the track outline.\n");
    }
  }
}
