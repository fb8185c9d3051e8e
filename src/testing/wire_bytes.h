// Test support: both ends of a loopback connection, and reading answers off
// the wire as byte strings.
#ifndef PITWALL_TESTING_WIRE_BYTES_H_
#define PITWALL_TESTING_WIRE_BYTES_H_

#include <cstdint>
#include <cstring>
#include <vector>

#include "pitwall/protocol.h"
#include "platform/socket.h"

using Bytes = std::vector<std::uint8_t>;

// A connected pair on 127.0.0.1: `server` is the accepted end. Messages()
// reads the client end until it stays quiet for 200 ms.
struct LoopbackPair {
  Socket client;
  Socket server;
  bool Open() {
    Socket listener = OpenTcpSocket();
    if (!BindIPv4(listener.get(), LoopbackIPv4(), 0) || !Listen(listener.get(), 1)) return false;
    client = ConnectIPv4(LoopbackIPv4(), LocalPort(listener.get()));
    std::uint32_t peer = 0;
    server = AcceptIPv4(listener.get(), &peer);
    return client.valid() && server.valid();
  }
  // Everything that arrives at the client end until the line stays quiet,
  // split into messages by their length fields. A malformed stream ends the
  // list early.
  std::vector<Bytes> Messages() {
    Bytes all;
    std::uint8_t chunk[65536];
    long n;
    while ((n = RecvSomeWithin(client.get(), chunk, sizeof(chunk), 200)) > 0) {
      all.insert(all.end(), chunk, chunk + n);
    }
    std::vector<Bytes> messages;
    std::size_t pos = 0;
    for (std::size_t length;
         (length = WholeAnswerLength(all.data() + pos, all.size() - pos)) != 0 &&
         length != kMalformedAnswer;
         pos += length) {
      messages.emplace_back(all.begin() + static_cast<long>(pos),
                            all.begin() + static_cast<long>(pos + length));
    }
    return messages;
  }
};

inline std::uint32_t U32At(const Bytes& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}
inline float F32At(const Bytes& b, std::size_t at) {
  float f;
  std::memcpy(&f, &b[at], sizeof(f));
  return f;
}

#endif  // PITWALL_TESTING_WIRE_BYTES_H_
