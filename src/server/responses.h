// The answers: each is built whole in the client thread's own buffer from
// one consistent state of the snapshot, then sent with SendAll().
//
// Thread-safety: called on client threads, several at once for different
// connections; each call uses only its own connection and buffer.
#ifndef PITWALL_SERVER_RESPONSES_H_
#define PITWALL_SERVER_RESPONSES_H_

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "pitwall/protocol.h"
#include "platform/socket.h"

class ChangeStamps;
class LogFile;
class TimingData;
class CurrentTrack;
struct ClientConnection;

// What the answers read that the server owns. All pointers outlive every
// client thread.
struct ResponseSources {
  LogFile* log = nullptr;
  ChangeStamps* stamps = nullptr;
  const TimingData* snapshot = nullptr;
  const CurrentTrack* track = nullptr;  // may be null: no outline
  std::int32_t connection_limit = 1;
};

// What the answers read besides the connection: the server's objects and the
// connection set's own counters.
struct ResponseContext : ResponseSources {
  const std::atomic<std::int32_t>* active_connections = nullptr;
  // The server's running flag: a send waiting for room gives up once it
  // reads false. Null: wait for as long as the client takes.
  const std::atomic<bool>* running = nullptr;
};

// Holds the largest message: an UpdateData answer for 255 vehicles.
inline constexpr std::size_t kResponseBufferSize = UpdateDataSize(kMaxVehicles);
using ResponseBuffer = std::array<std::uint8_t, kResponseBufferSize>;

// Sends all `length` bytes, calling send again for the rest and waiting
// while the socket's send buffer is full (a non-blocking socket) until
// *running reads false. True when every byte was handed to the socket. A
// send that reports 0 bytes logs "Client unexpectedly dropped connection!";
// an error or a stop logs nothing here.
bool SendAll(NativeSocket socket, const std::uint8_t* data, std::uint16_t length, LogFile* log,
             const std::atomic<bool>* running);

// Build one whole answer carrying change mask `mask` in `buffer` from one
// pinned state of `snapshot`; return its length. No socket, no log.
std::size_t BuildUpdateData(const TimingData& snapshot, std::uint8_t mask, ResponseBuffer* buffer);
std::size_t BuildSessionInfo(const TimingData& snapshot, std::uint8_t mask, ResponseBuffer* buffer);
std::size_t BuildVehicleInfo(const TimingData& snapshot, std::uint8_t mask, ResponseBuffer* buffer);

// Each takes the connection's change mask, clears its pending flag, builds
// and sends the answer, and logs "Error processing <type> request." when the
// send fails.
void ProcessHandshakeInfo(const ResponseContext& context, ClientConnection* connection,
                          ResponseBuffer* buffer);
void ProcessUpdateData(const ResponseContext& context, ClientConnection* connection,
                       ResponseBuffer* buffer);
void ProcessSessionInfo(const ResponseContext& context, ClientConnection* connection,
                        ResponseBuffer* buffer);
void ProcessVehicleInfo(const ResponseContext& context, ClientConnection* connection,
                        ResponseBuffer* buffer);
// Sends the loaded outline of the current track in chunks of at most 50
// points, each with the directory of all strips; nothing when no outline is
// loaded. Leaves the change mask alone.
void ProcessTrackstrip(const ResponseContext& context, ClientConnection* connection,
                       ResponseBuffer* buffer);

#endif  // PITWALL_SERVER_RESPONSES_H_
