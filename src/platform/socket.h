// Blocking IPv4 TCP sockets: the one place that knows BSD sockets from
// Winsock. Addresses are kept in network byte order, as accept() gives them.
//
// Blocking calls never wait for ever where a stop must reach them: threads
// that a stop has to end wait with WaitReadable()/WaitWritable(), which
// re-check a running flag at least every kStopCheckMs. Winsock offers no
// sound way to wake another thread's accept (shutdown() does not, and a
// closesocket() from another thread races with the handle being reused), so
// the flag is the wake-up on every platform; ShutdownSocket() only hurries
// it where the platform supports that.
//
// Thread-safety: a Socket object belongs to one thread; ShutdownSocket() may
// be called on a handle from any thread while the handle is still open.
#ifndef PITWALL_PLATFORM_SOCKET_H_
#define PITWALL_PLATFORM_SOCKET_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#if defined(_WIN32)
using NativeSocket = std::uintptr_t;
#else
using NativeSocket = int;
#endif
// The invalid-socket value: all bits set.
inline constexpr NativeSocket kInvalidSocket = static_cast<NativeSocket>(~0);

// Owns one socket handle and closes it exactly once.
class Socket {
 public:
  Socket() = default;
  explicit Socket(NativeSocket handle) : handle_(handle) {}  // Takes ownership.
  ~Socket() { Close(); }
  Socket(Socket&& other) noexcept : handle_(other.Release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool valid() const { return handle_ != kInvalidSocket; }
  NativeSocket get() const { return handle_; }
  // Gives up ownership without closing.
  NativeSocket Release();
  void Close();

 private:
  NativeSocket handle_ = kInvalidSocket;
};

// Starts the socket layer (Winsock 1.1). On failure returns false and sets
// *error_code to the layer's code. Always succeeds on POSIX.
bool StartSocketLayer(int* error_code);
// Releases one successful StartSocketLayer().
void StopSocketLayer();

// inet_addr(): dotted IPv4 text to an address in network byte order. False
// for text that is not an address.
bool ParseIPv4(const char* dotted, std::uint32_t* address);
// The first IPv4 address of a host name (or dotted text) from the system's
// resolver, in network byte order. False when the name has none. May block
// for as long as the resolver takes.
bool LookupIPv4(const char* name, std::uint32_t* address);
// Dotted-decimal text of an address in network byte order, into a buffer of
// the caller's (no allocation).
void FormatIPv4(std::uint32_t address, char (&text)[16]);
// Network-byte-order address of 127.0.0.1.
std::uint32_t LoopbackIPv4();

// A new IPv4 TCP stream socket; invalid on failure.
Socket OpenTcpSocket();
// Binds to address:port (host byte order port). On POSIX the socket may
// reuse a port whose earlier connections linger in TIME_WAIT; a port with a
// live listener stays busy.
bool BindIPv4(NativeSocket socket, std::uint32_t address, std::uint16_t port);
bool Listen(NativeSocket socket, int backlog);
// The port the socket is bound to (host byte order); 0 on failure.
std::uint16_t LocalPort(NativeSocket socket);
// Waits for a connection. Invalid on failure; *peer_address is then 0.
Socket AcceptIPv4(NativeSocket listener, std::uint32_t* peer_address);
// Connects to address:port; invalid on failure.
Socket ConnectIPv4(std::uint32_t address, std::uint16_t port);
// The same, giving up after `timeout_ms` (LastSocketError() then reports
// kTimedOut): a host that drops packets cannot hold the caller for the
// minutes the system's own connect would wait. The socket is blocking again
// when returned.
Socket ConnectIPv4Within(std::uint32_t address, std::uint16_t port, std::uint32_t timeout_ms);

// One send call. Returns the bytes taken (>0), 0 when the peer has closed,
// or -1 on error. Never raises SIGPIPE.
long SendSome(NativeSocket socket, const void* data, std::size_t length);
// One receive call. Returns the bytes received (>0), 0 when the peer closed
// the connection, or -1 on error.
long RecvSome(NativeSocket socket, void* buffer, std::size_t length);
// Shuts both directions down. On POSIX this also makes calls blocked on the
// socket return; on Windows it need not. Does not close the handle.
void ShutdownSocket(NativeSocket socket);
// Makes send and receive calls on the socket return at once with
// SocketError::kWouldBlock instead of blocking. False on failure.
bool SetNonBlocking(NativeSocket socket);
// Makes closing the socket reset the connection instead of ending it in
// order (what a crashed peer looks like). False on failure.
bool SetResetOnClose(NativeSocket socket);
// Asks for a receive buffer of `bytes`. False on failure.
bool SetReceiveBufferSize(NativeSocket socket, int bytes);

// Why the calling thread's last socket call failed, in one vocabulary for
// every platform (errno on POSIX, WSAGetLastError() on Windows).
enum class SocketError { kNone, kRefused, kTimedOut, kWouldBlock, kReset, kOther };
SocketError LastSocketError();
// The system's text for the calling thread's last socket failure.
std::string LastSocketErrorText();

// How long a wait may go without looking at its running flag.
inline constexpr std::uint32_t kStopCheckMs = 50;
// A time-out that never expires.
inline constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;
enum class WaitResult {
  kReady,     // the socket can be read (data, a closed peer, or a connection
              // to accept) or written
  kTimedOut,  // `timeout_ms` passed first
  kStopped,   // *running read false
  kFailed,    // the wait itself failed (see LastSocketError())
};
// Waits until `socket` can be read, `timeout_ms` milliseconds have passed
// (kWaitForever: no limit), or *running reads false (checked before the
// first wait and then at least every kStopCheckMs; null: no flag). Uses
// poll() on POSIX and select() on Windows, never socket options, so the
// socket stays in a defined state after a time-out.
WaitResult WaitReadable(NativeSocket socket, std::uint32_t timeout_ms,
                        const std::atomic<bool>* running = nullptr);
// The same for sending: room in the socket's send buffer.
WaitResult WaitWritable(NativeSocket socket, std::uint32_t timeout_ms,
                        const std::atomic<bool>* running = nullptr);

// One receive that waits at most `timeout_ms` for data: the bytes received
// (> 0), 0 when the peer closed, or -1 on error or time-out (then
// LastSocketError() says kTimedOut). For clients and tests.
long RecvSomeWithin(NativeSocket socket, void* buffer, std::size_t length,
                    std::uint32_t timeout_ms);

#endif  // PITWALL_PLATFORM_SOCKET_H_
