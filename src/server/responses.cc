#include "server/responses.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "log/log.h"
#include "server/client_connection.h"
#include "server/current_track.h"
#include "timing/change_stamps.h"
#include "timing/timing_data.h"
#include "track/track_geometry.h"

namespace {

void PutHeader(std::uint8_t* out, std::size_t length, std::uint8_t type, std::uint8_t mask) {
  const ResponseHeader header{static_cast<std::uint16_t>(length), type, mask};
  std::memcpy(out, &header, sizeof(header));
}

// Bytes of the snapshot that an answer copies; empty for no vehicles.
struct Part {
  const void* data;
  std::size_t size;
};

// Builds header + parts in `buffer`; returns the answer's length.
// REQUIRES: the parts fit (every answer does: see kResponseBufferSize).
std::size_t PutAnswer(ResponseBuffer* buffer, std::uint8_t type, std::uint8_t mask,
                      std::initializer_list<Part> parts) {
  std::size_t length = sizeof(ResponseHeader);
  for (const Part& part : parts) {
    if (part.size > 0) std::memcpy(buffer->data() + length, part.data, part.size);
    length += part.size;
  }
  PutHeader(buffer->data(), length, type, mask);
  return length;
}

void Send(const ResponseContext& context, const ClientConnection& connection,
          const ResponseBuffer& buffer, std::size_t length, const char* failure_line) {
  if (!SendAll(connection.socket, buffer.data(), static_cast<std::uint16_t>(length), context.log,
               context.running)) {
    context.log->WriteLog(failure_line);
  }
}

// The steps every answer but Trackstrip begins with.
std::uint8_t BeginAnswer(const ResponseContext& context, ClientConnection* connection,
                         RequestType type) {
  context.stamps->TakeChangeMask(&connection->changes);
  connection->pending[type] = 0;
  return connection->changes.change_flags;
}

}  // namespace

bool SendAll(NativeSocket socket, const std::uint8_t* data, std::uint16_t length, LogFile* log,
             const std::atomic<bool>* running) {
  std::size_t sent = 0;
  while (sent < length) {
    const long n = SendSome(socket, data + sent, length - sent);
    if (n == 0) {
      log->WriteLog("Client unexpectedly dropped connection!\n");
      return false;
    }
    if (n < 0) {
      if (LastSocketError() == SocketError::kWouldBlock &&
          WaitWritable(socket, kWaitForever, running) == WaitResult::kReady) {
        continue;
      }
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void ProcessHandshakeInfo(const ResponseContext& context, ClientConnection* connection,
                          ResponseBuffer* buffer) {
  // The mask is taken (and so consumed) although the handshake carries 0.
  BeginAnswer(context, connection, kHandshakeInfo);
  HandshakeMessage message{};
  message.header = ResponseHeader{sizeof(HandshakeMessage), kHandshakeInfo, 0};
  message.version = 1;
  message.status = context.connection_limit < context.active_connections->load()
                       ? kHandshakeServerFull
                       : kHandshakeOk;
  std::memcpy(buffer->data(), &message, sizeof(message));
  Send(context, *connection, *buffer, sizeof(message), "Error processing HandshakeInfo request.\n");
}

std::size_t BuildUpdateData(const TimingData& snapshot, std::uint8_t mask, ResponseBuffer* buffer) {
  TimingData::Reader state(snapshot);
  return PutAnswer(buffer, kUpdateData, mask,
                   {{&state.live(), sizeof(LiveBlock)},
                    {state.updates(), state.vehicle_count() * sizeof(VehicleUpdateRecord)}});
}

std::size_t BuildSessionInfo(const TimingData& snapshot, std::uint8_t mask,
                             ResponseBuffer* buffer) {
  TimingData::Reader state(snapshot);
  return PutAnswer(buffer, kSessionInfo, mask, {{&state.session(), sizeof(SessionBlock)}});
}

std::size_t BuildVehicleInfo(const TimingData& snapshot, std::uint8_t mask,
                             ResponseBuffer* buffer) {
  TimingData::Reader state(snapshot);
  return PutAnswer(buffer, kVehicleInfo, mask,
                   {{state.info(), state.vehicle_count() * sizeof(VehicleInfoRecord)}});
}

namespace {

// Takes the mask, builds the answer from the snapshot and sends it.
void AnswerFromSnapshot(const ResponseContext& context, ClientConnection* connection,
                        ResponseBuffer* buffer, RequestType type,
                        std::size_t (*build)(const TimingData&, std::uint8_t, ResponseBuffer*),
                        const char* failure_line) {
  const std::uint8_t mask = BeginAnswer(context, connection, type);
  Send(context, *connection, *buffer, build(*context.snapshot, mask, buffer), failure_line);
}

}  // namespace

void ProcessUpdateData(const ResponseContext& context, ClientConnection* connection,
                       ResponseBuffer* buffer) {
  AnswerFromSnapshot(context, connection, buffer, kUpdateData, BuildUpdateData,
                     "Error processing UpdateData request.\n");
}

void ProcessSessionInfo(const ResponseContext& context, ClientConnection* connection,
                        ResponseBuffer* buffer) {
  AnswerFromSnapshot(context, connection, buffer, kSessionInfo, BuildSessionInfo,
                     "Error processing SessionInfo request.\n");
}

void ProcessVehicleInfo(const ResponseContext& context, ClientConnection* connection,
                        ResponseBuffer* buffer) {
  AnswerFromSnapshot(context, connection, buffer, kVehicleInfo, BuildVehicleInfo,
                     "Error processing VehicleInfo request.\n");
}

void ProcessTrackstrip(const ResponseContext& context, ClientConnection* connection,
                       ResponseBuffer* buffer) {
  // No change mask: this answer leaves the connection's change state alone.
  connection->pending[kTrackstrip] = 0;
  if (context.track == nullptr) return;
  // Holding the pointer keeps this geometry alive and unchanged to the last
  // chunk, whatever the host's thread does with the current one.
  const std::shared_ptr<const TrackGeometry> geometry = context.track->LoadedGeometry();
  if (!geometry) return;
  const std::int32_t strips = geometry->strip_count();
  // The count travels as one byte; an outline always has two strips.
  if (strips <= 0 || strips > 255) return;
  const std::size_t directory_end = 5 + 5 * static_cast<std::size_t>(strips);
  if (StripChunkSize(static_cast<std::size_t>(strips), kMaxStripChunkPoints) > buffer->size()) {
    return;
  }

  // The directory (bytes 2 to 4 + 5 * S) is the same in every chunk.
  std::uint8_t* out = buffer->data();
  out[2] = kTrackstrip;
  out[3] = 0;
  out[4] = static_cast<std::uint8_t>(strips);
  for (std::int32_t i = 0; i < strips; ++i) {
    const TrackStrip& strip = geometry->strip(i);
    const StripDirectoryEntry entry{static_cast<std::uint8_t>(strip.kind),
                                    static_cast<std::uint32_t>(strip.point_count())};
    std::memcpy(out + 5 + 5 * static_cast<std::size_t>(i), &entry, sizeof(entry));
  }
  for (std::int32_t i = 0; i < strips; ++i) {
    const TrackStrip& strip = geometry->strip(i);
    const std::size_t count = strip.points.size();
    for (std::size_t start = 0; start < count; start += kMaxStripChunkPoints) {
      const std::size_t n = std::min(kMaxStripChunkPoints, count - start);
      const std::size_t length = StripChunkSize(static_cast<std::size_t>(strips), n);
      const std::uint16_t length16 = static_cast<std::uint16_t>(length);
      std::memcpy(out, &length16, sizeof(length16));
      const StripChunkHeader chunk{static_cast<std::uint8_t>(i), static_cast<std::uint32_t>(start),
                                   static_cast<std::uint32_t>(n)};
      std::memcpy(out + directory_end, &chunk, sizeof(chunk));
      std::memcpy(out + directory_end + sizeof(chunk), strip.points.data() + start,
                  n * sizeof(StripPoint));
      // A failed chunk is logged and the rest are still tried.
      Send(context, *connection, *buffer, length, "Error processing Trackstrip request.\n");
    }
  }
}
