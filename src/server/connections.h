// The network side of a running server: the accept thread, one thread per
// admitted client, request framing, pacing and dispatch.
//
// Admission: at most connection limit + 1 clients are served at once; the
// one above the limit learns it from its handshake status, any further one
// is closed at once. Each client thread receives blocks of up to 1024 bytes,
// walks them as requests ([u16 length][u8 type]...), answers each due
// request at once and the held-back ones after the block.
//
// Lifetime: Start() hands over the listening socket and starts the accept
// thread; Stop() (also run by the destructor) wakes and joins every thread
// this object started, including client threads waiting to send to a
// client that never reads, and closes every socket exactly once. Only then
// may what the threads read (the ResponseSources' objects) be destroyed.
// Every thread waits only in the platform's stop-aware waits on the running
// flag (client sockets are non-blocking), so a stop reaches each within
// kStopCheckMs on every platform, whatever the client does.
//
// Thread-safety: Start() and Stop() on one thread (the host's); running()
// and active() from any.
#ifndef PITWALL_SERVER_CONNECTIONS_H_
#define PITWALL_SERVER_CONNECTIONS_H_

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>

#include "platform/clock.h"
#include "platform/mutex.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "server/client_connection.h"
#include "server/log_budgets.h"
#include "server/responses.h"

class ClientConnections {
 public:
  static constexpr std::size_t kReceiveBlock = 1024;

  // `clock` and everything `sources` points to must outlive this object.
  // The answers also read this object's own active count and running flag.
  // Throws std::bad_alloc when memory runs out.
  ClientConnections(const ResponseSources& sources, const Clock& clock);
  ~ClientConnections() { Stop(); }
  ClientConnections(const ClientConnections&) = delete;
  ClientConnections& operator=(const ClientConnections&) = delete;

  // Takes the bound, listening socket, sets the running flag and starts the
  // accept thread. False, with the socket closed and the flag clear, when
  // the thread cannot be started.
  bool Start(Socket listener);
  // Ends every thread and closes every socket. Idempotent.
  void Stop();

  bool running() const { return running_.load(); }
  std::int32_t active() const { return active_.load(); }

  // Walks one received block as requests, answering due requests at once
  // and the held-back ones after the walk. Exposed for tests.
  void WalkRequests(ClientConnection* connection, const std::uint8_t* block, long size,
                    ResponseBuffer* buffer);
  // Writes the count of the dropped log lines of the connection's address,
  // if it made mistakes and any were dropped (at its close). Exposed for
  // tests.
  void LogDroppedLines(ClientConnection* connection);

 private:
  // One admitted client. The slot owns the client's socket; its
  // connection.socket borrows the handle for the client thread's receives and
  // sends. The thread closes the socket itself when it ends, under `mu`, so
  // that Stop() never shuts down a handle that is closed or reused.
  struct Slot {
    ClientConnection connection;  // the client thread's own
    Thread thread;                // joined by ReapFinished() or Stop()
    Mutex mu;
    Socket socket GUARDED_BY(mu);
    bool finished GUARDED_BY(mu) = false;  // the thread has closed the socket and ends
  };

  void AcceptThread();
  void ClientThread(Slot* slot);
  void DispatchRequest(ClientConnection* connection, int type, ResponseBuffer* buffer);
  // Whether a line about the client's own mistake may be written now (see
  // AddressLogBudgets); writes the count of earlier dropped ones first when
  // due, and that of an address the table let go of.
  bool MayLogMistake(ClientConnection* connection);
  // "Dropped <count> log line(s) about bad requests from <peer>.", when the
  // count is not 0.
  void LogDroppedCount(const char* peer_text, std::uint32_t dropped);
  // Admits one accepted socket: a slot and a thread for it, or closes it.
  void Admit(Socket socket, std::uint32_t peer);
  // Joins and frees the slots of client threads that have ended.
  void ReapFinished() LOCKS_EXCLUDED(mu_);

  const ResponseContext context_;  // points at active_ and running_ below
  const Clock& clock_;
  // Shared by the client threads: a client's address keeps its budget
  // across its connections.
  AddressLogBudgets log_budgets_;
  Socket listener_;  // owned by the host's thread; the accept thread uses its handle
  Thread accept_thread_;
  // Written by Start()/Stop(), read by the accept thread; whole values.
  std::atomic<bool> running_{false};
  // Admitted connections whose thread has not ended; each change is one
  // atomic read-modify-write.
  std::atomic<std::int32_t> active_{0};
  // Guards the slot list; taken before a slot's own mu. Only the accept
  // thread adds or removes slots while the server runs; Stop() takes the
  // list after that thread has ended.
  Mutex mu_;
  std::list<std::unique_ptr<Slot>> slots_ GUARDED_BY(mu_);
};

#endif  // PITWALL_SERVER_CONNECTIONS_H_
