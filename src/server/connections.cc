#include "server/connections.h"

#include <cstring>
#include <new>
#include <utility>

#include "log/log.h"
#include "platform/thread.h"

namespace {

// After a failed accept the loop waits this long before the next, so a
// persistent failure (out of descriptors) neither spins nor floods the log.
constexpr std::uint32_t kAcceptRetryMs = 50;

}  // namespace

bool PaceRequest(ClientConnection* connection, int type, std::uint32_t now) {
  // Unsigned difference: correct across the clock's wrap.
  if (!connection->answered[type] ||
      now - connection->last_request_ms[type] >= kPacingIntervalMs[type]) {
    connection->last_request_ms[type] = now;
    connection->answered[type] = true;
    connection->pending[type] = 0;
    return true;
  }
  connection->pending[type] = 1;
  return false;
}

ClientConnections::ClientConnections(const ResponseSources& sources, const Clock& clock)
    : context_{sources, &active_, &running_}, clock_(clock) {}

bool ClientConnections::Start(Socket listener) {
  listener_ = std::move(listener);
  running_.store(true);
  if (!accept_thread_.Start([this] { AcceptThread(); })) {
    running_.store(false);
    listener_.Close();
    return false;
  }
  return true;
}

void ClientConnections::Stop() {
  running_.store(false);
  // The threads' waits see the flag clear; shutting the sockets down only
  // hurries that where the platform wakes blocked calls.
  if (listener_.valid()) ShutdownSocket(listener_.get());
  accept_thread_.Join();
  listener_.Close();

  // No slot is added any more. Wake every client thread: a shut-down
  // socket fails its pending receive or send.
  std::list<std::unique_ptr<Slot>> slots;
  {
    MutexLock lock(&mu_);
    for (auto& slot : slots_) {
      MutexLock slot_lock(&slot->mu);
      if (!slot->finished) ShutdownSocket(slot->socket.get());
    }
    slots.swap(slots_);
  }
  for (auto& slot : slots) slot->thread.Join();
}

void ClientConnections::AcceptThread() {
  context_.stamps->StampChanges(kChangeAll);
  while (running_.load()) {
    std::uint32_t peer = 0;
    Socket socket;
    if (WaitReadable(listener_.get(), kWaitForever, &running_) == WaitResult::kReady) {
      socket = AcceptIPv4(listener_.get(), &peer);
    }
    if (!running_.load() || !socket.valid()) {
      // A connection accepted just as the server stops is closed unserved.
      context_.log->WriteLog("ERROR: accept() failed.\n");
      if (running_.load()) SleepMillis(kAcceptRetryMs);
      continue;
    }
    try {
      ReapFinished();
      Admit(std::move(socket), peer);
    } catch (const std::bad_alloc&) {
      // Only reaping can get here: Admit() handles its own allocations.
      context_.log->WriteLog("ERROR: Out of memory for a client connection.\n");
    }
  }
}

void ClientConnections::Admit(Socket socket, std::uint32_t peer) {
  const std::int32_t count = active_.fetch_add(1) + 1;
  if (count > context_.connection_limit + 1) {
    active_.fetch_sub(1);
    return;  // closed silently by `socket`
  }
  char peer_text[16];
  FormatIPv4(peer, peer_text);
  context_.log->Printf("Accepted connection from %s. %d/%d active connection(s).\n", peer_text,
                       count, context_.connection_limit);

  std::unique_ptr<Slot> slot;
  try {
    slot = std::make_unique<Slot>();
  } catch (const std::bad_alloc&) {
    active_.fetch_sub(1);
    context_.log->WriteLog("ERROR: Out of memory for a client connection.\n");
    return;
  }
  // Sends and receives wait in WaitWritable()/WaitReadable(), where a stop
  // reaches them, never inside the call.
  SetNonBlocking(socket.get());
  slot->connection.socket = socket.get();
  slot->connection.peer_address = peer;
  std::memcpy(slot->connection.peer_text, peer_text, sizeof(peer_text));
  {
    MutexLock slot_lock(&slot->mu);
    slot->socket = std::move(socket);
  }

  Slot* raw = slot.get();
  std::list<std::unique_ptr<Slot>>::iterator listed;
  {
    // Listed before its thread starts, so no running thread is ever unlisted.
    MutexLock lock(&mu_);
    try {
      listed = slots_.insert(slots_.end(), std::move(slot));
    } catch (const std::bad_alloc&) {
      active_.fetch_sub(1);
      context_.log->WriteLog("ERROR: Out of memory for a client connection.\n");
      return;  // the slot and its socket go with `slot`
    }
  }
  // Started without the list lock: only this thread changes the list, so
  // `listed` stays valid.
  if (!raw->thread.Start([this, raw] { ClientThread(raw); })) {
    {
      MutexLock lock(&mu_);
      slots_.erase(listed);  // closes the socket
    }
    active_.fetch_sub(1);
    context_.log->WriteLog("ERROR: Failed to start a client thread.\n");
  }
}

void ClientConnections::ReapFinished() {
  std::list<std::unique_ptr<Slot>> done;
  {
    MutexLock lock(&mu_);
    for (auto it = slots_.begin(); it != slots_.end();) {
      auto next = std::next(it);
      bool finished;
      {
        MutexLock slot_lock(&(*it)->mu);
        finished = (*it)->finished;
      }
      if (finished) done.splice(done.end(), slots_, it);
      it = next;
    }
  }
  for (auto& slot : done) slot->thread.Join();
}

void ClientConnections::ClientThread(Slot* slot) {
  ClientConnection* connection = &slot->connection;
  std::uint8_t block[kReceiveBlock];
  // 12 KB: off the stack. Without it the connection cannot be served.
  std::unique_ptr<ResponseBuffer> buffer(new (std::nothrow) ResponseBuffer);
  if (!buffer) {
    context_.log->Printf("ERROR: Out of memory serving %s.\n", connection->peer_text);
  }
  while (buffer) {
    // A stop reads as the client's close.
    const WaitResult waited = WaitReadable(connection->socket, kWaitForever, &running_);
    if (waited == WaitResult::kStopped) break;
    long received = -1;
    if (waited == WaitResult::kReady) {
      received = RecvSome(connection->socket, block, sizeof(block));
      if (received < 0 && LastSocketError() == SocketError::kWouldBlock) continue;
    }
    if (received == 0) break;
    if (received < 0) {
      context_.log->Printf(
          "ERROR: Socket Error receiving data from client (%s). Assuming client connection "
          "lost.\n",
          connection->peer_text);
      break;
    }
    WalkRequests(connection, block, received, buffer.get());
  }
  active_.fetch_sub(1);
  LogDroppedLines(connection);
  context_.log->Printf("Connection closed by client (%s).\n", connection->peer_text);
  MutexLock lock(&slot->mu);
  slot->socket.Close();
  slot->finished = true;
}

void ClientConnections::WalkRequests(ClientConnection* connection, const std::uint8_t* block,
                                     long size, ResponseBuffer* buffer) {
  // Each block holds whole requests: nothing carries over to the next one.
  long remaining = size;
  const std::uint8_t* request = block;
  for (;;) {
    std::uint16_t length = 0;
    if (remaining >= 3) std::memcpy(&length, request, sizeof(length));
    if (remaining < 3 || length < 3) {
      if (MayLogMistake(connection)) {
        context_.log->Printf("Received message(s) with wrong length from %s.\n",
                             connection->peer_text);
      }
      break;
    }
    const int type = request[2];
    if (type >= kRequestTypeCount || PaceRequest(connection, type, clock_.NowMs())) {
      DispatchRequest(connection, type, buffer);
    }
    remaining -= length;
    request += length;
    if (remaining < 0) {
      // The request claimed more than the block held; it was still paced
      // and, if due, answered.
      if (MayLogMistake(connection)) {
        context_.log->Printf("Received message(s) with wrong length from %s.\n",
                             connection->peer_text);
      }
      break;
    }
    if (remaining == 0) break;
  }
  for (int type = 0; type < kRequestTypeCount; ++type) {
    if (connection->pending[type]) DispatchRequest(connection, type, buffer);
  }
}

void ClientConnections::DispatchRequest(ClientConnection* connection, int type,
                                        ResponseBuffer* buffer) {
  using Respond = void (*)(const ResponseContext&, ClientConnection*, ResponseBuffer*);
  // Indexed by request type.
  static_assert(kHandshakeInfo == 0 && kUpdateData == 1 && kSessionInfo == 2 && kVehicleInfo == 3 &&
                kTrackstrip == 4);
  static constexpr Respond kResponses[kRequestTypeCount] = {ProcessHandshakeInfo, ProcessUpdateData,
                                                            ProcessSessionInfo, ProcessVehicleInfo,
                                                            ProcessTrackstrip};
  if (type >= 0 && type < kRequestTypeCount) {
    kResponses[type](context_, connection, buffer);
  } else if (MayLogMistake(connection)) {
    context_.log->Printf("Received unknown message type (%d) from %s.\n", type,
                         connection->peer_text);
  }
}

bool ClientConnections::MayLogMistake(ClientConnection* connection) {
  const AddressLogBudgets::Spent spent =
      log_budgets_.Spend(connection->peer_address, clock_.NowMs(), &connection->log_cache);
  if (spent.evicted_dropped > 0) {
    char evicted[16];
    FormatIPv4(spent.evicted_address, evicted);
    LogDroppedCount(evicted, spent.evicted_dropped);
  }
  switch (spent.verdict) {
    case LogVerdict::kWrite:
      return true;
    case LogVerdict::kWriteAfterDrops:
      LogDroppedCount(connection->peer_text, spent.dropped_before);
      return true;
    case LogVerdict::kDrop:
      return false;
  }
  return false;
}

void ClientConnections::LogDroppedLines(ClientConnection* connection) {
  if (!connection->log_cache.asked) return;
  LogDroppedCount(connection->peer_text,
                  log_budgets_.TakeDropped(connection->peer_address, &connection->log_cache));
}

void ClientConnections::LogDroppedCount(const char* peer_text, std::uint32_t dropped) {
  if (dropped == 0) return;
  context_.log->Printf("Dropped %u log line(s) about bad requests from %s.\n",
                       static_cast<unsigned>(dropped), peer_text);
}
