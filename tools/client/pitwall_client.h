// A client for the PitwallFeed server: connects over IPv4 TCP, sends the five
// requests and hands back each framed answer decoded (answer_decoding.h);
// FetchTrackOutline() gathers the outline's chunks (track_assembler.h).
//
// Errors are values: calls return a ClientError (code kOk on success) or a
// ClientResult<T> holding one; nothing throws on bad input from the server.
//
// Thread-safety: a PitwallClient belongs to one thread. The free functions
// keep no state and may be called from any thread.
#ifndef PITWALL_TOOLS_CLIENT_PITWALL_CLIENT_H_
#define PITWALL_TOOLS_CLIENT_PITWALL_CLIENT_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "answer_decoding.h"
#include "pitwall/protocol.h"
#include "platform/socket.h"
#include "track_assembler.h"

// How long a connect may wait for a host that does not answer.
inline constexpr std::uint32_t kConnectTimeoutMs = 5000;
inline constexpr const char* kDefaultHost = "127.0.0.1";
// Splits "HOST", "HOST:PORT" or ":PORT"; a missing part keeps what *host and
// *port held. False with *error set for an empty host or a port that is not
// 1 to 65535 in plain digits; *host and *port are then unchanged.
bool ParseEndpoint(std::string_view text, std::string* host, std::uint16_t* port,
                   std::string* error);

// The network-order IPv4 address of dotted text, "localhost" or a host name
// the system resolver knows (asking it may take as long as the resolver
// takes). kBadAddress for a name it does not know.
ClientResult<std::uint32_t> ResolveHost(const std::string& host);

// One connection to a server.
class PitwallClient {
 public:
  PitwallClient() = default;
  PitwallClient(const PitwallClient&) = delete;
  PitwallClient& operator=(const PitwallClient&) = delete;

  // Resolves `host` (see ResolveHost) and connects within `timeout_ms`,
  // closing any earlier connection first. Messages read "cannot connect to
  // HOST:PORT: REASON" ("no answer within 5 s" after the time-out, kTimeout).
  ClientError Connect(const std::string& host, std::uint16_t port,
                      std::uint32_t timeout_ms = kConnectTimeoutMs);
  // Drops the connection, buffered bytes and held answers.
  void Close();
  bool connected() const { return socket_.valid(); }
  // "HOST:PORT" of the last Connect().
  const std::string& peer() const { return peer_; }

  // Sends a bare request of `type`. kNotConnected or kSendFailed.
  ClientError Send(RequestType type);
  // Sends raw bytes as they are, for probing the server.
  ClientError SendBytes(const std::uint8_t* data, std::size_t size);

  // The next whole answer, waiting at most `timeout_ms` (0: only what has
  // already arrived). Answers held back by the Fetch calls come first, in
  // arrival order. After kTimeout, kBadLength for a length that fits the
  // header, kBadType and kBadContent the connection stays usable: that
  // message was consumed whole. After kClosed, kTruncated and kBadLength for
  // a length field below 4 the connection is closed; answers already held
  // are still returned, then kNotConnected.
  ClientResult<Answer> ReadAnswer(std::uint32_t timeout_ms);

  // Sends the request and waits for an answer of its type. Answers of other
  // types that arrive first are held for ReadAnswer(); held answers of the
  // same type are dropped as stale. Handshake fails with kServerFull (value
  // filled) when the status is 4.
  ClientResult<HandshakeAnswer> Handshake(std::uint32_t timeout_ms);
  ClientResult<SessionAnswer> FetchSession(std::uint32_t timeout_ms);
  ClientResult<DriversAnswer> FetchDrivers(std::uint32_t timeout_ms);
  ClientResult<LiveAnswer> FetchLive(std::uint32_t timeout_ms);
  // Requests the outline and gathers chunks until it is complete, asking
  // again every 2 s while no chunk arrives (the server sends nothing while
  // no outline is loaded). kTimeout when it is not complete in time. Chunks
  // of a repeated answer may still arrive afterwards.
  ClientResult<TrackOutline> FetchTrackOutline(std::uint32_t timeout_ms);

 private:
  // Closes the socket and drops buffered bytes, keeping held answers.
  void DropConnection();
  ClientResult<Answer> ReadFromSocket(std::uint32_t timeout_ms);
  ClientResult<Answer> FetchOfType(RequestType type, std::uint32_t timeout_ms);
  void HoldAnswer(Answer answer);

  Socket socket_;
  std::string peer_;
  std::vector<std::uint8_t> pending_;  // received bytes not yet part of an answer
  std::deque<Answer> held_;
};

// Connects `client` and shakes hands with the server at `host`: on `port`,
// or with `ports` > 1 on the first of the `ports` ports from `port` whose
// server answers, each tried with a short connect time-out (a host that
// does not answer at all is not tried further). The handshake is in .value
// also when the server is full; the connection is then closed. When no
// port answers the message names the ports tried.
ClientResult<HandshakeAnswer> ConnectToServer(PitwallClient* client, const std::string& host,
                                              std::uint16_t port, int ports,
                                              std::uint32_t handshake_timeout_ms);

#endif  // PITWALL_TOOLS_CLIENT_PITWALL_CLIENT_H_
