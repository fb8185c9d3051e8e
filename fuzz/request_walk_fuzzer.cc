// Feeds arbitrary received blocks to the request walk: framing, pacing,
// dispatch and every answer, with the client's end shut so sends fail fast.
#include <cstddef>
#include <cstdint>

#include "log/log.h"
#include "pitwall/scoring_record.h"
#include "server/connections.h"
#include "testing/fake_clock.h"
#include "testing/wire_bytes.h"
#include "timing/change_stamps.h"
#include "timing/timing_data.h"

namespace {

struct World {
  World() {
    line.Open();
    ShutdownSocket(line.client.get());
    ResponseContext context;
    context.log = &log;  // no port bound: lines are dropped
    context.stamps = &stamps;
    context.snapshot = &data;
    connections = std::make_unique<ClientConnections>(context, clock);
    connection.socket = line.server.get();
    ScoringRecordWriter record(3);
    record.SetTrackName("Fuzz Ring");
    data.IngestScoring(record.record());
  }
  LogFile log;
  FakeClock clock{100000};
  ChangeStamps stamps{clock};
  TimingData data{&stamps};
  LoopbackPair line;
  std::unique_ptr<ClientConnections> connections;
  ClientConnection connection;
  ResponseBuffer buffer;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static World* world = new World;
  if (size > ClientConnections::kReceiveBlock) size = ClientConnections::kReceiveBlock;
  if (size == 0) return 0;
  world->clock.Advance(data[0]);
  world->connections->WalkRequests(&world->connection, data, static_cast<long>(size),
                                   &world->buffer);
  return 0;
}
